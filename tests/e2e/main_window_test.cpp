// A user's journeys through the main window on the virtual keypad.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>

#include "device/keypad_bus.h"
#include "gui_fixture.h"
#include "support/ini_file.h"
#include "support/paths.h"
#include "support/program_lock.h"

using namespace navkeypad;
using tarvik_usb_encoder::Form1;
using ::testing::ElementsAre;
using virtual_keypad::ReceivedCommand;

namespace {

const char kConnectedLine1[] =
    "Device Connected         NavigationKeypad                                  "
    "Firmware Version        -   1.04";
const char kNotConnectedLine1[] =
    "Device Connected   -    None                                Firmware Version        -   None";
const char kNewConfigFile[] =
    " [appSettings]\r\n SerialNumber=\r\n FirmwareFile=\r\n CodeTableValues=\r\n"
    " LedBrightness=\r\n KeypadLayout=\r\n FirstUp=\r\n";
const QString kCaption = "Velto NavigationKeypad";

}  // namespace

class MainWindow : public GuiTest {
 protected:
  Form1& open() { return openMainWindow(); }

  QStringList statusLines() {
    return find<QTextEdit>(form_.get(), "richTextBox1")->toPlainText().split('\n');
  }
  QComboBox* brightnessList() { return find<QComboBox>(form_.get(), "ledBrightnessCbox"); }
  QComboBox* layoutList() { return find<QComboBox>(form_.get(), "keypadTypeCbox"); }
  bool enabled(const char* name) { return find<QWidget>(form_.get(), name)->isEnabled(); }

  // Every function control together; they are switched as one.
  std::vector<bool> functionControls() {
    std::vector<bool> states;
    for (const char* name : {"ledBrightnessCbox", "keypadTypeCbox", "button1", "button8", "button9",
                             "button2", "button3"}) {
      states.push_back(enabled(name));
    }
    return states;
  }
  static std::vector<bool> all(bool state) { return std::vector<bool>(7, state); }
};

TEST_F(MainWindow, FirstStartCreatesTheConfigurationFileAndShowsTheKeypad) {
  auto keypad = bus().plug();
  keypad->setLedBrightness(4);
  keypad->setKeypadType(1);
  Form1& form = open();

  EXPECT_EQ(form.windowTitle(), "Velto USB Navigation Keypad Configuration Utility");
  EXPECT_EQ(ReadBytes(configFile()), kNewConfigFile);
  EXPECT_EQ(tarvik_usb_encoder::FileName, configFile());
  EXPECT_TRUE(messages().empty());
  EXPECT_THAT(clock_.waits(), ElementsAre(500));
  EXPECT_THAT(keypad->receivedCommandCodes(), ElementsAre(CMD_GET_STATUS));

  EXPECT_THAT(statusLines(), ElementsAre(kConnectedLine1, "Code Table Loaded      Alternate Table",
                                         "Serial Number               VNK000123"));
  EXPECT_EQ(brightnessList()->currentText(), "LED Brightness - 4");
  EXPECT_EQ(layoutList()->currentText(), "Alternate Table");
  EXPECT_EQ(functionControls(), all(true));
  EXPECT_TRUE(enabled("button11"));
  EXPECT_TRUE(enabled("btnLoadFirmware"));
  EXPECT_FALSE(std::filesystem::exists("ubs_encoder.cfg"));
}

TEST_F(MainWindow, WithoutAKeypadOneWarningAndEverythingWaitsForAScan) {
  Form1& form = open();
  EXPECT_THAT(
      platform_.messages(),
      ElementsAre(Message{Kind::Warning, "Velto NavigationKeypad not connected..\n", kCaption}));
  EXPECT_THAT(statusLines(), ElementsAre(kNotConnectedLine1, "", ""));
  EXPECT_EQ(functionControls(), all(false));
  EXPECT_EQ(brightnessList()->currentText(), "LED Brightness");
  EXPECT_EQ(layoutList()->currentText(), "Keypad - Layout");

  const int exits = bus().exitCalls();
  click(&form, "button10");
  EXPECT_EQ(bus().exitCalls(), exits);
  EXPECT_EQ(bus().openHandles(), 0);
}

