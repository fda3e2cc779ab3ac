#include "firmware/upgrade_operation.h"

#include <algorithm>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "device/keypad_commands.h"
#include "platform/clock.h"
#include "support/paths.h"

namespace navkeypad::firmware {

namespace {
UpgradeOutcome fail(UpgradeOutcome::Kind kind, std::string message) {
  return {kind, std::move(message)};
}
}  // namespace

KeypadInApplication KeypadInApplication::FromStatus(const std::string& path,
                                                    const DeviceStatus& status) {
  KeypadInApplication keypad;
  keypad.path = path;
  keypad.firmwareVersion = status.firmwareVersion;
  keypad.settings.serialNumber = status.serialNumber;
  keypad.settings.keypadType = status.keypadType;
  keypad.settings.ledBrightness = status.ledBrightness;
  std::copy(status.codeTable.bytes.begin(), status.codeTable.bytes.end(),
            keypad.settings.keyCodes.begin());
  return keypad;
}

UpgradeOperation::UpgradeOperation(std::string configFile) : configFile_(std::move(configFile)) {}

UpgradeOutcome UpgradeOperation::checkSetting() {
  if (!TakeUpgradeLock(upgradeLock_)) {
    const std::string denial = LockDenial();
    return fail(UpgradeOutcome::kInUse,
                (denial.empty() ? "Another program is upgrading a keypad's firmware; start this "
                                  "upgrade when it has finished."
                                : "The upgrade's lock cannot be taken (" + denial + "). " +
                                      LockRightsAdvice() + ".") +
                    " Nothing was sent to the keypad.");
  }
  const LoaderTextsFound found = FindLoaderTexts(configFile_);
  if (!found.texts) return fail(UpgradeOutcome::kRefused, found.problem);
  recordFile_ = PendingUpgradeFile(configFile_);
  if (const std::string problem = PendingUpgradeFileProblem(recordFile_); !problem.empty()) {
    return fail(UpgradeOutcome::kRefused,
                "The keypad's settings cannot be kept during the upgrade: " + problem +
                    ". Nothing was sent to the keypad.");
  }
  PendingUpgradeRead read = ReadPendingUpgrades(recordFile_);
  if (!read.problem.empty()) {
    return fail(UpgradeOutcome::kRefused, read.problem + " Nothing was sent to the keypad.");
  }
  records_ = std::move(read.records);
  loader_ = found.texts;
  return {};
}

UpgradeOutcome UpgradeOperation::checkFirmware(const std::string& path) {
  FirmwareRead read = ReadFirmwareFile(path);
  if (!read.firmware) {
    return fail(UpgradeOutcome::kRefused, FirmwareFileRefusal(path, read.problem) + ".");
  }
  firmware_ = std::move(read.firmware);
  return {};
}

UpgradeOutcome UpgradeOperation::checkLoaders(bool keypadInApplication) const {
  const uint32_t loaders = BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId);
  if (keypadInApplication && loaders > 0) {
    return fail(UpgradeOutcome::kRefused,
                "A keypad is already waiting in its firmware loader, and beside it the keypad to "
                "upgrade could not be told apart from it. Finish its upgrade first, or unplug it. "
                "Nothing was sent.");
  }
  if (loaders > 1) {
    return fail(UpgradeOutcome::kRefused,
                std::to_string(loaders) +
                    " keypads are waiting in their firmware loaders; leave only one plugged in. "
                    "Nothing was sent.");
  }
  return {};
}

bool UpgradeOperation::updateRecords(
    const std::function<void(std::vector<PendingUpgrade>&)>& change) {
  return UpdatePendingUpgrades(recordFile_, change, &records_).empty();
}

bool UpgradeOperation::storeRecord(const std::optional<PendingUpgrade>& previous) {
  return updateRecords([&](std::vector<PendingUpgrade>& records) {
    const auto kept =
        previous ? std::find(records.begin(), records.end(), *previous) : records.end();
    if (kept != records.end()) {
      *kept = *record_;
    } else {
      records.push_back(*record_);
    }
  });
}

bool UpgradeOperation::dropRecord() {
  if (!record_) return true;
  return updateRecords([&](std::vector<PendingUpgrade>& records) {
    const auto kept = std::find(records.begin(), records.end(), *record_);
    if (kept != records.end()) records.erase(kept);
  });
}

UpgradeOutcome UpgradeOperation::ended(UpgradeOutcome outcome) {
  end();
  return outcome;
}

void UpgradeOperation::end() {
  EndAwaitingReturnedKeypad(returnLock_);
  upgradeLock_.release();
}

