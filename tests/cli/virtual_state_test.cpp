// The virtual programs keep their bus in NAVKEYPAD_VIRTUAL_STATE between runs: an upgrade cut
// short by a pulled cable in one process is finished by a later one, and two programs on one
// bus take turns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <array>
#include <cstdio>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include <chrono>
#include <thread>

#include "firmware/pending_upgrade.h"
#include "support/program_lock.h"
#include "temp_dir.h"

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct Outcome {
  int status;
  std::string output;  // standard output, and standard error where asked for
};

class VirtualState : public ::testing::Test {
 protected:
  // Standard output and, with `errors`, standard error.
  std::string command(const std::string& arguments, bool errors = true) const {
    return "XDG_DATA_HOME='" + dir_.file("data") + "' NAVKEYPAD_VIRTUAL_STATE='" + state() + "' " +
           runAs_ + "'" + NAVKEYPAD_VIRTUAL_CLI + "' " + arguments +
           (errors ? " 2>&1" : " 2>/dev/null");
  }
  Outcome run(const std::string& arguments, bool errors = true) {
    return Ended(popen(command(arguments, errors).c_str(), "r"));
  }
  // What a program started with popen printed, once it ended, and how it ended.
  static Outcome Ended(std::FILE* pipe) {
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
  std::vector<std::string> serviceLog() const {
    std::vector<std::string> lines;
    std::istringstream log(ReadBytes(dir_.file("data/VeltoInterface/service-log.jsonl")));
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> keptSerials(const std::string& folder = {}) const {
    std::vector<std::string> serials;
    const std::string file =
        folder.empty() ? recordFile() : folder + "/PendingFirmwareUpgrade.json";
    for (const auto& record : navkeypad::firmware::ReadPendingUpgrades(file).records)
      serials.push_back(record.serial());
    return serials;
  }
  static std::string firmware() {
    return std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
  }

  TempDir dir_;
  std::string runAs_;  // a command that runs the program as another user
};

}  // namespace

// A keypad is who it says it is: a record goes to no other keypad, in any order of reruns,
// arrivals and failures, and no run says done while a record of its keypad is kept.
TEST_F(VirtualState, ARecordGoesOnlyToTheKeypadItWasKeptFor) {
  struct Step {
    std::string arguments;  // FW stands for the firmware file
    int status;
    std::string says;
    bool clearFaults = false;  // afterwards, as a technician would mend what failed
    std::string unplug = {};   // afterwards, the keypad of this id is taken off the bus
    std::string plug = {};     // afterwards, this keypad is put on the bus
    // The service-log line the step ends with: "RESULT[/STEP] PATH SERIAL BEFORE->AFTER", or
    // "-" for none; not checked when empty.
    std::string logged = {};
  };
  struct Scenario {
    std::string name;
    std::string bus;
    const char* records;  // kept before the first step
    std::vector<Step> steps;
    std::map<std::string, std::pair<std::string, int>> keypads;  // id: serial, brightness
    std::vector<std::string> kept;                               // serial numbers
  };
  const std::string sameCommand = "upgrade --all --expect-version 2.01 FW";
  const std::string settings = dir_.file("provisioning.ini");
  WriteBytes(settings,
             " [appSettings]\r\n CodeTableValues=0,80,0,79,0,81,0,82,0,40,\r\n "
             "LedBrightness=3\r\n KeypadLayout=2\r\n FirstUp=Yes\r\n");
  std::vector<Scenario> scenarios = {
      {"a keypad set aside while one without a serial number is upgraded",
       R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 5,
            "faults": {"unplugAfterLoaderReports": 70}}])",
       "",
       {{"upgrade FW", 1, "left the bus before its new firmware was verified", true, "a",
         R"({"id": "b", "serialNumber": "", "ledBrightness": 4})",
         "failed/download virtual:a:1.1 VNK-A 1.04->"},
        {"upgrade FW", 0, "The settings kept for keypad VNK-A stay in", false, "b", "a"},
        {"upgrade FW", 0, "finishing keypad VNK-A's upgrade", false, "", "b",
         "ok virtual:a:1.1 VNK-A 1.04->2.01"}},
       {{"a", {"VNK-A", 5}}, {"b", {"", 4}}},
       {}},
      {"a keypad plugged in where the upgraded one was pulled at its reset",
       R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 5,
            "faults": {"unplugAfterLoaderReports": 90}},
           {"id": "b", "serialNumber": "VNK-B", "ledBrightness": 2, "port": "1-a",
            "faults": {"arrivesWhenAnotherIsPulled": true}}])",
       "",
       {{"upgrade FW", 1,
         "A keypad with another serial number (VNK-B) came and was left untouched. Its serial "
         "number and settings are kept"},
        {"upgrade --settings-of VNK-A FW", 2, "2 keypads are attached", true, "b"},
        {"upgrade --settings-of VNK-A FW", 0, "serial number and settings restored"}},
       {{"a", {"VNK-A", 5}}},
       {}},
      {"two keypads with one serial number, the first cut off mid-download",
       R"([{"id": "a", "serialNumber": "VNK-S", "ledBrightness": 3,
            "faults": {"unplugAfterLoaderReports": 70}}])",
       "",
       {{"upgrade FW", 1, "left the bus", true, "",
         R"({"id": "b", "serialNumber": "VNK-S", "ledBrightness": 7})"},
        {sameCommand, 1,
         "The keypad waiting in its firmware loader at 1-a has the serial number VNK-S too", false,
         "b"},
        {sameCommand, 0, "  VNK-S at 1-a  1.04 -> 2.01  ok\n", false, "", "b"}},
       {{"a", {"VNK-S", 3}}, {"b", {"VNK-S", 7}}},
       {}},
      {"a refused store as defaults in a batch, then the same command",
       R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 4,
            "faults": {"refuseCommands": [9]}}])",
       "",
       {{"upgrade --all /nowhere.txt", 2, "Cannot use the firmware file /nowhere.txt"},
        {sameCommand, 1, "VNK-A at 1-a  1.04 -> 2.01  failed: Unable to Write Default"},
        {sameCommand, 1, "Still kept: the serial number and settings of keypad VNK-A", true},
        {sameCommand, 0, "VNK-A at 1-a  2.01 -> 2.01  ok"}},
       {{"a", {"VNK-A", 4}}},
       {}},
      // Listed, and so at paths, out of serial-number order.
      {"a whole bus upgraded in serial-number order, one cut off and finished by the same command",
       R"([{"id": "a", "serialNumber": "VNK-C", "ledBrightness": 3},
           {"id": "b", "serialNumber": "VNK-A", "firmwareVersion": "2.01", "ledBrightness": 3,
            "storedDefaults": {"ledBrightness": 3}},
           {"id": "c", "serialNumber": "VNK-B", "ledBrightness": 8,
            "faults": {"unplugAfterLoaderReports": 70}}])",
       "",
       {{sameCommand, 1,
         "Summary:\n  VNK-A at 1-b  2.01 -> 2.01  skipped: already on 2.01\n  VNK-B at 1-c  1.04 "
         "-> ?  "
         "failed: the keypad left the bus",
         true},
        {sameCommand, 0, "  VNK-B at 1-c  1.04 -> 2.01  ok\n"}},
       {{"b", {"VNK-A", 3}}, {"c", {"VNK-B", 8}}, {"a", {"VNK-C", 3}}},
       {}},
      {"two records and one loader",
       R"([{"id": "a", "serialNumber": "", "mode": "loader"}])",
       R"({"upgrades": [
           {"serialNumberHex": "564E4B2D41", "keypadType": 0, "ledBrightness": 5,
            "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-a"},
           {"serialNumberHex": "564E4B2D42", "keypadType": 0, "ledBrightness": 6,
            "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-a"}]})",
       {{"upgrade FW", 2, "upgrade --settings-of VNK-B ", false, "", "", "failed/check   ->"},
        {"status", 3, "--settings-of SERIAL FIRMWARE.txt', SERIAL being whichever of VNK-A, VNK-B"},
        {"list", 0,
         "waiting in its firmware loader; the settings of one of VNK-A, VNK-B are kept; finish "
         "its upgrade with 'navkeypad-virtual upgrade --settings-of SERIAL FIRMWARE.txt', SERIAL "
         "being whichever of VNK-A, VNK-B is that keypad's\n"},
        {"--serial VNK-A upgrade FW", 0, "finishing keypad VNK-A's upgrade"}},
       {{"a", {"VNK-A", 5}}},
       {"VNK-B"}},
      // ADVICE runs the command the step before advised, as printed.
      {"a tray of keypads, one of them in its loader",
       R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 5,
            "faults": {"unplugAfterLoaderReports": 70}},
           {"id": "b", "serialNumber": "", "ledBrightness": 2},
           {"id": "l", "serialNumber": "", "mode": "loader"}])",
       R"({"serialNumberHex": "564E4B2D4C", "keypadType": 0, "ledBrightness": 6,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-l"})",
       {{"list", 0,
         "virtual:l:1.0  at 1-l  waiting in its firmware loader; the settings of keypad VNK-L are "
         "kept; "
         "finish its upgrade with 'navkeypad-virtual upgrade FIRMWARE.txt'\n"},
        {"status --all", 1,
         "VNK-A          application  1.04      5           default  1-a   virtual:a:1.1\n"
         "(none)         loader       -         -           -        1-l   virtual:l:1.0\n"
         "The keypad at virtual:l:1.0 (1-l) waits in its firmware loader (the settings of keypad "
         "VNK-L "
         "are kept); finish its upgrade with 'navkeypad-virtual upgrade FIRMWARE.txt'.\n"},
        {"--serial VNK-L status", 3,
         "a keypad waits in its firmware loader. If that is keypad VNK-L, finish its upgrade with "
         "'navkeypad-virtual --serial VNK-L upgrade FIRMWARE.txt'."},
        {"upgrade --all --dry-run FW", 0,
         "  VNK-L at 1-l  ? -> ?  would finish: its upgrade, first (the settings of keypad VNK-L "
         "are "
         "kept)\n"},
        {"ADVICE", 0, "finishing keypad VNK-L's upgrade", false, "", "",
         "ok virtual:l:1.1 VNK-L ->2.01"},
        {sameCommand, 1,
         "if it waits in its loader, run: navkeypad-virtual upgrade --all --expect-version "
         "2.01 /",
         true},
        {"ADVICE", 0, "  VNK-A at 1-a  1.04 -> 2.01  ok\n"}},
       {{"a", {"VNK-A", 5}}, {"b", {"", 2}}, {"l", {"VNK-L", 6}}},
       {}},
      // Listed out of serial-number order.
      {"a whole bus applied",
       R"([{"id": "c", "serialNumber": "VNK-C"},
           {"id": "a", "serialNumber": "VNK-A", "firmwareVersion": "2.01"},
           {"id": "b", "serialNumber": "VNK-B"}])",
       "",
       {{"apply --all --file '" + settings + "'", 0,
         "Summary:\n  VNK-A at 1-a  2.01 -> 2.01  ok\n  VNK-B at 1-b  1.04 -> 1.04  ok\n  VNK-C at "
         "1-c  1.04 -> 1.04  ok\n"}},
       {{"a", {"VNK-A", 3}}, {"b", {"VNK-B", 3}}, {"c", {"VNK-C", 3}}},
       {}},
      {"a keypad that comes back on another version than the batch expects",
       R"([{"id": "a", "serialNumber": "VNK-A"}])",
       "",
       {{"upgrade --all --expect-version 2.01 " + std::string(NAVKEYPAD_SOURCE_DIR) +
             "/resources/firmware/keypad-firmware-2.00.txt",
         1,
         "VNK-A at 1-a  1.04 -> 2.00  failed: it reports firmware 2.00, not 2.01: "
         "keypad-firmware-2.00.txt holds version 2.00 (its serial number and settings were "
         "restored). Check the file, or give --expect-version the version it holds.\nThe "
         "firmware file holds another version than 2.01: check the file",
         false, "", "", "failed/version virtual:a:1.1 VNK-A 1.04->2.00"}},
       {{"a", {"VNK-A", 5}}},
       {}},
      {"a keypad in its loader beside one with the serial number its record keeps",
       R"([{"id": "t", "serialNumber": "VNK-S", "ledBrightness": 7},
           {"id": "l", "serialNumber": "", "mode": "loader"}])",
       R"({"serialNumberHex": "564E4B2D53", "keypadType": 0, "ledBrightness": 6,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-l"})",
       {{"upgrade FW", 2, "but keypad VNK-S answers in its application elsewhere", false, "t"},
        {"upgrade FW", 0, "finishing keypad VNK-S's upgrade", false, "", "t",
         "ok virtual:l:1.1 VNK-S ->2.01"}},
       {{"t", {"VNK-S", 7}}, {"l", {"VNK-S", 6}}},
       {}},
      {"a switch unconfirmed beside another keypad",
       R"([{"id": "a", "serialNumber": "VNK-A", "faults": {"unplugAfterCommands": 3}},
           {"id": "b", "serialNumber": "VNK-B"}])",
       "",
       {{"--serial VNK-A upgrade FW", 1,
         "To retry, run: navkeypad-virtual --serial VNK-A upgrade /", true},
        {"ADVICE", 0, "serial number and settings restored"}},
       {{"a", {"VNK-A", 5}}, {"b", {"VNK-B", 5}}},
       {}},
      {"a keypad without a serial number whose restore failed",
       R"([{"id": "a", "serialNumber": "", "ledBrightness": 6,
            "faults": {"refuseCommands": [7]}}])",
       "",
       {{"upgrade FW", 1, "then run: navkeypad-virtual upgrade --settings-of '' ", true, "",
         R"({"id": "b", "serialNumber": ""})"},
        {sameCommand, 0, "  (no serial number) at 1-a  2.01 -> 2.01  ok\n"}},
       {{"a", {"", 6}}, {"b", {"", 5}}},
       {}},
      {"a keypad pulled at its reset, one without a serial number plugged in elsewhere",
       R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 5,
            "faults": {"unplugAfterLoaderReports": 90}},
           {"id": "b", "serialNumber": "", "ledBrightness": 4,
            "faults": {"arrivesWhenAnotherIsPulled": true}}])",
       "",
       {{"upgrade FW", 1,
         "A keypad without a serial number came at 1-b and was left untouched; if it is the "
         "upgraded keypad, moved from 1-a, plug it back in there"},
        {"--device virtual:a:1.1 upgrade FW", 0, "serial number and settings restored"}},
       {{"a", {"VNK-A", 5}}, {"b", {"", 4}}},
       {}},
      {"a keypad in its loader plugged in during another keypad's download",
       R"([{"id": "l", "serialNumber": "", "mode": "loader", "arriveAfterMs": 1500},
           {"id": "x", "serialNumber": "VNK-X", "ledBrightness": 7}])",
       "",
       {{"upgrade FW", 0, "serial number and settings restored", false, "", "",
         "ok virtual:x:1.1 VNK-X 1.04->2.01"}},
       {{"x", {"VNK-X", 7}}, {"l", {"", 5}}},
       {}},
      {"a record kept for an attached keypad beside another keypad's loader",
       R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 3},
           {"id": "l", "serialNumber": "", "mode": "loader"}])",
       R"({"serialNumberHex": "564E4B2D41", "keypadType": 0, "ledBrightness": 3,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "port": "1-a"})",
       {{"upgrade --settings-of VNK-A FW", 2, "for the keypad that left its application at 1-a"},
        {"upgrade FW", 0, "no serial number or settings were restored"}},
       {{"a", {"VNK-A", 3}}, {"l", {"", 5}}},
       {"VNK-A"}},
      {"two keypads in their loaders, each finished with the record kept where it waits",
       R"([{"id": "l1", "serialNumber": "", "mode": "loader"},
           {"id": "l2", "serialNumber": "", "mode": "loader"}])",
       R"({"upgrades": [
           {"serialNumberHex": "564E4B2D32", "keypadType": 0, "ledBrightness": 7,
            "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-l2"},
           {"serialNumberHex": "564E4B2D31", "keypadType": 0, "ledBrightness": 6,
            "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-l1"}]})",
       {{"upgrade FW", 2, "2 keypads wait in their firmware loaders; nothing was sent."},
        {"--device virtual:l1:1.0 upgrade --settings-of VNK-2 FW", 2,
         "no settings of keypad VNK-2"},
        {"--device virtual:l1:1.0 upgrade FW", 0, "finishing keypad VNK-1's upgrade"},
        {"upgrade FW", 0, "finishing keypad VNK-2's upgrade"}},
       {{"l1", {"VNK-1", 6}}, {"l2", {"VNK-2", 7}}},
       {}},
      // Plugged into the port VNK-A left from, but with another USB serial string; and one
      // without a serial number whose record was kept at another port.
      {"keypads without a serial number that are not the ones whose records are kept",
       R"([{"id": "z", "serialNumber": "", "port": "1-a", "ledBrightness": 2},
           {"id": "b", "serialNumber": "", "ledBrightness": 4}])",
       R"({"upgrades": [
           {"serialNumberHex": "564E4B2D41", "keypadType": 0, "ledBrightness": 3,
            "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-a",
            "usbSerial": "a"},
           {"keypadType": 0, "ledBrightness": 6, "codeTable": [0,1,0,2,0,3,0,4,0,5],
            "downloaded": true, "port": "1-gone"}]})",
       {{"--device virtual:z:1.1 upgrade FW", 0, "The settings kept for keypad VNK-A stay in"},
        {"--device virtual:b:1.1 upgrade FW", 0,
         "The settings kept for a keypad without a serial number stay in"}},
       {{"z", {"", 2}}, {"b", {"", 4}}},
       {"VNK-A", ""}},
      {"a batch told to give one keypad's settings to all",
       R"([{"id": "a", "serialNumber": ""}, {"id": "b", "serialNumber": ""}])",
       R"({"serialNumberHex": "564E4B2D41", "keypadType": 0, "ledBrightness": 3,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "port": "1-z"})",
       {{"upgrade --all --settings-of VNK-A FW", 2, "--settings-of names one keypad's"}},
       {{"a", {"", 5}}, {"b", {"", 5}}},
       {"VNK-A"}},
      {"serial numbers that another keypad or a kept record has",
       R"([{"id": "a", "serialNumber": "", "ledBrightness": 1},
           {"id": "b", "serialNumber": "VNK-B", "ledBrightness": 1},
           {"id": "r", "serialNumber": "VNK-R", "ledBrightness": 1}])",
       R"({"serialNumberHex": "564E4B2D52", "keypadType": 0, "ledBrightness": 1,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true})",
       {{"--device virtual:a:1.1 serial set VNK-B", 2,
         "the keypad at 1-b (virtual:b:1.1) has the serial number VNK-B already; give --force"},
        {"--device virtual:a:1.1 serial set VNK-R", 2,
         "the serial number and settings of keypad VNK-R are kept in"},
        {"--device virtual:r:1.1 serial set VNK-S --force", 0,
         "set all the same: this keypad's own settings are kept in"},
        {"--device virtual:a:1.1 serial set VNK-A", 0, "Serial number set to VNK-A."}},
       {{"a", {"VNK-A", 1}}, {"b", {"VNK-B", 1}}, {"r", {"VNK-S", 1}}},
       {"VNK-R"}},
  };
  // A keypad without a serial number plugged in elsewhere while the upgraded one restarts, on
  // the version the upgrade brings and on an older one: only where it is tells it apart.
  for (const char* version : {"2.01", "1.04"}) {
    scenarios.push_back(
        {std::string("a keypad without a serial number on ") + version +
             " plugged in while the upgraded one restarts",
         R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 7, "keypadType": 1,
              "restartMs": 3000},
             {"id": "n", "serialNumber": "", "ledBrightness": 2, "arriveAfterMs": 3500,
              "firmwareVersion": ")" +
             std::string(version) + "\"}]",
         "",
         {{"upgrade FW", 0, "Firmware 2.01 installed; serial number and settings restored.", false,
           "", "", "ok virtual:a:1.1 VNK-A 1.04->2.01"}},
         {{"a", {"VNK-A", 7}}, {"n", {"", 2}}},
         {}});
  }
  // Each failure at or after the switch is finished by the next run.
  for (const auto& [faults, says, step, resume, before] :
       {std::tuple{R"({"refuseCommands": [12]})", "refused to enter its firmware loader",
                   "switch to the loader", "upgrade FW", "1.04"},
        {R"({"unplugAfterCommands": 2})", "did not confirm the switch", "switch to the loader",
         "upgrade FW", "1.04"},
        {R"({"corruptLoaderWrite": 3})", "waits in its loader; its settings are kept in",
         "download", "upgrade FW", "1.04"},
        {R"({"refusePassword": true})", "the keypad waits in its loader", "download", "upgrade FW",
         "1.04"},
        {R"({"refuseCommands": [7]})", "Unable to set Keypad Type..", "restore",
         "upgrade --settings-of VNK000123 FW", "2.01"}}) {
    scenarios.push_back(
        {faults,
         std::string(R"([{"id": "a", "ledBrightness": 4, "faults": )") + faults + "}]",
         "",
         {{"upgrade FW", 1, says, true, "", "",
           std::string("failed/") + step + " virtual:a:1.1 VNK000123 1.04->"},
          {resume, 0, "", false, "", "",
           std::string("ok virtual:a:1.1 VNK000123 ") + before + "->2.01"}},
         {{"a", {"VNK000123", 4}}},
         {}});
  }
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    std::map<std::string, json> setAside;
    std::filesystem::remove(recordFile());
    WriteBytes(state(), std::string(R"({"keypads": )") + scenario.bus + "}");
    if (*scenario.records) {
      std::filesystem::create_directories(std::filesystem::path(recordFile()).parent_path());
      WriteBytes(recordFile(), scenario.records);
    }
    std::string advised;
    for (const Step& step : scenario.steps) {
      std::string arguments = step.arguments == "ADVICE" ? advised : step.arguments;
      if (const auto at = arguments.find("FW"); at != std::string::npos)
        arguments.replace(at, 2, firmware());
      const std::size_t logged = serviceLog().size();
      const Outcome ran = run(arguments);
      if (const auto at = ran.output.rfind("navkeypad-virtual "); at != std::string::npos) {
        const auto from = at + std::string("navkeypad-virtual ").size();
        advised = ran.output.substr(from, ran.output.find_first_of("'\n", from) - from);
        if (const auto fw = advised.find("FIRMWARE.txt"); fw != std::string::npos)
          advised.replace(fw, 12, firmware());
      }
      EXPECT_EQ(ran.status, step.status) << step.arguments << "\n" << ran.output;
      EXPECT_THAT(ran.output, HasSubstr(step.says)) << step.arguments;
      if (!step.logged.empty()) {
        const auto log = serviceLog();
        std::string line = "-";
        if (log.size() > logged) {
          const json last = json::parse(log.back());
          line = last["result"].get<std::string>() + (last.contains("step") ? "/" : "") +
                 last.value("step", "") + " " + last.value("path", "") + " " +
                 last.value("serialNumber", "") + " " + last.value("firmwareBefore", "") + "->" +
                 last.value("firmwareAfter", "");
        }
        EXPECT_EQ(line, step.logged) << step.arguments;
      }
      json bus = readState();
      json& keypads = bus["keypads"];
      for (std::size_t i = keypads.size(); i-- > 0;) {
        if (step.clearFaults) keypads[i]["faults"] = json::object();
        if (keypads[i]["id"] != step.unplug) continue;
        setAside[step.unplug] = keypads[i];
        keypads.erase(i);
      }
      if (!step.plug.empty())
        keypads.push_back(step.plug[0] == '{' ? json::parse(step.plug) : setAside[step.plug]);
      WriteBytes(state(), bus.dump());
    }
    const json ended = readState();  // kept alive for the loop
    for (const json& keypad : ended["keypads"]) {
      const auto& [serial, brightness] = scenario.keypads.at(keypad["id"]);
      EXPECT_EQ(keypad["serialNumber"], serial) << keypad["id"];
      EXPECT_EQ(keypad["ledBrightness"], brightness) << keypad["id"];
      EXPECT_EQ(keypad["storedDefaults"]["ledBrightness"], brightness) << keypad["id"];
    }
    EXPECT_EQ(keptSerials(), scenario.kept);
  }
}

