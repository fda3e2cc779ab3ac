#include "session.h"

#include "command_table.h"

#include <algorithm>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "firmware/pending_upgrade.h"
#include "names.h"
#include "settings/keypad_settings_file.h"
#include "store/service_log.h"
#include "store/store.h"
#include "support/signal_hold.h"

namespace navkeypad::cli {

std::vector<firmware::PendingUpgrade> KeptRecords(store::Store& store) {
  std::vector<firmware::PendingUpgrade> records;
  if (store::StoreError unread = store.records(records)) throw StoreRefusal{std::move(unread)};
  return records;
}

namespace {
// "VNK-A, VNK-B", as the shell takes them.
std::string QuotedSerials(const std::vector<firmware::PendingUpgrade>& records) {
  std::vector<std::string> serials;
  for (const auto& record : records) serials.push_back(ShellQuoted(record.serial()));
  return Joined(serials);
}
}  // namespace

std::vector<firmware::PendingUpgrade> RecordsKeptAt(store::Store& store, const std::string& port) {
  return firmware::RecordsKeptAt(KeptRecords(store), port);
}

namespace {
// The loader at `path`, or the only one where `path` is empty; empty where there is no such one.
LoaderOnBus LoaderAt(const std::string& path) {
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  for (const LoaderOnBus& loader : loaders) {
    if (loader.path == path || (path.empty() && loaders.size() == 1)) return loader;
  }
  return {path, {}};
}
}  // namespace

std::string FinishLoaderCommand(store::Store& store, const std::string& program,
                                const std::string& loaderPath) {
  const LoaderOnBus loader = LoaderAt(loaderPath);
  const bool several = BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 1;
  const std::string pick =
      several && !loader.path.empty() ? "--device " + ShellQuoted(loader.path) + " " : "";
  const auto records = RecordsKeptAt(store, loader.port);
  if (records.size() < 2) return "'" + program + " " + pick + "upgrade FIRMWARE.txt'";
  return "'" + program + " " + pick +
         "upgrade --settings-of SERIAL FIRMWARE.txt', SERIAL being whichever of " +
         QuotedSerials(records) + " is that keypad's";
}

std::string KeptSettingsFor(const std::vector<firmware::PendingUpgrade>& records) {
  if (records.empty()) return "no serial number or settings are kept for it";
  if (records.size() == 1)
    return "the settings of " + firmware::KeypadName(records[0]) + " are kept";
  return "the settings of one of " + QuotedSerials(records) + " are kept";
}

std::string WaitingLoaderLine(store::Store& store, const std::string& path,
                              const std::string& program) {
  const LoaderOnBus loader = LoaderAt(path);
  return "The keypad at " + path + (loader.port.empty() ? "" : " (" + loader.port + ")") +
         " waits in its firmware loader (" + KeptSettingsFor(RecordsKeptAt(store, loader.port)) +
         "); finish its upgrade with " + FinishLoaderCommand(store, program, path) + ".";
}

bool BlinkLed(BlinkPattern pattern, int forMs, uint8_t level, const std::function<bool()>& stop) {
  constexpr int kLookMs = 100;
  const auto brightness = [](uint8_t value) {
    const uint8_t payload[] = {value};
    return SendKeypadCommand(CMD_SET_LED_BRIGHTNESS, payload) == kExchangeOk;
  };
  bool on = true;
  for (int shown = 0; shown < forMs && !stop(); on = !on) {
    if (!brightness(on ? kMaxLedBrightness : 0)) return false;
    const int phase = on ? pattern.onMs : pattern.offMs;
    for (int waited = 0; waited < phase && !stop(); waited += kLookMs, shown += kLookMs)
      platform::clock().sleepMs(kLookMs);
  }
  return brightness(level);
}

Session::Session(std::vector<std::string> positional, Options options, Io io)
    : positional_(std::move(positional)), options_(std::move(options)), io_(io) {}

Session::~Session() {
  disconnect();
}

std::string Session::configFile() const {
  return options_.file ? *options_.file : settings::DefaultConfigFile();
}

std::string Session::noConfigFile() const {
  if (options_.file) return "--file needs a file name.";
  return "there is no data folder (set HOME, or XDG_DATA_HOME to an absolute folder); name a "
         "file with --file.";
}

int Session::fail(int status, const std::string& message) {
  lastFailure_ = message;
  return SayFailure(io_.out, io_.failures != nullptr ? *io_.failures : io_.err, options_.json,
                    status, message);
}

std::vector<AnsweringKeypad> Session::answering(const std::vector<KeypadOnBus>& keypads) {
  std::vector<AnsweringKeypad> found;
  for (const KeypadOnBus& keypad : keypads) {
    if (!keypad.accessible || OpenSharedKeypad(keypad.path) != SharedOpen::kOpened) continue;
    const auto status = readStatus();
    disconnect();
    if (status) found.push_back({keypad, *status});
  }
  return found;
}

namespace {

// The path of the keypad or loader `device` names: its path, or the USB port it is plugged into
// where no path is that (a port is the same for a keypad, its loader and the keypad that comes
// back, while their paths change).
std::string PathAtPort(const std::string& device) {
  const auto keypads = ListKeypads();
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  const auto named = [&](const auto& found) { return found.path == device; };
  if (std::any_of(keypads.begin(), keypads.end(), named) ||
      std::any_of(loaders.begin(), loaders.end(), named)) {
    return device;
  }
  for (const auto& keypad : keypads) {
    if (!keypad.port.empty() && keypad.port == device) return keypad.path;
  }
  for (const auto& loader : loaders) {
    if (!loader.port.empty() && loader.port == device) return loader.path;
  }
  return device;
}

}  // namespace

int Session::startHid() {
  const std::string problem = HidStartProblem();
  if (!problem.empty()) return fail(kKeypadFailed, problem + ".");
  if (options_.device) options_.device = PathAtPort(*options_.device);
  return kDone;
}

int Session::connect() {
  if (const int status = startHid(); status != kDone) return status;
  const auto keypads = ListKeypads();
  std::vector<KeypadOnBus> chosen;
  for (const auto& keypad : keypads) {
    if (!options_.device || keypad.path == *options_.device) chosen.push_back(keypad);
  }
  if (options_.serial && !chosen.empty()) {
    std::vector<KeypadOnBus> matching;
    for (const auto& [keypad, status] : answering(chosen)) {
      if (status.serialNumber == *options_.serial) matching.push_back(keypad);
    }
    chosen = matching;
    if (chosen.empty()) {
      return fail(kNoKeypad, noKeypadWithSerial(*options_.serial));
    }
    if (chosen.size() > 1) {
      return fail(kBadInput, std::to_string(chosen.size()) + " keypads have the serial number " +
                                 *options_.serial + "; pick one:" + choices(chosen));
    }
  }
  if (chosen.empty()) {
    if (options_.device) return fail(kNoKeypad, noKeypadAt(*options_.device));
    if (BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 0) {
      return fail(kNoKeypad,
                  "no navigation keypad in its application; one waits in its firmware "
                  "loader. Finish its upgrade with " +
                      FinishLoaderCommand(io_.store, io_.program) + ".");
    }
    return fail(kNoKeypad, "no navigation keypad found. Plug it in and try again.");
  }
  if (chosen.size() > 1) {
    return fail(kBadInput, std::to_string(chosen.size()) +
                               " keypads are attached; pick one:" + choices(chosen));
  }
  if (!chosen[0].accessible) {
    return fail(kNotAccessible, "the keypad at " + chosen[0].path + " cannot be opened (" +
                                    chosen[0].problem + ").\n" + AccessAdvice());
  }
  switch (OpenSharedKeypad(chosen[0].path)) {
    case SharedOpen::kInUse:
      if (const std::string holder = LockHolderNamed(); !holder.empty()) {
        // "VNK000187 at 1-1.4 is in use by navkeypad-utility, process 4242, user anna, ..."
        const std::string& where = chosen[0].port.empty() ? chosen[0].path : chosen[0].port;
        return fail(kKeypadFailed, (options_.serial ? *options_.serial : "the keypad") + " at " +
                                       where + " is in use by " + holder +
                                       "; close that program, then try again.");
      }
      return fail(kKeypadFailed, KeypadLockMessage() + ".");
    case SharedOpen::kCannotOpen:
      return fail(kNotAccessible, "the keypad could not be opened.");
    case SharedOpen::kOpened:
      break;
  }
  path_ = chosen[0].path;
  port_ = chosen[0].port;
  if (logged_) before_ = readStatus();
  return kDone;
}

void Session::noteUpgrade(const firmware::UpgradeEnd& end) {
  upgradeEnd_ = end;
  upgrade_ = UpgradeLog{end.stage, end.returnedPath};
  if (!before_ && end.record) before_ = firmware::StatusBefore(*end.record);
  if (port_.empty()) port_ = end.port;  // a keypad finished from its loader is known by its port
  // What it runs after an upgrade that failed all the same (another version, a restore that
  // failed) is logged as it said it.
  if (!end.ok() && end.after) after_ = end.after;
}

void Session::disconnect() {
  CloseSharedKeypad();
}

std::optional<DeviceStatus> Session::readStatus() {
  std::vector<uint8_t> record;
  if (SendKeypadCommand(CMD_GET_STATUS, {}, &record) != kExchangeOk) return std::nullopt;
  return DecodeStatusRecord(record);
}

int Session::send(uint8_t command, const std::vector<uint8_t>& payload, const std::string& what) {
  if (SendKeypadCommand(command, payload) != kExchangeOk) {
    return fail(kKeypadFailed, "the keypad did not accept " + what +
                                   ". Check that it is still plugged in and try again.");
  }
  return kDone;
}

int Session::run(int (*command)(Session&)) {
  const auto& words = positional_;
  // What only shows or lists leaves no trace.
  logged_ = ChangesKeypad(words);
  // A change nobody could trace is not made: the store is asked before the keypad.
  if (logged_) {
    if (const store::StoreError unwritable = io_.store.writable()) {
      return fail(unwritable.kind == store::StoreError::kNoAccess ? kNotAccessible : kBadInput,
                  "nothing was sent to the keypad, since what is done to it could not be logged: " +
                      unwritable.message + ".");
    }
  }
  // An upgrade is finished, read back and logged before a signal ends the program.
  std::optional<support::SignalHold> hold;
  std::optional<support::SignalHold::OffThisThread> off;
  if (command == &Upgrade) {
    hold.emplace(firmware::kFinishedFirst);
    off.emplace();
  }
  const int status = command(*this);
  if (!logged_ || (path_.empty() && !upgrade_)) return status;
  store::ServiceEntry entry;
  entry.program = io_.programName();
  for (const std::string& word : words) entry.action += (entry.action.empty() ? "" : " ") + word;
  if (force()) entry.action += " --force";
  entry.path = upgrade_ && !upgrade_->returnedPath.empty() ? upgrade_->returnedPath : path_;
  entry.port = port_;
  entry.before = before_;
  // A factory reset restarts the keypad: there is nothing to ask until it is back.
  if (status == kDone && !RestartsKeypad(words)) entry.after = readStatus();
  if (after_) entry.after = after_;
  after_ = entry.after;
  entry.ok = status == kDone;
  entry.message = entry.ok ? std::string() : lastFailure_;
  if (upgrade_ && !entry.ok) entry.step = upgrade_->step;
  if (const store::StoreError unlogged = io_.store.append(entry)) {
    io_.err << "navkeypad: " << unlogged.message
            << "; what was done is not recorded in the service log.\n";
  }
  return status;
}

std::string Session::choices(const std::vector<KeypadOnBus>& keypads) {
  std::vector<std::pair<KeypadOnBus, std::optional<DeviceStatus>>> seen;
  for (const KeypadOnBus& keypad : keypads) {
    const auto answered = answering({keypad});
    seen.push_back({keypad, answered.empty() ? std::nullopt
                                             : std::optional<DeviceStatus>(answered[0].status)});
  }
  std::string lines;
  for (const auto& [keypad, status] : seen) {
    const std::string serial = status ? status->serialNumber : std::string();
    const bool ownNumber =
        !serial.empty() &&
        std::count_if(seen.begin(), seen.end(),
                      [&](const auto& other) {
                        return other.second && other.second->serialNumber == serial;
                      }) == 1 &&
        !options_.serial;
    // A port names one keypad where a path may name another after a restart; a number named
    // twice names none.
    const std::string& where = keypad.port.empty() ? keypad.path : keypad.port;
    const std::string words =
        ownNumber ? "--serial " + ShellQuoted(serial) : "--device " + ShellQuoted(where);
    lines += "\n  " +
             (!status          ? std::string("(it does not answer)")
              : serial.empty() ? std::string("(no serial number)")
                               : serial) +
             " at " + where + (status ? ", firmware " + status->firmwareVersion : "") + ": " +
             words;
  }
  return lines;
}

std::string Session::pickWords(const std::string& serial) const {
  const auto keypads = ListKeypads();
  if (keypads.size() + BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) < 2) return {};
  const bool own = !serial.empty() && std::none_of(keypads.begin(), keypads.end(), [&](auto& k) {
    return k.path != path_ && SerialNumberAt(k.path) == serial;
  });
  return own ? "--serial " + ShellQuoted(serial) + " " : "--device " + ShellQuoted(path_) + " ";
}

