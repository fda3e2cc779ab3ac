// Two benches of one site, each a station on a virtual bus of its own under its own role, give
// keypads numbers at the same time: never one number twice, and one log of the site.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "cli/bus_processes.h"
#include "site_server.h"

namespace {

class SiteStations : public VirtualState {
 protected:
  // The station of `bench` on a bus of its own, started, with `keypads` new ones arriving.
  std::FILE* station(const std::string& bench, int keypads) const {
    std::string bus;
    for (int i = 0; i < keypads; ++i) {
      bus += std::string(i ? "," : "") + R"({"id": ")" + bench + std::to_string(i) +
             R"(", "serialNumber": "", "arriveAfterMs": )" + std::to_string(100 + 700 * i) + "}";
    }
    const std::string state = dir_.file(bench + ".json");
    WriteBytes(state, "{\"keypads\": [" + bus + "]}");
    const std::string command = "NAVKEYPAD_SITE='" + database_.connection(bench) +
                                "' XDG_DATA_HOME='" + dir_.file("data-" + bench) +
                                "' NAVKEYPAD_VIRTUAL_STATE='" + state + "' " + program_ +
                                " station --json --serial-from VNK-0001 --idle-timeout 4";
    return popen(command.c_str(), "r");
  }
  SiteDatabase database_;
};

TEST_F(SiteStations, TwoBenchesAtOnceGiveEachNumberOnceAndKeepOneLog) {
  std::FILE* first = station("bench_1", 5);
  std::FILE* second = station("bench_2", 5);
  const Outcome one = Ended(first), two = Ended(second);
  EXPECT_EQ(one.status, 0) << one.output;
  EXPECT_EQ(two.status, 0) << two.output;
  std::set<std::string> given;
  for (const Outcome* ran : {&one, &two}) {
    std::istringstream lines(ran->output);
    for (std::string line; std::getline(lines, line);) {
      const auto entry = nlohmann::json::parse(line, nullptr, false);
      if (entry.contains("serialNumber") && entry["serialNumber"] != "")
        given.insert(entry["serialNumber"].get<std::string>());
    }
  }
  EXPECT_EQ(given.size(), 10u);
  EXPECT_EQ(*given.rbegin(), "VNK-0010");
  EXPECT_EQ(RunSql(database_.admin(),
                   "SELECT count(*) FROM navkeypad.serials WHERE state = "
                   "'written' GROUP BY bench ORDER BY bench LIMIT 1"),
            "5");
  EXPECT_EQ(RunSql(database_.admin(), "SELECT count(DISTINCT bench) FROM navkeypad.log"), "2");
}

}  // namespace
