// The navkeypad commands against the virtual keypad: what they print, how they exit and
// what the keypad received.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "command_line_fixture.h"
#include "device/keypad_bus.h"
#include "firmware/loader_texts.h"
#include "firmware/pending_upgrade.h"
#include "keypad_tally.h"
#include "store/service_log.h"
#include "support/ini_file.h"
#include "support/paths.h"
#include "test_store.h"

using namespace navkeypad;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using virtual_keypad::ReceivedCommand;

class Cli : public CommandLineTest {
 protected:
  std::string recordFile() const {
    return dir_.file("data/VeltoInterface/PendingFirmwareUpgrade.json");
  }
  // The firmware file as the resume advice names it: absolute, in the system's own form.
  static std::string firmwareAsAdvised() {
    return support::Utf8FromPath(std::filesystem::absolute(firmware()).make_preferred());
  }
  static std::string firmware(const char* version = "2.00") {
    return std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-" + version +
           ".txt";
  }
  std::string file() const { return dir_.file("settings.ini"); }
  // What the keypad was told to do: every command but the status reads (each command that
  // changes a keypad reads it before and after, for the service log).
  static std::vector<ReceivedCommand> changes(const virtual_keypad::VirtualKeypad& keypad) {
    std::vector<ReceivedCommand> told;
    for (const auto& command : keypad.receivedCommands()) {
      if (command.command != CMD_GET_STATUS) told.push_back(command);
    }
    return told;
  }
};

TEST_F(Cli, StatusInTextAndJson) {
  auto keypad = bus().plug();
  keypad->setLedBrightness(3);
  keypad->setSerialNumber("SN\"\xE9\x01");  // JSON always parses, also for 8-bit texts
  // Another keypad's unfinished upgrade is not this one's business.
  StoreRecords(storeFile(), RecordsFromJson(R"({"serialNumberHex": "52", "keypadType": 2,
      "ledBrightness": 1, "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true})"));
  ASSERT_EQ(run({"status"}), cli::kDone);
  EXPECT_EQ(err_.str(), "");
  EXPECT_THAT(out_.str(), HasSubstr("Port            1-keypad1\nFirmware        1.04\nSerial "
                                    "number   SN\"\xE9\x01\n"));
  EXPECT_THAT(out_.str(), HasSubstr("LED brightness  3\n"));
  EXPECT_THAT(out_.str(), HasSubstr("  Left   0x50 LeftArrow       None\n"));
  ASSERT_EQ(run({"status", "--json"}), cli::kDone);
  EXPECT_EQ(nlohmann::json::parse(out_.str())["serialNumber"], "SN\"\u00E9\u0001");
  EXPECT_EQ(nlohmann::json::parse(out_.str())["port"], "1-keypad1");
  EXPECT_THAT(out_.str(),
              HasSubstr("\"ledBrightness\": 3, \"keypadType\": 0, \"layout\": \"default\""));
  EXPECT_THAT(out_.str(), HasSubstr("{\"key\": \"Enter\", \"code\": 40, \"name\": \"Enter\", "
                                    "\"modifier\": \"None\"}]}\n"));
  EXPECT_THAT(keypad->receivedCommandCodes(), ElementsAre(CMD_GET_STATUS, CMD_GET_STATUS));
  EXPECT_EQ(run({"list", "--json"}), cli::kDone);  // its 8-bit texts made JSON too
}

TEST_F(Cli, TableSetTakesNamesAndHex) {
  auto keypad = bus().plug();
  EXPECT_EQ(run({"table", "set", "left=0x04"}), cli::kBadInput);  // not on the custom table
  EXPECT_THAT(err_.str(), HasSubstr("layout custom"));
  ASSERT_EQ(run({"layout", "custom"}), cli::kDone);
  keypad->clearReceivedCommands();
  ASSERT_EQ(run({"table", "set", "left=0x04", "up=UpArrow+LeftCtrl", "Enter=a+RightGui"}),
            cli::kDone);
  EXPECT_EQ(changes(*keypad).back(),
            (ReceivedCommand{CMD_LOAD_TABLE,
                             {0x00, 0x04, 0x00, 0x4F, 0x00, 0x51, 0xE0, 0x52, 0xE7, 0x04}}));
  EXPECT_THAT(out_.str(), HasSubstr("  Up     0x52 UpArrow         LeftCtrl\n"));
  keypad->clearReceivedCommands();
  for (const auto& bad : {"middle=0x04", "left=0x104", "left=Nothing", "left=0x04+Hyper", "left"}) {
    EXPECT_EQ(run({"table", "set", bad}), cli::kBadInput) << bad;
  }
  EXPECT_TRUE(keypad->receivedCommands().empty());
}

