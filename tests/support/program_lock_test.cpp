// The keypads' locks are shared by every user of the machine: a technician logged in from
// elsewhere must be kept off a keypad the user at the seat has open, a lock nobody may take
// must be said, never taken as free, and nothing another user plants where a lock goes may
// hang a program or let two hold one lock.
#include "support/program_lock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>

#include "other_user.h"
#include "support/atomic_file.h"
#include "temp_dir.h"

#ifndef _WIN32
namespace {

using testing::MatchesRegex;

enum TakeResult { kTaken = 0, kHeldElsewhere = 1, kDenied = 2 };

TakeResult TryLock(const std::string& file) {
  support::ProgramLock lock;
  if (lock.take(file, false)) return kTaken;
  return lock.problem().empty() ? kHeldElsewhere : kDenied;
}

constexpr uid_t kAtTheSeat = 40001, kRemote = 40002, kOutsider = 40003;

// Whatever stands where a lock goes, the program says why it takes no lock there, at once.
TEST(SharedLocks, WhatIsPlantedWhereALockGoesIsRefusedWithItsReason) {
  TempDir dir;
  std::string lock = dir.file("keypad.lock");
  const bool root = geteuid() == 0;
  const auto toAnother = [&](const std::filesystem::path& path) {
    EXPECT_EQ(chown(path.c_str(), kRemote, kRemote) == 0, root);
  };
  const std::string folder = dir.path().string();
  const struct {
    std::function<void()> plant;
    std::string says;  // empty: the lock is taken
  } rows[] = {
      {[] {}, ""},
      {[&] { mkfifo(lock.c_str(), 0666); }, lock + " is a FIFO, not a lock"},
      {[&] { std::filesystem::create_directory(lock); }, lock + " is a folder, not a lock"},
      {[&] { std::filesystem::create_symlink(folder, lock); }, lock + " is a link, not a lock"},
      {[&] { WriteBytes(lock, ""), toAnother(lock); },
       root ? lock + " belongs to the user 40002, who could remove it while it is held; that user "
                     "or the administrator can remove it"
            : ""},
      {[&] {
         std::filesystem::permissions(folder, std::filesystem::perms::all), toAnother(folder);
       },
       root ? folder + " belongs to the user 40002, who could change the locks in it" : ""},
      {[&] {
         std::filesystem::create_directory_symlink(folder, folder + "/l");
         lock = folder + "/l/keypad.lock";
       },
       folder + "/l is a link, not a folder"},
      {[&] { std::filesystem::permissions(folder, std::filesystem::perms::all); },
       folder + " lets every user remove what others keep in it (it lacks the sticky bit)"},
  };
  for (const auto& row : rows) {
    lock = dir.file("keypad.lock");
    std::error_code ignored;
    for (const std::string& planted : {lock, folder + "/l"})
      std::filesystem::remove(planted, ignored);
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    if (chown(dir.path().c_str(), geteuid(), getegid()) != 0) FAIL();
    row.plant();
    // A lock that waits on what was planted ends the suite (SIGALRM) instead of hanging it.
    support::ProgramLock taken;
    alarm(5);
    const bool ok = taken.take(lock, true);
    alarm(0);
    EXPECT_EQ(ok ? std::string() : taken.problem(), row.says);
  }
}

TEST(SharedLocks, ALockSaysWhoHoldsItAndIsFreeOnceItsHolderIsGone) {
  TempDir dir;
  const std::string lock = dir.file("keypad.lock");
  const pid_t holder = fork();
  if (holder == 0) {
    support::ProgramLock held;
    while (!held.take(lock, false)) usleep(1000);
    _exit(pause());
  }
  support::ProgramLock second;
  for (int wait = 0; wait < 5000 && (second.take(lock, false) || second.holder().empty()); ++wait) {
    second.release();
    usleep(1000);
  }
  EXPECT_EQ(second.problem(), "");
  EXPECT_THAT(second.holder(), MatchesRegex("support_tests, process " + std::to_string(holder) +
                                            ", user [^,]+, since [0-9][0-9]:[0-9][0-9]"));
  kill(holder, SIGKILL);  // no chance to let go by itself
  waitpid(holder, nullptr, 0);
  EXPECT_TRUE(second.take(lock, false));
  // A lock named without a folder is in the current one.
  second.release();
  const auto here = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_TRUE(second.take("keypad.lock", false)) << second.problem();
  std::filesystem::current_path(here);
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
    // Where the package makes /run/lock/navkeypad, or where a program made it for lack of one.
    TempDir run;
    ASSERT_EQ(chown(run.path().c_str(), 0, kBench), 0);
    std::filesystem::permissions(run.path(), static_cast<std::filesystem::perms>(02775));
    const std::string folder =
        sticky ? support::SharedLockFolderIn(run.path().string()).path : run.path().string();
    const std::string keypadA = folder + "/keypad-a.lock";
    const std::string keypadB = folder + "/keypad-b.lock";
    const pid_t holder = StartAsUser(
        kAtTheSeat,
        [&] {
          support::ProgramLock held;
          while (!held.take(keypadA, false)) usleep(1000);
          return pause();
        },
        kBench);
    for (int wait = 0; wait < 5000 && TryLock(keypadA) != kHeldElsewhere; ++wait) usleep(1000);
    const auto tryAs = [&](uid_t user, const std::string& file) {
      return AsUser(
          user, [&] { return TryLock(file); }, kBench);
    };
    // In a folder of no group (made for lack of the package's) another user is kept off by
    // not being let in at all.
    EXPECT_EQ(tryAs(kRemote, keypadA), sticky ? kDenied : kHeldElsewhere);
    EXPECT_EQ(tryAs(kRemote, keypadB), kTaken) << sticky;
    // A user outside the group opens no lock file, to read or to hold it: held or free, every
    // keypad stays the group's.
    struct stat made {};
    ASSERT_EQ(stat(keypadA.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0660u) << sticky;
    const auto outsider = [&](const std::string& file) {
      return AsUser(kOutsider, [&] { return TryLock(file); });
    };
    EXPECT_EQ(outsider(keypadA), kDenied) << sticky;
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    // In a sticky folder the file of a user whose program died stays, and that user could remove
    // it under the next holder: refused, naming who may remove it. In the group's it is free.
    EXPECT_EQ(tryAs(kRemote, keypadA), sticky ? kDenied : kTaken);
    EXPECT_EQ(tryAs(kAtTheSeat, keypadB), kTaken) << sticky;
    if (!sticky) {
      // Also where an older program left it readable by every user.
      std::filesystem::permissions(keypadB, static_cast<std::filesystem::perms>(0664));
      EXPECT_EQ(outsider(keypadB), kDenied);
    }
  }
}
}  // namespace
#endif
