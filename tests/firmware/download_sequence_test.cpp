// Whole firmware downloads into the virtual keypad's bootstrap loader.
#include "firmware/download_sequence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bsl430/bsl430.h"
#include "platform/clock.h"
#include "stand_in_loader.h"
#include "temp_dir.h"
#include "virtual_bus_fixture.h"

using namespace navkeypad;
using navkeypad::firmware::DownloadSequence;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using virtual_keypad::Mode;

namespace {
using ProgressLine = std::pair<int, std::string>;
const std::string kFirmware =
    std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";

std::vector<ProgressLine> SuccessfulRun(const std::string& path) {
  return {{5, ""},
          {10, "Password Sent Successfully\r\n"},
          {20, "Sending RAM BSL v00.06.05.34\r\n"},
          {30, "Done RAM BSL v00.06.05.34\r\n"},
          {35, ""},
          {40, ""},
          {45, ""},
          {60, "Erasing memory segments \r\n"},
          {70, "Sending " + path + "\r\n"},
          {75, "Firmware Sent\r\n"},
          {80, "Verifying memory\r\n"},
          {85, "Memory successfully verified\r\n"},
          {90, "Total programming time is 0s \r\n"},
          {90, "Resetting Device...\r\nStarting application\r\n"},
          {100, "Done!"}};
}
}  // namespace

class Download : public VirtualBusTest {
 protected:
  void SetUp() override {
    VirtualBusTest::SetUp();
    platform::setClock(&clock_);
    keypad_ = connectKeypad();
    keypad_->setSerialNumber("SN-1");
  }
  void TearDown() override {
    BSL_close_BSL();
    platform::setClock(nullptr);
    VirtualBusTest::TearDown();
  }
  // The keypad restarts as its loader, as the main window asks it to.
  void enterLoader() {
    ASSERT_EQ(SendKeypadCommand(CMD_ENTER_FIRMWARE_UPGRADE), kExchangeOk);
    ASSERT_EQ(keypad_->mode(), Mode::RomLoader);
  }
  bool run(const std::string& path) {
    const auto read = firmware::ReadFirmwareFile(path);
    EXPECT_TRUE(read.firmware) << read.problem;
    if (!read.firmware) return false;
    DownloadSequence sequence({}, virtual_keypad::StandInLoaderTexts(),
                              [this](int percent, const std::string& text) {
                                reports_.emplace_back(percent, text);
                                if (onReport_) onReport_(percent);
                              });
    const bool result = sequence.CustomSelectedFirmware(*read.firmware);
    sequence_ = sequence;
    return result;
  }
  void behave(const virtual_keypad::Behaviour& behaviour) { keypad_->setBehaviour(behaviour); }
  std::vector<std::string> texts() const {
    std::vector<std::string> all;
    for (const auto& [percent, text] : reports_) all.push_back(text);
    return all;
  }

  platform::RecordingClock clock_;
  std::shared_ptr<virtual_keypad::VirtualKeypad> keypad_;
  std::vector<ProgressLine> reports_;
  std::optional<DownloadSequence> sequence_;
  std::function<void(int percent)> onReport_;
  TempDir dir_;
};

TEST_F(Download, EachStartUpFailureSaysWhatWentWrong) {
  // No loader at all: the first opening fails, twice.
  EXPECT_FALSE(run(kFirmware));
  EXPECT_THAT(reports_, ElementsAreArray(std::vector<ProgressLine>{
                            {0, "USB device was unplugged!\r\n"},
                            {50, "Unsuccessful in starting the BSL. Restarting. \r\n"},
                            {0, "USB device was unplugged!\r\n"}}));

  // Pulled while the ROM loader starts the RAM loader (password, 50 data reports, Load PC):
  // the second opening fails at 50, the retry's first at 0.
  reports_.clear();
  virtual_keypad::Behaviour pulled;
  pulled.unplugAfterLoaderReports = 52;
  behave(pulled);
  enterLoader();
  EXPECT_FALSE(run(kFirmware));
  EXPECT_THAT(texts(), Contains("USB device was unplugged!\r\n"));
  EXPECT_EQ(std::count(reports_.begin(), reports_.end(),
                       ProgressLine{50, "USB device was unplugged!\r\n"}),
            1);
  EXPECT_EQ(reports_.back(), (ProgressLine{0, "USB device was unplugged!\r\n"}));
}

