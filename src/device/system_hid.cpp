#include "device/system_hid.h"

#include "device/usb_port.h"

namespace navkeypad {

namespace {

class System : public HidBackend {
 public:
  int init() override { return hid_init(); }
  int exit() override { return hid_exit(); }
  hid_device_info* enumerate(unsigned short vendorId, unsigned short productId) override {
    return hid_enumerate(vendorId, productId);
  }
  void freeEnumeration(hid_device_info* list) override { hid_free_enumeration(list); }
  hid_device* openPath(const char* path) override { return hid_open_path(path); }
  int write(hid_device* device, const unsigned char* data, std::size_t length) override {
    return hid_write(device, data, length);
  }
  int readTimeout(hid_device* device, unsigned char* data, std::size_t length,
                  int milliseconds) override {
    return hid_read_timeout(device, data, length, milliseconds);
  }
  int setNonblocking(hid_device* device, int nonblock) override {
    return hid_set_nonblocking(device, nonblock);
  }
  void close(hid_device* device) override { hid_close(device); }
  int manufacturerString(hid_device* device, wchar_t* text, std::size_t capacity) override {
    return hid_get_manufacturer_string(device, text, capacity);
  }
  int productString(hid_device* device, wchar_t* text, std::size_t capacity) override {
    return hid_get_product_string(device, text, capacity);
  }
  const wchar_t* error(hid_device* device) override { return hid_error(device); }
  std::string port(const char* path) override { return path ? UsbPortOf(path) : std::string(); }
};

}  // namespace

HidBackend& SystemHid() {
  static System system;
  return system;
}

}  // namespace navkeypad
