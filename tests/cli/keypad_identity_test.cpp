// A keypad is who it says it is, on the virtual bus and on the keypad twin alike: the same
// scenarios, the same words, the same keypads and records at the end. On the twin the real
// command line finds its keypads through hidapi, udev and hidraw; its nodes are named back to
// the virtual paths the scenarios use; a keypad is picked by the port it is in, as on either bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "bus_processes.h"

using nlohmann::json;
using ::testing::HasSubstr;

namespace {

class KeypadIdentity : public VirtualState {
 protected:
#ifdef NAVKEYPAD_TWIN
  void SetUp() override {
    program_ = std::string("'") + NAVKEYPAD_TWIN + "' '" + NAVKEYPAD_REAL_CLI + "'";
    // The real program keeps its records, and locks its keypads, where the virtual one keeps
    // them: in a folder of this test's own.
    runAs_ = "NAVKEYPAD_BENCH_FOLDER='" + dir_.file("data/VeltoInterface") +
             "' NAVKEYPAD_TWIN_NODES='" + dir_.file("nodes") + "' ";
    storeFile_ = dir_.file("data/VeltoInterface/bench.sqlite3");
    PlaceStandInLoaderTexts(dir_.path() / "data");
  }
  std::string programName_ = "navkeypad";
#else
  // The program's name as its advice prints it.
  std::string programName_ = "navkeypad-virtual";
#endif

  // The program run on this bus, its output in the scenarios' words.
  Outcome runOnBus(const std::string& arguments) {
#ifdef NAVKEYPAD_TWIN
    std::filesystem::remove(dir_.file("nodes"));
    Outcome ran = run(arguments);
    nodes_.clear();
    std::ifstream nodes(dir_.file("nodes"));
    for (std::string node, id, interface; nodes >> node >> id >> interface;)
      nodes_[node] = "virtual:" + id + ":1." + interface;
    // The longest names first: /dev/hidraw1 begins /dev/hidraw12.
    for (auto node = nodes_.rbegin(); node != nodes_.rend(); ++node) {
      for (auto at = ran.output.find(node->first); at != std::string::npos;
           at = ran.output.find(node->first, at))
        ran.output.replace(at, node->first.size(), node->second);
    }
    return ran;
#else
    return run(arguments);
#endif
  }
  std::string virtualPath(const std::string& path) const {
    const auto named = nodes_.find(path);
    return named == nodes_.end() ? path : named->second;
  }
  static std::string OnThisBus(std::string words) {
#ifdef NAVKEYPAD_TWIN
    for (auto at = words.find("navkeypad-virtual"); at != std::string::npos;
         at = words.find("navkeypad-virtual", at))
      words.erase(at + 9, 8);
#endif
    return words;
  }
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

