// HID traffic as JSON lines: every call and what it gave back, recorded once on a real keypad
// (or the virtual bus) and replayed in strict order, without the waits, in any build.
//
// The first line describes the run: {"recording": 1, "program": ..., "arguments": [...]};
// the last one how it ended: {"end": true, "exitStatus": N}. Between them one line a call:
// "init", "exit", "enumerate" (with the devices found), "open" (the device number it gave,
// or null and the error), "write" (bytes and result), "read" (the empty polls before a
// report, then the report; a run of polls that ended without one has no "data"),
// "nonblocking", "close", "manufacturer", "product".
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "device/hid_seam.h"

namespace wire {

class RecordingHid : public navkeypad::ForwardingHid {
 public:
  // False from ok() when the file cannot be written.
  RecordingHid(navkeypad::HidBackend& inner, const std::string& file, const std::string& program,
               const std::vector<std::string>& arguments);
  ~RecordingHid() override;
  bool ok() const { return out_ != nullptr; }
  // The last line: how the program ended.
  void finish(int exitStatus);

  int init() override;
  int exit() override;
  hid_device_info* enumerate(unsigned short vendorId, unsigned short productId) override;
  hid_device* openPath(const char* path) override;
  int write(hid_device* device, const unsigned char* data, std::size_t length) override;
  int readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                  int milliseconds) override;
  int setNonblocking(hid_device* device, int nonblock) override;
  void close(hid_device* device) override;
  int manufacturerString(hid_device* device, wchar_t* text, std::size_t capacity) override;
  int productString(hid_device* device, wchar_t* text, std::size_t capacity) override;

 private:
  // A device's empty polls wait for the report that ends them, or for its next other call.
  void flushPolls(int device);
  void append(nlohmann::ordered_json event);
  int number(hid_device* device);

  std::FILE* out_ = nullptr;
  std::recursive_mutex mutex_;
  std::map<hid_device*, int> devices_;
  std::map<int, int> pendingPolls_;
  int nextDevice_ = 1;
  bool finished_ = false;
};

// One recorded call.
struct RecordedEvent {
  std::string call;
  nlohmann::json fields;
};

struct Recording {
  std::string program;
  std::vector<std::string> arguments;
  std::optional<int> exitStatus;
  std::vector<RecordedEvent> events;
};
// Throws std::invalid_argument, naming the line, for a text that is not a recording.
Recording ParseRecording(const std::string& text);

class ReplayHid : public navkeypad::HidBackend {
 public:
  explicit ReplayHid(Recording recording, std::string name);
  ~ReplayHid() override;

  // The first mismatch, or empty while the program does what was recorded.
  std::string failure() const;
  // Every event was served.
  bool finished() const;
  // The message for events left over, or empty.
  std::string leftOver() const;
  const Recording& recording() const { return recording_; }

  int init() override;
  int exit() override;
  hid_device_info* enumerate(unsigned short vendorId, unsigned short productId) override;
  void freeEnumeration(hid_device_info* list) override;
  hid_device* openPath(const char* path) override;
  int write(hid_device* device, const unsigned char* data, std::size_t length) override;
  int readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                  int milliseconds) override;
  int setNonblocking(hid_device* device, int nonblock) override;
  void close(hid_device* device) override;
  int manufacturerString(hid_device* device, wchar_t* text, std::size_t capacity) override;
  int productString(hid_device* device, wchar_t* text, std::size_t capacity) override;
  const wchar_t* error(hid_device* device) override;
  // Where the device was, as the enumeration that listed it recorded.
  std::string port(const char* path) override;

 private:
  // The next event if it is `call` (with `matches` true of it); otherwise the replay ends.
  const RecordedEvent* expect(const std::string& call, const std::string& came,
                              const std::function<bool(const nlohmann::json&)>& matches);
  void fail(const std::string& message);
  int deviceNumber(hid_device* device) const;
  int deviceText(const std::string& call, hid_device* device, wchar_t* text, std::size_t capacity);

  Recording recording_;
  std::string name_;
  mutable std::mutex mutex_;
  std::size_t next_ = 0;
  int pollsServed_ = 0;  // of the read event at next_
  std::string failure_;
  std::wstring lastError_ = L"Success";
  std::map<int, std::unique_ptr<int>> devices_;
  std::vector<hid_device_info*> lists_;
  std::map<std::string, std::string> ports_;  // path: port, from the enumerations served
};

}  // namespace wire
