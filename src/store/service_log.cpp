#include "store/service_log.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iomanip>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>
#include <vector>

#include "support/paths.h"

namespace navkeypad::store {

namespace {
std::mutex operatorMutex;
std::string operatorName;
}  // namespace

void SetOperatorName(const std::string& name) {
  std::lock_guard lock(operatorMutex);
  operatorName = name;
}

std::string OperatorName() {
  std::lock_guard lock(operatorMutex);
  return operatorName.empty() ? support::EnvironmentText(kOperatorVariable) : operatorName;
}

std::string ServiceLine(const std::string& time, const ServiceEntry& entry) {
  const auto& known = entry.after ? entry.after : entry.before;
  nlohmann::ordered_json line = {
      {"time", time}, {"user", support::UserName()}, {"computer", support::ComputerName()}};
  if (const std::string name = OperatorName(); !name.empty()) line["operator"] = name;
  line.update(nlohmann::ordered_json{{"program", entry.program},
                                     {"action", entry.action},
                                     {"serialNumber", known ? known->serialNumber : std::string()},
                                     {"path", entry.path}});
  if (!entry.port.empty()) line["port"] = entry.port;
  line["firmwareBefore"] = entry.before ? entry.before->firmwareVersion : std::string();
  line["firmwareAfter"] = entry.after ? entry.after->firmwareVersion : std::string();
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
  line["result"] = entry.passedOver ? "skipped" : entry.ok ? "ok" : "failed";
  line["message"] = entry.message;
  if (!entry.step.empty()) line["step"] = entry.step;
  if (!entry.results.empty()) {
    line["results"] = nlohmann::ordered_json::object();
    for (const auto& [step, result] : entry.results) line["results"][step] = result;
  }
  // Texts from the keypad are 8-bit; a byte that is not UTF-8 is written as U+FFFD.
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string LogText(const nlohmann::ordered_json& entry, const char* field) {
  return entry.contains(field) && entry[field].is_string() ? entry[field].get<std::string>() : "";
}

long long LogSeconds(const std::string& time) {
  std::tm utc{};
  std::istringstream in(time);
  in >> std::get_time(&utc, "%Y-%m-%dT%H:%M:%S");
  if (in.fail()) return -1;
#ifdef _WIN32
  return static_cast<long long>(_mkgmtime(&utc));
#else
  return static_cast<long long>(timegm(&utc));
#endif
}

}  // namespace navkeypad::store
