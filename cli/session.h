// One run of a command: what the user asked for, where output goes, and the one keypad the
// command works on. The commands are free functions over it, as thin as the windows are over
// the shared core.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/keypad_bus.h"
#include "device/keypad_commands.h"
#include "firmware/pending_upgrade.h"
#include "firmware/upgrade_job.h"
#include "navkeypad_cli.h"
#include "platform/clock.h"
#include "settings/keypad_settings_file.h"
#include "store/store.h"

namespace navkeypad::cli {

// A keypad on the bus and what it answered to its status request.
struct AnsweringKeypad {
  KeypadOnBus keypad;
  DeviceStatus status;
};

// What the user asked for on the command line, beside the command's own words.
struct Options {
  std::optional<std::string> device;
  std::optional<std::string> serial;
  std::optional<std::string> file;
  std::optional<std::string> settingsOf;
  std::optional<std::string> expectVersion;
  // station: the settings file to apply, the first serial number to give, and when to end.
  std::optional<std::string> config;
  std::optional<std::string> serialFrom;
  std::optional<std::string> count;
  std::optional<std::string> idleTimeout;
  bool present = false;  // station: keypads attached before it started are taken too
  // station: a label for each keypad given a number or finished, into a folder or printed.
  std::optional<std::string> labels;
  std::optional<std::string> printLabels;
  // log: only lines from and until these dates (UTC, 2026-12-08 or 2026-12-08T14:30), flat.
  std::optional<std::string> since;
  std::optional<std::string> until;
  bool csv = false;
  std::optional<std::string> xlsx;  // the workbook to write the log to
  bool json = false;
  bool force = false;
  bool all = false;
  bool dryRun = false;  // upgrade --all, apply --all: say what would happen, send nothing
  // serial set from the station: the number is reserved in the ledger already.
  bool serialReserved = false;
  std::optional<std::string> operatorName;  // who does the work, for the service log
  // label: the file to write, and the printer ("" for the default one).
  std::optional<std::string> output;
  std::optional<std::string> print;
  bool help = false;
  bool version = false;
};

class Session {
 public:
  Session(std::vector<std::string> positional, Options options, Io io);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::vector<std::string>& positional() const { return positional_; }
  const std::optional<std::string>& device() const { return options_.device; }
  // upgrade --settings-of SERIAL: the keypad being upgraded is the one whose settings were
  // kept under SERIAL.
  const std::optional<std::string>& settingsOf() const { return options_.settingsOf; }
  // --force: replace what a command would otherwise keep (a serial number already set).
  bool force() const { return options_.force; }
  void forgetDevice() { options_.device.reset(); }
  bool json() const { return options_.json; }
  const Options& options() const { return options_; }
  const std::optional<std::string>& serial() const { return options_.serial; }
  // upgrade: finish the keypad waiting in its loader, though others are in their application.
  bool finishingLoader() const { return finishingLoader_; }
  void setFinishingLoader() { finishingLoader_ = true; }
  Io& io() { return io_; }
  // The configuration interface the command opened, and the USB port it is plugged into.
  const std::string& path() const { return path_; }
  const std::string& port() const { return port_; }
  // An upgrade is logged whatever its end, a keypad opened or not: the step it reached (named
  // where it failed), where its keypad came back (empty where it did not) and, for a keypad
  // finished from its loader, what its record says it was.
  void noteUpgrade(const firmware::UpgradeEnd& end);
  // How the upgrade this session ran ended, for a batch's or station's line.
  const std::optional<firmware::UpgradeEnd>& upgradeEnd() const { return upgradeEnd_; }
  // What the keypad answered after the command run() logged, where it answered.
  const std::optional<DeviceStatus>& after() const { return after_; }
  // Why the command failed, as it was said; empty while it has not.
  const std::string& lastFailure() const { return lastFailure_; }
  // For the station, which logs a keypad's whole visit in one line: what the upgrade reached.
  std::string upgradeStep() const { return upgrade_ ? upgrade_->step : std::string(); }
  std::string upgradeReturnedPath() const {
    return upgrade_ ? upgrade_->returnedPath : std::string();
  }
  // The file named by --file, else the one the windows use.
  std::string configFile() const;
  // Why configFile() is empty.
  std::string noConfigFile() const;

