#include "store/store.h"

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

Store::Line Store::LineOf(const std::string& text) {
  Line line;
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
