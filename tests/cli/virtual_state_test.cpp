// The virtual programs keep their bus in NAVKEYPAD_VIRTUAL_STATE between runs: an upgrade cut
// short by a pulled cable in one process is finished by a later one, and two programs on one
// bus take turns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <array>
#include <cstdio>
#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

#include "support/program_lock.h"
#include "temp_dir.h"

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct Outcome {
  int status;
  std::string output;  // standard output and standard error
};

class VirtualState : public ::testing::Test {
 protected:
  std::string command(const std::string& arguments) const {
    return "XDG_DATA_HOME='" + dir_.file("data") + "' NAVKEYPAD_VIRTUAL_STATE='" + state() + "' '" +
           NAVKEYPAD_VIRTUAL_CLI + "' " + arguments + " 2>&1";
  }
  Outcome run(const std::string& arguments) {
    std::FILE* pipe = popen(command(arguments).c_str(), "r");
    std::string output;
    std::array<char, 4096> chunk;
    while (std::size_t got = std::fread(chunk.data(), 1, chunk.size(), pipe)) {
      output.append(chunk.data(), got);
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }
  std::string state() const { return dir_.file("bus.json"); }
  std::string recordFile() const {
    return dir_.file("data/VeltoInterface/PendingFirmwareUpgrade.json");
  }
  json readState() const { return json::parse(ReadBytes(state())); }
  static std::string firmware() {
    return std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
  }

  TempDir dir_;
};

}  // namespace

TEST_F(VirtualState, AKeptRecordGoesOnlyToItsOwnKeypadInALaterRun) {
  WriteBytes(state(), R"({"keypads": [{"serialNumber": "VNK-A", "ledBrightness": 5,
      "keypadType": 2, "customTable": [0, 80, 0, 79, 0, 81, 0, 82, 2, 40],
      "faults": {"unplugAfterLoaderReports": 70}}]})");
  const Outcome cut = run("upgrade " + firmware());
  EXPECT_EQ(cut.status, 1) << cut.output;
  EXPECT_THAT(cut.output,
              HasSubstr("the keypad left the bus before its new firmware was verified"));
  // Off the bus half way: the reset vector was erased, so at power up it is its loader.
  const json keypadA = readState()["keypads"][0];
  EXPECT_EQ(keypadA["mode"], "loader");

  // A is set aside; B, without a serial number, is upgraded with its own settings.
  WriteBytes(state(),
             R"({"keypads": [{"serialNumber": "", "ledBrightness": 4, "keypadType": 1}]})");
  const Outcome other = run("upgrade " + firmware());
  EXPECT_EQ(other.status, 0) << other.output;
  EXPECT_THAT(other.output, HasSubstr("The settings kept for keypad VNK-A stay in"));
  json keypad = readState()["keypads"][0];
  EXPECT_EQ(keypad["serialNumber"], "");
  EXPECT_EQ(keypad["ledBrightness"], 4);

  WriteBytes(state(), json({{"keypads", {keypadA}}}).dump());
  const Outcome finished = run("upgrade " + firmware());
  EXPECT_EQ(finished.status, 0) << finished.output;
  EXPECT_THAT(finished.output, HasSubstr("finishing keypad VNK-A's upgrade"));
  keypad = readState()["keypads"][0];
  EXPECT_EQ(keypad["serialNumber"], "VNK-A");
  EXPECT_EQ(keypad["ledBrightness"], 5);
  EXPECT_FALSE(std::filesystem::exists(recordFile()));
}

