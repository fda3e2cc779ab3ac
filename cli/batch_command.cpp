#include <algorithm>
#include <sstream>
#include <streambuf>

#include "bsl430/bsl430.h"
#include "command_table.h"
#include "firmware/upgrade_operation.h"
#include "keypad_tally.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "support/signal_hold.h"

namespace navkeypad::cli {

namespace {

struct Keypad {
  std::string path;
  std::string port;
  std::string serial;
  std::string firmware;
  DeviceStatus status;
};

// Every keypad in its application that answers its status request, in serial-number order.
std::vector<Keypad> KeypadsInApplication(const Io& io) {
  std::ostringstream quiet;
  Session probe({}, {}, {quiet, quiet, io.store, false, io.program});
  std::vector<Keypad> found;
  for (const auto& [keypad, status] : probe.answering(ListKeypads())) {
    found.push_back(
        {keypad.path, keypad.port, status.serialNumber, status.firmwareVersion, status});
  }
  std::sort(found.begin(), found.end(), [](const Keypad& a, const Keypad& b) {
    return std::tie(a.serial, a.path) < std::tie(b.serial, b.path);
  });
  return found;
}

// Keypads on the bus that did not answer as `keypads` did: in use, silent or closed to this user.
std::vector<KeypadOnBus> Unreachable(const std::vector<Keypad>& keypads) {
  std::vector<KeypadOnBus> unreachable;
  for (const KeypadOnBus& onBus : ListKeypads()) {
    if (std::none_of(keypads.begin(), keypads.end(),
                     [&](const Keypad& keypad) { return keypad.path == onBus.path; })) {
      unreachable.push_back(onBus);
    }
  }
  return unreachable;
}

// Why a keypad on the bus was not asked, and what to try: a silent keypad is most often its
// cable or port.
std::string UnreachableReason(const KeypadOnBus& keypad, const std::string& program) {
  if (!keypad.accessible) return "it cannot be opened (" + keypad.problem + ")";
  return "it is in use by another program, or did not answer its status request; close the "
         "program that holds it, or try another cable or USB port, then '" +
         program + " --device " + ShellQuoted(keypad.port.empty() ? keypad.path : keypad.port) +
         " identify'";
}

// upgrade --all --expect-version V passes over a keypad already on V, unless its restore may be
// owed: one without a serial number may be such a keypad, and one with a kept record is.
firmware::KeypadSeen Seen(const Keypad& keypad) {
  return {keypad.path,
          keypad.port,
          {},
          keypad.serial,
          firmware::StartsFresh(keypad.status.keypadType, keypad.status.ledBrightness)};
}

bool AlreadyDone(const Keypad& keypad, const Options& options,
                 const std::vector<firmware::PendingUpgrade>& records) {
  return options.expectVersion && keypad.firmware == *options.expectVersion &&
         !keypad.serial.empty() && !firmware::HasRecordFor(records, Seen(keypad));
}

// Writes into two streams: a command's messages go to the terminal as they come and are kept
// for the summary.
class TeeBuffer : public std::streambuf {
 public:
  TeeBuffer(std::ostream& first, std::ostream& second) : first_(first), second_(second) {}

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    first_.put(static_cast<char>(c));
    second_.put(static_cast<char>(c));
    return c;
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    first_.write(text, count);
    second_.write(text, count);
    return count;
  }