std::string Session::noKeypadWithSerial(const std::string& serial) const {
  // A keypad cut off in its upgrade waits in its loader, and answers to no serial number.
  if (BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 0 &&
      firmware::HasRecordOf(KeptRecords(io_.store), serial)) {
    return "no keypad in its application has the serial number " + serial +
           "; its serial number and settings are kept for an upgrade that has not finished, and a "
           "keypad waits in its firmware loader. If "
           "that is keypad " +
           serial + ", finish its upgrade with '" + io_.program + " --serial " +
           ShellQuoted(serial) + " upgrade FIRMWARE.txt'.";
  }
  return "no keypad has the serial number " + serial + "; see '" + io_.program + " list'.";
}

std::string Session::noKeypadAt(const std::string& path) const {
  const auto loaders = BSL_USBDevicePaths(kLoaderVendorId, kLoaderProductId);
  if (std::find(loaders.begin(), loaders.end(), path) != loaders.end()) {
    return "the keypad at " + path + " waits in its firmware loader; finish its upgrade with " +
           FinishLoaderCommand(io_.store, io_.program, path) + ".";
  }
  return "no keypad at " + path + "; see '" + io_.program + " list'.";
}

int Session::statusFailed() {
  return fail(kKeypadFailed,
              "the keypad did not answer its status request. Plug it in again and retry.");
}

}  // namespace navkeypad::cli
