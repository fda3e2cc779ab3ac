// The real command line on the keypad twin, where only the real stack can tell: nodes and ports
// as udev gives them, a node its user may not open, two programs at one keypad.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "bus_processes.h"

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

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

// Nodes and ports as udev gives them, and nodes as the package's rule leaves them: keypad c's is
// root's alone, as without the rule, and another user is told what to do.
TEST_F(CommandLineOnTwin, AKeypadIsPickedByItsNodeOrItsPortAndOpenedAsItsNodeAllows) {
  WriteBytes(state(), R"({"keypads": [{"id": "a", "serialNumber": "VNK-A", "port": "1-1.4"},
                                      {"id": "b", "serialNumber": "VNK-B", "port": "2-3"},
                                      {"id": "c", "serialNumber": "VNK-C", "port": "3-1",
                                       "openable": false}]})");
  // Interfaces 0 and 1 of each keypad, in the order they arrived.
  EXPECT_THAT(run("list").output, HasSubstr("/dev/hidraw1  at 1-1.4  serial VNK-A  firmware 1.04\n"
                                            "/dev/hidraw3  at 2-3  serial VNK-B  firmware 1.04\n"));
  const auto own = dir_.path() / "other";  // another user's folders
  std::filesystem::create_directories(own / "bench");
  std::filesystem::permissions(own, std::filesystem::perms::all);
  std::filesystem::permissions(own / "bench",
                               std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  const std::string other = "XDG_DATA_HOME='" + own.string() + "' NAVKEYPAD_BENCH_FOLDER='" +
                            (own / "bench").string() + "' ";
  for (const auto& [device, asOther, status, says] :
       {std::tuple{"/dev/hidraw3", false, 0, "Serial number   VNK-B\n"},
        {"1-1.4", false, 0, "Serial number   VNK-A\n"},
        {"2-3", false, 0, "Keypad          /dev/hidraw3\nPort            2-3\n"},
        {"/dev/hidraw0", false, 3, "no keypad at /dev/hidraw0"},  // the keyboard interface
        {"1-9", false, 3, "no keypad at 1-9"},
        {"3-1", false, 0, "Serial number   VNK-C\n"},  // root may
        {"3-1", true, 4,
         "cannot be opened (Failed to open a device with path '/dev/hidraw5': Permission denied)."
         "\nThe navkeypad package installs the rule /lib/udev/rules.d/60-velto-navigation-keypad"},
        {"1-1.4", true, 0, "Serial number   VNK-A\n"}}) {
    if (asOther && geteuid() != 0) continue;  // only root runs a program as another user
    runAs_ = asOther ? other : "NAVKEYPAD_BENCH_FOLDER='" + dir_.file("bench") + "' ";
    program_ =
        kTwin + (asOther ? "setpriv --reuid=40001 --regid=40001 --clear-groups " : "") + kCli;
    const Outcome ran = run(std::string("--device ") + device + " status");
    EXPECT_EQ(ran.status, status) << device << "\n" << ran.output;
    EXPECT_THAT(ran.output, HasSubstr(says)) << device;
  }
}

TEST_F(CommandLineOnTwin, ASecondProgramAtAKeypadIsToldWhoHasIt) {
  WriteBytes(state(), R"({"keypads": [{"id": "a", "faults": {"responseDelayMs": 400}}]})");
  // One twin, one keypad, two programs: the second starts while the first sets the brightness.
  program_ = kTwin + "sh -c";
  const Outcome both = run("\"" + kCli + " brightness 3 >/dev/null 2>&1 & sleep 0.5; " + kCli +
                           " status; echo second \\$?; wait\"");
  EXPECT_THAT(both.output,
              MatchesRegex("navkeypad: the keypad at 1-a is in use by navkeypad, process [0-9]+, "
                           "user [a-z0-9]+, since [0-9:]+; close that program, then try "
                           "again.\nsecond 1\n"));
}

// A station runs while a technician upgrades a keypad attached before it started: the keypad,
// its loader and the keypad coming back are the technician's upgrade's, and the station leaves
// them, logging nothing.
TEST_F(CommandLineOnTwin, AStationLeavesAKeypadAnotherProgramUpgrades) {
  storeFile_ = dir_.file("bench/bench.sqlite3");
  WriteBytes(state(), R"({"keypads": [{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 2,
                                       "keypadType": 0}]})");
  program_ = kTwin + "sh -c";
  const std::string fw = firmware();
  const Outcome both =
      run("\"" + kCli + " station '" + fw + "' --expect-version 2.01 --json --idle-timeout 4 > '" +
          dir_.file("station.out") + "' 2>&1 & sleep 1; " + kCli + " upgrade '" + fw +
          "'; echo upgrade \\$?; wait\"");
  EXPECT_THAT(both.output, HasSubstr("serial number and settings restored.\nupgrade 0\n"));
  const std::string station = ReadBytes(dir_.file("station.out"));
  EXPECT_THAT(station, HasSubstr("\"keypads\": 0")) << station;
  EXPECT_THAT(station, Not(HasSubstr("\"keypad\":"))) << station;
  const auto keypad = readState()["keypads"][0];
  EXPECT_EQ(keypad["serialNumber"], "VNK-A");
  EXPECT_EQ(keypad["ledBrightness"], 2);
  EXPECT_EQ(keypad["keypadType"], 0);
  EXPECT_EQ(serviceLog().size(), 1u);
}

// Ctrl-C, SIGTERM and a closed terminal at any moment of an upgrade: a keypad sent into its loader
// is finished first (its new firmware, its own serial number and settings, no record left);
// one stopped before it left its application keeps everything it had.
TEST_F(CommandLineOnTwin, ASignalNeverCutsAnUpgradeShort) {
  storeFile_ = dir_.file("bench/bench.sqlite3");
  program_ = kTwin + "sh -c";
  for (const char* signal : {"INT", "TERM", "HUP"}) {
    // A slow keypad, so that the signal comes in the switch, the download or the restore.
    for (const char* after : {"0.3", "1.2", "2.4", "3.6"}) {
      SCOPED_TRACE(std::string(signal) + " after " + after + " s");
      WriteBytes(state(), R"({"keypads": [{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 3,
          "faults": {"responseDelayMs": 150, "loaderReplyDelayMs": 10}}]})");
      // A shell starts a program in the background with Ctrl-C ignored: given back to it here.
      const Outcome ran =
          run("\"env --default-signal=INT " + kCli + " upgrade '" + firmware() + "' & sleep " +
              after + "; kill -" + signal + " \\$!; wait \\$!; echo ended \\$?\"");
      const auto keypad = readState()["keypads"][0];
      EXPECT_EQ(keypad["serialNumber"], "VNK-A") << ran.output;
      EXPECT_EQ(keypad["ledBrightness"], 3);
      EXPECT_EQ(keypad.value("mode", "application"), "application");
      EXPECT_THAT(keptSerials(), ::testing::IsEmpty());
      if (keypad["firmwareVersion"] == "2.01") {
        EXPECT_THAT(ran.output, HasSubstr("it is finished first")) << ran.output;
        EXPECT_THAT(ran.output, HasSubstr("ended 0")) << ran.output;
      }
    }
  }
}
