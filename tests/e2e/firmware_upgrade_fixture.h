// The firmware upgrade from the main window, on a keypad SN-77 with a custom table and
// brightness 7: on the virtual bus, or, built with NAVKEYPAD_ON_TWIN, through the system's hidapi
// and udev on the keypad twin (in a program that runs under umockdev's preload library).
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <filesystem>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "firmware/firmware_upgrade.h"
#include "firmware/pending_upgrade.h"
#include "gui_fixture.h"
#include "support/program_lock.h"
#include "virtual_device_watch.h"
#ifdef NAVKEYPAD_ON_TWIN
#include "device/system_hid.h"
#include "keypad_twin.h"
#include "platform/udev_device_watch.h"
#endif

inline const navkeypad::KeyCodeTable kTable{
    {0xE0, 0x04, 0x00, 0x4F, 0x00, 0x51, 0xE7, 0x52, 0x00, 0x28}};
inline const std::string kFirmwareSource =
    std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";

class FirmwareUpgrade : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    tarvik_usb_encoder::firmware_upgrade::scanDeviceAgain = false;
    keypad_ = bus().plug();
    keypad_->setSerialNumber("SN-77");
    keypad_->setKeypadType(navkeypad::kKeypadTypeCustom);
    keypad_->setCustomTable(kTable);
    keypad_->setLedBrightness(7);
    startBus();
    firmwareFile_ = (files_.path() / "keypad-firmware-2.01.txt").string();
    std::filesystem::copy_file(kFirmwareSource, firmwareFile_);
    // Real locks, in a folder of the tests' own: whatever ends an upgrade lets go of its lock.
    std::filesystem::create_directories(appData_.path() / "locks");
    navkeypad::SetKeypadLockFolder((appData_.path() / "locks").string());
    openMainWindow();
  }
  void TearDown() override {
    if (!window_.isNull()) {
      waitFor([&] { return !window_->workerBusy(); });
      window_->close();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // a closed window goes
    // Whatever ended the upgrade (its window closed, or none opened) let go of its lock.
    support::ProgramLock another;
    EXPECT_TRUE(navkeypad::TakeUpgradeLock(another)) << "the upgrade lock was kept";
    another.release();
    form_.reset();
    QApplication::processEvents();
    navkeypad::SetKeypadLockFolder({});
    BSL_close_BSL();
    BSL_setDeviceWatch(nullptr);
    endBus();
    GuiTest::TearDown();
  }
#ifdef NAVKEYPAD_ON_TWIN
  void startBus() {
    navkeypad::SetHid(&navkeypad::SystemHid());
    BSL_setDeviceWatch(&watch_);
    twin_->start();
  }
  void endBus() {
    twin_.reset();
  }
  // The computer shows what is on the bus now, and the windows have heard of it.
  void settle() {
    twin_->settle();
    QElapsedTimer heard;
    heard.start();
    while (heard.elapsed() < 100) QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  // udev says where every USB device is plugged in.
  static constexpr bool kPlaceMayBeUnknown = false;

  platform::UdevDeviceWatch watch_;
  std::unique_ptr<virtual_keypad::KeypadTwin> twin_ =
      std::make_unique<virtual_keypad::KeypadTwin>();
#else
  void startBus() {
    BSL_setDeviceWatch(&watch_);
  }
  void endBus() {}
  void settle() {}
  static constexpr bool kPlaceMayBeUnknown = true;

  virtual_keypad::VirtualDeviceWatch watch_;
#endif
  // "Scan For Device", once the computer shows what was plugged in or pulled just before.
  void scanAgain() {
    settle();
    click(form_.get(), "button11");
  }

  // "Update Navigation Keypad Firmware", answered Yes and given the firmware file; waits for
  // the first device count.
  tarvik_usb_encoder::firmware_upgrade* openUpgradeWindow(bool confirm = true) {
    platform_.answerQuestion(confirm);
    if (confirm) platform_.answerOpenFile(QString::fromStdString(firmwareFile_));
    click(form_.get(), "btnLoadFirmware");
    const auto windows = form_->findChildren<tarvik_usb_encoder::firmware_upgrade*>();
    if (windows.isEmpty()) return nullptr;
    window_ = windows.back();
    waitFor([&] { return !window_->workerBusy() && label() != "Searching for devices"; });
    settle();  // the keypad's loader arriving through udev, counted
    waitFor([&] { return !window_->workerBusy(); });
    QApplication::processEvents();
    return window_;
  }
  // The upgrade window closed, the main window scanned a new keypad SN-77.
  void startAgainWithAFreshKeypad() {
    window_->close();
    waitFor([&] { return window_.isNull(); });
    bus().reset();
    BSL_setDeviceWatch(&watch_);
    keypad_ = bus().plug();
    keypad_->setSerialNumber("SN-77");
    scanAgain();
  }
  std::string recordFile() const {
    return (appData_.path() / "VeltoInterface" / "PendingFirmwareUpgrade.json").string();
  }
  // Another keypad, restarted into its loader.
  std::shared_ptr<virtual_keypad::VirtualKeypad> plugWaitingLoader() {
    auto other = bus().plug();
    other->startInLoader();
    return other;
  }
  QString label() {
    return find<QLabel>(window_, "labelNumOfDevices")->text();
  }
  QString status() {
    return find<QPlainTextEdit>(window_, "statusBox")->toPlainText();
  }
  bool enabled(const char* name) {
    return find<QWidget>(window_, name)->isEnabled();
  }

  void browseTo(const std::string& path) {
    platform_.answerOpenFile(QString::fromStdString(path));
    click(window_, "btnBrowse");
  }
  // Upgrade, then wait for the download and whatever follows it to finish.
  void upgrade() {
    int restores = 0;
    QObject::connect(window_, &tarvik_usb_encoder::firmware_upgrade::restoreFinished,
                     [&] { ++restores; });
    click(window_, "btnUpgrade");
    ASSERT_TRUE(waitFor([&] { return !window_->downloadRunning(); }));
    waitFor([&] { return restores > 0 || !window_->workerBusy(); });
    QApplication::processEvents();
  }
  // What the new application received: every command after the switch to the loader (the
  // loader's own commands are not keypad commands).
  std::vector<virtual_keypad::ReceivedCommand> restoreCommands() {
    const auto received = keypad_->receivedCommands();
    const auto entered = std::find_if(received.begin(), received.end(), [](const auto& command) {
      return command.command == navkeypad::CMD_ENTER_FIRMWARE_UPGRADE;
    });
    if (entered == received.end()) return received;
    return {entered + 1, received.end()};
  }

  std::shared_ptr<virtual_keypad::VirtualKeypad> keypad_;
  QPointer<tarvik_usb_encoder::firmware_upgrade> window_;
  TempDir files_;
  std::string firmwareFile_;
};
