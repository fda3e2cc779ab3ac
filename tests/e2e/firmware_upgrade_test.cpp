// Upgrading the virtual keypad's firmware from the main window, and getting its settings
// back afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "firmware/firmware_upgrade.h"
#include "firmware/loader_texts.h"
#include "firmware/pending_upgrade.h"
#include "firmware_upgrade_fixture.h"
#include "gui_fixture.h"
#include "support/ini_file.h"
#include "virtual_device_watch.h"

using namespace navkeypad;
using tarvik_usb_encoder::firmware_upgrade;
using tarvik_usb_encoder::Form1;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using virtual_keypad::Mode;
using virtual_keypad::ReceivedCommand;

TEST_F(FirmwareUpgrade, TheWholeJourneyKeepsTheKeypadsSettings) {
  ASSERT_NE(openUpgradeWindow(), nullptr);
  // What the keypad must get back was on disk before it left its application.
  ASSERT_EQ(StoredRecords(storeFile()).size(), 1u);
  EXPECT_EQ(StoredRecords(storeFile())[0].settings.keyCodes, kTable.bytes);
  EXPECT_EQ(keypad_->mode(), Mode::RomLoader);
  EXPECT_EQ(label(), "Found 1 device");
  EXPECT_TRUE(enabled("btnUpgrade"));

  // The file chosen before the keypad left is in the box, as Browse would put it.
  EXPECT_EQ(find<QLineEdit>(window_, "filenameTextBox")->toolTip(),
            QString::fromStdString(firmwareFile_));
  EXPECT_EQ(CIniFile::GetValue("FirmwareFile", "appSettings", configFile()),
            "keypad-firmware-2.01.txt");
  browseTo(firmwareFile_);
  // Browse opens where the file chosen last lies.
  const auto request = platform_.fileRequests().back();
  EXPECT_EQ(request.title, "Select Firmware File");
  EXPECT_EQ(request.filter, "(*.txt);;All files (*)");
  EXPECT_FALSE(find<QProgressBar>(window_, "progressBar")->isTextVisible());
  EXPECT_EQ(request.folder.toStdString(), std::filesystem::path(firmwareFile_).parent_path());
  // A long path keeps both its ends in the box, and the whole of it in the tooltip; the whole
  // path is the one downloaded.
  const auto longFolder = files_.path() / std::string(120, 'r');
  std::filesystem::create_directories(longFolder);
  const std::string longPath = (longFolder / "keypad-firmware-2.01.txt").string();
  std::filesystem::copy_file(firmwareFile_, longPath);
  browseTo(longPath);
  const QString shown = find<QLineEdit>(window_, "filenameTextBox")->text();
  EXPECT_TRUE(shown.startsWith(QString::fromStdString(longPath.substr(0, 5))))
      << shown.toStdString();
  EXPECT_TRUE(shown.endsWith("r/keypad-firmware-2.01.txt")) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
  EXPECT_EQ(find<QLineEdit>(window_, "filenameTextBox")->toolTip().toStdString(), longPath);

  keypad_->clearReceivedCommands();
  clock_.clearWaits();
  upgrade();
  EXPECT_EQ(find<QProgressBar>(window_, "progressBar")->value(), 100);
  EXPECT_TRUE(status().startsWith("Starting\nPassword Sent Successfully\n"));
  EXPECT_TRUE(status().endsWith("Resetting Device...\nStarting application\nDone!"));
  EXPECT_TRUE(warnings().empty());
  // The main window's status read after the restore waits its half second.
  EXPECT_THAT(clock_.waits(), ElementsAre(1000, 1000, 1000, 6000, 500));
  EXPECT_FALSE(enabled("btnUpgrade"));
  EXPECT_TRUE(waitFor([&] { return label() == "No device connected"; }));

  EXPECT_EQ(keypad_->firmwareVersion(), "2.01");
  EXPECT_THAT(StoredRecords(storeFile()), ::testing::IsEmpty());
  const auto payload = SerialNumberPayload("SN-77");
  // The keypad that came back says who it is before it is given anything.
  EXPECT_THAT(
      restoreCommands(),
      ElementsAre(ReceivedCommand{CMD_GET_STATUS, {}},
                  ReceivedCommand{CMD_SET_SERIAL_NUMBER, {payload.begin(), payload.end()}},
                  ReceivedCommand{CMD_SET_KEYPAD_TYPE, {2}},
                  ReceivedCommand{CMD_LOAD_TABLE, {kTable.bytes.begin(), kTable.bytes.end()}},
                  ReceivedCommand{CMD_SET_LED_BRIGHTNESS, {7}},
                  ReceivedCommand{CMD_WRITE_DEFAULT, {}}, ReceivedCommand{CMD_GET_STATUS, {}}));

  // The main window shows the keypad as it came back, without a Scan.
  const QString line1 = find<QTextEdit>(form_.get(), "richTextBox1")->toPlainText().split('\n')[0];
  EXPECT_TRUE(line1.endsWith("Firmware Version        -   2.01"));
  EXPECT_EQ(find<QComboBox>(form_.get(), "ledBrightnessCbox")->currentText(), "LED Brightness - 7");
}

