// A firmware upgrade, stage by stage: the one place that decides what a keypad is sent, what
// is kept on disk for it and what it is given back. The main window, the upgrade window and
// `navkeypad upgrade` only render its outcomes in their own words.
//
//   check -> keep the record -> enter the loader -> download -> wait for the keypad ->
//   restore -> drop the record
//
// Nothing that sends a keypad into its loader runs before the checks have passed: the loader
// texts whole, the firmware image parsed once, one loader at most, a usable record file.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/keypad_commands.h"
#include "firmware/download_sequence.h"
#include "firmware/loader_texts.h"
#include "firmware/pending_upgrade.h"
#include "store/store.h"
#include "support/program_lock.h"
#include "support/signal_hold.h"

namespace navkeypad::firmware {

struct UpgradeOutcome {
  enum Kind {
    kDone,               // the stage did what it should
    kRefused,            // nothing was sent to any keypad; `message` says why
    kInUse,              // another program is upgrading a keypad
    kEnterRefused,       // the keypad stayed in its application; no record is left for it
    kEnterUnanswered,    // the keypad did not confirm; its record stays
    kDownloadFailed,     // the keypad waits in its loader
    kNotBack,            // no keypad came back after the download
    kAmbiguous,          // more than one keypad could be the one that came back
    kBusy,               // it came back, but another program holds it
    kRestoreStepFailed,  // `message` is the failed step's
    kRecordNotDropped,   // restored, but the record could not be removed
    // Nothing was sent: the keypad reports the number of a record kept for a keypad elsewhere,
    // or a loader waits while a record is kept for a keypad that is not on the bus; the record
    // goes to it only on the user's word (`record` names which).
    kSameSerialElsewhere,
    kWhoseRecord,
    // Nothing was sent: a keypad waits in its loader beside the one to be upgraded.
    kLoaderBeside,
  };
  Kind kind = kDone;
  std::string message;
  // With kSameSerialElsewhere and kWhoseRecord: the records that may be the keypad's, which only
  // the user can give it.
  std::vector<PendingUpgrade> records = {};
  bool ok() const { return kind == kDone; }
  // Ended before anything was sent to a keypad: the user must pick, name or finish something.
  bool nothingSent() const {
    return kind == kRefused || kind == kInUse || kind == kSameSerialElsewhere ||
           kind == kWhoseRecord || kind == kLoaderBeside;
  }
};

// What the keypad in its application told before it leaves.
struct KeypadInApplication {
  std::string path;
  HandedOverSettings settings;
  std::string firmwareVersion;

  static KeypadInApplication FromStatus(const std::string& path, const DeviceStatus& status);
};

// Said when a stop is asked while a keypad is between its application and its restore.
inline constexpr char kFinishedFirst[] =
    "A keypad's firmware upgrade is under way: it is finished first (its download and restore), "
    "then the program stops.\n";

// The protocol's limit for a loader to come after a mode change.
inline constexpr int kLoaderReturnSeconds = 10;

class UpgradeOperation {
 public:
  // Asked (only where it cannot be known) whether the keypad being upgraded is the one a kept
  // record was written for.
  using IsKeypadOf = std::function<bool(const PendingUpgrade& record)>;

  // The records are kept in `store`; the loader texts are looked for beside `configFile` too.
  UpgradeOperation(store::Store& store, std::string configFile);

  // Check, first half: one upgrade at a time, the loader texts, and the records' file.
  UpgradeOutcome checkSetting();
  // Check, second half: the firmware file, read and parsed once.
  UpgradeOutcome checkFirmware(const std::string& path);
  // Check of the bus: a loader beside the keypad to be sent into its own, or two loaders,
  // could not be told apart.
  // `port` is where this upgrade's keypad is (in its application or waiting in its loader):
  // where it and every loader's place are known, loaders elsewhere are no concern of it.
  UpgradeOutcome checkLoaders(bool keypadInApplication, const std::string& port = {}) const;
  // Whether this keypad's loader is on the bus: at the port it left from (anywhere, where the
  // system cannot say).
  bool loaderBack() const;
  // The user named this keypad's place (--device, or the window's upgrade of the one loader
  // there is): a record kept elsewhere may then go to it on the user's word.
  void namePlace() { placeNamed_ = true; }
  // Where the keypad is: the port it left its application from, or its loader's.
  const std::string& port() const { return port_; }

  // Keep the record, enter the loader: for the keypad open as the shared handle. Refused
  // unless the checks above have passed; the loaders are counted once more, and every other
  // keypad on the bus is asked who it is: one that could not be told from this one when it
  // comes back (its serial number, or none while this one's record is owed a restore) refuses
  // the switch.
  UpgradeOutcome leaveApplication(const KeypadInApplication& keypad, const IsKeypadOf& ask);
  // After the switch (`left`, confirmed or not): waits up to kLoaderReturnSeconds for the
  // keypad's loader where it left. Done when it came; a switch that was not confirmed and brought
  // no loader keeps its record and says so.
  UpgradeOutcome awaitLoader(const UpgradeOutcome& left);
  // For a keypad already waiting in its loader (the one at `loaderPath`, which the user named,
  // or the only one): which record, if any, is its own. A record kept at its port is; one kept
  // elsewhere only on the user's word where the user named the loader; never one whose serial
  // number answers in its application. Refused, with nothing sent, where it cannot be told.
  UpgradeOutcome takeWaitingKeypad(const IsKeypadOf& ask, const std::string& loaderPath = {});

