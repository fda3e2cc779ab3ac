// The keypads' locks are shared by every user of the machine: a technician logged in from
// elsewhere must be kept off a keypad the user at the seat has open, a lock nobody may take
// must be said, never taken as free, and nothing another user plants where a lock goes may
// hang a program or let two hold one lock.
#include "support/program_lock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <csignal>
#include <filesystem>

#include "other_user.h"
#include "support/atomic_file.h"
#include "temp_dir.h"

#ifndef _WIN32
namespace {

using testing::HasSubstr;
using testing::MatchesRegex;

enum TakeResult { kTaken = 0, kHeldElsewhere = 1, kDenied = 2 };

TakeResult TryLock(const std::string& file) {
  support::ProgramLock lock;
  if (lock.take(file, false)) return kTaken;
  return lock.problem().empty() ? kHeldElsewhere : kDenied;
}

constexpr uid_t kAtTheSeat = 40001, kRemote = 40002;

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
  EXPECT_EQ(link.problem, link.path + " is a link, not a folder");
}

// Whatever stands where a lock goes, the program says why it takes no lock there, at once.
TEST(SharedLocks, WhatIsPlantedWhereALockGoesIsRefusedWithItsReason) {
  TempDir dir;
  const std::string lock = dir.file("keypad.lock");
  const bool root = geteuid() == 0;
  const struct {
    const char* planted;
    std::function<void()> plant;
    std::string says;  // empty: the lock is taken
  } rows[] = {
      {"nothing", [] {}, ""},
      {"a FIFO", [&] { mkfifo(lock.c_str(), 0666); }, lock + " is a FIFO, not a lock"},
      {"a folder", [&] { std::filesystem::create_directory(lock); }, lock + " is a folder, not a lock"},
      {"a link", [&] { std::filesystem::create_symlink(dir.file("elsewhere"), lock); },
       lock + " is a link, not a lock"},
      {"a socket",
       [&] {
         const int s = socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::snprintf(address.sun_path, sizeof address.sun_path, "%s", lock.c_str());
         bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
         close(s);
       },
       lock + " is a socket, not a lock"},
      {"another user's file",
       [&] {
         WriteBytes(lock, "");
         if (chown(lock.c_str(), kRemote, kRemote) != 0) return;
       },
       root ? lock + " belongs to the user 40002, who could remove it while it is held; that user "
                     "or the administrator can remove it"
            : ""},
      {"a folder of another user, open to all",
       [&] {
         std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
         if (chown(dir.path().c_str(), kRemote, kRemote) != 0) return;
       },
       root ? dir.path().string() + " belongs to the user 40002, who could change the locks in it" : ""},
      {"a folder open to all without the sticky bit",
       [&] { std::filesystem::permissions(dir.path(), std::filesystem::perms::all); },
       dir.path().string() + " lets every user remove what others keep in it (it lacks the sticky bit)"},
  };
  for (const auto& row : rows) {
    std::error_code ignored;
    std::filesystem::remove_all(lock, ignored);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    if (chown(dir.path().c_str(), geteuid(), getegid()) != 0) FAIL();
    row.plant();
    // In a child, so that a lock that blocks fails the row instead of hanging the suite.
    const pid_t child = fork();
    if (child == 0) {
      support::ProgramLock taken;
      const bool ok = taken.take(lock, true);
      WriteBytes(dir.file("said"), ok ? "" : taken.problem());
      _exit(0);
    }
    int status = -1;
    for (int wait = 0; wait < 3000 && waitpid(child, &status, WNOHANG) == 0; ++wait) usleep(1000);
    if (waitpid(child, &status, WNOHANG) == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << row.planted << ": the lock was waited on";
      continue;
    }
    std::string said;
    support::ReadWholeFile(dir.file("said"), said);
    EXPECT_EQ(said, row.says) << row.planted;
    std::filesystem::remove(dir.file("said"), ignored);
  }
}

TEST(SharedLocks, ALockSaysWhoHoldsItAndIsFreeOnceItsHolderIsGone) {
  TempDir dir;
  std::filesystem::permissions(dir.path(), static_cast<std::filesystem::perms>(01777));
  const std::string lock = dir.file("keypad.lock");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    support::ProgramLock held;
    const char taken = held.take(lock, false) ? 1 : 0;
    if (write(ready[1], &taken, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char taken = 0;
  ASSERT_EQ(read(ready[0], &taken, 1), 1);
  ASSERT_EQ(taken, 1);
  support::ProgramLock second;
  EXPECT_FALSE(second.take(lock, false));
  EXPECT_EQ(second.problem(), "");
  EXPECT_THAT(second.holder(), MatchesRegex("support_tests, process " + std::to_string(holder) +
                                            ", user [^,]+, since [0-9][0-9]:[0-9][0-9]"));
  EXPECT_EQ(support::LockHolder(lock), second.holder());
  kill(holder, SIGKILL);  // no chance to let go by itself
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(second.take(lock, false));
  EXPECT_THAT(support::LockHolder(lock), HasSubstr("process " + std::to_string(getpid())));
  second.release();
  // In a sticky folder no lock file of one user stays in another's way.
  EXPECT_FALSE(std::filesystem::exists(lock));
}

// The folder the package makes (root, the group navkeypad, setgid, no sticky bit), and one
// every user may write to with the sticky bit: in both, one user's program keeps another's off
// a keypad, and a holder that died leaves the keypad to the next.
TEST(SharedLocks, TwoUsersProgramsKeepEachOtherOffOneKeypad) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "runs the programs as two other users, which only root can; run the suite "
                    "as root to check that two users' programs keep each other off a keypad";
  }
  constexpr gid_t kBench = 40100;
  for (const bool sticky : {false, true}) {
    TempDir run;  // stands for /run/lock/navkeypad, made as the package makes it
    ASSERT_EQ(chown(run.path().c_str(), 0, sticky ? 0 : kBench), 0);
    std::filesystem::permissions(run.path(),
                                 static_cast<std::filesystem::perms>(sticky ? 01777 : 02775));
    const std::string keypadA = run.file("keypad-a.lock");
    const std::string keypadB = run.file("keypad-b.lock");
    const pid_t holder = StartAsUser(
        kAtTheSeat, [&] {
          support::ProgramLock held;
          return held.take(keypadA, false) ? pause() : 1;
        },
        kBench);
    for (int wait = 0; wait < 5000 && TryLock(keypadA) != kHeldElsewhere; ++wait) usleep(1000);
    EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadA); }, kBench), kHeldElsewhere);
    EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadB); }, kBench), kTaken) << sticky;
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    if (sticky) {
      // The file of a user whose program died stays there, and that user could remove it under
      // the next holder: refused, with who may remove it.
      EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadA); }, kBench), kDenied);
    } else {
      EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(keypadA); }, kBench), kTaken);
    }
    EXPECT_EQ(AsUser(kAtTheSeat, [&] { return TryLock(keypadB); }, kBench), kTaken) << sticky;
  }
  // A user's program that made the folder itself (no package) keeps every other user off.
  TempDir parent;
  std::filesystem::permissions(parent.path(), static_cast<std::filesystem::perms>(01777));
  EXPECT_EQ(AsUser(kAtTheSeat,
                   [&] { return support::SharedLockFolderIn(parent.file("")).problem.empty() ? 0 : 1; }),
            0);
  EXPECT_EQ(AsUser(kRemote, [&] { return TryLock(parent.file("navkeypad/keypad-a.lock")); }),
            kDenied);
}
}  // namespace
#endif
