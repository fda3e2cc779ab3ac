// navkeypad station: a technician's bench. Keypads are plugged in one after another; each is
// finished on its own (its kept record, its firmware, the site's settings, a serial number),
// read back, and shows on its LED how it ended. Only what arrives is touched: a keypad that was
// attached before the station started, or that it has dealt with, is passed over until it
// leaves the bus; each keypad is known by what it reports and the port it is plugged into,
// never by its path or the moment it arrived.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "bsl430/bsl430.h"
#include "command_table.h"
#include "firmware/upgrade_operation.h"
#include "keypad_tally.h"
#include "label/label.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "store/bench_folder.h"
#include "store/serial_sequences.h"
#include "store/service_log.h"
#include "store/site.h"
#include "support/atomic_file.h"
#include "support/ini_file.h"
#include "support/paths.h"
#include "support/program_lock.h"
#include "support/signal_hold.h"

namespace navkeypad::cli {

namespace cfg = navkeypad::settings;

namespace {

// How often the bus is looked at: a keypad is taken within this time of its arrival.
constexpr int kLookMs = 100;
// How long a keypad shows its result unless it is pulled or the next keypad arrives first.
constexpr int kShowResultMs = 5000;
// How long a keypad just plugged in is given to become openable.
constexpr int kOpenableWithinSeconds = 2;
// Slow for done, quick for failed: told apart at a glance across a bench.
constexpr BlinkPattern kDoneBlink{500, 500};
constexpr BlinkPattern kFailedBlink{100, 100};

volatile std::sig_atomic_t stopAsked = 0;
extern "C" void AskToStop(int) {
  stopAsked = 1;
}

// Ctrl-C ends the station once the keypad in hand is finished: a download cut short would
// leave a keypad in its loader for no reason.
class StopOnInterrupt {
 public:
  StopOnInterrupt() : previous_(std::signal(SIGINT, AskToStop)) {
    stopAsked = 0;
    support::SignalHold::Forget();
  }
  ~StopOnInterrupt() { std::signal(SIGINT, previous_); }
  StopOnInterrupt(const StopOnInterrupt&) = delete;
  StopOnInterrupt& operator=(const StopOnInterrupt&) = delete;
  // During an upgrade the upgrade holds the signals itself, and says when one came.
  static bool asked() { return stopAsked != 0 || support::SignalHold::Asked(); }
  // Or the window watching the station asked.
  static bool asked(const Io& io) { return asked() || (io.watcher && io.watcher->stopAsked()); }