std::string UpgradeOperation::sameSerialProblem(const KeypadInApplication& keypad,
                                                const PendingUpgrade* owed) const {
  const std::string serial = keypad.settings.serialNumber.value_or("");
  const std::string name = support::Utf8FromLocal8Bit(serial);
  for (const KeypadOnBus& other : ListKeypads()) {
    if (other.path == keypad.path) continue;
    const AskedKeypad asked = KeypadStatusAt(other.path);
    if (asked.kind != AskedKeypad::kAnswered) continue;
    const std::string& theirs = asked.status.serialNumber;
    if (!serial.empty() && theirs == serial) {
      return "Another attached keypad (" + other.path + ") has the serial number " + name +
             " too, so the upgraded keypad could not be told from it when it comes back" +
             (owed ? ", nor could the settings kept for " + name + " in " + recordFile_ +
                         " be given to the right one"
                   : std::string()) +
             ". Give one of them a number of its own (navkeypad serial set NUMBER --force), or "
             "unplug the other and upgrade this one alone. Nothing was sent.";
    }
    if (owed && theirs.empty()) {
      return "The settings kept for " + KeypadName(*owed) + " in " + recordFile_ +
             " are owed to a keypad whose new firmware has no serial number yet, and another "
             "attached keypad (" +
             other.path +
             ") has none: which of the two they belong to cannot be told. Unplug the other, "
             "then upgrade this one again. Nothing was sent.";
    }
  }
  return {};
}

UpgradeOutcome UpgradeOperation::leaveApplication(const KeypadInApplication& keypad,
                                                  const IsKeypadOf& ask) {
  // Nothing sends a keypad into its loader before everything it needs to come back is at
  // hand; the loaders are counted again, right before the switch.
  if (!checksPassed()) {
    return ended(
        fail(UpgradeOutcome::kRefused, "The upgrade's checks have not passed; nothing was sent."));
  }
  step_ = "switch to the loader";
  if (UpgradeOutcome loaders = checkLoaders(true); !loaders.ok()) return ended(loaders);
  PendingUpgrade current;
  current.settings = keypad.settings;
  current.keypadPath = keypad.path;
  current.firmwareVersion = keypad.firmwareVersion;
  const std::string serial = current.serial();
  PendingUpgradeRead read = ReadPendingUpgrades(recordFile_);
  if (!read.problem.empty()) {
    return ended(fail(UpgradeOutcome::kRefused, read.problem + " Nothing was sent to the keypad."));
  }
  records_ = std::move(read.records);
  auto own = records_.end();
  if (!serial.empty()) {
    own = std::find_if(records_.begin(), records_.end(),
                       [&](const PendingUpgrade& record) { return record.serial() == serial; });
  } else {
    // A keypad without a serial number may be one whose flash was written and whose restore
    // did not finish, or any other: only the user can tell.
    own = std::find_if(records_.begin(), records_.end(),
                       [&](const PendingUpgrade& record) { return ask && ask(record); });
  }
  // A keypad that still holds its serial number and never had new firmware written holds its
  // settings too: what it has now counts, not what an earlier attempt kept.
  const bool keepsEarlierRecord = own != records_.end() && (own->downloaded || serial.empty());
  if (const std::string problem = sameSerialProblem(keypad, keepsEarlierRecord ? &*own : nullptr);
      !problem.empty()) {
    return ended(fail(UpgradeOutcome::kRefused, problem));
  }
  std::optional<PendingUpgrade> previous;
  if (own != records_.end()) previous = *own;
  record_ = keepsEarlierRecord ? *own : current;
  record_->keypadPath = keypad.path;
  record_->downloaded = false;
  chosen_ = true;
  if (!storeRecord(previous)) {
    record_.reset();
    return ended(fail(UpgradeOutcome::kRefused, "The keypad's settings cannot be kept in " +
                                                    recordFile_ +
                                                    ", so the firmware upgrade does not start."));
  }
  for (const PendingUpgrade& other : records_) {
    if (other == *record_) continue;
    notices_.push_back("The settings kept for " + KeypadName(other) + " stay in " + recordFile_ +
                       "; this keypad is upgraded with its own.");
  }
  if (SendKeypadCommand(CMD_ENTER_FIRMWARE_UPGRADE) != kExchangeOk) {
    std::vector<uint8_t> status;
    if (SendKeypadCommand(CMD_GET_STATUS, {}, &status) != kExchangeOk) {
      return ended(fail(UpgradeOutcome::kEnterUnanswered,
                        "The keypad did not confirm the switch to its firmware loader; its "
                        "settings are kept in " +
                            recordFile_ + "."));
    }
    // Still in its application with everything it had: a record left now would later be
    // given back over settings changed since.
    if (!keepsEarlierRecord) {
      const bool dropped = dropRecord();
      record_.reset();
      if (!dropped) {
        return ended(fail(UpgradeOutcome::kRecordNotDropped,
                          "The keypad refused to enter its firmware loader and keeps its "
                          "firmware, but " +
                              recordFile_ +
                              " could not be removed; remove it before the next upgrade."));
      }
    }
    return ended(fail(UpgradeOutcome::kEnterRefused,
                      "The keypad refused to enter its firmware loader; it keeps its firmware "
                      "and settings."));
  }
  CloseSharedKeypad();
  return {};
}

