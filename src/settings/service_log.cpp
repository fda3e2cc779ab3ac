#include "settings/service_log.h"

#include <chrono>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "settings/keypad_settings_file.h"
#include "support/atomic_file.h"
#include "support/paths.h"

namespace navkeypad::settings {

namespace {

struct HeldLines {
  std::mutex mutex;
  bool holding = false;
  std::vector<std::pair<std::string, std::string>> lines;  // file, line
};
HeldLines& held() {
  static HeldLines instance;
  return instance;
}

}  // namespace

std::string ServiceLogFile(const std::string& configFile) {
  return BesideConfigFile(configFile, "service-log.jsonl");
}

std::string ServiceLine(const std::string& time, const ServiceEntry& entry) {
  const auto& known = entry.after ? entry.after : entry.before;
  nlohmann::ordered_json line = {
      {"time", time},
      {"user", support::UserName()},
      {"computer", support::ComputerName()},
      {"program", entry.program},
      {"action", entry.action},
      {"serialNumber", known ? known->serialNumber : std::string()},
      {"path", entry.path},
      {"firmwareBefore", entry.before ? entry.before->firmwareVersion : std::string()},
      {"firmwareAfter", entry.after ? entry.after->firmwareVersion : std::string()}};
  // A serial number given over another (serial set --force, a restore) keeps the one it
  // replaced on record.
  if (entry.before && entry.after && entry.before->serialNumber != entry.after->serialNumber)
    line["serialNumberBefore"] = entry.before->serialNumber;
  if (entry.after) {
    line["settings"] = {{"ledBrightness", entry.after->ledBrightness},
                        {"keypadType", entry.after->keypadType},
                        {"codeTable", std::vector<int>(entry.after->codeTable.bytes.begin(),
                                                       entry.after->codeTable.bytes.end())}};
  }
  line["result"] = entry.ok ? "ok" : "failed";
  line["message"] = entry.message;
  if (!entry.step.empty()) line["step"] = entry.step;
  if (!entry.results.empty()) {
    line["results"] = nlohmann::ordered_json::object();
    for (const auto& [step, result] : entry.results) line["results"][step] = result;
  }
  // Texts from the keypad are 8-bit; a byte that is not UTF-8 is written as U+FFFD.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string AppendServiceEntry(const std::string& configFile, const ServiceEntry& entry) {
  const std::string file = ServiceLogFile(configFile);
  const std::string line = ServiceLine(support::UtcTimeText(), entry);
  {
    std::lock_guard lock(held().mutex);
    if (held().holding) {
      held().lines.emplace_back(file, line);
      return {};
    }
  }
  return support::AppendLine(file, line);
}

void HoldServiceLines() {
  std::lock_guard lock(held().mutex);
  held().holding = true;
}

std::string ReleaseServiceLines(bool append) {
  std::vector<std::pair<std::string, std::string>> lines;
  {
    std::lock_guard lock(held().mutex);
    held().holding = false;
    lines.swap(held().lines);
  }
  if (!append) return {};
  std::string problem;
  for (const auto& [file, line] : lines) {
    if (std::string failed = support::AppendLine(file, line); !failed.empty() && problem.empty())
      problem = file + " " + failed;
  }
  return problem;
}

}  // namespace navkeypad::settings
