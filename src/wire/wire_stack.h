// The HID backend a program runs on, put together from its switches: the system's hidapi or
// the virtual bus underneath, a trace and a recording around it, or a replay instead.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "device/hid_seam.h"
#include "platform/clock.h"
#include "wire/recording.h"
#include "wire/trace.h"

namespace wire {

struct WireOptions {
  std::string trace;   // a file, or "-" for standard error
  std::string record;  // a file
  std::string replay;  // a file
};

// NAVKEYPAD_TRACE, NAVKEYPAD_RECORD and NAVKEYPAD_REPLAY.
WireOptions WireOptionsFromEnvironment();

class WireStack {
 public:
  // `base` is what the program talks to unless it replays. The stack becomes the seam's
  // backend; its destruction puts the seam back.
  WireStack(navkeypad::HidBackend& base, const WireOptions& options, const std::string& program,
            const std::vector<std::string>& arguments);
  ~WireStack();
  WireStack(const WireStack&) = delete;
  WireStack& operator=(const WireStack&) = delete;

  bool ok() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }
  const ReplayHid* replay() const { return replay_.get(); }
  // Ends a recording with the exit status; a replay that went another way than recorded
  // turns the status into 1 (after saying why).
  int finish(int exitStatus);

 private:
  std::unique_ptr<ReplayHid> replay_;
  std::unique_ptr<RecordingHid> recorder_;
  std::unique_ptr<TracingHid> tracer_;
  std::FILE* traceFile_ = nullptr;
  platform::RecordingClock noWaits_;  // a replay does not sit through the recorded waits
  std::string problem_;
};

}  // namespace wire
