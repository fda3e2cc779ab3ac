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

std::string PendingUpgradeFile(const std::string& configFile) {
  return settings::BesideConfigFile(configFile, kPendingUpgradeFileName);
}

std::string PendingUpgradeFileProblem(const std::string& file) {
  if (file.empty()) return "there is no data folder to keep it in";
  const std::string why = support::WritableFileProblem(file);
  if (why.empty()) return why;
  // "PATH is a folder, not a file", "PATH: its folder ... cannot be made"
  return file + (why.rfind("is ", 0) == 0 ? " " : ": ") + why;
}

namespace {

PendingUpgrade RecordFromJson(const json& document) {
  PendingUpgrade record;
  HandedOverSettings& settings = record.settings;
  if (document.contains("serialNumberHex")) {
    const auto bytes = support::BytesFromHex(document.at("serialNumberHex").get<std::string>());
    if (!bytes) throw std::invalid_argument("serialNumberHex is not hex");
    settings.serialNumber = std::string(bytes->begin(), bytes->end());
  }
  settings.keypadType = document.at("keypadType").get<int32_t>();
  settings.ledBrightness = document.at("ledBrightness").get<int32_t>();
  const auto table = document.at("codeTable").get<std::vector<int>>();
  if (table.size() != settings.keyCodes.size()) {
    throw std::invalid_argument("codeTable does not hold ten bytes");
  }
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i] < 0 || table[i] > 0xFF) throw std::invalid_argument("codeTable byte");
    settings.keyCodes[i] = static_cast<uint8_t>(table[i]);
  }
  record.keypadPath = document.value("keypadPath", "");
  record.firmwareVersion = document.value("firmwareVersion", "");
  record.downloaded = document.value("downloaded", false);
  record.port = document.value("port", "");
  record.usbSerial = document.value("usbSerial", "");
  record.keptAt = document.value("keptAt", "");
  return record;
}

json RecordToJson(const PendingUpgrade& record) {
  const HandedOverSettings& settings = record.settings;
  json document = json::object();
  document["keypadPath"] = record.keypadPath;
  if (!record.port.empty()) document["port"] = record.port;
  if (!record.usbSerial.empty()) document["usbSerial"] = record.usbSerial;
  if (!record.keptAt.empty()) document["keptAt"] = record.keptAt;
  document["firmwareVersion"] = record.firmwareVersion;
  if (settings.serialNumber) {
    // The serial number is 8-bit text: readable for people, exact in hex.
    document["serialNumber"] = *settings.serialNumber;
    document["serialNumberHex"] = support::HexText(*settings.serialNumber);
  }
  document["keypadType"] = settings.keypadType;
  document["ledBrightness"] = settings.ledBrightness;
  document["codeTable"] = std::vector<int>(settings.keyCodes.begin(), settings.keyCodes.end());
  if (record.downloaded) document["downloaded"] = true;
  return document;
}

}  // namespace

PendingUpgradeRead ReadPendingUpgrades(const std::string& file) {
  std::error_code error;
  if (file.empty()) return {};
  if (!fs::exists(support::PathFromUtf8(file), error) && !error) return {};
  constexpr std::uintmax_t kLargerThanAnyRecord = 1u << 20;
  std::string text;
  if (const std::string why = support::ReadRegularFile(file, text, kLargerThanAnyRecord);
      !why.empty()) {
    return {{}, file + " " + why + "."};
  }
  try {
    const json document = json::parse(text);
    PendingUpgradeRead read;
    if (document.contains("upgrades")) {
      for (const json& record : document.at("upgrades")) {
        read.records.push_back(RecordFromJson(record));
      }
    } else {
      read.records.push_back(RecordFromJson(document));
    }
    return read;
  } catch (const std::exception& problem) {
    return {{}, file + " is not a record of an upgrade: " + problem.what()};
  }
}

namespace {
// A USB serial string another than the record's tells another keypad; none at all tells nothing
// (new firmware may set its string only once its serial number is back).
bool UsbSerialFits(const PendingUpgrade& record, const std::string& usbSerial) {
  return record.usbSerial.empty() || usbSerial.empty() || usbSerial == record.usbSerial;
}
}  // namespace

bool RecordFitsKeypad(const PendingUpgrade& record, const KeypadSeen& keypad) {
  if (!keypad.serialNumber.empty()) return keypad.serialNumber == record.serial();
  return RecordFitsLoaderAt(record, keypad.port) && UsbSerialFits(record, keypad.usbSerial);
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

std::string KeptAtNow() {
  const auto now = std::chrono::system_clock::now();
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::string text = support::UtcTimeText();  // "2026-12-09T10:42:07Z"
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(milliseconds));
  text.replace(text.size() - 1, 1, fraction);
  return text;
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

bool WritePendingUpgrades(const std::string& file, const std::vector<PendingUpgrade>& records) {
  if (file.empty()) return false;
  if (records.empty()) {
    std::error_code error;
    fs::remove(support::PathFromUtf8(file), error);
    return !error && !fs::exists(support::PathFromUtf8(file), error);
  }
  json document;
  if (records.size() == 1) {
    document = RecordToJson(records.front());
  } else {
    document = json::object();
    document["upgrades"] = json::array();
    for (const auto& record : records) document["upgrades"].push_back(RecordToJson(record));
  }
  const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  if (!PendingUpgradeFileProblem(file).empty()) return false;
  return support::WriteFileAtomically(file, text);
}

std::string UpdatePendingUpgrades(const std::string& file,
                                  const std::function<void(std::vector<PendingUpgrade>&)>& change,
                                  std::vector<PendingUpgrade>* records) {
  if (const std::string problem = PendingUpgradeFileProblem(file); !problem.empty()) return problem;
  // The lock lives with the other locks, not beside the records in the user's data folder.
  const std::string folder = support::DefaultLockFolder();
  const std::string lockFile =
      folder.empty()
          ? file + ".lock"
          : support::Utf8FromPath(
                support::PathFromUtf8(folder) /
                ("pending-upgrades-" + std::to_string(std::hash<std::string>{}(file)) + ".lock"));
  support::ProgramLock store;
  if (!store.take(lockFile, true)) return lockFile + " cannot be taken";
  PendingUpgradeRead read = ReadPendingUpgrades(file);
  if (!read.problem.empty()) return read.problem;
  change(read.records);
  if (!WritePendingUpgrades(file, read.records)) return file + " cannot be written";
  if (records) *records = std::move(read.records);
  return {};
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
        record ? KeypadStatusAt(keypad.path) : AskedKeypad{AskedKeypad::kAnswered, {}};
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
    // it unless its USB descriptor says otherwise.
    const bool fits =
        !record || serial == record->serial() ||
        (serial.empty() && (port.empty() || UsbSerialFits(*record, keypad.usbSerial)));
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

bool RecordNeededNow(const PendingUpgrade& record, const std::optional<DeviceStatus>& openKeypad) {
  if (!openKeypad) return false;
  if (openKeypad->serialNumber.empty()) return true;
  if (openKeypad->serialNumber != record.serial()) return false;
  const HandedOverSettings& kept = record.settings;
  return openKeypad->keypadType != kept.keypadType ||
         openKeypad->ledBrightness != kept.ledBrightness ||
         !std::equal(kept.keyCodes.begin(), kept.keyCodes.end(),
                     openKeypad->codeTable.bytes.begin());
}

}  // namespace navkeypad::firmware
