// Benches of one site, each the virtual command line on a bus of its own under its own role: two
// stations give keypads numbers at the same time, never one number twice, into one log; a keypad
// whose upgrade failed at one bench is finished at another with its own number and settings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "cli/bus_processes.h"
#include "site_server.h"
#ifndef NAVKEYPAD_TWIN
#include "device/keypad_bus.h"
#include "firmware/upgrade_operation.h"
#include "hidapi_virtual.h"
#include "stand_in_loader.h"
#include "virtual_keypad.h"
#endif

namespace {

class SiteStations : public VirtualState {
 protected:
#ifdef NAVKEYPAD_TWIN
  // The real program, each bench's on a twin of its own: umockdev's own allocations are no leaks.
  void SetUp() override {
    program_ = std::string("LSAN_OPTIONS=suppressions=") + NAVKEYPAD_TWIN_LSAN +
               ":print_suppressions=0 '" + NAVKEYPAD_TWIN + "' '" + NAVKEYPAD_REAL_CLI + "'";
    for (const char* bench : {"bench_1", "bench_2"})
      PlaceStandInLoaderTexts(dir_.path() / ("data-" + std::string(bench)));
  }
#endif
  // The command line of `bench` on its own bus (`bench`.json), started.
  std::FILE* start(const std::string& bench, const std::string& arguments) const {
    return popen(("NAVKEYPAD_SITE='" + database_.connection(bench) + "' XDG_DATA_HOME='" +
                  dir_.file("data-" + bench) + "' NAVKEYPAD_BENCH_FOLDER='" +
                  dir_.file("data-" + bench) + "' NAVKEYPAD_VIRTUAL_STATE='" +
                  dir_.file(bench + ".json") + "' " + program_ + " " + arguments)
                     .c_str(),
                 "r");
  }
  Outcome at(const std::string& bench, const std::string& arguments) const {
    return Ended(start(bench, arguments + " 2>&1"));
  }
  // The station of `bench`, started, with `keypads` new ones arriving; the first after the
  // program has surely started (on a twin the bus's time runs from the twin's start, and a
  // keypad there when a station starts is passed over).
  std::FILE* station(const std::string& bench, int keypads) const {
    std::string bus;
    for (int i = 0; i < keypads; ++i) {
      bus += std::string(i ? "," : "") + R"({"id": ")" + bench + std::to_string(i) +
             R"(", "serialNumber": "", "arriveAfterMs": )" + std::to_string(2000 + 700 * i) + "}";
    }
    WriteBytes(dir_.file(bench + ".json"), "{\"keypads\": [" + bus + "]}");
    return start(bench, "station --json --serial-from VNK-0001 --idle-timeout 6");
  }
  SiteDatabase database_;
};

TEST_F(SiteStations, TwoBenchesAtOnceGiveEachNumberOnceAndKeepOneLog) {
  std::FILE* first = station("bench_1", 5);
  std::FILE* second = station("bench_2", 5);
  std::set<std::string> given;
  for (const Outcome& ran : {Ended(first), Ended(second)}) {
    EXPECT_EQ(ran.status, 0) << ran.output;
    std::istringstream lines(ran.output);
    for (std::string line; std::getline(lines, line);) {
      const auto entry = nlohmann::json::parse(line, nullptr, false);
      if (entry.contains("serialNumber") && entry["serialNumber"] != "")
        given.insert(entry["serialNumber"].get<std::string>());
    }
  }
  EXPECT_EQ(given.size(), 10u);
  EXPECT_EQ(*given.rbegin(), "VNK-0010");
  // One log of the site, each line with its bench, in words and in the export.
  EXPECT_THAT(at("bench_1", "log").output, ::testing::HasSubstr(" at bench_2  "));
  EXPECT_THAT(at("bench_2", "log --csv").output,
              ::testing::AllOf(::testing::StartsWith("time,"), ::testing::HasSubstr(",bench\r\n"),
                               ::testing::HasSubstr(",bench_1\r\n")));
}

