// The firmware upgrade as one operation, stage by stage, against the virtual keypad: what is
// kept on disk for a keypad, which keypad gets it back, and what is refused before anything is
// sent.
#include "firmware/upgrade_operation.h"
#include "firmware/upgrade_job.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "platform/clock.h"
#include "temp_dir.h"
#include "test_store.h"
#include "virtual_bus_fixture.h"

using namespace navkeypad;
using namespace navkeypad::firmware;
using ::testing::HasSubstr;
using virtual_keypad::Mode;

namespace {
const std::string kFirmware =
    std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
const KeyCodeTable kTable{{0xE0, 0x04, 0x00, 0x4F, 0x00, 0x51, 0xE7, 0x52, 0x00, 0x28}};

// The 32 password bytes of a loader text, one byte a line with blanks behind it, as an editor
// may leave them: the same password in a longer text.
std::string OneByteALine(const std::string& tiTxt) {
  std::string text = "@FFE0\r\n";
  for (const auto& block : bsl430::SplitIntoBlocks(bsl430::ParseTiTxt(tiTxt), 32)) {
    for (uint8_t byte : block.bytes) {
      char line[16];
      std::snprintf(line, sizeof line, "%02X   \r\n", byte);
      text += line;
    }
  }
  return text + "q";
}
// What an earlier attempt kept for keypad `serial`.
PendingUpgrade Kept(const std::string& serial, int32_t brightness, bool downloaded) {
  PendingUpgrade record;
  record.settings.serialNumber = serial;
  record.settings.ledBrightness = brightness;
  record.downloaded = downloaded;
  return record;
}
}  // namespace

class Upgrade : public VirtualBusTest {
 protected:
  void SetUp() override {
    VirtualBusTest::SetUp();
    platform::setClock(&clock_);
    keypad_ = bus().plug();
    keypad_->setSerialNumber("SN-A");
    keypad_->setLedBrightness(7);
    keypad_->setKeypadType(kKeypadTypeCustom);
    keypad_->setCustomTable(kTable);
  }
  void TearDown() override {
    BSL_close_BSL();
    SetKeypadLockFolder("");
    platform::setClock(nullptr);
    VirtualBusTest::TearDown();
  }
  std::string configFile() const {
    return dir_.file("VeltoInterface/USBNavigationKeypadUtilityCfg.ini");
  }
  std::string recordFile() const { return dir_.file("VeltoInterface/bench.sqlite3"); }
  std::vector<PendingUpgrade> records() const { return StoredRecords(recordFile()); }
  void keep(const std::vector<PendingUpgrade>& kept) { StoreRecords(recordFile(), kept); }

  std::unique_ptr<UpgradeOperation> checked() {
    auto upgrade = std::make_unique<UpgradeOperation>(*store_, configFile());
    EXPECT_TRUE(upgrade->checkSetting().ok());
    EXPECT_TRUE(upgrade->checkFirmware(kFirmware).ok());
    return upgrade;
  }
  // What the windows and the command line do for the keypad in its application.
  UpgradeOutcome leave(UpgradeOperation& upgrade, const UpgradeOperation::IsKeypadOf& ask = {}) {
    scan();
    std::vector<uint8_t> record;
    EXPECT_EQ(SendKeypadCommand(CMD_GET_STATUS, {}, &record), kExchangeOk);
    return upgrade.leaveApplication(
        KeypadInApplication::FromStatus(ScannedDevicePath(), *DecodeStatusRecord(record)), ask);
  }
  UpgradeOutcome finish(UpgradeOperation& upgrade) {
    if (!upgrade.download({}, [](int, const std::string&) {}))
      return {UpgradeOutcome::kDownloadFailed, {}};
    return upgrade.restore(10);
  }
  void expectSettings(uint8_t brightness, const std::string& serial) {
    EXPECT_EQ(keypad_->settings().ledBrightness, brightness);
    EXPECT_EQ(keypad_->serialNumber(), serial);
  }

  platform::RecordingClock clock_;
  std::shared_ptr<virtual_keypad::VirtualKeypad> keypad_;
  TempDir dir_;
  // Waits for another program for a moment only: the holder below stays.
  std::unique_ptr<store::Store> store_ = OpenStoreAt(recordFile(), 100);
};