  // Each scenario from a bus of its own, its steps in turn: what each says and ends with, the
  // line it logs, and the keypads and records at the end. A step "ADVICE" runs the last command
  // the program advised, exactly as it printed it.
  void RunScenarios(const std::vector<Scenario>& scenarios) {
    for (const Scenario& scenario : scenarios) {
      SCOPED_TRACE(scenario.name);
      std::map<std::string, json> setAside;
      forgetStore();
      WriteBytes(state(), std::string(R"({"keypads": )") + scenario.bus + "}");
      keepRecords(scenario.records);
      std::string advised;
      for (const Step& step : scenario.steps) {
        std::string arguments = step.arguments == "ADVICE" ? advised : step.arguments;
        if (const auto at = arguments.find("FW"); at != std::string::npos)
          arguments.replace(at, 2, firmware());
        const std::size_t logged = serviceLog().size();
        const Outcome ran = runOnBus(arguments);
        if (const auto at = ran.output.rfind(programName_ + " "); at != std::string::npos) {
          const auto from = at + programName_.size() + 1;
          advised = ran.output.substr(from, ran.output.find_first_of("'\n", from) - from);
          if (const auto fw = advised.find("FIRMWARE.txt"); fw != std::string::npos)
            advised.replace(fw, 12, firmware());
        }
        EXPECT_EQ(ran.status, step.status) << step.arguments << "\n" << ran.output;
        EXPECT_THAT(ran.output, HasSubstr(OnThisBus(step.says))) << step.arguments;
        if (!step.logged.empty()) {
          const auto log = serviceLog();
          std::string line = "-";
          if (log.size() > logged) {
            const json last = json::parse(log.back());
            line = last["result"].get<std::string>() + (last.contains("step") ? "/" : "") +
                   last.value("step", "") + " " + virtualPath(last.value("path", "")) + " " +
                   last.value("serialNumber", "") + " " + last.value("firmwareBefore", "") + "->" +
                   last.value("firmwareAfter", "");
          }
          EXPECT_EQ(line, step.logged) << step.arguments;
        }
        // A failure is said once: what went to standard error is not said again in a line (with
        // --json it is also the document's, for the script).
        std::istringstream lines(arguments.find("--json") == std::string::npos ? ran.output : "");
        for (std::string line; std::getline(lines, line);) {
          const std::string prefix = "navkeypad: ";
          if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 40) continue;
          const std::string said = line.substr(prefix.size());
          EXPECT_EQ(ran.output.find(said), ran.output.rfind(said)) << said;
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
  std::map<std::string, std::string> nodes_;  // a node of the last run: the virtual path
};

}  // namespace

// A keypad is who it says it is: a record goes to no other keypad, in any order of reruns,
// arrivals and failures, and no run says done while a record of its keypad is kept.
TEST_F(KeypadIdentity, ARecordGoesOnlyToTheKeypadItWasKeptFor) {
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
        {"upgrade FW", 0, "note: The settings kept for keypad VNK-A stay in", false, "b", "a"},
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
       // Both kept on the bench: the upgraded one back where it was, the other moved over.
       {{"upgrade FW", 1,
         "A keypad with another serial number (VNK-B) came and was left untouched. Its serial "
         "number and settings are kept",
         false, "b", R"({"id": "b", "serialNumber": "VNK-B", "ledBrightness": 2, "port": "1-b"})"},
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
        // Every keypad has its numbered line, and the log a line for each, one passed over too.
        {sameCommand, 0,
         "[2/3] VNK-B at virtual:c:1.1: finished from its loader above\n[3/3] VNK-C at "
         "virtual:a:1.1: already on 2.01, passed over\nSummary:",
         false, "", "", "skipped virtual:a:1.1 VNK-C 2.01->2.01"}},
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
         "1-c  1.04 -> 1.04  ok\n3 keypads (3 tries), 3 ok, 0 failed.\n"}},
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
         "restored). Check the file, or give --expect-version the version it holds.\n1 keypad "
         "(1 try), 0 ok, 1 failed.\nThe firmware file holds another version than 2.01",
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
        {"--device 1-a upgrade FW", 0, "serial number and settings restored"}},
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
        {"--device 1-l1 upgrade --settings-of VNK-2 FW", 2, "no settings of keypad VNK-2"},
        {"--device 1-l1 upgrade FW", 0, "finishing keypad VNK-1's upgrade"},
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
       {{"--device 1-a upgrade FW", 0, "note: The settings kept for keypad VNK-A stay in"},
        {"--device 1-b upgrade FW", 0, "its settings restored (it had no serial number)"}},
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
       {{"--device 1-a serial set VNK-B", 2,
         "the keypad at 1-b (virtual:b:1.1) has the serial number VNK-B already; give --force"},
        {"--device 1-a serial set VNK-R", 2,
         "the serial number and settings of keypad VNK-R are kept for an upgrade"},
        {"--device 1-r serial set VNK-S --force", 0,
         "set all the same: this keypad's own settings are kept under VNK-R"},
        // A number given to a keypad that is not here, now or before: never again, forced or not.
        {"--device 1-r serial set VNK-T --force", 0, "Serial number set to VNK-T."},
        {"--device 1-a serial set VNK-S --force", 2, "VNK-S was given at"},
        {"--device 1-a serial set VNK-NEW", 0, "Serial number set to VNK-NEW."}},
       {{"a", {"VNK-NEW", 1}}, {"b", {"VNK-B", 1}}, {"r", {"VNK-T", 1}}},
       {"VNK-R"}},
      // Keypad A's record kept at 1-a; C reports A's number at 1-c: a second keypad with that
      // number, or A moved, which only the user can tell.
      {"a keypad with the number of a record kept at another port",
       R"([{"id": "c", "serialNumber": "VNK-A", "ledBrightness": 4}])",
       R"({"serialNumberHex": "564E4B2D41", "keypadType": 0, "ledBrightness": 2,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-a"})",
       {{"status", 0, "upgrade --settings-of VNK-A FIRMWARE.txt' if this keypad is that one"},
        {sameCommand, 1, "Nothing was sent to the keypads that failed: do as their lines say"},
        {"upgrade FW", 2,
         "are kept for the keypad that left its application at 1-a; keypad VNK-A at 1-c", false, "",
         "", "failed/switch to the loader virtual:c:1.1 VNK-A 1.04->"},
        {"ADVICE", 0, "serial number and settings restored"}},
       {{"c", {"VNK-A", 2}}},
       {}},
      // A record kept at 1-a, and a keypad's loader at 1-l: it may be that keypad, moved.
      {"a loader at another port than the record of a keypad not on the bus",
       R"([{"id": "l", "serialNumber": "", "mode": "loader"}])",
       R"({"serialNumberHex": "564E4B2D41", "keypadType": 0, "ledBrightness": 2,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-a"})",
       {{sameCommand, 1, "  (no serial number) at 1-l  ? -> ?  failed"},
        {"--json upgrade FW", 2, "\"error\""},
        {"upgrade FW", 2,
         "which is not on the bus; the keypad waiting in its firmware loader at 1-l"},
        {"ADVICE", 0, "finishing keypad VNK-A's upgrade"}},
       {{"l", {"VNK-A", 2}}},
       {}},
      // Pulled at its reset; a configured keypad without a number (on the new version already,
      // with the same USB serial string) plugged into that port while it restarts is not it.
      {"a configured keypad plugged in where the upgraded one was pulled at its reset",
       R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 2,
            "faults": {"unplugAfterLoaderReports": 90}},
           {"id": "n", "serialNumber": "", "ledBrightness": 9, "firmwareVersion": "2.01",
            "port": "1-a", "usbSerial": "a", "faults": {"arrivesWhenAnotherIsPulled": true}}])",
       "",
       {{"upgrade FW", 1, "settings of its own came at 1-a and was left untouched", true, "n"},
        {"upgrade FW", 0, "serial number and settings restored"}},
       {{"a", {"VNK-A", 2}}},
       {}},
      // Cut off in its download and set aside in its loader; another keypad without a number
      // upgraded at that port keeps its own settings, and the first is finished later.
      {"another keypad upgraded where one was cut off in its download",
       R"([{"id": "a", "serialNumber": "VNK-A", "ledBrightness": 2,
            "faults": {"unplugAfterLoaderReports": 70}}])",
       "",
       {{"upgrade FW", 1, "left the bus", true, "a",
         R"({"id": "b", "serialNumber": "", "firmwareVersion": "2.00", "ledBrightness": 3,
             "port": "1-a", "usbSerial": "a"})"},
        {"upgrade FW", 0, "note: The settings kept for keypad VNK-A stay in", false, "b", "a"},
        {"upgrade FW", 0, "finishing keypad VNK-A's upgrade"}},
       {{"a", {"VNK-A", 2}}},
       {}},
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
           // What it runs after a restore that failed is what it said.
           std::string("failed/") + step + " virtual:a:1.1 VNK000123 1.04->" +
               (step == std::string("restore") ? "2.01" : "")},
          {resume, 0, "", false, "", "",
           std::string("ok virtual:a:1.1 VNK000123 ") + before + "->2.01"}},
         {{"a", {"VNK000123", 4}}},
         {}});
  }
  RunScenarios(scenarios);
}