TEST_F(Download, RefusedPasswordsEndTheStartUp) {
  virtual_keypad::Behaviour refusing;
  refusing.refusePassword = true;
  behave(refusing);
  enterLoader();
  EXPECT_FALSE(run(kFirmware));
  const auto all = texts();
  EXPECT_EQ(std::count(all.begin(), all.end(), "Password FAILED!\r\n"), 2);
  EXPECT_EQ(std::count(reports_.begin(), reports_.end(), ProgressLine{10, "Password FAILED!\r\n"}),
            2);

  // Accepted by the ROM loader, refused by the RAM loader it started.
  bus().reset();
  reports_.clear();
  keypad_ = connectKeypad();
  enterLoader();
  onReport_ = [&](int percent) {
    if (percent == 30) behave(refusing);
  };
  EXPECT_FALSE(run(kFirmware));
  EXPECT_THAT(reports_, Contains(ProgressLine{50, "Password FAILED after sending RAM BSL!\r\n"}));
}

TEST_F(Download, AFailedResetVectorEraseIsOnlyAWarning) {
  virtual_keypad::Behaviour failing;
  failing.failSegmentErase = true;
  behave(failing);
  enterLoader();
  EXPECT_FALSE(run(kFirmware));
  const auto all = texts();
  const auto warning = std::find(all.begin(), all.end(), "Failed to erase reset vector\r\n");
  ASSERT_NE(warning, all.end());
  EXPECT_EQ(reports_[warning - all.begin()].first, 50);
  // The run goes on; the flash that was never erased fails the verification.
  EXPECT_THAT(all, Contains("Sending " + kFirmware + "\r\n"));
  EXPECT_EQ(all.back(), "Memory verification error\r\n");
}

TEST_F(Download, FilesThatCannotBeWrittenOrWouldNotStartAreRefusedWhenRead) {
  const std::string notStarting = "it does not set the reset vector (0xFFFE-0xFFFF)";
  const std::string noFlash = ", where the keypad has no flash it can program";
  const std::string large(firmware::kMaxFirmwareFileBytes + 1, ' ');
  for (const auto& [name, text, why] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"no-vector.txt", "@4400\n01 02 03 04\n@FFE0\n00 44\nq\n", notStarting},
           {"half-vector.txt", "@4400\n01 02\n@FFFE\n00\nq\n", notStarting},
           {"erased-vector.txt", "@4400\n01 02\n@FFFE\nFF FF\nq\n", "is FF FF, erased flash"},
           {"vector-only.txt", "@FFFE\n00 44\nq\n", "points at 0x4400, where it writes nothing"},
           {"ram.txt", "@2400\n01 02\n@FFFE\n00 44\nq\n", "it writes to 0x2400" + noFlash},
           {"info-a.txt", "@1980\n01\n@FFFE\n00 44\nq\n", "it writes to 0x1980" + noFlash},
           {"beyond.txt", "@FFFE\n00 44 01\nq\n", "it writes to 0x10000" + noFlash},
           {"empty.txt", "@4400\nq\n", "it holds no data"},
           {"broken.txt", "@4400\n01 02 0\nq\n", "line 2: \"0\" is not a byte of two hex digits"},
           {"large.txt", large, "it is larger than 1048576 bytes"},
           {"folder.txt", "", "it is a folder, not a file"},
           {"missing.txt", "", "it is missing"}}) {
    const auto path = dir_.file(name);
    if (name == "folder.txt") std::filesystem::create_directories(path);
    if (!text.empty()) WriteBytes(path, text);
    EXPECT_THAT(firmware::ReadFirmwareFile(path).problem, HasSubstr(why)) << name;
  }
}

