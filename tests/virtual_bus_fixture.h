// A clean virtual bus for every test, and the shared handle closed afterwards.
#pragma once

#include <gtest/gtest.h>

#include "device/keypad_commands.h"
#include "hidapi_virtual.h"
#include "stand_in_loader.h"
#include "virtual_keypad.h"

class VirtualBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    virtual_keypad::VirtualBus::instance().reset();
    virtual_keypad::UseStandInLoader();
    navkeypad::SetHid(&virtual_keypad::VirtualHid());
  }
  void TearDown() override {
    if (hid_handle != nullptr) hid_exit_safely(hid_handle);
    hid_handle = nullptr;
    virtual_keypad::VirtualBus::instance().reset();
  }

  static virtual_keypad::VirtualBus& bus() { return virtual_keypad::VirtualBus::instance(); }

  // Plugs a keypad and makes it the shared handle, as the start-up scan does.
  std::shared_ptr<virtual_keypad::VirtualKeypad> connectKeypad() {
    auto keypad = bus().plug();
    scan();
    return keypad;
  }

  // Closes the shared handle and scans again, as "Scan For Device" does.
  void scan() {
    if (hid_handle != nullptr) hid_exit_safely(hid_handle);
    hid_handle = ScanForUSBDevice_a(navkeypad::kKeypadVendorId, navkeypad::kKeypadProductId,
                                    manufacturer_, product_);
  }

  char manufacturer_[navkeypad::kDeviceTextCapacity] = {};
  char product_[navkeypad::kDeviceTextCapacity] = {};
};
