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

#include "bus_processes.h"
#include "firmware/pending_upgrade.h"
#include "support/program_lock.h"
#include "temp_dir.h"

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

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
    std::filesystem::permissions(state() + ".lock", std::filesystem::perms::all &
                                                        ~std::filesystem::perms::owner_exec &
                                                        ~std::filesystem::perms::group_exec &
                                                        ~std::filesystem::perms::others_exec);
    std::filesystem::permissions(state(), std::filesystem::perms::owner_read |
                                              std::filesystem::perms::group_read |
                                              std::filesystem::perms::others_read);
    forgetStore();
    if (geteuid() != 0) return;
    // Root writes any file; the program runs as a user who may not, beside a store it may use
    // (in a folder where it may make files, but not replace another user's).
    runAs_ = "setpriv --reuid=40001 --regid=40001 --clear-groups ";
    std::filesystem::permissions(dir_.path(), static_cast<std::filesystem::perms>(01777));
    std::filesystem::create_directories(dir_.path() / "data" / "VeltoInterface");
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
  // What a state file's faults do, with the value each takes, for whoever writes one.
  const Outcome faults = run("faults", false);
  EXPECT_EQ(faults.status, 0);
  EXPECT_THAT(faults.output, HasSubstr("\n  silent true\n      true: no answer to anything\n  "
                                       "responseDelayMs N\n"));
  EXPECT_THAT(faults.output, HasSubstr("\n  refuseCommands [CODE, ...]\n      command codes"));
  EXPECT_THAT(faults.output, HasSubstr("after N reports (back at the next start, in its\n      "));
}