TEST_F(VirtualState, TwoUpgradesAtOnceOnTwoBusesKeepBothRecords) {
  // Each program reads the records at its start and writes them once its keypad is in its
  // loader; slow answers make the two overlap.
  const std::string other = dir_.file("other-bus.json");
  for (const auto& [file, serial] : {std::pair{state(), "VNK-A"}, std::pair{other, "VNK-B"}})
    WriteBytes(file,
               std::string(R"({"keypads": [{"serialNumber": ")") + serial +
                   R"(", "faults": {"responseDelayMs": 50, "unplugAfterLoaderReports": 70}}]})");
  // Started from two sessions, one without the other's runtime folder (su, cron, ssh).
  std::string second = "XDG_RUNTIME_DIR=" + dir_.file("") + " " + command("upgrade " + firmware());
  std::FILE* first = popen(command("upgrade " + firmware()).c_str(), "r");
  std::FILE* next = popen(second.replace(second.find(state()), state().size(), other).c_str(), "r");
  EXPECT_NE(pclose(first), 0);
  EXPECT_NE(pclose(next), 0);
  EXPECT_THAT(keptSerials(), ::testing::UnorderedElementsAre("VNK-A", "VNK-B"));
}

// Two stations of one user, started from sessions with different runtime folders, give each
// number once.
TEST_F(VirtualState, TwoStationsAtOnceGiveEachNumberOnce) {
  constexpr int kEach = 6;
  std::string blank;
  for (int i = 0; i < kEach; ++i) blank += std::string(i ? "," : "") + R"({"serialNumber": ""})";
  std::vector<std::FILE*> stations;
  for (const char* runtime : {"one", "two"}) {
    const std::string bus = dir_.file(std::string(runtime) + ".json");
    WriteBytes(bus, "{\"keypads\": [" + blank + "]}");
    std::string line =
        "XDG_RUNTIME_DIR=" + dir_.file(runtime) + " " +
        command("station --present --serial-from VNK000500 --count " + std::to_string(kEach));
    stations.push_back(popen(line.replace(line.find(state()), state().size(), bus).c_str(), "r"));
  }
  for (std::FILE* station : stations) EXPECT_EQ(Ended(station).status, 0);
  std::set<std::string> given;
  for (const char* runtime : {"one", "two"}) {
    const json bus = json::parse(ReadBytes(dir_.file(std::string(runtime) + ".json")));
    for (const json& keypad : bus["keypads"])
      given.insert(keypad["serialNumber"].get<std::string>());
  }
  EXPECT_EQ(given.size(), 2u * kEach);
  EXPECT_EQ(*given.rbegin(), "VNK000511");
}