TEST_F(Cli, SaveThenRestoreRoundTripsThroughTheFile) {
  auto keypad = bus().plug();
  keypad->setKeypadType(kKeypadTypeCustom);
  keypad->setCustomTable(KeyCodeTable{{0, 4, 0, 5, 0, 6, 0, 7, 0, 8}});
  keypad->setLedBrightness(6);
  keypad->setSerialNumber("S-1");
  ASSERT_EQ(run({"save", "--file", file()}), cli::kDone) << err_.str();
  EXPECT_EQ(ReadBytes(file()),
            " [appSettings]\r\n SerialNumber=S-1\r\n FirmwareFile=\r\n"
            " CodeTableValues=0,4,0,5,0,6,0,7,0,8,\r\n LedBrightness=6\r\n KeypadLayout=2\r\n"
            " FirstUp=Yes\r\n");
  EXPECT_EQ(keypad->storedDefaults().ledBrightness, 6);

  // apply sends them (layout, table, brightness, as the recorded restore does) and makes them
  // the keypad's defaults, and leaves the file as it was.
  const std::string saved = ReadBytes(file());
  keypad->setSettings(keypad->factorySettings());
  keypad->setStoredDefaults(keypad->factorySettings());
  keypad->clearReceivedCommands();
  ASSERT_EQ(run({"apply", "--file", file()}), cli::kDone) << err_.str();
  EXPECT_THAT(changes(*keypad),
              ElementsAre(ReceivedCommand{CMD_SET_KEYPAD_TYPE, {2}},
                          ReceivedCommand{CMD_LOAD_TABLE, {0, 4, 0, 5, 0, 6, 0, 7, 0, 8}},
                          ReceivedCommand{CMD_SET_LED_BRIGHTNESS, {6}},
                          ReceivedCommand{CMD_WRITE_DEFAULT, {}}));
  EXPECT_EQ(keypad->storedDefaults(), keypad->settings());
  EXPECT_EQ(ReadBytes(file()), saved);

  WriteBytes(file(), "[appSettings]\nFirstUp=\n");
  EXPECT_EQ(run({"restore", "--file", file()}), cli::kBadInput);
  EXPECT_THAT(err_.str(), HasSubstr("no saved settings"));
}

TEST_F(Cli, BadFilesAndValuesAreRefusedSayingWhatHappened) {
  auto keypad = bus().plug();
  keypad->setKeypadType(kKeypadTypeCustom);
  const std::string saved =
      " [appSettings]\r\n KeypadLayout=2\r\n LedBrightness=3\r\n"
      " CodeTableValues=0,4,0,5,0,6,0,7,0,8,\r\n FirstUp=Yes\r\n";
  const std::string folder = dir_.file("folder");
  std::filesystem::create_directories(folder);
  ScopedEnvironment home;
  const std::vector<std::string> restore = {"restore", "--file", file()};
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string says;  // "" for success
    bool keypadAsked;
    std::optional<std::string> fileHolds = {};  // written into file() first
    std::function<void()> arrange = [] {};
  };
  std::vector<Case> cases = {
      {{"restore", "--file", folder}, cli::kBadInput, folder + " is a folder", false},
      {restore, cli::kBadInput, file() + " is missing.", false},
      {restore, cli::kBadInput, " is larger than 1048576 bytes", false,
       std::string(CIniFile::kMaxFileBytes + 1, '\n')},
      {restore, cli::kDone, "", true, "\xEF\xBB\xBF" + saved},
      {restore, cli::kBadInput, "\"FirstUp \" has blanks around its name", false,
       "[appSettings]\nFirstUp = Yes\n"},
      {restore, cli::kBadInput, "FirstUp is \"yes\"; it must read exactly Yes", false,
       "[appSettings]\nFirstUp=yes\n"},
      {restore, cli::kBadInput,
       file() + " cannot be read: a section line has no closing \"]\". Correct", false,
       "[appSettings\n"},
      {restore, cli::kKeypadFailed,
       "Unable to set LED Brightness.. The layout and the code table were sent; the brightness "
       "was refused.",
       true, saved, [&] { keypad->refuseCommand(CMD_SET_LED_BRIGHTNESS); }},
      {{"save", "--file", ""},
       cli::kBadInput,
       "--file needs a file name.",
       false,
       std::nullopt,
       [&] { keypad->setBehaviour({}); }},
      {{"save", "--file", folder},
       cli::kBadInput,
       "is a folder, not a file; nothing was sent to the keypad.",
       false},
      {{"save", "--file", dir_.file(std::string(300, 'x') + ".ini")},
       cli::kBadInput,
       "its name is longer than file systems allow",
       false},
      {{"save", "--file", file()},
       cli::kBadInput,
       "SerialNumber \"AB[1\" cannot be kept in the configuration file: it holds a \"[\"",
       true,
       saved,
       [&] { keypad->setSerialNumber("AB[1"); }},
      {{"table", "set", "left=0x50", "left=0x51"},
       cli::kBadInput,
       "Left is given more than once.",
       false},
  };
#ifndef _WIN32
  // A pipe would be waited on for ever; a relative XDG_DATA_HOME is not one.
  const std::string pipe = dir_.file("pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  cases.push_back(
      {{"restore", "--file", pipe}, cli::kBadInput, pipe + " is not a regular file", false});
  cases.push_back({{"save"}, cli::kDone, "", true, std::nullopt, [&] {
                     keypad->setSerialNumber("OK");
                     home.set("HOME", dir_.file("home"));
                     dataHome_.set("XDG_DATA_HOME", "relative");
                   }});
#endif
  for (const Case& row : cases) {
    if (row.fileHolds) WriteBytes(file(), *row.fileHolds);
    row.arrange();
    keypad->clearReceivedCommands();
    EXPECT_EQ(run(row.arguments), row.status) << row.says << err_.str();
    EXPECT_THAT(err_.str(), HasSubstr(row.says));
    EXPECT_EQ(changes(*keypad).empty(), !row.keypadAsked) << row.says;
  }
  EXPECT_EQ(ReadBytes(file()), saved);  // left as it was by the refused save
#ifndef _WIN32
  EXPECT_TRUE(std::filesystem::exists(
      dir_.path() / "home/.local/share/VeltoInterface/USBNavigationKeypadUtilityCfg.ini"));
  EXPECT_FALSE(std::filesystem::exists("relative"));
#endif
}

