#include "store/site.h"

#include <libpq-fe.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "settings/keypad_settings_file.h"
#include "support/paths.h"

namespace navkeypad::store {

namespace {

std::string Trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") + 1 - begin);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (std::size_t end; (end = text.find(separator, begin)) != std::string::npos; begin = end + 1)
    parts.push_back(text.substr(begin, end - begin));
  parts.push_back(text.substr(begin));
  return parts;
}

// A host on this computer: a socket's folder, or a loopback name or address.
bool OnThisComputer(const std::string& host) {
  return host.empty() || host.front() == '/' || host.front() == '@' || host == "localhost" ||
         host.rfind("127.", 0) == 0 || host == "::1";
}

// Why these settings may not be used, or "".
std::string Refusal(const Site& site) {
  if (site.settings.empty()) return "name no server; give at least its host";
  for (const auto& [keyword, value] : site.settings) {
    if (keyword == "password")
      return "hold a password, which a bench never keeps in a setting; take it out, and let the "
             "bench prove "
             "itself with a client certificate (sslcert, sslkey) or a line in ~/.pgpass";
    if (keyword == "service")
      return "name another service, whose settings could not be checked; give the settings "
             "themselves";
  }
  if (!support::EnvironmentText("PGPASSWORD").empty())
    return "would send the password in PGPASSWORD, which a bench never keeps in a setting; "
           "unset it, and let the bench prove itself with a client certificate or ~/.pgpass";
  const std::string hosts =
      site.setting("hostaddr").empty() ? site.setting("host") : site.setting("hostaddr");
  const auto parts = Split(hosts, ',');
  if (std::all_of(parts.begin(), parts.end(), OnThisComputer)) return {};
  std::string mode = site.setting("sslmode");
  if (mode.empty()) mode = support::EnvironmentText("PGSSLMODE");
  if (mode == "verify-full") return {};
  return "reach a server on another computer with sslmode " +
         (mode.empty() ? std::string("prefer (the default)") : mode) +
         ", which does not prove the server is the site's; set sslmode=verify-full and "
         "sslrootcert to the certificate of the authority that signed the server's";
}

Site Checked(Site site) {
  if (site.problem.empty()) {
    if (std::string refused = Refusal(site); !refused.empty())
      site.problem = "the site's settings in " + site.from + " " + refused;
  }
  return site;
}

}  // namespace

std::string Site::setting(const std::string& keyword) const {
  for (const auto& [name, value] : settings)
    if (name == keyword) return value;
  return {};
}

std::string Site::describe() const {
  std::string host = setting("host");
  if (host.empty()) host = setting("hostaddr");
  if (host.empty()) host = "on this computer";
  const std::string database = setting("dbname");
  return "the site's server " + host + (database.empty() ? "" : " (database " + database + ")");
}

std::string TheSiteFile() {
  // Tests, and programs run from their build tree, name a site file of their own.
  if (std::string given = support::EnvironmentText(kSiteFileVariable); !given.empty()) return given;
#ifdef _WIN32
  std::string common = support::EnvironmentText("ProgramData");
  if (common.empty()) common = support::EnvironmentText("ALLUSERSPROFILE");
  return support::Utf8FromPath(support::PathFromUtf8(common) / settings::kConfigFolderName /
                               kSiteFileName);
#else
  return std::string("/etc/navkeypad/") + kSiteFileName;
#endif
}

Site TheSite(bool virtualRun) {
  if (const std::string given = support::EnvironmentText(kSiteVariable); !given.empty())
    return SiteFromConnectionString(given, kSiteVariable);
  // A virtual keypad never reaches the site's numbers or log unless a test says so.
  if (virtualRun) return {};
  std::error_code error;
  if (!std::filesystem::exists(support::PathFromUtf8(TheSiteFile()), error)) return {};
  return SiteFromServiceFile(TheSiteFile());
}

Site SiteFromConnectionString(const std::string& text, const std::string& from) {
  Site site;
  site.from = from;
  char* why = nullptr;
  PQconninfoOption* options = PQconninfoParse(text.c_str(), &why);
  if (options == nullptr) {
    site.problem = "the site's settings in " + from + " cannot be read (" +
                   Trimmed(why ? why : "out of memory") +
                   "); give a libpq connection string, such as 'host=db.example dbname=navkeypad "
                   "sslmode=verify-full'";
    PQfreemem(why);
    return site;
  }
  for (const PQconninfoOption* option = options; option->keyword; ++option)
    if (option->val != nullptr) site.settings.emplace_back(option->keyword, option->val);
  PQconninfoFree(options);
  return Checked(std::move(site));
}

std::string ReadSiteFileSection(const std::string& path, const std::string& section,
                                std::vector<std::pair<std::string, std::string>>& settings,
                                bool& found) {
  settings.clear();
  found = false;
  std::ifstream in(support::PathFromUtf8(path));
  if (!in) {
    return "the site file " + path +
           " cannot be read; make it readable to the users of the benches, or remove it "
           "where this computer is a bench of its own";
  }
  bool inSection = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    line = Trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inSection = line == "[" + section + "]";
      found = found || inSection;
      continue;
    }
    if (!inSection) continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) {
      return "line " + std::to_string(number) + " of the site file " + path +
             " is not KEYWORD=VALUE; correct it";
    }
    settings.emplace_back(Trimmed(line.substr(0, equals)), Trimmed(line.substr(equals + 1)));
  }
  return {};
}

Site SiteFromServiceFile(const std::string& path) {
  Site site;
  site.from = path;
  bool found = false;
  site.problem = ReadSiteFileSection(path, kSiteService, site.settings, found);
  if (!site.problem.empty()) return site;
  if (!found) {
    site.problem = "the site file " + path + " has no section [" + kSiteService +
                   "]; give the server's settings under it";
    return site;
  }
  // Keywords libpq does not know are its to refuse, as it would for the service itself.
  std::string text;
  for (const auto& [keyword, value] : site.settings) {
    std::string quoted;
    for (const char c : value)
      quoted += (c == '\\' || c == '\'') ? std::string("\\") + c : std::string(1, c);
    text += keyword + "='" + quoted + "' ";
  }
  return SiteFromConnectionString(text, path);
}

}  // namespace navkeypad::store
