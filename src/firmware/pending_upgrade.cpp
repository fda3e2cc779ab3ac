#include "firmware/pending_upgrade.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "device/keypad_bus.h"
#include "device/keypad_commands.h"
#include "support/atomic_file.h"
#include "support/paths.h"

namespace navkeypad::firmware {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string ToHex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char byte : bytes) {
    hex.push_back(digits[byte >> 4]);
    hex.push_back(digits[byte & 0x0F]);
  }
  return hex;
}

int HexValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  return -1;
}

std::optional<std::string> FromHex(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

}  // namespace

std::string PendingUpgradeFile(const std::string& configFile) {
  if (configFile.empty()) return {};
  return support::Utf8FromPath(support::PathFromUtf8(configFile).parent_path() /
                               kPendingUpgradeFileName);
}

PendingUpgradeRead ReadPendingUpgrade(const std::string& file) {
  std::error_code error;
  if (file.empty() || !fs::exists(support::PathFromUtf8(file), error)) return {};
  std::string text;
  if (!support::ReadWholeFile(file, text)) return {std::nullopt, file + " cannot be read."};
  try {
    const json document = json::parse(text);
    PendingUpgrade record;
    HandedOverSettings& settings = record.settings;
    if (document.contains("serialNumberHex")) {
      settings.serialNumber = FromHex(document.at("serialNumberHex").get<std::string>());
      if (!settings.serialNumber) throw std::invalid_argument("serialNumberHex is not hex");
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
    record.otherKeypads = document.value("otherKeypads", std::vector<std::string>{});
    return {record, {}};
  } catch (const std::exception& problem) {
    return {std::nullopt, file + " is not a record of an upgrade: " + problem.what()};
  }
}

bool WritePendingUpgrade(const std::string& file, const PendingUpgrade& record) {
  if (file.empty()) return false;
  const HandedOverSettings& settings = record.settings;
  json document = json::object();
  document["keypadPath"] = record.keypadPath;
  document["firmwareVersion"] = record.firmwareVersion;
  if (settings.serialNumber) {
    // The serial number is 8-bit text: readable for people, exact in hex.
    document["serialNumber"] = *settings.serialNumber;
    document["serialNumberHex"] = ToHex(*settings.serialNumber);
  }
  document["keypadType"] = settings.keypadType;
  document["ledBrightness"] = settings.ledBrightness;
  document["codeTable"] = std::vector<int>(settings.keyCodes.begin(), settings.keyCodes.end());
  document["otherKeypads"] = record.otherKeypads;
  const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
  std::error_code ignored;
  fs::create_directories(support::PathFromUtf8(file).parent_path(), ignored);
  return support::WriteFileAtomically(file, text);
}

bool RemovePendingUpgrade(const std::string& file) {
  std::error_code error;
  fs::remove(support::PathFromUtf8(file), error);
  return !error;
}

HandOver DecideHandOver(const std::optional<PendingUpgrade>& pending,
                        const PendingUpgrade& current) {
  if (!pending) return {HandOver::kNew, current};
  const std::string serial = current.settings.serialNumber.value_or("");
  if (!serial.empty() && serial != pending->settings.serialNumber.value_or("")) {
    return {HandOver::kConflict, *pending};
  }
  PendingUpgrade kept = *pending;
  kept.keypadPath = current.keypadPath;
  kept.otherKeypads = current.otherKeypads;
  return {HandOver::kPending, kept};
}

ReturnedKeypad FindReturnedKeypad(const std::vector<std::string>& otherKeypads) {
  ReturnedKeypad found;
  for (const KeypadOnBus& keypad : ListKeypads()) {
    if (std::find(otherKeypads.begin(), otherKeypads.end(), keypad.path) != otherKeypads.end()) {
      continue;
    }
    if (found.kind != ReturnedKeypad::kNone) return {ReturnedKeypad::kSeveral, {}};
    found = {ReturnedKeypad::kOne, keypad.path};
  }
  return found;
}

RestoreResult RestoreUpgradedKeypad(const HandedOverSettings& settings,
                                    const std::vector<std::string>& otherKeypads) {
  if (hid_handle != nullptr) hid_exit_safely(hid_handle);
  hid_handle = nullptr;
  const ReturnedKeypad returned = FindReturnedKeypad(otherKeypads);
  if (returned.kind == ReturnedKeypad::kSeveral) return {RestoreResult::kAmbiguous, {}};
  if (returned.kind == ReturnedKeypad::kOne) hid_handle = OpenKeypad(returned.path);
  if (hid_handle == nullptr) return {RestoreResult::kNotFound, {}};
  for (const auto& step : SettingsRestoreSteps(settings)) {
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

}  // namespace navkeypad::firmware