TEST_F(Cli, SaveRestoreAndUpgradeWorkThroughFoldersWithNonAsciiNames) {
  // A user called J\u00fcrgen: the data folder, the settings file and the firmware file all
  // carry characters outside ASCII.
  const std::string home = dir_.file("J\u00fcrgen \u00c5str\u00f6m");
  dataHome_.set(kDataHomeVariable, home);
  auto keypad = bus().plug();
  keypad->setLedBrightness(4);
  keypad->setSerialNumber("S-\u00c4");
  ASSERT_EQ(run({"save"}), cli::kDone) << err_.str();
  const auto config =
      support::PathFromUtf8(home) / "VeltoInterface" / "USBNavigationKeypadUtilityCfg.ini";
  EXPECT_THAT(ReadBytes(config), HasSubstr(" LedBrightness=4\r\n"));
  const std::string exported = dir_.file("R\u00e9glages \u65e5\u672c.ini");
  ASSERT_EQ(run({"save", "--file", exported}), cli::kDone) << err_.str();
  EXPECT_EQ(ReadBytes(support::PathFromUtf8(exported)), ReadBytes(config));

  keypad->setLedBrightness(9);
  ASSERT_EQ(run({"restore", "--file", exported}), cli::kDone) << err_.str();
  EXPECT_EQ(keypad->settings().ledBrightness, 4);

  const std::string copied = dir_.file("Firmw\u00e4re \u00fc.txt");
  WriteBytes(support::PathFromUtf8(copied), ReadBytes(firmware()));
  // A keypad that takes 1.5 s to restart is looked for until it is back, not for a fixed time.
  keypad->setRestartMs(1500);
  clock_.clearWaits();
  ASSERT_EQ(run({"upgrade", copied}), cli::kDone) << err_.str();
  // Into the loader, into the RAM loader and back into the application: each looked for every
  // 0.1 s, as long as it takes, never for a fixed time.
  EXPECT_EQ(clock_.waits(), std::vector<int>(45, 100));
  EXPECT_EQ(keypad->firmwareVersion(), "2.00");
  EXPECT_EQ(keypad->settings().ledBrightness, 4);
  EXPECT_THAT(StoredRecords(storeFile()), ::testing::IsEmpty());
  // Nothing was left beside the configuration file and the store under another spelling of
  // their names.
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(config.parent_path()))
    left.insert(support::Utf8FromPath(entry.path().filename()));
  EXPECT_EQ(left, (std::set<std::string>{"USBNavigationKeypadUtilityCfg.ini", "bench.sqlite3"}));
}

