#pragma once

#include <cstdint>

struct DataBlock_;

namespace navkeypad::firmware {

// CRC-16 over polynomial 0x1021, most significant bit first, fed a byte at a time; started
// at 0xFFFF it is CRC-16/CCITT-FALSE, the check the loader computes over device memory.
class CRC {
 public:
  explicit CRC(uint16_t seed = 0xFFFF) : crc(seed) {}
  void CrcInit(uint16_t seed) { crc = seed; }
  void CrcInput(uint8_t byte);
  uint16_t GetCrcValue() const { return crc; }

  uint16_t crc;
};

// The CRC of the block's first byteCount bytes, as the loader computes it.
uint32_t Calculate_CRC(const DataBlock_& block);

}  // namespace navkeypad::firmware
