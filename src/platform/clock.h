// Waits and the millisecond tick, behind one seam so that tests can record the waits the
// program asks for instead of sitting through them. Plain C++: the download sequence uses it
// without a window.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void sleepMs(int milliseconds) = 0;
  // Steady milliseconds since an arbitrary start.
  virtual uint64_t tickMs() = 0;
};

// The real clock.
class SystemClock : public Clock {
 public:
  void sleepMs(int milliseconds) override;
  uint64_t tickMs() override;
};

// Records every requested wait and returns at once, or after the wait divided by a scale
// when one is set (for loops that poll); the tick moves on by each requested wait, so
// durations computed from it still add up.
class RecordingClock : public Clock {
 public:
  explicit RecordingClock(int timeDivisor = 0) : timeDivisor_(timeDivisor) {}
  void sleepMs(int milliseconds) override;
  uint64_t tickMs() override;
  std::vector<int> waits() const;
  void clearWaits();
  // Moves the tick on without a wait, as work that takes time would.
  void advance(uint64_t milliseconds);
  // Run after each wait is noted, on the waiting thread: what happens at a moment of a wait
  // (a cable pulled, Ctrl-C pressed). Set before the clock is waited on.
  std::function<void()> onSleep;

 private:
  mutable std::mutex mutex_;
  std::vector<int> waits_;
  uint64_t now_ = 1000;
  int timeDivisor_;
};

// The clock every part of the program waits on; the system clock unless replaced.
Clock& clock();
// Not owned; nullptr puts the system clock back.
void setClock(Clock* clock);

// Asks `present` every 100 ms of the clock until it says yes or `seconds` have passed.
bool WaitFor(const std::function<bool()>& present, int seconds);

}  // namespace platform