TEST_F(Cli, UpgradeRefusalsSendNothing) {
  auto keypad = bus().plug();
  const std::string noVector = dir_.file("no-vector.txt");
  WriteBytes(noVector, "@4400\n01 02\nq\n");
  support::ProgramLock otherProgram;
  const std::string loader = dir_.file("data/VeltoInterface/loader");
  const std::string password = dir_.file("data/VeltoInterface/loader/password.txt");
  struct Case {
    std::string says;
    std::function<void()> arrange;
    std::vector<std::string> arguments = {"upgrade", firmware()};
    int status = cli::kBadInput;
  };
  const Case cases[] = {
      {"both are missing: RAM_BSL.txt (the RAM bootstrap loader) and password.txt (the loader "
       "password). Put them into " +
           loader + " or ",
       [] { firmware::SetBuiltInLoaderTexts({}); }},
      {"cannot use " + password + " as the loader password: it is not the 32 bytes",
       [&] {
         firmware::SetBuiltInLoaderTexts({});
         std::filesystem::create_directories(loader);
         WriteBytes(password, "@FFE0\n00 01\nq\n");
       }},
      {"one is missing: RAM_BSL.txt (the RAM bootstrap loader). Put it into ",
       [&] {
         firmware::SetBuiltInLoaderTexts({});
         WriteBytes(password, virtual_keypad::StandInLoaderTexts().password);
       }},
      {"Cannot use the firmware file " + noVector + ": it does not set the reset vector",
       [&] { std::filesystem::remove_all(loader); },
       {"upgrade", noVector}},
      // Records of an earlier version that cannot be brought over are never taken for none.
      {recordFile() + " of an earlier version is not a regular file",
       [&] { std::filesystem::create_directories(recordFile()); }},
      {recordFile() + " of an earlier version cannot be brought over",
       [&] { WriteBytes(recordFile(), "{\"keypadType\": "); }},
#ifndef _WIN32
      // Planted by another user: refused at once, never waited on.
      {storeFile() + " is a FIFO, not the bench's store",
       [&] { mkfifo(storeFile().c_str(), 0666); }},
#endif
      // A change that could not be logged is not made; kept records are never taken for none.
      {"nothing was sent to the keypad, since what is done to it could not be logged: " +
           storeFile() + " is a folder",
       [&] { std::filesystem::create_directories(storeFile()); },
       {"save"}},
      {"a record of an upgrade cannot be read",
       [&] {
         StoreRecords(storeFile(), {store::PendingUpgrade{}});
         Sql(storeFile(), "UPDATE records SET record = '[]'");
       },
       {"status"}},
      {"the RAM bootstrap loader this program was built with: it does not start at 0x2500",
       [] {
         firmware::SetBuiltInLoaderTexts({"@2400\r\n00 06 05 34\r\nq", "@FFE0\r\n00\r\nq"});
       }},
      {"Another program (cli_tests, process " + std::to_string(getpid()) + ", user ",
       [&] {
         SetKeypadLockFolder(dir_.file(""));
         ASSERT_TRUE(TakeUpgradeLock(otherProgram));
       },
       {"upgrade", firmware()},
       cli::kKeypadFailed},
      {"the keypad at 1-keypad1 is in use by cli_tests, process " + std::to_string(getpid()) +
           ", user ",
       [&] {
         SetKeypadLockFolder(dir_.file(""));
         const std::string path = virtual_keypad::InterfacePath(keypad->id(), 1);
         ASSERT_TRUE(otherProgram.take(KeypadLockFile(path), false));
       },
       {"upgrade", firmware()},
       cli::kKeypadFailed},
      {"The upgrade's lock cannot be taken (" + dir_.file("file"),
       [&] {
         WriteBytes(dir_.path() / "file", "");
         SetKeypadLockFolder(dir_.file("file"));
       },
       {"upgrade", firmware()},
       cli::kKeypadFailed},
      {"the keypad's lock cannot be taken (/run/lock/navkeypad is not a folder). Every user of "
       "this computer",
       [&] { SetKeypadLockFolder(dir_.file(""), "/run/lock/navkeypad is not a folder"); },
       {"status"},
       cli::kKeypadFailed},
      // Where a loader's place is not known, it could be this keypad's.
      {"A keypad is already waiting in its firmware loader, and beside it the keypad to upgrade "
       "could not be told apart from it. Finish its upgrade first, or unplug it. Nothing was "
       "sent. Finish it with 'navkeypad upgrade FIRMWARE.txt'.",
       [] {
         const auto loader = bus().plug();
         loader->setPort("");
         loader->startInLoader();
       },
       {"--serial", "VNK000123", "upgrade", firmware()}},
      // The one record kept is another keypad's.
      {"no settings of keypad NONE are kept",
       [&] {
         bus().unplug(keypad);
         std::filesystem::create_directories(std::filesystem::path(recordFile()).parent_path());
         WriteBytes(recordFile(), R"({"serialNumberHex": "52", "keypadType": 0, "ledBrightness": 1,
             "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true})");
       },
       {"upgrade", "--settings-of", "NONE", firmware()}},
      // A record of an earlier version, kept before ports were noted: only the user can say.
      {"by an earlier version, which did not note where that keypad was plugged in",
       [&] {
         WriteBytes(recordFile(), R"({"serialNumberHex": "52", "keypadType": 0,
             "ledBrightness": 1, "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true})");
       },
       {"upgrade", firmware()}},
      {"2 keypads wait in their firmware loaders; nothing was sent. Finish each on its own:\n"
       "  navkeypad --device virtual:keypad2:1.0 upgrade ",
       [] { bus().plug()->startInLoader(); }},
  };
  for (const Case& row : cases) {
    row.arrange();
    EXPECT_EQ(run(row.arguments), row.status) << row.says;
    EXPECT_THAT(err_.str(), HasSubstr(row.says));
    for (const auto& each : bus().keypads()) {
      EXPECT_TRUE(each->loaderCommandCodes().empty()) << row.says;
      EXPECT_THAT(each->receivedCommandCodes(), Not(Contains(CMD_ENTER_FIRMWARE_UPGRADE)));
    }
    virtual_keypad::UseStandInLoader();
    std::filesystem::remove_all(recordFile());
    for (const char* suffix : {"", "-wal", "-shm"})
      std::filesystem::remove_all(storeFile() + suffix);
    otherProgram.release();
    SetKeypadLockFolder("");
  }
}

TEST_F(Cli, TheSettingsNoWindowSendsGoOutAsTheKeypadTakesThem) {
  auto keypad = bus().plug();
  keypad->setSerialNumber("");  // as after a recovery that lost its record
  struct Case {
    std::vector<std::string> arguments;
    std::optional<ReceivedCommand> sent;  // none: refused before anything is sent
  };
  for (const Case& c : {
           Case{{"led-colour", "green"}, ReceivedCommand{CMD_SET_LED_COLOUR, {0}}},
           Case{{"buzzer", "on"}, ReceivedCommand{CMD_SET_BUZZER, {1}}},
           Case{{"buzzer", "off"}, ReceivedCommand{CMD_SET_BUZZER, {0}}},
           Case{{"buzzer-period", "9"}, ReceivedCommand{CMD_SET_BUZZER_PERIOD, {9}}},
           Case{{"volume", "jack-in", "99"}, ReceivedCommand{CMD_SET_LOCAL_VOLUME, {4, 99}}},
           Case{{"volume", "absolute", "0"}, ReceivedCommand{CMD_SET_LOCAL_VOLUME, {0, 0}}},
           Case{{"volume-config", "external-no-jack"},
                ReceivedCommand{CMD_SET_VOLUME_CONFIGURATION, {3}}},
           Case{{"serial", "set", "VNK000777"},
                ReceivedCommand{CMD_SET_SERIAL_NUMBER,
                                {'V', 'N', 'K', '0', '0', '0', '7', '7', '7', 0, 0, 0}}},
           Case{{"led-colour", "red"}, std::nullopt}, Case{{"buzzer-period", "0"}, std::nullopt},
           Case{{"volume", "low", "100"}, std::nullopt}, Case{{"volume", "low"}, std::nullopt},
           Case{{"serial", "set", "VNK0123456789"}, std::nullopt},  // no room for the zero
           Case{{"serial", "set", "VNK 1"}, std::nullopt},
           Case{{"serial", "set", "VNK-2"}, std::nullopt},  // it has one now: --force
       }) {
    keypad->clearReceivedCommands();
    const int status = run(c.arguments);
    const auto received = changes(*keypad);
    if (c.sent) {
      EXPECT_EQ(status, cli::kDone) << c.arguments[0] << err_.str();
      ASSERT_FALSE(received.empty()) << c.arguments[0];
      EXPECT_EQ(received.back(), *c.sent);
    } else {
      EXPECT_EQ(status, cli::kBadInput) << c.arguments[0] << " " << c.arguments[1];
      EXPECT_TRUE(received.empty());
    }
  }
  EXPECT_EQ(run({"serial", "set", "VNK-2", "--force"}), cli::kDone);
  EXPECT_EQ(keypad->serialNumber(), "VNK-2");
}

