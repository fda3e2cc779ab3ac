#include <gtest/gtest.h>

#include <cstring>

#include "virtual_bus_fixture.h"

using namespace navkeypad;

using Scan = VirtualBusTest;

TEST_F(Scan, NoKeypadGivesNoneAndNullAndExchangesFailAtOnce) {
  scan();
  EXPECT_EQ(hid_handle, nullptr);
  EXPECT_STREQ(manufacturer_, "None");
  EXPECT_STREQ(product_, "None");
  EXPECT_EQ(SendKeypadCommand(CMD_GET_STATUS), kExchangeDeviceError);
}

TEST_F(Scan, KeyboardInterfaceIsListedFirstAndTheConfigurationInterfaceIsOpened) {
  auto keypad = bus().plug();
  hid_device_info* list = Hid().enumerate(kKeypadVendorId, kKeypadProductId);
  ASSERT_NE(list, nullptr);
  ASSERT_NE(list->next, nullptr);
  EXPECT_EQ(list->interface_number, 0);
  EXPECT_EQ(list->next->interface_number, 1);
  Hid().freeEnumeration(list);

  scan();
  ASSERT_NE(hid_handle, nullptr);
  EXPECT_STREQ(manufacturer_, "Velto");
  EXPECT_STREQ(product_, "Velto Navigation Keypad");
  EXPECT_EQ(SendKeypadCommand(CMD_GET_STATUS), kExchangeOk);
  EXPECT_EQ(keypad->receivedCommands().size(), 1u);
}

TEST_F(Scan, WithTwoKeypadsTheFirstConfigurationInterfaceWins) {
  auto first = bus().plug();
  auto second = bus().plug();
  scan();
  ASSERT_EQ(SendKeypadCommand(CMD_SET_LED_BRIGHTNESS, std::vector<uint8_t>{3}), kExchangeOk);
  EXPECT_EQ(first->receivedCommands().size(), 1u);
  EXPECT_TRUE(second->receivedCommands().empty());
}

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

TEST_F(Scan, KeypadThatCannotBeOpenedCountsAsAbsent) {
  auto keypad = bus().plug();
  keypad->setOpenable(false);
  scan();
  EXPECT_EQ(hid_handle, nullptr);
  EXPECT_STREQ(manufacturer_, "None");
}

TEST_F(Scan, EveryScanClosesThePreviousDevice) {
  bus().plug();
  scan();
  scan();
  scan();
  EXPECT_EQ(bus().openHandles(), 1);
}
