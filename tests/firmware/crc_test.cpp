#include "firmware/crc.h"

#include <gtest/gtest.h>

#include <cstring>

#include "bsl430/bsl430.h"
#include "firmware/firmware_resources.h"

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
}

TEST(Crc, TheSeedIsReplacedByTheStart) {
  CRC seeded(0x1234);
  EXPECT_EQ(seeded.GetCrcValue(), 0x1234);
  seeded.CrcInit(0xFFFF);
  for (char c : std::string("123456789")) seeded.CrcInput(static_cast<uint8_t>(c));
  EXPECT_EQ(seeded.GetCrcValue(), 0x29B1);
}

TEST(FirmwareResources, IdentifiersAndPadding) {
  EXPECT_EQ(padHexStringValue(FirmwareResource("PID")), "0x0200");
  EXPECT_EQ(padHexStringValue(FirmwareResource("VID")), "0x2047");
  EXPECT_EQ(padHexStringValue("0x1"), "0x0001");
  EXPECT_EQ(padHexStringValue("0x12"), "0x0012");
  EXPECT_EQ(padHexStringValue("0x12345"), "0x12345");
  EXPECT_EQ(FirmwareResource("Forced_BOR.Text"), "@0120\r\n04 A5\r\nq");
  EXPECT_EQ(FirmwareResource("RAM_BSL_VERSION"), "00.06.05.34");
  EXPECT_EQ(FirmwareResource("unknown"), "");
}

TEST(FirmwareResources, StandInsHaveTheLoadersLayout) {
  const auto ram = bsl430::ParseTiTxt(FirmwareResource("RAM_BSL.Text"));
  ASSERT_TRUE(ram.ok());
  ASSERT_EQ(ram.sections.size(), 2u);
  EXPECT_EQ(ram.sections[0].address, 0x2500u);
  EXPECT_EQ(ram.sections[0].bytes.size(), 117u);
  EXPECT_EQ(std::vector<uint8_t>(ram.sections[0].bytes.begin(), ram.sections[0].bytes.begin() + 4),
            (std::vector<uint8_t>{0x00, 0x06, 0x05, 0x34}));
  EXPECT_EQ(ram.sections[1].address, 0x2576u);
  EXPECT_EQ(ram.sections[1].bytes.size(), 2676u);
  const DataBlock_ password = BSL_readTI_Text(FirmwareResource("password.Text").c_str(), 32);
  EXPECT_EQ(password.startAddress, 0xFFE0u);
  EXPECT_EQ(password.byteCount, 32u);
}