TEST_F(MainWindow, AKeypadThatCannotBeOpenedOrIsInUseIsExplainedAndLeftAlone) {
  auto keypad = bus().plug();
  keypad->setOpenable(false);
  Form1& form = open();
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_TRUE(
      messages()[0].startsWith("A keypad is connected but cannot be opened (Failed to "
                               "open a device with path 'virtual:keypad1:1.1'"));
  EXPECT_TRUE(messages()[0].contains("The navkeypad package installs the rule /lib/udev/"));
  EXPECT_TRUE(messages()[0].contains("join the group (sudo usermod -a -G navkeypad $USER"));
  EXPECT_EQ(find<QStatusBar>(&form, "statusStrip1")->currentMessage(),
            "A keypad is connected but cannot be opened.");

  keypad->setOpenable(true);
  click(&form, "button11");
  EXPECT_EQ(find<QStatusBar>(&form, "statusStrip1")->currentMessage(), "");
  // Held by another program, it is left alone, and the message names who holds it.
  SetKeypadLockFolder(appData_.path().string());
  support::ProgramLock otherProgram;
  ASSERT_TRUE(otherProgram.take(KeypadLockFile(ListKeypads().at(0).path), false));
  keypad->clearReceivedCommands();
  click(&form, "button11");
  EXPECT_TRUE(messages().back().startsWith(
      "The keypad cannot be used here: the keypad is in use by main_window_tests, process " +
      QString::number(getpid()) + ", user "));
  EXPECT_TRUE(keypad->receivedCommands().empty());
  EXPECT_EQ(functionControls(), all(false));
  SetKeypadLockFolder("");
}

TEST_F(MainWindow, WithSeveralKeypadsTheChosenOneIsWorkedOnAndScanKeepsIt) {
  std::vector<std::shared_ptr<virtual_keypad::VirtualKeypad>> keypads;
  for (const char* serial : {"VNK-1", "VNK-2", "VNK-3"}) {
    keypads.push_back(bus().plug());
    keypads.back()->setSerialNumber(serial);
  }
  Form1& form = open();
  auto* list = find<QComboBox>(&form, "keypadList");
  EXPECT_TRUE(list->isVisible());
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->currentText(), "VNK-1");
  EXPECT_EQ(list->itemText(2), "VNK-3");
  choose(list, 2);
  EXPECT_EQ(statusLines()[2], "Serial Number               VNK-3");
  choose(brightnessList(), 1);
  EXPECT_EQ(keypads[2]->settings().ledBrightness, 1);
  EXPECT_NE(keypads[0]->settings().ledBrightness, 1);
  click(&form, "button11");
  EXPECT_EQ(list->currentText(), "VNK-3");
  // Without the chosen one, the first; with one keypad left, no list at all.
  bus().unplug(keypads[2]);
  bus().unplug(keypads[1]);
  click(&form, "button11");
  EXPECT_FALSE(list->isVisible());
  EXPECT_EQ(statusLines()[2], "Serial Number               VNK-1");
}

TEST_F(MainWindow, FactoryResetKeepsTheLinesAndAsksForTheNextScan) {
  auto keypad = bus().plug();
  keypad->setLedBrightness(8);
  Form1& form = open();
  const QStringList before = statusLines();

  keypad->refuseCommand(CMD_RESET_TO_DEFAULT);
  click(&form, "button9");
  EXPECT_THAT(messages(), ElementsAre("Unable to Reset to Default..\n"));
  EXPECT_EQ(functionControls(), all(true));

  keypad->setBehaviour({});
  platform_.clearMessages();
  click(&form, "button9");
  EXPECT_THAT(messages(),
              ElementsAre("Please click on Scan For to re-connect after device reboot.\n"));
  EXPECT_EQ(statusLines(), before);  // the values held before the reset
  EXPECT_EQ(find<QStatusBar>(&form, "statusStrip1")->currentMessage(),
            "The keypad is restarting with its factory settings: click Scan For Device when it "
            "is back.");
  EXPECT_EQ(functionControls(), all(false));
  EXPECT_EQ(brightnessList()->currentText(), "LED Brightness");
  EXPECT_EQ(keypad->settings(), keypad->factorySettings());

  click(&form, "button11");
  EXPECT_EQ(functionControls(), all(true));
  EXPECT_EQ(brightnessList()->currentText(), "LED Brightness - 5");
}

