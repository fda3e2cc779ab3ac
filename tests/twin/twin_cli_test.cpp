// The real command line on the keypad twin, where only the real stack can tell: nodes and ports
// as udev gives them, a node its user may not open, two programs at one keypad.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "bus_processes.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

const std::string kTwin = std::string("'") + NAVKEYPAD_TWIN + "' ";
const std::string kCli = std::string("'") + NAVKEYPAD_REAL_CLI + "'";

class CommandLineOnTwin : public VirtualState {
 protected:
  void SetUp() override {
    program_ = kTwin + kCli;
    runAs_ = "NAVKEYPAD_BENCH_FOLDER='" + dir_.file("bench") + "' ";
    std::filesystem::create_directories(dir_.path() / "bench");
    PlaceStandInLoaderTexts(dir_.path() / "data");
  }
};

}  // namespace

TEST_F(CommandLineOnTwin, AKeypadIsPickedByItsNodeOrByItsPort) {
  WriteBytes(state(), R"({"keypads": [{"id": "a", "serialNumber": "VNK-A", "port": "1-1.4"},
                                      {"id": "b", "serialNumber": "VNK-B", "port": "2-3"}]})");
  // Interfaces 0 and 1 of each keypad, in the order they arrived.
  const Outcome listed = run("list");
  EXPECT_EQ(listed.output,
            "/dev/hidraw1  at 1-1.4  serial VNK-A  firmware 1.04\n"
            "/dev/hidraw3  at 2-3  serial VNK-B  firmware 1.04\n");
  for (const auto& [device, status, says] :
       {std::tuple{"/dev/hidraw3", 0, "Serial number   VNK-B\n"},
        {"1-1.4", 0, "Serial number   VNK-A\n"},
        {"2-3", 0, "Keypad          /dev/hidraw3\nPort            2-3\n"},
        {"/dev/hidraw0", 3, "no keypad at /dev/hidraw0"},  // the keyboard interface
        {"1-9", 3, "no keypad at 1-9"}}) {
    const Outcome ran = run(std::string("--device ") + device + " status");
    EXPECT_EQ(ran.status, status) << device << "\n" << ran.output;
    EXPECT_THAT(ran.output, HasSubstr(says)) << device;
  }
}

TEST_F(CommandLineOnTwin, ANodeItsUserMayNotOpenIsExplainedWithTheUdevRule) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "runs the program as another user, which only root can; run the suite as "
                    "root to check what a user without the udev rule is told";
  }
  WriteBytes(state(), R"({"keypads": [{"id": "a", "serialNumber": "VNK-A", "openable": false},
                                      {"id": "b", "serialNumber": "VNK-B"}]})");
  // The other user's own folders; the node of keypad a is root's alone, as without the rule.
  const auto own = dir_.path() / "other";
  std::filesystem::create_directories(own / "bench");
  std::filesystem::permissions(own, std::filesystem::perms::all);
  std::filesystem::permissions(own / "bench", std::filesystem::perms::all);
  runAs_ = "XDG_DATA_HOME='" + own.string() + "' NAVKEYPAD_BENCH_FOLDER='" +
           (own / "bench").string() + "' ";
  program_ = kTwin + "setpriv --reuid=40001 --regid=40001 --clear-groups " + kCli;
  const Outcome refused = run("--device 1-a status");
  EXPECT_EQ(refused.status, 4) << refused.output;
  EXPECT_THAT(refused.output, HasSubstr("cannot be opened (Failed to open a device with path "
                                        "'/dev/hidraw1': Permission denied"));
  EXPECT_THAT(refused.output, HasSubstr("/lib/udev/rules.d/60-velto-navigation-keypad.rules"));
  const Outcome opened = run("--device 1-b status");
  EXPECT_EQ(opened.status, 0) << opened.output;
}

TEST_F(CommandLineOnTwin, ASecondProgramAtAKeypadIsToldWhoHasIt) {
  WriteBytes(state(), R"({"keypads": [{"id": "a", "serialNumber": "VNK-A",
                                       "faults": {"responseDelayMs": 200}}]})");
  WriteBytes(dir_.file("settings.ini"),
             " [appSettings]\r\n CodeTableValues=0,80,0,79,0,81,0,82,0,40,\r\n "
             "LedBrightness=3\r\n KeypadLayout=2\r\n FirstUp=Yes\r\n");
  // One twin, one keypad, two programs: the second starts while the first applies settings.
  program_ = kTwin + "sh -c";
  const Outcome both =
      run("\"" + kCli + " apply --file '" + dir_.file("settings.ini") +
          "' >/dev/null 2>&1 & sleep 0.5; " + kCli + " status; echo second \\$?; wait\"");
  EXPECT_THAT(both.output,
              MatchesRegex("navkeypad: the keypad at 1-a is in use by navkeypad, process [0-9]+, "
                           "user [a-z0-9]+, since [0-9:]+; close that program, then try "
                           "again.\nsecond 1\n"));
}

// What the real program did on the twin replays in the virtual program, and the other way round:
// the same calls, answers and words on both buses.
TEST_F(CommandLineOnTwin, ARecordingOnOneBusReplaysOnTheOther) {
  const std::string virtualCli = std::string("'") + NAVKEYPAD_VIRTUAL_CLI + "'";
  const std::string firmware =
      std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
  const std::string recording = dir_.file("recording.json");
  for (const std::string& command : {std::string("status"), "upgrade " + firmware}) {
    for (const bool onTwin : {true, false}) {
      SCOPED_TRACE(command + (onTwin ? " recorded on the twin" : " recorded on the virtual bus"));
      WriteBytes(state(),
                 R"({"keypads": [{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 7}]})");
      program_ = "NAVKEYPAD_RECORD='" + recording + "' " + (onTwin ? kTwin + kCli : virtualCli);
      const Outcome recorded = run(command);
      program_ = "NAVKEYPAD_REPLAY='" + recording + "' " + (onTwin ? virtualCli : kCli);
      const Outcome replayed = run(command);
      EXPECT_EQ(recorded.status, 0) << recorded.output;
      EXPECT_EQ(replayed.status, 0) << replayed.output;
      EXPECT_EQ(replayed.output, recorded.output);
    }
  }
}
