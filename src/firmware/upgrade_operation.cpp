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

UpgradeOperation::UpgradeOperation(store::Store& store, std::string configFile)
    : store_(store), configFile_(std::move(configFile)) {}

UpgradeOutcome UpgradeOperation::checkSetting() {
  if (!TakeUpgradeLock(upgradeLock_)) {
    const std::string denial = LockDenial();
    const std::string holder = LockHolderNamed();
    return fail(UpgradeOutcome::kInUse,
                (denial.empty() ? "Another program" + (holder.empty() ? "" : " (" + holder + ")") +
                                      " is upgrading a keypad's firmware; start this upgrade "
                                      "when it has finished."
                                : "The upgrade's lock cannot be taken (" + denial + "). " +
                                      LockRightsAdvice() + ".") +
                    " Nothing was sent to the keypad.");
  }
  const LoaderTextsFound found = FindLoaderTexts(configFile_);
  if (!found.texts) return fail(UpgradeOutcome::kRefused, found.problem);
  if (const store::StoreError problem = store_.writable()) {
    return fail(UpgradeOutcome::kRefused,
                "The keypad's settings cannot be kept during the upgrade: " + problem.message +
                    ". Nothing was sent to the keypad.");
  }
  if (const store::StoreError unread = store_.records(records_)) {
    return fail(UpgradeOutcome::kRefused, unread.message + ". Nothing was sent to the keypad.");
  }
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

UpgradeOutcome UpgradeOperation::checkLoaders(bool keypadInApplication,
                                              const std::string& port) const {
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  // Where this keypad's place and every loader's are known, a loader elsewhere is no concern
  // of this upgrade: it is opened only where its keypad is.
  const bool placesKnown =
      !port.empty() && std::none_of(loaders.begin(), loaders.end(),
                                    [](const LoaderOnBus& loader) { return loader.port.empty(); });
  if (placesKnown) {
    const auto here = std::count_if(loaders.begin(), loaders.end(),
                                    [&](const LoaderOnBus& loader) { return loader.port == port; });
    if (keypadInApplication ? here == 0 : here == 1) return {};
    return fail(UpgradeOutcome::kRefused, "Two devices answer at " + port +
                                              ", where the keypad is plugged in. Unplug the "
                                              "others there. Nothing was sent.");
  }
  if (keypadInApplication && !loaders.empty()) {
    return fail(UpgradeOutcome::kLoaderBeside,
                "A keypad is already waiting in its firmware loader, and beside it the keypad to "
                "upgrade could not be told apart from it. Finish its upgrade first, or unplug it. "
                "Nothing was sent.");
  }
  if (loaders.size() > 1) {
    return fail(UpgradeOutcome::kRefused,
                std::to_string(loaders.size()) +
                    " keypads are waiting in their firmware loaders; leave only one plugged in. "
                    "Nothing was sent.");
  }
  return {};
}

UpgradeOutcome UpgradeOperation::awaitLoader(const UpgradeOutcome& left) {
  const support::SignalHold::OffThisThread off;
  if (left.ok() || left.kind == UpgradeOutcome::kEnterUnanswered) {
    if (platform::WaitFor([&] { return loaderBack(); }, kLoaderReturnSeconds)) return {};
  }
  if (left.kind == UpgradeOutcome::kEnterUnanswered) return ended(left);
  if (!left.ok()) return left;
  return ended(
      fail(UpgradeOutcome::kEnterUnanswered, "The keypad's loader did not appear" +
                                                 (port_.empty() ? std::string() : " at " + port_) +
                                                 "; its settings are kept in " + recordFile() +
                                                 ". Unplug the keypad and plug it in again."));
}

bool UpgradeOperation::loaderBack() const {
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  return std::any_of(loaders.begin(), loaders.end(), [&](const LoaderOnBus& loader) {
    return port_.empty() || loader.port == port_;
  });
}

bool UpgradeOperation::updateRecords(
    const std::function<void(std::vector<PendingUpgrade>&)>& change) {
  const store::StoreError error = store_.changeRecords(change, &records_);
  recordProblem_ = error.message;
  recordQueued_ = error.kind == store::StoreError::kQueued;
  return !error;
}

bool UpgradeOperation::storeRecord(const std::optional<PendingUpgrade>& previous) {
  return updateRecords([&](std::vector<PendingUpgrade>& records) {
    const auto kept =
        previous
            ? std::find_if(records.begin(), records.end(),
                           [&](const PendingUpgrade& record) { return record.sameKeep(*previous); })
            : records.end();
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
    std::erase_if(records, [&](const PendingUpgrade& record) { return record.sameKeep(*record_); });
  });
}

UpgradeOutcome UpgradeOperation::ended(UpgradeOutcome outcome) {
  end();
  return outcome;
}

void UpgradeOperation::end() {
  EndAwaitingReturnedKeypad(returnLock_);
  upgradeLock_.release();
  signalHold_.reset();
}

void UpgradeOperation::holdSignals() {
  if (!signalHold_) {
    signalHold_ = std::make_unique<support::SignalHold>(kFinishedFirst);
  }
}

std::string UpgradeOperation::sameSerialProblem(const KeypadInApplication& keypad,
                                                const PendingUpgrade* owed) const {
  const std::string serial = keypad.settings.serialNumber.value_or("");
  const std::string name = support::Utf8FromLocal8Bit(serial);
  const std::string sameSerial =
      " has the serial number " + name +
      " too, so the upgraded keypad could not be told from it when it comes back" +
      (owed ? ", nor could the settings kept for " + name + " in " + recordFile() +
                  " be given to the right one"
            : std::string()) +
      ". Give one of them a number of its own (navkeypad serial set NUMBER --force), or unplug "
      "the other and upgrade this one alone. Nothing was sent.";
  // A keypad waiting in its loader is who the record kept where it waits says it is.
  if (!serial.empty()) {
    for (const LoaderOnBus& loader : BSL_USBDevices(kLoaderVendorId, kLoaderProductId)) {
      for (const PendingUpgrade& record : records_) {
        if (RecordFitsLoaderAt(record, loader.port) && record.serial() == serial)
          return "The keypad waiting in its firmware loader at " + loader.port + sameSerial;
      }
    }
  }
  for (const KeypadOnBus& other : ListKeypads()) {
    if (other.path == keypad.path) continue;
    // Where both places are known, the keypad that comes back is told by its own.
    const bool toldByPlace = !port_.empty() && !other.port.empty() && other.port != port_;
    if (serial.empty() && (!owed || toldByPlace)) continue;
    const AskedKeypad asked = KeypadStatusAt(other.path);
    if (asked.kind != AskedKeypad::kAnswered) {
      // A keypad that cannot be asked may be the one that could not be told from this one.
      return "The keypad at " + (other.port.empty() ? other.path : other.port) +
             " cannot be asked who it is (" + UnaskedReason(other, asked) +
             "), so whether it has the serial number " + (serial.empty() ? "none" : name) +
             " too is not known. Close the program that holds it, or unplug it, then try "
             "again. Nothing was sent.";
    }
    const std::string& theirs = asked.status.serialNumber;
    if (!serial.empty() && theirs == serial)
      return "Another attached keypad (" + other.path + ")" + sameSerial;
    if (owed && theirs.empty()) {
      return "The settings kept for " + KeypadName(*owed) + " in " + recordFile() +
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
  const auto keypads = ListKeypads();
  const auto onBus = std::find_if(keypads.begin(), keypads.end(), [&](const KeypadOnBus& other) {
    return other.path == keypad.path;
  });
  port_ = onBus != keypads.end() ? onBus->port : std::string();
  if (UpgradeOutcome loaders = checkLoaders(true, port_); !loaders.ok()) return ended(loaders);
  PendingUpgrade current;
  current.settings = keypad.settings;
  current.keypadPath = keypad.path;
  current.firmwareVersion = keypad.firmwareVersion;
  current.port = port_;
  current.usbSerial = onBus != keypads.end() ? onBus->usbSerial : std::string();
  current.keptAt = KeptAtNow();
  const std::string serial = current.serial();
  if (const store::StoreError unread = store_.records(records_)) {
    return ended(
        fail(UpgradeOutcome::kRefused, unread.message + ". Nothing was sent to the keypad."));
  }
  if (!serial.empty() && !HasRecordOf(records_, serial)) {
    if (UpgradeOutcome elsewhere = recordFromOtherBench(current, ask, keypad.path); !elsewhere.ok())
      return ended(elsewhere);
  }
  // Its own record is the one that fits it where it is; where several do, or none does and the
  // user named its place, only the user can tell (a keypad reporting a number is given only a
  // record of that number).
  const KeypadSeen seen{keypad.path, current.port, current.usbSerial, serial,
                        StartsFresh(keypad.settings.keypadType, keypad.settings.ledBrightness)};
  const auto fitting = std::count_if(records_.begin(), records_.end(), [&](const auto& record) {
    return RecordFitsKeypad(record, seen);
  });
  auto own = std::find_if(records_.begin(), records_.end(), [&](const PendingUpgrade& record) {
    if (fitting == 1) return RecordFitsKeypad(record, seen);
    const bool candidate = fitting > 1
                               ? RecordFitsKeypad(record, seen)
                               : placeNamed_ && (serial.empty() || record.serial() == serial);
    return candidate && ask && ask(record);
  });
  // A keypad that still holds its serial number and never had new firmware written holds its
  // settings too: what it has now counts, not what an earlier attempt kept.
  const bool keepsEarlierRecord = own != records_.end() && (own->downloaded || serial.empty());
  if (const std::string problem = sameSerialProblem(keypad, keepsEarlierRecord ? &*own : nullptr);
      !problem.empty()) {
    return ended(fail(UpgradeOutcome::kRefused, problem));
  }
  if (own == records_.end()) {
    for (const PendingUpgrade& record : records_) {
      if (!SameSerialElsewhere(record, seen)) continue;
      return ended(UpgradeOutcome{
          UpgradeOutcome::kSameSerialElsewhere,
          "The settings of " + KeypadName(record) + " are kept for the keypad that left its " +
              "application at " + record.port + "; " + KeypadAt(serial, current.port, keypad.path) +
              " reports that number too, so it is another keypad with the same number, or that "
              "keypad moved, which only you can tell. Nothing was sent.",
          {record}});
    }
  }
  std::optional<PendingUpgrade> previous;
  if (own != records_.end()) previous = *own;
  record_ = keepsEarlierRecord ? *own : current;
  record_->keypadPath = keypad.path;
  record_->downloaded = false;
  // It leaves from here, whatever an earlier attempt kept: it is looked for here.
  record_->port = current.port;
  record_->usbSerial = current.usbSerial;
  if (record_->keptAt.empty()) record_->keptAt = current.keptAt;
  chosen_ = true;
  if (!storeRecord(previous)) {
    record_.reset();
    return ended(fail(UpgradeOutcome::kRefused, "The keypad's settings cannot be kept in " +
                                                    recordFile() + " (" + recordProblem_ +
                                                    "), so the firmware upgrade does not start."));
  }
  for (const PendingUpgrade& other : records_) {
    if (other.sameKeep(*record_)) continue;
    notices_.push_back("The settings kept for " + KeypadName(other) + " stay in " + recordFile() +
                       "; this keypad is upgraded with its own.");
  }
  holdSignals();
  const support::SignalHold::OffThisThread off;
  if (SendKeypadCommand(CMD_ENTER_FIRMWARE_UPGRADE) != kExchangeOk) {
    std::vector<uint8_t> status;
    if (SendKeypadCommand(CMD_GET_STATUS, {}, &status) != kExchangeOk) {
      return ended(fail(UpgradeOutcome::kEnterUnanswered,
                        "The keypad did not confirm the switch to its firmware loader; its "
                        "settings are kept in " +
                            recordFile() + "."));
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
                              recordFile() +
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

namespace {
std::string GoneMeanwhile(const PendingUpgrade& record) {
  return "The settings of " + KeypadName(record) + " are no longer kept at " + record.port +
         ": another program finished that keypad or took them meanwhile. Nothing was sent; try "
         "again to see where they are now.";
}
}  // namespace

UpgradeOutcome UpgradeOperation::recordFromOtherBench(const PendingUpgrade& current,
                                                      const IsKeypadOf& ask,
                                                      const std::string& path) {
  std::vector<PendingUpgrade> elsewhere;
  if (const store::StoreError unread = store_.recordsElsewhere(current.serial(), elsewhere))
    return fail(UpgradeOutcome::kRefused, unread.message + ". Nothing was sent to the keypad.");
  if (elsewhere.empty()) return {};
  // Another bench's port is no place here: only the user can say it is that keypad, carried here.
  if (!placeNamed_ || !ask || !ask(current)) {
    return UpgradeOutcome{
        UpgradeOutcome::kSameSerialElsewhere,
        "The settings of " + KeypadName(elsewhere.front()) + " are kept at " +
            elsewhere.front().port + ", another bench of the site; " +
            KeypadAt(current.serial(), port_, path) +
            " reports that number too, so it is that keypad, carried here, or another keypad "
            "with the same number, which only you can tell. Nothing was sent.",
        {elsewhere.front()}};
  }
  std::vector<PendingUpgrade> taken;
  if (const store::StoreError error = store_.takeOver(current.serial(), port_, taken))
    return fail(UpgradeOutcome::kRefused, error.message + ". Nothing was sent to the keypad.");
  if (taken.empty()) return fail(UpgradeOutcome::kRefused, GoneMeanwhile(elsewhere.front()));
  if (const store::StoreError unread = store_.records(records_))
    return fail(UpgradeOutcome::kRefused, unread.message + ". Nothing was sent to the keypad.");
  return {};
}

UpgradeOutcome UpgradeOperation::recordOfCarriedKeypad(const IsKeypadOf& ask,
                                                       std::vector<PendingUpgrade>& elsewhere) {
  if (const store::StoreError unread = store_.recordsElsewhere({}, elsewhere))
    return fail(UpgradeOutcome::kRefused, unread.message + ". Nothing was sent.");
  const auto named = std::find_if(elsewhere.begin(), elsewhere.end(), [&](const auto& record) {
    return !record.serial().empty() && ask && ask(record);
  });
  if (named == elsewhere.end()) return {};
  std::vector<PendingUpgrade> taken;
  if (const store::StoreError error = store_.takeOver(named->serial(), port_, taken))
    return fail(UpgradeOutcome::kRefused, error.message + ". Nothing was sent.");
  if (const store::StoreError unread = store_.records(records_))
    return fail(UpgradeOutcome::kRefused, unread.message + ". Nothing was sent.");
  for (const PendingUpgrade& record : records_)
    if (record.serial() == named->serial() && RecordFitsLoaderAt(record, port_)) record_ = record;
  // Finished or taken by another bench while the user was asked: a loader flashed now would
  // lose the settings it was named for.
  if (taken.empty() || !record_) return fail(UpgradeOutcome::kRefused, GoneMeanwhile(*named));
  elsewhere.clear();
  return {};
}

UpgradeOutcome UpgradeOperation::takeWaitingKeypad(const IsKeypadOf& ask,
                                                   const std::string& loaderPath) {
  if (chosen_) return {};
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  const auto loader =
      loaderPath.empty() && loaders.size() == 1
          ? loaders.begin()
          : std::find_if(loaders.begin(), loaders.end(),
                         [&](const LoaderOnBus& one) { return one.path == loaderPath; });
  if (loader == loaders.end()) {
    return fail(UpgradeOutcome::kRefused,
                loaders.empty() ? "No keypad waits in its firmware loader. Nothing was sent."
                                : std::to_string(loaders.size()) +
                                      " keypads wait in their firmware loaders; name the one to "
                                      "finish. Nothing was sent.");
  }
  port_ = loader->port;
  // A record goes back only to its own keypad: one whose serial number answers in its
  // application is not in a loader.
  std::vector<std::string> answering;
  for (const KeypadOnBus& keypad : ListKeypads()) {
    const AskedKeypad asked = KeypadStatusAt(keypad.path);
    if (asked.kind == AskedKeypad::kAnswered && !asked.status.serialNumber.empty())
      answering.push_back(asked.status.serialNumber);
  }
  const auto answers = [&](const PendingUpgrade& record) {
    return !record.serial().empty() &&
           std::find(answering.begin(), answering.end(), record.serial()) != answering.end();
  };
  std::vector<const PendingUpgrade*> here;
  for (const PendingUpgrade& record : records_) {
    if (RecordFitsLoaderAt(record, port_)) here.push_back(&record);
  }
  for (const PendingUpgrade* record : here) {
    if (!answers(*record)) continue;
    return fail(UpgradeOutcome::kRefused,
                "The keypad waiting in its firmware loader at " + port_ + " is where " +
                    KeypadName(*record) + " left from, but " + KeypadName(*record) +
                    " answers in its application elsewhere: which of the two the settings kept "
                    "in " +
                    recordFile() +
                    " belong to cannot be told. Unplug the other keypad with that serial number, "
                    "then try again. Nothing was sent.");
  }
  if (here.size() == 1) {
    record_ = *here.front();
  } else {
    // Several kept here, or none here while the user named this loader: the user's word.
    for (const PendingUpgrade& record : records_) {
      // A record of an earlier version says nothing of where its keypad was: the user's word.
      const bool candidate =
          record.port.empty() ||
          (here.empty() ? !loaderPath.empty() || placeNamed_ : RecordFitsLoaderAt(record, port_));
      if (!candidate || answers(record) || !ask || !ask(record)) continue;
      record_ = record;
      break;
    }
  }
  // At a site, a loader with no record of its own may be a keypad failed at another bench and
  // carried here: its record comes here on the user's word.
  std::vector<PendingUpgrade> elsewhere;
  if (!record_) {
    if (UpgradeOutcome taken = recordOfCarriedKeypad(ask, elsewhere); !taken.ok()) return taken;
  }
  // A loader with no record of its own may be a keypad moved from where its record was kept:
  // downloaded to on the user's word only, while a record's keypad is not on the bus.
  if (!record_) {
    auto absent = RecordsOfAbsentKeypads(records_);
    if (!absent.empty()) {
      absent.insert(absent.end(), elsewhere.begin(), elsewhere.end());
      return UpgradeOutcome{
          UpgradeOutcome::kWhoseRecord,
          "The settings of " + KeypadName(absent.front()) + " are kept for the keypad that left " +
              "its application at " + absent.front().port +
              ", which is not on the bus; the keypad waiting in its firmware loader at " + port_ +
              " may be that keypad, moved, which only you can tell. Nothing was sent.",
          absent};
    }
    if (!elsewhere.empty()) {
      return UpgradeOutcome{
          UpgradeOutcome::kWhoseRecord,
          "The settings of " + KeypadName(elsewhere.front()) + " are kept at " +
              elsewhere.front().port +
              (elsewhere.size() > 1 ? ", and of " + std::to_string(elsewhere.size() - 1) +
                                          " more keypads at other benches of the site"
                                    : ", another bench of the site") +
              "; the keypad waiting in its firmware loader at " + port_ + " may be " +
              (elsewhere.size() > 1 ? "one of them" : "that keypad") +
              ", carried here, which only you can tell. Nothing was sent.",
          elsewhere};
    }
  }
  chosen_ = true;
  holdSignals();
  for (const PendingUpgrade& other : records_) {
    if (record_ && other.sameKeep(*record_)) continue;
    notices_.push_back("The settings kept for " + KeypadName(other) + " stay in " + recordFile() +
                       "; they are not given to this keypad.");
  }
  if (!record_) {
    notices_.push_back(
        "No record of this keypad's serial number and settings was kept, so the new firmware "
        "is installed and nothing is restored.");
  }
  return {};
}

bool UpgradeOperation::download(const LoaderIdentity& identity, const ProgressReport& report,
                                RamLoaderWait wait) {
  if (!checksPassed()) return false;
  step_ = "download";
  // The thread that downloads takes no signal: an interrupted read is no failed one.
  const support::SignalHold::OffThisThread off;
  // Again after a download that failed: one upgrade at a time, whichever program asks.
  if (!upgradeLock_.held() && !TakeUpgradeLock(upgradeLock_)) return false;
  otherKeypads_.clear();
  for (const KeypadOnBus& keypad : ListKeypads()) otherKeypads_.push_back(keypad.path);
  LoaderIdentity here = identity;
  here.port = port_;
  DownloadSequence sequence(here, *loader_, report, wait);
  if (!sequence.CustomSelectedFirmware(*firmware_)) {
    end();
    return false;
  }
  if (record_) {
    const PendingUpgrade previous = *record_;
    record_->downloaded = true;
    // Should this fail, the record still says the keypad holds its settings; the restore that
    // follows gives them back all the same, and the end says the file was not written.
    if (!storeRecord(previous)) {
      *record_ = previous;
      recordUnwritten_ = true;
    }
  }
  return true;
}

UpgradeOutcome UpgradeOperation::restore(int seconds, ReturnWait wait) {
  step_ = "restore";
  const support::SignalHold::OffThisThread off;
  AwaitReturnedKeypad(returnLock_);
  const bool atOnce = wait == ReturnWait::kAsSoonAsBack;
  if (!atOnce) platform::clock().sleepMs(kKeypadStartMs);
  ReturnedKeypad returned;
  platform::WaitFor(
      [&] {
        returned = FindReturnedKeypad(record_, otherKeypads_, port_);
        return returned.kind == ReturnedKeypad::kOne || returned.kind == ReturnedKeypad::kSeveral;
      },
      atOnce ? seconds + kKeypadStartMs / 1000 : seconds);
  if (returned.kind == ReturnedKeypad::kOne) returnedPath_ = returned.path;
  const std::string kept =
      record_ ? " Its serial number and settings are kept in " + recordFile() + "." : "";
  // One program restores one record: another that took the same keypad's record (a second
  // window, a station) holds it until it ends.
  if (record_) {
    if (const store::StoreError claimed = store_.claimRecord(*record_))
      return ended(
          fail(UpgradeOutcome::kBusy, "Nothing was restored: " + claimed.message + "." + kept));
  }
  const RestoreResult restored = RestoreUpgradedKeypad(record_, returned);
  if (record_ && restored.kind != RestoreResult::kRestored) store_.releaseRecord(*record_);
  switch (restored.kind) {
    case RestoreResult::kNotFound: {
      std::string strangers;
      for (const std::string& serial : returned.others) {
        strangers += (strangers.empty() ? "" : ", ") + support::Utf8FromLocal8Bit(serial);
      }
      std::string moved;
      for (const KeypadSeen& keypad : returned.elsewhere) {
        moved += " A keypad without a serial number came at " + keypad.port +
                 " and was left untouched; if it is the upgraded keypad, moved from " + port_ +
                 ", plug it back in there, or name it and its settings (--device " + keypad.path +
                 " upgrade --settings-of SERIAL).";
      }
      for (const KeypadSeen& keypad : returned.unlike) {
        moved += " A keypad without a serial number but with settings of its own came at " +
                 keypad.port +
                 " and was left untouched: new firmware starts without them, so it is not the "
                 "upgraded keypad. Unplug it, and plug the upgraded keypad in there again.";
      }
      return ended(fail(UpgradeOutcome::kNotBack,
                        "The keypad did not come back after the upgrade." +
                            (strangers.empty() ? std::string()
                                               : " A keypad with another serial number (" +
                                                     strangers + ") came and was left untouched.") +
                            moved + kept));
    }
    case RestoreResult::kBusy:
      return ended(fail(UpgradeOutcome::kBusy,
                        "The keypad came back, but another program holds it, so nothing was "
                        "restored; close that program." +
                            kept));
    case RestoreResult::kAmbiguous:
      return ended(fail(UpgradeOutcome::kAmbiguous, AmbiguousRestoreMessage(recordFile())));
    case RestoreResult::kStepFailed:
      return ended(fail(UpgradeOutcome::kRestoreStepFailed, restored.failureMessage));
    case RestoreResult::kRestored:
      break;
  }
  if (!dropRecord()) {
    // Not done until the site's server has let go of the record too; nothing more is asked of
    // anyone, since the removal is sent by whichever program reaches the server next.
    if (recordQueued_) {
      return ended(fail(UpgradeOutcome::kRecordNotDropped,
                        "The serial number and settings were restored, but " + recordProblem_ +
                            "; the keypad needs nothing more."));
    }
    return ended(fail(UpgradeOutcome::kRecordNotDropped,
                      "The serial number and settings were restored, but their record in " +
                          recordFile() + " could not be removed (" + recordProblem_ +
                          "); upgrade the keypad again once the store can be written."));
  }
  if (recordUnwritten_) {
    return ended(fail(UpgradeOutcome::kRecordNotDropped,
                      "The serial number and settings were restored, but " + recordFile() +
                          " could not be written during the upgrade (" + recordProblem_ +
                          "); check that it can be written before the next upgrade."));
  }
  return ended({});
}

}  // namespace navkeypad::firmware