TEST_F(MainWindow, BrightnessCommitSendsTheLevelAndAFailurePutsTheListBack) {
  auto keypad = bus().plug();
  open();
  keypad->clearReceivedCommands();
  choose(brightnessList(), 7);
  EXPECT_THAT(keypad->receivedCommands(),
              ElementsAre(ReceivedCommand{CMD_SET_LED_BRIGHTNESS, {7}}));
  EXPECT_EQ(form_->prev_ledBrightness_index, 7);
  EXPECT_EQ(keypad->settings().ledBrightness, 7);

  keypad->refuseCommand(CMD_SET_LED_BRIGHTNESS);
  choose(brightnessList(), 2);
  EXPECT_THAT(
      platform_.messages(),
      ElementsAre(Message{Kind::Warning, "Unable to set the LED Brightness..\n", kCaption}));
  EXPECT_EQ(brightnessList()->currentText(), "LED Brightness - 7");
  EXPECT_EQ(form_->prev_ledBrightness_index, 7);
  // Putting the list back is the program's doing and sends nothing.
  EXPECT_EQ(keypad->receivedCommands().size(), 2u);
  // Both are in the service log, from what the window knew: it asked the keypad nothing more.
  const auto log = serviceLog();
  ASSERT_EQ(log.size(), 2u);
  const auto& first = log[0];
  const auto& second = log[1];
  EXPECT_EQ(first["program"], "navkeypad-utility");
  EXPECT_EQ(first["action"], "LED Brightness - 7");
  EXPECT_EQ(first["serialNumber"], keypad->serialNumber());
  EXPECT_EQ(first["firmwareBefore"], "1.04");
  EXPECT_EQ(first["settings"]["ledBrightness"], 7);
  EXPECT_EQ(first["result"], "ok");
  EXPECT_EQ(second["action"], "LED Brightness - 2");
  EXPECT_EQ(second["result"], "failed");
  EXPECT_EQ(second["message"], "Unable to set the LED Brightness..");
}

TEST_F(MainWindow, LayoutCommitRewritesTheStatusOnlyOnSuccess) {
  auto keypad = bus().plug();
  open();
  choose(layoutList(), 2);
  EXPECT_EQ(keypad->receivedCommands().back(), (ReceivedCommand{CMD_SET_KEYPAD_TYPE, {2}}));
  EXPECT_EQ(statusLines()[1], "Code Table Loaded      Customise Table");

  keypad->refuseCommand(CMD_SET_KEYPAD_TYPE);
  const QStringList before = statusLines();
  choose(layoutList(), 1);
  EXPECT_THAT(messages(), ElementsAre("Unable to set Keypad Type..\n"));
  EXPECT_EQ(layoutList()->currentText(), "Customise Table");
  EXPECT_EQ(statusLines(), before);
}

TEST_F(MainWindow, SaveChangesStoresDefaultsAndWritesTheFile) {
  auto keypad = bus().plug();
  KeyCodeTable table{{0x00, 0x50, 0xE1, 0x4F, 0x00, 0x51, 0x00, 0x52, 0x00, 0x28}};
  keypad->setLedBrightness(4);
  keypad->setKeypadType(2);
  keypad->setCustomTable(table);
  keypad->setSerialNumber("S ");  // a blank behind it is written; a reader trims it
  Form1& form = open();
  // The firmware file remembered by the upgrade window stays as it is.
  ASSERT_TRUE(
      CIniFile::SetValue("FirmwareFile", "keypad-firmware-2.01.txt", "appSettings", configFile()));
  keypad->clearReceivedCommands();
  clock_.clearWaits();

  // Replaced once, whole: a program cut off part-way never leaves part of the settings.
  const int watch = inotify_init1(IN_NONBLOCK);
  inotify_add_watch(watch, std::filesystem::path(configFile()).parent_path().c_str(), IN_MOVED_TO);
  click(&form, "button8");
  alignas(inotify_event) char events[4096];
  const ssize_t got = read(watch, events, sizeof events);  // nothing else is moved there
  close(watch);
  EXPECT_EQ(got, ssize_t(sizeof(inotify_event) + reinterpret_cast<inotify_event*>(events)->len));
  EXPECT_THAT(keypad->receivedCommandCodes(), ElementsAre(CMD_WRITE_DEFAULT, CMD_GET_STATUS));
  EXPECT_THAT(clock_.waits(), ElementsAre(500));
  EXPECT_EQ(keypad->storedDefaults().ledBrightness, 4);
  EXPECT_EQ(ReadBytes(configFile()),
            " [appSettings]\r\n SerialNumber=S \r\n FirmwareFile=keypad-firmware-2.01.txt\r\n"
            " CodeTableValues=0,80,225,79,0,81,0,82,0,40,\r\n LedBrightness=4\r\n"
            " KeypadLayout=2\r\n FirstUp=Yes\r\n");
  EXPECT_TRUE(messages().empty());
}

