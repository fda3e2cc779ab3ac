#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {

void SystemClock::sleepMs(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t SystemClock::tickMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void RecordingClock::sleepMs(int milliseconds) {
  {
    std::lock_guard lock(mutex_);
    waits_.push_back(milliseconds);
    if (milliseconds > 0) now_ += static_cast<uint64_t>(milliseconds);
  }
  if (timeDivisor_ > 0 && milliseconds > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(1000 * milliseconds / timeDivisor_));
  }
  if (onSleep) onSleep();
}

uint64_t RecordingClock::tickMs() {
  std::lock_guard lock(mutex_);
  return now_;
}

std::vector<int> RecordingClock::waits() const {
  std::lock_guard lock(mutex_);
  return waits_;
}

void RecordingClock::clearWaits() {
  std::lock_guard lock(mutex_);
  waits_.clear();
}

void RecordingClock::advance(uint64_t milliseconds) {
  std::lock_guard lock(mutex_);
  now_ += milliseconds;
}

namespace {
SystemClock& systemClock() {
  static SystemClock instance;
  return instance;
}
std::atomic<Clock*> current{nullptr};
}  // namespace

Clock& clock() {
  Clock* installed = current.load();
  return installed != nullptr ? *installed : systemClock();
}

void setClock(Clock* replacement) {
  current.store(replacement);
}

bool WaitFor(const std::function<bool()>& present, int seconds) {
  constexpr int kPollMs = 100;
  for (int waited = 0;; waited += kPollMs) {
    if (present()) return true;
    if (waited >= seconds * 1000) return false;
    clock().sleepMs(kPollMs);
  }
}

}  // namespace platform