 private:
  // At a site, for a keypad waiting in its loader with no record here: the record of another
  // bench's that the user names as its own comes here, kept at the loader's port (`record_`);
  // else `elsewhere` gets the other benches' records it may be one of. Refused where the record
  // named is no longer there to take.
  UpgradeOutcome recordOfCarriedKeypad(const IsKeypadOf& ask,
                                       std::vector<PendingUpgrade>& elsewhere);
  // At a site, for a keypad in its application reporting a number that another bench keeps a
  // record of: refused (kSameSerialElsewhere) unless the user named its place and that record,
  // which then comes to this bench at its port.
  UpgradeOutcome recordFromOtherBench(const PendingUpgrade& current, const IsKeypadOf& ask,
                                      const std::string& path);

 public:
  // Download (any thread): true when the firmware was written, verified and started.
  // The windows wait the loader's fixed seconds; the command line waits for it to be back.
  bool download(const LoaderIdentity& identity, const ProgressReport& report,
                RamLoaderWait wait = RamLoaderWait::kFixedSeconds);
  // How the wait for the keypad after the download begins: the windows give it its start-up
  // time (kKeypadStartMs) and then look; the command line looks at once, and takes the keypad as
  // soon as it is back and answers, within the same limit.
  enum class ReturnWait { kAfterStartUp, kAsSoonAsBack };
  // Wait for the keypad (up to `seconds` after the start-up time), restore, drop the record.
  // The keypad must prove it is the record's: a keypad reporting another serial number is left
  // untouched. The upgrade lock is let go whatever the outcome; a record stays on failure.
  UpgradeOutcome restore(int seconds, ReturnWait wait = ReturnWait::kAfterStartUp);
  // Ends the operation where it stopped (a download that failed, a window closed): lets go of
  // the upgrade lock, so that the next upgrade, in this program or another, may start.
  void end();

  const std::optional<PendingUpgrade>& record() const { return record_; }
  // Every record on disk when last read, this keypad's included.
  const std::vector<PendingUpgrade>& records() const { return records_; }
  // Where the records are kept, for messages.
  std::string recordFile() const { return store_.where(); }
  const std::string& configFile() const { return configFile_; }
  // The step the operation reached, for the service log: "check", "switch to the loader",
  // "download" or "restore".
  const std::string& step() const { return step_; }
  // Where the keypad came back after the download; empty until it has.
  const std::string& returnedPath() const { return returnedPath_; }
  // What the program should tell the user beside the outcome (records of other keypads
  // kept, a keypad upgraded without a record).
  const std::vector<std::string>& notices() const { return notices_; }

 private:
  // Read-modify-write of the records' file under its lock; records_ is what it holds after.
  bool updateRecords(const std::function<void(std::vector<PendingUpgrade>&)>& change);
  // Puts this keypad's record, as it is now, in place of `previous` (or beside the others).
  bool storeRecord(const std::optional<PendingUpgrade>& previous);
  bool dropRecord();
  UpgradeOutcome ended(UpgradeOutcome outcome);
  // Why `keypad` could not be told from another attached one when it comes back; `owed` is
  // its record when that record is owed a restore.
  std::string sameSerialProblem(const KeypadInApplication& keypad,
                                const PendingUpgrade* owed) const;

  store::Store& store_;
  std::string configFile_;
  std::string step_ = "check";
  std::string returnedPath_;
  std::optional<LoaderTexts> loader_;
  std::optional<FirmwareImage> firmware_;
  std::vector<PendingUpgrade> records_;   // every record on disk, this keypad's included
  std::optional<PendingUpgrade> record_;  // this keypad's, when it has one
  // Every check passed (the lock, the loader texts, the records' file, the firmware image): the
  // one thing leaveApplication asks before a keypad is sent into its loader. The loader texts
  // are kept only once the whole first half of the checks has passed.
  bool checksPassed() const { return loader_ && firmware_; }
  bool chosen_ = false;
  bool placeNamed_ = false;
  bool recordUnwritten_ = false;  // marking the record as downloaded failed
  std::string recordProblem_;     // why the records' file could not be changed, the last time
  bool recordQueued_ = false;     // the change waits in the bench's store for the site's server
  std::string port_;
  std::vector<std::string> otherKeypads_;  // in their application while the download ran
  std::vector<std::string> notices_;
  support::ProgramLock upgradeLock_;
  support::ProgramLock returnLock_;
  // From the switch (or the choice of a waiting keypad) to the end: no signal cuts it short.
  std::unique_ptr<support::SignalHold> signalHold_;
  void holdSignals();
};

}  // namespace navkeypad::firmware
