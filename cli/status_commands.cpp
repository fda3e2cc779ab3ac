#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string_view>

#include "bsl430/bsl430.h"
#include "code_table/vocabulary.h"
#include "device/keypad_bus.h"
#include "firmware/pending_upgrade.h"
#include "log_export.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "store/service_log.h"
#include "store/store.h"
#include "support/atomic_file.h"
#include "support/paths.h"

namespace navkeypad::cli {

void PrintTable(std::ostream& out, const KeyCodeTable& table) {
  out << "Code table\n";
  for (std::size_t key = 0; key < kNavigationKeyCount; ++key) {
    const auto entry = table.entry(static_cast<NavigationKey>(key));
    char line[96];
    std::snprintf(line, sizeof line, "  %-6s %s %-15s %s\n", kKeyNames[key],
                  FormatKeyCode(entry.keyCode).c_str(), CodeName(entry.keyCode).c_str(),
                  ModifierName(entry.modifier).c_str());
    out << line;
  }
}

int List(Session& session) {
  Io& io = session.io();
  if (const int status = session.startHid(); status != kDone) return status;
  const auto keypads = ListKeypads();
  auto listed = nlohmann::ordered_json::array();
  bool anyAccessible = false;
  for (std::size_t i = 0; i < keypads.size(); ++i) {
    const auto& keypad = keypads[i];
    std::optional<DeviceStatus> status;
    bool inUse = false;
    if (keypad.accessible) {
      inUse = OpenSharedKeypad(keypad.path) == SharedOpen::kInUse;
      status = session.readStatus();
      session.disconnect();
      anyAccessible = true;
    }
    if (session.json()) {
      nlohmann::ordered_json entry = {{"path", JsonText(keypad.path)},
                                      {"port", JsonText(keypad.port)},
                                      {"accessible", keypad.accessible}};
      if (status) {
        entry["serialNumber"] = JsonText(status->serialNumber);
        entry["firmwareVersion"] = JsonText(status->firmwareVersion);
      }
      if (!keypad.accessible) entry["problem"] = JsonText(keypad.problem);
      listed.push_back(entry);
    } else {
      io.out << keypad.path << "  at " << (keypad.port.empty() ? "?" : keypad.port) << "  ";
      if (status) {
        io.out << (status->serialNumber.empty() ? "(no serial number)"
                                                : "serial " + status->serialNumber)
               << "  firmware " << status->firmwareVersion << "\n";
      } else if (inUse) {
        io.out << "(in use by another program)\n";
      } else if (keypad.accessible) {
        io.out << "(does not answer)\n";
      } else {
        io.out << "not accessible: " << keypad.problem << "\n";
      }
    }
  }
  // A keypad waiting in its loader is a keypad too: most often one whose upgrade is unfinished.
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  for (const LoaderOnBus& loader : loaders) {
    const auto records = RecordsKeptAt(io.store, loader.port);
    if (session.json()) {
      nlohmann::ordered_json entry = {
          {"path", JsonText(loader.path)}, {"port", JsonText(loader.port)}, {"mode", "loader"}};
      if (records.size() == 1) entry["keptSettingsOf"] = JsonText(records[0].serial());
      listed.push_back(entry);
    } else {
      io.out << loader.path << "  at " << (loader.port.empty() ? "?" : loader.port)
             << "  waiting in its firmware loader; " << KeptSettingsFor(records)
             << "; finish its upgrade with "
             << FinishLoaderCommand(io.store, io.program, loader.path) << "\n";
    }
  }
  // A script is given the list only when it is all it asked for; else what failed.
  if (loaders.empty() && keypads.empty())
    return session.fail(kNoKeypad, "no navigation keypad found.");
  if (loaders.empty() && !anyAccessible) {
    io.err << AccessAdvice() << "\n";
    // The failure, with what was seen: which keypads, and why each cannot be opened.
    if (session.json()) {
      io.out << FormatJson({{"error", "no keypad can be opened. " + AccessAdvice()},
                            {"exitStatus", kNotAccessible},
                            {"keypads", listed}})
             << "\n";
    }
    return kNotAccessible;
  }
  if (session.json()) io.out << FormatJson(listed) << "\n";
  return kDone;
}

int Status(Session& session) {
  Io& io = session.io();
  const auto status = session.readStatus();
  if (!status) return session.statusFailed();
  // While a keypad waits in its loader, no other can be upgraded: that one is finished first.
  const auto loaders = BSL_USBDevicePaths(kLoaderVendorId, kLoaderProductId);
  for (const std::string& loader : loaders)
    io.err << "navkeypad: " << WaitingLoaderLine(io.store, loader, io.program) << "\n";
  for (const auto& record : KeptRecords(io.store)) {
    if (!loaders.empty()) break;
    if (!firmware::RecordNeededNow(record, status, session.port())) continue;
    // Without a serial number, or elsewhere than that keypad left from, the keypad may be that
    // one or another: only the user can say.
    const bool unnamed = firmware::RecordNeedsWord(record, *status, session.port());
    io.err << "navkeypad: the firmware upgrade of " << firmware::KeypadName(record)
           << " did not finish; its settings are kept. Finish it with '" << io.program << " "
           << session.pickWords(status->serialNumber) << "upgrade "
           << (unnamed ? "--settings-of " + ShellQuoted(record.serial()) + " " : "")
           << "FIRMWARE.txt'" << (unnamed ? " if this keypad is that one" : "") << ".\n";
  }
  if (session.json()) {
    auto table = nlohmann::ordered_json::array();
    for (std::size_t key = 0; key < kNavigationKeyCount; ++key) {
      const auto entry = status->codeTable.entry(static_cast<NavigationKey>(key));
      table.push_back({{"key", kKeyNames[key]},
                       {"code", int{entry.keyCode}},
                       {"name", CodeName(entry.keyCode)},
                       {"modifier", ModifierName(entry.modifier)}});
    }
    const nlohmann::ordered_json shown = {
        {"path", JsonText(session.path())},
        {"port", JsonText(session.port())},
        {"firmwareVersion", JsonText(status->firmwareVersion)},
        {"serialNumber", JsonText(status->serialNumber)},
        {"ledBrightness", int{status->ledBrightness}},
        {"keypadType", int{status->keypadType}},
        {"layout", LayoutName(status->keypadType)},
        {"jackIn", status->jackState == 0},
        {"orientation", status->orientation == 0 ? "vertical" : "horizontal"},
        {"temperature", JsonText(status->temperature)},
        {"codeTable", table}};
    io.out << FormatJson(shown) << "\n";
    return kDone;
  }
  io.out << "Keypad          " << session.path() << "\n"
         << "Port            " << (session.port().empty() ? "?" : session.port()) << "\n"
         << "Firmware        " << status->firmwareVersion << "\n"
         << "Serial number   " << status->serialNumber << "\n"
         << "LED brightness  " << int{status->ledBrightness} << "\n"
         << "Layout          " << LayoutName(status->keypadType) << "\n"
         << "Audio jack      " << (status->jackState == 0 ? "in" : "out") << "\n"
         << "Orientation     " << (status->orientation == 0 ? "vertical" : "horizontal") << "\n";
  PrintTable(io.out, status->codeTable);
  return kDone;
}

namespace {

// A date as the log's times begin: 2026-12-08, 2026-12-08T14, 2026-12-08T14:30 or
// 2026-12-08T14:30:05.
bool IsLogDate(const std::string& text) {
  // Each place of the longest form: d a digit, anything else itself.
  static constexpr std::string_view kLongest = "dddd-dd-ddTdd:dd:ddZ";
  const std::size_t size = text.size();
  if (size != 10 && size != 13 && size != 16 && size != 19 && size != 20) return false;
  for (std::size_t i = 0; i < size; ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kLongest[i] == 'd' ? !digit : text[i] != kLongest[i]) return false;
  }
  // A day of the calendar, at an hour, minute and second of it.
  const auto number = [&](std::size_t at) { return std::stoi(text.substr(at, 2)); };
  const std::chrono::year_month_day day{std::chrono::year(std::stoi(text.substr(0, 4))),
                                        std::chrono::month(static_cast<unsigned>(number(5))),
                                        std::chrono::day(static_cast<unsigned>(number(8)))};
  return day.ok() && (size < 13 || number(11) < 24) && (size < 16 || number(14) < 60) &&
         (size < 19 || number(17) < 60);
}

// "anna@bench-3" (and the site's bench, "anna@bench-3 at bench_3", and the operator where one
// was named: "anna@bench-3 for Kim").
std::string Who(const nlohmann::ordered_json& entry) {
  const std::string user = store::LogText(entry, "user"),
                    computer = store::LogText(entry, "computer"),
                    name = store::LogText(entry, "operator");
  std::string who = (user.empty() ? "?" : user) + "@" + (computer.empty() ? "?" : computer);
  // A site's line says at which of its benches it was written.
  if (const std::string bench = store::LogText(entry, "bench"); !bench.empty())
    who += " at " + bench;
  return name.empty() ? who : who + " for " + name;
}

}  // namespace

