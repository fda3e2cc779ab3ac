// The bench's store with a service log of a million lines (brought over from an earlier version's
// file, as a bench of years would be): a keypad's lines and a day's lines are found about as
// quickly as in a log of ten lines, and a serial number is reserved in a few milliseconds.
// Not a Google benchmark: one run, timed on the real clock, each goal said and held.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "store/sqlite_store.h"

namespace {

using Clock = std::chrono::steady_clock;
using navkeypad::store::LogLines;
using navkeypad::store::LogQuery;
using navkeypad::store::Store;

double MsOf(const std::function<void()>& work, int times = 20) {
  const auto start = Clock::now();
  for (int i = 0; i < times; ++i) work();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / times;
}

constexpr long long kFirstMinute = 29000000;  // in 2025

// "2025-02-18T13:20:00Z", `minute` minutes after the epoch.
std::string TimeOfMinute(long long minute) {
  const time_t when = static_cast<time_t>(minute * 60);
  tm utc{};
  gmtime_r(&when, &utc);
  char time[32];
  std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return time;
}

// A store whose log holds `lines` lines, one keypad each, a minute apart.
std::unique_ptr<Store> StoreWithLog(const std::filesystem::path& folder, int lines) {
  std::filesystem::create_directories(folder / "old");
  {
    std::ofstream log(folder / "old" / "service-log.jsonl");
    for (int i = 0; i < lines; ++i) {
      char line[512];
      const std::string time = TimeOfMinute(kFirstMinute + i);
      std::snprintf(line, sizeof line,
                    R"({"time": "%s", "user": "anna", "computer": "bench-3", "program": )"
                    R"("navkeypad", "action": "station upgraded", "serialNumber": "VNK%07d", )"
                    R"("path": "/dev/hidraw3", "port": "1-1.%d", "firmwareBefore": "1.04", )"
                    R"("firmwareAfter": "2.01", "result": "ok", "message": ""})",
                    time.c_str(), i, i % 4);
      log << line << "\n";
    }
  }
  navkeypad::store::StorePlace place;
  place.file = (folder / "bench.sqlite3").string();
  place.oldFolders = {(folder / "old").string()};
  return navkeypad::store::OpenSqliteStore(place);
}

bool Held(const char* goal, double measured, double limit, const char* unit) {
  const bool held = measured <= limit;
  std::printf("%-58s %10.3f %s (at most %.3f) %s\n", goal, measured, unit, limit,
              held ? "held" : "MISSED");
  return held;
}

}  // namespace

int main() {
  const auto folder = std::filesystem::temp_directory_path() / "navkeypad-store-bench";
  std::filesystem::remove_all(folder);
  const auto small = StoreWithLog(folder / "ten", 10);
  const auto started = Clock::now();
  const auto large = StoreWithLog(folder / "million", 1000000);
  if (const auto error = large->writable()) {
    std::fprintf(stderr, "store_bench: %s\n", error.message.c_str());
    return 2;
  }
  std::printf("a log of 1000000 lines brought over in %.1f s (its file written first)\n",
              std::chrono::duration<double>(Clock::now() - started).count());
  const auto query = [](Store& store, const LogQuery& asked) {
    return [&store, asked] {
      LogLines lines;
      store.lines(asked, lines);
    };
  };
  bool held = true;
  const double bySerialSmall = MsOf(query(*small, {"VNK0000005", {}, {}}));
  const double bySerialLarge = MsOf(query(*large, {"VNK0500000", {}, {}}));
  held &= Held("log --serial X, a million lines beside ten (times)", bySerialLarge / bySerialSmall,
               3.0, "x");
  // Five minutes of lines in each.
  const double sinceSmall = MsOf(query(*small, {{},
                                                TimeOfMinute(kFirstMinute + 2).substr(0, 16),
                                                TimeOfMinute(kFirstMinute + 6).substr(0, 16)}));
  const std::string from = TimeOfMinute(kFirstMinute + 500000).substr(0, 16);
  const std::string to = TimeOfMinute(kFirstMinute + 500004).substr(0, 16);
  const double sinceLarge = MsOf(query(*large, {{}, from, to}));
  held &= Held("log --since/--until, a million lines beside ten (times)", sinceLarge / sinceSmall,
               3.0, "x");
  const double reserve = MsOf(
      [&] {
        std::string serial;
        large->reserveNext(
            "VNK9000000", [](const std::string&) { return false; }, {"1-1", "bench"}, serial);
      },
      100);
  held &= Held("reserving a serial number", reserve, 5.0, "ms");
  std::filesystem::remove_all(folder);
  return held ? 0 : 1;
}
