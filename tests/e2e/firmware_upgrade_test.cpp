// Upgrading the virtual keypad's firmware from the main window, and getting its settings
// back afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>

#include "firmware/firmware_upgrade.h"
#include "gui_fixture.h"
#include "support/ini_file.h"
#include "virtual_device_watch.h"

using namespace navkeypad;
using tarvik_usb_encoder::firmware_upgrade;
using tarvik_usb_encoder::Form1;
using ::testing::Contains;
using ::testing::ElementsAre;
using virtual_keypad::Mode;
using virtual_keypad::ReceivedCommand;

namespace {
const KeyCodeTable kTable{{0xE0, 0x04, 0x00, 0x4F, 0x00, 0x51, 0xE7, 0x52, 0x00, 0x28}};
const std::string kFirmwareSource =
    std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
}  // namespace

class FirmwareUpgrade : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    BSL_setDeviceWatch(&watch_);
    firmware_upgrade::serialNumber.reset();
    firmware_upgrade::keypadType = 0;
    firmware_upgrade::ledBrightness = 0;
    firmware_upgrade::key_codes = {};
    firmware_upgrade::scanDeviceAgain = false;
    keypad_ = bus().plug();
    keypad_->setSerialNumber("SN-77");
    keypad_->setKeypadType(kKeypadTypeCustom);
    keypad_->setCustomTable(kTable);
    keypad_->setLedBrightness(7);
    firmwareFile_ = (files_.path() / "keypad-firmware-2.01.txt").string();
    std::filesystem::copy_file(kFirmwareSource, firmwareFile_);
    form_ = std::make_unique<Form1>();
    form_->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    if (!window_.isNull()) {
      waitFor([&] { return !window_->workerBusy(); });
      window_->close();
    }
    form_.reset();
    QApplication::processEvents();
    BSL_close_BSL();
    BSL_setDeviceWatch(nullptr);
    GuiTest::TearDown();
  }

  // "Update Navigation Keypad Firmware", answered Yes; waits for the first device count.
  firmware_upgrade* openUpgradeWindow(bool confirm = true) {
    platform_.answerQuestion(confirm);
    click(form_.get(), "btnLoadFirmware");
    const auto windows = form_->findChildren<firmware_upgrade*>();
    if (windows.isEmpty()) return nullptr;
    window_ = windows.back();
    waitFor([&] { return !window_->workerBusy() && label() != "Searching for devices"; });
    QApplication::processEvents();
    return window_;
  }
  QString label() { return find<QLabel>(window_, "labelNumOfDevices")->text(); }
  QString status() { return find<QPlainTextEdit>(window_, "statusBox")->toPlainText(); }
  bool enabled(const char* name) { return find<QWidget>(window_, name)->isEnabled(); }

  void browseTo(const std::string& path) {
    platform_.answerOpenFile(QString::fromStdString(path));
    click(window_, "btnBrowse");
  }
  // Upgrade, then wait for the download and whatever follows it to finish.
  void upgrade() {
    int restores = 0;
    QObject::connect(window_, &firmware_upgrade::restoreFinished, [&] { ++restores; });
    click(window_, "btnUpgrade");
    ASSERT_TRUE(waitFor([&] { return !window_->downloadRunning(); }));
    waitFor([&] { return restores > 0 || !window_->workerBusy(); });
    QApplication::processEvents();
  }
  // What the new application received: every command after the switch to the loader (the
  // loader's own commands are not keypad commands).
  std::vector<ReceivedCommand> restoreCommands() {
    const auto received = keypad_->receivedCommands();
    const auto entered = std::find_if(received.begin(), received.end(), [](const auto& command) {
      return command.command == CMD_ENTER_FIRMWARE_UPGRADE;
    });
    if (entered == received.end()) return received;
    return {entered + 1, received.end()};
  }

  virtual_keypad::VirtualDeviceWatch watch_;
  std::shared_ptr<virtual_keypad::VirtualKeypad> keypad_;
  std::unique_ptr<Form1> form_;
  QPointer<firmware_upgrade> window_;
  TempDir files_;
  std::string firmwareFile_;
};

