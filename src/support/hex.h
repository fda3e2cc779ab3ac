// Bytes as hexadecimal text and back, as the recordings, the traces, the upgrade records and the
// virtual keypad's state file write them: upper-case digits, two a byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace support {

inline constexpr char kHexDigits[] = "0123456789ABCDEF";

// "0A1B" or, with a separator, "0A 1B".
std::string HexText(std::span<const uint8_t> bytes, std::string_view separator = "");
std::string HexText(std::string_view bytes);
// The value of one digit of either case, or -1.
int HexDigitValue(char digit);
// Pairs of digits back into bytes; nothing for an odd count or anything but digits.
std::optional<std::vector<uint8_t>> BytesFromHex(std::string_view hex);

}  // namespace support
