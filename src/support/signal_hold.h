// Ctrl-C, SIGTERM and a closed terminal, held while a keypad is between its application and its
// restore: a download cut short leaves a keypad in its loader, and a restore cut short leaves it
// without its serial number, for nothing. The signals that come meanwhile are remembered, and the
// program stops once the keypad is finished.
#pragma once

#include <memory>
#include <string>

namespace support {

class SignalHold {
 public:
  // `announcement` is written to standard error as soon as a signal comes (one line).
  explicit SignalHold(const std::string& announcement);
  ~SignalHold();
  SignalHold(const SignalHold&) = delete;
  SignalHold& operator=(const SignalHold&) = delete;

  // Whether a stop was asked while a hold was on, since the program started or Forget().
  static bool Asked();
  static void Forget();

  // The signals are kept off the thread that lives in it while a hold is on, so that none
  // interrupts that thread's reads and writes of a keypad (the hold's own thread takes them).
  class OffThisThread {
   public:
    OffThisThread();
    ~OffThisThread();
    OffThisThread(const OffThisThread&) = delete;
    OffThisThread& operator=(const OffThisThread&) = delete;

   private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
  };

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace support