TEST_F(SiteStations, AKeypadFailedAtOneBenchIsFinishedAtAnotherOnTheUsersWord) {
  WriteBytes(dir_.file("bench_1.json"),
             R"({"keypads": [{"id": "k", "serialNumber": "VNK-K", "ledBrightness": 2,
                              "faults": {"unplugAfterLoaderReports": 70}}]})");
  EXPECT_EQ(at("bench_1", "upgrade '" + firmware() + "'").status, 1);
  // Carried to the other bench, where it waits in its loader at a port of that bench's.
  auto keypad = nlohmann::json::parse(ReadBytes(dir_.file("bench_1.json")))["keypads"][0];
  keypad["port"] = "2-4";
  WriteBytes(dir_.file("bench_2.json"), nlohmann::json{{"keypads", {keypad}}}.dump());
  // Unnamed, it might be any keypad: refused, with the command that names it.
  const Outcome refused = at("bench_2", "upgrade '" + firmware() + "'");
  EXPECT_EQ(refused.status, 2) << refused.output;
  const std::string finish = "--device 2-4 upgrade --settings-of VNK-K " + firmware();
  EXPECT_THAT(refused.output, ::testing::AllOf(::testing::HasSubstr("kept at bench_1, port 1-k, "),
                                               ::testing::HasSubstr(" " + finish)));
  const Outcome finished = at("bench_2", finish);
  EXPECT_EQ(finished.status, 0) << finished.output;
  EXPECT_THAT(finished.output, ::testing::HasSubstr("serial number and settings restored"));
  const auto status = nlohmann::json::parse(at("bench_2", "status --json").output);
  EXPECT_EQ(status["serialNumber"], "VNK-K");
  EXPECT_EQ(status["ledBrightness"], 2);
  EXPECT_EQ(RunSql(database_.admin(), "SELECT count(*) FROM navkeypad.records"), "0");
}

// A keypad that reports the number another bench keeps a record of may be that keypad or another
// with its number: nothing is done to it until the user names it, and then it gets its record.
TEST_F(SiteStations, AKeypadWithTheNumberOfAnotherBenchsRecordWaitsForTheUsersWord) {
  // Its new firmware was written there, and its restore failed.
  ASSERT_FALSE(database_.open("bench_1")->changeRecords([](auto& records) {
    records.push_back(SiteDatabase::Record("VNK-S"));
    records.back().downloaded = true;
  }));
  WriteBytes(dir_.file("bench_2.json"),
             R"({"keypads": [{"id": "s", "serialNumber": "VNK-S", "port": "1-3"}]})");
  const Outcome refused = at("bench_2", "upgrade '" + firmware() + "'");
  EXPECT_EQ(refused.status, 2) << refused.output;
  EXPECT_THAT(refused.output, ::testing::AllOf(::testing::HasSubstr("kept at bench_1, port 1-1"),
                                               ::testing::HasSubstr("--settings-of VNK-S")));
  const Outcome named =
      at("bench_2", "--device 1-3 upgrade --settings-of VNK-S '" + firmware() + "'");
  EXPECT_EQ(named.status, 0) << named.output;
  EXPECT_EQ(nlohmann::json::parse(at("bench_2", "status --json").output)["ledBrightness"], 4);
  EXPECT_EQ(RunSql(database_.admin(), "SELECT count(*) FROM navkeypad.records"), "0");
}

}  // namespace

#ifndef NAVKEYPAD_TWIN
// A record another bench finishes while this one's user is asked for it is no longer there to
// take: the keypad waiting here is refused, never flashed without the settings it was named for.
TEST_F(SiteStations, ARecordGoneWhileTheUserWasAskedIsRefusedNotFlashedWithoutIt) {
  virtual_keypad::UseStandInLoader();
  navkeypad::SetHid(&virtual_keypad::VirtualHid());
  std::filesystem::create_directory(dir_.file("locks"));
  navkeypad::SetKeypadLockFolder(dir_.file("locks"));
  auto loader = virtual_keypad::VirtualBus::instance().plug();
  loader->startInLoader();
  const auto first = database_.open("bench_1");
  const auto second = database_.open("bench_2");
  ASSERT_FALSE(first->changeRecords(
      [](auto& records) { records = {SiteDatabase::Record("VNK-K")}; }, nullptr));
  navkeypad::firmware::UpgradeOperation upgrade(*second, dir_.file("keypad.ini"));
  ASSERT_TRUE(upgrade.checkSetting().ok());
  const auto outcome = upgrade.takeWaitingKeypad([&](const navkeypad::firmware::PendingUpgrade&) {
    EXPECT_FALSE(first->changeRecords([](auto& records) { records.clear(); }, nullptr));
    return true;
  });
  EXPECT_THAT(outcome.message,
              ::testing::StartsWith("The settings of keypad VNK-K are no longer kept at bench_1"));
  EXPECT_EQ(loader->mode(), virtual_keypad::Mode::RomLoader);
  navkeypad::SetKeypadLockFolder("");
  navkeypad::SetHid(nullptr);
  virtual_keypad::VirtualBus::instance().reset();
}
#endif
