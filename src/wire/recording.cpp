#include "wire/recording.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/hex.h"
#include "support/paths.h"
#include "wire/decode.h"

namespace wire {

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

std::string WideToUtf8(const wchar_t* text) {
  std::string utf8;
  for (; text != nullptr && *text != L'\0'; ++text) {
    auto c = static_cast<uint32_t>(*text);
    if (c < 0x80) {
      utf8.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      utf8.push_back(static_cast<char>(0xE0 | (c >> 12)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      utf8.push_back(static_cast<char>(0xF0 | ((c >> 18) & 0x07)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return utf8;
}

std::wstring Utf8ToWide(const std::string& text) {
  std::wstring wide;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + static_cast<std::size_t>(k) < text.size(); ++k) {
      code =
          (code << 6) | (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0x3F);
    }
    wide.push_back(static_cast<wchar_t>(code));
    i += static_cast<std::size_t>(extra) + 1;
  }
  return wide;
}

std::string ToHex(const unsigned char* data, std::size_t length) {
  return support::HexText({data, length});
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  auto bytes = support::BytesFromHex(hex);
  if (!bytes) throw std::invalid_argument("not hex");
  return *bytes;
}

}  // namespace

// --- recording ------------------------------------------------------------------------------

RecordingHid::RecordingHid(navkeypad::HidBackend& inner, const std::string& file,
                           const std::string& program, const std::vector<std::string>& arguments)
    : ForwardingHid(inner), out_(support::OpenFile(file, "wb")) {
  append({{"recording", 1}, {"program", program}, {"arguments", arguments}});
}

RecordingHid::~RecordingHid() {
  if (out_ != nullptr) std::fclose(out_);
}

void RecordingHid::finish(int exitStatus) {
  std::lock_guard lock(mutex_);
  if (finished_) return;
  for (auto& [device, polls] : pendingPolls_) flushPolls(device);
  append({{"end", true}, {"exitStatus", exitStatus}});
  finished_ = true;
}

void RecordingHid::append(ordered_json event) {
  if (out_ == nullptr || finished_) return;
  // Written as it happens: a recording cut short by a crash still shows what led to it.
  const std::string line = event.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void RecordingHid::flushPolls(int device) {
  auto found = pendingPolls_.find(device);
  if (found == pendingPolls_.end() || found->second == 0) return;
  append({{"call", "read"}, {"device", device}, {"emptyPolls", found->second}});
  found->second = 0;
}

int RecordingHid::number(hid_device* device) {
  const auto found = devices_.find(device);
  return found != devices_.end() ? found->second : 0;
}

int RecordingHid::init() {
  std::lock_guard lock(mutex_);
  const int result = inner_.init();
  append({{"call", "init"}, {"result", result}});
  return result;
}

int RecordingHid::exit() {
  std::lock_guard lock(mutex_);
  const int result = inner_.exit();
  append({{"call", "exit"}, {"result", result}});
  return result;
}

hid_device_info* RecordingHid::enumerate(unsigned short vendorId, unsigned short productId) {
  std::lock_guard lock(mutex_);
  hid_device_info* list = inner_.enumerate(vendorId, productId);
  ordered_json found = ordered_json::array();
  for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    ordered_json device = {{"path", entry->path},
                           {"vendor", entry->vendor_id},
                           {"product", entry->product_id},
                           {"interface", entry->interface_number},
                           {"serial", WideToUtf8(entry->serial_number)},
                           {"manufacturer", WideToUtf8(entry->manufacturer_string)},
                           {"productString", WideToUtf8(entry->product_string)}};
    // Asked once here, so that a replay can say where each device was without a call of its own.
    if (const std::string port = inner_.port(entry->path); !port.empty()) device["port"] = port;
    found.push_back(device);
  }
  append({{"call", "enumerate"}, {"vendor", vendorId}, {"product", productId}, {"devices", found}});
  return list;
}

hid_device* RecordingHid::openPath(const char* path) {
  std::lock_guard lock(mutex_);
  hid_device* device = inner_.openPath(path);
  ordered_json event = {{"call", "open"}, {"path", path != nullptr ? path : ""}};
  if (device == nullptr) {
    event["device"] = nullptr;
    event["error"] = WideToUtf8(inner_.error(nullptr));
  } else {
    devices_[device] = nextDevice_;
    event["device"] = nextDevice_++;
  }
  append(event);
  return device;
}

int RecordingHid::write(hid_device* device, const unsigned char* data, std::size_t length) {
  std::lock_guard lock(mutex_);
  const int result = inner_.write(device, data, length);
  const int at = number(device);
  flushPolls(at);
  append({{"call", "write"}, {"device", at}, {"data", ToHex(data, length)}, {"result", result}});
  return result;
}

int RecordingHid::readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                              int milliseconds) {
  const int result = inner_.readTimeout(device, data, length, milliseconds);
  std::lock_guard lock(mutex_);
  const int at = number(device);
  if (result == 0) {
    ++pendingPolls_[at];
    return result;
  }
  ordered_json event = {{"call", "read"}, {"device", at}, {"emptyPolls", pendingPolls_[at]}};
  pendingPolls_[at] = 0;
  if (result > 0) {
    event["data"] = ToHex(data, static_cast<std::size_t>(result));
  } else {
    event["result"] = result;
  }
  append(event);
  return result;
}

int RecordingHid::setNonblocking(hid_device* device, int nonblock) {
  std::lock_guard lock(mutex_);
  const int result = inner_.setNonblocking(device, nonblock);
  append({{"call", "nonblocking"},
          {"device", number(device)},
          {"value", nonblock},
          {"result", result}});
  return result;
}

void RecordingHid::close(hid_device* device) {
  std::lock_guard lock(mutex_);
  const int at = number(device);
  flushPolls(at);
  append({{"call", "close"}, {"device", at}});
  devices_.erase(device);
  inner_.close(device);
}

int RecordingHid::manufacturerString(hid_device* device, wchar_t* text, std::size_t capacity) {
  std::lock_guard lock(mutex_);
  const int result = inner_.manufacturerString(device, text, capacity);
  append({{"call", "manufacturer"},
          {"device", number(device)},
          {"result", result},
          {"text", result == 0 ? WideToUtf8(text) : ""}});
  return result;
}

int RecordingHid::productString(hid_device* device, wchar_t* text, std::size_t capacity) {
  std::lock_guard lock(mutex_);
  const int result = inner_.productString(device, text, capacity);
  append({{"call", "product"},
          {"device", number(device)},
          {"result", result},
          {"text", result == 0 ? WideToUtf8(text) : ""}});
  return result;
}

// --- reading a recording --------------------------------------------------------------------

namespace {

// --- reading a recording --------------------------------------------------------------------

enum class Kind { number, text, hex, numberOrNull };

// A field the replay reads, checked for its type now so that no event can throw half way
// through a replay. Numbers must fit an int: a recording only ever holds ints.
const json& Field(const json& event, const char* name, Kind kind, bool required) {
  static const json kAbsent;
  const auto found = event.find(name);
  if (found == event.end()) {
    if (required) throw std::invalid_argument(std::string("no \"") + name + "\"");
    return kAbsent;
  }
  const json& value = *found;
  const bool isInt = value.is_number_integer() &&
                     (value.is_number_unsigned()
                          ? value.get<uint64_t>() <= uint64_t{INT32_MAX}
                          : value.get<int64_t>() >= INT32_MIN && value.get<int64_t>() <= INT32_MAX);
  bool fits = false;
  switch (kind) {
    case Kind::number:
      fits = isInt;
      break;
    case Kind::numberOrNull:
      fits = isInt || value.is_null();
      break;
    case Kind::text:
      fits = value.is_string();
      break;
    case Kind::hex:
      fits = value.is_string();
      if (fits) FromHex(value.get<std::string>());
      break;
  }
  if (!fits) throw std::invalid_argument(std::string("\"") + name + "\" has the wrong type");
  return value;
}

void CheckEvent(const std::string& call, const json& event) {
  static const char* const kCalls[] = {"init",         "exit",   "enumerate",   "open",
                                       "write",        "read",   "nonblocking", "close",
                                       "manufacturer", "product"};
  if (std::find(std::begin(kCalls), std::end(kCalls), call) == std::end(kCalls)) {
    throw std::invalid_argument("no call named \"" + call + "\"");
  }
  Field(event, "device", call == "open" ? Kind::numberOrNull : Kind::number, call == "open");
  Field(event, "result", Kind::number, false);
  if (call == "write") Field(event, "data", Kind::hex, true);
  if (call == "read") {
    if (Field(event, "emptyPolls", Kind::number, true).get<int>() < 0) {
      throw std::invalid_argument("emptyPolls < 0");
    }
    Field(event, "data", Kind::hex, false);
  }
  if (call == "open") {
    Field(event, "path", Kind::text, false);
    Field(event, "error", Kind::text, false);
  }
  if (call == "nonblocking") Field(event, "value", Kind::number, false);
  if (call == "manufacturer" || call == "product") Field(event, "text", Kind::text, false);
  if (call == "enumerate") {
    Field(event, "vendor", Kind::number, false);
    Field(event, "product", Kind::number, false);
    const auto devices = event.find("devices");
    if (devices == event.end() || !devices->is_array()) {
      throw std::invalid_argument("\"devices\" is not a list");
    }
    for (const json& device : *devices) {
      if (!device.is_object()) throw std::invalid_argument("a device is not an object");
      Field(device, "path", Kind::text, true);
      Field(device, "interface", Kind::number, true);
      Field(device, "vendor", Kind::number, false);
      Field(device, "product", Kind::number, false);
      for (const char* name : {"serial", "manufacturer", "productString", "port"}) {
        Field(device, name, Kind::text, false);
      }
    }
  }
}

}  // namespace

Recording ParseRecording(const std::string& text) {
  Recording recording;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool ended = false;
  while (std::getline(lines, line)) {
    ++number;
    if (line.empty() || line == "\r") continue;
    try {
      json event = json::parse(line);
      if (!event.is_object()) throw std::invalid_argument("not an object");
      if (ended) throw std::invalid_argument("an event after the end");
      if (event.contains("recording")) {
        if (number != 1) throw std::invalid_argument("a second header");
        recording.program = event.value("program", "");
        recording.arguments = event.value("arguments", std::vector<std::string>{});
        continue;
      }
      if (event.contains("end")) {
        recording.exitStatus = Field(event, "exitStatus", Kind::number, true).get<int>();
        ended = true;
        continue;
      }
      const std::string call = Field(event, "call", Kind::text, true).get<std::string>();
      CheckEvent(call, event);
      recording.events.push_back({call, event});
    } catch (const std::exception& error) {
      throw std::invalid_argument("line " + std::to_string(number) + ": " + error.what());
    }
  }
  return recording;
}

// --- replaying ------------------------------------------------------------------------------

ReplayHid::ReplayHid(Recording recording, std::string name)
    : recording_(std::move(recording)), name_(std::move(name)) {}

ReplayHid::~ReplayHid() {
  for (hid_device_info* list : lists_) freeEnumeration(list);
}

std::string ReplayHid::failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

bool ReplayHid::finished() const {
  std::lock_guard lock(mutex_);
  return failure_.empty() && next_ == recording_.events.size();
}

std::string ReplayHid::leftOver() const {
  std::lock_guard lock(mutex_);
  if (!failure_.empty() || next_ == recording_.events.size()) return {};
  return "replay of " + name_ + ": the program ended at event " + std::to_string(next_ + 1) +
         " of " + std::to_string(recording_.events.size()) + ", which expected " +
         recording_.events[next_].fields.dump();
}

void ReplayHid::fail(const std::string& message) {
  if (!failure_.empty()) return;
  failure_ = "replay of " + name_ + ": event " + std::to_string(next_ + 1) + ": " + message;
  std::fprintf(stderr, "%s\n", failure_.c_str());
}

int ReplayHid::deviceNumber(hid_device* device) const {
  for (const auto& [number, token] : devices_) {
    if (reinterpret_cast<hid_device*>(token.get()) == device) return number;
  }
  return 0;
}

const RecordedEvent* ReplayHid::expect(const std::string& call, const std::string& came,
                                       const std::function<bool(const json&)>& matches) {
  if (!failure_.empty()) return nullptr;
  // A run of empty polls that the program stopped short of is over.
  if (next_ < recording_.events.size() && recording_.events[next_].call == "read" &&
      call != "read" && !recording_.events[next_].fields.contains("data")) {
    ++next_;
    pollsServed_ = 0;
  }
  if (next_ >= recording_.events.size()) {
    fail("expected nothing more, got " + came);
    return nullptr;
  }
  const RecordedEvent& event = recording_.events[next_];
  if (event.call != call || !matches(event.fields)) {
    fail("expected " + event.fields.dump() + ", got " + came);
    return nullptr;
  }
  return &event;
}

int ReplayHid::init() {
  std::lock_guard lock(mutex_);
  const auto* event = expect("init", "init", [](const json&) { return true; });
  if (event == nullptr) return -1;
  ++next_;
  return event->fields.value("result", 0);
}

int ReplayHid::exit() {
  std::lock_guard lock(mutex_);
  const auto* event = expect("exit", "exit", [](const json&) { return true; });
  if (event == nullptr) return -1;
  ++next_;
  return event->fields.value("result", 0);
}

hid_device_info* ReplayHid::enumerate(unsigned short vendorId, unsigned short productId) {
  std::lock_guard lock(mutex_);
  const std::string came =
      "enumerate of " + std::to_string(vendorId) + ":" + std::to_string(productId);
  const auto* event = expect("enumerate", came, [&](const json& fields) {
    return fields.value("vendor", -1) == vendorId && fields.value("product", -1) == productId;
  });
  if (event == nullptr) return nullptr;
  ++next_;
  std::vector<navkeypad::EnumeratedDevice> found;
  for (const json& device : event->fields.at("devices")) {
    found.push_back({device.at("path").get<std::string>(),
                     device.value("vendor", static_cast<unsigned short>(0)),
                     device.value("product", static_cast<unsigned short>(0)),
                     device.at("interface").get<int>(), Utf8ToWide(device.value("serial", "")),
                     Utf8ToWide(device.value("manufacturer", "")),
                     Utf8ToWide(device.value("productString", ""))});
    ports_[found.back().path] = device.value("port", "");
  }
  return navkeypad::MakeEnumerationList(found);
}

std::string ReplayHid::port(const char* path) {
  std::lock_guard lock(mutex_);
  const auto found = ports_.find(path != nullptr ? path : "");
  return found != ports_.end() ? found->second : std::string();
}

void ReplayHid::freeEnumeration(hid_device_info* list) {
  navkeypad::FreeEnumerationList(list);
}

hid_device* ReplayHid::openPath(const char* path) {
  std::lock_guard lock(mutex_);
  const std::string asked = path != nullptr ? path : "";
  const auto* event = expect("open", "open of " + asked,
                             [&](const json& fields) { return fields.value("path", "") == asked; });
  if (event == nullptr) return nullptr;
  ++next_;
  if (event->fields.at("device").is_null()) {
    lastError_ = Utf8ToWide(event->fields.value("error", ""));
    return nullptr;
  }
  const int number = event->fields.at("device").get<int>();
  auto& token = devices_[number];
  token = std::make_unique<int>(number);
  return reinterpret_cast<hid_device*>(token.get());
}

int ReplayHid::write(hid_device* device, const unsigned char* data, std::size_t length) {
  std::lock_guard lock(mutex_);
  const int number = deviceNumber(device);
  const std::string bytes = ToHex(data, length);
  const auto* event =
      expect("write", "write to device " + std::to_string(number) + " of " + bytes,
             [&](const json& fields) {
               return fields.value("device", -1) == number && fields.value("data", "") == bytes;
             });
  if (event == nullptr) return -1;
  ++next_;
  return event->fields.value("result", -1);
}

int ReplayHid::readTimeout(hid_device* device, unsigned char* data, std::size_t length, int) {
  std::lock_guard lock(mutex_);
  const int number = deviceNumber(device);
  for (;;) {
    const auto* event =
        expect("read", "read from device " + std::to_string(number),
               [&](const json& fields) { return fields.value("device", -1) == number; });
    if (event == nullptr) return -1;
    if (pollsServed_ < event->fields.value("emptyPolls", 0)) {
      ++pollsServed_;
      return 0;
    }
    pollsServed_ = 0;
    ++next_;
    if (event->fields.contains("data")) {
      const auto bytes = FromHex(event->fields.at("data").get<std::string>());
      const std::size_t count = std::min(length, bytes.size());
      std::memcpy(data, bytes.data(), count);
      return static_cast<int>(count);
    }
    if (event->fields.contains("result")) return event->fields.at("result").get<int>();
    // Polls that ended without a report, then more polls: the next event serves them.
  }
}

int ReplayHid::setNonblocking(hid_device* device, int nonblock) {
  std::lock_guard lock(mutex_);
  const int number = deviceNumber(device);
  const auto* event = expect(
      "nonblocking", "nonblocking on device " + std::to_string(number), [&](const json& fields) {
        return fields.value("device", -1) == number && fields.value("value", -1) == nonblock;
      });
  if (event == nullptr) return -1;
  ++next_;
  return event->fields.value("result", -1);
}

void ReplayHid::close(hid_device* device) {
  std::lock_guard lock(mutex_);
  const int number = deviceNumber(device);
  const auto* event =
      expect("close", "close of device " + std::to_string(number),
             [&](const json& fields) { return fields.value("device", -1) == number; });
  if (event != nullptr) ++next_;
  devices_.erase(number);
}

int ReplayHid::manufacturerString(hid_device* device, wchar_t* text, std::size_t capacity) {
  return deviceText("manufacturer", device, text, capacity);
}

int ReplayHid::productString(hid_device* device, wchar_t* text, std::size_t capacity) {
  return deviceText("product", device, text, capacity);
}

int ReplayHid::deviceText(const std::string& call, hid_device* device, wchar_t* text,
                          std::size_t capacity) {
  std::lock_guard lock(mutex_);
  const int number = deviceNumber(device);
  const auto* event =
      expect(call, call + " of device " + std::to_string(number),
             [&](const json& fields) { return fields.value("device", -1) == number; });
  if (event == nullptr || capacity == 0) return -1;
  ++next_;
  navkeypad::CopyWideText(Utf8ToWide(event->fields.value("text", "")), text, capacity);
  return event->fields.value("result", -1);
}

const wchar_t* ReplayHid::error(hid_device* device) {
  std::lock_guard lock(mutex_);
  if (device == nullptr) return lastError_.c_str();
  return L"replayed device error";
}

}  // namespace wire
