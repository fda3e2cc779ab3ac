// The keypad twin: the virtual bus's keypads served to the real programs as a Linux computer
// serves real ones. umockdev emulates in user space what the kernel and udev would show: each
// keypad a USB device at its port, with its interfaces, HID devices and hidraw nodes in sysfs,
// udev events when it arrives and leaves, and nodes that answer hidraw's ioctls, reads and
// writes. The programs run unchanged under umockdev's preload library, with the system's hidapi
// and libudev, so what they do here is what they do on a technician's bench.
#pragma once

#include <memory>
#include <string>

namespace virtual_keypad {

class KeypadTwin {
 public:
  // The twin of the virtual bus as it is (VirtualBus::instance()); `nodesFile`, where not empty,
  // gets a line for each node made: "/dev/hidrawN ID INTERFACE". Only in a process that runs
  // under umockdev's preload library (umockdev-wrapper), which sees the nodes, as do the
  // programs it starts.
  explicit KeypadTwin(std::string nodesFile = {});
  ~KeypadTwin();
  KeypadTwin(const KeypadTwin&) = delete;
  KeypadTwin& operator=(const KeypadTwin&) = delete;

  // Serves the bus on a thread of its own from now until destruction: what is on it now has its
  // nodes when this returns, and every change to it is followed within milliseconds.
  void start();
  // Returns once what was on the bus when it was called is what the computer shows, as
  // "udevadm settle" does: for a test that plugs a keypad and then acts as a user would.
  void settle();

  class Served;  // what serves the bus, on its thread

 private:
  std::unique_ptr<Served> served_;
};

// True in a process under umockdev's preload library; otherwise runs this program again under
// umockdev-wrapper, and returns false (errno set) only when that cannot be done.
bool RunUnderUmockdev(int argc, char** argv);

}  // namespace virtual_keypad
