#include <gtest/gtest.h>

#include "device/keypad_commands.h"

using namespace navkeypad;

namespace {
std::vector<uint8_t> FixedPart() {
  return {7, 2, 0, 1, 0xE0, 0x04, 0, 0x05, 0, 0x06, 0xE7, 0x07, 0, 0x28};
}
}  // namespace

TEST(StatusRecord, FieldsAtTheirOffsets) {
  auto record = FixedPart();
  // Firmware, serial number and temperature, each ending with a zero byte.
  const std::string texts("1.04\0SN1\00031\0", 12);
  record.insert(record.end(), texts.begin(), texts.end());
  const auto status = DecodeStatusRecord(record);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->ledBrightness, 7);
  EXPECT_EQ(status->keypadType, 2);
  EXPECT_EQ(status->jackState, 0);
  EXPECT_EQ(status->orientation, 1);
  EXPECT_EQ(status->codeTable.entry(NavigationKey::Left), (KeyCodeEntry{0xE0, 0x04}));
  EXPECT_EQ(status->codeTable.entry(NavigationKey::Up), (KeyCodeEntry{0xE7, 0x07}));
  EXPECT_EQ(status->codeTable.entry(NavigationKey::Enter), (KeyCodeEntry{0x00, 0x28}));
  EXPECT_EQ(status->firmwareVersion, "1.04");
  EXPECT_EQ(status->serialNumber, "SN1");
  EXPECT_EQ(status->temperature, "31");
  EXPECT_EQ(EncodeStatusRecord(*status), record);
}

TEST(SerialNumberPayload, ZeroTerminatedOrCutAtTwelve) {
  const auto shortSerial = SerialNumberPayload("AB12");
  EXPECT_EQ(shortSerial, (std::array<uint8_t, 12>{'A', 'B', '1', '2', 0, 0, 0, 0, 0, 0, 0, 0}));
  const auto longSerial = SerialNumberPayload("0123456789ABCDEF");
  EXPECT_EQ(longSerial,
            (std::array<uint8_t, 12>{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'A', 'B'}));
}
