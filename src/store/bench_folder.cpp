#include "store/bench_folder.h"

#include <filesystem>

#include "settings/keypad_settings_file.h"
#include "store/postgres_store.h"
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

namespace {
std::string InFolder(const std::string& folder, const std::string& name) {
  return support::Utf8FromPath(support::PathFromUtf8(folder) / support::PathFromUtf8(name));
}
std::string FolderOf(const std::string& file) {
  return support::Utf8FromPath(support::PathFromUtf8(file).parent_path());
}
}  // namespace

StorePlace TheStorePlace(const std::string& configFile, bool virtualRun) {
  StorePlace place;
  if (virtualRun) {
    // A demonstration or a test keeps its numbers and its log apart from the bench's.
    if (const std::string state = support::EnvironmentText(kVirtualStateVariable); !state.empty())
      place.file = state + "-bench.sqlite3";
    else if (!configFile.empty())
      place.file = InFolder(FolderOf(configFile), "virtual-bench.sqlite3");
    else
      place.problem = "there is no data folder to keep a virtual bench's store in";
    place.words =
        "The virtual bench keeps the records of upgrades under way, the serial numbers "
        "it gave and its service log in " +
        place.file + ", apart from the computer's.";
    return place;
  }
  const bool buildTree = RunsFromBuildTree();
  const std::string named = buildTree ? support::EnvironmentText(kBenchFolderVariable) : "";
  if (!configFile.empty()) place.oldFolders.push_back(FolderOf(configFile));
  if (buildTree && named.empty()) {
    if (configFile.empty())
      place.problem = "there is no data folder to keep the store in";
    else
      place.file = InFolder(FolderOf(configFile), kStoreFileName);
    place.words =
        "This program runs from its build tree, so it keeps the records of upgrades "
        "under way, the serial numbers it gave and the service log in your own folder (" +
        place.file + "), not in the computer's (" + SharedFolderOfComputer() + "); set " +
        kBenchFolderVariable + " to use another.";
    return place;
  }
  const std::string folder = named.empty() ? SharedFolderOfComputer() : named;
  if (folder.empty()) {
    place.problem = "the computer's common data folder is not known (ProgramData)";
    return place;
  }
  place.shared = true;
  place.file = InFolder(folder, kStoreFileName);
  place.oldFolders.insert(place.oldFolders.begin(), folder);
  place.problem = SharedFolderProblem(folder);
  place.words =
      "The records of upgrades under way, the serial numbers given and the service log "
      "are the computer's, shared by its users, in " +
      place.file + ".";
  return place;
}

std::unique_ptr<Store> OpenTheStore(const std::string& configFile, bool virtualRun) {
  if (const Site site = TheSite(virtualRun); site.configured())
    return OpenPostgresStore(site, TheStorePlace(configFile, virtualRun), kStoreWaitMs);
  return OpenSqliteStore(TheStorePlace(configFile, virtualRun));
}

}  // namespace navkeypad::store
