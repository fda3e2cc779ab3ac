// A site's server on this computer (the tests' throwaway cluster) with benches reserving numbers
// at once: four programs, 250 numbers each, every number different, and the median reservation
// under 20 ms. Not a Google benchmark: one run, timed on the real clock, each goal said and held.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

std::string Field(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return {};
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
  return distinct && median < kMedianGoalMs ? 0 : 1;
}
