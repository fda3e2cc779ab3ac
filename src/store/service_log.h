// What was done to which keypad: one JSON line an action in the bench's service-log.jsonl, for
// technicians who service keypads in numbers and the supervisors who follow them.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/keypad_commands.h"

namespace navkeypad::store {

struct ServiceEntry {
  std::string program;
  std::string action;  // the command's words, or the window's action
  std::string path;
  std::string port;                    // where it is plugged in, where the system says
  std::optional<DeviceStatus> before;  // the keypad as it was, where it was read
  std::optional<DeviceStatus> after;   // and as it ended
  bool ok = false;
  std::string message;  // why it failed
  std::string step;     // where a firmware upgrade failed
  // A self test's steps, each with what it came to, in the order they ran.
  std::vector<std::pair<std::string, std::string>> results;
};

inline constexpr char kServiceLogFileName[] = "service-log.jsonl";
std::string ServiceLogFile(const std::string& configFile);
// The operator's name written with every line (--operator, or NAVKEYPAD_OPERATOR); empty for
// none.
void SetOperatorName(const std::string& name);
inline constexpr char kOperatorVariable[] = "NAVKEYPAD_OPERATOR";
// Appends the entry, stamped with the time in UTC; empty on success, else why not.
std::string AppendServiceEntry(const std::string& configFile, const ServiceEntry& entry);
// Holds back the lines appended from now on, for a program whose keypads last only once it has
// written them back at its end (a virtual bus kept in a file): a line for a change that was
// then lost would say what no keypad holds.
void HoldServiceLines();
// Appends the held lines, or drops them; empty, or why one could not be appended.
std::string ReleaseServiceLines(bool append);
// The entry as its line: {"time", "user", "computer", "operator" (when one is named),
// "program", "action", "serialNumber", "path", "port" (where known), "firmwareBefore",
// "firmwareAfter", "serialNumberBefore" (when the serial number changed), "settings" (when the
// keypad was read afterwards), "result", "message", "step" where an upgrade failed, and "results"
// of a self test's steps}.
std::string ServiceLine(const std::string& time, const ServiceEntry& entry);

// The log as it is on disk: each line that is an object whose shown fields are texts, and how
// many are not; `problem` where the file is there but cannot be read, `missing` where it is not.
struct ServiceLogRead {
  std::vector<nlohmann::ordered_json> entries;
  int unreadable = 0;
  bool missing = false;
  std::string problem;
};
ServiceLogRead ReadServiceLog(const std::string& file);
// A field of a line as text; empty where the line has none, or something other than text.
std::string LogText(const nlohmann::ordered_json& entry, const char* field);
// Seconds since the epoch of a log time ("2026-12-09T10:42:07Z"); -1 when it is none.
long long LogSeconds(const std::string& time);
// Every serial number the log names.
std::set<std::string> LoggedSerialNumbers(const std::string& configFile);
// The last line that names `serial` as a keypad's number, now or before; none where no line does.
std::optional<nlohmann::ordered_json> LastLineNaming(const std::string& configFile,
                                                     const std::string& serial);
// Whether `entry` is of the keypad that has or had `serial`: it names that number, now or
// before; or it names none, was written at a port where a later line (the next there, within
// an hour of each other along the way) gave that keypad `serial` as its first number.
std::vector<bool> LinesOfKeypad(const std::vector<nlohmann::ordered_json>& entries,
                                const std::string& serial);

}  // namespace navkeypad::store