int Log(Session& session) {
  Io& io = session.io();
  const Options& options = session.options();
  for (const auto& date : {options.since, options.until}) {
    if (date && !IsLogDate(*date))
      return session.fail(kBadInput, "'" + *date +
                                         "' is no date; give one as 2026-12-08 or "
                                         "2026-12-08T14:30 (UTC, as the log's times are).");
  }
  if (int{options.csv} + int{options.json} + int{options.xlsx.has_value()} > 1)
    return session.fail(kBadInput, "--csv, --json and --xlsx each choose a format; give one.");
  const std::string file = io.store.where();
  store::LogLines read;
  if (const store::StoreError unread =
          io.store.lines({session.serial(), options.since, options.until}, read))
    return session.fail(unread.kind == store::StoreError::kNoAccess ? kNotAccessible : kBadInput,
                        unread.message + ".");
  // With JSON: {"entries": [...], "skipped": N}, N the lines that could not be read.
  const auto document = [](const nlohmann::ordered_json& entries, int skipped) {
    return FormatJson({{"entries", entries}, {"skipped", skipped}, {"exitStatus", kDone}});
  };
  const int unreadable = read.unreadable;
  // With nothing recorded, an export is still one: its header, and no line.
  if (read.entries.empty() && unreadable == 0 && !session.serial() && !options.since &&
      !options.until && !options.csv && !options.xlsx && !session.json()) {
    io.out << "Nothing is recorded in " << file << " yet.\n";
    return kDone;
  }
  auto entries = nlohmann::ordered_json::array();
  for (auto& entry : read.entries) entries.push_back(std::move(entry));
  if (unreadable > 0) {
    io.err << "navkeypad: " << unreadable << " line" << (unreadable == 1 ? " " : "s ") << "of "
           << file << " could not be read and " << (unreadable == 1 ? "is" : "are")
           << " left out.\n";
  }
  if (session.json()) {
    io.out << document(entries, unreadable) << "\n";
    return kDone;
  }
  if (options.csv) {
    support::StandardOutputAsBytes();
    io.out << LogCsv(entries);
    return kDone;
  }
  if (options.xlsx) {
    if (const std::string problem = WriteLogWorkbook(*options.xlsx, entries); !problem.empty())
      return session.fail(kBadInput, "could not write " + *options.xlsx + ": " + problem + ".");
    io.out << "Wrote " << entries.size() << " line" << (entries.size() == 1 ? "" : "s")
           << " of the service log to " << *options.xlsx << ".\n";
    return kDone;
  }
  for (const auto& entry : entries) io.out << LogLineText(entry) << "\n";
  return kDone;
}

