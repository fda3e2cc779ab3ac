// What a report means, in words: the keypad's request and result frames, and the bootstrap
// loader's commands and replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wire {

// "CMD_SET_LED_BRIGHTNESS" for a code, "command 0x2A" for one without a name.
std::string CommandName(uint8_t code);
// The report as the keypad (or, for a loader, the bootstrap loader) reads it; `written` says
// whether it went to the device.
std::string DescribeReport(const uint8_t* data, std::size_t length, bool written, bool loader);
// Two upper-case hex digits a byte, separated by blanks.
std::string HexBytes(const uint8_t* data, std::size_t length);

}  // namespace wire