TEST_F(Upgrade, KeepsSerialNumberAndSettingsOnDiskUntilTheRestoreSucceeded) {
  // The same password as a longer text than any fixed buffer held: it must arrive whole, or
  // the chip takes it as wrong and erases itself.
  const auto loader = dir_.path() / "VeltoInterface" / "loader";
  std::filesystem::create_directories(loader);
  WriteBytes(loader / kPasswordFileName, OneByteALine(BuiltInLoaderTexts().password));
  ASSERT_GT(ReadBytes(loader / kPasswordFileName).size(), 200u);
  auto upgrade = checked();
  ASSERT_TRUE(leave(*upgrade).ok());
  ASSERT_EQ(records().size(), 1u);
  EXPECT_EQ(records()[0].settings.serialNumber, "SN-A");
  EXPECT_EQ(records()[0].settings.ledBrightness, 7);
  ASSERT_TRUE(finish(*upgrade).ok());
  EXPECT_EQ(keypad_->massErases(), 0);
  EXPECT_EQ(keypad_->firmwareVersion(), "2.01");
  expectSettings(7, "SN-A");
  EXPECT_EQ(keypad_->storedDefaults().customTable, kTable);
  EXPECT_THAT(records(), ::testing::IsEmpty());
}

TEST_F(Upgrade, ARefusedSwitchLeavesNoRecordToBeGivenBackLater) {
  // A record of this keypad from an attempt that never wrote its flash, with old settings.
  const PendingUpgrade stale = Kept("SN-A", 1, false);
  keep({stale});
  keypad_->refuseCommand(CMD_ENTER_FIRMWARE_UPGRADE);
  auto refused = checked();
  EXPECT_EQ(leave(*refused).kind, UpgradeOutcome::kEnterRefused);
  EXPECT_THAT(records(), ::testing::IsEmpty());
  refused.reset();

  keep({stale});
  keypad_->setBehaviour({});
  keypad_->setLedBrightness(2);
  auto upgrade = checked();
  ASSERT_TRUE(leave(*upgrade).ok());
  ASSERT_TRUE(finish(*upgrade).ok());
  expectSettings(2, "SN-A");
}

TEST_F(Upgrade, AKeypadWaitingInItsLoaderGetsOnlyWhatWasKeptForIt) {
  // One record, which lists as another keypad the path at which this one comes back; then two
  // kept where it waits, of which the user names the second; then one kept at another port,
  // which the user names too without naming this loader.
  const std::string path = ListKeypads().at(0).path;
  const std::string here = keypad_->port();
  std::filesystem::create_directories(dir_.path() / "VeltoInterface");
  const auto record = [&](const char* serialHex, int brightness, const std::string& port) {
    return "{\"serialNumberHex\": \"" + std::string(serialHex) +
           "\", \"keypadType\": 2, \"ledBrightness\": " + std::to_string(brightness) +
           ", \"codeTable\": [0,1,0,2,0,3,0,4,0,5], \"otherKeypads\": [\"" + path +
           "\"], \"port\": \"" + port + "\"}";
  };
  const std::string stays = "The settings kept for keypad SN-A stay in " + recordFile() +
                            "; they are not given to this keypad.";
  for (const auto& [kept, named, brightness, serial, notices] :
       {std::tuple{record("534E2D41", 3, here), "", 3, "SN-A", std::vector<std::string>{}},
        {"{\"upgrades\": [" + record("534E2D41", 3, here) + ", " + record("534E2D42", 6, here) +
             "]}",
         "SN-B", 6, "SN-B", std::vector<std::string>{stays}},
        // Kept at a port where nothing is: this loader may be that keypad, moved, which only
        // a user who names the loader can say.
        {record("534E2D41", 3, "1-elsewhere"), "SN-A", 5, "", std::vector<std::string>{}}}) {
    keep(RecordsFromJson(kept));
    keypad_->setSerialNumber("");
    keypad_->setLedBrightness(5);
    keypad_->startInLoader();
    auto upgrade = checked();
    const UpgradeOutcome taken = upgrade->takeWaitingKeypad(
        [&](const PendingUpgrade& candidate) { return candidate.serial() == named; });
    EXPECT_EQ(upgrade->notices(), notices);
    if (std::string(serial).empty()) {
      EXPECT_EQ(taken.kind, UpgradeOutcome::kWhoseRecord);
      EXPECT_EQ(taken.records.size(), 1u);
      continue;
    }
    ASSERT_TRUE(taken.ok());
    ASSERT_TRUE(finish(*upgrade).ok());
    expectSettings(static_cast<uint8_t>(brightness), serial);
  }
  // Where no place is named (the window's check), two loaders are never taken for one.
  for (auto& loader : {keypad_, bus().plug()}) loader->startInLoader();
  EXPECT_THAT(checked()->checkLoaders(false).message, HasSubstr("2 keypads are waiting"));
}

