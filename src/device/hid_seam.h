// Every hidapi call of the device link and the loader library goes through this one seam,
// chosen when the program starts: the system's hidapi, the virtual bus, a recorder or tracer
// wrapped around either, or a strict replay of a recording. Handles and enumeration lists
// belong to the backend that made them.
#pragma once

#include <hidapi/hidapi.h>

#include <cstddef>
#include <string>
#include <vector>

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
  // Where the device at `path` (as the last enumeration listed it) is plugged in: the USB port
  // as the system names it, the same for a keypad, its loader and the keypad that comes back
  // from it, while paths change at every re-enumeration. Empty where it cannot be known.
  virtual std::string port(const char* path) {
    (void)path;
    return {};
  }
};

// Passes every call on to another backend; a tracer or a recorder overrides only the calls it
// observes.
class ForwardingHid : public HidBackend {
 public:
  explicit ForwardingHid(HidBackend& inner) : inner_(inner) {}
  int init() override { return inner_.init(); }
  int exit() override { return inner_.exit(); }
  hid_device_info* enumerate(unsigned short vendorId, unsigned short productId) override {
    return inner_.enumerate(vendorId, productId);
  }
  void freeEnumeration(hid_device_info* list) override { inner_.freeEnumeration(list); }
  hid_device* openPath(const char* path) override { return inner_.openPath(path); }
  int write(hid_device* device, const unsigned char* data, std::size_t length) override {
    return inner_.write(device, data, length);
  }
  int readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                  int milliseconds) override {
    return inner_.readTimeout(device, data, length, milliseconds);
  }
  int setNonblocking(hid_device* device, int nonblock) override {
    return inner_.setNonblocking(device, nonblock);
  }
  void close(hid_device* device) override { inner_.close(device); }
  int manufacturerString(hid_device* device, wchar_t* text, std::size_t capacity) override {
    return inner_.manufacturerString(device, text, capacity);
  }
  int productString(hid_device* device, wchar_t* text, std::size_t capacity) override {
    return inner_.productString(device, text, capacity);
  }
  const wchar_t* error(hid_device* device) override { return inner_.error(device); }
  std::string port(const char* path) override { return inner_.port(path); }

 protected:
  HidBackend& inner_;
};

// One entry of an enumeration list, for the backends that make their own lists (the virtual
// bus, a replay).
struct EnumeratedDevice {
  std::string path;
  unsigned short vendorId = 0;
  unsigned short productId = 0;
  int interfaceNumber = 0;
  std::wstring serialNumber;
  std::wstring manufacturer;
  std::wstring product;
  unsigned short releaseNumber = 0;
  unsigned short usagePage = 0;
  unsigned short usage = 0;
};
// A list as hid_enumerate gives it, freed by FreeEnumerationList.
hid_device_info* MakeEnumerationList(const std::vector<EnumeratedDevice>& devices);
void FreeEnumerationList(hid_device_info* list);
// Copies `text` into a caller's buffer of `capacity` characters, cut to fit; -1 without one.
int CopyWideText(const std::wstring& text, wchar_t* out, std::size_t capacity);

// The backend in use. Until a program chooses one, every call fails as on a machine without
// HID devices.
HidBackend& Hid();
// Not owned; nullptr goes back to the failing one. Set before the first exchange.
void SetHid(HidBackend* backend);

}  // namespace navkeypad
