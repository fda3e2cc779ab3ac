// What was done to which keypad: one JSON line an action in the bench's service log, for
// technicians who service keypads in numbers and the supervisors who follow them. The store keeps
// the lines; this is what a line says.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
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
  bool passedOver = false;  // nothing was done to it, for `message`'s reason
  std::string message;      // why it failed, or was passed over
  std::string step;         // where a firmware upgrade failed
  // A self test's steps, each with what it came to, in the order they ran.
  std::vector<std::pair<std::string, std::string>> results;
};

// The operator's name written with every line (--operator, or NAVKEYPAD_OPERATOR); empty for
// none.
void SetOperatorName(const std::string& name);
std::string OperatorName();
inline constexpr char kOperatorVariable[] = "NAVKEYPAD_OPERATOR";
// The entry as its line: {"time", "user", "computer", "operator" (when one is named),
// "program", "action", "serialNumber", "path", "port" (where known), "firmwareBefore",
// "firmwareAfter", "serialNumberBefore" (when the serial number changed), "settings" (when the
// keypad was read afterwards), "result", "message", "step" where an upgrade failed, and "results"
// of a self test's steps}.
std::string ServiceLine(const std::string& time, const ServiceEntry& entry);

// A field of a line as text; empty where the line has none, or something other than text.
std::string LogText(const nlohmann::ordered_json& entry, const char* field);
// Seconds since the epoch of a log time ("2026-12-09T10:42:07Z"); -1 when it is none.
long long LogSeconds(const std::string& time);
}  // namespace navkeypad::store
