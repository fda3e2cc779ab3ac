// Every hidapi call of the device link and the loader library goes through this one seam,
// chosen when the program starts: the system's hidapi, the virtual bus, a recorder or tracer
// wrapped around either, or a strict replay of a recording. Handles and enumeration lists
// belong to the backend that made them.
#pragma once

#include <hidapi/hidapi.h>

#include <cstddef>

namespace navkeypad {

class HidBackend {
 public:
  virtual ~HidBackend() = default;
  virtual int init() = 0;
  virtual int exit() = 0;
  virtual hid_device_info* enumerate(unsigned short vendorId, unsigned short productId) = 0;
  virtual void freeEnumeration(hid_device_info* list) = 0;
  virtual hid_device* openPath(const char* path) = 0;
  virtual int write(hid_device* device, const unsigned char* data, std::size_t length) = 0;
  virtual int readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                          int milliseconds) = 0;
  virtual int setNonblocking(hid_device* device, int nonblock) = 0;
  virtual void close(hid_device* device) = 0;
  virtual int manufacturerString(hid_device* device, wchar_t* text, std::size_t capacity) = 0;
  virtual int productString(hid_device* device, wchar_t* text, std::size_t capacity) = 0;
  // The reason of the last failed open (device null) or of the device's last failure.
  virtual const wchar_t* error(hid_device* device) = 0;
};

// The backend in use. Until a program chooses one, every call fails as on a machine without
// HID devices.
HidBackend& Hid();
// Not owned; nullptr goes back to the failing one. Set before the first exchange.
void SetHid(HidBackend* backend);

}  // namespace navkeypad
