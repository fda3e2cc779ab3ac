#include <algorithm>
#include <filesystem>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "firmware/download_sequence.h"
#include "firmware/loader_texts.h"
#include "firmware/pending_upgrade.h"
#include "names.h"
#include "session.h"
#include "support/paths.h"

namespace navkeypad::cli {

namespace {

// The command that picks up an upgrade where it stopped.
std::string ResumeCommand(const Io& io, const std::string& firmware) {
  std::error_code ignored;
  return io.program + " upgrade " +
         ShellQuoted(support::Utf8FromPath(
             std::filesystem::absolute(support::PathFromUtf8(firmware), ignored)));
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
}  // namespace

int Upgrade(Session& session) {
  Io& io = session.io();
  const auto& positional = session.positional();
  if (positional.size() != 2)
    return session.fail(kBadInput, "usage: navkeypad upgrade FIRMWARE.txt");
  const std::string path = positional[1];
  // Everything the upgrade needs is at hand and checked before any keypad is looked for.
  const std::string configFile = DefaultConfigFile();
  const auto loader = firmware::FindLoaderTexts(configFile);
  if (!loader.texts) return session.fail(kBadInput, loader.problem);
  if (const std::string problem = firmware::FirmwareFileProblem(path); !problem.empty()) {
    return session.fail(kBadInput, firmware::FirmwareFileRefusal(path, problem) + ".");
  }
  firmware::UseLoaderTexts(*loader.texts);
  const std::string recordFile = firmware::PendingUpgradeFile(configFile);
  if (recordFile.empty()) {
    return session.fail(
        kBadInput,
        "there is no data folder to keep the keypad's settings in during the upgrade "
        "(set HOME or XDG_DATA_HOME); nothing was sent to the keypad.");
  }
  const auto pending = firmware::ReadPendingUpgrade(recordFile);
  if (!pending.problem.empty()) {
    return session.fail(kBadInput, pending.problem + " Nothing was sent to the keypad.");
  }

  const auto keypads = ListKeypads();
  const uint32_t loaders = BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId);
  std::optional<firmware::PendingUpgrade> record;
  if (!keypads.empty() || session.device()) {
    // The loader is addressed by its place on the bus: beside another waiting loader there
    // is no telling which one is this keypad.
    if (loaders > 0) {
      return session.fail(kKeypadFailed,
                          "a keypad is already waiting in its loader; with two loaders there is no "
                          "telling which is which. Finish that upgrade first (plug in only that "
                          "keypad and run '" +
                              ResumeCommand(io, path) + "'), or unplug it. Nothing was sent.");
    }
    if (const int status = session.connect(); status != kDone) return status;
    const auto status = session.readStatus();
    if (!status) return session.statusFailed();
    firmware::PendingUpgrade current;
    current.settings.serialNumber = status->serialNumber;
    current.settings.keypadType = status->keypadType;
    current.settings.ledBrightness = status->ledBrightness;
    std::copy(status->codeTable.bytes.begin(), status->codeTable.bytes.end(),
              current.settings.keyCodes.begin());
    current.keypadPath = session.path();
    current.firmwareVersion = status->firmwareVersion;
    for (const auto& keypad : keypads) {
      if (keypad.path != session.path()) current.otherKeypads.push_back(keypad.path);
    }
    const auto handOver = firmware::DecideHandOver(pending.record, current);
    if (handOver.kind == firmware::HandOver::kConflict) {
      return session.fail(kKeypadFailed,
                          "the upgrade of keypad " +
                              handOver.record.settings.serialNumber.value_or("(no serial number)") +
                              " has not finished; its settings are kept in " + recordFile +
                              ". Finish it first: plug in only that keypad and run '" +
                              ResumeCommand(io, path) + "'. Nothing was sent.");
    }
    record = handOver.record;
    if (!firmware::WritePendingUpgrade(recordFile, *record)) {
      return session.fail(kBadInput,
                          "cannot write " + recordFile +
                              ", where the keypad's settings are kept during the upgrade; "
                              "nothing was sent to the keypad.");
    }
    if (session.send(CMD_ENTER_FIRMWARE_UPGRADE, {}, "the switch to its loader") != kDone) {
      io.err << "navkeypad: its settings are kept in " << recordFile
             << "; to retry, run: " << ResumeCommand(io, path) << "\n";
      return kKeypadFailed;
    }
    session.disconnect();
    if (!WaitFor([] { return BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 0; }, 10)) {
      return session.fail(
          kKeypadFailed,
          "the keypad's loader did not appear; its settings are kept in " + recordFile +
              ". Unplug the keypad, plug it in again, then run: " + ResumeCommand(io, path));
    }
    if (BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 1) {
      return session.fail(
          kKeypadFailed,
          "more than one keypad is waiting in its loader; its settings are kept in " + recordFile +
              ". Unplug all but this one, then run: " + ResumeCommand(io, path));
    }
  } else {
    // No keypad in its application: finish the upgrade of one waiting in its loader.
    if (loaders == 0)
      return session.fail(kNoKeypad, "no navigation keypad found. Plug it in and try again.");
    if (loaders > 1) {
      return session.fail(kKeypadFailed,
                          std::to_string(loaders) +
                              " keypads are waiting in their loaders; unplug all but "
                              "one and run the upgrade again.");
    }
    record = pending.record;
    if (record) {
      record->otherKeypads.clear();
      if (!firmware::WritePendingUpgrade(recordFile, *record)) {
        return session.fail(kBadInput, "cannot write " + recordFile + "; nothing was sent.");
      }
      io.err << "navkeypad: finishing the upgrade of keypad "
             << record->settings.serialNumber.value_or("(no serial number)") << ".\n";
    } else {
      io.err << "navkeypad: a keypad waits in its loader, and no record of its settings was "
                "found: it is upgraded, but its serial number and settings cannot be "
                "restored.\n";
    }
  }

