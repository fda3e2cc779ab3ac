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
  // program to let go. False when another program holds it, or when the file cannot be opened
  // or made: then problem() says why (a lock this user has no right to is never taken as free).
  bool take(const std::string& file, bool wait);
  void release();
  bool held() const { return handle_ != kNone; }
  // Why the last take failed, when not because another program holds the lock; else empty.
  const std::string& problem() const { return problem_; }

 private:
#ifdef _WIN32
  static constexpr void* kNone = nullptr;
  void* handle_ = kNone;
#else
  static constexpr int kNone = -1;
  int handle_ = kNone;
#endif
  std::string problem_;
};

// Where this user's programs keep locks of this user's own files: $XDG_RUNTIME_DIR/navkeypad when
// set (and absolute), else a folder of this user's in the temporary folder; on Windows under the
// local application-data folder. Made when missing; empty when it cannot be.
std::string DefaultLockFolder();

// Where every user's programs keep the keypads' locks, since a keypad is one for the whole
// machine (the udev rule opens it to the group plugdev as well as to the user at the seat):
// /run/lock/navkeypad (or /tmp/navkeypad where there is no /run/lock), a sticky folder every
// user can write to, as the Debian package's tmpfiles.d entry makes it; on Windows the common
// application-data folder, where every user may add files and read those of others. Made when
// missing; `problem` says why it cannot be used.
struct LockFolder {
  std::string path;
  std::string problem;
};
LockFolder SharedLockFolder();
#ifndef _WIN32
inline constexpr const char* kSharedLockFolderName = "navkeypad";
// The same under another parent folder (for tests).
LockFolder SharedLockFolderIn(const std::string& parent);
#endif

}  // namespace support