// Two users of one computer share its bench: one sequence, and the records of each other's
// keypads.
TEST_F(VirtualState, TwoUsersOfOneComputerShareItsBench) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "runs the programs as two other users, which only root can; run the suite "
                    "as root to check that two users share one bench";
  }
  constexpr int kBenchGroup = 40100;
  // The bench as the package makes it, and a desk (the bus) both users reach.
  for (const char* folder : {"bench", "desk"}) {
    std::filesystem::create_directory(dir_.path() / folder);
    ASSERT_EQ(chown((dir_.path() / folder).c_str(), 0, kBenchGroup), 0);
    std::filesystem::permissions(dir_.path() / folder, static_cast<std::filesystem::perms>(02775));
  }
  const auto onDesk = [&](const std::string& name, const std::string& keypads) {
    WriteBytes(dir_.file("desk/" + name), "{\"keypads\": [" + keypads + "]}");
    std::filesystem::permissions(dir_.path() / "desk" / name, std::filesystem::perms::all);
  };
  const auto as = [&](int user, const std::string& bus, const std::string& arguments,
                      const std::string& groups = "--groups=40100") {
    const std::string home = dir_.file("home-" + std::to_string(user));
    std::filesystem::create_directories(home);
    if (chown(home.c_str(), user, user) != 0) ADD_FAILURE() << home;
    runAs_ = "env XDG_DATA_HOME=" + home + " NAVKEYPAD_BENCH_FOLDER=" + dir_.file("bench") +
             " NAVKEYPAD_VIRTUAL_STATE=" + dir_.file("desk/" + bus) +
             " setpriv --reuid=" + std::to_string(user) + " --regid=" + std::to_string(user) + " " +
             groups + " ";
    return run(arguments);
  };
  for (const auto& [user, serial] : {std::pair{40001, "VNK000500"}, {40002, "VNK000501"}}) {
    onDesk("blank.json", R"({"serialNumber": ""})");
    EXPECT_EQ(as(user, "blank.json", "station --present --serial-from VNK000500 --count 1").status,
              0);
    EXPECT_EQ(json::parse(ReadBytes(dir_.file("desk/blank.json")))["keypads"][0]["serialNumber"],
              serial);
  }
  // One user's keypad left in its loader is finished by the other, with the first one's record.
  onDesk("bus.json", R"({"id": "a", "serialNumber": "VNK-A", "ledBrightness": 5,
                         "faults": {"corruptLoaderWrite": 3}})");
  EXPECT_THAT(as(40001, "bus.json", "upgrade " + firmware()).output,
              HasSubstr("waits in its loader"));
  json bus = json::parse(ReadBytes(dir_.file("desk/bus.json")));
  bus["keypads"][0].erase("faults");
  onDesk("bus.json", bus["keypads"][0].dump());
  const Outcome finished = as(40002, "bus.json", "upgrade " + firmware());
  EXPECT_EQ(finished.status, 0) << finished.output;
  bus = json::parse(ReadBytes(dir_.file("desk/bus.json")));
  EXPECT_EQ(bus["keypads"][0]["serialNumber"], "VNK-A");
  EXPECT_EQ(bus["keypads"][0]["ledBrightness"], 5);
  // A user outside the group is told how to join before a station takes any keypad.
  const Outcome outside = as(
      40003, "blank.json", "station --present --serial-from VNK000500 --count 1", "--clear-groups");
  EXPECT_EQ(outside.status, 2);
  EXPECT_THAT(outside.output, HasSubstr("join the group navkeypad (sudo usermod -a -G navkeypad"));
  runAs_.clear();
}

