// Where a bench keeps what it knows of its keypads (its store). Keypads, ports and locks belong
// to the computer, so the store does too: one folder shared by every user of it
// (/var/lib/navkeypad, of the group navkeypad; %ProgramData%\VeltoInterface on Windows). A
// program run from its build tree keeps it beside its configuration file instead, as a
// developer's own, unless NAVKEYPAD_BENCH_FOLDER names a folder to stand for the computer's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/sqlite_store.h"
#include "support/program_lock.h"

namespace navkeypad::store {

inline constexpr char kBenchFolderVariable[] = "NAVKEYPAD_BENCH_FOLDER";
// The virtual bus's state file, beside which a virtual run keeps its store.
inline constexpr char kVirtualStateVariable[] = "NAVKEYPAD_VIRTUAL_STATE";
#ifndef _WIN32
inline constexpr char kBenchGroup[] = "navkeypad";
#endif

// Where this program keeps its store: a virtual run (the virtual bus, a replay) beside the
// virtual bus's state file (NAVKEYPAD_VIRTUAL_STATE), or in the user's folder, never in the
// computer's; a real one in the computer's folder, or, run from its build tree, beside the
// configuration file or in NAVKEYPAD_BENCH_FOLDER.
StorePlace TheStorePlace(const std::string& configFile, bool virtualRun);

// The store this program keeps what it knows in: the site's server where a site is configured
// (never the computer's folder then, not even when the server is away), else the store at
// TheStorePlace.
std::unique_ptr<Store> OpenTheStore(const std::string& configFile, bool virtualRun);

// Where the programs of this computer lock its keypads against each other: the computer's lock
// folder, or, for a program run from its build tree with NAVKEYPAD_BENCH_FOLDER set, "locks" in
// that folder, so that tests on their own buses meet no other program's keypads.
support::LockFolder TheKeypadLockFolder();

// Whether the program runs from its build tree (a CMakeCache.txt in its folder or above).
bool RunsFromBuildTree();

}  // namespace navkeypad::store