TEST_F(Cli, EveryChangeToAKeypadIsInTheServiceLog) {
  auto keypad = bus().plug();
  keypad->setSerialNumber("VNK-L");
  keypad->refuseCommand(CMD_SET_KEYPAD_TYPE);
  ASSERT_EQ(run({"log", "--json"}), cli::kDone);
  EXPECT_EQ(out_.str(), "{\"entries\": [], \"skipped\": 0, \"exitStatus\": 0}\n");
  ASSERT_EQ(run({"brightness", "3"}), cli::kDone);
  ASSERT_EQ(run({"layout", "custom"}), cli::kKeypadFailed);
  ASSERT_EQ(run({"status"}), cli::kDone);  // only shows: not logged
  ASSERT_EQ(run({"log", "--json", "--serial", "VNK-L"}), cli::kDone);
  const auto entries = nlohmann::json::parse(out_.str())["entries"];
  ASSERT_EQ(entries.size(), 2u) << out_.str();
  struct Expected {
    const char* action;
    const char* before;
    const char* after;
    const char* result;
  };
  const Expected expected[] = {{"brightness 3", "1.04", "1.04", "ok"},
                               {"layout custom", "1.04", "", "failed"}};
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_THAT(entries[i]["action"].get<std::string>(), ::testing::StartsWith(expected[i].action));
    EXPECT_EQ(entries[i]["serialNumber"], "VNK-L");
    EXPECT_EQ(entries[i]["firmwareBefore"], expected[i].before);
    EXPECT_EQ(entries[i]["firmwareAfter"], expected[i].after);
    EXPECT_EQ(entries[i]["result"], expected[i].result);
    EXPECT_THAT(entries[i]["time"].get<std::string>(),
                ::testing::MatchesRegex("....-..-..T..:..:..Z"));
  }
  EXPECT_EQ(entries[0]["settings"]["ledBrightness"], 3);
  EXPECT_EQ(entries[1]["message"],
            "the keypad did not accept the layout. Check that it is still "
            "plugged in and try again.");
  ASSERT_EQ(run({"log", "--serial", "VNK-OTHER"}), cli::kDone);
  EXPECT_EQ(out_.str(), "");
  ASSERT_EQ(run({"log"}), cli::kDone);
  EXPECT_THAT(out_.str(), HasSubstr("  VNK-L  layout custom  1.04 ->   failed: the keypad did not "
                                    "accept the layout."));

  // Who did it where, the number a forced one replaced, and a flat export a spreadsheet cannot
  // take for formulas; dates pick the lines.
  ASSERT_EQ(run({"serial", "set", "=SUM(1,2)", "--force", "--operator", "Kim Lee"}), cli::kDone);
  store::SetOperatorName({});
  ASSERT_EQ(run({"log", "--json", "--since", "2000-01-01T00:00"}), cli::kDone);
  const auto forced = nlohmann::json::parse(out_.str())["entries"].back();
  EXPECT_EQ(forced["operator"], "Kim Lee");
  EXPECT_EQ(forced["port"], "1-keypad1");
  ASSERT_EQ(run({"log"}), cli::kDone);
  EXPECT_THAT(out_.str(), HasSubstr("  " + support::UserName() + "@" + support::ComputerName() +
                                    " for Kim Lee  =SUM(1,2)  serial set"));
  EXPECT_EQ(forced["action"], "serial set =SUM(1,2) --force");
  EXPECT_EQ(forced["serialNumberBefore"], "VNK-L");
  EXPECT_EQ(forced["user"], support::UserName());
  EXPECT_EQ(forced["computer"], support::ComputerName());
  EXPECT_FALSE(forced["user"].get<std::string>().empty());
}

// A keypad tried again counts once, by its last try; keypads that cannot be told apart count
// as many.
TEST(KeypadTally, CountsKeypadsByTheirLastTry) {
  using Try = std::array<const char*, 4>;  // serial number before, after, port, result
  const struct {
    std::vector<Try> tries;
    int keypads, ok;
  } rows[] = {
      {{{"A", "A", "", "ok"}, {"A", "A", "", "failed"}}, 2, 1},       // ports not known
      {{{"", "N", "1-a", "failed"}, {"N", "N", "1-a", "ok"}}, 1, 1},  // given a number first
      {{{"", "", "1-a", "failed"}, {"", "N", "1-a", "ok"}, {"", "", "1-a", "failed"}},
       2,
       1},  // by its port till it has a number, then the next there
  };
  for (const auto& row : rows) {
    cli::KeypadTally tally;
    for (const auto& [before, after, port, result] : row.tries)
      tally.add(before, after, port, result);
    EXPECT_EQ(std::tuple(tally.keypads(), tally.withResult("ok"), tally.tries()),
              std::tuple(row.keypads, row.ok, static_cast<int>(row.tries.size())));
  }
}