 private:
  void (*previous_)(int);
};

// What the station was asked to do to every keypad, checked before it waits for any.
struct Plan {
  std::optional<std::string> firmware;  // absolute, so that the advice works from anywhere
  std::string version;
  std::optional<std::string> config;
  cfg::StoredSettings settings;
  std::optional<std::string> serialFrom;
  std::optional<int> count;
  std::optional<int> idleSeconds;
  // Labels for the keypads given a number or finished: written into a folder, printed (on the
  // default printer where ""), in the site's layout.
  StationSettings shown;
};

// What became of one keypad.
struct Visit {
  std::string serial;
  std::string path;
  std::string port;
  std::optional<DeviceStatus> before;
  std::optional<DeviceStatus> after;
  std::vector<std::string> done;  // "record finished", "upgraded", "serial number", "settings"
  std::string result = "failed";  // "ok", "failed" or "skipped"
  std::string message;
  std::string step;  // where it failed
  int status = kKeypadFailed;
  std::string label;         // the label's file, or its printer
  std::string labelProblem;  // why no label was made
};

std::string Firmware(const std::optional<DeviceStatus>& status) {
  return status ? status->firmwareVersion : std::string();
}

bool OnBus(const std::vector<KeypadOnBus>& keypads, const std::string& path) {
  return std::any_of(keypads.begin(), keypads.end(),
                     [&](const KeypadOnBus& keypad) { return keypad.path == path; });
}

// --- the bus ----------------------------------------------------------------------------------

struct Arrival {
  KeypadOnBus keypad;  // a loader's path and port, where `loader`
  bool loader = false;
};

// What the station has seen of the bus: a keypad or loader it has dealt with, or that was there
// when it started, is passed over until it leaves.
class BusWatch {
 public:
  explicit BusWatch(bool takePresent) {
    if (takePresent) return;
    for (const Arrival& present : Everything()) passedOver_.insert(present.keypad.path);
  }
  std::optional<Arrival> next() {
    const auto everything = Everything();
    std::erase_if(passedOver_, [&](const std::string& path) {
      return std::none_of(everything.begin(), everything.end(),
                          [&](const Arrival& one) { return one.keypad.path == path; });
    });
    for (const Arrival& arrival : everything) {
      if (!passedOver_.contains(arrival.keypad.path)) return arrival;
    }
    return std::nullopt;
  }
  void passOver(const std::string& path) {
    if (!path.empty()) passedOver_.insert(path);
  }
  // A keypad that failed may wait in its loader at its port: it is taken again once plugged in
  // again, not at once.
  void passOverPort(const std::string& port) {
    for (const Arrival& arrival : Everything()) {
      if (arrival.keypad.port == port || port.empty()) passOver(arrival.keypad.path);
    }
  }
  bool present(const std::string& path) const { return OnBus(ListKeypads(), path); }
  // Another program is upgrading a keypad: what arrives meanwhile (its keypad in its loader,
  // then back) is that program's, and so is what stands at those ports for a while after it was
  // last seen at work (a look may fall between two of its locks, or before its keypad is listed
  // again). True when something new was left to it.
  bool leaveToAnother() {
    bool left = false;
    const uint64_t until = platform::clock().tickMs() + kLeftToAnotherMs;
    for (auto& [port, leftUntil] : leftToAnother_) leftUntil = until;
    for (const Arrival& arrival : Everything()) {
      if (passedOver_.contains(arrival.keypad.path)) continue;
      if (arrival.keypad.port.empty()) {
        passOver(arrival.keypad.path);
      } else {
        left = leftToAnother_.insert_or_assign(arrival.keypad.port, until).second || left;
      }
    }
    return left;
  }
  // Passes over what stands at the ports left to another program; true when any is still left.
  bool takeBackFromAnother() {
    if (leftToAnother_.empty()) return false;
    const uint64_t now = platform::clock().tickMs();
    for (const auto& [port, until] : leftToAnother_) passOverPort(port);
    std::erase_if(leftToAnother_, [&](const auto& left) { return left.second <= now; });
    return true;
  }

 private:
  // Keypads in their application first, then keypads waiting in their loaders.
  static std::vector<Arrival> Everything() {
    std::vector<Arrival> all;
    for (const KeypadOnBus& keypad : ListKeypads()) all.push_back({keypad, false});
    for (const LoaderOnBus& loader : BSL_USBDevices(kLoaderVendorId, kLoaderProductId)) {
      KeypadOnBus keypad;
      keypad.path = loader.path;
      keypad.port = loader.port;
      keypad.accessible = true;
      all.push_back({keypad, true});
    }
    return all;
  }

  std::set<std::string> passedOver_;
  // Ports left to another program's upgrade, until when.
  std::map<std::string, uint64_t> leftToAnother_;
  static constexpr uint64_t kLeftToAnotherMs = 3000;
};

// --- one keypad -------------------------------------------------------------------------------

struct StepResult {
  int status = kDone;
  std::string message;
  std::string upgradeStep;
  std::string returnedPath;
  std::optional<firmware::UpgradeEnd> upgrade;
};

class StationRun {
 public:
  StationRun(Plan plan, Io io, bool json) : plan_(std::move(plan)), io_(io), json_(json) {}

  Visit visit(const Arrival& arrival, BusWatch& bus);
  void showResult(const Visit& visit, BusWatch& bus);
  void report(const Visit& visit, int number);
  // A window watching the station is told of the keypad's line once it is in the service log,
  // and of the counts so far.
  void tellWatcher(const KeypadTally& tally, int skipped) const;
  // The label of a keypad given a number or finished, written or printed as the plan says.
  void makeLabel(Visit& visit) const;
  // Tells a window watching the station the step the keypad in hand is at.
  void show(const Visit& visit, const std::string& step) const {
    if (io_.watcher)
      io_.watcher->inHand(visit.port, visit.serial, Firmware(visit.before), step, -1);
  }
  void log(const Visit& visit);
  // Where a keypad of that serial number was finished in this run; empty when none was.
  std::string finishedAt(const std::string& serial) const {
    const auto found = finished_.find(serial);
    return found != finished_.end() ? found->second : std::string();
  }