TEST_F(MainWindow, SaveChangesFailuresLeaveTheFileAlone) {
  auto keypad = bus().plug();
  Form1& form = open();
  keypad->refuseCommand(CMD_WRITE_DEFAULT);
  click(&form, "button8");
  keypad->setBehaviour({});
  keypad->refuseCommand(CMD_GET_STATUS);
  click(&form, "button8");
  EXPECT_THAT(messages(),
              ElementsAre("Unable to Write Default..\n", "Unable to Save Config file.\n"));
  EXPECT_EQ(ReadBytes(configFile()), kNewConfigFile);

  keypad->setBehaviour({});
  platform_.clearMessages();
  const std::string damaged = "[appSettings\nFirstUp=Yes\n";
  WriteBytes(configFile(), damaged);
  click(&form, "button8");
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_TRUE(messages()[0].startsWith("USBNavigationKeypadUtilityCfg.ini cannot be read"));
  EXPECT_EQ(ReadBytes(configFile()), damaged);

  // A serial number the file would not give back as written: nothing of it is written.
  platform_.clearMessages();
  WriteBytes(configFile(), kNewConfigFile);
  keypad->setSerialNumber("AB[1");
  click(&form, "button8");
  EXPECT_THAT(messages(), ElementsAre("SerialNumber \"AB[1\" cannot be kept in the configuration "
                                      "file: it holds a \"[\" or \"]\", which would make its line "
                                      "a section; nothing was written into the configuration "
                                      "file..\n"));
  EXPECT_EQ(ReadBytes(configFile()), kNewConfigFile);

  platform_.clearMessages();
  keypad->setSerialNumber("OK");
  std::filesystem::remove_all(std::filesystem::path(configFile()).parent_path());
  click(&form, "button8");
  // One file written once: one failure, one message.
  EXPECT_THAT(messages(),
              ElementsAre("Failed to update USBNavigationKeypadUtilityCfg.ini file.\n"));
}

class ResetFromFile : public MainWindow {
 protected:
  std::shared_ptr<virtual_keypad::VirtualKeypad> openWithFile(const std::string& layout,
                                                              const std::string& brightness,
                                                              const std::string& table) {
    auto keypad = bus().plug();
    open();
    WriteBytes(configFile(), "[appSettings]\nFirstUp=Yes\nKeypadLayout=" + layout +
                                 "\nLedBrightness=" + brightness + "\nCodeTableValues=" + table +
                                 "\n");
    keypad->clearReceivedCommands();
    clock_.clearWaits();
    return keypad;
  }
  const std::string kTable = "0,4,0,5,0,6,0,7,0,8,";
};

