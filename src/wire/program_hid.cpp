#include "wire/program_hid.h"

#include <cstdio>

#include "bus_state.h"
#include "device/hid_transport.h"
#include "device/keypad_bus.h"
#include "hidapi_virtual.h"
#include "store/bench_folder.h"
#include "store/store.h"
#include "support/program_lock.h"

namespace wire {

ProgramHid::ProgramHid(navkeypad::HidBackend& realBus, bool virtualBus, const WireOptions& options,
                       const std::string& program, const std::vector<std::string>& arguments)
    : realKeypads_(!virtualBus && options.replay.empty()), program_(program) {
  if (virtualBus && options.replay.empty()) {
    bus_ = std::make_unique<virtual_keypad::ProgramBus>();
    if (!bus_->ok()) {
      problem_ = bus_->problem();
      return;
    }
  }
  // Real keypads are shared with every program of every user of the machine; a virtual bus or a
  // replay lives in this program alone.
  if (realKeypads_) {
    const support::LockFolder shared = navkeypad::store::TheKeypadLockFolder();
    navkeypad::SetKeypadLockFolder(shared.path, shared.problem);
  }
  stack_ = std::make_unique<WireStack>(virtualBus ? virtual_keypad::VirtualHid() : realBus, options,
                                       program, arguments);
  if (!stack_->ok()) problem_ = stack_->problem();
}

ProgramHid::~ProgramHid() = default;

void ProgramHid::holdLinesUntilSaved(navkeypad::store::Store& store) {
  if (!bus_) return;
  heldLines_ = &store;
  store.holdLines();
}

int ProgramHid::finish(int status, int notSaved) {
  ShutDownHid();
  if (stack_) status = stack_->finish(status);
  if (bus_) {
    const bool saved = bus_->save();
    if (!saved) {
      problem_ = bus_->problem() + "; what was done is not in the service log either";
      if (status == 0) status = notSaved;
    }
    if (heldLines_) {
      if (const auto failed = heldLines_->releaseLines(saved)) {
        std::fprintf(stderr, "%s: %s; what was done is not recorded in the service log.\n",
                     program_.c_str(), failed.message.c_str());
        if (status == 0) status = notSaved;
      }
    }
  }
  return status;
}

}  // namespace wire