TEST_F(FirmwareUpgrade, AnsweringNoOrCancellingTheFileDialogSendsAndOpensNothing) {
  keypad_->clearReceivedCommands();
  EXPECT_EQ(openUpgradeWindow(false), nullptr);
  EXPECT_THAT(platform_.messages(),
              ElementsAre(Message{Kind::Question, "Are you sure you want to upgrade the firmware?",
                                  "Firmware Upgrade"}));
  platform_.answerQuestion(true);
  click(form_.get(), "btnLoadFirmware");
  EXPECT_TRUE(keypad_->receivedCommands().empty());
  EXPECT_TRUE(form_->findChildren<firmware_upgrade*>().isEmpty());
}

TEST_F(FirmwareUpgrade, AKeypadWaitingWithoutARecordIsGivenNothingMadeUp) {
  // Left in its loader by something else: no keypad answers, so no status and no record.
  keypad_->startInLoader();
  scanAgain();
  platform_.clearMessages();
  ASSERT_NE(openUpgradeWindow(), nullptr);
  EXPECT_THAT(warnings(), ElementsAre("Unable to get device status information\n"));
  platform_.clearMessages();
  keypad_->clearReceivedCommands();
  upgrade();
  EXPECT_TRUE(status().contains("No record of this keypad's serial number and settings was kept"));
  EXPECT_THAT(keypad_->receivedCommandCodes(), ElementsAre(CMD_GET_STATUS));

  // A record kept for a keypad not on the bus: this one may be it, moved. Answered No, nothing is
  // sent; Yes, it is given that keypad's serial number and settings.
  std::vector<firmware::PendingUpgrade> kept(1);
  kept[0].settings.serialNumber = "AWAY";
  kept[0].settings.ledBrightness = 2;
  kept[0].port = "1-away";
  kept[0].downloaded = true;
  for (const bool yes : {false, true}) {
    StoreRecords(storeFile(), kept);
    window_->close();
    keypad_->startInLoader();
    scanAgain();
    const auto sent = keypad_->loaderCommandCodes().size();
    ASSERT_NE(openUpgradeWindow(), nullptr);
    platform_.clearMessages();
    platform_.answerQuestion(yes);
    upgrade();
    ASSERT_FALSE(platform_.messages().empty());
    EXPECT_TRUE(platform_.messages().front().text.contains("keypad AWAY did not finish"));
    EXPECT_EQ(status().contains("which only you can tell. Nothing was sent."), !yes);
    EXPECT_EQ(keypad_->loaderCommandCodes().size() == sent, !yes);
    EXPECT_EQ(keypad_->serialNumber(), yes ? "AWAY" : "") << status().toStdString();
  }
}

TEST_F(FirmwareUpgrade, DeviceCountsFollowTheBus) {
  openUpgradeWindow();
  EXPECT_EQ(label(), "Found 1 device");
  // Two more keypads restarted as loaders: Upgrade waits until only one is left.
  plugWaitingLoader();
  plugWaitingLoader();
  EXPECT_TRUE(waitFor([&] { return label() == "Found 3 devices"; }));
  EXPECT_FALSE(enabled("btnUpgrade"));
  EXPECT_TRUE(enabled("btnBrowse"));
  EXPECT_TRUE(
      status().endsWith("3 keypads are waiting in their loaders. Leave only the keypad "
                        "to upgrade plugged in; Upgrade Firmware waits until then.\n"));
  click(window_, "btnUpgrade");
  EXPECT_FALSE(window_->downloadRunning());

  for (const auto& keypad : bus().keypads()) bus().unplug(keypad);
  EXPECT_TRUE(waitFor([&] { return label() == "No device connected"; }));
  EXPECT_FALSE(enabled("btnUpgrade"));
  EXPECT_FALSE(enabled("btnBrowse"));
}