TEST_F(Upgrade, ARecordThatCannotBeRemovedIsNotASuccessAndTheLockIsLetGo) {
  SetKeypadLockFolder(dir_.file(""));
  // Not marked as written after the download: restored all the same, and said.
  auto unmarked = checked();
  ASSERT_TRUE(leave(*unmarked).ok());
  auto holding = Sql(recordFile(), "BEGIN IMMEDIATE");
  ASSERT_TRUE(unmarked->download({}, [](int, const std::string&) {}));
  holding.reset();
  const UpgradeOutcome restored = unmarked->restore(10);
  EXPECT_EQ(restored.kind, UpgradeOutcome::kRecordNotDropped);
  EXPECT_THAT(restored.message, HasSubstr("could not be written during the upgrade"));
  expectSettings(7, "SN-A");
  unmarked.reset();

  auto upgrade = checked();
  ASSERT_TRUE(leave(*upgrade).ok());
  ASSERT_TRUE(upgrade->download({}, [](int, const std::string&) {}));
  // Back, but held by another program: busy, and nothing given.
  support::ProgramLock holder;
  ASSERT_TRUE(holder.take(KeypadLockFile(ListKeypads().at(0).path), false));
  EXPECT_EQ(upgrade->restore(10).kind, UpgradeOutcome::kBusy);
  // Its record held by another program (the store's lock): nothing given either.
  holder.release();
  holding = Sql(recordFile(), "BEGIN IMMEDIATE");
  EXPECT_EQ(upgrade->restore(10).kind, UpgradeOutcome::kBusy);
  EXPECT_EQ(keypad_->serialNumber(), "");
  holding.reset();
  // Held for a moment of the wait only: the restore waits it out.
  ASSERT_TRUE(holder.take(KeypadLockFile(ListKeypads().at(0).path), false));
  clock_.onSleep = [&, sleeps = 0]() mutable {
    if (++sleeps == 3) holder.release();
  };
  EXPECT_TRUE(upgrade->restore(10).ok());
  clock_.onSleep = {};
  expectSettings(7, "SN-A");
  // Whoever holds the return lock keeps no upgrade waiting after its download, nor from its
  // keypad (a wait on it ends the suite by SIGALRM rather than hanging it).
  upgrade.reset();
  auto again = checked();
  ASSERT_TRUE(leave(*again).ok());
  ASSERT_TRUE(again->download({}, [](int, const std::string&) {}));
  support::ProgramLock squatter;
  ASSERT_TRUE(squatter.take(dir_.file("firmware_upgrade_return.lock"), false));
#ifndef _WIN32
  alarm(10);
#endif
  EXPECT_TRUE(again->restore(10).ok());
#ifndef _WIN32
  alarm(0);
#endif
  squatter.release();
  again.reset();
  expectSettings(7, "SN-A");
  // The operation lives on in its window; the next upgrade, in any program, may start.
  support::ProgramLock next;
  EXPECT_TRUE(TakeUpgradeLock(next));
  // While another program's upgrade waits for its keypad, no keypad is opened here.
  support::ProgramLock awaiting;
  ASSERT_TRUE(awaiting.take(dir_.file("firmware_upgrade_return.lock"), false));
  EXPECT_EQ(OpenSharedKeypad(ListKeypads().at(0).path), SharedOpen::kInUse);
}