TEST_F(FirmwareUpgrade, TheWholeJourneyKeepsTheKeypadsSettings) {
  ASSERT_NE(openUpgradeWindow(), nullptr);
  EXPECT_EQ(window_->windowTitle(), "Velto Navigation Keypad Firmware Upgrade");
  EXPECT_EQ(find<QLabel>(window_, "vidLbl")->text(), "0x2047");
  EXPECT_EQ(find<QLabel>(window_, "pidLbl")->text(), "0x0200");
  EXPECT_EQ(keypad_->mode(), Mode::RomLoader);
  EXPECT_EQ(label(), "Found 1 device");
  EXPECT_TRUE(enabled("btnUpgrade"));

  browseTo(firmwareFile_);
  EXPECT_EQ(find<QLineEdit>(window_, "filenameTextBox")->text(),
            QString::fromStdString(firmwareFile_));
  EXPECT_EQ(CIniFile::GetValue("FirmwareFile", "appSettings", configFile()),
            "keypad-firmware-2.01.txt");
  EXPECT_EQ(platform_.fileRequests().back().filter, "(*.txt)|*.txt|All files (*.*)|*.*");

  keypad_->clearReceivedCommands();
  clock_.clearWaits();
  upgrade();
  EXPECT_EQ(find<QProgressBar>(window_, "progressBar")->value(), 100);
  EXPECT_TRUE(status().startsWith("Starting\nPassword Sent Successfully\n"));
  EXPECT_TRUE(status().endsWith("Resetting Device...\nStarting application\nDone!"));
  EXPECT_TRUE(warnings().empty());
  EXPECT_THAT(clock_.waits(), ElementsAre(1000, 1000, 1000, 6000));
  EXPECT_FALSE(enabled("btnUpgrade"));

  EXPECT_EQ(keypad_->firmwareVersion(), "2.01");
  EXPECT_EQ(keypad_->serialNumber(), "SN-77");
  EXPECT_EQ(keypad_->settings().keypadType, kKeypadTypeCustom);
  EXPECT_EQ(keypad_->settings().customTable, kTable);
  EXPECT_EQ(keypad_->settings().ledBrightness, 7);
  EXPECT_EQ(keypad_->storedDefaults(), keypad_->settings());
  const auto payload = SerialNumberPayload("SN-77");
  EXPECT_THAT(
      restoreCommands(),
      ElementsAre(ReceivedCommand{CMD_SET_SERIAL_NUMBER, {payload.begin(), payload.end()}},
                  ReceivedCommand{CMD_SET_KEYPAD_TYPE, {2}},
                  ReceivedCommand{CMD_LOAD_TABLE, {kTable.bytes.begin(), kTable.bytes.end()}},
                  ReceivedCommand{CMD_SET_LED_BRIGHTNESS, {7}},
                  ReceivedCommand{CMD_WRITE_DEFAULT, {}}));

  click(form_.get(), "button11");
  const QString line1 = find<QTextEdit>(form_.get(), "richTextBox1")->toPlainText().split('\n')[0];
  EXPECT_TRUE(line1.endsWith("Firmware Version        -   2.01"));
  EXPECT_EQ(find<QComboBox>(form_.get(), "ledBrightnessCbox")->currentText(), "LED Brightness - 7");
}