TEST_F(FirmwareUpgrade, AKeypadThatDoesNotComeBackIsReported) {
  // Learn where the reset write stands in a good run, then pull the keypad right there.
  openUpgradeWindow();
  upgrade();
  const auto reports = static_cast<int>(keypad_->loaderCommandCodes().size());
  startAgainWithAFreshKeypad();
  virtual_keypad::Behaviour pulled;
  pulled.unplugAfterLoaderReports = reports;
  keypad_->setBehaviour(pulled);
  platform_.clearMessages();
  openUpgradeWindow();
  upgrade();
  EXPECT_THAT(warnings(), ElementsAre("Velto Lumo not connected..\n"));
  EXPECT_THAT(StoredRecords(storeFile()), Not(::testing::IsEmpty()));
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
    // After the identity read, and before the main window's status read.
    EXPECT_EQ(restoreCommands().size(), c.sent + 2);
    // The service log's last line tells the same, for the keypad as it was before.
    const auto entry = serviceLog().back();
    EXPECT_EQ(entry["action"], "Update Navigation Keypad Firmware");
    EXPECT_EQ(entry["serialNumber"], "SN-77");
    EXPECT_EQ(entry["firmwareBefore"], "1.04");
    EXPECT_EQ(entry["result"], "failed");
    EXPECT_EQ(entry["message"].get<std::string>() + "\n", c.message);
    startAgainWithAFreshKeypad();
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

TEST_F(FirmwareUpgrade, AKeypadArrivingDuringTheDownloadIsToldApartByWhereItIs) {
  // Plugged in at another port: one that says it is another keypad is only asked, and so is one
  // without a serial number, which only its place tells from the upgraded keypad; where the
  // system cannot say where either is, nothing is guessed.
  for (const auto& [lateSerial, placed] : {std::pair{"LATE", true}, {"", true}, {"", false}}) {
    if (!placed && !kPlaceMayBeUnknown) continue;
    virtual_keypad::Behaviour paced;
    paced.loaderReportPace = std::chrono::milliseconds(2);
    keypad_->setBehaviour(paced);
    if (!placed) keypad_->setPort("");
    openUpgradeWindow();
    platform_.clearMessages();
    int restores = 0;
    QObject::connect(window_, &firmware_upgrade::restoreFinished, [&] { ++restores; });
    click(window_, "btnUpgrade");
    ASSERT_TRUE(waitFor([&] { return find<QProgressBar>(window_, "progressBar")->value() >= 70; }));
    ASSERT_TRUE(window_->downloadRunning());
    auto late = bus().plug();
    late->setSerialNumber(lateSerial);
    if (!placed) late->setPort("");
    ASSERT_TRUE(waitFor([&] { return restores > 0; }));
    EXPECT_THAT(late->receivedCommandCodes(), ::testing::Each(CMD_GET_STATUS));
    EXPECT_EQ(warnings().size(), placed ? 0u : 1u);
    EXPECT_EQ(keypad_->serialNumber(), placed ? "SN-77" : "");
    EXPECT_EQ(StoredRecords(storeFile()).empty(), placed);
    startAgainWithAFreshKeypad();
  }
}

TEST_F(FirmwareUpgrade, ExitWaitsForTheDownloadAndOneWindowAtATime) {
  virtual_keypad::Behaviour paced;
  paced.loaderReportPace = std::chrono::milliseconds(5);
  keypad_->setBehaviour(paced);
  openUpgradeWindow();
  click(window_, "btnUpgrade");
  ASSERT_TRUE(window_->downloadRunning());
  platform_.clearMessages();
  click(form_.get(), "button10");
  trigger(form_.get(), "exitToolStripMenuItem1");
  form_->close();
  QApplication::processEvents();
  const QString refused =
      "A firmware upgrade is running. The program can be closed when it has finished..\n";
  EXPECT_THAT(warnings(), ElementsAre(refused, refused, refused));
  EXPECT_TRUE(form_->isVisible());
  // A second click on the firmware button brings the open window forward, asking nothing.
  platform_.clearMessages();
  click(form_.get(), "btnLoadFirmware");
  EXPECT_TRUE(platform_.messages().empty());
  EXPECT_EQ(form_->findChildren<firmware_upgrade*>().size(), 1);
  ASSERT_TRUE(waitFor([&] { return !window_->downloadRunning(); }));
  waitFor([&] { return !firmware_upgrade::upgradeInProgress(); });
  EXPECT_EQ(keypad_->serialNumber(), "SN-77");
}

TEST_F(FirmwareUpgrade, AnUnfinishedUpgradeIsFinishedFromItsRecord) {
  // A download that failed, and a program that ended with the keypad in its loader.
  virtual_keypad::Behaviour corrupting;
  corrupting.corruptWriteNumber = 3;
  keypad_->setBehaviour(corrupting);
  openUpgradeWindow();
  upgrade();
  const auto kept = StoredRecords(storeFile());
  ASSERT_EQ(kept.size(), 1u);
  // The service log has each attempt, the failed download with its step and the loader's words,
  // the finish from the loader with the keypad as its record says it was.
  const auto logged = [&]() -> std::string {
    if (serviceLog().empty()) return "nothing";
    const auto line = serviceLog().back();
    return line["result"].get<std::string>() + " " + line.value("step", "") + " " +
           line["serialNumber"].get<std::string>() + " " +
           line["firmwareBefore"].get<std::string>() + "->" +
           line["firmwareAfter"].get<std::string>() + " " + line["message"].get<std::string>();
  };
  EXPECT_EQ(logged(),
            "failed download SN-77 1.04-> The firmware was not written: Memory "
            "verification error");
  // Opened again in the same program, with only this keypad on the bus, and closed unused.
  for (const bool again : {true, false}) {
    window_->close();
    waitFor([&] { return window_.isNull(); });
    ASSERT_TRUE(!again || openUpgradeWindow() != nullptr);
  }
  form_.reset();
  QApplication::processEvents();
  keypad_->setBehaviour({});

  // The next start says what it sees, once; so does a scan with another keypad beside it,
  // whose list offers the waiting keypad, and Update finishes that one.
  const QString waiting = QString::fromStdString(
      "A keypad is waiting in its firmware loader: its firmware upgrade did not finish. The "
      "serial number and settings of keypad SN-77 are kept for it in " +
      storeFile() +
      ". To finish, click \"Update Navigation Keypad Firmware\" and upgrade it again..\n");
  platform_.clearMessages();
  openMainWindow();
  EXPECT_THAT(warnings(), ElementsAre(waiting));
  auto beside = bus().plug();
  beside->setSerialNumber("SN-88");
  platform_.clearMessages();
  scanAgain();
  auto* list = find<QComboBox>(form_.get(), "keypadList");
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->itemText(1), "in its loader: settings of SN-77 kept");
  choose(list, 1);
  EXPECT_THAT(warnings(), ElementsAre(waiting, waiting));
  EXPECT_EQ(list->currentText(), "SN-88");
  platform_.clearMessages();
  beside->clearReceivedCommands();
  ASSERT_NE(openUpgradeWindow(), nullptr);
  upgrade();
  EXPECT_THAT(beside->receivedCommandCodes(), ::testing::Each(CMD_GET_STATUS));
  EXPECT_EQ(keypad_->serialNumber(), "SN-77");
  EXPECT_EQ(keypad_->settings().customTable, kTable);
  EXPECT_EQ(keypad_->settings().ledBrightness, 7);
  EXPECT_EQ(keypad_->storedDefaults(), keypad_->settings());
  EXPECT_THAT(StoredRecords(storeFile()), ::testing::IsEmpty());
  EXPECT_EQ(logged(), "ok  SN-77 1.04->2.01 ");
  EXPECT_EQ(serviceLog().back()["port"], keypad_->port());

  // A record left behind for a keypad that is back with its settings is not brought up.
  StoreRecords(storeFile(), kept);
  platform_.clearMessages();
  openMainWindow();
  EXPECT_THAT(warnings(), ::testing::IsEmpty());
}

