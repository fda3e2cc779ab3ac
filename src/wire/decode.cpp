#include "wire/decode.h"

#include <cstdio>

#include "device/hid_transport.h"
#include "device/keypad_commands.h"

namespace wire {

namespace {

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

std::string Bytes(const uint8_t* data, std::size_t length) {
  std::string text = HexBytes(data, length);
  return text.empty() ? "" : " " + text;
}

std::string LoaderCommandName(uint8_t code) {
  switch (code) {
    case 0x10:
      return "RX Data Block";
    case 0x11:
      return "RX Password";
    case 0x12:
      return "Erase Segment";
    case 0x13:
      return "Unlock/Lock Info";
    case 0x15:
      return "Mass Erase";
    case 0x16:
      return "CRC Check";
    case 0x17:
      return "Load PC";
    case 0x18:
      return "TX Data Block";
    case 0x19:
      return "TX BSL Version";
    case 0x1B:
      return "RX Data Block Fast";
    default:
      return "loader command " + Hex(code, 2);
  }
}

std::string DescribeLoader(const uint8_t* data, std::size_t length, bool written) {
  if (length < 3 || data[0] != 0x3F) return "not a loader report";
  const std::size_t count = std::min<std::size_t>(data[1], length - 2);
  const uint8_t* core = data + 2;
  if (!written) {
    if (core[0] == 0x3B && count >= 2) return "loader message " + Hex(core[1], 2);
    if (core[0] == 0x3A) return "loader data" + Bytes(core + 1, count - 1);
    return "loader reply" + Bytes(core, count);
  }
  const uint8_t command = core[0];
  std::string text = LoaderCommandName(command);
  const auto address = [&] { return core[1] | (core[2] << 8) | (core[3] << 16); };
  if ((command == 0x10 || command == 0x1B) && count >= 4) {
    text += " at " + Hex(static_cast<uint32_t>(address()), 4) + ", " + std::to_string(count - 4) +
            " bytes";
  } else if ((command == 0x12 || command == 0x17) && count >= 4) {
    text += " at " + Hex(static_cast<uint32_t>(address()), 4);
  } else if ((command == 0x16 || command == 0x18) && count >= 6) {
    text += " at " + Hex(static_cast<uint32_t>(address()), 4) + ", " +
            std::to_string(core[4] | (core[5] << 8)) + " bytes";
  }
  return text;
}

std::string DescribeKeypad(const uint8_t* data, std::size_t length, bool written) {
  using namespace navkeypad;
  if (length < 3) return "short report";
  if (data[2] == kFrameAcknowledge) return "acknowledgement";
  if (data[2] == kFrameRefused) return "refused";
  if (data[2] != kStx || length < 8) return "not a frame";
  const auto command = static_cast<uint8_t>(DecodeHexDigit(data[3]) * 16 + DecodeHexDigit(data[4]));
  const std::size_t count = DecodeHexDigit(data[5]) * 16u + DecodeHexDigit(data[6]);
  if (written) {
    return CommandName(command) + Bytes(data + 7, std::min(count, length - 7));
  }
  if (count == 0 || 7 + count > length) return "result " + CommandName(command) + " (bad length)";
  return "result " + CommandName(command) + " status " + Hex(data[7], 2) +
         Bytes(data + 8, count - 1);
}

}  // namespace

std::string CommandName(uint8_t code) {
  using namespace navkeypad;
  switch (code) {
    case CMD_GET_STATUS:
      return "CMD_GET_STATUS";
    case CMD_SET_LED_BRIGHTNESS:
      return "CMD_SET_LED_BRIGHTNESS";
    case CMD_SET_LED_COLOUR:
      return "CMD_SET_LED_COLOUR";
    case CMD_SET_BUZZER:
      return "CMD_SET_BUZZER";
    case CMD_LOAD_TABLE:
      return "CMD_LOAD_TABLE";
    case CMD_SET_BUZZER_PERIOD:
      return "CMD_SET_BUZZER_PERIOD";
    case CMD_SET_KEYPAD_TYPE:
      return "CMD_SET_KEYPAD_TYPE";
    case CMD_SELF_TEST:
      return "CMD_SELF_TEST";
    case CMD_WRITE_DEFAULT:
      return "CMD_WRITE_DEFAULT";
    case CMD_RESET_TO_DEFAULT:
      return "CMD_RESET_TO_DEFAULT";
    case CMD_ENTER_FIRMWARE_UPGRADE:
      return "CMD_ENTER_FIRMWARE_UPGRADE";
    case CMD_STATUS_BUZZER:
      return "CMD_STATUS_BUZZER";
    case CMD_SET_SERIAL_NUMBER:
      return "CMD_SET_SERIAL_NUMBER";
    case CMD_SET_LOCAL_VOLUME:
      return "CMD_SET_LOCAL_VOLUME";
    case CMD_SET_VOLUME_CONFIGURATION:
      return "CMD_SET_VOLUME_CONFIGURATION";
    default:
      return "command " + Hex(code, 2);
  }
}

std::string DescribeReport(const uint8_t* data, std::size_t length, bool written, bool loader) {
  return loader ? DescribeLoader(data, length, written) : DescribeKeypad(data, length, written);
}

std::string HexBytes(const uint8_t* data, std::size_t length) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    if (i) text.push_back(' ');
    text.push_back(digits[data[i] >> 4]);
    text.push_back(digits[data[i] & 0x0F]);
  }
  return text;
}

}  // namespace wire