TEST_F(ResetFromFile, NumbersAreSentAsTheirLowEightBitsAndOtherValuesAreNamed) {
  const std::vector<uint8_t> table{0, 4, 0, 5, 0, 6, 0, 7, 0, 8};
  const std::vector<uint8_t> wrapped{0, 4, 0, 5, 0, 6, 0, 7, 0, 40};
  const auto upTo = [&](std::size_t count) {
    const std::vector<ReceivedCommand> all = {
        {CMD_SET_KEYPAD_TYPE, {2}}, {CMD_LOAD_TABLE, table}, {CMD_SET_LED_BRIGHTNESS, {3}}};
    return std::vector<ReceivedCommand>(all.begin(), all.begin() + static_cast<long>(count));
  };
  struct Case {
    std::string layout, brightness, values;
    std::vector<ReceivedCommand> sent;  // before the status read that ends a success
    std::string refusedKey = {};        // names a value that is no number: nothing is sent
    uint8_t refusedCommand = 0;         // the keypad refuses it: the sequence stops there
    QString failure = {};
  };
  for (const Case& c : {
           Case{"0", "6", kTable, {{CMD_SET_KEYPAD_TYPE, {0}}, {CMD_SET_LED_BRIGHTNESS, {6}}}},
           Case{"1", "6", kTable, {{CMD_SET_KEYPAD_TYPE, {1}}, {CMD_SET_LED_BRIGHTNESS, {6}}}},
           Case{"2",
                "3",
                kTable + "99,",  // a custom table: sent between, extra values unread
                {{CMD_SET_KEYPAD_TYPE, {2}},
                 {CMD_LOAD_TABLE, table},
                 {CMD_SET_LED_BRIGHTNESS, {3}}}},
           Case{"8",  // a layout without an entry in the list is sent as it is
                "259",
                "0,4,0,5,0,6,0,7,256,296,",
                {{CMD_SET_KEYPAD_TYPE, {8}},
                 {CMD_LOAD_TABLE, wrapped},
                 {CMD_SET_LED_BRIGHTNESS, {3}}}},
           Case{"two", "3", kTable, {}, "KeypadLayout"},
           Case{"1", "", kTable, {}, "LedBrightness"},
           Case{"2", "3", "0,4,0,5,", {}, "CodeTableValues"},
           Case{"2", "3", "0,4,0,5,0,6,0,7,0,x,", {}, "CodeTableValues"},
           // The keypad refuses one: what came before it was sent, nothing after.
           Case{"2", "3", kTable, upTo(1), "", CMD_SET_KEYPAD_TYPE,
                "Unable to set Keypad Type..\n"},
           Case{"2", "3", kTable, upTo(2), "", CMD_LOAD_TABLE, "Unable to Load Table..\n"},
           Case{"2", "3", kTable, upTo(3), "", CMD_SET_LED_BRIGHTNESS,
                "Unable to set LED Brightness..\n"},
       }) {
    auto keypad = openWithFile(c.layout, c.brightness, c.values);
    if (c.refusedCommand != 0) keypad->refuseCommand(c.refusedCommand);
    platform_.clearMessages();
    click(form_.get(), "button3");
    if (c.refusedCommand != 0) {
      EXPECT_THAT(messages(), ElementsAre(c.failure));
      EXPECT_EQ(keypad->receivedCommands(), c.sent);
      // The lists show what the keypad last accepted.
      EXPECT_EQ(layoutList()->currentText(), "Default Table");
      EXPECT_EQ(brightnessList()->currentText(), "LED Brightness - 5");
    } else if (c.refusedKey.empty()) {
      auto sent = c.sent;
      sent.push_back({CMD_GET_STATUS, {}});
      EXPECT_EQ(keypad->receivedCommands(), sent) << c.layout;
      EXPECT_THAT(clock_.waits(), ElementsAre(500));
      EXPECT_EQ(brightnessList()->currentText(),
                QString("LED Brightness - %1").arg(c.sent.back().payload[0]));
      EXPECT_EQ(statusLines()[1] == "Code Table Loaded      Customise Table", c.layout == "2");
    } else {
      ASSERT_EQ(messages().size(), 1u);
      EXPECT_TRUE(messages()[0].startsWith(QString::fromStdString(c.refusedKey) + " in "));
      EXPECT_TRUE(keypad->receivedCommands().empty());
    }
    form_.reset();
    bus().reset();
  }
}

class ImportExport : public MainWindow {
 protected:
  void SetUp() override {
    MainWindow::SetUp();
    bus().plug();
    open();
    original_ = ReadBytes(configFile());
  }
  std::string writeCandidate(const std::string& name, const std::string& bytes) {
    const auto folder = other_.path() / "picked";
    std::filesystem::create_directories(folder);
    WriteBytes(folder / name, bytes);
    return (folder / name).string();
  }
  void import(const std::string& path) {
    platform_.answerOpenFile(QString::fromStdString(path));
    trigger(form_.get(), "aboutVeltoUSBEncoderConfiguratorToolStripMenuItem");
  }
  TempDir other_;
  std::string original_;
  const std::string kComplete =
      "[appSettings]\nFirstUp=Yes\nKeypadLayout=1\nLedBrightness=2\nCodeTableValues=\n"
      "FirmwareFile=\nSerialNumber=X\n";
};

TEST_F(ImportExport, ImportRefusesWrongNamesAndIncompleteFiles) {
  import(writeCandidate("usbnavigationkeypadutilitycfg.ini", kComplete));
  platform_.answerOpenFile(std::nullopt);
  trigger(form_.get(), "aboutVeltoUSBEncoderConfiguratorToolStripMenuItem");
  import(writeCandidate("USBNavigationKeypadUtilityCfg.ini",
                        "[appSettings]\nFirstUp=Yes\nKeypadLayout=1\nLedBrightness=2\n"
                        "CodeTableValues=\nFirmwareFile=\n"));
  import(writeCandidate("USBNavigationKeypadUtilityCfg.ini", "[other]\nFirstUp=Yes\n"));
  import(writeCandidate("USBNavigationKeypadUtilityCfg.ini", "[appSettings]\nFirstUp=Yes\na[b\n"));
  EXPECT_THAT(messages(), ElementsAre("Incorrect Filename.\n", "File is incorrect format.\n",
                                      "File is incorrect format.\n",
                                      "Exception :Failed to copy the new file.\n"));
  EXPECT_EQ(ReadBytes(configFile()), original_);
  const auto requests = platform_.fileRequests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].title, "Import Cfg File");
  EXPECT_EQ(requests[0].filter, "(*.ini);;All files (*)");
  EXPECT_EQ(requests[0].folder, platform::HomeFolder());
}