TEST_F(FirmwareUpgrade, AKeypadWithoutASerialNumberIsAskedAboutTheRecordsKeptWhereItIs) {
  // Two kept at its port: only the user can say whether either is its own (both answered No).
  std::vector<firmware::PendingUpgrade> kept(2);
  for (const auto& [record, serial] : {std::pair{&kept[0], "FIRST"}, {&kept[1], "SECOND"}}) {
    record->settings.serialNumber = serial;
    record->port = keypad_->port();
  }
  StoreRecords(storeFile(), kept);
  // As new firmware starts: a configured keypad without a number is no record's.
  keypad_->setSerialNumber("");
  keypad_->setLedBrightness(kFreshLedBrightness);
  keypad_->setKeypadType(kKeypadTypeDefault);
  scanAgain();
  platform_.clearMessages();
  ASSERT_NE(openUpgradeWindow(), nullptr);
  EXPECT_THAT(
      platform_.messages().back(),
      (Message{Kind::Question,
               "The firmware upgrade of keypad SECOND did not finish; its serial number and "
               "settings are kept. Is the keypad being upgraded now that keypad?",
               "Firmware Upgrade"}));
  upgrade();
  EXPECT_TRUE(status().contains("The settings kept for keypad FIRST stay in"));
  EXPECT_EQ(keypad_->serialNumber(), "");
  EXPECT_EQ(keypad_->settings().ledBrightness, kFreshLedBrightness);
  EXPECT_EQ(StoredRecords(storeFile()), kept);
}

// Records of an earlier version that cannot be brought over are never taken for none.
TEST_F(FirmwareUpgrade, AFolderWhereTheRecordsWereIsNamedAndNothingIsSent) {
  std::filesystem::create_directories(recordFile());
  platform_.clearMessages();
  openMainWindow();
  ASSERT_EQ(warnings().size(), 1u);
  EXPECT_THAT(warnings()[0].toStdString(),
              HasSubstr(recordFile() + " of an earlier version is not a regular file"));
  EXPECT_EQ(openUpgradeWindow(), nullptr);
  EXPECT_THAT(keypad_->receivedCommandCodes(), ::testing::Each(CMD_GET_STATUS));
}
