// The MSP430F5xx memory the bootstrap loader works on, as far as it matters here.
#pragma once

#include <cstdint>

namespace bsl430 {

inline constexpr uint32_t kPmmControl = 0x0120;  // a word 0xA504 here resets the chip
inline constexpr uint32_t kInfoStart = 0x1800;   // information memory D, C, B, A
inline constexpr uint32_t kInfoAStart = 0x1980;  // locked until Unlock/Lock Info
inline constexpr uint32_t kInfoEnd = 0x1A00;
inline constexpr uint32_t kRamStart = 0x1C00;
inline constexpr uint32_t kRamEnd = 0x3400;
inline constexpr uint32_t kMainStart = 0x4400;
inline constexpr uint32_t kMainEnd = 0x10000;     // the keypad's chip ends at its vectors
inline constexpr uint32_t kVectorTable = 0xFFE0;  // also the loader password
inline constexpr uint32_t kResetVector = 0xFFFE;
inline constexpr uint32_t kInfoSegmentBytes = 128;
inline constexpr uint32_t kMainSegmentBytes = 512;

inline bool InFlash(uint32_t address) {
  return (address >= kInfoStart && address < kInfoEnd) || address >= kMainStart;
}

// What a firmware image may write: information memory B to D and main memory. Information
// memory A stays locked, as the loader leaves it.
inline bool Programmable(uint32_t address) {
  return (address >= kInfoStart && address < kInfoAStart) ||
         (address >= kMainStart && address < kMainEnd);
}

// Information memory is erased in 128-byte segments, main memory in 512-byte ones.
inline uint32_t SegmentBytes(uint32_t address) {
  return address >= kInfoStart && address < kInfoEnd ? kInfoSegmentBytes : kMainSegmentBytes;
}

}  // namespace bsl430