TEST_F(Cli, SeveralKeypadsNeedADeviceOrASerialNumber) {
  auto first = bus().plug();
  auto second = bus().plug();
  auto third = bus().plug();
  first->setSerialNumber("VNK-A");
  second->setSerialNumber("VNK-B");
  third->setSerialNumber("");
  EXPECT_EQ(run({"list"}), cli::kDone);
  EXPECT_THAT(out_.str(), HasSubstr("at 1-keypad3  (no serial number)  firmware 1.04\n"));
  third->setSerialNumber("VNK-B");
  first->clearReceivedCommands();
  EXPECT_EQ(run({"status"}), cli::kBadInput);
  // Each choice with its number, port and firmware, and the words that pick it; a keypad is
  // only asked its status.
  EXPECT_THAT(err_.str(), HasSubstr("3 keypads are attached; pick one:\n  VNK-A at 1-keypad1, "
                                    "firmware 1.04: --serial VNK-A\n  VNK-B at 1-keypad2, "
                                    "firmware 1.04: --device 1-keypad2\n"));
  for (const auto& received : first->receivedCommands())
    EXPECT_EQ(received.command, CMD_GET_STATUS);
  first->clearReceivedCommands();
  EXPECT_EQ(run({"--device", "1-keypad2", "brightness", "1"}), cli::kDone);
  EXPECT_EQ(second->settings().ledBrightness, 1);
  EXPECT_TRUE(first->receivedCommands().empty());
  // Failures, also as JSON for scripts.
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string json;
  };
  for (const Case& c :
       {Case{{"--serial", "VNK-Z", "status"}, cli::kNoKeypad, ""},
        Case{{"--serial", "VNK-B", "status", "--json"},
             cli::kBadInput,
             "{\"error\": \"2 keypads have the serial number VNK-B; pick one:\\n  VNK-B at "
             "1-keypad2, firmware 1.04: --device 1-keypad2\\n  VNK-B at 1-keypad3, firmware "
             "1.04: --device 1-keypad3\", \"exitStatus\": 2}\n"},
        Case{{"--serial", "VNK-A", "--device", "x", "status"}, cli::kBadInput, ""},
        Case{{"--json", "--serial", "VNK-Z", "status"},
             cli::kNoKeypad,
             "{\"error\": \"no keypad has the serial number VNK-Z; see 'navkeypad list'.\", "
             "\"exitStatus\": 3}\n"},
        Case{{"--serial", "VNK-A", "brightness", "4", "--json"},
             cli::kDone,
             "{\"message\": \"LED brightness set to 4.\", \"exitStatus\": 0}\n"},
        Case{{"--serial", "VNK-A", "brightness", "x", "--json"},
             cli::kBadInput,
             "{\"error\": \"the LED brightness is a whole number from 0 to 9, not 'x'.\", "
             "\"exitStatus\": 2}\n"},
        Case{{"frobnicate", "--json"},
             cli::kBadInput,
             "{\"error\": \"no command 'frobnicate'; see 'navkeypad --help'.\", "
             "\"exitStatus\": 2}\n"},
        Case{{"status", "--device", "--json"},
             cli::kBadInput,
             "{\"error\": \"--device needs a value.\", \"exitStatus\": 2}\n"},
        Case{{"status", "--colour", "x"}, cli::kBadInput, ""},
        Case{{"status", "--json=true", "--all=1"}, cli::kBadInput, ""},
        // A station refuses what would fail every keypad alike before it takes any.
        Case{{"station", "--json", "--present", "--count", "0", "--serial-from", "VNK"},
             cli::kBadInput,
             "{\"error\": \"--count needs a whole number from 1, not '0'.\", \"exitStatus\": 2}\n"},
        Case{{"station", "--json", "FW", "--present"},
             cli::kBadInput,
             "{\"error\": \"a firmware file goes with --expect-version V, the version it holds: "
             "keypads already on V are not upgraded.\", \"exitStatus\": 2}\n"},
        Case{{"station", "--json", "--config", "/nowhere.ini"},
             cli::kBadInput,
             "{\"error\": \"/nowhere.ini is missing.\", \"exitStatus\": 2}\n"},
        // An option out of place names where it goes.
        Case{{"status", "--json", "--since", "2026-12-01"},
             cli::kBadInput,
             "{\"error\": \"--since, --until, --csv and --xlsx go with log.\", \"exitStatus\": "
             "2}\n"},
        Case{
            {"station", "--json", "--serial", "VNK-A"},
            cli::kBadInput,
            "{\"error\": \"station takes the keypads as they are plugged in; it takes no --device, "
            "--serial, --all, --file or --settings-of.\", \"exitStatus\": 2}\n"},
        Case{{"status", "--json", "--present"},
             cli::kBadInput,
             "{\"error\": \"--config, --serial-from, --count, --idle-timeout, --present, --labels "
             "and --print-labels go with station.\", \"exitStatus\": 2}\n"},
        Case{{"upgrade", "x.txt", "--json", "--expect-version", "2.01"},
             cli::kBadInput,
             "{\"error\": \"--expect-version goes with upgrade --all and station.\", "
             "\"exitStatus\": 2}\n"},
        Case{{"brightness", "3", "--all", "--json"},
             cli::kBadInput,
             "{\"error\": \"--all works with status, apply and upgrade.\", \"exitStatus\": 2}\n"},
        Case{{}, cli::kBadInput, ""}}) {
    EXPECT_EQ(run(c.arguments), c.status) << c.arguments.size();
    EXPECT_EQ(out_.str(), c.json);
  }
  EXPECT_EQ(run({"--version"}), cli::kDone);
  EXPECT_EQ(out_.str(), "navkeypad 3.1\n");
  // A keypad that cannot be opened fails the run in the summary; it is not passed over.
  first->setOpenable(false);
  EXPECT_EQ(run({"status", "--all"}), cli::kKeypadFailed);
  EXPECT_THAT(out_.str(), HasSubstr("\n?              cannot be opened  ?         ?  "));
}

