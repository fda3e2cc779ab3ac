#include "wire/replay_sandbox.h"

#include <filesystem>
#include <random>

#include "support/paths.h"

namespace wire {

namespace fs = std::filesystem;

ReplaySandbox::ReplaySandbox() {
  std::error_code error;
  std::random_device random;
  const fs::path temporary = fs::temp_directory_path(error);
  const fs::path folder =
      temporary / ("navkeypad-replay-" + std::to_string(random()) + std::to_string(random()));
  // A folder that is not made, or not absolute, would leave the replay to write where it
  // stands, perhaps among the user's own files: the replay is refused instead.
  if (error || !folder.is_absolute() || !fs::create_directory(folder, error) || error) {
    problem_ = "the replay's own folder cannot be made in the temporary folder (" +
               (error ? error.message() : "it is not an absolute path") +
               "; set TMPDIR to a folder that exists)";
    return;
  }
  folder_ = support::Utf8FromPath(folder);
  const std::string before = support::EnvironmentText(support::kDataHomeVariable);
  if (!before.empty()) dataHome_ = before;
  support::SetEnvironmentText(support::kDataHomeVariable, folder_);
}

ReplaySandbox::~ReplaySandbox() {
  if (!problem_.empty()) return;
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
