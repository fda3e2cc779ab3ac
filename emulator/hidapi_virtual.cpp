// hidapi's C functions, answered by the virtual bus. Same signatures and documented
// semantics as the real library, so the production code runs unchanged on top.
#include <hidapi/hidapi.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "virtual_keypad.h"

using virtual_keypad::VirtualBus;
using virtual_keypad::VirtualKeypad;

struct hid_device_ {
  std::shared_ptr<VirtualKeypad> keypad;
  int interfaceNumber = 0;
  uint64_t generation = 0;
  bool nonblocking = false;
};

namespace {

wchar_t* DuplicateWide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(std::calloc(text.size() + 1, sizeof(wchar_t)));
  if (copy != nullptr) std::wmemcpy(copy, text.c_str(), text.size());
  return copy;
}

char* DuplicateText(const std::string& text) {
  auto* copy = static_cast<char*>(std::calloc(text.size() + 1, 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size());
  return copy;
}

int CopyWide(const std::wstring& text, wchar_t* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return -1;
  const size_t count = std::min(text.size(), capacity - 1);
  std::wmemcpy(out, text.c_str(), count);
  out[count] = L'\0';
  return 0;
}

// hidapi keeps the reason of the last failed open for hid_error(NULL).
thread_local std::wstring lastOpenError = L"Success";

}  // namespace

extern "C" {

int HID_API_EXPORT hid_init(void) {
  VirtualBus::instance().countInit();
  return 0;
}

int HID_API_EXPORT hid_exit(void) {
  VirtualBus::instance().countExit();
  return 0;
}

struct hid_device_info HID_API_EXPORT* hid_enumerate(unsigned short vendor_id,
                                                     unsigned short product_id) {
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  for (const auto& keypad : VirtualBus::instance().keypads()) {
    const auto identity = keypad->identity();
    // The keypad and its bootstrap loader share the vendor identifier.
    const unsigned short vendor = static_cast<unsigned short>(navkeypad::kKeypadVendorId);
    if (vendor_id != 0 && vendor_id != vendor) continue;
    if (product_id != 0 && product_id != identity.productId) continue;
    for (int interfaceNumber : identity.interfaces) {
      auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
      if (info == nullptr) break;
      info->path = DuplicateText(virtual_keypad::InterfacePath(keypad->id(), interfaceNumber));
      info->vendor_id = vendor;
      info->product_id = identity.productId;
      info->serial_number = DuplicateWide(std::wstring(keypad->id().begin(), keypad->id().end()));
      info->release_number = 0x0100;
      info->manufacturer_string = DuplicateWide(keypad->manufacturer());
      info->product_string = DuplicateWide(keypad->product());
      info->usage_page = interfaceNumber == 0 ? 0x01 : 0xFF00;
      info->usage = interfaceNumber == 0 ? 0x06 : 0x01;
      info->interface_number = interfaceNumber;
      info->bus_type = HID_API_BUS_USB;
      *tail = info;
      tail = &info->next;
    }
  }
  return head;
}

void HID_API_EXPORT hid_free_enumeration(struct hid_device_info* devs) {
  while (devs != nullptr) {
    hid_device_info* next = devs->next;
    std::free(devs->path);
    std::free(devs->serial_number);
    std::free(devs->manufacturer_string);
    std::free(devs->product_string);
    std::free(devs);
    devs = next;
  }
}

HID_API_EXPORT hid_device* hid_open_path(const char* path) {
  if (path == nullptr) return nullptr;
  lastOpenError = L"Success";
  for (const auto& keypad : VirtualBus::instance().keypads()) {
    for (int interfaceNumber : keypad->identity().interfaces) {
      if (virtual_keypad::InterfacePath(keypad->id(), interfaceNumber) != path) continue;
      if (!keypad->openable()) {
        lastOpenError = L"Failed to open a device with path '" +
                        std::wstring(path, path + std::strlen(path)) + L"': Permission denied";
        return nullptr;
      }
      auto* device = new hid_device_;
      device->keypad = keypad;
      device->interfaceNumber = interfaceNumber;
      device->generation = keypad->generation();
      VirtualBus::instance().handleOpened();
      return device;
    }
  }
  return nullptr;
}

hid_device* HID_API_EXPORT hid_open(unsigned short vendor_id, unsigned short product_id,
                                    const wchar_t* /*serial_number*/) {
  hid_device_info* list = hid_enumerate(vendor_id, product_id);
  hid_device* device = list != nullptr ? hid_open_path(list->path) : nullptr;
  hid_free_enumeration(list);
  return device;
}

int HID_API_EXPORT hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  if (dev == nullptr || data == nullptr) return -1;
  if (dev->generation != dev->keypad->generation()) return -1;
  dev->keypad->paceReport();
  const bool accepted = dev->keypad->receiveReport(dev->interfaceNumber, data, length);
  dev->keypad->flushBusEvents();
  return accepted ? static_cast<int>(length) : -1;
}

int HID_API_EXPORT hid_read_timeout(hid_device* dev, unsigned char* data, size_t length,
                                    int milliseconds) {
  if (dev == nullptr || data == nullptr) return -1;
  const int read = dev->keypad->readReport(dev->generation, data, length, milliseconds);
  dev->keypad->flushBusEvents();
  return read;
}

int HID_API_EXPORT hid_read(hid_device* dev, unsigned char* data, size_t length) {
  if (dev == nullptr) return -1;
  return hid_read_timeout(dev, data, length, dev->nonblocking ? 0 : -1);
}

int HID_API_EXPORT hid_set_nonblocking(hid_device* dev, int nonblock) {
  if (dev == nullptr) return -1;
  dev->nonblocking = nonblock != 0;
  return 0;
}

void HID_API_EXPORT hid_close(hid_device* dev) {
  if (dev == nullptr) return;
  delete dev;
  VirtualBus::instance().handleClosed();
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                    size_t maxlen) {
  if (dev == nullptr || !dev->keypad->stringsReadable()) return -1;
  return CopyWide(dev->keypad->manufacturer(), string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
  if (dev == nullptr || !dev->keypad->stringsReadable()) return -1;
  return CopyWide(dev->keypad->product(), string, maxlen);
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                     size_t maxlen) {
  if (dev == nullptr) return -1;
  const std::string& id = dev->keypad->id();
  return CopyWide(std::wstring(id.begin(), id.end()), string, maxlen);
}

HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev) {
  if (dev == nullptr) return lastOpenError.c_str();
  return L"virtual keypad: device error";
}

}  // extern "C"
