// Any reports a misbehaving loader might send back: the loader library's commands read them
// without reading or writing outside a report or its own buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bsl430/bsl430.h"
#include "device/hid_seam.h"

namespace {

// One loader on the bus, answering every read with the next report of the input.
class FuzzedLoader : public navkeypad::HidBackend {
 public:
  const uint8_t* data = nullptr;
  std::size_t size = 0;

  int init() override { return 0; }
  int exit() override { return 0; }
  hid_device_info* enumerate(unsigned short, unsigned short) override {
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup("fuzz:loader");
    info->vendor_id = kLoaderVendorId;
    info->product_id = kLoaderProductId;
    return info;
  }
  void freeEnumeration(hid_device_info* list) override {
    if (list == nullptr) return;
    std::free(list->path);
    std::free(list);
  }
  hid_device* openPath(const char*) override { return reinterpret_cast<hid_device*>(&token_); }
  int write(hid_device*, const unsigned char*, std::size_t length) override {
    return static_cast<int>(length);
  }
  int readTimeout(hid_device*, unsigned char* out, std::size_t length, int) override {
    if (size == 0) return -1;
    // The first byte gives the report's length (up to 64), the rest its bytes.
    const std::size_t count = std::min<std::size_t>({std::size_t{data[0]} % 65, size - 1, length});
    std::memcpy(out, data + 1, count);
    data += 1 + count;
    size -= 1 + count;
    return static_cast<int>(count);
  }
  int setNonblocking(hid_device*, int) override { return 0; }
  void close(hid_device*) override {}
  int manufacturerString(hid_device*, wchar_t*, std::size_t) override { return -1; }
  int productString(hid_device*, wchar_t*, std::size_t) override { return -1; }
  const wchar_t* error(hid_device*) override { return L"fuzzed"; }

 private:
  int token_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzedLoader loader;
  loader.data = data;
  loader.size = size;
  navkeypad::SetHid(&loader);
  if (BSL_initialize_BSL("PID=0x0200,VID=0x2047,DEVICEINDEX=0") != 1) {
    DataBlock_ password{};
    password.byteCount = 32;
    password.startAddress = 0xFFE0;
    BSL_RX_Password(password);
    if (BSL_TX_BSL_Version_String().size() > 64) __builtin_trap();
    BSL_CRC_Check(0x4400, 5000);
    const dataBuffer buffer = BSL_get_RX_Buffer();
    (void)buffer;
    BSL_eraseSegment(0x4400);
    BSL_close_BSL();
  }
  navkeypad::SetHid(nullptr);
  return 0;
}
