// The virtual USB bus: which keypads are plugged in, who is told when that changes.
#include "virtual_keypad.h"

#include <algorithm>

#include "platform/clock.h"

namespace virtual_keypad {

std::string InterfacePath(const std::string& keypadId, int interfaceNumber) {
  return "virtual:" + keypadId + ":1." + std::to_string(interfaceNumber);
}

VirtualBus& VirtualBus::instance() {
  static VirtualBus bus;
  return bus;
}

std::shared_ptr<VirtualKeypad> VirtualBus::plug(std::string id) {
  std::shared_ptr<VirtualKeypad> keypad;
  {
    std::lock_guard lock(mutex_);
    if (id.empty()) id = "keypad" + std::to_string(nextId_++);
    keypad = std::make_shared<VirtualKeypad>(id);
    keypads_.push_back(keypad);
  }
  notifyChange(true);
  return keypad;
}

void VirtualBus::plugKeypad(const std::shared_ptr<VirtualKeypad>& keypad) {
  {
    std::lock_guard lock(mutex_);
    keypads_.push_back(keypad);
    ++nextId_;
  }
  notifyChange(true);
}

void VirtualBus::pull(const std::shared_ptr<VirtualKeypad>& keypad) {
  std::vector<std::shared_ptr<VirtualKeypad>> arriving;
  Behaviour pulledOne = keypad->behaviour();
  const std::optional<int> back = pulledOne.pluggedAgainAfterMs;
  {
    std::lock_guard lock(mutex_);
    if (!back) pulled_.push_back(keypad);
    arriving.swap(waiting_);
  }
  unplug(keypad);
  if (back) {
    // Plugged in again, as a technician would: powered up afresh, after a while.
    pulledOne.pluggedAgainAfterMs.reset();
    keypad->setBehaviour(pulledOne);
    keypad->powerCycle();
    keypad->setAbsentUntil(platform::clock().tickMs() + static_cast<uint64_t>(*back));
    plugKeypad(keypad);
  }
  for (const auto& other : arriving) {
    Behaviour arrived = other->behaviour();
    arrived.arrivesWhenAnotherIsPulled = false;
    other->setBehaviour(arrived);
    plugKeypad(other);
  }
}

void VirtualBus::plugWhenAnotherIsPulled(const std::shared_ptr<VirtualKeypad>& keypad) {
  std::lock_guard lock(mutex_);
  waiting_.push_back(keypad);
  ++nextId_;
}

std::vector<std::shared_ptr<VirtualKeypad>> VirtualBus::waitingKeypads() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

std::vector<std::shared_ptr<VirtualKeypad>> VirtualBus::pulledKeypads() const {
  std::lock_guard lock(mutex_);
  return pulled_;
}

void VirtualBus::unplug(const std::shared_ptr<VirtualKeypad>& keypad) {
  {
    std::lock_guard lock(mutex_);
    keypads_.erase(std::remove(keypads_.begin(), keypads_.end(), keypad), keypads_.end());
  }
  keypad->markUnplugged();
  notifyChange(false);
}

void VirtualBus::reset() {
  std::vector<std::shared_ptr<VirtualKeypad>> removed;
  {
    std::lock_guard lock(mutex_);
    removed.swap(keypads_);
    pulled_.clear();
    waiting_.clear();
    listeners_.clear();
    nextId_ = 1;
    initCalls_ = 0;
    exitCalls_ = 0;
    startFailure_.clear();
  }
  for (const auto& keypad : removed) keypad->markUnplugged();
}

std::vector<std::shared_ptr<VirtualKeypad>> VirtualBus::keypads() const {
  std::lock_guard lock(mutex_);
  return keypads_;
}

std::shared_ptr<VirtualKeypad> VirtualBus::find(const std::string& id) const {
  std::lock_guard lock(mutex_);
  for (const auto& keypad : keypads_) {
    if (keypad->id() == id) return keypad;
  }
  return nullptr;
}

int VirtualBus::addChangeListener(ChangeListener listener) {
  std::lock_guard lock(mutex_);
  listeners_.emplace_back(nextListener_, std::move(listener));
  return nextListener_++;
}

void VirtualBus::removeChangeListener(int token) {
  std::lock_guard lock(mutex_);
  std::erase_if(listeners_, [token](const auto& entry) { return entry.first == token; });
}

void VirtualBus::notifyChange(bool arrived) {
  std::vector<ChangeListener> listeners;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : listeners_) listeners.push_back(entry.second);
  }
  for (const auto& listener : listeners) listener(arrived);
}

int VirtualBus::openHandles() const {
  std::lock_guard lock(mutex_);
  return openHandles_;
}
void VirtualBus::handleOpened() {
  std::lock_guard lock(mutex_);
  ++openHandles_;
}
void VirtualBus::handleClosed() {
  std::lock_guard lock(mutex_);
  --openHandles_;
}
int VirtualBus::initCalls() const {
  std::lock_guard lock(mutex_);
  return initCalls_;
}
int VirtualBus::exitCalls() const {
  std::lock_guard lock(mutex_);
  return exitCalls_;
}
bool VirtualBus::countInit() {
  std::lock_guard lock(mutex_);
  ++initCalls_;
  return startFailure_.empty();
}
void VirtualBus::failStart(std::wstring reason) {
  std::lock_guard lock(mutex_);
  startFailure_ = std::move(reason);
}
std::wstring VirtualBus::startFailure() const {
  std::lock_guard lock(mutex_);
  return startFailure_;
}
void VirtualBus::countExit() {
  std::lock_guard lock(mutex_);
  ++exitCalls_;
}

}  // namespace virtual_keypad