// What a user kept in their own folder before the computer kept it is brought over, none lost.
TEST_F(VirtualState, AUsersOwnFilesAreBroughtOverToTheComputersFolder) {
  const std::filesystem::path own = dir_.path() / "data" / "VeltoInterface";
  const std::filesystem::path bench = dir_.path() / "bench";
  std::filesystem::create_directories(own);
  std::filesystem::create_directories(bench);
  const auto record = [](const char* serialHex, const char* keptAt) {
    return std::string(R"({"serialNumberHex": ")") + serialHex +
           R"(", "keypadType": 0, "ledBrightness": 5, "codeTable": [0,1,0,2,0,3,0,4,0,5],
               "port": "1-a", "keptAt": ")" +
           keptAt + "\"}";
  };
  const auto line = [](int day) {
    return "{\"time\": \"2026-12-0" + std::to_string(day) + "\"}\n";
  };
  const struct {
    const char* name;
    std::string own, bench, merged;  // merged: what the computer's holds afterwards
  } files[] = {
      {"PendingFirmwareUpgrade.json", record("41", "T1"),
       R"({"upgrades": [)" + record("41", "T1") + "," + record("42", "T2") + "]}", ""},
      {"serial-number-sequences.json", R"({"A001": "A007", "B01": "B05"})",
       R"({"A001": "A004", "B01": "B10"})", "{\n  \"A001\": \"A007\",\n  \"B01\": \"B10\"\n}\n"},
      {"service-log.jsonl", line(2), line(1) + line(3), line(1) + line(2) + line(3)}};
  for (const auto& file : files)
    WriteBytes(own / file.name, file.own), WriteBytes(bench / file.name, file.bench);
  runAs_ = "env NAVKEYPAD_BENCH_FOLDER=" + bench.string() + " ";
  const Outcome listed = run("list");
  runAs_.clear();
  for (const auto& file : files) {
    EXPECT_THAT(listed.output, HasSubstr((own / file.name).string() + " was brought over to " +
                                         (bench / file.name).string()));
    EXPECT_FALSE(std::filesystem::exists(own / file.name)) << file.name;
    EXPECT_EQ(file.merged.empty() ? "" : ReadBytes(bench / file.name), file.merged);
  }
  EXPECT_EQ(keptSerials(bench.string()), (std::vector<std::string>{"A", "B"}));
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
  // Without a folder of its own it does not run at all.
  setenv("TMPDIR", dir_.file("nowhere").c_str(), 1);
  const Outcome refused = run("--replay '" + recording + "'");
  unsetenv("TMPDIR");
  EXPECT_EQ(refused.status, 2) << refused.output;
  EXPECT_THAT(refused.output,
              HasSubstr("set TMPDIR to a folder that exists); nothing was replayed"));
  EXPECT_FALSE(std::filesystem::exists(config) || std::filesystem::exists(elsewhere));
}

