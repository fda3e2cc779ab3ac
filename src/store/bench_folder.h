// Where a bench keeps what it knows of its keypads: the records of upgrades under way, the
// serial-number sequences and the service log. Keypads, ports and locks belong to the computer,
// so these do too: one folder shared by every user of it (/var/lib/navkeypad, of the group
// navkeypad; %ProgramData%\VeltoInterface on Windows). A program run from its build tree keeps
// them beside its configuration file instead, as a developer's own, unless
// NAVKEYPAD_BENCH_FOLDER names a folder to stand for the computer's.
#pragma once

#include <string>
#include <vector>

#include "support/program_lock.h"

namespace navkeypad::store {

inline constexpr char kBenchFolderVariable[] = "NAVKEYPAD_BENCH_FOLDER";
#ifndef _WIN32
inline constexpr char kBenchGroup[] = "navkeypad";
#endif

struct BenchFolder {
  std::string path;     // empty where there is none
  bool shared = false;  // the computer's, not beside this user's configuration file
  // Why this user cannot keep files there (and what to do about it); empty when it can.
  std::string problem;
};
BenchFolder TheBenchFolder(const std::string& configFile);

// The file `name` of the bench; empty without a folder.
std::string BenchFile(const std::string& configFile, const char* name);

// Why this user cannot keep `file` where it is, where it is in the computer's shared folder and
// that folder cannot be used (it is missing, unsafe, or this user is not of its group); else
// empty.
std::string SharedFolderProblemFor(const std::string& file);

// Where `file` is in the computer's shared folder: lets every member of its group change it (a
// file is made with this user's umask, which may keep it to this user).
void ShareWithBench(const std::string& file);

// Takes the lock beside `file` (FILE.lock), waiting for another program to let go: whatever
// the session's environment, two programs changing the file meet there. Empty, or why not.
std::string LockBeside(support::ProgramLock& lock, const std::string& file);

// Where the programs of this computer lock its keypads against each other: the computer's lock
// folder, or, for a program run from its build tree with NAVKEYPAD_BENCH_FOLDER set, "locks" in
// that folder, so that tests on their own buses meet no other program's keypads.
support::LockFolder TheKeypadLockFolder();

// Whether the program runs from its build tree (a CMakeCache.txt in its folder or above).
bool RunsFromBuildTree();

// For --help: where this program keeps the bench's files, and why there.
std::string BenchFolderWords(const std::string& configFile);

// Files a user's programs kept in their own folder before the computer's was there, brought
// over to it, each under its lock: records added to those kept there, the sequences at the
// later of two numbers, the log's lines merged by time. Nothing is removed before it is written
// there. One sentence a file brought over, or why one could not be.
std::vector<std::string> BringOverOwnFiles(const std::string& configFile);

}  // namespace navkeypad::store
