// A line for every HID event, for the person holding a keypad that behaves unexpectedly:
// time since start, direction, device, the report's bytes and what they mean.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "device/hid_seam.h"

namespace wire {

class TracingHid : public navkeypad::ForwardingHid {
 public:
  // Writes to `out` (not closed) and passes every call on to `inner`.
  TracingHid(navkeypad::HidBackend& inner, std::FILE* out);

  hid_device_info* enumerate(unsigned short vendorId, unsigned short productId) override;
  hid_device* openPath(const char* path) override;
  int write(hid_device* device, const unsigned char* data, std::size_t length) override;
  int readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                  int milliseconds) override;
  void close(hid_device* device) override;

 private:
  struct Opened {
    std::string path;
    bool loader = false;
    int emptyPolls = 0;
  };
  void line(char direction, const std::string& path, const std::string& text);

  std::FILE* out_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::map<std::string, bool> loaderPaths_;
  std::map<hid_device*, Opened> opened_;
};

}  // namespace wire
