#include "wire/decode.h"

#include <cstdio>

#include "bsl430/loader_protocol.h"
#include "device/hid_transport.h"
#include "device/keypad_commands.h"
#include "support/hex.h"

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

std::string LoaderCommand(uint8_t code) {
  const char* name = bsl430::LoaderCommandName(code);
  return name != nullptr ? name : "loader command " + Hex(code, 2);
}

std::string DescribeLoader(const uint8_t* data, std::size_t length, bool written) {
  if (length < 3 || data[0] != bsl430::kLoaderReportId) return "not a loader report";
  const std::size_t count = std::min<std::size_t>(data[1], length - 2);
  const uint8_t* core = data + 2;
  if (!written) {
    if (core[0] == bsl430::kReplyMessage && count >= 2) return "loader message " + Hex(core[1], 2);
    if (core[0] == bsl430::kReplyData) return "loader data" + Bytes(core + 1, count - 1);
    return "loader reply" + Bytes(core, count);
  }
  const uint8_t command = core[0];
  std::string text = LoaderCommand(command);
  const auto address = [&] { return core[1] | (core[2] << 8) | (core[3] << 16); };
  if ((command == bsl430::kRxDataBlock || command == bsl430::kRxDataBlockFast) && count >= 4) {
    text += " at " + Hex(static_cast<uint32_t>(address()), 4) + ", " + std::to_string(count - 4) +
            " bytes";
  } else if ((command == bsl430::kEraseSegment || command == bsl430::kLoadPc) && count >= 4) {
    text += " at " + Hex(static_cast<uint32_t>(address()), 4);
  } else if ((command == bsl430::kCrcCheck || command == bsl430::kTxDataBlock) && count >= 6) {
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
  return support::HexText({data, length}, " ");
}

}  // namespace wire