 private:
  // Runs one of the commands on the keypad at `path` (and, where it has one, of `serial`); what
  // it prints goes to standard error, where the technician watches the download.
  StepResult run(CommandFunction command, std::vector<std::string> words, const std::string& path,
                 const std::string& serial, bool finishingLoader = false);
  bool failed(Visit& visit, const std::string& step, const StepResult& result);
  std::optional<DeviceStatus> statusAt(const std::string& path, const std::string& serial,
                                       std::string& problem);
  bool finishLoader(Visit& visit);
  bool upgradeIfOwed(Visit& visit);
  bool giveSerialNumber(Visit& visit);
  bool checkBack(Visit& visit);

  Plan plan_;
  Io io_;
  bool json_;
  std::string arrivedUsbSerial_;                 // of the keypad in hand, as the bus showed it
  std::map<std::string, std::string> finished_;  // serial number: port, of the keypads done
  std::pair<nlohmann::ordered_json, std::string> told_;  // the last keypad's line, and its words
};

StepResult StationRun::run(CommandFunction command, std::vector<std::string> words,
                           const std::string& path, const std::string& serial,
                           bool finishingLoader) {
  Options one;
  if (!path.empty()) one.device = path;
  if (!serial.empty()) one.serial = serial;
  if (plan_.config) one.file = plan_.config;
  if (plan_.firmware) one.expectVersion = plan_.version;
  std::ostringstream said;
  std::ostringstream failure;  // said once, in the keypad's line
  // A number the station gives it reserved itself: `serial set` writes it without another.
  one.serialReserved = command == &SerialNumber;
  Session session(std::move(words), one,
                  {said,
                   io_.err,
                   io_.store,
                   io_.terminal && !json_,
                   io_.program,
                   {},
                   true,
                   &failure,
                   io_.watcher});
  if (finishingLoader) session.setFinishingLoader();
  StepResult result;
  result.status = command(session);
  session.disconnect();
  result.message = session.lastFailure();
  result.upgradeStep = session.upgradeStep();
  result.returnedPath = session.upgradeReturnedPath();
  result.upgrade = session.upgradeEnd();
  return result;
}

bool StationRun::failed(Visit& visit, const std::string& step, const StepResult& result) {
  if (result.status == kDone) return false;
  visit.step = step;
  visit.status = result.status;
  visit.message = result.message;
  return true;
}

std::optional<DeviceStatus> StationRun::statusAt(const std::string& path, const std::string& serial,
                                                 std::string& problem) {
  Options one;
  one.device = path;
  if (!serial.empty()) one.serial = serial;
  std::ostringstream quiet;
  Session session({}, one, {quiet, quiet, io_.store, false, io_.program});
  std::optional<DeviceStatus> status;
  if (session.connect() == kDone) status = session.readStatus();
  problem = status                          ? std::string()
            : session.lastFailure().empty() ? "the keypad did not answer its status request."
                                            : session.lastFailure();
  return status;
}

// A keypad that was cut off during an upgrade waits in its loader: the record kept where it
// waits goes back to it with the new firmware.
bool StationRun::finishLoader(Visit& visit) {
  visit.step = NameOf(&Upgrade);
  if (!plan_.firmware) {
    visit.message =
        "a keypad waits in its firmware loader; give the station the firmware file "
        "and its version, or finish its upgrade with " +
        FinishLoaderCommand(io_.store, io_.program, visit.path) + ".";
    return false;
  }
  const StepResult upgraded =
      run(&Upgrade, {NameOf(&Upgrade), *plan_.firmware}, visit.path, {}, true);
  // Whose record it was given, and where it came back, as the upgrade found them.
  if (upgraded.upgrade && upgraded.upgrade->record) {
    visit.serial = upgraded.upgrade->record->serial();
    visit.before = upgraded.upgrade->before;
  }
  visit.path = upgraded.returnedPath;
  if (failed(visit, upgraded.upgradeStep, upgraded)) return false;
  visit.done.push_back(visit.serial.empty() ? "upgraded" : "record finished");
  return true;
}

// The firmware, when the keypad is not on the station's version or a record of it is kept (its
// earlier upgrade did not finish).
bool StationRun::upgradeIfOwed(Visit& visit) {
  const auto records = KeptRecords(io_.store);
  // Its own record, by its serial number or, without one, by where it is: a record kept
  // elsewhere neither goes to it nor holds it back.
  const bool owed = firmware::HasRecordFor(
      records, {visit.path, visit.port, arrivedUsbSerial_, visit.serial,
                firmware::StartsFresh(visit.before->keypadType, visit.before->ledBrightness)});
  if (!plan_.firmware) {
    if (!owed) return true;
    visit.step = NameOf(&Upgrade);
    visit.message =
        "its serial number and settings are kept for an upgrade that has not finished; finish it "
        "with: " +
        io_.program + " --device " + ShellQuoted(visit.path) + " upgrade FIRMWARE.txt";
    return false;
  }
  if (!owed && visit.before->firmwareVersion == plan_.version) return true;
  show(visit, NameOf(&Upgrade));
  const StepResult upgraded =
      run(&Upgrade, {NameOf(&Upgrade), *plan_.firmware}, visit.path, visit.serial);
  if (!upgraded.returnedPath.empty()) visit.path = upgraded.returnedPath;
  if (failed(visit, upgraded.upgradeStep, upgraded)) {
    // Upgraded all the same (to another version than asked for, or its restore failed): the
    // line says what it runs.
    if (upgraded.upgrade) visit.after = upgraded.upgrade->after;
    return false;
  }
  visit.done.push_back(owed ? "record finished" : "upgraded");
  return true;
}

bool StationRun::giveSerialNumber(Visit& visit) {
  if (!plan_.serialFrom || !visit.serial.empty()) return true;
  show(visit, "serial number");
  const auto records = KeptRecords(io_.store);
  // Only a number known to be free is given: while a keypad on the bus cannot say its own, none
  // is.
  const firmware::SerialsOnBus onBus = firmware::SerialNumbersOnBus(visit.path, records);
  if (!onBus.unknown.empty()) {
    visit.step = "serial number";
    visit.message =
        "no serial number was given, since which are free cannot be told: " + onBus.unknown +
        ". Close the program that holds it, or finish or unplug it; then plug this "
        "keypad in again.";
    return false;
  }
  // Reserved in the ledger before it is written, so that no kill, closed terminal or power cut
  // after this line ever gives it again.
  std::string taken;
  if (const store::StoreError reserved = io_.store.reserveNext(
          *plan_.serialFrom,
          [&](const std::string& serial) {
            return firmware::HasRecordOf(records, serial) || !onBus.whoHas(serial).empty();
          },
          {visit.port, io_.program + " station"}, taken)) {
    visit.step = "serial number";
    visit.message = reserved.message + ".";
    return false;
  }
  const StepResult set = run(&SerialNumber, {NameOf(&SerialNumber), "set", taken}, visit.path, {});
  if (failed(visit, "serial number", set)) return false;
  visit.serial = taken;
  visit.done.push_back("serial number");
  return true;
}

// Read back and held against what was asked: the version, the serial number, the file's
// settings, and no record left behind.
bool StationRun::checkBack(Visit& visit) {
  show(visit, "check back");
  std::string problem;
  visit.after = statusAt(visit.path, visit.serial, problem);
  visit.step = "check back";
  if (!visit.after) {
    visit.message = problem;
    return false;
  }
  const DeviceStatus& after = *visit.after;
  std::vector<std::string> wrong;
  if (plan_.firmware && after.firmwareVersion != plan_.version)
    wrong.push_back("firmware " + after.firmwareVersion + ", not " + plan_.version);
  if (after.serialNumber != visit.serial)
    wrong.push_back("serial number '" + after.serialNumber + "', not '" + visit.serial + "'");
  for (const cfg::RestoreStep& step : plan_.settings.steps) {
    if (step.command == CMD_SET_KEYPAD_TYPE && after.keypadType != step.payload[0])
      wrong.push_back("layout " + LayoutName(after.keypadType));
    if (step.command == CMD_LOAD_TABLE &&
        !std::equal(step.payload.begin(), step.payload.end(), after.codeTable.bytes.begin()))
      wrong.push_back("another code table");
    if (step.command == CMD_SET_LED_BRIGHTNESS && after.ledBrightness != step.payload[0])
      wrong.push_back("brightness " + std::to_string(after.ledBrightness));
  }
  if (!wrong.empty()) {
    visit.message = "read back, it reports " + Joined(wrong) + ".";
    return false;
  }
  if (!visit.serial.empty() &&
      firmware::HasRecordFor(KeptRecords(io_.store),
                             {visit.path, visit.port, {}, visit.serial, false})) {
    visit.message = "its serial number and settings are still kept.";
    return false;
  }
  visit.step.clear();
  return true;
}

Visit StationRun::visit(const Arrival& arrival, BusWatch& bus) {
  Visit visit;
  visit.path = arrival.keypad.path;
  visit.port = arrival.keypad.port;
  arrivedUsbSerial_ = arrival.keypad.usbSerial;
  bus.passOver(visit.path);
  show(visit, "check");
  if (arrival.loader) {
    const bool finished = finishLoader(visit);
    bus.passOverPort(visit.port);
    if (!finished) return visit;
  } else {
    // A keypad just plugged in may not be openable for a moment: its node is made, and given its
    // owner and mode by udev, just after the bus shows it.
    KeypadOnBus keypad = arrival.keypad;
    platform::WaitFor(
        [&] {
          for (const KeypadOnBus& now : ListKeypads())
            if (now.path == visit.path) keypad = now;
          return keypad.accessible;
        },
        kOpenableWithinSeconds);
    if (!keypad.accessible) {
      visit.status = kNotAccessible;
      visit.step = "check";
      visit.message = "it cannot be opened (" + keypad.problem + ").";
      return visit;
    }
    std::string problem;
    visit.before = statusAt(visit.path, {}, problem);
    if (!visit.before) {
      visit.step = "check";
      visit.message = problem;
      return visit;
    }
    visit.serial = visit.before->serialNumber;
    show(visit, "check");
    if (const std::string at = finishedAt(visit.serial); !visit.serial.empty() && !at.empty()) {
      if (at == visit.port || visit.port.empty()) {
        visit.result = "skipped";
        visit.status = kDone;
        visit.message = "finished earlier in this run; left as it is.";
        return visit;
      }
      // Another keypad with the same number, or the same keypad moved: only a person can say.
      visit.step = "check";
      visit.message = "keypad " + visit.serial + " was finished earlier in this run at " + at +
                      ", and this keypad, at " + visit.port +
                      ", has the same serial number; nothing was done to it. If it is that "
                      "keypad, moved, it is done; if not, give it a number of its own ('" +
                      io_.program + " --device " + ShellQuoted(visit.path) +
                      " serial set NUMBER --force').";
      return visit;
    }
    const bool upgraded = upgradeIfOwed(visit);
    bus.passOver(visit.path);
    if (!upgraded) {
      bus.passOverPort(visit.port);
      return visit;
    }
  }
  if (!giveSerialNumber(visit)) return visit;
  if (plan_.config) {
    show(visit, "settings");
    const StepResult applied = run(&Apply, {NameOf(&Apply)}, visit.path, visit.serial);
    if (failed(visit, "settings", applied)) return visit;
    visit.done.push_back("settings");
  }
  if (!checkBack(visit)) return visit;
  visit.result = "ok";
  visit.status = kDone;
  if (!visit.serial.empty()) finished_[visit.serial] = visit.port;
  return visit;
}

// Blinks the keypad's LED in the pattern of its result, then leaves it at the brightness it
// holds (the one just stored, when it was done).
void StationRun::showResult(const Visit& visit, BusWatch& bus) {
  const std::optional<DeviceStatus>& last = visit.after ? visit.after : visit.before;
  if (visit.result == "skipped" || !last || visit.path.empty()) return;
  Options one;
  one.device = visit.path;
  std::ostringstream quiet;
  Session session({}, one, {quiet, quiet, io_.store, false, io_.program});
  if (session.connect() != kDone) return;
  // Until the keypad is pulled, the next one arrives, or the technician asks to stop.
  BlinkLed(
      visit.result == "ok" ? kDoneBlink : kFailedBlink, kShowResultMs, last->ledBrightness, [&] {
        return StopOnInterrupt::asked(io_) || !bus.present(visit.path) || bus.next().has_value();
      });
}

// " (upgraded, settings)", or nothing.
std::string WhatWasDone(const Visit& visit) {
  return visit.done.empty() ? std::string() : " (" + Joined(visit.done) + ")";
}

void StationRun::report(const Visit& visit, int number) {
  nlohmann::ordered_json line = {{"keypad", number},
                                 {"serialNumber", JsonText(visit.serial)},
                                 {"path", JsonText(visit.path)},
                                 {"port", JsonText(visit.port)},
                                 {"firmwareBefore", JsonText(Firmware(visit.before))},
                                 {"firmwareAfter", JsonText(Firmware(visit.after))},
                                 {"done", visit.done},
                                 {"result", visit.result}};
  if (!visit.step.empty()) line["step"] = visit.step;
  if (!visit.message.empty()) line["message"] = JsonText(visit.message);
  if (!visit.label.empty()) line["label"] = JsonText(visit.label);
  if (!visit.labelProblem.empty()) line["labelProblem"] = JsonText(visit.labelProblem);
  line["exitStatus"] = visit.status;
  const std::string before = Firmware(visit.before);
  const std::string after = Firmware(visit.after);
  std::ostringstream words;
  words << "[" << number << "] " << (visit.serial.empty() ? "(no serial number)" : visit.serial)
        << (visit.port.empty() ? "" : " at " + visit.port) << "  "
        << (before.empty() ? "?" : before) << " -> " << (after.empty() ? "?" : after) << "  "
        << visit.result << WhatWasDone(visit) << (visit.message.empty() ? "" : ": " + visit.message)
        << (visit.label.empty() ? "" : "; label " + visit.label)
        << (visit.labelProblem.empty() ? "" : "; " + visit.labelProblem);
  io_.out << (json_ ? FormatJson(line) : words.str()) << std::endl;
  told_ = {line, words.str()};
}

void StationRun::tellWatcher(const KeypadTally& tally, int skipped) const {
  if (!io_.watcher) return;
  io_.watcher->visited(told_.first, told_.second);
  io_.watcher->counted(tally.keypads(), tally.tries(), tally.withResult("ok"), skipped);
}

void StationRun::makeLabel(Visit& visit) const {
  const bool numbered =
      std::find(visit.done.begin(), visit.done.end(), "serial number") != visit.done.end();
  if (visit.serial.empty() || (visit.result != "ok" && !numbered)) return;
  visit.labelProblem =
      MakeStationLabel(plan_.shown, {visit.serial, Firmware(visit.after)}, visit.label);
}

void StationRun::log(const Visit& visit) {
  if (visit.result == "skipped") return;
  store::ServiceEntry entry;
  entry.program = io_.programName();
  entry.action = NameOf(nullptr) + WhatWasDone(visit);
  entry.path = visit.path;
  entry.port = visit.port;
  entry.before = visit.before;
  entry.after = visit.after;
  entry.ok = visit.result == "ok";
  entry.message = visit.message;
  entry.step = visit.step;
  if (const store::StoreError unlogged = io_.store.append(entry)) {
    io_.err << "navkeypad: " << unlogged.message
            << "; what was done is not recorded in the service log.\n";
  }
}

// A whole number of at least 1, or why not.
std::optional<int> PositiveNumber(const std::optional<std::string>& text, const char* option,
                                  std::string& problem) {
  if (!text) return std::nullopt;
  int value = 0;
  const bool digits =
      !text->empty() && text->size() < 7 &&
      std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) value = std::stoi(*text);
  if (value < 1)
    problem = std::string(option) + " needs a whole number from 1, not '" + *text + "'.";
  return value;
}

// Everything every keypad will need, checked once: a bad file would fail each keypad alike.
std::string CheckPlan(store::Store& store, const std::vector<std::string>& positional,
                      const Options& options, Plan& plan) {
  if (positional.size() > 2) return "usage: " + Synopsis(*FindCommand(NameOf(nullptr)));
  if ((positional.size() == 2) != options.expectVersion.has_value())
    return "a firmware file goes with --expect-version V, the version it holds: keypads already "
           "on V are not upgraded.";
  std::string problem;
  plan.count = PositiveNumber(options.count, OptionName(&Options::count), problem);
  plan.idleSeconds =
      PositiveNumber(options.idleTimeout, OptionName(&Options::idleTimeout), problem);
  if (!problem.empty()) return problem;
  if (options.serialFrom) {
    if (const std::string bad = SerialNumberProblem(*options.serialFrom); !bad.empty())
      return "--serial-from: " + bad;
    if (store::NextInSequence(*options.serialFrom).empty())
      return "--serial-from needs a serial number that ends in digits to count up, not '" +
             *options.serialFrom + "'.";
    plan.serialFrom = options.serialFrom;
  }
  // A bench whose log, records and numbers cannot be kept finishes no keypad: said once, here.
  if (const store::StoreError unwritable = store.writable()) return unwritable.message + ".";
  if (options.config) {
    const std::string& file = *options.config;
    if (const std::string bad = cfg::ConfigFileProblem(file); !bad.empty()) return bad + ".";
    try {
      plan.settings = cfg::ReadStoredSettings(file);
    } catch (const IniFormatError&) {
      return cfg::DamagedFileProblem(file) + " Correct it.";
    }
    if (!plan.settings.saved) return cfg::NotSavedReason(file) + ".";
    if (!plan.settings.problem.empty()) return plan.settings.problem;
    plan.config = file;
  }
  if (positional.size() == 2) {
    const firmware::UpgradeEnd checked =
        firmware::UpgradeJob::CheckOnly(store, cfg::DefaultConfigFile(), positional[1]);
    if (!checked.ok()) return checked.message;
    std::error_code ignored;
    plan.firmware = support::Utf8FromPath(
        std::filesystem::absolute(support::PathFromUtf8(positional[1]), ignored));
    plan.version = *options.expectVersion;
  }
  if (options.labels || options.printLabels) {
    plan.shown.labelLayout = label::LayoutFromSiteFile(store::TheSiteFile(), problem);
    if (!problem.empty()) return problem + ".";
  }
  if (options.labels) {
    if (const std::string bad = label::FolderProblem(*options.labels); !bad.empty())
      return bad + ".";
    plan.shown.labelFolder = options.labels;
  }
  if (options.printLabels) {
    if (const std::string bad = label::PrinterProblem(*options.printLabels); !bad.empty())
      return bad + ".";
    plan.shown.labelPrinter = options.printLabels;
  }
  if (plan.serialFrom) {
    if (const store::StoreError unread =
            store.sequenceNext(*plan.serialFrom, plan.shown.nextSerial))
      return unread.message + ".";
    plan.shown.serialFrom = *plan.serialFrom;
  }
  plan.shown.firmware = plan.firmware.value_or("");
  plan.shown.version = plan.version;
  plan.shown.config = plan.config.value_or("");
  plan.shown.store = store.where();
  if (std::error_code none;
      std::filesystem::exists(support::PathFromUtf8(store::TheSiteFile()), none))
    plan.shown.siteFile = store::TheSiteFile();
  plan.shown.operatorName = store::OperatorName();
  return {};
}

// The station's last line (or JSON line): what it did, how it ended, and the records still kept.
int PrintStationSummary(Io& io, bool json, const KeypadTally& tally, int skipped,
                        const std::string& ended, const std::optional<int>& idleSeconds) {
  std::vector<std::string> kept;
  std::ostringstream stillKept;
  for (const auto& record : KeptRecords(io.store)) {
    kept.push_back(record.serial());
    stillKept << "Still kept: the serial number and settings of " << firmware::KeypadName(record)
              << "; run the station again and plug that keypad in, to finish it.\n";
  }
  const int keypads = tally.keypads(), succeeded = tally.withResult("ok");
  // A keypad whose serial number and settings are still kept is not finished, whoever tried it.
  const int status = succeeded == keypads && kept.empty() ? kDone : kKeypadFailed;
  nlohmann::ordered_json summary = {{"keypads", keypads}, {"tries", tally.tries()},
                                    {"ok", succeeded},    {"failed", keypads - succeeded},
                                    {"skipped", skipped}, {"ended", ended}};
  auto serials = nlohmann::ordered_json::array();
  for (const std::string& serial : kept) serials.push_back(JsonText(serial));
  summary["keptRecords"] = serials;
  summary["exitStatus"] = status;
  std::ostringstream words;
  words << "Station: " << keypads << " keypad" << (keypads == 1 ? "" : "s") << " (" << tally.tries()
        << (tally.tries() == 1 ? " try" : " tries") << "), " << succeeded << " ok, "
        << keypads - succeeded << " failed"
        << (skipped ? ", " + std::to_string(skipped) + " passed over as done" : "") << " ("
        << (ended == "count"  ? "the count was reached"
            : ended == "idle" ? "no new keypad for " + std::to_string(*idleSeconds) + " s"
                              : "stopped")
        << ").\n"
        << stillKept.str();
  io.out << (json ? FormatJson(summary) + "\n" : words.str()) << std::flush;
  if (io.watcher) io.watcher->ended(summary, words.str());
  return status;
}

}  // namespace