 private:
  std::ostream& first_;
  std::ostream& second_;
};

// What became of one keypad.
struct Outcome {
  std::string serial;
  std::string path;
  std::string port;
  std::string before;
  std::string after;
  std::string result;  // "ok", "skipped" or "failed"
  int status = kDone;
  std::string message;
  std::optional<nlohmann::ordered_json> output;  // the command's own JSON, where it printed one
  // How its upgrade ended, where it was one.
  std::optional<firmware::UpgradeEnd::Kind> upgradeEnd;
  bool nothingSent = false;
};

// The last line of what a command said on standard error, without the program's name.
std::string LastMessage(const std::string& said) {
  const std::string text = LastLine(said);
  const std::string prefix = "navkeypad: ";
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

// The outcomes counted as the station counts them, so that both summaries read alike (a keypad
// finished from its loader is passed over at its port afterwards: each keypad is in the
// outcomes once).
KeypadTally Tally(const std::vector<Outcome>& outcomes) {
  KeypadTally tally;
  for (const Outcome& outcome : outcomes)
    tally.add(outcome.serial, outcome.serial, outcome.port, outcome.result);
  return tally;
}

// A dry run's outcomes are what would happen, and are not counted.
void PrintSummary(Io& io, const std::vector<Outcome>& outcomes, bool json, int status,
                  const std::vector<firmware::PendingUpgrade>& kept, bool counted = true) {
  const KeypadTally tally = Tally(outcomes);
  const int failed = tally.withResult("failed"), skipped = tally.withResult("skipped");
  if (json) {
    auto entries = nlohmann::ordered_json::array();
    for (const Outcome& outcome : outcomes) {
      nlohmann::ordered_json entry = {{"serialNumber", JsonText(outcome.serial)},
                                      {"path", JsonText(outcome.path)},
                                      {"port", JsonText(outcome.port)},
                                      {"firmwareBefore", JsonText(outcome.before)},
                                      {"firmwareAfter", JsonText(outcome.after)},
                                      {"result", outcome.result},
                                      {"exitStatus", outcome.status}};
      if (!outcome.message.empty()) entry["message"] = JsonText(outcome.message);
      if (outcome.output) entry["output"] = *outcome.output;
      entries.push_back(entry);
    }
    nlohmann::ordered_json document = {{"keypads", entries}};
    if (counted) {
      document["counted"] = {{"keypads", tally.keypads()},
                             {"tries", tally.tries()},
                             {"ok", tally.withResult("ok")},
                             {"failed", failed},
                             {"skipped", skipped}};
    }
    if (!kept.empty()) {
      auto serials = nlohmann::ordered_json::array();
      for (const auto& record : kept) serials.push_back(JsonText(record.serial()));
      document["keptRecords"] = serials;
    }
    document["exitStatus"] = status;
    io.out << FormatJson(document) << "\n";
    return;
  }
  io.out << "Summary:\n";
  for (const Outcome& outcome : outcomes) {
    io.out << "  " << (outcome.serial.empty() ? "(no serial number)" : outcome.serial)
           << (outcome.port.empty() ? "" : " at " + outcome.port) << "  "
           << (outcome.before.empty() ? "?" : outcome.before) << " -> "
           << (outcome.after.empty() ? "?" : outcome.after) << "  " << outcome.result
           << (outcome.message.empty() ? "" : ": " + outcome.message) << "\n";
  }
  if (counted) {
    io.out << tally.keypads() << " keypad" << (tally.keypads() == 1 ? "" : "s") << " ("
           << tally.tries() << (tally.tries() == 1 ? " try" : " tries") << "), "
           << tally.withResult("ok") << " ok, " << failed << " failed"
           << (skipped ? ", " + std::to_string(skipped) + " skipped" : "") << ".\n";
  }
  for (const auto& record : kept) {
    io.out << "Still kept: the serial number and settings of " << firmware::KeypadName(record)
           << "\n";
  }
}

// apply --dry-run: what the file's settings would change on a keypad.
std::string Changes(const settings::StoredSettings& stored, const DeviceStatus& status) {
  std::string changes;
  const auto add = [&](const std::string& change) {
    changes += (changes.empty() ? "" : ", ") + change;
  };
  for (const auto& step : stored.steps) {
    const uint8_t value = step.payload.empty() ? 0 : step.payload[0];
    if (step.command == CMD_SET_KEYPAD_TYPE && value != status.keypadType)
      add("layout " + LayoutName(status.keypadType) + " -> " + LayoutName(value));
    if (step.command == CMD_SET_LED_BRIGHTNESS && value != status.ledBrightness)
      add("brightness " + std::to_string(status.ledBrightness) + " -> " + std::to_string(value));
    if (step.command == CMD_LOAD_TABLE &&
        !std::equal(step.payload.begin(), step.payload.end(), status.codeTable.bytes.begin(),
                    status.codeTable.bytes.end()))
      add("the code table");
  }
  return (changes.empty() ? "nothing changes" : changes) + "; stored as its defaults";
}

// An outcome that would be: "would fail", "would upgrade", ...
void Would(std::vector<Outcome>& outcomes, Outcome outcome, const std::string& what,
           const std::string& message) {
  outcome.result = "would " + what;
  outcome.status = what == "fail" ? kKeypadFailed : kDone;
  outcome.message = message;
  outcomes.push_back(outcome);
}

// What a batch would do with each keypad waiting in its loader: an upgrade finishes it first,
// where the record that is its own can be told.
void WouldFinishLoaders(Io& io, bool upgrade, std::vector<Outcome>& outcomes) {
  const auto records = KeptRecords(io.store);
  for (const LoaderOnBus& loader : BSL_USBDevices(kLoaderVendorId, kLoaderProductId)) {
    Outcome outcome;
    outcome.path = loader.path;
    outcome.port = loader.port;
    const auto here = RecordsKeptAt(io.store, loader.port);
    const auto away = firmware::RecordsOfAbsentKeypads(records);
    if (!upgrade) {
      Would(outcomes, outcome, "fail", WaitingLoaderLine(io.store, loader.path, io.program));
    } else if (here.size() > 1 || (here.empty() && !away.empty())) {
      Would(outcomes, outcome, "fail",
            "it waits in its loader, and " + KeptSettingsFor(here.empty() ? away : here) +
                (here.empty() ? " for a keypad not on the bus" : "") +
                ": which is its only you can tell; finish it with " +
                FinishLoaderCommand(io.store, io.program, loader.path));
    } else {
      if (here.size() == 1) outcome.serial = here[0].serial();
      Would(outcomes, outcome, "finish", "its upgrade, first (" + KeptSettingsFor(here) + ")");
    }
  }
}

// --dry-run: what the batch would do to each keypad, as its summary, having sent nothing but
// status requests.
int DryRun(bool upgrade, const Options& options, Io& io,
           const std::optional<settings::StoredSettings>& stored) {
  const auto records = KeptRecords(io.store);
  std::vector<Outcome> outcomes;
  const auto would = [&](Outcome outcome, const std::string& what, const std::string& message) {
    Would(outcomes, outcome, what, message);
  };
  WouldFinishLoaders(io, upgrade, outcomes);
  const auto keypads = KeypadsInApplication(io);
  for (const Keypad& keypad : keypads) {
    Outcome outcome;
    outcome.serial = keypad.serial;
    outcome.path = keypad.path;
    outcome.port = keypad.port;
    outcome.before = outcome.after = keypad.firmware;
    if (!upgrade) {
      would(outcome, "apply", Changes(*stored, keypad.status));
      continue;
    }
    const bool kept = !keypad.serial.empty() && firmware::HasRecordFor(records, Seen(keypad));
    const auto sharing = std::count_if(keypads.begin(), keypads.end(), [&](const Keypad& other) {
      return !keypad.serial.empty() && other.serial == keypad.serial;
    });
    if (AlreadyDone(keypad, options, records)) {
      would(outcome, "skip", "already on " + keypad.firmware);
      continue;
    }
    outcome.after = options.expectVersion.value_or("?");
    if (sharing > 1) {
      would(outcome, "fail",
            "another keypad attached has the serial number " + keypad.serial +
                " too, and the two could not be told apart after the upgrade");
    } else {
      would(outcome, "upgrade",
            kept ? "the serial number and settings kept for it earlier given back"
            : keypad.serial.empty() ? "its settings kept and given back; it has no serial number"
                                    : "its serial number and settings kept and given back");
    }
  }
  for (const KeypadOnBus& keypad : Unreachable(keypads)) {
    Outcome outcome;
    outcome.path = keypad.path;
    outcome.port = keypad.port;
    would(outcome, "fail", UnreachableReason(keypad, io.program));
  }
  if (outcomes.empty()) {
    return SayFailure(io.out, io.err, options.json, kNoKeypad,
                      "no navigation keypad found. Plug them in and try again.");
  }
  const bool allWould = std::all_of(outcomes.begin(), outcomes.end(),
                                    [](const Outcome& outcome) { return outcome.status == kDone; });
  const int status = allWould ? kDone : kKeypadFailed;
  if (!options.json) {
    io.out << "Dry run: nothing was sent but status requests.\n";
    if (upgrade && options.expectVersion) {
      io.out << "The firmware file's own version is known only once a keypad runs it; "
             << *options.expectVersion << " is what --expect-version says it holds.\n";
    }
  }
  PrintSummary(io, outcomes, options.json, status, {}, false);
  return status;
}

// status --all: a line a keypad, its columns aligned, and how to finish one in its loader.
int PrintStatusTable(Io& io, const std::vector<Keypad>& keypads,
                     const std::vector<KeypadOnBus>& unreachable,
                     const std::vector<LoaderOnBus>& loaders) {
  std::vector<std::vector<std::string>> rows = {
      {"Serial number", "Mode", "Firmware", "Brightness", "Layout", "Port", "Path"}};
  const auto where = [](const std::string& port) { return port.empty() ? "?" : port; };
  for (const Keypad& keypad : keypads) {
    rows.push_back({keypad.serial.empty() ? "(none)" : keypad.serial, "application",
                    keypad.firmware, std::to_string(keypad.status.ledBrightness),
                    LayoutName(keypad.status.keypadType), where(keypad.port), keypad.path});
  }
  for (const KeypadOnBus& keypad : unreachable) {
    rows.push_back({"?", keypad.accessible ? "in use or not answering" : "cannot be opened", "?",
                    "?", "?", where(keypad.port), keypad.path});
  }
  for (const LoaderOnBus& loader : loaders)
    rows.push_back({"(none)", "loader", "-", "-", "-", where(loader.port), loader.path});
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column)
      widths[column] = std::max(widths[column], row[column].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      if (column + 1 < row.size())
        line += std::string(widths[column] - row[column].size() + 2, ' ');
    }
    io.out << line << "\n";
  }
  for (const KeypadOnBus& keypad : unreachable) {
    if (!keypad.accessible)
      io.err << "navkeypad: " << keypad.path << ": " << keypad.problem << "\n";
  }
  for (const LoaderOnBus& loader : loaders)
    io.out << WaitingLoaderLine(io.store, loader.path, io.program) << "\n";
  return unreachable.empty() && loaders.empty() ? kDone : kKeypadFailed;
}

}  // namespace

