// A site of several benches keeps what they know on one PostgreSQL server. Which server is the
// computer's to say, in a site file of libpq's service-file format (/etc/navkeypad/site.conf;
// %ProgramData%\VeltoInterface\site.conf on Windows) whose service "navkeypad" is used; the
// NAVKEYPAD_SITE variable (a libpq connection string) stands for it in tests and in programs run
// from their build tree. What may connect is checked before anything is sent: no password
// travels in a setting (a bench proves itself with a client certificate, or ~/.pgpass), and a
// server on another computer is reached only with its certificate verified against its name.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace navkeypad::store {

inline constexpr char kSiteVariable[] = "NAVKEYPAD_SITE";
inline constexpr char kSiteService[] = "navkeypad";
inline constexpr char kSiteFileName[] = "site.conf";
inline constexpr char kSiteFileVariable[] = "NAVKEYPAD_SITE_FILE";

struct Site {
  // libpq's keywords and their values, as given.
  std::vector<std::pair<std::string, std::string>> settings;
  std::string from;     // where they were read: the site file, or NAVKEYPAD_SITE
  std::string problem;  // why they are refused, and what to do; empty where they may be used

  bool configured() const { return !settings.empty() || !problem.empty(); }
  // The value of `keyword`, or "".
  std::string setting(const std::string& keyword) const;
  // "the site's server HOST (database DB)", for messages.
  std::string describe() const;
};

// The computer's site file (NAVKEYPAD_SITE_FILE, where it is set).
std::string TheSiteFile();
// The site this program keeps its store on: NAVKEYPAD_SITE where it is set, else for a program
// on real keypads the site file where there is one; none (not configured) otherwise.
Site TheSite(bool virtualRun);

// The settings a connection string gives, and those of the service "navkeypad" in a site file,
// checked.
Site SiteFromConnectionString(const std::string& text, const std::string& from);
Site SiteFromServiceFile(const std::string& path);

// The KEYWORD=VALUE lines of the section [`section`] of the site file at `path`: "" when the file
// was read (`found` says whether it has that section), else what is wrong and what to do.
std::string ReadSiteFileSection(const std::string& path, const std::string& section,
                                std::vector<std::pair<std::string, std::string>>& settings,
                                bool& found);

}  // namespace navkeypad::store
