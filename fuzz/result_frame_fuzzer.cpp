// Any 64 bytes the keypad might send: frame validation never reads or writes outside the
// report or the caller's buffer, and an accepted status record always decodes within it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/keypad_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the caller's buffer capacity, the rest is the report.
  const int32_t capacity = data[0] % 65;
  navkeypad::Report report{};
  std::memcpy(report.data(), data + 1, std::min(size - 1, report.size()));

  std::vector<uint8_t> response(static_cast<std::size_t>(capacity));
  uint32_t length = 0;
  if (ParseResponseFrame(report.data(), response.data(), capacity, &length) == 0) {
    if (length > static_cast<uint32_t>(capacity)) __builtin_trap();
    response.resize(length);
    if (auto status = navkeypad::DecodeStatusRecord(response)) {
      if (status->firmwareVersion.size() + status->serialNumber.size() > length) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
