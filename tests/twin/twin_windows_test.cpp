// The real windows on the keypad twin: the system's hidapi and the udev device watch, as on a
// technician's computer, against keypads served through umockdev's sysfs, udev and hidraw.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTextEdit>

#include "device/system_hid.h"
#include "firmware_upgrade_fixture.h"
#include "keypad_twin.h"
#include "platform/udev_device_watch.h"

class WindowsOnTwin : public FirmwareUpgrade {
 protected:
  void startBus() override {
    // The windows' waits pass for real (a quarter of each): a keypad served through udev takes
    // its moment to come back, as a real one does.
    platform::setClock(&quarterClock_);
    navkeypad::SetHid(&navkeypad::SystemHid());
    BSL_setDeviceWatch(&udevWatch_);
    twin_->start();
  }
  void endBus() override { twin_.reset(); }

  QString firstLine() {
    return find<QTextEdit>(form_.get(), "richTextBox1")->toPlainText().split('\n')[0];
  }

  platform::RecordingClock quarterClock_{4};
  platform::UdevDeviceWatch udevWatch_;
  std::unique_ptr<virtual_keypad::KeypadTwin> twin_ =
      std::make_unique<virtual_keypad::KeypadTwin>();
};

TEST_F(WindowsOnTwin, StartUpFindsTheKeypadThroughUdevAndAScanFollowsAPullAndAPlug) {
  EXPECT_TRUE(firstLine().endsWith("Firmware Version        -   1.04"))
      << firstLine().toStdString();
  EXPECT_EQ(find<QComboBox>(form_.get(), "ledBrightnessCbox")->currentText(), "LED Brightness - 7");
  bus().unplug(keypad_);
  twin_->settle();
  click(form_.get(), "button11");
  EXPECT_TRUE(firstLine().startsWith("Device Connected   -    None")) << firstLine().toStdString();
  bus().plug("b")->setFirmwareVersion("2.00");
  twin_->settle();
  click(form_.get(), "button11");
  EXPECT_TRUE(firstLine().endsWith("Firmware Version        -   2.00"))
      << firstLine().toStdString();
  // An upgrade given up at its file dialog lets go of its lock (checked at the end).
  EXPECT_EQ(openUpgradeWindow(false), nullptr);
}

TEST_F(WindowsOnTwin, TheUpgradeWindowCountsLoadersFromUdevEventsDownloadsAndRestores) {
  // The keypad left its application through its hidraw node and came back as a loader.
  ASSERT_NE(openUpgradeWindow(), nullptr);
  ASSERT_TRUE(waitFor([&] { return label() == "Found 1 device"; })) << label().toStdString();
  ASSERT_EQ(navkeypad::firmware::ReadPendingUpgrades(recordFile()).records.size(), 1u);
  auto other = plugWaitingLoader();
  EXPECT_TRUE(waitFor([&] { return label() == "Found 2 devices"; })) << label().toStdString();
  bus().unplug(other);
  EXPECT_TRUE(waitFor([&] { return label() == "Found 1 device"; })) << label().toStdString();

  upgrade();
  EXPECT_TRUE(waitFor([&] { return label() == "No device connected"; })) << label().toStdString();
  EXPECT_EQ(keypad_->firmwareVersion(), "2.01");
  const auto settings = keypad_->settings();
  EXPECT_EQ(keypad_->serialNumber(), "SN-77");
  EXPECT_EQ(settings.ledBrightness, 7);
  EXPECT_EQ(settings.customTable.bytes, kTable.bytes);
  EXPECT_FALSE(std::filesystem::exists(recordFile()));
  EXPECT_THAT(warnings(), ::testing::IsEmpty());
}
