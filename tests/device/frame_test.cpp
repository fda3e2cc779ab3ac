#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "device/hid_transport.h"

using namespace navkeypad;
using ::testing::ElementsAreArray;

namespace {

std::vector<uint8_t> Padded(std::vector<uint8_t> bytes) {
  bytes.resize(kReportSize, 0x00);
  return bytes;
}

std::vector<uint8_t> Request(uint8_t command, std::vector<uint8_t> payload) {
  Report report;
  EXPECT_TRUE(BuildRequestReport(command, payload, report));
  return {report.begin(), report.end()};
}

// A result report as the keypad sends it, with the length digits given as characters.
Report ResultReport(char high, char low, uint8_t status, std::vector<uint8_t> data) {
  Report report{0x3F,  0x40, kStx, '0', '1', static_cast<uint8_t>(high), static_cast<uint8_t>(low),
                status};
  std::copy(data.begin(), data.end(), report.begin() + 8);
  const std::size_t n = DecodeHexDigit(report[5]) * 16u + DecodeHexDigit(report[6]);
  if (n >= 1 && n <= 55) {
    report[7 + n] = kEtx;
    report[8 + n] = FrameChecksum(std::span(report).subspan(2, 6 + n));
  }
  return report;
}

}  // namespace

TEST(RequestFrame, WorkedExamplesByteForByte) {
  EXPECT_THAT(Request(0x01, {}),
              ElementsAreArray(Padded({0x3F, 0x40, 0x02, 0x30, 0x31, 0x30, 0x30, 0x03, 0x00})));
  EXPECT_THAT(
      Request(0x02, {0x05}),
      ElementsAreArray(Padded({0x3F, 0x40, 0x02, 0x30, 0x32, 0x30, 0x31, 0x05, 0x03, 0x07})));
  EXPECT_THAT(
      Request(0x0F, {0x01, 0x32}),
      ElementsAreArray(Padded({0x3F, 0x40, 0x02, 0x30, 0x46, 0x30, 0x32, 0x01, 0x32, 0x03, 0x46})));
}

TEST(RequestFrame, LargestPayloadFillsTheReportAndLargerIsRefused) {
  Report report;
  std::vector<uint8_t> payload(55, 0xAA);
  ASSERT_TRUE(BuildRequestReport(0x05, payload, report));
  EXPECT_EQ(report[5], '3');
  EXPECT_EQ(report[6], '7');
  EXPECT_EQ(report[62], kEtx);
  payload.push_back(0xAA);
  EXPECT_FALSE(BuildRequestReport(0x05, payload, report));
}

TEST(ResultFrame, LowerCaseLengthDigitReadsAsZero) {
  // '1' 'a' decodes as 0x10: 15 data bytes, with ETX and checksum where 0x10 puts them.
  std::vector<uint8_t> data(15);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  Report report = ResultReport('1', '0', 0x00, data);
  report[6] = 'a';
  report[8 + 0x10] = FrameChecksum(std::span(report).subspan(2, 6 + 0x10));
  uint8_t response[64];
  uint32_t length = 0;
  ASSERT_EQ(ParseResponseFrame(report.data(), response, 64, &length), kExchangeOk);
  EXPECT_EQ(length, 15u);
}

TEST(ResultFrame, LargestFrameEndsAtTheLastByte) {
  std::vector<uint8_t> data(54, 0x5A);
  const Report report = ResultReport('3', '7', 0x00, data);
  EXPECT_EQ(report[62], kEtx);
  uint8_t response[64];
  uint32_t length = 0;
  ASSERT_EQ(ParseResponseFrame(report.data(), response, 64, &length), kExchangeOk);
  EXPECT_EQ(length, 54u);
}