// A label for a number a keypad can hold, with the firmware the log last saw on that keypad; a
// printer that is not there prints nothing.
TEST_F(Cli, ALabelIsMadeForANumberAKeypadCanHold) {
  auto keypad = bus().plug();
  ASSERT_EQ(run({"serial", "set", "VNK-1", "--force"}), cli::kDone);
  const std::string png = dir_.file("label.png");
  const struct {
    std::vector<std::string> arguments;
    int status;
    const char* says;
  } rows[] = {
      {{"label", "VNK-1", "--output", png},
       cli::kDone,
       "The label of VNK-1 (firmware 1.04) is written to "},
      {{"label", "--print", "VNK-1"}, cli::kBadInput, "usage: navkeypad label SERIAL"},
      {{"label", "VNK-1", "--print", "NoSuchPrinter", "--json"},
       cli::kKeypadFailed,
       "this computer has no printer NoSuchPrinter; nothing was printed."},
      {{"label", "VNK 1", "--print", "--json"}, cli::kBadInput, "{\"error\": \"no label: a"},
      {{"status", "--print"}, cli::kBadInput, "--output and --print go with label."},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(run(row.arguments), row.status) << row.arguments[1];
    EXPECT_THAT(out_.str() + err_.str(), HasSubstr(row.says));
  }
}

TEST_F(Cli, NoKeypadAndAKeypadThatCannotBeOpened) {
  EXPECT_EQ(run({"status"}), cli::kNoKeypad);
  EXPECT_EQ(run({"list", "--json"}), cli::kNoKeypad);
  EXPECT_EQ(out_.str(), "{\"error\": \"no navigation keypad found.\", \"exitStatus\": 3}\n");
  auto keypad = bus().plug();
  keypad->setOpenable(false);
  EXPECT_EQ(run({"list"}), cli::kNotAccessible);
  EXPECT_THAT(out_.str(), HasSubstr("not accessible: Failed to open a device with path"));
  EXPECT_THAT(err_.str(), HasSubstr(AccessAdvice()));
  EXPECT_EQ(run({"status"}), cli::kNotAccessible);
  EXPECT_EQ(run({"list", "--json"}), cli::kNotAccessible);
  EXPECT_THAT(out_.str(), HasSubstr("\"accessible\": false, \"problem\": \"Failed to open"));
  // Without a HID library nothing can be seen: that is not "no keypad".
  bus().failStart(L"cfgmgr32.dll lacks CM_Get_Device_Interface_PropertyW");
  EXPECT_EQ(run({"list"}), cli::kKeypadFailed);
  EXPECT_EQ(err_.str(),
            "navkeypad: the HID library could not start: cfgmgr32.dll lacks "
            "CM_Get_Device_Interface_PropertyW.\n");
  EXPECT_EQ(run({"status"}), cli::kKeypadFailed);
}

// The RAM loader is taken as soon as it is back, however long it takes within the protocol's
// 10 s; until then it is sent nothing, so the loader hears what it hears in a quick run.
TEST_F(Cli, TheRamLoaderIsTakenWhenItIsBackNotAfterAFixedTime) {
  std::vector<uint8_t> quickRun;
  for (const auto& [returnMs, polls] : {std::pair{0, 5}, {500, 5}, {4000, 40}}) {
    bus().reset();
    virtual_keypad::Behaviour slow;
    if (returnMs > 0) slow.ramLoaderReturnMs = returnMs;
    auto keypad = bus().plug();
    keypad->setBehaviour(slow);
    clock_.clearWaits();
    ASSERT_EQ(run({"upgrade", firmware()}), cli::kDone) << returnMs << err_.str();
    EXPECT_EQ(clock_.waits(), std::vector<int>(polls, 100)) << returnMs;
    if (quickRun.empty()) quickRun = keypad->loaderCommandCodes();
    EXPECT_EQ(keypad->loaderCommandCodes(), quickRun) << returnMs;
  }
}

TEST_F(Cli, AFailedUpgradeAdvisesTheCommandAsTheSystemWritesPaths) {
  virtual_keypad::Behaviour corrupting;
  corrupting.corruptWriteNumber = 3;
  bus().plug()->setBehaviour(corrupting);
  ASSERT_EQ(run({"upgrade", firmware()}), cli::kKeypadFailed);
  const std::string advice = ". To try again, run: navkeypad upgrade " + firmwareAsAdvised();
  EXPECT_THAT(err_.str(), HasSubstr("kept in " + storeFile() + advice + "\n"));
}

