// One firmware upgrade of one keypad, from its checks to its end: the command line's `upgrade`,
// and so `upgrade --all` and the station, only start a job, answer its questions and show what
// it reports. The stages run in the order of UpgradeOperation, and every rule of who a keypad is
// lives there and in pending_upgrade.h; what the job ends with is data (its kind, the stage it
// reached, the keypad before and after, advice), never words to be searched.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bsl430/bsl430.h"
#include "device/keypad_commands.h"
#include "firmware/upgrade_operation.h"
#include "store/store.h"

namespace navkeypad::firmware {

// What the user asked for.
struct UpgradeRequest {
  std::string firmware;                    // the firmware file
  std::optional<std::string> device = {};  // the keypad's or loader's path the user named
  std::optional<std::string> serial = {};  // the serial number that picks the keypad
  std::optional<std::string> settingsOf =
      {};                        // the user's word: the record kept under it is its own
  bool finishingLoader = false;  // the keypad waiting in its loader, whatever else
  std::optional<std::string> expectVersion = {};  // the version the file holds, where told
};

// What to do next, as data: each front end says it in its own words.
struct UpgradeAdvice {
  enum Kind {
    kNone,
    kRetry,              // the same upgrade again, for the same keypad
    kRetryNamingRecord,  // again, naming the record (`settingsOf`): the keypad may have no number
    kNameOne,            // one of `choices`, each run on its own
    kFinishLoader,       // the keypad waiting in its loader first
    kPlugInAgain,        // it left the bus before its new firmware was verified
    kListKeypads,        // the firmware was written; see what the keypad says
    kCheckFile,          // the file holds another version than the one expected
  } kind = kNone;
  struct Choice {
    std::string device;                     // the place to name, where one must be named
    std::optional<std::string> settingsOf;  // the record to name, where one must be named
    std::string about;                      // "keypad VNK-A, kept at 1-a", "at 1-3"
  };
  std::vector<Choice> choices;
  std::optional<std::string> settingsOf;
};

struct UpgradeEnd {
  // UpgradeOutcome's kinds, and the job's own.
  enum Kind {
    kDone,
    kStage,           // a stage of the operation ended it: `outcome` says how
    kNoKeypad,        // nothing to upgrade on the bus
    kSeveralLoaders,  // several keypads wait in their loaders and none was named
    kNamedNoRecord,   // the user named a record that cannot go to this keypad
    kNotOpened,       // the front end could not open the keypad (and said why)
    kNotWritten,      // the download failed; the keypad waits in its loader
    kLeftBus,         // it left the bus before its new firmware was verified
    kNoStatusAfter,   // the firmware was written; the keypad did not answer afterwards
    kOtherVersion,    // it runs another version than expected (restored all the same)
  } kind = kDone;
  UpgradeOutcome outcome;  // with kStage
  std::string message;
  UpgradeAdvice advice;
  std::string stage = "check";           // for the service log: where it ended
  std::optional<DeviceStatus> before;    // as it answered, or as its record says it was
  std::optional<DeviceStatus> after;     // as it answered after the upgrade, where it did
  std::optional<PendingUpgrade> record;  // whose serial number and settings went, or are kept
  std::string path;                      // the keypad's, where it was opened in its application
  std::string port;                      // where it is
  std::string returnedPath;              // where it came back
  bool fromLoader = false;               // it was finished from its loader
  bool ok() const { return kind == kDone; }
  // Nothing was sent: the user must pick or name something first.
  bool refused() const;
};

class UpgradeJob {
 public:
  struct Hooks {
    std::function<void(int percent, const std::string& text)> progress;
    std::function<void(const std::string& text)> notice;
    // Opens the keypad in its application the user picked as the shared handle and reads its
    // status; none once it has said why not.
    std::function<std::optional<DeviceStatus>(std::string& path)> openKeypad;
  };
  UpgradeJob(store::Store& store, const std::string& configFile, Hooks hooks);
  // Everything the upgrade needs, checked before any keypad is looked for.
  UpgradeEnd check(const std::string& firmware);
  // The same checks for a batch or a station, once before the first keypad: the lock is let go
  // again at once.
  static UpgradeEnd CheckOnly(store::Store& store, const std::string& configFile,
                              const std::string& firmware);
  // The rest, once checked: picks the keypad, sends it into its loader (or takes the one
  // waiting), downloads, restores, reads it back.
  UpgradeEnd run(UpgradeRequest request);

 private:
  UpgradeEnd inApplication(UpgradeEnd end, const std::function<bool(const PendingUpgrade&)>& ask);
  UpgradeEnd fromLoader(UpgradeEnd end, const std::vector<LoaderOnBus>& loaders,
                        const std::string& loaderPath,
                        const std::optional<std::string>& settingsOf);
  UpgradeEnd download(UpgradeEnd end);
  UpgradeEnd ended(UpgradeEnd end) const;
  UpgradeEnd stageEnded(UpgradeEnd end, const UpgradeOutcome& outcome,
                        UpgradeAdvice advice = {}) const;

  UpgradeRequest request_;
  Hooks hooks_;
  UpgradeOperation operation_;
};

}  // namespace navkeypad::firmware