namespace {

// One batch: the command run on each keypad in turn, what became of each, and the summary.
class BatchRun {
 public:
  BatchRun(const std::vector<std::string>& positional, CommandFunction command,
           const Options& options, Io io)
      : positional_(positional),
        command_(command),
        options_(options),
        io_(io),
        upgrade_(command == &Upgrade) {}

  int run(Session& whole);

 private:
  // Runs the command on one keypad; its words go to the terminal, or into the summary's entry.
  void runOn(Outcome& outcome, Options one, bool finishingLoader);
  void finishWaitingLoaders();
  void runOnKeypads(const std::vector<Keypad>& keypads);
  // A record still kept for a keypad of the batch is an upgrade that has not finished.
  std::vector<firmware::PendingUpgrade> stillKept();
  void adviseAtEnd(bool allDone) const;
  // A keypad the batch did nothing to, passed over or not reachable, has its line in the log
  // too: the summary can be told from the log alone.
  void logPassedOver(const Outcome& outcome, const std::optional<DeviceStatus>& status);

  const std::vector<std::string>& positional_;
  CommandFunction command_;
  const Options& options_;
  Io io_;
  bool upgrade_;
  // The one command every failed keypad's advice and the last line name: the same batch.
  std::string resume_;
  std::vector<Outcome> outcomes_;
};

void BatchRun::runOn(Outcome& outcome, Options one, bool finishingLoader) {
  one.all = false;
  std::ostringstream capturedOut;
  std::ostringstream capturedErr;
  TeeBuffer both(io_.err, capturedErr);
  std::ostream shownErr(&both);
  std::ostringstream failure;  // said once, in the keypad's line
  Io oneIo{options_.json ? capturedOut : io_.out,
           shownErr,
           io_.store,
           io_.terminal && !options_.json,
           io_.program,
           resume_,
           false,
           &failure};
  Session session(positional_, one, oneIo);
  if (finishingLoader) session.setFinishingLoader();
  outcome.status = session.run(command_);
  session.disconnect();
  // The keypad as it answered at the end (an upgrade's: where it came back, with the number
  // it was given back, or whose record it was given); one a refusal sent nothing to is as it was.
  if (const auto& end = session.upgradeEnd()) {
    outcome.upgradeEnd = end->kind;
    outcome.nothingSent = end->refused();
    if (!end->returnedPath.empty()) outcome.path = end->returnedPath;
    if (end->fromLoader && end->record) {
      outcome.serial = end->record->serial();
      outcome.before = end->record->firmwareVersion;
    }
  }
  if (const auto& after = session.after()) {
    outcome.after = after->firmwareVersion;
    outcome.serial = after->serialNumber;
  } else if (!outcome.nothingSent) {
    outcome.after.clear();
  }
  if (outcome.status != kDone)
    outcome.message =
        session.lastFailure().empty() ? LastMessage(capturedErr.str()) : session.lastFailure();
  if (options_.json && !capturedOut.str().empty()) {
    outcome.output = nlohmann::ordered_json::parse(capturedOut.str(), nullptr, false);
    if (outcome.output->is_discarded()) outcome.output.reset();
  }
  outcome.result = outcome.status == kDone ? "ok" : "failed";
  outcomes_.push_back(outcome);
}

void BatchRun::logPassedOver(const Outcome& outcome, const std::optional<DeviceStatus>& status) {
  store::ServiceEntry entry;
  entry.program = io_.programName();
  entry.action = Joined(positional_, " ");
  entry.path = outcome.path;
  entry.port = outcome.port;
  entry.before = entry.after = status;
  entry.passedOver = outcome.result == "skipped";
  entry.message = outcome.message;
  if (const store::StoreError unlogged = io_.store.append(entry)) {
    io_.err << io_.programName() << ": " << unlogged.message
            << "; the keypad's line is not in the service log.\n";
  }
}

// A run cut off during an upgrade left its keypad in the loader: each is finished first, with
// the record kept where it waits.
void BatchRun::finishWaitingLoaders() {
  for (const LoaderOnBus& loader : BSL_USBDevices(kLoaderVendorId, kLoaderProductId)) {
    Outcome outcome;
    outcome.path = loader.path;
    outcome.port = loader.port;
    if (!options_.json)
      io_.out << "A keypad waits in its loader at " << (loader.port.empty() ? "?" : loader.port)
              << ": finishing its upgrade first.\n";
    Options one = options_;
    one.device = loader.path;
    runOn(outcome, one, true);
  }
}

void BatchRun::runOnKeypads(const std::vector<Keypad>& keypads) {
  for (std::size_t i = 0; i < keypads.size(); ++i) {
    // A stop asked during an upgrade ends the batch once that keypad is finished.
    if (support::SignalHold::Asked()) break;
    const Keypad& keypad = keypads[i];
    // A keypad finished from its loader above is back in its application where it waited.
    const bool finished = std::any_of(outcomes_.begin(), outcomes_.end(), [&](const Outcome& done) {
      return !done.port.empty() && done.port == keypad.port;
    });
    Outcome outcome;
    outcome.serial = keypad.serial;
    outcome.path = keypad.path;
    outcome.port = keypad.port;
    outcome.before = outcome.after = keypad.firmware;
    // The records as they are now: an earlier keypad of the batch may have left or taken one.
    const bool done =
        finished || (upgrade_ && AlreadyDone(keypad, options_, KeptRecords(io_.store)));
    // Every keypad has its line, one passed over too: the numbers have no gaps.
    if (!options_.json) {
      io_.out << "[" << i + 1 << "/" << keypads.size() << "] "
              << (keypad.serial.empty() ? "(no serial number)" : keypad.serial) << " at "
              << keypad.path
              << (finished ? ": finished from its loader above"
                  : done   ? ": already on " + keypad.firmware + ", passed over"
                           : "")
              << "\n";
    }
    if (finished) continue;
    if (done) {
      outcome.result = "skipped";
      outcome.message = "already on " + keypad.firmware;
      logPassedOver(outcome, keypad.status);
      outcomes_.push_back(outcome);
      continue;
    }
    // The keypad at that place must still be the keypad of this line: a new one may have
    // taken a place that another left.
    Options one = options_;
    one.device = keypad.path;
    if (!keypad.serial.empty()) one.serial = keypad.serial;
    runOn(outcome, one, false);
  }
}

std::vector<firmware::PendingUpgrade> BatchRun::stillKept() {
  std::vector<firmware::PendingUpgrade> kept;
  if (!upgrade_) return kept;
  for (const auto& record : KeptRecords(io_.store)) {
    bool ours = false;
    for (Outcome& outcome : outcomes_) {
      if (!firmware::RecordFitsKeypad(record,
                                      {outcome.path, outcome.port, {}, outcome.serial, true}))
        continue;
      ours = true;
      if (outcome.status != kDone) continue;
      outcome.status = kKeypadFailed;
      outcome.result = "failed";
      outcome.message = "its serial number and settings are still kept";
    }
    if (ours) kept.push_back(record);
  }
  return kept;
}

void BatchRun::adviseAtEnd(bool allDone) const {
  if (!upgrade_ || allDone || options_.json) return;
  // A keypad that runs another version than asked for got the whole upgrade: the file is what
  // needs a look, not the keypad.
  const bool wrongFile =
      options_.expectVersion &&
      std::all_of(outcomes_.begin(), outcomes_.end(), [&](const Outcome& outcome) {
        return outcome.status == kDone || outcome.upgradeEnd == firmware::UpgradeEnd::kOtherVersion;
      });
  // Where nothing was sent to any keypad that failed, plugging them in again would not help.
  const bool refusedOnly = std::all_of(
      outcomes_.begin(), outcomes_.end(),
      [](const Outcome& outcome) { return outcome.status == kDone || outcome.nothingSent; });
  if (wrongFile) {
    io_.out << "The firmware file holds another version than " << *options_.expectVersion
            << ": check the file, or give --expect-version the version it holds.\n";
  } else if (refusedOnly) {
    io_.out << "Nothing was sent to the keypads that failed: do as their lines say, then run: "
            << resume_ << "\n";
  } else {
    io_.out << "Plug the keypads that failed in again and run: " << resume_
            << "\nA keypad left in its loader is finished first"
            << (options_.expectVersion
                    ? ", and keypads already on " + *options_.expectVersion + " are skipped.\n"
                    : ".\n");
  }
}

int BatchRun::run(Session& whole) {
  if (upgrade_) {
    resume_ = UpgradeCommand(
        io_,
        "--all " + (options_.expectVersion
                        ? "--expect-version " + ShellQuoted(*options_.expectVersion) + " "
                        : std::string()),
        positional_[1]);
  }
  support::SignalHold::Forget();
  if (upgrade_) finishWaitingLoaders();
  const auto keypads = KeypadsInApplication(io_);
  // A keypad that cannot be asked is not passed over in silence: it fails in the summary.
  const auto unreachable = Unreachable(keypads);
  // Keypads waiting in their loaders are neither passed over nor taken: each fails, with how to
  // finish it. An upgrade took its one first.
  const auto loaders =
      upgrade_ ? std::vector<LoaderOnBus>() : BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  if (keypads.empty() && unreachable.empty() && outcomes_.empty() && loaders.empty())
    return whole.fail(kNoKeypad, "no navigation keypad found. Plug them in and try again.");
  // The one batch that changes nothing is the status table.
  if (!ChangesKeypad(positional_) && !options_.json)
    return PrintStatusTable(io_, keypads, unreachable, loaders);
  runOnKeypads(keypads);
  for (const KeypadOnBus& keypad : unreachable) {
    Outcome outcome;
    outcome.path = keypad.path;
    outcome.result = "failed";
    outcome.status = keypad.accessible ? kKeypadFailed : kNotAccessible;
    outcome.port = keypad.port;
    outcome.message = UnreachableReason(keypad, io_.program);
    logPassedOver(outcome, std::nullopt);
    outcomes_.push_back(outcome);
  }
  for (const LoaderOnBus& loader : loaders) {
    Outcome outcome;
    outcome.path = loader.path;
    outcome.port = loader.port;
    outcome.result = "failed";
    outcome.status = kKeypadFailed;
    outcome.message = WaitingLoaderLine(io_.store, loader.path, io_.program);
    outcomes_.push_back(outcome);
  }
  const auto kept = stillKept();
  const bool allDone = Tally(outcomes_).withResult("failed") == 0;
  const int status = allDone ? kDone : kKeypadFailed;
  PrintSummary(io_, outcomes_, options_.json, status, kept);
  adviseAtEnd(allDone);
  return status;
}

}  // namespace