// The keypad shows how it ended: slow blinks for done, quick ones for failed, then the
// brightness it keeps. Ctrl-C during a download ends the station only once that keypad is
// finished, without a blink.
TEST_F(Cli, TheStationShowsEachResultOnTheLedAndCtrlCWaitsForTheKeypadInHand) {
  WriteBytes(file(), "[appSettings]\nLedBrightness=3\nKeypadLayout=0\nFirstUp=Yes\n");
  std::vector<uint8_t> done{3};
  for (int blink = 0; blink < 5; ++blink) done.insert(done.end(), {9, 0});
  done.push_back(3);
  std::vector<uint8_t> failed{3};
  for (int blink = 0; blink < 25; ++blink) failed.insert(failed.end(), {9, 0});
  failed.push_back(2);
  const struct {
    std::vector<std::string> options;
    std::vector<uint8_t> refused;
    bool interruptInLoader;
    std::vector<uint8_t> levels;  // every brightness the keypad was told
    std::string says;
  } rows[] = {
      {{"--config", file()},
       {},
       false,
       done,
       "[1] VNK000123 at 1-keypad1  1.04 -> 1.04  ok (settings)\n"},
      {{"--config", file()}, {CMD_WRITE_DEFAULT}, false, failed, "failed: Unable to Write"},
      {{firmware("2.01"), "--expect-version", "2.01"},
       {},
       true,
       {2, 2},
       "[1] VNK000123 at 1-keypad1  1.04 -> 2.01  ok (upgraded)\nStation: 1 keypad (1 try), 1 ok, "
       "0 failed "
       "(stopped)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.says);
    bus().reset();
    auto keypad = bus().plug();
    keypad->setLedBrightness(2);
    for (uint8_t command : row.refused) keypad->refuseCommand(command);
    auto later = bus().plug();  // taken only when the first keypad's result is shown
    later->setAbsentUntil(clock_.tickMs() + 60000);
    // Ctrl-C, once, while the keypad waits in its loader.
    clock_.onSleep = [&, raised = false]() mutable {
      if (raised || !row.interruptInLoader || keypad->mode() == virtual_keypad::Mode::Application)
        return;
      raised = true;
      std::raise(SIGINT);
    };
    std::vector<std::string> arguments{"station", "--present", "--idle-timeout", "1"};
    arguments.insert(arguments.end(), row.options.begin(), row.options.end());
    const int status = run(arguments);
    clock_.onSleep = {};
    EXPECT_EQ(status, row.refused.empty() ? 0 : 1) << err_.str();
    EXPECT_THAT(out_.str(), HasSubstr(row.says));
    std::vector<uint8_t> levels;
    for (const auto& command : keypad->receivedCommands()) {
      if (command.command == CMD_SET_LED_BRIGHTNESS) levels.push_back(command.payload.at(0));
    }
    EXPECT_EQ(levels, row.levels);
    EXPECT_TRUE(later->receivedCommands().empty());
  }
  // identify blinks the keypad picked and leaves it as it was.
  bus().unplug(bus().keypads().back());
  auto keypad = bus().keypads().front();
  keypad->clearReceivedCommands();
  ASSERT_EQ(run({"identify", "--device", "virtual:keypad1:1.1"}), 0) << err_.str();
  std::vector<ReceivedCommand> blinks{{CMD_GET_STATUS, {}}};
  for (int blink = 0; blink < 20; ++blink)
    blinks.push_back({CMD_SET_LED_BRIGHTNESS, {static_cast<uint8_t>(blink % 2 ? 0 : 9)}});
  blinks.push_back({CMD_SET_LED_BRIGHTNESS, {keypad->settings().ledBrightness}});
  EXPECT_EQ(keypad->receivedCommands(), blinks);
  EXPECT_THAT(out_.str(), HasSubstr("blinked for 4 s, and is back at brightness"));
}

// A batch's dry run says per keypad what the batch would do, and asks each keypad only its
// status: a keypad whose restore is owed is not passed over for its version, and two with one
// serial number could not be told apart.
TEST_F(Cli, ADryRunSaysWhatABatchWouldDoAndSendsOnlyStatusRequests) {
  std::vector<std::shared_ptr<virtual_keypad::VirtualKeypad>> keypads;
  for (const char* serial : {"VNK-A", "VNK-B", "VNK-B"}) {
    keypads.push_back(bus().plug());
    keypads.back()->setSerialNumber(serial);
  }
  keypads[1]->setFirmwareVersion("2.01");
  keypads[1]->setLedBrightness(3);
  WriteBytes(file(), " [appSettings]\r\n KeypadLayout=0\r\n LedBrightness=3\r\n FirstUp=Yes\r\n");
  std::filesystem::create_directories(std::filesystem::path(recordFile()).parent_path());
  WriteBytes(recordFile(), R"({"serialNumberHex": "564E4B2D42", "keypadType": 0,
      "ledBrightness": 3, "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": false})");
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"upgrade", "--all", "--dry-run", "--expect-version", "2.01", firmware("2.01")},
       cli::kKeypadFailed,
       "The firmware file's own version is known only once a keypad runs it; 2.01 is what "
       "--expect-version says it holds.\nSummary:\n"
       "  VNK-A at 1-keypad1  1.04 -> 2.01  would upgrade: its serial number and settings kept and "
       "given back\n"
       "  VNK-B at 1-keypad2  2.01 -> 2.01  would fail: another keypad attached has the serial "
       "number VNK-B too, and the two could not be told apart after the upgrade\n"},
      {{"apply", "--all", "--dry-run", "--file", file()},
       cli::kDone,
       "  VNK-A at 1-keypad1  1.04 -> 1.04  would apply: brightness 5 -> 3; stored as its "
       "defaults\n"
       "  VNK-B at 1-keypad2  2.01 -> 2.01  would apply: nothing changes; stored as its "
       "defaults\n"},
      {{"apply", "--all", "--dry-run", "--file", dir_.file("none.ini")}, cli::kBadInput, ""},
      {{"apply", "--dry-run", "--file", file()}, cli::kBadInput, ""}};
  for (const auto& [arguments, status, says] : cases) {
    EXPECT_EQ(run(arguments), status) << arguments[0] << err_.str();
    EXPECT_THAT(out_.str(), HasSubstr(says)) << arguments[0];
    for (const auto& keypad : keypads) EXPECT_THAT(changes(*keypad), ::testing::IsEmpty());
  }
}
