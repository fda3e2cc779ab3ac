// What was done to which keypad: one JSON line an action in service-log.jsonl beside the
// configuration file, for technicians who service keypads in numbers.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device/keypad_commands.h"

namespace navkeypad::settings {

struct ServiceEntry {
  std::string program;
  std::string action;  // the command's words, or the window's action
  std::string path;
  std::optional<DeviceStatus> before;  // the keypad as it was, where it was read
  std::optional<DeviceStatus> after;   // and as it ended
  bool ok = false;
  std::string message;  // why it failed
  std::string step;     // where a firmware upgrade failed
  // A self test's steps, each with what it came to, in the order they ran.
  std::vector<std::pair<std::string, std::string>> results;
};

std::string ServiceLogFile(const std::string& configFile);
// Appends the entry, stamped with the time in UTC; empty on success, else why not.
std::string AppendServiceEntry(const std::string& configFile, const ServiceEntry& entry);
// Holds back the lines appended from now on, for a program whose keypads last only once it has
// written them back at its end (a virtual bus kept in a file): a line for a change that was
// then lost would say what no keypad holds.
void HoldServiceLines();
// Appends the held lines, or drops them; empty, or why one could not be appended.
std::string ReleaseServiceLines(bool append);
// The entry as its line: {"time", "user", "computer", "program", "action", "serialNumber",
// "path", "firmwareBefore", "firmwareAfter", "serialNumberBefore" (when the serial number
// changed), "settings" (when the keypad was read afterwards), "result", "message", "step"
// where an upgrade failed, and "results" of a self test's steps}.
std::string ServiceLine(const std::string& time, const ServiceEntry& entry);

}  // namespace navkeypad::settings