TEST_F(VirtualState, EachFailureAtOrAfterTheSwitchIsFinishedByTheNextRun) {
  struct Case {
    const char* faults;
    const char* says;
    bool recordKept;
    const char* resumeWith;  // what the first run advised
  };
  for (const Case& row :
       {Case{R"({"refuseCommands": [12]})", "refused to enter its firmware loader", false, ""},
        Case{R"({"unplugAfterCommands": 2})", "did not confirm the switch", true, ""},
        Case{R"({"corruptLoaderWrite": 3})", "the keypad waits in its loader", true, ""},
        Case{R"({"refusePassword": true})", "the keypad waits in its loader", true, ""},
        Case{R"({"refuseCommands": [7]})", "Unable to set Keypad Type..", true,
             "--settings-of VNK-A "},
        Case{R"({"refuseCommands": [9]})", "Unable to Write Default..", true, ""}}) {
    WriteBytes(state(), std::string(R"({"keypads": [{"serialNumber": "VNK-A", "ledBrightness": 4,
        "keypadType": 2, "faults": )") +
                            row.faults + "}]}");
    const Outcome failed = run("upgrade " + firmware());
    EXPECT_EQ(failed.status, 1) << failed.output;
    EXPECT_THAT(failed.output, HasSubstr(row.says));
    EXPECT_EQ(std::filesystem::exists(recordFile()), row.recordKept) << row.faults;
    json bus = readState();
    bus["keypads"][0]["faults"] = json::object();
    WriteBytes(state(), bus.dump());
    const Outcome finished = run(std::string("upgrade ") + row.resumeWith + firmware());
    EXPECT_EQ(finished.status, 0) << finished.output;
    const json keypad = readState()["keypads"][0];
    EXPECT_EQ(keypad["firmwareVersion"], "2.01") << row.faults;
    EXPECT_EQ(keypad["serialNumber"], "VNK-A");
    EXPECT_EQ(keypad["ledBrightness"], 4);
    EXPECT_EQ(keypad["storedDefaults"]["keypadType"], 2);
    EXPECT_FALSE(std::filesystem::exists(recordFile()));
  }
}

TEST_F(VirtualState, AWholeBusIsAppliedAndUpgradedOneKeypadAtATime) {
  // Three keypads, listed out of order; B's cable is pulled during its download.
  WriteBytes(state(), R"({"keypads": [{"serialNumber": "VNK-C"},
      {"serialNumber": "VNK-A", "firmwareVersion": "2.01"},
      {"serialNumber": "VNK-B", "faults": {"unplugAfterLoaderReports": 70}}]})");
  const std::string settings = dir_.file("provisioning.ini");
  WriteBytes(settings,
             " [appSettings]\r\n SerialNumber=X\r\n FirmwareFile=\r\n CodeTableValues=0,80,0,79,0,"
             "81,0,82,0,40,\r\n LedBrightness=3\r\n KeypadLayout=2\r\n FirstUp=Yes\r\n");
  const Outcome applied = run("apply --all --json --file '" + settings + "'");
  EXPECT_EQ(applied.status, 0) << applied.output;
  const json summary = json::parse(applied.output);
  ASSERT_EQ(summary["keypads"].size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(summary["keypads"][i]["serialNumber"], std::string("VNK-") + "ABC"[i]);
    EXPECT_EQ(summary["keypads"][i]["result"], "ok");
  }
  const json provisioned = readState();
  for (const json& keypad : provisioned["keypads"]) {
    EXPECT_EQ(keypad["storedDefaults"]["ledBrightness"], 3);
    EXPECT_EQ(keypad["storedDefaults"]["keypadType"], 2);
    EXPECT_EQ(keypad["storedDefaults"]["customTable"], json::parse("[0,80,0,79,0,81,0,82,0,40]"));
  }

  // One keypad of the three, by the serial number it carries, in a process of its own.
  const Outcome picked = run("--serial VNK-B brightness 8");
  EXPECT_EQ(picked.status, 0) << picked.output;
  EXPECT_EQ(readState()["keypads"][2]["ledBrightness"], 8);
  EXPECT_EQ(readState()["keypads"][0]["ledBrightness"], 3);

  const std::string upgrade = "upgrade --all --expect-version 2.01 " + firmware();
  const Outcome cut = run(upgrade);
  EXPECT_EQ(cut.status, 1) << cut.output;
  EXPECT_THAT(cut.output, HasSubstr("Summary:\n  VNK-A  2.01 -> 2.01  skipped: already on 2.01\n"
                                    "  VNK-B  1.04 -> ?  failed: the keypad left the bus"));
  EXPECT_THAT(cut.output, HasSubstr("  VNK-C  1.04 -> 2.01  ok\n"));
  // Plugged in again, B waits in its loader; the same command finishes it first.
  json bus = readState();
  for (json& keypad : bus["keypads"]) keypad["faults"] = json::object();
  WriteBytes(state(), bus.dump());
  const Outcome resumed = run(upgrade);
  EXPECT_EQ(resumed.status, 0) << resumed.output;
  EXPECT_THAT(resumed.output, HasSubstr("finishing keypad VNK-B's upgrade"));
  const json upgraded = readState();
  for (const json& keypad : upgraded["keypads"]) {
    EXPECT_EQ(keypad["firmwareVersion"], "2.01");
    // Each keeps its own settings through the upgrade, stored as its defaults.
    EXPECT_EQ(keypad["ledBrightness"], keypad["serialNumber"] == "VNK-B" ? 8 : 3);
    EXPECT_EQ(keypad["storedDefaults"]["ledBrightness"], keypad["ledBrightness"]);
  }
  EXPECT_FALSE(std::filesystem::exists(recordFile()));
}

