// How key codes and modifiers are named on the code table editor's buttons and lists, and
// how list positions become the keypad's bytes and back.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace navkeypad {

inline constexpr std::size_t kKeyCodeNameCount = 116;
inline constexpr std::size_t kModifierNameCount = 9;

// Entry p names HID keyboard usage p (0x00 to 0x73).
extern const std::array<std::string, kKeyCodeNameCount> keyCodeNameArray;
// Position 0 is no modifier; positions 1 to 8 are the modifier keys 0xE0 to 0xE7.
extern const std::array<std::string, kModifierNameCount> modifierNameArray;

// "0x" and two upper-case hex digits.
std::string FormatKeyCode(int code);
uint8_t ModifierIndexToUsage(int position);
// Bytes from 0xE0 map to their position; any other byte is taken as the position itself,
// so bytes 9 to 0xDF have no position in the list.
int ModifierUsageToIndex(uint8_t usage);
bool HasModifierPosition(int position);

}  // namespace navkeypad
