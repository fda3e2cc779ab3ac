#include "firmware/crc.h"

#include <gtest/gtest.h>

#include <cstring>

#include "bsl430/bsl430.h"
#include "firmware/firmware_resources.h"
#include "firmware/loader_texts.h"
#include "stand_in_loader.h"

using namespace navkeypad::firmware;

namespace {
DataBlock_ Block(const std::string& bytes) {
  static DataBlock_ block;
  std::memset(&block, 0, sizeof block);
  std::memcpy(block.bytes, bytes.data(), bytes.size());
  block.byteCount = static_cast<uint32_t>(bytes.size());
  return block;
}
}  // namespace

TEST(Crc, MatchesCcittFalse) {
  EXPECT_EQ(Calculate_CRC(Block("")), 0xFFFFu);
  EXPECT_EQ(Calculate_CRC(Block("123456789")), 0x29B1u);
  EXPECT_NE(Calculate_CRC(Block("12")), Calculate_CRC(Block("21")));
  // Only byteCount bytes count.
  DataBlock_ block = Block("123456789");
  block.bytes[9] = 'x';
  EXPECT_EQ(Calculate_CRC(block), 0x29B1u);
  // The seed is replaced by the start.
  CRC seeded(0x1234);
  EXPECT_EQ(seeded.GetCrcValue(), 0x1234);
  seeded.CrcInit(0xFFFF);
  for (char c : std::string("123456789")) seeded.CrcInput(static_cast<uint8_t>(c));
  EXPECT_EQ(seeded.GetCrcValue(), 0x29B1);
}

TEST(FirmwareResources, HexTextsAreWidenedToFourDigits) {
  EXPECT_EQ(padHexStringValue(FirmwareResource("PID")), "0x0200");
  EXPECT_EQ(padHexStringValue("0x1"), "0x0001");
  EXPECT_EQ(padHexStringValue("0x12"), "0x0012");
  EXPECT_EQ(padHexStringValue("0x12345"), "0x12345");
}
