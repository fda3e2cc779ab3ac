#include "store/store.h"

#include <algorithm>
#include <random>

#include "support/paths.h"

namespace navkeypad::store {

std::string LedgerEntry::describe() const {
  const char* word = state == kWritten ? "was given"
                     : state == kVoid  ? "was voided"
                                       : "was reserved";
  std::string said = serial + " " + word + " at " + time;
  if (!user.empty() || !computer.empty()) said += " by " + user + "@" + computer;
  if (!program.empty()) said += " (" + program + ")";
  if (!port.empty()) said += " at port " + port;
  return said;
}

std::string Store::NewId() {
  // Drawn from the system each time: a program's copy made by fork draws its own.
  std::random_device random;
  char text[33];
  std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
  return text;
}

std::string Store::RecordText(const PendingUpgrade& record) {
  return RecordToJson(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool Store::IsShownLine(const nlohmann::ordered_json& entry) {
  static constexpr const char* kShownFields[] = {
      "time", "serialNumber", "action", "firmwareBefore", "firmwareAfter", "result", "message"};
  return entry.is_object() &&
         std::all_of(std::begin(kShownFields), std::end(kShownFields), [&](const char* field) {
           return !entry.contains(field) || entry[field].is_string();
         });
}

Store::Line Store::LineOf(const std::string& text) {
  Line line;
  line.id = NewId();
  line.text = text;
  const auto entry = nlohmann::json::parse(text, nullptr, false);
  if (!entry.is_object()) return line;
  const auto field = [&](const char* name) {
    return entry.contains(name) && entry[name].is_string() ? entry[name].get<std::string>()
                                                           : std::string();
  };
  line.time = field("time");
  line.port = field("port");
  line.computer = field("computer");
  line.user = field("user");
  line.program = field("program");
  for (const char* name : {"serialNumber", "serialNumberBefore"}) {
    if (const std::string serial = field(name); !serial.empty()) line.serials.push_back(serial);
  }
  return line;
}

StoreError Store::append(const ServiceEntry& entry) {
  Line line = LineOf(ServiceLine(support::UtcTimeText(), entry));
  {
    std::lock_guard lock(heldMutex_);
    if (holding_) {
      held_.push_back(std::move(line));
      return {};
    }
  }
  return appendLine(line);
}

void Store::holdLines() {
  std::lock_guard lock(heldMutex_);
  holding_ = true;
}

StoreError Store::releaseLines(bool append) {
  std::vector<Line> lines;
  {
    std::lock_guard lock(heldMutex_);
    holding_ = false;
    lines.swap(held_);
  }
  if (!append) return {};
  for (const Line& line : lines) {
    if (StoreError error = appendLine(line)) return error;
  }
  return {};
}

}  // namespace navkeypad::store
