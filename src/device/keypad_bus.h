// Every keypad on the bus, including one present but not open to this user.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "device/hid_transport.h"
#include "device/keypad_commands.h"
#include "support/program_lock.h"

namespace navkeypad {

struct KeypadOnBus {
  std::string path;  // of its configuration interface
  bool accessible = false;
  std::string problem;  // why it cannot be opened, when it cannot
  // Where it is plugged in (empty where the system cannot say), and the serial string of its
  // USB descriptor where it carries one: with what it reports, who it is.
  std::string port;
  std::string usbSerial;
};

std::vector<KeypadOnBus> ListKeypads();

// Empty when the HID library started; otherwise "the HID library could not start: ...". Without
// it no keypad can be seen, and saying "no keypad" would send the user to the wrong cable.
std::string HidStartProblem();

// Opens one keypad's configuration interface for exchanges (non-blocking reads); null when
// it cannot be opened.
hid_device* OpenKeypad(const std::string& path);

// The one open keypad, `hid_handle`, is opened and closed here (and by the main window's
// scan). While it is open this program holds the keypad's lock, so no second program
// interleaves its reports with ours.
enum class SharedOpen { kOpened, kCannotOpen, kInUse };
SharedOpen OpenSharedKeypad(const std::string& path);
// For a handle the scan opened: false (the handle is closed) when another program holds it.
bool LockScannedKeypad(const std::string& path);
void CloseSharedKeypad();

// Programs on real keypads keep each other off a keypad with lock files in `folder`; empty
// (the default, and any virtual bus that lives in one program) keeps no locks. With a
// `problem` (the folder cannot be used), every lock is refused with it as the reason.
void SetKeypadLockFolder(const std::string& folder, const std::string& problem = {});
// The lock file of the keypad at `path`; empty without a lock folder.
std::string KeypadLockFile(const std::string& path);
// One firmware upgrade at a time on this machine: only one keypad may wait in its loader,
// since the loader is addressed by its place on the bus. Always true without a lock folder.
bool TakeUpgradeLock(support::ProgramLock& lock);
// Held while an upgrade waits for its keypad to come back: other programs open no keypad until it
// ends (they are told the keypad is in use). Never waits: the download has finished and its
// keypad restarts, and nobody who holds the lock without right (the upgrade lock is this
// program's) may keep it from its settings. Always true without a lock folder.
bool AwaitReturnedKeypad(support::ProgramLock& lock);
void EndAwaitingReturnedKeypad(support::ProgramLock& lock);
// Whether another program holds the upgrade lock now: the keypad it upgrades, its loader and the
// keypad coming back are that program's. False without a lock folder.
bool AnotherProgramUpgrades();

// The status of the keypad at `path`, asked through a handle of its own (the shared one is left
// as it is): who a keypad is, proven by asking it.
struct AskedKeypad {
  enum Kind { kAnswered, kInUse, kUnanswered } kind = kUnanswered;
  DeviceStatus status;  // with kAnswered
  std::string holder;   // with kInUse: who holds it, where it said
};
AskedKeypad KeypadStatusAt(const std::string& path);
// Why `keypad` gave no answer as `asked`: "it is in use by navkeypad, process 4242, user anna,
// since 10:42" (or "by another program"), "it cannot be opened (...)" or "it does not answer".
std::string UnaskedReason(const KeypadOnBus& keypad, const AskedKeypad& asked);
// Its serial number; none when it cannot be asked or another program holds it.
std::optional<std::string> SerialNumberAt(const std::string& path);

// Why the last lock was refused when this user cannot take it (the lock file and the system's
// reason); empty when none was, or another program held it.
std::string LockDenial();
// Who held the lock this program was last refused, as the holder said: "navkeypad-utility,
// process 4242, user anna, since 10:42"; empty where it did not say.
std::string LockHolderNamed();
// What a user does about a lock that cannot be taken for lack of rights.
std::string LockRightsAdvice();
// Why this program could not have the keypad, for the windows and the command line: "the keypad
// is in use by another program ..." or, without the rights to its lock, that and what to do.
std::string KeypadLockMessage();

// What a user does about a keypad that cannot be opened.
std::string AccessAdvice();

}  // namespace navkeypad