int ForAll(const std::vector<std::string>& positional, CommandFunction command,
           const Options& options, Io io) {
  Session whole(positional, options, io);
  const bool upgrade = command == &Upgrade;
  if (options.settingsOf) {
    // One keypad's serial number and settings go to one keypad, never to a batch's.
    return whole.fail(kBadInput,
                      "--settings-of names one keypad's kept settings, which go to that keypad "
                      "alone; upgrade it on its own (navkeypad --device PATH upgrade --settings-of "
                      "SERIAL FIRMWARE.txt), then the rest with --all. Nothing was sent.");
  }
  if (upgrade) {
    // The firmware file, the loader texts and the records' file are checked once, before the
    // first keypad: a bad one would fail every keypad alike.
    if (positional.size() != 2)
      return whole.fail(kBadInput, "usage: navkeypad upgrade --all FIRMWARE.txt");
    const firmware::UpgradeEnd checked =
        firmware::UpgradeJob::CheckOnly(io.store, settings::DefaultConfigFile(), positional[1]);
    if (!checked.ok()) {
      return whole.fail(
          checked.outcome.kind == firmware::UpgradeOutcome::kInUse ? kKeypadFailed : kBadInput,
          checked.message);
    }
  }
  std::optional<settings::StoredSettings> stored;
  if (options.dryRun && !upgrade && !(stored = SettingsToSend(whole))) return kBadInput;
  if (const int status = whole.startHid(); status != kDone) return status;
  if (options.dryRun) return DryRun(upgrade, options, io, stored);
  return BatchRun(positional, command, options, io).run(whole);
}

}  // namespace navkeypad::cli
