#include "device/hid_seam.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>

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

namespace {
char* DuplicateText(const std::string& text) {
  auto* copy = static_cast<char*>(std::calloc(text.size() + 1, 1));
  if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size());
  return copy;
}

wchar_t* DuplicateWide(const std::wstring& text) {
  auto* copy = static_cast<wchar_t*>(std::calloc(text.size() + 1, sizeof(wchar_t)));
  if (copy != nullptr) std::wmemcpy(copy, text.c_str(), text.size());
  return copy;
}
}  // namespace

hid_device_info* MakeEnumerationList(const std::vector<EnumeratedDevice>& devices) {
  hid_device_info* head = nullptr;
  hid_device_info** tail = &head;
  for (const EnumeratedDevice& device : devices) {
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    if (info == nullptr) break;
    info->path = DuplicateText(device.path);
    info->vendor_id = device.vendorId;
    info->product_id = device.productId;
    info->serial_number = DuplicateWide(device.serialNumber);
    info->release_number = device.releaseNumber;
    info->manufacturer_string = DuplicateWide(device.manufacturer);
    info->product_string = DuplicateWide(device.product);
    info->usage_page = device.usagePage;
    info->usage = device.usage;
    info->interface_number = device.interfaceNumber;
    info->bus_type = HID_API_BUS_USB;
    *tail = info;
    tail = &info->next;
  }
  return head;
}

void FreeEnumerationList(hid_device_info* list) {
  while (list != nullptr) {
    hid_device_info* next = list->next;
    std::free(list->path);
    std::free(list->serial_number);
    std::free(list->manufacturer_string);
    std::free(list->product_string);
    std::free(list);
    list = next;
  }
}

int CopyWideText(const std::wstring& text, wchar_t* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return -1;
  const std::size_t count = std::min(text.size(), capacity - 1);
  std::wmemcpy(out, text.c_str(), count);
  out[count] = L'\0';
  return 0;
}

}  // namespace navkeypad
