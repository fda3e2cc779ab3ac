#include "wire/wire_stack.h"

#include <cstdlib>

#include "support/atomic_file.h"
#include "support/paths.h"

namespace wire {

WireOptions WireOptionsFromEnvironment() {
  return {support::EnvironmentText("NAVKEYPAD_TRACE"), support::EnvironmentText("NAVKEYPAD_RECORD"),
          support::EnvironmentText("NAVKEYPAD_REPLAY")};
}

WireStack::WireStack(navkeypad::HidBackend& base, const WireOptions& options,
                     const std::string& program, const std::vector<std::string>& arguments) {
  navkeypad::HidBackend* backend = &base;
  if (!options.replay.empty()) {
    std::string text;
    constexpr std::uintmax_t kLargerThanAnyRecording = 64u << 20;
    if (const std::string why =
            support::ReadRegularFile(options.replay, text, kLargerThanAnyRecording);
        !why.empty()) {
      problem_ = options.replay + " " + why;
      return;
    }
    try {
      replay_ = std::make_unique<ReplayHid>(ParseRecording(text), options.replay);
    } catch (const std::invalid_argument& error) {
      problem_ = options.replay + ": not a recording: " + error.what();
      return;
    }
    backend = replay_.get();
    platform::setClock(&noWaits_);
  }
  if (!options.record.empty()) {
    recorder_ = std::make_unique<RecordingHid>(*backend, options.record, program, arguments);
    if (!recorder_->ok()) {
      problem_ = options.record + ": cannot be written";
      return;
    }
    backend = recorder_.get();
  }
  if (!options.trace.empty()) {
    // Binary, so that a trace reads the same, byte for byte, on every system.
    traceFile_ = options.trace == "-" ? stderr : support::OpenFile(options.trace, "wb");
    if (traceFile_ == nullptr) {
      problem_ = options.trace + ": cannot be written";
      return;
    }
    tracer_ = std::make_unique<TracingHid>(*backend, traceFile_);
    backend = tracer_.get();
  }
  navkeypad::SetHid(backend);
}

WireStack::~WireStack() {
  navkeypad::SetHid(nullptr);
  if (replay_) platform::setClock(nullptr);
  if (traceFile_ != nullptr && traceFile_ != stderr) std::fclose(traceFile_);
}

int WireStack::finish(int exitStatus) {
  if (recorder_) recorder_->finish(exitStatus);
  if (!replay_) return exitStatus;
  if (!replay_->failure().empty()) return 1;
  if (const std::string left = replay_->leftOver(); !left.empty()) {
    std::fprintf(stderr, "%s\n", left.c_str());
    return 1;
  }
  const auto recorded = replay_->recording().exitStatus;
  if (recorded && *recorded != exitStatus) {
    std::fprintf(stderr, "replay of %s: the program ended with %d, the recording with %d\n",
                 replay_->recording().program.c_str(), exitStatus, *recorded);
    return 1;
  }
  return exitStatus;
}

}  // namespace wire
