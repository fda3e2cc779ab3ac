// A lock between programs on one machine: a lock file that the system lets go of when the
// program ends, however it ends, so a crash never leaves a keypad locked. Every lock follows the
// same rules, wherever it lies: its folder is a real folder that no other user can change behind
// the holder's back, the lock is a plain file (anything else is refused, never waited on), and
// it says who holds it.
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
  // program to let go. False when another program holds it (holder() names it where it said
  // who it is), or when the file or its folder breaks the rules above or cannot be opened or
  // made: then problem() says why (a lock this user has no right to is never taken as free).
  bool take(const std::string& file, bool wait);
  // Lets go; in a sticky folder the file goes with it, so that no lock file of one user stays
  // behind in another's way there.
  void release();
  bool held() const { return handle_ != kNone; }
  // Why the last take failed, when not because another program holds the lock; else empty.
  const std::string& problem() const { return problem_; }
  // Who held it when the last take failed: "navkeypad-utility, process 4242, user anna, since
  // 10:42"; empty where the holder did not say.
  const std::string& holder() const { return holder_; }

 private:
#ifdef _WIN32
  static constexpr void* kNone = nullptr;
  void* handle_ = kNone;
#else
  static constexpr int kNone = -1;
  int handle_ = kNone;
#endif
  std::string problem_;
  std::string holder_;
  std::string file_;  // to remove when let go, in a sticky folder
};

// Why `folder` may not hold locks (or the files they guard): it is a link, not a folder,
// belongs to another user than root or this one, or every user may replace what is in it
// (writable by all without the sticky bit); empty when it may.
std::string LockFolderProblem(const std::string& folder);

// Where every user's programs keep the keypads' locks, since a keypad is one for the whole
// machine (the udev rule opens it to the group navkeypad as well as to the user at the seat):
// /run/lock/navkeypad (or /tmp/navkeypad where there is no /run/lock), the group's, as the
// Debian package's tmpfiles.d entry makes it; on Windows the common application-data folder.
// Where it is missing it is made sticky and writable by every user, as this user's own, which
// other users' programs then refuse (LockFolderProblem); `problem` says why it cannot be used.
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
