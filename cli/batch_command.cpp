#include <algorithm>
#include <sstream>
#include <streambuf>

#include "bsl430/bsl430.h"
#include "names.h"
#include "session.h"

namespace navkeypad::cli {

namespace {

struct Keypad {
  std::string path;
  std::string serial;
  std::string firmware;
};

// Every keypad in its application that answers its status request, in serial-number order.
std::vector<Keypad> KeypadsInApplication(const std::string& program) {
  std::ostringstream quiet;
  Session probe({}, {}, {quiet, quiet, false, program});
  std::vector<Keypad> found;
  for (const auto& [keypad, status] : probe.answering(ListKeypads())) {
    found.push_back({keypad.path, status.serialNumber, status.firmwareVersion});
  }
  std::sort(found.begin(), found.end(), [](const Keypad& a, const Keypad& b) {
    return std::tie(a.serial, a.path) < std::tie(b.serial, b.path);
  });
  return found;
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
  std::string before;
  std::string after;
  std::string result;  // "ok", "skipped" or "failed"
  int status = kDone;
  std::string message;
  std::optional<nlohmann::ordered_json> output;  // the command's own JSON, where it printed one
};

// The last line of what a command said on standard error, without the program's name.
std::string LastMessage(const std::string& said) {
  const std::string text = LastLine(said);
  const std::string prefix = "navkeypad: ";
  return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

void PrintSummary(Io& io, const std::vector<Outcome>& outcomes, bool json, int status) {
  if (json) {
    auto entries = nlohmann::ordered_json::array();
    for (const Outcome& outcome : outcomes) {
      nlohmann::ordered_json entry = {{"serialNumber", JsonText(outcome.serial)},
                                      {"path", JsonText(outcome.path)},
                                      {"firmwareBefore", JsonText(outcome.before)},
                                      {"firmwareAfter", JsonText(outcome.after)},
                                      {"result", outcome.result},
                                      {"exitStatus", outcome.status}};
      if (!outcome.message.empty()) entry["message"] = JsonText(outcome.message);
      if (outcome.output) entry["output"] = *outcome.output;
      entries.push_back(entry);
    }
    io.out << FormatJson({{"keypads", entries}, {"exitStatus", status}}) << "\n";
    return;
  }
  io.out << "Summary:\n";
  for (const Outcome& outcome : outcomes) {
    io.out << "  " << (outcome.serial.empty() ? "(no serial number)" : outcome.serial) << "  "
           << (outcome.before.empty() ? "?" : outcome.before) << " -> "
           << (outcome.after.empty() ? "?" : outcome.after) << "  " << outcome.result
           << (outcome.message.empty() ? "" : ": " + outcome.message) << "\n";
  }
}

}  // namespace

int ForAll(const std::vector<std::string>& positional, CommandFunction command,
           const Options& options, Io io) {
  Session whole(positional, options, io);
  if (const int status = whole.startHid(); status != kDone) return status;
  const bool upgrade = positional[0] == "upgrade";
  std::vector<Outcome> outcomes;
  // Runs the command on one keypad; its words go to the terminal, or into the summary's entry.
  const auto runOn = [&](Outcome& outcome, Options one, bool finishingLoader) {
    one.all = false;
    one.expectVersion.reset();
    std::ostringstream capturedOut;
    std::ostringstream capturedErr;
    TeeBuffer both(io.err, capturedErr);
    std::ostream shownErr(&both);
    Io oneIo{options.json ? capturedOut : io.out, shownErr, io.terminal && !options.json,
             io.program};
    Session session(positional, one, oneIo);
    if (finishingLoader) session.setFinishingLoader();
    outcome.status = session.run(command);
    session.disconnect();
    if (outcome.status != kDone) outcome.message = LastMessage(capturedErr.str());
    if (options.json && !capturedOut.str().empty()) {
      outcome.output = nlohmann::ordered_json::parse(capturedOut.str(), nullptr, false);
      if (outcome.output->is_discarded()) outcome.output.reset();
    }
  };
  // A run cut off during an upgrade left its keypad in the loader: it is finished first.
  if (upgrade && BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 0) {
    Outcome outcome;
    outcome.result = "failed";
    if (!options.json) io.out << "A keypad waits in its loader: finishing its upgrade first.\n";
    runOn(outcome, options, true);
    outcomes.push_back(outcome);
  }
  const auto keypads = KeypadsInApplication(io.program);
  // A keypad that cannot be asked is not passed over in silence: it fails in the summary.
  std::vector<KeypadOnBus> unreachable;
  for (const KeypadOnBus& onBus : ListKeypads()) {
    if (std::none_of(keypads.begin(), keypads.end(),
                     [&](const Keypad& keypad) { return keypad.path == onBus.path; })) {
      unreachable.push_back(onBus);
    }
  }
  if (keypads.empty() && unreachable.empty() && outcomes.empty()) {
    return whole.fail(kNoKeypad, "no navigation keypad found. Plug them in and try again.");
  }
  for (std::size_t i = 0; i < keypads.size(); ++i) {
    const Keypad& keypad = keypads[i];
    Outcome outcome;
    outcome.serial = keypad.serial;
    outcome.path = keypad.path;
    outcome.before = outcome.after = keypad.firmware;
    if (upgrade && options.expectVersion && keypad.firmware == *options.expectVersion) {
      outcome.result = "skipped";
      outcome.message = "already on " + keypad.firmware;
      outcomes.push_back(outcome);
      continue;
    }
    if (!options.json) {
      io.out << "[" << i + 1 << "/" << keypads.size() << "] "
             << (keypad.serial.empty() ? "(no serial number)" : keypad.serial) << " at "
             << keypad.path << "\n";
    }
    Options one = options;
    one.device = keypad.path;
    runOn(outcome, one, false);
    // After an upgrade the keypad comes back at a place of its own choosing: it is its serial
    // number that tells it.
    for (const Keypad& now : KeypadsInApplication(io.program)) {
      if (keypad.serial.empty() ? now.path == keypad.path : now.serial == keypad.serial) {
        outcome.path = now.path;
        outcome.after = now.firmware;
      }
    }
    if (outcome.status == kDone && upgrade && options.expectVersion &&
        outcome.after != *options.expectVersion) {
      outcome.status = kKeypadFailed;
      outcome.message = "it reports firmware " + outcome.after + ", not " + *options.expectVersion;
    }
    outcome.result = outcome.status == kDone ? "ok" : "failed";
    outcomes.push_back(outcome);
  }
  for (const KeypadOnBus& keypad : unreachable) {
    Outcome outcome;
    outcome.path = keypad.path;
    outcome.result = "failed";
    outcome.status = keypad.accessible ? kKeypadFailed : kNotAccessible;
    outcome.message = keypad.accessible
                          ? "it is in use by another program, or did not answer its status request"
                          : "it cannot be opened (" + keypad.problem + ")";
    outcomes.push_back(outcome);
  }
  const bool allDone = std::all_of(outcomes.begin(), outcomes.end(),
                                   [](const Outcome& outcome) { return outcome.status == kDone; });
  const int status = allDone ? kDone : kKeypadFailed;
  PrintSummary(io, outcomes, options.json, status);
  if (upgrade && !allDone && !options.json) {
    io.out << "Plug the keypads that failed in again and run the same command: a keypad left in "
              "its loader is finished first"
           << (options.expectVersion
                   ? ", and keypads already on " + *options.expectVersion + " are skipped.\n"
                   : ".\n");
  }
  return status;
}

}  // namespace navkeypad::cli