  firmware::DownloadSequence sequence(
      {}, [&io](int percent, const std::string& text) { Progress(io, percent, text); });
  const bool written = sequence.CustomSelectedFirmware(path);
  BSL_close_BSL();
  const std::string kept = record ? "; its settings are kept in " + recordFile : std::string();
  if (!written) {
    return session.fail(kKeypadFailed,
                        "the firmware was not written and the keypad waits in its loader" + kept +
                            ". To try again, run: " + ResumeCommand(io, path));
  }
  platform::clock().sleepMs(firmware::kKeypadStartMs);
  const std::vector<std::string> others =
      record ? record->otherKeypads : std::vector<std::string>{};
  WaitFor(
      [&] { return firmware::FindReturnedKeypad(others).kind != firmware::ReturnedKeypad::kNone; },
      10);
  if (!record) {
    io.out << "Firmware installed; no serial number or settings were restored.\n";
    return kDone;
  }
  const auto restored = firmware::RestoreUpgradedKeypad(record->settings, others);
  switch (restored.kind) {
    case firmware::RestoreResult::kNotFound:
      return session.fail(kKeypadFailed,
                          "the keypad did not come back after the upgrade" + kept +
                              ". Plug it in again, then run: " + ResumeCommand(io, path));
    case firmware::RestoreResult::kAmbiguous:
      return session.fail(kKeypadFailed, firmware::AmbiguousRestoreMessage(recordFile) +
                                             " Then run: " + ResumeCommand(io, path));
    case firmware::RestoreResult::kStepFailed:
      return session.fail(kKeypadFailed, restored.failureMessage + " The settings are kept in " +
                                             recordFile +
                                             "; to finish, run: " + ResumeCommand(io, path));
    case firmware::RestoreResult::kRestored:
      break;
  }
  firmware::RemovePendingUpgrade(recordFile);
  const auto after = session.readStatus();
  io.out << "Firmware " << (after ? after->firmwareVersion : std::string("?"))
         << " installed; serial number and settings restored.\n";
  return kDone;
}

}  // namespace navkeypad::cli