TEST_F(FirmwareUpgrade, TheKeyboardDoesNotStartAnUpgrade) {
  auto* button = find<QPushButton>(form_.get(), "btnLoadFirmware");
  button->setFocus();
  QTest::keyClick(button, Qt::Key_Space);
  QTest::keyClick(button, Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_TRUE(platform_.messages().empty());
  EXPECT_TRUE(form_->findChildren<firmware_upgrade*>().isEmpty());
}

TEST_F(FirmwareUpgrade, AnsweringNoSendsAndOpensNothing) {
  keypad_->clearReceivedCommands();
  EXPECT_EQ(openUpgradeWindow(false), nullptr);
  EXPECT_THAT(platform_.messages(),
              ElementsAre(Message{Kind::Question, "Are you sure you want to upgrade the firmware?",
                                  "Firmware Upgrade"}));
  EXPECT_TRUE(keypad_->receivedCommands().empty());
}

TEST_F(FirmwareUpgrade, AFailedStatusReadStillOpensAndTheRestoreSendsTheStartValues) {
  keypad_->refuseCommand(CMD_GET_STATUS);
  ASSERT_NE(openUpgradeWindow(), nullptr);
  EXPECT_THAT(warnings(), ElementsAre("Unable to get device status information\n"));
  keypad_->setBehaviour({});
  platform_.clearMessages();
  browseTo(firmwareFile_);
  upgrade();
  // Nothing to give back for the serial number: the keypad's own stays.
  EXPECT_THAT(restoreCommands(),
              ElementsAre(ReceivedCommand{CMD_SET_KEYPAD_TYPE, {0}},
                          ReceivedCommand{CMD_LOAD_TABLE, std::vector<uint8_t>(10, 0)},
                          ReceivedCommand{CMD_SET_LED_BRIGHTNESS, {0}},
                          ReceivedCommand{CMD_WRITE_DEFAULT, {}}));
  EXPECT_TRUE(messages().empty());
}

TEST_F(FirmwareUpgrade, DeviceCountsFollowTheBus) {
  // Two more keypads restarted as loaders.
  for (int i = 0; i < 2; ++i) {
    auto other = bus().plug();
    hid_device* device = hid_open_path(virtual_keypad::InterfacePath(other->id(), 1).c_str());
    uint8_t response[64];
    uint32_t length = 0;
    ASSERT_EQ(USBEncoderSendAndReceive_a(device, CMD_ENTER_FIRMWARE_UPGRADE, response, 0, response,
                                         64, &length, 5000),
              0);
    hid_close(device);
  }
  openUpgradeWindow();
  EXPECT_TRUE(waitFor([&] { return label() == "Found 3 devices"; }));

  for (const auto& keypad : bus().keypads()) bus().unplug(keypad);
  EXPECT_TRUE(waitFor([&] { return label() == "No device connected"; }));
  EXPECT_FALSE(enabled("btnUpgrade"));
  EXPECT_FALSE(enabled("btnBrowse"));
}

TEST_F(FirmwareUpgrade, AFailedDownloadBringsBackTheDeviceCheck) {
  virtual_keypad::Behaviour corrupting;
  corrupting.corruptWriteNumber = 3;
  keypad_->setBehaviour(corrupting);
  openUpgradeWindow();
  browseTo(firmwareFile_);
  upgrade();
  EXPECT_TRUE(status().endsWith("Memory verification error\n"));
  EXPECT_TRUE(waitFor([&] { return enabled("btnUpgrade"); }));
  EXPECT_EQ(label(), "Found 1 device");
  EXPECT_EQ(keypad_->mode(), Mode::RamLoader);
}

TEST_F(FirmwareUpgrade, NoFileChosenSaysSoAndChecksAgain) {
  openUpgradeWindow();
  upgrade();
  EXPECT_EQ(status(), "Starting\nNo file specified\n");
  EXPECT_TRUE(waitFor([&] { return enabled("btnUpgrade"); }));
}

TEST_F(FirmwareUpgrade, AKeypadThatDoesNotComeBackIsReported) {
  // An image without a reset vector: after the reset the chip stays in its loader.
  const std::string noVectors = (files_.path() / "no-vectors.txt").string();
  WriteBytes(noVectors, "@4400\n01 02 03 04\nq\n");
  openUpgradeWindow();
  browseTo(noVectors);
  upgrade();
  EXPECT_THAT(warnings(), ElementsAre("Velto Lumo not connected..\n"));
}

TEST_F(FirmwareUpgrade, EachRestoreStepStopsTheRestWhenItFails) {
  struct Case {
    uint8_t refused;
    const char* message;
    std::size_t sent;
  };
  for (const Case& c : {Case{CMD_SET_SERIAL_NUMBER, "Unable to set SerialNumber..\n", 1},
                        Case{CMD_SET_KEYPAD_TYPE, "Unable to set Keypad Type..\n", 2},
                        Case{CMD_LOAD_TABLE, "Unable to Load Table..\n", 3},
                        Case{CMD_SET_LED_BRIGHTNESS, "Unable to set LED Brightness..\n", 4},
                        Case{CMD_WRITE_DEFAULT, "Unable to Write Default..\n", 5}}) {
    SCOPED_TRACE(c.message);
    keypad_->refuseCommand(c.refused);
    openUpgradeWindow();
    platform_.clearMessages();
    browseTo(firmwareFile_);
    upgrade();
    EXPECT_THAT(warnings(), ElementsAre(c.message));
    EXPECT_EQ(restoreCommands().size(), c.sent);
    // The next round starts from a fresh keypad.
    window_->close();
    waitFor([&] { return window_.isNull(); });
    bus().reset();
    BSL_setDeviceWatch(&watch_);
    keypad_ = bus().plug();
    keypad_->setSerialNumber("SN-77");
    click(form_.get(), "button11");
  }
}

TEST_F(FirmwareUpgrade, ADownloadCannotBeStartedTwiceOrClosedAndOwesADeviceCheck) {
  virtual_keypad::Behaviour paced;
  paced.loaderReportPace = std::chrono::milliseconds(5);  // the download takes half a second
  keypad_->setBehaviour(paced);
  openUpgradeWindow();
  browseTo(firmwareFile_);
  click(window_, "btnUpgrade");
  ASSERT_TRUE(window_->downloadRunning());
  click(window_, "btnUpgrade");
  // A device that arrives meanwhile owes a device check for later.
  bus().plug();
  EXPECT_TRUE(waitFor([&] { return firmware_upgrade::scanDeviceAgain; }));
  EXPECT_TRUE(window_->downloadRunning());
  EXPECT_FALSE(enabled("btnClose"));
  window_->close();
  QApplication::processEvents();
  EXPECT_FALSE(window_.isNull());
  EXPECT_TRUE(status().contains("The download must finish before this window can close."));
  ASSERT_TRUE(waitFor([&] { return !window_->downloadRunning(); }));
  EXPECT_EQ(status().count("Starting\n"), 1);
  EXPECT_EQ(status().count("Password Sent Successfully"), 1);
}