TEST_F(ImportExport, ImportCopyFailureKeepsTheConfigurationFile) {
  tarvik_usb_encoder::FileName = (other_.path() / "missing" / "x.ini").string();
  import(writeCandidate("USBNavigationKeypadUtilityCfg.ini", kComplete));
  EXPECT_THAT(messages(), ElementsAre("Failed to copy the new file.\n"));
}

TEST_F(ImportExport, ExportAsksBeforeReplacingAndCopiesWholeFiles) {
  const QString folder = QString::fromStdString(other_.path().string());
  const auto target = other_.path() / "USBNavigationKeypadUtilityCfg.ini";

  trigger(form_.get(), "exitToolStripMenuItem");  // cancelled
  EXPECT_THAT(messages(), ElementsAre("Unable to save the cfg file.\n"));
  ASSERT_EQ(platform_.folderRequests().size(), 1u);
  EXPECT_EQ(platform_.folderRequests()[0].description,
            "Select Folder - To Copy The USBNavigationKeypadUtilityCfg.ini File");
  EXPECT_EQ(platform_.folderRequests()[0].initialFolder, platform::HomeFolder());  // on Linux

  platform_.clearMessages();
  platform_.answerFolder(folder);
  trigger(form_.get(), "exitToolStripMenuItem");
  EXPECT_EQ(ReadBytes(target), original_);
  EXPECT_TRUE(messages().empty());

  WriteBytes(target, "old");
  platform_.answerFolder(folder);
  platform_.answerQuestion(false);
  trigger(form_.get(), "exitToolStripMenuItem");
  EXPECT_EQ(ReadBytes(target), "old");
  EXPECT_THAT(platform_.messages(),
              ElementsAre(Message{Kind::Question,
                                  "USBNavigationKeypadUtilityCfg.ini file already exists. Do you "
                                  "want to overwrite it?",
                                  "Save USBNavigationKeypadUtilityCfg File"}));

  platform_.clearMessages();
  platform_.answerFolder(folder);
  platform_.answerQuestion(true);
  trigger(form_.get(), "exitToolStripMenuItem");
  EXPECT_EQ(ReadBytes(target), original_);
  EXPECT_EQ(messages().size(), 1u);  // the question only

  platform_.clearMessages();
  std::filesystem::remove(configFile());
  platform_.answerFolder(folder);
  platform_.answerQuestion(true);
  trigger(form_.get(), "exitToolStripMenuItem");
  EXPECT_THAT(messages(), ElementsAre(QString("USBNavigationKeypadUtilityCfg.ini file already "
                                              "exists. Do you want to overwrite it?"),
                                      QString("Failed to export the file\n")));
  EXPECT_EQ(ReadBytes(target), original_);
}

TEST_F(MainWindow, EveryAboutClickOpensAnotherWindowAtTheMainWindowsPlace) {
  bus().plug();
  Form1& form = open();
  form.move(40, 60);
  trigger(&form, "aboutVeltoUSBEncoderConfiguratorToolStripMenuItem1");
  trigger(&form, "aboutVeltoUSBEncoderConfiguratorToolStripMenuItem1");
  std::vector<QWidget*> abouts;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->objectName() == "about" && window->isVisible()) abouts.push_back(window);
  }
  ASSERT_EQ(abouts.size(), 2u);
  for (QWidget* about : abouts) {
    EXPECT_EQ(about->pos(), form.pos());
    EXPECT_EQ(about->windowTitle(), "About USB Navigation Keypad Utility");
    EXPECT_EQ(find<QLabel>(about, "versionLbl")->text(), "Version 3.1");
    EXPECT_EQ(find<QLabel>(about, "partNoLbl")->text(), "Navigational Keypad");
    // Line by line; the addresses' lines stay empty in a build that was given none.
    const auto* note = find<QTextEdit>(about, "richTextBox1");
    EXPECT_EQ(note->toPlainText(),
              "This software works with Velto's Navigation Keypad.\nFor more information visit "
              "Velto's Website:\n\n\n");
    EXPECT_FALSE(note->isReadOnly());
  }
  click(abouts[0], "button2");
  EXPECT_FALSE(abouts[1]->isHidden());
}
