// The model chip's memory as both of the keypad's modes see it.
#pragma once

#include <cstdint>

#include "bsl430/memory_map.h"

namespace virtual_keypad::chip {

inline constexpr uint32_t kMemorySize = bsl430::kMainEnd;  // the model's chip ends at the vectors
inline constexpr uint32_t kRamLoaderVersion = 0x2500;
inline constexpr uint8_t kRamLoaderVersionBytes[] = {0x00, 0x06, 0x05, 0x34};
// The application reports the version written behind this marker in its flash.
inline constexpr char kVersionMarker[] = "FWVER:";
inline constexpr uint32_t kMarkerAddress = 0x4480;

// The interrupt vectors of the factory firmware (every one at 0x4410, reset at 0x4400); the
// stand-in loader password is these 32 bytes.
inline constexpr uint8_t kFactoryVectors[32] = {
    0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44,
    0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x10, 0x44, 0x00, 0x44};

inline bool InModelFlash(uint32_t address) {
  return bsl430::InFlash(address) && address < kMemorySize;
}
inline bool InRam(uint32_t address) {
  return address >= bsl430::kRamStart && address < bsl430::kRamEnd;
}

}  // namespace virtual_keypad::chip
