// A site's server on this computer (the tests' throwaway cluster) with benches reserving numbers
// at once: four programs, 250 numbers each, every number different, and the median reservation
// under 20 ms; and a log of a million lines read as quickly as one of ten. Not a Google benchmark:
// one run, timed on the real clock, each goal said and held.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "store/postgres_store.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace store = navkeypad::store;

constexpr int kPrograms = 4;
constexpr int kEach = 250;
constexpr double kMedianGoalMs = 20;
constexpr double kLogGoalTimes = 3;
constexpr long long kFirstMinute = 29000000;  // 2025-02-19T21:20, the log's first line

std::string Field(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return {};
}

// The log's lines `from` to `to`, a keypad each, a minute apart, as bench_1 would have written
// them.
std::string LinesSql(int from, int to) {
  return R"sql(
INSERT INTO navkeypad.log(id, time, bench, computer, port, serial, line)
SELECT 'line-' || i, t, 'bench_1', 'bench-3', p, s,
  format('{"time": "%s", "computer": "bench-3", "action": "station upgraded", )sql"
         R"sql("serialNumber": "%s", "port": "%s", "result": "ok"}', t, s, p)
FROM (SELECT i, to_char(timestamp '2025-02-19 21:20' + i * interval '1 minute',
                        'YYYY-MM-DD"T"HH24:MI:SS"Z"') AS t,
             '1-1.' || (i % 4) AS p, 'VNK' || lpad(i::text, 7, '0') AS s
      FROM generate_series()sql" +
         std::to_string(from) + ", " + std::to_string(to - 1) + R"sql() AS i) AS made;
INSERT INTO navkeypad.log_serials(serial, line)
SELECT serial, id FROM navkeypad.log WHERE id LIKE 'line-%' ON CONFLICT DO NOTHING;
-- As the server's autovacuum does after so many rows: the planner knows the tables.
ANALYZE;
)sql";
}

// Minute `minute` of the log's lines, as `log --since` takes it.
std::string MinuteText(long long minute) {
  const time_t when = static_cast<time_t>(kFirstMinute + minute) * 60;
  tm utc{};
  gmtime_r(&when, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M", &utc);
  return text;
}

int Shell(const std::string& command) {
  return std::system(command.c_str());
}

}  // namespace

int main() {
  const std::string where = (std::filesystem::temp_directory_path() /
                             ("navkeypad-site-bench-" + std::to_string(getpid())))
                                .string();
  const std::string script = std::string(NAVKEYPAD_SOURCE_DIR) + "/tests/site/test_server.sh";
  if (Shell(script + " start " + where + " >/dev/null") != 0) {
    std::fprintf(stderr, "site bench: the server did not start\n");
    return 1;
  }
  const std::string base =
      "host=" + Field(where, "socket") + " port=" + Field(where, "port") + " dbname=bench";
  Shell("psql -X -q -h " + Field(where, "socket") + " -p " + Field(where, "port") +
        " -U postgres -d postgres -c 'CREATE DATABASE bench OWNER site_owner' >/dev/null");
  std::vector<std::string> said;
  if (const store::StoreError error = store::InitSite(
          store::SiteFromConnectionString(base + " user=site_owner", "bench"), said)) {
    std::fprintf(stderr, "site bench: %s\n", error.message.c_str());
    Shell(script + " stop " + where);
    return 1;
  }
  for (int bench = 1; bench <= kPrograms; ++bench) {
    Shell("psql -X -q -h " + Field(where, "socket") + " -p " + Field(where, "port") +
          " -U postgres -d bench -c 'CREATE ROLE bench_" + std::to_string(bench) +
          " LOGIN IN ROLE navkeypad_bench' >/dev/null 2>&1");
  }
  // Each program a bench of its own: its numbers and how long each took, a line each.
  std::vector<std::pair<pid_t, int>> started;
  for (int program = 1; program <= kPrograms; ++program) {
    int pipe_[2];
    if (pipe(pipe_) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
      close(pipe_[0]);
      const auto site = store::OpenPostgresStore(
          store::SiteFromConnectionString(base + " user=bench_" + std::to_string(program), "b"), {},
          store::kStoreWaitMs);
      std::ostringstream lines;
      for (int i = 0; i < kEach; ++i) {
        std::string serial;
        const auto start = Clock::now();
        const store::StoreError error = site->reserveNext(
            "VNK000001", [](const std::string&) { return false; },
            {"1-" + std::to_string(program), "bench"}, serial);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        lines << (error ? "error" : serial) << " " << ms << "\n";
      }
      const std::string text = lines.str();
      if (write(pipe_[1], text.data(), text.size()) < 0) _exit(2);
      _exit(0);
    }
    close(pipe_[1]);
    started.emplace_back(child, pipe_[0]);
  }
  std::set<std::string> numbers;
  std::vector<double> times;
  int given = 0;
  for (const auto& [child, from] : started) {
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = read(from, chunk, sizeof chunk)) > 0;) text.append(chunk, got);
    close(from);
    waitpid(child, nullptr, 0);
    std::istringstream lines(text);
    std::string serial;
    double ms;
    while (lines >> serial >> ms) {
      if (serial == "error") continue;
      ++given;
      numbers.insert(serial);
      times.push_back(ms);
    }
  }
  // The site's log, first of ten lines, then of a million: a keypad's lines and five minutes'
  // lines are read about as quickly from both.
  const std::string asPostgres = "psql -X -q -h " + Field(where, "socket") + " -p " +
                                 Field(where, "port") +
                                 " -U postgres -d bench -v ON_ERROR_STOP=1 -f ";
  const auto addLines = [&](int from, int to) {
    std::ofstream(where + ".sql") << LinesSql(from, to);
    Shell(asPostgres + where + ".sql >/dev/null");
  };
  const auto reader = store::OpenPostgresStore(
      store::SiteFromConnectionString(base + " user=bench_1", "b"), {}, store::kStoreWaitMs);
  const auto msOf = [&](const store::LogQuery& query) {
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
      store::LogLines lines;
      reader->lines(query, lines);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / 20;
  };
  addLines(0, 10);
  const double bySerialTen = msOf({"VNK0000005", {}, {}});
  const double fiveMinutesTen = msOf({{}, MinuteText(2), MinuteText(6)});
  const auto filling = Clock::now();
  addLines(10, 1000000);
  const double filled = std::chrono::duration<double>(Clock::now() - filling).count();
  const double bySerial = msOf({"VNK0500000", {}, {}}) / bySerialTen;
  const double fiveMinutes = msOf({{}, MinuteText(500000), MinuteText(500004)}) / fiveMinutesTen;
  Shell(script + " stop " + where);
  std::sort(times.begin(), times.end());
  const double median = times.empty() ? 0 : times[times.size() / 2];
  const double slowest = times.empty() ? 0 : times.back();
  const bool distinct =
      given == kPrograms * kEach && numbers.size() == static_cast<std::size_t>(given);
  std::printf("site store, %d benches at once on one server, %d numbers each\n", kPrograms, kEach);
  std::printf("numbers given      %d, distinct %zu                 %s\n", given, numbers.size(),
              distinct ? "met" : "NOT MET");
  std::printf("reservation median %.2f ms (goal < %.0f ms), slowest %.2f ms   %s\n", median,
              kMedianGoalMs, slowest, median < kMedianGoalMs ? "met" : "NOT MET");
  std::printf("a log of a million lines, written in %.1f s:\n", filled);
  std::printf("  log --serial X, beside ten lines      %5.2f times (goal < %.0f)   %s\n", bySerial,
              kLogGoalTimes, bySerial < kLogGoalTimes ? "met" : "NOT MET");
  std::printf("  log --since/--until, beside ten lines %5.2f times (goal < %.0f)   %s\n",
              fiveMinutes, kLogGoalTimes, fiveMinutes < kLogGoalTimes ? "met" : "NOT MET");
  return distinct && median < kMedianGoalMs && bySerial < kLogGoalTimes &&
                 fiveMinutes < kLogGoalTimes
             ? 0
             : 1;
}
