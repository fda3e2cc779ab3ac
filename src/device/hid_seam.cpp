#include "device/hid_seam.h"

#include <atomic>

namespace navkeypad {

namespace {

class NoHid : public HidBackend {
 public:
  int init() override { return 0; }
  int exit() override { return 0; }
  hid_device_info* enumerate(unsigned short, unsigned short) override { return nullptr; }
  void freeEnumeration(hid_device_info*) override {}
  hid_device* openPath(const char*) override { return nullptr; }
  int write(hid_device*, const unsigned char*, std::size_t) override { return -1; }
  int readTimeout(hid_device*, unsigned char*, std::size_t, int) override { return -1; }
  int setNonblocking(hid_device*, int) override { return -1; }
  void close(hid_device*) override {}
  int manufacturerString(hid_device*, wchar_t*, std::size_t) override { return -1; }
  int productString(hid_device*, wchar_t*, std::size_t) override { return -1; }
  const wchar_t* error(hid_device*) override { return L"no HID backend was chosen"; }
};

std::atomic<HidBackend*> current{nullptr};

}  // namespace

HidBackend& Hid() {
  static NoHid none;
  HidBackend* chosen = current.load();
  return chosen != nullptr ? *chosen : none;
}

void SetHid(HidBackend* backend) {
  current.store(backend);
}

}  // namespace navkeypad
