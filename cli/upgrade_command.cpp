#include <algorithm>
#include <filesystem>
#include <optional>

#include "firmware/upgrade_job.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "support/paths.h"

namespace navkeypad::cli {

namespace {

using firmware::UpgradeAdvice;
using firmware::UpgradeEnd;
using firmware::UpgradeOutcome;

// The command that picks up an upgrade where it stopped; `settingsOf` names the record (an empty
// serial number included) where only the user's word can give it to the keypad.
// `pick` is what picks the keypad out of others attached (Session::pickWords).
std::string ResumeCommand(const Io& io, const std::string& firmware,
                          const std::optional<std::string>& settingsOf = std::nullopt,
                          const std::string& pick = {}) {
  if (settingsOf)
    return UpgradeCommand(io, "--settings-of " + ShellQuoted(*settingsOf) + " ", firmware);
  return io.resume.empty() ? UpgradeCommand(io, "", firmware, pick) : io.resume;
}

void Progress(Io& io, int percent, const std::string& text) {
  std::string line = text;
  line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
  while (!line.empty() && line.back() == '\n') line.pop_back();
  std::replace(line.begin(), line.end(), '\n', ' ');
  if (io.watcher) {
    io.watcher->inHand({}, {}, {}, line, percent);
  } else if (io.terminal) {
    const int filled = percent / 5;
    io.err << "\r[" << std::string(filled, '#') << std::string(20 - filled, ' ') << "] " << percent
           << "%  " << line << "\033[K" << std::flush;
    if (percent == 100) io.err << "\n";
  } else if (!line.empty()) {
    io.err << percent << "% " << line << "\n";
  }
}

int UpgradeExitStatus(const UpgradeEnd& end) {
  switch (end.kind) {
    case UpgradeEnd::kDone:
      return kDone;
    case UpgradeEnd::kNoKeypad:
      return kNoKeypad;
    case UpgradeEnd::kSeveralLoaders:
    case UpgradeEnd::kNamedNoRecord:
      return kBadInput;
    case UpgradeEnd::kStage:
      return end.outcome.nothingSent() && end.outcome.kind != UpgradeOutcome::kInUse
                 ? kBadInput
                 : kKeypadFailed;
    default:
      return kKeypadFailed;
  }
}

// The command for one of the advice's choices, as printed: it runs from any folder.
std::string ChoiceCommand(const Io& io, const UpgradeAdvice::Choice& choice,
                          const std::string& firmware) {
  return UpgradeCommand(
      io, choice.settingsOf ? "--settings-of " + ShellQuoted(*choice.settingsOf) + " " : "",
      firmware, choice.device.empty() ? "" : "--device " + ShellQuoted(choice.device) + " ");
}

// The job's end in the command line's words, its advice as commands that run as printed.
std::string Words(Session& session, const UpgradeEnd& end, const std::string& firmware,
                  const std::string& pick) {
  Io& io = session.io();
  const UpgradeAdvice& advice = end.advice;
  std::string words = end.message;
  // At the station a keypad is tried again where it is finished whole: at the station.
  const bool again = advice.kind == UpgradeAdvice::kRetry ||
                     advice.kind == UpgradeAdvice::kRetryNamingRecord ||
                     advice.kind == UpgradeAdvice::kPlugInAgain;
  if (io.atStation && again)
    return words + (end.kind == UpgradeEnd::kStage ? "" : ".") +
           " Plug it in again while the station runs.";
  switch (advice.kind) {
    case UpgradeAdvice::kNone:
      break;
    case UpgradeAdvice::kRetry:
      words +=
          (end.kind == UpgradeEnd::kNotWritten ? ". To try again, run: " : " To retry, run: ") +
          ResumeCommand(io, firmware, std::nullopt, pick);
      break;
    case UpgradeAdvice::kRetryNamingRecord:
      words +=
          " Plug in only that keypad, then run: " + ResumeCommand(io, firmware, advice.settingsOf);
      break;
    case UpgradeAdvice::kNameOne:
      if (end.kind == UpgradeEnd::kStage) {
        words += end.outcome.kind == UpgradeOutcome::kWhoseRecord && advice.choices.size() > 1
                     ? " If it is one of those keypads, name it and its settings:"
                     : " If it is that keypad, moved, name it and its settings:";
      }
      if (advice.choices.size() == 1) {
        words += " " + ChoiceCommand(io, advice.choices.front(), firmware);
      } else {
        for (const UpgradeAdvice::Choice& choice : advice.choices) {
          words += "\n  " + ChoiceCommand(io, choice, firmware) +
                   (choice.about.empty() ? "" : "    (" + choice.about + ")");
        }
      }
      if (io.atStation) words += "\nThen plug it in again while the station runs.";
      break;
    case UpgradeAdvice::kFinishLoader:
      words += " Finish it with " + FinishLoaderCommand(io.store, io.program) + ".";
      break;
    case UpgradeAdvice::kPlugInAgain:
      words +=
          ". Plug it in again: if it waits in its loader, run: " + ResumeCommand(io, firmware) +
          "; if it starts, run '" + io.program + " list' to see its firmware.";
      break;
    case UpgradeAdvice::kListKeypads:
      words += " '" + io.program + " list'.";
      break;
    case UpgradeAdvice::kCheckFile:
      words += " Check the file, or give --expect-version the version it holds.";
      break;
  }
  return words;
}

}  // namespace

std::string UpgradeCommand(const Io& io, const std::string& words, const std::string& firmware,
                           const std::string& pick) {
  std::error_code ignored;
  return io.program + " " + pick + "upgrade " + words +
         ShellQuoted(support::Utf8FromPath(
             std::filesystem::absolute(support::PathFromUtf8(firmware), ignored)));
}

int Upgrade(Session& session) {
  Io& io = session.io();
  const auto& positional = session.positional();
  if (positional.size() != 2)
    return session.fail(kBadInput, "usage: navkeypad upgrade [--settings-of SERIAL] FIRMWARE.txt");
  const std::string firmware = positional[1];
  int notOpened = kDone;
  std::string pick;
  firmware::UpgradeJob job(
      io.store, settings::DefaultConfigFile(),
      {[&io](int percent, const std::string& text) { Progress(io, percent, text); },
       [&io](const std::string& notice) {
         io.err << io.programName() << ": note: " << notice << "\n";
       },
       [&](std::string& path) -> std::optional<DeviceStatus> {
         if ((notOpened = session.connect()) != kDone) return std::nullopt;
         const auto status = session.readStatus();
         if (!status) {
           notOpened = session.statusFailed();
           return std::nullopt;
         }
         path = session.path();
         // Picked as the bus is now: the keypad may have left it when its advice is given.
         pick = session.pickWords(status->serialNumber);
         return status;
       }});
  UpgradeEnd end = job.check(firmware);
  if (end.ok()) {
    if (const int status = session.startHid(); status != kDone) return status;
    end = job.run({firmware, session.device(), session.serial(), session.settingsOf(),
                   session.finishingLoader(), session.options().expectVersion});
  }
  session.noteUpgrade(end);
  if (end.kind == UpgradeEnd::kNotOpened) return notOpened;
  if (!end.ok()) return session.fail(UpgradeExitStatus(end), Words(session, end, firmware, pick));
  const auto& record = end.record;
  io.out << "Firmware " << end.after->firmwareVersion << " installed; "
         << (!record                    ? "no serial number or settings were restored.\n"
             : record->serial().empty() ? "its settings restored (it had no serial number).\n"
                                        : "serial number and settings restored.\n");
  return kDone;
}

}  // namespace navkeypad::cli