  // "navkeypad: MESSAGE" on standard error (and the error as JSON on standard output, with
  // --json); returns `status`.
  int fail(int status, const std::string& message);
  // kDone, or the HID library's start-up failure reported (which no keypad search could tell
  // apart from an empty bus).
  int startHid();
  // Opens the one keypad the command is for as the shared handle.
  int connect();
  void disconnect();
  template <typename Action>
  int withKeypad(Action action) {
    if (const int status = connect(); status != kDone) return status;
    return action();
  }
  std::optional<DeviceStatus> readStatus();
  // Sends a command; a refusal says what was refused.
  int send(uint8_t command, const std::vector<uint8_t>& payload, const std::string& what);
  int statusFailed();
  // The words that pick the keypad with `serial` at path() out of the others on the bus, for
  // advice that must run as printed: "--serial S " where that number is its own, "--device P "
  // where it is not, nothing when it is alone.
  std::string pickWords(const std::string& serial) const;
  // A line for each of `keypads`: serial number, port and firmware, and the words that pick it.
  std::string choices(const std::vector<KeypadOnBus>& keypads);
  // Those of `keypads` that open and answer their status request, each opened and closed.
  std::vector<AnsweringKeypad> answering(const std::vector<KeypadOnBus>& keypads);
  // Runs `command` and, when it changes a keypad, adds what it did to the service log: the
  // keypad's status is read when it is opened and again afterwards.
  int run(int (*command)(Session&));

 private:
  std::string noKeypadWithSerial(const std::string& serial) const;
  std::string noKeypadAt(const std::string& path) const;

  std::vector<std::string> positional_;
  Options options_;
  bool finishingLoader_ = false;
  bool logged_ = false;
  std::optional<DeviceStatus> before_;
  std::optional<DeviceStatus> after_;
  struct UpgradeLog {
    std::string step;
    std::string returnedPath;
  };
  std::optional<UpgradeLog> upgrade_;
  std::optional<firmware::UpgradeEnd> upgradeEnd_;
  std::string lastFailure_;
  Io io_;
  std::string path_;
  std::string port_;
};

struct BlinkPattern {
  int onMs;
  int offMs;
};
// Blinks the LED of the open keypad for at most `forMs`, looking at `stop` every 100 ms, then
// leaves it at `level`. False when the keypad stopped taking the commands.
bool BlinkLed(BlinkPattern pattern, int forMs, uint8_t level, const std::function<bool()>& stop);

// A store that cannot be read ends the command (cli::Run says why): what it keeps is never taken
// for nothing.
struct StoreRefusal {
  store::StoreError error;
};
// The upgrade records kept in the bench's store, as they are now; throws StoreRefusal.
std::vector<firmware::PendingUpgrade> KeptRecords(store::Store& store);

// The records kept where a keypad waiting in its loader at `port` left its application.
std::vector<firmware::PendingUpgrade> RecordsKeptAt(store::Store& store, const std::string& port);

// The command, quoted, that finishes the upgrade of the keypad waiting in its loader at
// `loaderPath` (or the only one): with --device where several wait, and --settings-of where
// several records are kept where it waits and only the user can say whose it is.
std::string FinishLoaderCommand(store::Store& store, const std::string& program,
                                const std::string& loaderPath = {});

// Whose settings a keypad waiting in its loader may get back: "the settings of keypad X are
// kept", or of one of several, or none.
std::string KeptSettingsFor(const std::vector<firmware::PendingUpgrade>& records);
// A keypad waiting in its loader, whose settings are kept for it and how to finish it.
std::string WaitingLoaderLine(store::Store& store, const std::string& path,
                              const std::string& program);

int List(Session& session);
int Status(Session& session);
int Brightness(Session& session);
int Layout(Session& session);
int Table(Session& session);
int FactoryReset(Session& session);
int Save(Session& session);
int Restore(Session& session);
int Apply(Session& session);
// The settings file's values as the commands that send them, checked; after saying why not
// (with kBadInput), none.
std::optional<settings::StoredSettings> SettingsToSend(Session& session);
int SerialNumber(Session& session);
// led-colour, buzzer, buzzer-period, volume, volume-config: settings no window sends.
int KeypadSetting(Session& session);
int Log(Session& session);
// site init | site bring-over
int SiteCommand(Session& session);
// navkeypad label: a label for a serial number, written or printed.
int LabelCommand(Session& session);
// Blinks the keypad's LED for a few seconds, so that the keypad behind a line can be found.
int Identify(Session& session);

using CommandFunction = int (*)(Session&);
// --all: `command` on every keypad in its application, one after another in serial-number
// order, and a summary line (or JSON entry) a keypad; 0 only when every keypad succeeded.
int ForAll(const std::vector<std::string>& positional, CommandFunction command,
           const Options& options, Io io);
int Upgrade(Session& session);
// "PROGRAM PICK upgrade WORDS/abs/path/FIRMWARE.txt", as advice that runs from any folder.
std::string UpgradeCommand(const Io& io, const std::string& words, const std::string& firmware,
                           const std::string& pick = {});
// navkeypad station: keypads plugged in one after another, each finished on its own.
int Station(const std::vector<std::string>& positional, const Options& options, Io io);

}  // namespace navkeypad::cli