TEST_F(VirtualState, TwoProgramsOnOneBusTakeTurns) {
  // Slow answers keep the upgrade on the bus long enough to be seen there.
  WriteBytes(state(), R"({"keypads": [{"faults": {"responseDelayMs": 100}}]})");
  std::FILE* upgrade = popen(command("upgrade " + firmware()).c_str(), "r");
  // The status is asked for once the upgrade holds the bus.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (support::ProgramLock probe; probe.take(state() + ".lock", false); probe.release()) {
    ASSERT_LT(std::chrono::steady_clock::now(), giveUp);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const Outcome status = run("status");
  EXPECT_THAT(status.output, HasSubstr("Firmware        2.01\n"));
  EXPECT_EQ(pclose(upgrade), 0);
}

TEST_F(VirtualState, AReplayWritesNoFileOfTheUsers) {
  WriteBytes(state(), R"({"keypads": [{}]})");
  const std::string config = dir_.file("data/VeltoInterface/USBNavigationKeypadUtilityCfg.ini");
  const std::string elsewhere = dir_.file("elsewhere.ini");
  const std::string recording = dir_.file("save.jsonl");
  for (const std::string& save : {std::string("save"), "save --file '" + elsewhere + "'"}) {
    ASSERT_EQ(run("--record '" + recording + "' " + save).status, 0);
    std::filesystem::remove(config);
    std::filesystem::remove(elsewhere);
    const Outcome replayed = run("--replay '" + recording + "'");
    EXPECT_EQ(replayed.status, 0) << replayed.output;
    EXPECT_FALSE(std::filesystem::exists(config) || std::filesystem::exists(elsewhere)) << save;
  }
}

TEST_F(VirtualState, EveryFieldIsOptionalAndABadFileIsNamed) {
  WriteBytes(state(), R"({"keypads": [{"serialNumber": "ONLY"}, {}]})");
  const Outcome listed = run("list");
  EXPECT_EQ(listed.status, 0) << listed.output;
  EXPECT_THAT(listed.output, HasSubstr("serial ONLY  firmware 1.04"));
  EXPECT_THAT(listed.output, HasSubstr("serial VNK000123  firmware 1.04"));

  // Faults are data: a status byte for one command, a cable pulled after one command.
  WriteBytes(state(), R"({"keypads": [{"faults": {"nonZeroStatusCommands": [2]}}]})");
  EXPECT_EQ(run("brightness 3").status, 1);
  EXPECT_EQ(run("layout custom").status, 0);
  WriteBytes(state(), R"({"keypads": [{"faults": {"unplugAfterCommands": 1}}]})");
  const Outcome pulled = run("save --file " + dir_.file("s.ini"));  // stores, then is gone
  EXPECT_EQ(pulled.status, 1) << pulled.output;
  EXPECT_EQ(readState()["keypads"][0]["faults"], json::object());  // spent, and back on the bus
  EXPECT_EQ(run("brightness 3").status, 0);

  std::filesystem::create_directories(dir_.path() / "folder");
  const Outcome folder = run("--replay '" + dir_.file("folder") + "' status");
  EXPECT_EQ(folder.status, 2);
  EXPECT_THAT(folder.output, HasSubstr("is a folder, not a file"));
  for (const char* bad : {"{\"keypads\": [{\"mode\": \"sleeping\"}]}", "not json",
                          "{\"keypads\": [{\"ledBrightness\": 300}]}",
                          "{\"keypads\": [{\"faults\": {\"sneeze\": true}}]}"}) {
    WriteBytes(state(), bad);
    const Outcome refused = run("status");
    EXPECT_EQ(refused.status, 2) << bad;
    EXPECT_THAT(refused.output, HasSubstr("navkeypad: " + state() + ": not a virtual bus state"))
        << bad;
    EXPECT_EQ(ReadBytes(state()), bad);  // left for whoever wrote it
  }
}