TEST_F(VirtualState, WithJsonEveryRunPrintsOneDocumentAndItsExitStatusWhateverFails) {
  const std::string bus = R"({"keypads": [{}]})";
  const std::string recording = dir_.file("brightness.jsonl");
  WriteBytes(state(), bus);
  ASSERT_EQ(run("--record '" + recording + "' brightness 3").status, 0);
  std::filesystem::create_directories(dir_.path() / "folder");
  const std::string badBus = state() + ": not a virtual bus state";  // left for whoever wrote it
  // A bus that cannot be written back loses the upgrade: no success, and no line that says it.
  const auto unwritable = [&] {
    WriteBytes(state() + ".lock", "");
    std::filesystem::permissions(state(), std::filesystem::perms::owner_read |
                                              std::filesystem::perms::group_read |
                                              std::filesystem::perms::others_read);
    std::filesystem::remove(dir_.path() / "data" / "VeltoInterface" / "service-log.jsonl");
    if (geteuid() != 0) return;
    // Root writes any file; the program runs as a user who may not.
    runAs_ = "setpriv --reuid=40001 --regid=40001 --clear-groups ";
    for (const char* folder : {"data", "data/VeltoInterface"})
      ASSERT_EQ(chown((dir_.path() / folder).c_str(), 40001, 40001), 0);
  };
  const struct {
    std::string bus, arguments;
    int status;
    std::string error;
    std::function<void()> arrange = [] {};
  } rows[] = {
      {R"({"keypads": [{"mode": "sleeping"}]})", "status --json", 2, badBus},
      {"not json", "status --json", 2, badBus},
      {R"({"keypads": [{"ledBrightness": 300}]})", "status --json", 2, badBus},
      {R"({"keypads": [{"faults": {"sneeze": true}}]})", "status --json", 2,
       badBus + ": there is no fault named \"sneeze\""},
      {bus, "--replay /nowhere.jsonl status --json", 2, "/nowhere.jsonl is missing"},
      {bus, "--replay '" + dir_.file("folder") + "' status --json", 2, "is a folder, not a file"},
      {bus, "--replay '" + recording + "' brightness 4 --json", 1, "expected {\"call\":\"write\""},
      {bus, "--record --json status", 2, "--record needs a value."},
      {bus, "status --device --json", 2, "--device needs a value."},
      {bus, "upgrade --json " + firmware(), 2,
       "cannot be written; what was done is not in the service log either", unwritable},
  };
  for (const auto& row : rows) {
    WriteBytes(state(), row.bus);
    row.arrange();
    const Outcome ran = run(row.arguments, false);
    runAs_.clear();
    EXPECT_EQ(ran.status, row.status) << row.arguments;
    const json document = json::parse(ran.output, nullptr, false);  // exactly one
    ASSERT_FALSE(document.is_discarded()) << row.arguments << ": " << ran.output;
    EXPECT_EQ(document["exitStatus"], row.status) << row.arguments;
    EXPECT_THAT(document.value("error", ""), HasSubstr(row.error)) << row.arguments;
    const bool busKept = row.error.starts_with(badBus) || row.arguments.starts_with("upgrade");
    EXPECT_TRUE(!busKept || ReadBytes(state()) == row.bus) << row.arguments;
  }
  EXPECT_THAT(serviceLog(), ::testing::IsEmpty());
}

