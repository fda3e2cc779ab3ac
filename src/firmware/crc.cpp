#include "firmware/crc.h"

#include <algorithm>

#include "bsl430/bsl430.h"

namespace navkeypad::firmware {

void CRC::CrcInput(uint8_t byte) {
  uint16_t x = static_cast<uint16_t>(((crc >> 8) ^ byte) & 0xFF);
  x ^= static_cast<uint16_t>(x >> 4);
  crc = static_cast<uint16_t>((crc << 8) ^ (x << 12) ^ (x << 5) ^ x);
}

uint32_t Calculate_CRC(const DataBlock_& block) {
  CRC calculator(0);
  calculator.CrcInit(0xFFFF);
  const uint32_t count = std::min<uint32_t>(block.byteCount, sizeof block.bytes);
  for (uint32_t i = 0; i < count; ++i) calculator.CrcInput(block.bytes[i]);
  return calculator.GetCrcValue();
}

}  // namespace navkeypad::firmware
