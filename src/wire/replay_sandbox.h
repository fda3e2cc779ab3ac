// A replay plays back what a program once did, its files included. It runs with a data
// folder of its own, made fresh in the temporary folder and removed afterwards, so that it
// writes nothing of the user's: not the configuration file, not an upgrade record.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace wire {

class ReplaySandbox {
 public:
  // Names the fresh folder as the user's data folder for the rest of the run.
  ReplaySandbox();
  ~ReplaySandbox();
  ReplaySandbox(const ReplaySandbox&) = delete;
  ReplaySandbox& operator=(const ReplaySandbox&) = delete;

  const std::string& folder() const { return folder_; }
  // Why the folder could not be made; the replay must not run then.
  const std::string& problem() const { return problem_; }
  // Recorded arguments with every file that --file names moved into the folder: a path the
  // recording holds is never written.
  std::vector<std::string> confine(std::vector<std::string> recorded) const;

 private:
  std::string folder_;
  std::string problem_;
  std::optional<std::string> dataHome_;  // as it was before
};

}  // namespace wire
