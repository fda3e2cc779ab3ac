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

#include "store/bench_folder.h"
#include "support/atomic_file.h"
#include "support/paths.h"
#include "support/program_lock.h"

namespace navkeypad::store {

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

// Lines are appended under the log's lock, since its lines are brought over into it (merged by
// time, the file replaced) under that lock too.
std::string AppendUnderLock(const std::string& file, const std::string& line) {
  if (file.empty()) return "has no folder";
  support::ProgramLock lock;
  if (std::string problem = LockBeside(lock, file); !problem.empty())
    return "cannot be written (" + problem + ")";
  std::string problem = support::AppendLine(file, line);
  ShareWithBench(file);
  return problem;
}

}  // namespace

std::string ServiceLogFile(const std::string& configFile) {
  return BenchFile(configFile, kServiceLogFileName);
}

namespace {
std::mutex operatorMutex;
std::string operatorName;
}  // namespace

void SetOperatorName(const std::string& name) {
  std::lock_guard lock(operatorMutex);
  operatorName = name;
}

namespace {
std::string OperatorName() {
  std::lock_guard lock(operatorMutex);
  return operatorName.empty() ? support::EnvironmentText(kOperatorVariable) : operatorName;
}
}  // namespace

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
  return AppendUnderLock(file, line);
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
    if (std::string failed = AppendUnderLock(file, line); !failed.empty() && problem.empty())
      problem = file + " " + failed;
  }
  return problem;
}

namespace {
// The fields every reader shows: a line where one of them is not a text is damaged.
constexpr const char* kShownFields[] = {"time",          "serialNumber", "action", "firmwareBefore",
                                        "firmwareAfter", "result",       "message"};
constexpr std::uintmax_t kServiceLogLimit = 64u << 20;
}  // namespace

ServiceLogRead ReadServiceLog(const std::string& file) {
  ServiceLogRead read;
  std::string bytes;
  const std::string problem = support::ReadRegularFile(file, bytes, kServiceLogLimit);
  if (problem == "is missing") {
    read.missing = true;
    return read;
  }
  if (!problem.empty()) {
    read.problem = file + " " + problem;
    return read;
  }
  std::istringstream lines(bytes);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    auto entry = nlohmann::ordered_json::parse(line, nullptr, false);
    const auto text = [&](const char* field) {
      return !entry.contains(field) || entry[field].is_string();
    };
    if (entry.is_discarded() || !entry.is_object() ||
        !std::all_of(std::begin(kShownFields), std::end(kShownFields), text)) {
      ++read.unreadable;
      continue;
    }
    read.entries.push_back(std::move(entry));
  }
  return read;
}

std::set<std::string> LoggedSerialNumbers(const std::string& configFile) {
  std::set<std::string> serials;
  for (const auto& entry : ReadServiceLog(ServiceLogFile(configFile)).entries) {
    for (const char* field : {"serialNumber", "serialNumberBefore"}) {
      if (const std::string serial = LogText(entry, field); !serial.empty()) serials.insert(serial);
    }
  }
  return serials;
}

std::string LogText(const nlohmann::ordered_json& entry, const char* field) {
  return entry.contains(field) && entry[field].is_string() ? entry[field].get<std::string>() : "";
}

namespace {
bool NamesSerial(const nlohmann::ordered_json& entry, const std::string& serial) {
  return LogText(entry, "serialNumber") == serial || LogText(entry, "serialNumberBefore") == serial;
}
}  // namespace

std::optional<nlohmann::ordered_json> LastLineNaming(const std::string& configFile,
                                                     const std::string& serial) {
  const auto entries = ReadServiceLog(ServiceLogFile(configFile)).entries;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (NamesSerial(*entry, serial)) return *entry;
  }
  return std::nullopt;
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

std::vector<bool> LinesOfKeypad(const std::vector<nlohmann::ordered_json>& entries,
                                const std::string& serial) {
  constexpr long long kLinkedWithin = 3600;
  std::vector<bool> of(entries.size(), false);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!NamesSerial(entries[i], serial)) continue;
    of[i] = true;
    // The line that gave the keypad its first number: the lines before it at its port, of a
    // keypad without a number, were of it, back to the port's previous keypad.
    if (!entries[i].contains("serialNumberBefore") ||
        !LogText(entries[i], "serialNumberBefore").empty())
      continue;
    const std::string port = LogText(entries[i], "port");
    const std::string computer = LogText(entries[i], "computer");
    if (port.empty()) continue;
    long long later = LogSeconds(LogText(entries[i], "time"));
    for (std::size_t j = i; j-- > 0;) {
      if (LogText(entries[j], "port") != port || LogText(entries[j], "computer") != computer)
        continue;
      const long long time = LogSeconds(LogText(entries[j], "time"));
      if (!LogText(entries[j], "serialNumber").empty() || time < 0 || later < 0 ||
          later - time > kLinkedWithin)
        break;
      of[j] = true;
      later = time;
    }
  }
  return of;
}

}  // namespace navkeypad::store