// The job runs the stages in order and ends with data: its kind, the stage it reached, the
// keypad after it, whose record, and what to do next; the front ends only say it.
TEST_F(Upgrade, TheJobEndsEachWayWithItsStageAndAdvice) {
  using Advice = UpgradeAdvice;
  struct Row {
    const char* name;
    std::function<void()> arrange;
    UpgradeEnd::Kind kind;
    UpgradeOutcome::Kind outcome;
    std::string stage;
    Advice::Kind advice;
    std::string choice;  // "DEVICE SETTINGS-OF" of the one choice advised
    std::string after;   // its firmware and serial number where it answered after
    bool kept;
  };
  const auto behave = [&](auto change) {
    return [this, change] {
      virtual_keypad::Behaviour behaviour;
      change(behaviour);
      keypad_->setBehaviour(behaviour);
    };
  };
  const std::string here = keypad_->port();
  const std::vector<Row> rows = {
      {"done", [] {}, UpgradeEnd::kDone, {}, "restore", Advice::kNone, "", "2.01 SN-A", false},
      {"switch refused", behave([](auto& b) { b.refusedCommands = {CMD_ENTER_FIRMWARE_UPGRADE}; }),
       UpgradeEnd::kStage, UpgradeOutcome::kEnterRefused, "switch to the loader", Advice::kNone, "",
       "", false},
      {"password refused",
       behave([](auto& b) { b.refusePassword = true; }),
       UpgradeEnd::kNotWritten,
       {},
       "download",
       Advice::kRetry,
       "",
       "",
       true},
      {"pulled in its download",
       behave([](auto& b) { b.unplugAfterLoaderReports = 70; }),
       UpgradeEnd::kLeftBus,
       {},
       "download",
       Advice::kPlugInAgain,
       "",
       "",
       true},
      {"a restore step refused", behave([](auto& b) { b.refusedCommands = {CMD_SET_KEYPAD_TYPE}; }),
       UpgradeEnd::kStage, UpgradeOutcome::kRestoreStepFailed, "restore",
       Advice::kRetryNamingRecord, "", "2.01 SN-A", true},
      {"its number kept for a keypad elsewhere",
       [&] {
         auto away = Kept("SN-A", 2, true);
         away.port = "1-away";
         keep({away});
       },
       UpgradeEnd::kStage, UpgradeOutcome::kSameSerialElsewhere, "switch to the loader",
       Advice::kNameOne, here + " SN-A", "", true},
      {"a loader while a record's keypad is away",
       [&] {
         auto away = Kept("SN-B", 2, true);
         away.port = "1-away";
         keep({away});
         keypad_->startInLoader();
       },
       UpgradeEnd::kStage, UpgradeOutcome::kWhoseRecord, "check", Advice::kNameOne, here + " SN-B",
       "", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    keep({});
    keypad_->setBehaviour({});
    keypad_->setSerialNumber("SN-A");
    row.arrange();
    int lastPercent = 0;
    UpgradeJob job(
        *store_, configFile(),
        {[&](int percent, const std::string&) { lastPercent = percent; }, [](const std::string&) {},
         [&](std::string& path) -> std::optional<DeviceStatus> {
           scan();
           path = ScannedDevicePath();
           std::vector<uint8_t> status;
           if (SendKeypadCommand(CMD_GET_STATUS, {}, &status) != kExchangeOk) return std::nullopt;
           return DecodeStatusRecord(status);
         }});
    ASSERT_TRUE(job.check(kFirmware).ok());
    const UpgradeEnd end = job.run({kFirmware});
    EXPECT_EQ(end.kind, row.kind) << end.message;
    if (row.kind == UpgradeEnd::kStage) {
      EXPECT_EQ(end.outcome.kind, row.outcome);
    }
    EXPECT_EQ(end.stage, row.stage);
    EXPECT_EQ(end.advice.kind, row.advice);
    const auto& choices = end.advice.choices;
    EXPECT_EQ(choices.size() == 1 ? choices[0].device + " " + choices[0].settingsOf.value_or("")
                                  : std::string(),
              row.choice);
    EXPECT_EQ(end.after ? end.after->firmwareVersion + " " + end.after->serialNumber : "",
              row.after);
    EXPECT_EQ(!records().empty(), row.kept);
    EXPECT_EQ(lastPercent == 100, row.kind == UpgradeEnd::kDone || row.after != "");
    BSL_close_BSL();
    CloseSharedKeypad();
    bus().reset();
    keypad_ = bus().plug();
  }
}
