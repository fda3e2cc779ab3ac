#include "wire/trace.h"

#include "device/hid_transport.h"
#include "wire/decode.h"

namespace wire {

namespace {
constexpr unsigned short kLoaderProductId = 0x0200;
}

TracingHid::TracingHid(navkeypad::HidBackend& inner, std::FILE* out)
    : ForwardingHid(inner), out_(out) {}

void TracingHid::line(char direction, const std::string& path, const std::string& text) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(out_, "%10.6f %c %s %s\n", seconds, direction, path.c_str(), text.c_str());
  std::fflush(out_);
}

hid_device_info* TracingHid::enumerate(unsigned short vendorId, unsigned short productId) {
  hid_device_info* list = inner_.enumerate(vendorId, productId);
  char ids[32];
  std::snprintf(ids, sizeof ids, "%04X:%04X", vendorId, productId);
  std::string found;
  std::lock_guard lock(mutex_);
  for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    loaderPaths_[entry->path] = entry->product_id == kLoaderProductId;
    found += std::string(found.empty() ? " " : ", ") + entry->path;
  }
  line('=', "-", "enumerate " + std::string(ids) + ":" + (found.empty() ? " nothing" : found));
  return list;
}

hid_device* TracingHid::openPath(const char* path) {
  hid_device* device = inner_.openPath(path);
  std::lock_guard lock(mutex_);
  const std::string name = path != nullptr ? path : "";
  if (device == nullptr) {
    line('=', name, "open failed");
    return nullptr;
  }
  opened_[device] = {name, loaderPaths_[name], 0};
  line('=', name, "open");
  return device;
}

int TracingHid::write(hid_device* device, const unsigned char* data, std::size_t length) {
  const int result = inner_.write(device, data, length);
  std::lock_guard lock(mutex_);
  const Opened& opened = opened_[device];
  line('>', opened.path,
       HexBytes(data, length) + " | " + DescribeReport(data, length, true, opened.loader) +
           (result < 0 ? " (write failed)" : ""));
  return result;
}

int TracingHid::readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                            int milliseconds) {
  const int result = inner_.readTimeout(device, data, length, milliseconds);
  std::lock_guard lock(mutex_);
  Opened& opened = opened_[device];
  if (result == 0) {
    ++opened.emptyPolls;
    return result;
  }
  const std::string polls =
      opened.emptyPolls > 0 ? " (after " + std::to_string(opened.emptyPolls) + " empty polls)" : "";
  opened.emptyPolls = 0;
  if (result < 0) {
    line('<', opened.path, "read failed" + polls);
  } else {
    const auto count = static_cast<std::size_t>(result);
    line('<', opened.path,
         HexBytes(data, count) + " | " + DescribeReport(data, count, false, opened.loader) + polls);
  }
  return result;
}

void TracingHid::close(hid_device* device) {
  {
    std::lock_guard lock(mutex_);
    line('=', opened_[device].path, "close");
    opened_.erase(device);
  }
  inner_.close(device);
}

}  // namespace wire
