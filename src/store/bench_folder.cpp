#include "store/bench_folder.h"

#include <algorithm>
#include <filesystem>

#include "settings/keypad_settings_file.h"
#include "store/pending_records.h"
#include "store/serial_sequences.h"
#include "store/service_log.h"
#include "support/atomic_file.h"
#include "support/paths.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace navkeypad::store {

namespace fs = std::filesystem;

bool RunsFromBuildTree() {
  fs::path folder = support::ProgramFolder();
  std::error_code error;
  for (int up = 0; up < 4 && !folder.empty(); ++up, folder = folder.parent_path()) {
    if (fs::exists(folder / "CMakeCache.txt", error)) return true;
    if (folder == folder.parent_path()) break;
  }
  return false;
}

namespace {

std::string SharedFolderOfComputer() {
#ifdef _WIN32
  std::string common = support::EnvironmentText("ProgramData");
  if (common.empty()) common = support::EnvironmentText("ALLUSERSPROFILE");
  if (common.empty()) return {};
  return support::Utf8FromPath(support::PathFromUtf8(common) / settings::kConfigFolderName);
#else
  return "/var/lib/navkeypad";
#endif
}

// Why this user cannot keep the bench's files in `folder`, and what to do.
std::string SharedFolderProblem(const std::string& folder) {
  std::error_code error;
  if (!fs::is_directory(support::PathFromUtf8(folder), error)) {
#ifdef _WIN32
    return folder + " is missing; install the navkeypad utility again, which makes it";
#else
    return folder + " is missing; install the navkeypad package again, which makes it";
#endif
  }
  if (std::string problem = support::LockFolderProblem(folder); !problem.empty()) {
    return problem + "; ask the computer's administrator to set it as the package makes it";
  }
#ifndef _WIN32
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return "you may not write to " + folder + ", where every user of this computer keeps what " +
           "its keypads need: join the group " + std::string(kBenchGroup) +
           " (sudo usermod -a -G " + kBenchGroup + " $USER), then log in again";
  }
#endif
  return {};
}

}  // namespace

support::LockFolder TheKeypadLockFolder() {
  const std::string named =
      RunsFromBuildTree() ? support::EnvironmentText(kBenchFolderVariable) : std::string();
  if (named.empty()) return support::SharedLockFolder();
  const fs::path folder = support::PathFromUtf8(named) / "locks";
  std::error_code error;
  fs::create_directories(folder, error);
  const std::string path = support::Utf8FromPath(folder);
  if (error) return {path, path + ": " + error.message()};
  return {path, support::LockFolderProblem(path)};
}

BenchFolder TheBenchFolder(const std::string& configFile) {
  const bool buildTree = RunsFromBuildTree();
  const std::string named = buildTree ? support::EnvironmentText(kBenchFolderVariable) : "";
  if (buildTree && named.empty()) {
    if (configFile.empty()) return {};
    return {support::Utf8FromPath(support::PathFromUtf8(configFile).parent_path()), false, {}};
  }
  BenchFolder bench{named.empty() ? SharedFolderOfComputer() : named, true, {}};
  if (bench.path.empty()) {
    bench.problem = "the computer's common data folder is not known (ProgramData)";
    return bench;
  }
  bench.problem = SharedFolderProblem(bench.path);
  return bench;
}

std::string BenchFile(const std::string& configFile, const char* name) {
  const BenchFolder bench = TheBenchFolder(configFile);
  if (bench.path.empty()) return {};
  return support::Utf8FromPath(support::PathFromUtf8(bench.path) / name);
}

std::string SharedFolderProblemFor(const std::string& file) {
  const std::string folder = support::Utf8FromPath(support::PathFromUtf8(file).parent_path());
  const BenchFolder bench = TheBenchFolder({});
  return bench.shared && bench.path == folder ? bench.problem : std::string();
}

void ShareWithBench(const std::string& file) {
  const std::string folder = support::Utf8FromPath(support::PathFromUtf8(file).parent_path());
  const BenchFolder bench = TheBenchFolder({});
  if (!bench.shared || bench.path != folder) return;
  std::error_code ignored;
  fs::permissions(support::PathFromUtf8(file),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::group_write | fs::perms::others_read,
                  ignored);
}

std::string LockBeside(support::ProgramLock& lock, const std::string& file) {
  const std::string lockFile = file + ".lock";
  // A user's own folder is made on first use, like the files in it; the computer's is the
  // package's to make.
  std::error_code error;
  if (SharedFolderProblemFor(file).empty())
    fs::create_directories(support::PathFromUtf8(file).parent_path(), error);
  if (lock.take(lockFile, true)) return {};
  // A shared folder this user may not use says what to do; anything else says what is wrong.
  if (std::string problem = SharedFolderProblemFor(file); !problem.empty()) return problem;
  return "the lock " + lockFile + " cannot be taken (" + lock.problem() + ")";
}

std::string BenchFolderWords(const std::string& configFile) {
  const BenchFolder bench = TheBenchFolder(configFile);
  if (!bench.shared) {
    return "This program runs from its build tree, so it keeps the records of upgrades under "
           "way, the serial-number sequences and the service log in your own folder (" +
           bench.path + "), not in the computer's (" + SharedFolderOfComputer() + "); set " +
           kBenchFolderVariable + " to use another.";
  }
  return "The records of upgrades under way, the serial-number sequences and the service log "
         "are the computer's, shared by its users, in " +
         bench.path + ".";
}