#if !defined(NAVKEYPAD_TWIN) && defined(NAVKEYPAD_PRODUCT_CLI)
// Every kind of advice, printed by the product's program on its virtual bus, does what it says
// when it is run exactly as printed: it names the program as it was started (`--virtual`
// included) and picks the keypad as the command did.
TEST_F(KeypadIdentity, AdviceRunAsPrintedDoesWhatItSays) {
  const std::string product = NAVKEYPAD_PRODUCT_CLI;
  runAs_ = "PATH='" + std::filesystem::path(product).parent_path().string() + "':\"$PATH\" ";
  program_ = "navkeypad";
  programName_ = "navkeypad";
  PlaceStandInLoaderTexts(dir_.path() / "data");
  const std::string cut = R"({"id": "a", "serialNumber": "VNK-A", "ledBrightness": 4,
                              "faults": {"unplugAfterLoaderReports": 70}})";
  const std::string other = R"({"id": "b", "serialNumber": "VNK-B", "ledBrightness": 6})";
  const std::string silent = R"({"id": "d", "serialNumber": "VNK-D", "faults": {"silent": true}})";
  RunScenarios({
      {"a batch's resume",
       "[" + cut + "," + other + "]",
       "",
       {{"--virtual upgrade --all --expect-version 2.01 FW", 1,
         "Plug the keypads that failed in again and run: navkeypad --virtual upgrade --all", true},
        {"ADVICE", 0, "VNK-A at 1-a  1.04 -> 2.01  ok"}},
       {{"a", {"VNK-A", 4}}, {"b", {"VNK-B", 6}}},
       {}},
      {"an upgrade's resume",
       "[" + cut + "]",
       "",
       {{"--virtual upgrade FW", 1, "if it waits in its loader, run: navkeypad --virtual upgrade",
         true},
        // Its last advice, to look, says how to finish it.
        {"ADVICE", 0, "finish its upgrade with 'navkeypad --virtual upgrade FIRMWARE.txt'"},
        {"ADVICE", 0, "serial number and settings restored"}},
       {{"a", {"VNK-A", 4}}},
       {}},
      {"the layout a code table needs, for the keypad picked",
       "[" + other + R"(, {"id": "c", "serialNumber": "VNK-C", "ledBrightness": 2}])",
       "",
       {{"--virtual --serial VNK-B table set left=0x50", 2,
         "edited after 'navkeypad --virtual --serial VNK-B layout custom'"},
        {"ADVICE", 0, "The keypad uses its custom code table."}},
       {{"b", {"VNK-B", 6}}, {"c", {"VNK-C", 2}}},
       {}},
      {"a silent keypad beside a batch",
       "[" + other + "," + silent + "]",
       "",
       {{"--virtual upgrade --all --dry-run --expect-version 2.01 FW", 1,
         "try another cable or USB port, then 'navkeypad --virtual --device 1-d identify'", true},
        {"ADVICE", 0, "blink"}},
       {{"b", {"VNK-B", 6}}, {"d", {"VNK-D", 5}}},
       {}},
      {"a number no keypad has",
       "[" + other + "]",
       "",
       {{"--virtual --serial VNK-Z status", 3, "see 'navkeypad --virtual list'"},
        {"ADVICE", 0, "VNK-B"}},
       {{"b", {"VNK-B", 6}}},
       {}},
  });
}
#endif
