#include "wire/replay_sandbox.h"

#include <filesystem>
#include <random>

#include "support/paths.h"

namespace wire {

namespace fs = std::filesystem;

ReplaySandbox::ReplaySandbox() {
  std::error_code error;
  std::random_device random;
  const fs::path folder =
      fs::temp_directory_path(error) /
      ("navkeypad-replay-" + std::to_string(random()) + std::to_string(random()));
  fs::create_directories(folder, error);
  folder_ = support::Utf8FromPath(folder);
  const std::string before = support::EnvironmentText(support::kDataHomeVariable);
  if (!before.empty()) dataHome_ = before;
  support::SetEnvironmentText(support::kDataHomeVariable, folder_);
}

ReplaySandbox::~ReplaySandbox() {
  support::SetEnvironmentText(support::kDataHomeVariable, dataHome_);
  std::error_code ignored;
  fs::remove_all(support::PathFromUtf8(folder_), ignored);
}

std::vector<std::string> ReplaySandbox::confine(std::vector<std::string> recorded) const {
  for (std::size_t i = 0; i + 1 < recorded.size(); ++i) {
    if (recorded[i] != "--file") continue;
    const fs::path name = support::PathFromUtf8(recorded[i + 1]).filename();
    recorded[i + 1] = support::Utf8FromPath(support::PathFromUtf8(folder_) / name);
  }
  return recorded;
}

}  // namespace wire
