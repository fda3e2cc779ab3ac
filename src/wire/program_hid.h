// What a program runs on, put together in one place for the window program and the command
// line: the virtual bus (from its state file) or the real one, the keypad locks that real
// keypads need, and the wire's trace, recording or replay around it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/hid_seam.h"
#include "wire/wire_stack.h"

namespace navkeypad::store {
class Store;
}

namespace virtual_keypad {
class ProgramBus;
}

namespace wire {

class ProgramHid {
 public:
  // `realBus` is the system's hidapi (the virtual programs have none and pass the virtual
  // bus); `virtualBus` puts the virtual bus underneath instead.
  ProgramHid(navkeypad::HidBackend& realBus, bool virtualBus, const WireOptions& options,
             const std::string& program, const std::vector<std::string>& arguments);
  ~ProgramHid();
  ProgramHid(const ProgramHid&) = delete;
  ProgramHid& operator=(const ProgramHid&) = delete;

  bool ok() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }
  // Real keypads: neither the virtual bus nor a replay.
  bool realKeypads() const { return realKeypads_; }
  const ReplayHid* replay() const { return stack_ ? stack_->replay() : nullptr; }

  // Shuts hidapi down, ends a recording and writes the virtual bus back; the exit status:
  // `status`, 1 for a replay that went another way, or `notSaved` for a successful run whose
  // virtual bus could not be written (problem() says why).
  int finish(int status, int notSaved = 1);
  // On a virtual bus kept in a file, the service log's lines wait in `store` until the bus is
  // written back at finish(): a change that was lost is not logged.
  void holdLinesUntilSaved(navkeypad::store::Store& store);

 private:
  std::unique_ptr<virtual_keypad::ProgramBus> bus_;
  std::unique_ptr<WireStack> stack_;
  navkeypad::store::Store* heldLines_ = nullptr;
  bool realKeypads_ = false;
  std::string program_;  // for a message of its own
  std::string problem_;
};

}  // namespace wire
