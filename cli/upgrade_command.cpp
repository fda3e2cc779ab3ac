#include <algorithm>
#include <filesystem>
#include <optional>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "firmware/upgrade_operation.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "support/paths.h"

namespace navkeypad::cli {

namespace {

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
  if (io.terminal) {
    const int filled = percent / 5;
    io.err << "\r[" << std::string(filled, '#') << std::string(20 - filled, ' ') << "] " << percent
           << "%  " << line << "\033[K" << std::flush;
    if (percent == 100) io.err << "\n";
  } else if (!line.empty()) {
    io.err << percent << "% " << line << "\n";
  }
}

int StatusFor(UpgradeOutcome::Kind kind) {
  return kind == UpgradeOutcome::kRefused ? kBadInput : kKeypadFailed;
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
  const std::string path = positional[1];
  firmware::UpgradeOperation upgrade(io.store, settings::DefaultConfigFile());
  // Logged whatever the end: on every return below, what the operation reached is noted.
  struct LogAtEnd {
    Session& session;
    const firmware::UpgradeOperation& upgrade;
    std::string step = {};  // where it failed after the operation's own steps
    ~LogAtEnd() {
      const auto& record = upgrade.record();
      session.logUpgrade(step.empty() ? upgrade.step() : step, upgrade.returnedPath(),
                         record ? std::optional(firmware::StatusBefore(*record)) : std::nullopt,
                         upgrade.port());
    }
  } logAtEnd{session, upgrade};
  // Everything the upgrade needs is at hand and checked before any keypad is looked for.
  if (const UpgradeOutcome outcome = upgrade.checkSetting(); !outcome.ok())
    return session.fail(StatusFor(outcome.kind), outcome.message);
  if (const UpgradeOutcome outcome = upgrade.checkFirmware(path); !outcome.ok())
    return session.fail(kBadInput, outcome.message);
  const std::string& recordFile = upgrade.recordFile();
  if (const int status = session.startHid(); status != kDone) return status;
  // A keypad waiting in its loader must be finished before any other can be upgraded, so the
  // command is for it unless a keypad in its application is picked: by its place, or by a serial
  // number one of them answers to (else the number names the waiting keypad's record).
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  const std::optional<std::string> pickedDevice = session.device();
  const bool loaderPicked =
      pickedDevice && std::any_of(loaders.begin(), loaders.end(), [&](const LoaderOnBus& loader) {
        return loader.path == *pickedDevice;
      });
  const auto picksKeypadInApplication = [&] {
    if (session.device()) return !loaderPicked;
    if (loaders.empty()) return !ListKeypads().empty();
    if (!session.serial()) return false;
    const auto keypads = ListKeypads();
    return std::any_of(keypads.begin(), keypads.end(), [&](const KeypadOnBus& keypad) {
      return SerialNumberAt(keypad.path) == *session.serial();
    });
  };
  const bool inApplication = !session.finishingLoader() && picksKeypadInApplication();
  if (loaderPicked) session.forgetDevice();
  // With no keypad in its application, --serial names the record of the keypad in its loader.
  const std::optional<std::string> settingsOf = session.settingsOf() ? session.settingsOf()
                                                : inApplication      ? std::nullopt
                                                                     : session.serial();
  // The user's word, where only the user can tell which keypad a record was kept for.
  const auto isKeypadOf = [&](const firmware::PendingUpgrade& record) {
    return settingsOf && record.serial() == *settingsOf;
  };
  if (inApplication) {
    if (session.device()) upgrade.namePlace();
    if (const int status = session.connect(); status != kDone) return status;
    const auto status = session.readStatus();
    if (!status) return session.statusFailed();
    // Picked as the bus is now: the keypad may have left it when its advice is given.
    const std::string pick = session.pickWords(status->serialNumber);
    const auto retry = [&] { return ResumeCommand(io, path, std::nullopt, pick); };
    const UpgradeOutcome left = upgrade.leaveApplication(
        firmware::KeypadInApplication::FromStatus(session.path(), *status), isKeypadOf);
    for (const std::string& notice : upgrade.notices()) io.err << "navkeypad: " << notice << "\n";
    if (!left.ok() && left.kind != UpgradeOutcome::kEnterUnanswered) {
      const bool loaderBeside = upgrade.step() == "switch to the loader" && !loaders.empty() &&
                                left.message.find("firmware loader") != std::string::npos;
      return session.fail(
          StatusFor(left.kind),
          left.message + (loaderBeside
                              ? " Finish it with " + FinishLoaderCommand(io.store, io.program) + "."
                              : std::string()));
    }
    session.disconnect();
    // A switch the keypad did not confirm may have happened all the same: the operation says
    // whether its loader came where it left, as it does for the windows.
    if (const UpgradeOutcome loader = upgrade.awaitLoader(left); !loader.ok())
      return session.fail(kKeypadFailed, loader.message + " To retry, run: " + retry());
    if (const UpgradeOutcome outcome = upgrade.checkLoaders(false, upgrade.port()); !outcome.ok()) {
      return session.fail(kKeypadFailed, outcome.message + " Its settings are kept in " +
                                             recordFile + "; then run: " + retry());
    }
  } else {
    // No keypad in its application: finish the upgrade of one waiting in its loader.
    if (loaders.empty())
      return session.fail(kNoKeypad, "no navigation keypad found. Plug it in and try again.");
    const std::string loaderPath = loaderPicked ? *pickedDevice : std::string();
    if (loaders.size() > 1 && loaderPath.empty()) {
      std::string names;
      for (const LoaderOnBus& loader : loaders) {
        names += "\n  " + io.program + " --device " + ShellQuoted(loader.path) + " upgrade " +
                 ShellQuoted(path) + "    (at " + (loader.port.empty() ? "?" : loader.port) + ")";
      }
      return session.fail(kBadInput, std::to_string(loaders.size()) +
                                         " keypads wait in their firmware loaders; nothing was "
                                         "sent. Finish each on its own:" +
                                         names);
    }
    if (const UpgradeOutcome taken = upgrade.takeWaitingKeypad(isKeypadOf, loaderPath);
        !taken.ok()) {
      return session.fail(StatusFor(taken.kind), taken.message);
    }
    // Which of several records kept where it waits is its own, only the user can say; so
    // whether one kept by an earlier version, which did not note where its keypad was, is.
    auto unsure = firmware::RecordsKeptAt(upgrade.records(), upgrade.port());
    if (unsure.size() < 2) unsure.clear();
    std::copy_if(upgrade.records().begin(), upgrade.records().end(), std::back_inserter(unsure),
                 [](const firmware::PendingUpgrade& record) { return record.port.empty(); });
    if (!upgrade.record() && !settingsOf && !unsure.empty()) {
      std::string names;
      for (const auto& record : unsure) {
        names += "\n  " + ResumeCommand(io, path, record.serial()) + "    (" +
                 firmware::KeypadName(record) + ")";
      }
      return session.fail(
          kBadInput,
          (unsure.size() == 1
               ? "the settings of " + firmware::KeypadName(unsure.front()) + " are kept in " +
                     recordFile +
                     " by an earlier version, which did not note where that keypad was plugged "
                     "in, so whether it is the keypad waiting in its loader cannot be told"
               : "the settings of " + std::to_string(unsure.size()) + " keypads are kept in " +
                     recordFile +
                     ", and which of them the keypad waiting in its loader is "
                     "cannot be told") +
              "; nothing was sent. Name it:" + names);
    }
    if (settingsOf && (!upgrade.record() || upgrade.record()->serial() != *settingsOf)) {
      const auto named = std::find_if(
          upgrade.records().begin(), upgrade.records().end(),
          [&](const firmware::PendingUpgrade& record) { return record.serial() == *settingsOf; });
      if (named != upgrade.records().end() && loaderPath.empty()) {
        const LoaderOnBus& loader = loaders.size() == 1 ? loaders.front() : LoaderOnBus{};
        return session.fail(
            kBadInput, "the settings of " + firmware::KeypadName(*named) + " are kept in " +
                           recordFile + " for the keypad that left its application at " +
                           (named->port.empty() ? "a place not recorded" : named->port) +
                           "; the keypad waiting in its loader is at " + upgrade.port() +
                           ". If it is that keypad, moved, name both: " + io.program +
                           " --device " + ShellQuoted(loader.path) + " upgrade --settings-of " +
                           ShellQuoted(*settingsOf) + " " + ShellQuoted(path) +
                           ". Nothing was sent.");
      }
      return session.fail(kBadInput, "no settings of keypad " + *settingsOf + " are kept in " +
                                         recordFile +
                                         " that can be given to this keypad; nothing was sent.");
    }
    if (upgrade.record()) {
      io.err << "navkeypad: finishing " << firmware::KeypadName(*upgrade.record())
             << "'s upgrade.\n";
    }
    for (const std::string& notice : upgrade.notices()) io.err << "navkeypad: " << notice << "\n";
  }

  const std::string kept =
      upgrade.record() ? "; its settings are kept in " + recordFile : std::string();
  const bool written = upgrade.download(
      {}, [&io](int percent, const std::string& text) { Progress(io, percent, text); },
      firmware::RamLoaderWait::kUntilBack);
  BSL_close_BSL();
  if (!written && BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) == 0) {
    // Pulled off the bus before the verification: it may start the new firmware, or wait in
    // its loader once plugged in again; only the next look can tell.
    return session.fail(
        kKeypadFailed,
        "the keypad left the bus before its new firmware was verified" + kept +
            ". Plug it in again: if it waits in its loader, run: " + ResumeCommand(io, path) +
            "; if it starts, run '" + io.program + " list' to see its firmware.");
  }
  if (!written) {
    return session.fail(kKeypadFailed,
                        "the firmware was not written and the keypad waits in its loader" + kept +
                            ". To try again, run: " + ResumeCommand(io, path));
  }
  const UpgradeOutcome restored =
      upgrade.restore(10, firmware::UpgradeOperation::ReturnWait::kAsSoonAsBack);
  if (!restored.ok()) {
    // Back in its application, the keypad may have lost its serial number: name its record.
    const std::optional<std::string> resumeWith =
        upgrade.record() ? std::optional(upgrade.record()->serial()) : std::nullopt;
    const bool again = restored.kind != UpgradeOutcome::kRecordNotDropped;
    return session.fail(kKeypadFailed,
                        restored.message + (again ? " Plug in only that keypad, then run: " +
                                                        ResumeCommand(io, path, resumeWith)
                                                  : std::string()));
  }
  const auto after = session.readStatus();
  if (!after) {
    return session.fail(kKeypadFailed,
                        "the firmware was written, but the keypad did not answer its status "
                        "request afterwards; plug it in again and run '" +
                            io.program + " list'.");
  }
  // The file's own version is known only now, from the keypad that runs it: one the batch or
  // the station did not ask for is not a success, and running the same file again would not help.
  if (const auto& expected = session.options().expectVersion;
      expected && after->firmwareVersion != *expected) {
    logAtEnd.step = "version";
    session.noteAfter(*after);
    return session.fail(
        kKeypadFailed,
        "it reports firmware " + after->firmwareVersion + ", not " + *expected + ": " +
            support::Utf8FromPath(support::PathFromUtf8(path).filename()) + " holds version " +
            after->firmwareVersion +
            (upgrade.record() ? " (its serial number and settings were restored)" : "") +
            ". Check the file, or give --expect-version the version it holds.");
  }
  io.out << "Firmware " << after->firmwareVersion << " installed; "
         << (upgrade.record() ? "serial number and settings restored.\n"
                              : "no serial number or settings were restored.\n");
  return kDone;
}

}  // namespace navkeypad::cli
