// The virtual USB bus that hid_enumerate sees: the keypads plugged in, those a fault pulled
// off it, and the listeners told of every change. Thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace virtual_keypad {

class VirtualKeypad;

// The virtual USB bus that hid_enumerate sees.
class VirtualBus {
 public:
  static VirtualBus& instance();

  std::shared_ptr<VirtualKeypad> plug(std::string id = {});
  void unplug(const std::shared_ptr<VirtualKeypad>& keypad);
  // Unplugs everything and forgets every listener: a clean bus for the next test.
  void reset();
  std::vector<std::shared_ptr<VirtualKeypad>> keypads() const;
  std::shared_ptr<VirtualKeypad> find(const std::string& id) const;
  // Puts a keypad built elsewhere (a state file) on the bus.
  void plugKeypad(const std::shared_ptr<VirtualKeypad>& keypad);
  // A keypad whose cable was pulled by a fault: off the bus, but still on the desk.
  void pull(const std::shared_ptr<VirtualKeypad>& keypad);
  std::vector<std::shared_ptr<VirtualKeypad>> pulledKeypads() const;
  // A keypad on the desk, plugged in when a fault next pulls another keypad's cable: the
  // technician who swaps keypads while one restarts.
  void plugWhenAnotherIsPulled(const std::shared_ptr<VirtualKeypad>& keypad);
  std::vector<std::shared_ptr<VirtualKeypad>> waitingKeypads() const;

  // Called with true on arrival and false on removal of any device on the bus, also when a
  // keypad leaves and returns by itself.
  using ChangeListener = std::function<void(bool arrived)>;
  int addChangeListener(ChangeListener listener);
  void removeChangeListener(int token);
  void notifyChange(bool arrived);

  int openHandles() const;
  void handleOpened();
  void handleClosed();
  int initCalls() const;
  int exitCalls() const;
  // Counts the call; false (hid_init failed, for `startFailure`) after failStart.
  bool countInit();
  void countExit();
  // Makes hid_init fail with `reason`, as a system without a working HID library does.
  void failStart(std::wstring reason);
  std::wstring startFailure() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<VirtualKeypad>> keypads_;
  std::vector<std::shared_ptr<VirtualKeypad>> pulled_;
  std::vector<std::shared_ptr<VirtualKeypad>> waiting_;
  std::vector<std::pair<int, ChangeListener>> listeners_;
  int nextListener_ = 1;
  int nextId_ = 1;
  int openHandles_ = 0;
  int initCalls_ = 0;
  int exitCalls_ = 0;
  std::wstring startFailure_;
};

// Path of one interface of a keypad as hid_enumerate reports it.
std::string InterfacePath(const std::string& keypadId, int interfaceNumber);

}  // namespace virtual_keypad