// Every field of a keypad may be left out (the identity table's keypads leave out most); its
// faults are data: a status byte for one command, a cable pulled after one command.
// A bench: keypads plugged in one after another are each finished on their own, each once, and
// only those that arrive; a failed one is finished when it is plugged in again.
// Each keypad given a number or finished gets its label, one a keypad; one that failed gets none,
// and a place labels cannot go stops the station before it takes a keypad.
TEST_F(VirtualState, AStationMakesALabelForEachKeypadItNumbersOrFinishes) {
  WriteBytes(state(), R"({"keypads": [{"id": "n", "serialNumber": "", "arriveAfterMs": 100},
      {"id": "x", "serialNumber": "VNK-X", "arriveAfterMs": 9000,
       "faults": {"unplugAfterLoaderReports": 70}}]})");
  const std::string labels = dir_.file("labels");
  std::filesystem::create_directories(labels);
  EXPECT_THAT(run("station --json --serial-from VNK-0100 --idle-timeout 8 --labels '" + labels +
                  "' '" + firmware() + "' --expect-version 2.01")
                  .output,
              HasSubstr("\"label\": \"" + labels + "/VNK-0100.png\""));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(labels), {}), 1);
  for (const auto& [options, says] :
       {std::pair{"--labels /nowhere", "the labels' folder /nowhere is not there; make it first."},
        {"--print-labels NoSuchPrinter", "this computer has no printer NoSuchPrinter."}})
    EXPECT_THAT(run(std::string("station --idle-timeout 1 ") + options).output, HasSubstr(says));
}

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
    // "ENDED KEYPADS/OK/FAILED/SKIPPED[ in TRIES tries]"; or "error MESSAGE".
    std::vector<std::string> lines;
    std::map<std::string, std::pair<std::string, int>> keypads;  // id: serial, brightness
    const char* records = "";                                    // kept before the run
    const char* stillKept = "";  // the serial number whose record is kept at the end
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
       0,
       {"VNK-0998 1.04->2.01 ok upgraded,serial number,settings", "VNK-C 2.01->2.01 ok settings",
        "VNK-O 1.04->2.01 ok upgraded,settings", "VNK-X 1.04-> failed/download ",
        "VNK-0999 1.04->2.01 ok upgraded,serial number,settings",
        "VNK-X 1.04->2.01 ok record finished,settings", "idle 5/5/0/0 in 6 tries"},
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
      // A keypad waiting in its loader while a record is kept for a keypad not on the bus may be
      // that keypad, moved: it is given nothing, neither that record nor a number, without the
      // user's word; the record's keypad is finished when it arrives where it left.
      {R"({"id": "f", "serialNumber": "", "mode": "loader", "arriveAfterMs": 100},
          {"id": "r", "serialNumber": "", "mode": "loader", "port": "1-r",
           "arriveAfterMs": 8000})",
       "FW --expect-version 2.01 --serial-from VNK-2000 --idle-timeout 10",
       1,
       {" -> failed/check ", "VNK-R 1.04->2.01 ok record finished", "idle 2/1/1/0"},
       {{"f", {"", 5}}, {"r", {"VNK-R", 6}}},
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
      // A keypad tried again is not a keypad more: the count waits for the second one.
      {R"({"id": "cut", "serialNumber": "VNK-X", "arriveAfterMs": 100,
           "faults": {"unplugAfterLoaderReports": 70, "pluggedAgainAfterMs": 20000}},
          {"id": "b", "serialNumber": "VNK-B", "arriveAfterMs": 60000})",
       "FW --expect-version 2.01 --count 2",
       0,
       {"VNK-X 1.04-> failed/download ", "VNK-X 1.04->2.01 ok record finished",
        "VNK-B 1.04->2.01 ok upgraded", "count 2/2/0/0 in 3 tries"},
       {{"cut", {"VNK-X", 5}}, {"b", {"VNK-B", 5}}}},
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
      // Every keypad that came is done, but another's record is still kept: not a run to call
      // done. A keypad without a number elsewhere is neither given that record nor held back.
      {R"({"id": "o", "serialNumber": "VNK-O", "arriveAfterMs": 100},
          {"id": "n", "serialNumber": "", "arriveAfterMs": 10000})",
       "--config SITE --serial-from VNK-5000 --idle-timeout 10",
       1,
       {"VNK-O 1.04->1.04 ok settings", "VNK-5000 1.04->1.04 ok serial number,settings",
        "idle 2/2/0/0"},
       {{"o", {"VNK-O", 3}}, {"n", {"VNK-5000", 3}}},
       R"({"serialNumberHex": "564E4B2D51", "keypadType": 0, "ledBrightness": 6,
           "codeTable": [0,1,0,2,0,3,0,4,0,5], "downloaded": true, "port": "1-q",
           "firmwareVersion": "1.04"})",
       "VNK-Q"},
      {present,
       "/nowhere.txt --expect-version 2.01 --present",
       2,
       {"error Cannot use the firmware file /nowhere.txt: it is missing."},
       {{"p", {"VNK-P", 5}}}},
  };
  for (const Row& row : rows) {
    const std::size_t logged = serviceLog().size();
    WriteBytes(state(), "{\"keypads\": [" + row.bus + "]}");
    keepRecords(row.records);
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
    for (std::string printedLine; std::getline(printed, printedLine);) {
      const json line = json::parse(printedLine);
      std::string done;
      for (const json& one : line.value("done", json::array()))
        done += (done.empty() ? "" : ",") + one.get<std::string>();
      const auto text = [&](const char* field) { return line.value(field, ""); };
      const auto count = [&](const char* field) { return line[field].dump(); };
      lines.push_back(
          line.contains("error") ? "error " + text("error")
          : line.contains("keypad")
              ? text("serialNumber") + " " + text("firmwareBefore") + "->" + text("firmwareAfter") +
                    " " + text("result") + (line.contains("step") ? "/" : "") + text("step") + " " +
                    done
              : text("ended") + " " + count("keypads") + "/" + count("ok") + "/" + count("failed") +
                    "/" + count("skipped") +
                    (line["tries"] == line["keypads"] ? "" : " in " + count("tries") + " tries"));
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
    EXPECT_EQ(keptSerials(), std::vector<std::string>(*row.stillKept ? 1 : 0, row.stillKept));
    keepRecords("");
  }
  // What the station's help says of its lines, its log, its exit and a record kept elsewhere is
  // what the rows above hold.
  std::string help = run("station --help").output;
  std::replace(help.begin(), help.end(), '\n', ' ');
  for (const char* claim :
       {"One line a try", "one service-log line a try",
        "0 when every keypad's last try succeeded and no keypad's record is kept, 1 otherwise",
        "A keypad without a serial number gets a kept record only at the port that record's keypad "
        "left from; a record kept elsewhere neither goes to it nor holds it back."})
    EXPECT_NE(help.find(claim), std::string::npos) << claim;
  // A keypad's failure is said once, in its line, not on standard error before it too.
  WriteBytes(state(), R"({"keypads": [{"id": "p", "serialNumber": "VNK-P"},
                                      {"id": "twin", "serialNumber": "VNK-P", "arriveAfterMs": 100}]})");
  const std::string said =
      run("station '" + firmware() + "' --expect-version 2.01 --idle-timeout 10").output;
  const std::string failure = "has the serial number VNK-P too";
  EXPECT_NE(said.find(failure), std::string::npos) << said;
  EXPECT_EQ(said.find(failure), said.rfind(failure)) << said;
  // Every number given is in the ledger, written.
  const auto store = OpenStoreAt(storeFile());
  for (const char* serial :
       {"VNK-0997", "VNK-0998", "VNK-0999", "VNK-1000", "VNK-1002", "VNK-1003"}) {
    std::optional<navkeypad::store::LedgerEntry> entry;
    EXPECT_TRUE(!store->ledgerEntry(serial, entry) && entry &&
                entry->state == navkeypad::store::LedgerEntry::kWritten)
        << serial;
  }
}
