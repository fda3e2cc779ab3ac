#include "wire/program_hid.h"

#include <cstdio>

#include "bus_state.h"
#include "device/hid_transport.h"
#include "device/keypad_bus.h"
#include "hidapi_virtual.h"
#include "store/bench_folder.h"
#include "store/service_log.h"
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
    // The bus's keypads keep what was done to them only once it is written back at the end.
    navkeypad::store::HoldServiceLines();
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

int ProgramHid::finish(int status, int notSaved) {
  ShutDownHid();
  if (stack_) status = stack_->finish(status);
  if (bus_) {
    const bool saved = bus_->save();
    if (!saved) {
      problem_ = bus_->problem() + "; what was done is not in the service log either";
      if (status == 0) status = notSaved;
    }
    // As when a line is appended at once: a log that cannot be written fails nothing.
    if (const std::string failed = navkeypad::store::ReleaseServiceLines(saved); !failed.empty()) {
      std::fprintf(stderr, "%s: the service log %s; what was done is not recorded there.\n",
                   program_.c_str(), failed.c_str());
    }
  }
  return status;
}

}  // namespace wire