std::string LogLineText(const nlohmann::ordered_json& entry) {
  const std::string serial = store::LogText(entry, "serialNumber");
  const std::string message = store::LogText(entry, "message");
  return store::LogText(entry, "time") + "  " + Who(entry) + "  " +
         (serial.empty() ? "(no serial number)" : serial) + "  " + store::LogText(entry, "action") +
         "  " + store::LogText(entry, "firmwareBefore") + " -> " +
         store::LogText(entry, "firmwareAfter") + "  " + store::LogText(entry, "result") +
         (message.empty() ? "" : ": " + message);
}

int Identify(Session& session) {
  return session.withKeypad([&] {
    const auto status = session.readStatus();
    if (!status) return session.statusFailed();
    if (!BlinkLed({200, 200}, 4000, status->ledBrightness, [] { return false; })) {
      return session.fail(kKeypadFailed,
                          "the keypad stopped taking its brightness; plug it in again and run "
                          "'" +
                              session.io().program + " list' to see it.");
    }
    session.io().out << "The keypad at " << session.path() << " ("
                     << (status->serialNumber.empty() ? "no serial number"
                                                      : "serial " + status->serialNumber)
                     << ") blinked for 4 s, and is back at brightness "
                     << static_cast<int>(status->ledBrightness) << ".\n";
    return static_cast<int>(kDone);
  });
}

}  // namespace navkeypad::cli
