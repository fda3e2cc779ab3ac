#include "firmware/pending_upgrade.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

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
  return record;
}

json RecordToJson(const PendingUpgrade& record) {
  const HandedOverSettings& settings = record.settings;
  json document = json::object();
  document["keypadPath"] = record.keypadPath;
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

namespace {
// Whether a keypad that says `status` of itself may be the one `record` was kept for.
bool MayBeKeypadOf(const std::optional<PendingUpgrade>& record, const DeviceStatus& status) {
  return !record || status.serialNumber.empty() || status.serialNumber == record->serial();
}
}  // namespace

ReturnedKeypad FindReturnedKeypad(const std::optional<PendingUpgrade>& record,
                                  const std::vector<std::string>& otherKeypads) {
  ReturnedKeypad found;
  int candidates = 0;
  bool busy = false;
  for (const KeypadOnBus& keypad : ListKeypads()) {
    if (std::find(otherKeypads.begin(), otherKeypads.end(), keypad.path) != otherKeypads.end()) {
      continue;
    }
    // Without a record nothing is given, so nothing needs proving.
    const AskedKeypad asked =
        record ? KeypadStatusAt(keypad.path) : AskedKeypad{AskedKeypad::kAnswered, {}};
    if (asked.kind == AskedKeypad::kInUse) busy = true;
    if (asked.kind != AskedKeypad::kAnswered) continue;
    if (!MayBeKeypadOf(record, asked.status)) {
      found.others.push_back(asked.status.serialNumber);
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