void UpgradeOperation::takeWaitingKeypad(const IsKeypadOf& ask) {
  if (chosen_) return;
  chosen_ = true;
  if (records_.size() == 1) {
    record_ = records_.front();
  } else {
    for (const PendingUpgrade& record : records_) {
      if (ask && ask(record)) {
        record_ = record;
        break;
      }
    }
  }
  for (const PendingUpgrade& other : records_) {
    if (record_ && other == *record_) continue;
    notices_.push_back("The settings kept for " + KeypadName(other) + " stay in " + recordFile_ +
                       "; they are not given to this keypad.");
  }
  if (!record_) {
    notices_.push_back(
        "No record of this keypad's serial number and settings was kept, so the new firmware "
        "is installed and nothing is restored.");
  }
}

bool UpgradeOperation::download(const LoaderIdentity& identity, const ProgressReport& report) {
  if (!checksPassed()) return false;
  step_ = "download";
  // Again after a download that failed: one upgrade at a time, whichever program asks.
  if (!upgradeLock_.held() && !TakeUpgradeLock(upgradeLock_)) return false;
  otherKeypads_.clear();
  for (const KeypadOnBus& keypad : ListKeypads()) otherKeypads_.push_back(keypad.path);
  DownloadSequence sequence(identity, *loader_, report);
  if (!sequence.CustomSelectedFirmware(*firmware_)) {
    end();
    return false;
  }
  if (record_) {
    const PendingUpgrade previous = *record_;
    record_->downloaded = true;
    // Should this fail, the record still says the keypad holds its settings; the restore
    // that follows gives them back all the same.
    storeRecord(previous);
  }
  return true;
}

UpgradeOutcome UpgradeOperation::restore(int seconds, ReturnWait wait) {
  step_ = "restore";
  AwaitReturnedKeypad(returnLock_);
  const bool atOnce = wait == ReturnWait::kAsSoonAsBack;
  if (!atOnce) platform::clock().sleepMs(kKeypadStartMs);
  ReturnedKeypad returned;
  platform::WaitFor(
      [&] {
        returned = FindReturnedKeypad(record_, otherKeypads_);
        return returned.kind == ReturnedKeypad::kOne || returned.kind == ReturnedKeypad::kSeveral;
      },
      atOnce ? seconds + kKeypadStartMs / 1000 : seconds);
  if (returned.kind == ReturnedKeypad::kOne) returnedPath_ = returned.path;
  const RestoreResult restored = RestoreUpgradedKeypad(record_, returned);
  const std::string kept =
      record_ ? " Its serial number and settings are kept in " + recordFile_ + "." : "";
  switch (restored.kind) {
    case RestoreResult::kNotFound: {
      std::string strangers;
      for (const std::string& serial : returned.others) {
        strangers += (strangers.empty() ? "" : ", ") + support::Utf8FromLocal8Bit(serial);
      }
      return ended(fail(UpgradeOutcome::kNotBack,
                        "The keypad did not come back after the upgrade." +
                            (strangers.empty() ? std::string()
                                               : " A keypad with another serial number (" +
                                                     strangers + ") came and was left untouched.") +
                            kept));
    }
    case RestoreResult::kBusy:
      return ended(fail(UpgradeOutcome::kBusy,
                        "The keypad came back, but another program holds it, so nothing was "
                        "restored; close that program." +
                            kept));
    case RestoreResult::kAmbiguous:
      return ended(fail(UpgradeOutcome::kAmbiguous, AmbiguousRestoreMessage(recordFile_)));
    case RestoreResult::kStepFailed:
      return ended(fail(UpgradeOutcome::kRestoreStepFailed, restored.failureMessage));
    case RestoreResult::kRestored:
      break;
  }
  if (!dropRecord()) {
    return ended(fail(UpgradeOutcome::kRecordNotDropped,
                      "The serial number and settings were restored, but " + recordFile_ +
                          " could not be removed; remove it before the next upgrade."));
  }
  return ended({});
}

}  // namespace navkeypad::firmware