namespace {

// Own records added to the bench's, each once.
std::string BringOverRecords(const std::string& own, const std::string& bench) {
  const PendingUpgradeRead read = ReadPendingUpgrades(own);
  if (!read.problem.empty()) return read.problem;
  if (read.records.empty()) return {};
  const std::string problem = UpdatePendingUpgrades(bench, [&](std::vector<PendingUpgrade>& kept) {
    for (const PendingUpgrade& record : read.records) {
      if (std::none_of(kept.begin(), kept.end(),
                       [&](const PendingUpgrade& other) { return other.sameKeep(record); }))
        kept.push_back(record);
    }
  });
  return problem;
}

std::string BringOverSequences(const std::string& own, const std::string& bench) {
  std::string ownBytes;
  if (std::string problem = support::ReadRegularFile(own, ownBytes, 1 << 20); !problem.empty())
    return own + " " + problem;
  const auto ownSequences = nlohmann::json::parse(ownBytes, nullptr, false);
  if (!ownSequences.is_object()) return own + " cannot be read; correct or delete it";
  support::ProgramLock lock;
  if (std::string problem = LockBeside(lock, bench); !problem.empty()) return problem;
  auto sequences = nlohmann::json::object();
  std::string bytes;
  if (std::string problem = support::ReadRegularFile(bench, bytes, 1 << 20); problem.empty()) {
    sequences = nlohmann::json::parse(bytes, nullptr, false);
    if (!sequences.is_object()) return bench + " cannot be read; correct or delete it";
  } else if (problem != "is missing") {
    return bench + " " + problem;
  }
  for (const auto& [first, next] : ownSequences.items()) {
    if (!next.is_string()) continue;
    const auto kept = sequences.find(first);
    sequences[first] = kept != sequences.end() && kept->is_string()
                           ? LaterInSequence(kept->get<std::string>(), next.get<std::string>())
                           : next.get<std::string>();
  }
  if (!support::WriteFileAtomically(bench, sequences.dump(2) + "\n"))
    return bench + " cannot be written";
  ShareWithBench(bench);
  return {};
}

// The own lines among the bench's, in the order of their times.
std::string BringOverLog(const std::string& own, const std::string& bench) {
  std::string ownBytes;
  if (std::string problem = support::ReadRegularFile(own, ownBytes, 64u << 20); !problem.empty())
    return own + " " + problem;
  support::ProgramLock lock;
  if (std::string problem = LockBeside(lock, bench); !problem.empty()) return problem;
  std::string benchBytes;
  if (std::string problem = support::ReadRegularFile(bench, benchBytes, 64u << 20);
      !problem.empty() && problem != "is missing")
    return bench + " " + problem;
  std::vector<std::pair<std::string, std::string>> lines;  // time, line
  for (const std::string* bytes : {&benchBytes, &ownBytes}) {
    std::size_t begin = 0;
    while (begin < bytes->size()) {
      std::size_t end = bytes->find('\n', begin);
      if (end == std::string::npos) end = bytes->size();
      const std::string line = bytes->substr(begin, end - begin);
      begin = end + 1;
      if (line.empty()) continue;
      const auto entry = nlohmann::json::parse(line, nullptr, false);
      const std::string time =
          entry.is_object() && entry.contains("time") && entry["time"].is_string()
              ? entry["time"].get<std::string>()
              : std::string();
      lines.emplace_back(time, line);
    }
  }
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string merged;
  for (const auto& [time, line] : lines) merged += line + "\n";
  if (!support::WriteFileAtomically(bench, merged)) return bench + " cannot be written";
  ShareWithBench(bench);
  return {};
}

}  // namespace

std::vector<std::string> BringOverOwnFiles(const std::string& configFile) {
  std::vector<std::string> said;
  const BenchFolder bench = TheBenchFolder(configFile);
  if (!bench.shared || !bench.problem.empty() || configFile.empty()) return said;
  const fs::path ownFolder = support::PathFromUtf8(configFile).parent_path();
  std::error_code error;
  if (fs::equivalent(ownFolder, support::PathFromUtf8(bench.path), error)) return said;
  using BringOver = std::string (*)(const std::string&, const std::string&);
  const std::pair<const char*, BringOver> files[] = {{kPendingUpgradeFileName, &BringOverRecords},
                                                     {kSequencesFileName, &BringOverSequences},
                                                     {kServiceLogFileName, &BringOverLog}};
  for (const auto& [name, bringOver] : files) {
    const fs::path own = ownFolder / name;
    if (!fs::exists(own, error)) continue;
    const std::string ownText = support::Utf8FromPath(own);
    const std::string benchText = support::Utf8FromPath(support::PathFromUtf8(bench.path) / name);
    if (const std::string problem = bringOver(ownText, benchText); !problem.empty()) {
      said.push_back(ownText + " could not be brought over to " + benchText + ": " + problem +
                     "; it stays where it is.");
      continue;
    }
    fs::remove(own, error);
    said.push_back(ownText + " was brought over to " + benchText +
                   ", where every user of this computer finds it.");
  }
  return said;
}

}  // namespace navkeypad::store
