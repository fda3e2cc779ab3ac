// The virtual bus behind the HID seam, with the documented semantics of hidapi's functions,
// so the production code runs unchanged on top.
#include "hidapi_virtual.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "virtual_keypad.h"

using virtual_keypad::VirtualBus;
using virtual_keypad::VirtualKeypad;

namespace virtual_keypad {

namespace {

struct VirtualDevice {
  std::shared_ptr<VirtualKeypad> keypad;
  int interfaceNumber = 0;
  uint64_t generation = 0;
  bool nonblocking = false;
};

VirtualDevice* Of(hid_device* device) {
  return reinterpret_cast<VirtualDevice*>(device);
}

// hidapi keeps the reason of the last failed open for hid_error(NULL).
thread_local std::wstring lastOpenError = L"Success";

class Virtual : public navkeypad::HidBackend {
 public:
  int init() override {
    if (VirtualBus::instance().countInit()) return 0;
    lastOpenError = VirtualBus::instance().startFailure();
    return -1;
  }

  int exit() override {
    VirtualBus::instance().countExit();
    return 0;
  }

  hid_device_info* enumerate(unsigned short vendor_id, unsigned short product_id) override {
    std::vector<navkeypad::EnumeratedDevice> found;
    for (const auto& keypad : VirtualBus::instance().keypads()) {
      if (!keypad->onBus()) continue;
      const auto identity = keypad->identity();
      const std::string usbSerial = keypad->usbSerial();
      // The keypad and its bootstrap loader share the vendor identifier.
      const unsigned short vendor = static_cast<unsigned short>(navkeypad::kKeypadVendorId);
      if (vendor_id != 0 && vendor_id != vendor) continue;
      if (product_id != 0 && product_id != identity.productId) continue;
      for (int interfaceNumber : identity.interfaces) {
        const bool keyboard = interfaceNumber == 0;
        found.push_back({virtual_keypad::InterfacePath(keypad->id(), interfaceNumber), vendor,
                         identity.productId, interfaceNumber,
                         std::wstring(usbSerial.begin(), usbSerial.end()), keypad->manufacturer(),
                         keypad->product(), 0x0100,
                         static_cast<unsigned short>(keyboard ? 0x01 : 0xFF00),
                         static_cast<unsigned short>(keyboard ? 0x06 : 0x01)});
      }
    }
    return navkeypad::MakeEnumerationList(found);
  }

  void freeEnumeration(hid_device_info* list) override { navkeypad::FreeEnumerationList(list); }

  hid_device* openPath(const char* path) override {
    if (path == nullptr) return nullptr;
    lastOpenError = L"Success";
    for (const auto& keypad : VirtualBus::instance().keypads()) {
      if (!keypad->onBus()) continue;
      for (int interfaceNumber : keypad->identity().interfaces) {
        if (virtual_keypad::InterfacePath(keypad->id(), interfaceNumber) != path) continue;
        if (!keypad->openable()) {
          lastOpenError = L"Failed to open a device with path '" +
                          std::wstring(path, path + std::strlen(path)) + L"': Permission denied";
          return nullptr;
        }
        auto* device = new VirtualDevice;
        device->keypad = keypad;
        device->interfaceNumber = interfaceNumber;
        device->generation = keypad->generation();
        VirtualBus::instance().handleOpened();
        return reinterpret_cast<hid_device*>(device);
      }
    }
    return nullptr;
  }

  int write(hid_device* device, const unsigned char* data, std::size_t length) override {
    VirtualDevice* dev = Of(device);
    if (dev == nullptr || data == nullptr) return -1;
    if (dev->generation != dev->keypad->generation()) return -1;
    dev->keypad->paceReport();
    const bool accepted = dev->keypad->receiveReport(dev->interfaceNumber, data, length);
    dev->keypad->flushBusEvents();
    return accepted ? static_cast<int>(length) : -1;
  }

  int readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                  int milliseconds) override {
    VirtualDevice* dev = Of(device);
    if (dev == nullptr || data == nullptr) return -1;
    const int read = dev->keypad->readReport(dev->generation, data, length, milliseconds);
    dev->keypad->flushBusEvents();
    return read;
  }

  int setNonblocking(hid_device* device, int nonblock) override {
    VirtualDevice* dev = Of(device);
    if (dev == nullptr) return -1;
    dev->nonblocking = nonblock != 0;
    return 0;
  }

  void close(hid_device* device) override {
    VirtualDevice* dev = Of(device);
    if (dev == nullptr) return;
    delete dev;
    VirtualBus::instance().handleClosed();
  }

  int manufacturerString(hid_device* device, wchar_t* string, std::size_t maxlen) override {
    VirtualDevice* dev = Of(device);
    if (dev == nullptr || !dev->keypad->stringsReadable()) return -1;
    return navkeypad::CopyWideText(dev->keypad->manufacturer(), string, maxlen);
  }

  int productString(hid_device* device, wchar_t* string, std::size_t maxlen) override {
    VirtualDevice* dev = Of(device);
    if (dev == nullptr || !dev->keypad->stringsReadable()) return -1;
    return navkeypad::CopyWideText(dev->keypad->product(), string, maxlen);
  }

  const wchar_t* error(hid_device* device) override {
    if (device == nullptr) return lastOpenError.c_str();
    return L"virtual keypad: device error";
  }

  std::string port(const char* path) override {
    if (path == nullptr) return {};
    for (const auto& keypad : VirtualBus::instance().keypads()) {
      if (!keypad->onBus()) continue;
      for (int interfaceNumber : keypad->identity().interfaces) {
        if (virtual_keypad::InterfacePath(keypad->id(), interfaceNumber) == path)
          return keypad->port();
      }
    }
    return {};
  }
};

}  // namespace

navkeypad::HidBackend& VirtualHid() {
  static Virtual bus;
  return bus;
}

}  // namespace virtual_keypad
