// The keypads' locks are shared by every user of the machine: a technician logged in from
// elsewhere must be kept off a keypad the user at the seat has open, and a lock nobody may take
// must be said, never taken as free.
#include "support/program_lock.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "other_user.h"
#include "temp_dir.h"

#ifndef _WIN32
namespace {

enum TakeResult { kTaken = 0, kHeldElsewhere = 1, kDenied = 2 };

TakeResult TryLock(const std::string& file) {
  support::ProgramLock lock;
  if (lock.take(file, false)) return kTaken;
  return lock.problem().empty() ? kHeldElsewhere : kDenied;
}

TEST(SharedLocks, TheFolderIsStickyForEveryUserAndNeverALink) {
  TempDir parent;
  const support::LockFolder made = support::SharedLockFolderIn(parent.file(""));
  EXPECT_EQ(made.problem, "");
  struct stat found {};
  ASSERT_EQ(lstat(made.path.c_str(), &found), 0);
  EXPECT_EQ(found.st_mode & 07777, 01777u);
  TempDir linked;
  std::filesystem::create_directory_symlink(parent.path(), linked.path() / "navkeypad");
  const support::LockFolder link = support::SharedLockFolderIn(linked.file(""));
  EXPECT_EQ(link.problem, link.path + " is not a folder");
}

TEST(SharedLocks, TwoUsersProgramsKeepEachOtherOffOneKeypad) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "runs the programs as two other users, which only root can; run the suite "
                    "as root to check that two users' programs keep each other off a keypad";
  }
  constexpr uid_t kAtTheSeat = 40001, kRemote = 40002;
  TempDir run;  // stands for /run/lock
  std::filesystem::permissions(run.path(), static_cast<std::filesystem::perms>(01777));
  const std::string keypadA = run.file("navkeypad/keypad-a.lock");
  const std::string keypadB = run.file("navkeypad/keypad-b.lock");
  const pid_t holder = StartAsUser(kAtTheSeat, [&] {
    support::SharedLockFolderIn(run.file(""));
    support::ProgramLock held;
    return held.take(keypadA, false) ? pause() : 1;
  });
  for (int wait = 0; wait < 5000 && TryLock(keypadA) != kHeldElsewhere; ++wait) usleep(1000);
  EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadA); }), kHeldElsewhere);
  EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadB); }), kTaken);
  kill(holder, SIGTERM);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadA); }), kTaken);
  EXPECT_EQ(AsUser(kAtTheSeat, [&] { return TryLock(keypadB); }), kTaken);
}
}  // namespace
#endif