std::string MakeStationLabel(const StationSettings& settings, const label::LabelText& text,
                             std::string& made) {
  made.clear();
  if (settings.labelFolder) {
    const std::string file = support::Utf8FromPath(support::PathFromUtf8(*settings.labelFolder) /
                                                   support::PathFromUtf8(text.serial + ".png"));
    if (std::string problem = label::WriteLabel(text, settings.labelLayout, file); !problem.empty())
      return problem;
    made = file;
  }
  if (settings.labelPrinter) {
    if (std::string problem = label::PrintLabel(text, settings.labelLayout, *settings.labelPrinter);
        !problem.empty())
      return problem;
    made += (made.empty() ? "" : ", ") + (settings.labelPrinter->empty()
                                              ? std::string("printed")
                                              : "printed on " + *settings.labelPrinter);
  }
  return {};
}

int Station(const std::vector<std::string>& positional, const Options& options, Io io) {
  Plan plan;
  if (const std::string problem = CheckPlan(io.store, positional, options, plan); !problem.empty())
    return SayFailure(io.out, io.err, options.json, kBadInput, problem);
  if (const std::string problem = HidStartProblem(); !problem.empty())
    return SayFailure(io.out, io.err, options.json, kKeypadFailed, problem + ".");
  StopOnInterrupt interrupt;
  if (io.watcher) io.watcher->started(plan.shown);
  BusWatch bus(options.present);
  StationRun station(plan, io, options.json);
  if (!io.watcher) {
    io.err << "navkeypad: waiting for keypads" << (options.present ? "" : " to be plugged in")
           << "; Ctrl-C ends once the keypad in hand is finished.\n";
  }
  KeypadTally tally;
  int skipped = 0;
  std::string ended = "interrupted";
  uint64_t lastActivity = platform::clock().tickMs();
  while (!StopOnInterrupt::asked(io)) {
    if (plan.count && tally.keypads() >= *plan.count) {
      ended = "count";
      break;
    }
    std::optional<Arrival> arrival = bus.next();
    // Another program's upgrade is no arrival: left to it, and logged by it.
    if (arrival && AnotherProgramUpgrades()) {
      if (bus.leaveToAnother()) {
        io.err << "navkeypad: another program is upgrading a keypad; what arrives meanwhile is "
                  "left to it.\n";
      }
      platform::clock().sleepMs(kLookMs);
      continue;
    }
    if (bus.takeBackFromAnother()) arrival = bus.next();
    if (!arrival) {
      if (plan.idleSeconds && platform::clock().tickMs() - lastActivity >=
                                  static_cast<uint64_t>(*plan.idleSeconds) * 1000) {
        ended = "idle";
        break;
      }
      platform::clock().sleepMs(kLookMs);
      continue;
    }
    Visit visit = station.visit(*arrival, bus);
    if (visit.result == "skipped") {
      ++skipped;
    } else {
      tally.add(visit.before ? visit.before->serialNumber : "", visit.serial, visit.port,
                visit.result);
    }
    station.makeLabel(visit);
    station.report(visit, tally.tries() + skipped);
    station.log(visit);
    station.tellWatcher(tally, skipped);
    station.showResult(visit, bus);
    lastActivity = platform::clock().tickMs();
  }
  return PrintStationSummary(io, options.json, tally, skipped, ended, plan.idleSeconds);
}

}  // namespace navkeypad::cli
