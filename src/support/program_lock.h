// A lock between programs on one machine: a lock file that the system lets go of when the
// program ends, however it ends, so a crash never leaves a keypad locked.
#pragma once

#include <string>

namespace support {

class ProgramLock {
 public:
  ProgramLock() = default;
  ~ProgramLock();
  ProgramLock(ProgramLock&& other) noexcept;
  ProgramLock& operator=(ProgramLock&& other) noexcept;
  ProgramLock(const ProgramLock&) = delete;
  ProgramLock& operator=(const ProgramLock&) = delete;

  // Takes the lock on `file` (UTF-8), made when missing; with `wait`, waits for another
  // program to let go. False when another program holds it or the file cannot be made.
  bool take(const std::string& file, bool wait);
  void release();
  bool held() const { return handle_ != kNone; }

 private:
#ifdef _WIN32
  static constexpr void* kNone = nullptr;
  void* handle_ = kNone;
#else
  static constexpr int kNone = -1;
  int handle_ = kNone;
#endif
};

// Where this user's programs keep their locks: $XDG_RUNTIME_DIR/navkeypad when set (and
// absolute), else a folder of this user's in the temporary folder; on Windows under the local
// application-data folder. Made when missing; empty when it cannot be.
std::string DefaultLockFolder();

}  // namespace support
