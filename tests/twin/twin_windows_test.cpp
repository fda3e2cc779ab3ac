// The real windows on the keypad twin: the system's hidapi and the udev device watch, as on a
// technician's computer, against keypads served through umockdev's sysfs, udev and hidraw.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QPointer>
#include <QTextEdit>
#include <filesystem>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "device/system_hid.h"
#include "firmware/firmware_upgrade.h"
#include "firmware/pending_upgrade.h"
#include "gui_fixture.h"
#include "keypad_twin.h"
#include "platform/udev_device_watch.h"
#include "support/program_lock.h"

using namespace navkeypad;
using tarvik_usb_encoder::firmware_upgrade;

class WindowsOnTwin : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    SetHid(&SystemHid());
    BSL_setDeviceWatch(&watch_);
    firmware_upgrade::scanDeviceAgain = false;
    std::filesystem::create_directories(appData_.path() / "locks");
    SetKeypadLockFolder((appData_.path() / "locks").string());
    keypad_ = bus().plug("a");
    keypad_->setSerialNumber("SN-77");
    keypad_->setLedBrightness(7);
    twin_ = std::make_unique<virtual_keypad::KeypadTwin>();
    twin_->start();
    openMainWindow();
  }
  void TearDown() override {
    if (!window_.isNull()) {
      waitFor([&] { return !window_->workerBusy(); });
      window_->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // Whatever ended the upgrade (its window closed, or none opened) let go of its lock.
    support::ProgramLock another;
    EXPECT_TRUE(TakeUpgradeLock(another)) << "the upgrade lock was kept";
    another.release();
    form_.reset();
    QApplication::processEvents();
    SetKeypadLockFolder({});
    BSL_close_BSL();
    BSL_setDeviceWatch(nullptr);
    twin_.reset();
    GuiTest::TearDown();
  }

  QString firstLine() {
    return find<QTextEdit>(form_.get(), "richTextBox1")->toPlainText().split('\n')[0];
  }
  QString label() { return find<QLabel>(window_, "labelNumOfDevices")->text(); }
  std::string recordFile() const {
    return (appData_.path() / "VeltoInterface" / "PendingFirmwareUpgrade.json").string();
  }

  platform::UdevDeviceWatch watch_;
  std::unique_ptr<virtual_keypad::KeypadTwin> twin_;
  std::shared_ptr<virtual_keypad::VirtualKeypad> keypad_;
  QPointer<firmware_upgrade> window_;
};

TEST_F(WindowsOnTwin, StartUpFindsTheKeypadThroughUdevAndAScanFollowsAPullAndAPlug) {
  EXPECT_TRUE(firstLine().endsWith("Firmware Version        -   1.04"))
      << firstLine().toStdString();
  EXPECT_EQ(find<QComboBox>(form_.get(), "ledBrightnessCbox")->currentText(), "LED Brightness - 7");

  bus().unplug(keypad_);
  twin_->settle();
  platform_.clearMessages();
  click(form_.get(), "button11");
  EXPECT_TRUE(firstLine().startsWith("Device Connected   -    None")) << firstLine().toStdString();

  bus().plug("b")->setFirmwareVersion("2.00");
  twin_->settle();
  click(form_.get(), "button11");
  EXPECT_TRUE(firstLine().endsWith("Firmware Version        -   2.00"))
      << firstLine().toStdString();

  // An upgrade given up at its file dialog lets go of its lock (checked at the end).
  platform_.answerQuestion(true);
  platform_.answerOpenFile({});
  click(form_.get(), "btnLoadFirmware");
  EXPECT_TRUE(form_->findChildren<firmware_upgrade*>().isEmpty());
}

TEST_F(WindowsOnTwin, TheUpgradeWindowCountsLoadersFromUdevEventsDownloadsAndRestores) {
  const std::string firmware =
      std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
  platform_.answerQuestion(true);
  platform_.answerOpenFile(QString::fromStdString(firmware));
  click(form_.get(), "btnLoadFirmware");
  const auto windows = form_->findChildren<firmware_upgrade*>();
  ASSERT_FALSE(windows.isEmpty());
  window_ = windows.back();
  // The keypad left its application through its hidraw node and came back as a loader.
  ASSERT_TRUE(waitFor([&] { return label() == "Found 1 device"; })) << label().toStdString();
  ASSERT_EQ(firmware::ReadPendingUpgrades(recordFile()).records.size(), 1u);

  auto other = bus().plug("l");
  other->startInLoader();
  EXPECT_TRUE(waitFor([&] { return label() == "Found 2 devices"; })) << label().toStdString();
  bus().unplug(other);
  EXPECT_TRUE(waitFor([&] { return label() == "Found 1 device"; })) << label().toStdString();

  click(window_, "btnUpgrade");
  ASSERT_TRUE(waitFor([&] { return !window_->downloadRunning() && !window_->workerBusy(); }));
  EXPECT_TRUE(waitFor([&] { return label() == "No device connected"; })) << label().toStdString();
  EXPECT_EQ(keypad_->firmwareVersion(), "2.01");
  EXPECT_EQ(keypad_->serialNumber(), "SN-77");
  EXPECT_EQ(keypad_->settings().ledBrightness, 7);
  EXPECT_FALSE(std::filesystem::exists(recordFile()));
  EXPECT_THAT(warnings(), ::testing::IsEmpty());
}