// Every field of a keypad may be left out (the identity table's keypads leave out most); its
// faults are data: a status byte for one command, a cable pulled after one command.
// A bench: keypads plugged in one after another are each finished on their own, each once, and
// only those that arrive; a failed one is finished when it is plugged in again.
TEST_F(VirtualState, AStationFinishesEachKeypadThatArrivesAndOnlyThose) {
  const std::string site = dir_.file("site.ini");
  WriteBytes(site,
             " [appSettings]\r\n CodeTableValues=0,80,0,79,0,81,0,82,0,40,\r\n "
             "LedBrightness=3\r\n KeypadLayout=2\r\n FirstUp=Yes\r\n");
  const std::string upgradeAll = "FW --expect-version 2.01 --config SITE --idle-timeout 30";
  const std::string present = R"({"id": "p", "serialNumber": "VNK-P"})";
  struct Row {
    std::string bus;      // keypads in the order they arrive
    std::string options;  // after "station --json"; FW and SITE stand for the files
    int status;
    // Each JSON line: "SERIAL BEFORE->AFTER RESULT[/STEP] DONE,..." a keypad, then
    // "ENDED KEYPADS/OK/FAILED/SKIPPED"; or "error MESSAGE".
    std::vector<std::string> lines;
    std::map<std::string, std::pair<std::string, int>> keypads;  // id: serial, brightness
    const char* records = "";                                    // kept before the run
  } rows[] = {
      {present + R"(,
        {"id": "new", "serialNumber": "", "arriveAfterMs": 500},
        {"id": "current", "serialNumber": "VNK-C", "firmwareVersion": "2.01",
         "arriveAfterMs": 20000},
        {"id": "old", "serialNumber": "VNK-O", "arriveAfterMs": 40000},
        {"id": "cut", "serialNumber": "VNK-X", "arriveAfterMs": 60000,
         "faults": {"unplugAfterLoaderReports": 70, "pluggedAgainAfterMs": 20000}},
        {"id": "nameless", "serialNumber": "", "arriveAfterMs": 70000})",
       upgradeAll + " --serial-from VNK-0998",
       1,
       {"VNK-0998 1.04->2.01 ok upgraded,serial number,settings", "VNK-C 2.01->2.01 ok settings",
        "VNK-O 1.04->2.01 ok upgraded,settings", "VNK-X 1.04-> failed/download ",
        "VNK-0999 1.04->2.01 ok upgraded,serial number,settings",
        "VNK-X 1.04->2.01 ok record finished,settings", "idle 6/5/1/0"},
       {{"p", {"VNK-P", 5}},
        {"new", {"VNK-0998", 3}},
        {"current", {"VNK-C", 3}},
        {"old", {"VNK-O", 3}},
        {"cut", {"VNK-X", 3}},
        {"nameless", {"VNK-0999", 3}}}},
      // The sequence goes on where the last run stopped, past numbers already given.
      {R"({"id": "n1", "serialNumber": "", "arriveAfterMs": 100},
          {"id": "n2", "serialNumber": "VNK-1001", "arriveAfterMs": 10000},
          {"id": "n3", "serialNumber": "", "arriveAfterMs": 20000})",
       "--serial-from VNK-0998 --idle-timeout 30",
       0,
       {"VNK-1000 1.04->1.04 ok serial number", "VNK-1001 1.04->1.04 ok ",
        "VNK-1002 1.04->1.04 ok serial number", "idle 3/3/0/0"},
       {{"n1", {"VNK-1000", 5}}, {"n2", {"VNK-1001", 5}}, {"n3", {"VNK-1002", 5}}}},
      // A sequence of its own, past the numbers the service log names.
      {R"({"id": "n4", "serialNumber": "", "arriveAfterMs": 100},
          {"id": "n5", "serialNumber": "", "arriveAfterMs": 10000})",
       "--serial-from VNK-0997 --idle-timeout 30",
       0,
       {"VNK-0997 1.04->1.04 ok serial number", "VNK-1003 1.04->1.04 ok serial number",
        "idle 2/2/0/0"},
       {{"n4", {"VNK-0997", 5}}, {"n5", {"VNK-1003", 5}}}},
      // A keypad that cannot say its serial number may have the next one: none is given.
      {R"({"id": "s", "serialNumber": "VNK-3000", "faults": {"silent": true}},
          {"id": "n", "serialNumber": "", "arriveAfterMs": 100})",
       "--serial-from VNK-3000 --idle-timeout 10",
       1,
       {" 1.04-> failed/serial number ", "idle 1/0/1/0"},
       {{"s", {"VNK-3000", 5}}, {"n", {"", 5}}}},
      // Two keypads with one serial number, one after the other: told apart by where they are.
      {R"({"id": "t1", "serialNumber": "VNK-T", "arriveAfterMs": 100},
          {"id": "t2", "serialNumber": "VNK-T", "arriveAfterMs": 10000})",
       "--config SITE --idle-timeout 10",
       1,
       {"VNK-T 1.04->1.04 ok settings", "VNK-T 1.04-> failed/check ", "idle 2/1/1/0"},
       {{"t1", {"VNK-T", 3}}, {"t2", {"VNK-T", 5}}}},
      // A field return waiting in its loader gets no record kept for another keypad, which is
      // finished when its own keypad arrives where it left.
      {R"({"id": "f", "serialNumber": "", "mode": "loader", "arriveAfterMs": 100},
          {"id": "r", "serialNumber": "", "mode": "loader", "port": "1-r",
           "arriveAfterMs": 8000})",
       "FW --expect-version 2.01 --serial-from VNK-2000 --idle-timeout 10",
       0,
       {"VNK-2000 ->2.01 ok upgraded,serial number", "VNK-R 1.04->2.01 ok record finished",
        "idle 2/2/0/0"},
       {{"f", {"VNK-2000", 5}}, {"r", {"VNK-R", 6}}},
       R"({"serialNumberHex": "564E4B2D52", "keypadType": 0, "ledBrightness": 6,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-r",
           "firmwareVersion": "1.04"})"},
      // Another keypad with its serial number is attached: the two could not be told apart.
      {present + R"(, {"id": "twin", "serialNumber": "VNK-P", "arriveAfterMs": 100})",
       "FW --expect-version 2.01 --idle-timeout 10",
       1,
       {"VNK-P 1.04-> failed/switch to the loader ", "idle 1/0/1/0"},
       {{"p", {"VNK-P", 5}}, {"twin", {"VNK-P", 5}}}},
      // One without a serial number plugged in elsewhere while the first restarts is left to the
      // first's upgrade, then taken.
      {R"({"id": "a", "serialNumber": "VNK-A", "arriveAfterMs": 100, "restartMs": 3000},
          {"id": "b", "serialNumber": "", "arriveAfterMs": 3500, "ledBrightness": 1})",
       "FW --expect-version 2.01 --idle-timeout 10",
       0,
       {"VNK-A 1.04->2.01 ok upgraded", " 1.04->2.01 ok upgraded", "idle 2/2/0/0"},
       {{"a", {"VNK-A", 5}}, {"b", {"", 1}}}},
      // Already on the version, but its restore is owed.
      {R"({"id": "r", "serialNumber": "VNK-R", "firmwareVersion": "2.01", "arriveAfterMs": 100})",
       "FW --expect-version 2.01 --idle-timeout 10",
       0,
       {"VNK-R 2.01->2.01 ok record finished", "idle 1/1/0/0"},
       {{"r", {"VNK-R", 6}}},
       R"({"serialNumberHex": "564E4B2D52", "keypadType": 0, "ledBrightness": 6,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true})"},
      {present,
       "FW --expect-version 2.02 --present --count 1",
       1,
       {"VNK-P 1.04->2.01 failed/version ", "count 1/0/1/0"},
       {{"p", {"VNK-P", 5}}}},
      {present + R"(, {"id": "later", "serialNumber": "VNK-L", "arriveAfterMs": 100})",
       "--config SITE --present --count 1",
       0,
       {"VNK-P 1.04->1.04 ok settings", "count 1/1/0/0"},
       {{"p", {"VNK-P", 3}}, {"later", {"VNK-L", 5}}}},
      // Pulled while it shows its result, and plugged in again.
      {R"({"id": "a", "serialNumber": "VNK-A", "arriveAfterMs": 100,
           "faults": {"unplugAfterCommands": 8, "pluggedAgainAfterMs": 1000}})",
       "--config SITE --idle-timeout 5",
       0,
       {"VNK-A 1.04->1.04 ok settings", "VNK-A 1.04-> skipped ", "idle 1/1/0/1"},
       {{"a", {"VNK-A", 3}}}},
      {present,
       "/nowhere.txt --expect-version 2.01 --present",
       2,
       {"error Cannot use the firmware file /nowhere.txt: it is missing."},
       {{"p", {"VNK-P", 5}}}},
  };
  for (const Row& row : rows) {
    const std::size_t logged = serviceLog().size();
    WriteBytes(state(), "{\"keypads\": [" + row.bus + "]}");
    if (*row.records) WriteBytes(recordFile(), row.records);
    std::string options = row.options;
    for (const auto& [name, file] : {std::pair{"FW", firmware()}, {"SITE", site}}) {
      if (const auto at = options.find(name); at != std::string::npos)
        options.replace(at, std::string(name).size(), file);
    }
    SCOPED_TRACE(options);
    const Outcome ran = run("station --json " + options, false);
    EXPECT_EQ(ran.status, row.status);
    std::vector<std::string> lines;
    std::istringstream printed(ran.output);
    for (std::string text; std::getline(printed, text);) {
      const json line = json::parse(text);
      std::string done;
      for (const json& one : line.value("done", json::array()))
        done += (done.empty() ? "" : ",") + one.get<std::string>();
      lines.push_back(line.contains("error") ? "error " + line["error"].get<std::string>()
                      : line.contains("keypad")
                          ? line["serialNumber"].get<std::string>() + " " +
                                line["firmwareBefore"].get<std::string>() + "->" +
                                line["firmwareAfter"].get<std::string>() + " " +
                                line["result"].get<std::string>() +
                                (line.contains("step") ? "/" : "") + line.value("step", "") + " " +
                                done
                          : line["ended"].get<std::string>() + " " +
                                std::to_string(line["keypads"].get<int>()) + "/" +
                                std::to_string(line["ok"].get<int>()) + "/" +
                                std::to_string(line["failed"].get<int>()) + "/" +
                                std::to_string(line["skipped"].get<int>()));
    }
    EXPECT_EQ(lines, row.lines);
    const json ended = readState();  // kept alive for the loop
    for (const json& keypad : ended["keypads"]) {
      const auto& [serial, brightness] = row.keypads.at(keypad["id"]);
      EXPECT_EQ(keypad["serialNumber"], serial) << keypad["id"];
      EXPECT_EQ(keypad["ledBrightness"], brightness) << keypad["id"];
      EXPECT_EQ(keypad.value("storedDefaults", json::object()).value("ledBrightness", 5),
                brightness)
          << keypad["id"];
    }
    // One service-log line a keypad the station took, none for one passed over as done.
    const auto taken = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
      return line.find(" ok ") != std::string::npos || line.find(" failed/") != std::string::npos;
    });
    EXPECT_EQ(serviceLog().size() - logged, static_cast<std::size_t>(taken));
    EXPECT_THAT(keptSerials(), ::testing::IsEmpty());
  }
  // Where each sequence goes on.
  EXPECT_EQ(
      json::parse(ReadBytes(dir_.file("data/VeltoInterface/serial-number-sequences.json"))),
      json::parse(R"({"VNK-0997": "VNK-1004", "VNK-0998": "VNK-1003", "VNK-2000": "VNK-2001"})"));
}
