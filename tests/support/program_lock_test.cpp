// The keypads' locks are shared by every user of the machine: a technician logged in from
// elsewhere must be kept off a keypad the user at the seat has open, and a lock nobody may take
// must be said, never taken as free.
#include "support/program_lock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "temp_dir.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

enum TakeResult { kTaken = 0, kHeldElsewhere = 1, kDenied = 2 };

TakeResult TryLock(const std::string& file) {
  support::ProgramLock lock;
  if (lock.take(file, false)) return kTaken;
  return lock.problem().empty() ? kHeldElsewhere : kDenied;
}

TEST(SharedLocks, ALockFileThatCannotBeOpenedIsRefusedWithItsReasonNotTakenAsHeld) {
  TempDir dir;
  WriteBytes(dir.path() / "file", "");
  support::ProgramLock lock;
  EXPECT_FALSE(lock.take(dir.file("file/keypad.lock"), false));
  EXPECT_NE(lock.problem().find(dir.file("file/keypad.lock")), std::string::npos);
  EXPECT_EQ(TryLock(dir.file("keypad.lock")), kTaken);
}

#ifdef _WIN32

TEST(SharedLocks, TheFolderIsTheCommonApplicationDataFolders) {
  const support::LockFolder shared = support::SharedLockFolder();
  EXPECT_EQ(shared.problem, "");
  EXPECT_NE(shared.path.find("VeltoInterface\\locks"), std::string::npos) << shared.path;
  EXPECT_TRUE(std::filesystem::is_directory(support::PathFromUtf8(shared.path)));
}

#else

TEST(SharedLocks, TheFolderIsStickyWritableByEveryUserAndNeverALink) {
  TempDir parent;
  const support::LockFolder made = support::SharedLockFolderIn(parent.file(""));
  EXPECT_EQ(made.problem, "");
  struct stat found {};
  ASSERT_EQ(lstat(made.path.c_str(), &found), 0);
  EXPECT_EQ(found.st_mode & 07777, 01777u);

  TempDir elsewhere;
  TempDir linked;
  std::filesystem::create_directory_symlink(elsewhere.path(), linked.path() / "navkeypad");
  const support::LockFolder link = support::SharedLockFolderIn(linked.file(""));
  EXPECT_EQ(link.problem, link.path + " is not a folder");
}

// Runs `body` in a process of its own as the user `uid` (its group the same number), with a
// umask that keeps the user's files to themselves; `body`'s result, or -1.
int AsUser(uid_t uid, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) _exit(100);
    umask(077);
    _exit(body());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SharedLocks, TwoUsersProgramsKeepEachOtherOffOneKeypad) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "runs the programs as two other users, which only root can; run the suite "
                    "as root to check that two users' programs keep each other off a keypad";
  }
  constexpr uid_t kAtTheSeat = 40001;
  constexpr uid_t kRemote = 40002;
  TempDir run;  // stands for /run/lock
  std::filesystem::permissions(run.path(), static_cast<std::filesystem::perms>(01777));
  const std::string folder = run.file(support::kSharedLockFolderName);
  const std::string keypadA = folder + "/keypad-a.lock";
  const std::string keypadB = folder + "/keypad-b.lock";

  int holding[2];
  int letGo[2];
  ASSERT_EQ(pipe(holding), 0);
  ASSERT_EQ(pipe(letGo), 0);
  const pid_t first = fork();
  if (first == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(kAtTheSeat) != 0 || setuid(kAtTheSeat) != 0) _exit(1);
    umask(077);
    support::ProgramLock lock;
    char taken =
        support::SharedLockFolderIn(run.file("")).problem.empty() && lock.take(keypadA, false)
            ? 'y'
            : 'n';
    if (write(holding[1], &taken, 1) != 1 || read(letGo[0], &taken, 1) != 1) _exit(1);
    _exit(0);
  }
  char taken = 'n';
  ASSERT_EQ(read(holding[0], &taken, 1), 1);
  EXPECT_EQ(taken, 'y');

  EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadA); }), kHeldElsewhere);
  EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadB); }), kTaken);
  EXPECT_EQ(write(letGo[1], "x", 1), 1);
  int status = 0;
  waitpid(first, &status, 0);
  EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadA); }), kTaken);
  EXPECT_EQ(AsUser(kAtTheSeat, [&] { return TryLock(keypadB); }), kTaken);
  for (int end : {holding[0], holding[1], letGo[0], letGo[1]}) close(end);
}

#endif

}  // namespace