TEST_F(Download, ACompleteRunStartsTheNewFirmware) {
  // The demo image; then the same firmware from the middle of a segment, its sections out of
  // address order and its tail reaching into a segment of old flash where no section starts,
  // written by a loader that takes longer to erase and check than a tenth of its reply window.
  const std::string unaligned =
      std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01-unaligned.txt";
  for (const std::string& path : {kFirmware, unaligned}) {
    if (path == unaligned) {
      keypad_->installFactoryFirmware("1.04");
      keypad_->loadMemory(0x4A00, std::vector<uint8_t>(0x200, 0x00));
      virtual_keypad::Behaviour slow;
      slow.loaderReplyDelay = std::chrono::milliseconds(250);
      behave(slow);
      reports_.clear();
      clock_.clearWaits();
    }
    enterLoader();
    ASSERT_TRUE(run(path)) << path;
    EXPECT_THAT(reports_, ElementsAreArray(SuccessfulRun(path)));
    EXPECT_EQ(clock_.waits(), (std::vector<int>{1000, 1000, 1000}));
    EXPECT_EQ(sequence_->totalProgramTime, 0u);
    EXPECT_EQ(sequence_->bslVersion, "Vendor: 00, CI: 06, API: 05, PI: 34");
    EXPECT_FALSE(sequence_->massEraseOccurred);
    EXPECT_EQ(keypad_->mode(), Mode::Application);
    EXPECT_EQ(keypad_->firmwareVersion(), "2.01");
    // The new application starts afresh: factory settings, no serial number.
    EXPECT_EQ(keypad_->serialNumber(), "");
    EXPECT_EQ(keypad_->settings(), keypad_->factorySettings());
    scan();
    std::vector<uint8_t> record;
    ASSERT_EQ(SendKeypadCommand(CMD_GET_STATUS, {}, &record), kExchangeOk);
    EXPECT_EQ(DecodeStatusRecord(record)->firmwareVersion, "2.01");
  }
}

TEST_F(Download, AStartUpThatFailsTwiceTouchesNothing) {
  virtual_keypad::Behaviour behaviour;
  behaviour.failVersionReads = 2;
  behave(behaviour);
  enterLoader();
  const auto before = keypad_->readMemory(0x4400, 0xBC00);
  EXPECT_FALSE(run(kFirmware));
  const auto all = texts();
  EXPECT_EQ(std::count(all.begin(), all.end(), "Failed to read data from RAM BSL\r\n"), 2);
  EXPECT_EQ(
      std::count(all.begin(), all.end(), "Unsuccessful in starting the BSL. Restarting. \r\n"), 1);
  EXPECT_THAT(keypad_->loaderCommandCodes(), Not(Contains(0x12)));
  EXPECT_EQ(keypad_->readMemory(0x4400, 0xBC00), before);
  EXPECT_EQ(reports_.back().first, 50);
}

TEST(SegmentsTouched, FollowTheFlashLayout) {
  using navkeypad::firmware::SegmentsTouched;
  EXPECT_EQ(SegmentsTouched(0x4400, 512), (std::vector<uint32_t>{0x4400}));
  EXPECT_EQ(SegmentsTouched(0x45F0, 32), (std::vector<uint32_t>{0x4400, 0x4600}));
  EXPECT_EQ(SegmentsTouched(0x1800, 300), (std::vector<uint32_t>{0x1800, 0x1880, 0x1900}));
  EXPECT_EQ(SegmentsTouched(0x2500, 100), (std::vector<uint32_t>{0x2500}));  // RAM
  EXPECT_TRUE(SegmentsTouched(0x4400, 0).empty());
}
