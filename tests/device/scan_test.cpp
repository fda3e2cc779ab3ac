#include <gtest/gtest.h>

#include <cstring>

#include "virtual_bus_fixture.h"

using namespace navkeypad;

using Scan = VirtualBusTest;

TEST_F(Scan, LongDeviceTextsAreTruncatedInsideTheBuffers) {
  auto keypad = bus().plug();
  keypad->setManufacturer(std::wstring(200, L'M'));
  keypad->setProduct(std::wstring(60, L'P'));
  char texts[2][kDeviceTextCapacity + 8];
  std::memset(texts, '#', sizeof texts);
  hid_handle = ScanForUSBDevice_a(kKeypadVendorId, kKeypadProductId, texts[0], texts[1]);
  ASSERT_NE(hid_handle, nullptr);
  EXPECT_EQ(std::string(texts[0]), std::string(kDeviceTextCapacity - 1, 'M'));
  EXPECT_EQ(std::string(texts[1]), std::string(kDeviceTextCapacity - 1, 'P'));
  for (std::size_t i = kDeviceTextCapacity; i < kDeviceTextCapacity + 8; ++i) {
    EXPECT_EQ(texts[0][i], '#');
    EXPECT_EQ(texts[1][i], '#');
  }
}

TEST_F(Scan, UnreadableTextsStillGiveAUsableDevice) {
  auto keypad = bus().plug();
  keypad->setStringsReadable(false);
  scan();
  ASSERT_NE(hid_handle, nullptr);
  EXPECT_STREQ(manufacturer_, "Unable To Find");
  EXPECT_STREQ(product_, "Unable To Find");
  EXPECT_EQ(SendKeypadCommand(CMD_GET_STATUS), kExchangeOk);
}
