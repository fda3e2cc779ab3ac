#include "firmware/pending_upgrade.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "device/keypad_commands.h"
#include "settings/keypad_settings_file.h"
#include "support/atomic_file.h"
#include "support/hex.h"
#include "support/paths.h"
#include "support/program_lock.h"

namespace navkeypad::firmware {

namespace fs = std::filesystem;
using nlohmann::json;

std::string KeypadName(const PendingUpgrade& record) {
  return record.serial().empty() ? "a keypad without a serial number"
                                 : "keypad " + support::Utf8FromLocal8Bit(record.serial());
}

DeviceStatus StatusBefore(const PendingUpgrade& record) {
  DeviceStatus status;
  status.serialNumber = record.serial();
  status.firmwareVersion = record.firmwareVersion;
  status.keypadType = static_cast<uint8_t>(record.settings.keypadType);
  status.ledBrightness = static_cast<uint8_t>(record.settings.ledBrightness);
  std::copy(record.settings.keyCodes.begin(), record.settings.keyCodes.end(),
            status.codeTable.bytes.begin());
  return status;
}

namespace {
// A USB serial string another than the record's tells another keypad; none at all tells nothing
// (new firmware may set its string only once its serial number is back).
bool UsbSerialFits(const PendingUpgrade& record, const std::string& usbSerial) {
  return record.usbSerial.empty() || usbSerial.empty() || usbSerial == record.usbSerial;
}
}  // namespace

bool StartsFresh(int keypadType, int ledBrightness) {
  return keypadType == kKeypadTypeDefault && ledBrightness == kFreshLedBrightness;
}

namespace {
// Where either place is not known, the place tells nothing either way.
bool PlaceFits(const PendingUpgrade& record, const KeypadSeen& keypad) {
  if (record.port.empty() || keypad.port.empty()) return true;
  return record.port == keypad.port && UsbSerialFits(record, keypad.usbSerial);
}
}  // namespace

bool RecordFitsKeypad(const PendingUpgrade& record, const KeypadSeen& keypad) {
  if (!keypad.serialNumber.empty())
    return keypad.serialNumber == record.serial() && PlaceFits(record, keypad);
  // Without a number it is told by where it is, and, where the record keeps one to give back,
  // by showing what only new firmware shows: a configured keypad at that port is another.
  return RecordFitsLoaderAt(record, keypad.port) && UsbSerialFits(record, keypad.usbSerial) &&
         (record.serial().empty() || keypad.fresh);
}

bool SameSerialElsewhere(const PendingUpgrade& record, const KeypadSeen& keypad) {
  return !keypad.serialNumber.empty() && keypad.serialNumber == record.serial() &&
         !PlaceFits(record, keypad);
}

std::vector<PendingUpgrade> RecordsOfAbsentKeypads(const std::vector<PendingUpgrade>& records) {
  std::vector<std::string> ports;
  for (const KeypadOnBus& keypad : ListKeypads()) ports.push_back(keypad.port);
  for (const LoaderOnBus& loader : BSL_USBDevices(kLoaderVendorId, kLoaderProductId))
    ports.push_back(loader.port);
  std::vector<PendingUpgrade> absent;
  std::copy_if(records.begin(), records.end(), std::back_inserter(absent),
               [&](const PendingUpgrade& record) {
                 return !record.port.empty() &&
                        std::find(ports.begin(), ports.end(), record.port) == ports.end();
               });
  return absent;
}

bool RecordFitsLoaderAt(const PendingUpgrade& record, const std::string& port) {
  return !record.port.empty() && record.port == port;
}

std::vector<PendingUpgrade> RecordsKeptAt(const std::vector<PendingUpgrade>& records,
                                          const std::string& port) {
  std::vector<PendingUpgrade> here;
  std::copy_if(records.begin(), records.end(), std::back_inserter(here),
               [&](const PendingUpgrade& record) { return RecordFitsLoaderAt(record, port); });
  return here;
}

bool HasRecordFor(const std::vector<PendingUpgrade>& records, const KeypadSeen& keypad) {
  return std::any_of(records.begin(), records.end(), [&](const PendingUpgrade& record) {
    return RecordFitsKeypad(record, keypad);
  });
}

std::string KeypadAt(const std::string& serial, const std::string& port, const std::string& path) {
  const std::string where = port.empty() ? path : path.empty() ? port : port + " (" + path + ")";
  return serial.empty() ? "the keypad at " + where
                        : "keypad " + support::Utf8FromLocal8Bit(serial) + " at " + where;
}

bool HasRecordOf(const std::vector<PendingUpgrade>& records, const std::string& serial) {
  return std::any_of(records.begin(), records.end(),
                     [&](const PendingUpgrade& record) { return record.serial() == serial; });
}

ReturnedKeypad FindReturnedKeypad(const std::optional<PendingUpgrade>& record,
                                  const std::vector<std::string>& otherKeypads,
                                  const std::string& port) {
  ReturnedKeypad found;
  int candidates = 0;
  bool busy = false;
  for (const KeypadOnBus& keypad : ListKeypads()) {
    if (std::find(otherKeypads.begin(), otherKeypads.end(), keypad.path) != otherKeypads.end()) {
      continue;
    }
    const bool here = port.empty() || keypad.port == port;
    // Without a record nothing is given, so only the place needs proving.
    if (!record && !here) continue;
    const AskedKeypad asked =
        record ? KeypadStatusAt(keypad.path) : AskedKeypad{AskedKeypad::kAnswered, {}, {}};
    if (asked.kind == AskedKeypad::kInUse && here) busy = true;
    if (asked.kind != AskedKeypad::kAnswered) continue;
    const std::string& serial = asked.status.serialNumber;
    if (!here) {
      if (serial.empty()) {
        found.elsewhere.push_back({keypad.path, keypad.port, keypad.usbSerial, {}});
      } else if (serial != record->serial()) {
        found.others.push_back(serial);
      }
      continue;
    }
    // Only the keypad that left from here comes back here: one reporting no serial number is
    // it unless its USB descriptor says otherwise, or it shows settings new firmware does not
    // start with while the record has a number to give back.
    const bool fresh = StartsFresh(asked.status.keypadType, asked.status.ledBrightness);
    const bool fits =
        !record || serial == record->serial() ||
        (serial.empty() && (port.empty() || UsbSerialFits(*record, keypad.usbSerial)) &&
         (record->serial().empty() || fresh));
    if (!fits && serial.empty()) {
      found.unlike.push_back({keypad.path, keypad.port, keypad.usbSerial, {}});
      continue;
    }
    if (!fits) {
      found.others.push_back(serial);
      continue;
    }
    ++candidates;
    found.path = keypad.path;
  }
  if (candidates > 1) found.kind = ReturnedKeypad::kSeveral;
  if (candidates == 1) found.kind = ReturnedKeypad::kOne;
  if (candidates == 0 && busy) found.kind = ReturnedKeypad::kBusy;
  return found;
}

RestoreResult RestoreUpgradedKeypad(const std::optional<PendingUpgrade>& record,
                                    const ReturnedKeypad& returned) {
  CloseSharedKeypad();
  switch (returned.kind) {
    case ReturnedKeypad::kSeveral:
      return {RestoreResult::kAmbiguous, {}};
    case ReturnedKeypad::kBusy:
      return {RestoreResult::kBusy, {}};
    case ReturnedKeypad::kNone:
      return {RestoreResult::kNotFound, {}};
    case ReturnedKeypad::kOne:
      break;
  }
  switch (OpenSharedKeypad(returned.path)) {
    case SharedOpen::kInUse:
      return {RestoreResult::kBusy, {}};
    case SharedOpen::kCannotOpen:
      return {RestoreResult::kNotFound, {}};
    case SharedOpen::kOpened:
      break;
  }
  if (!record) return {RestoreResult::kRestored, {}};
  for (const auto& step : SettingsRestoreSteps(record->settings)) {
    if ((SendKeypadCommand(step.command, step.payload) & 0xFF) != 0) {
      return {RestoreResult::kStepFailed, step.failureMessage};
    }
  }
  return {RestoreResult::kRestored, {}};
}

std::string SerialsOnBus::whoHas(const std::string& serial) const {
  for (const Serial& one : serials) {
    if (one.serial == serial) return one.who;
  }
  return {};
}

SerialsOnBus SerialNumbersOnBus(const std::string& exceptPath,
                                const std::vector<PendingUpgrade>& records) {
  SerialsOnBus found;
  for (const KeypadOnBus& keypad : ListKeypads()) {
    if (keypad.path == exceptPath) continue;
    const AskedKeypad asked = KeypadStatusAt(keypad.path);
    if (asked.kind == AskedKeypad::kAnswered) {
      found.serials.push_back({asked.status.serialNumber, KeypadAt({}, keypad.port, keypad.path)});
    } else if (found.unknown.empty()) {
      found.unknown = KeypadAt({}, keypad.port, keypad.path) +
                      " cannot be asked its serial number (" + UnaskedReason(keypad, asked) + ")";
    }
  }
  for (const LoaderOnBus& loader : BSL_USBDevices(kLoaderVendorId, kLoaderProductId)) {
    const std::string where = loader.port.empty() ? loader.path : loader.port;
    bool known = false;
    for (const PendingUpgrade& record : records) {
      if (!RecordFitsLoaderAt(record, loader.port)) continue;
      found.serials.push_back(
          {record.serial(), "a keypad waiting in its firmware loader at " + where});
      known = true;
    }
    if (!known && found.unknown.empty()) {
      found.unknown = "a keypad waits in its firmware loader at " + where +
                      ", and no record kept here says who it is";
    }
  }
  return found;
}

std::string AmbiguousRestoreMessage(const std::string& recordFile) {
  return "More than one keypad is connected and the upgraded one cannot be told from the "
         "others, so its serial number and settings were not restored. They are kept in " +
         recordFile +
         ". Leave only the upgraded keypad plugged in and upgrade it once more to finish.";
}

bool RecordNeedsWord(const PendingUpgrade& record, const DeviceStatus& openKeypad,
                     const std::string& port) {
  return openKeypad.serialNumber.empty() ||
         SameSerialElsewhere(record, {{}, port, {}, openKeypad.serialNumber});
}

bool RecordNeededNow(const PendingUpgrade& record, const std::optional<DeviceStatus>& openKeypad,
                     const std::string& port) {
  if (!openKeypad) return false;
  if (openKeypad->serialNumber.empty()) return true;
  if (openKeypad->serialNumber != record.serial()) return false;
  if (RecordNeedsWord(record, *openKeypad, port)) return true;
  const HandedOverSettings& kept = record.settings;
  return openKeypad->keypadType != kept.keypadType ||
         openKeypad->ledBrightness != kept.ledBrightness ||
         !std::equal(kept.keyCodes.begin(), kept.keyCodes.end(),
                     openKeypad->codeTable.bytes.begin());
}

}  // namespace navkeypad::firmware
