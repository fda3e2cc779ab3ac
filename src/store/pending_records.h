// The records of upgrades under way: what each keypad must be given back, kept in the bench's
// store from before it leaves its application until its restore has succeeded, so that a
// crash, a pulled cable or a closed program never loses a keypad's serial number and settings.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace navkeypad::store {

// The settings a keypad is given back.
struct HandedOverSettings {
  std::optional<std::string> serialNumber;  // 8-bit text; none when it was never read
  int32_t keypadType = 0;
  int32_t ledBrightness = 0;
  std::array<uint8_t, 10> keyCodes{};
  bool operator==(const HandedOverSettings&) const = default;
};

struct PendingUpgrade {
  HandedOverSettings settings;
  std::string keypadPath;       // of its configuration interface, before the upgrade
  std::string firmwareVersion;  // before the upgrade
  // The new firmware is written; only the restore is owed. Until then the keypad may still
  // hold its settings, and what it holds now is what counts.
  bool downloaded = false;
  // Where the keypad left its application (empty where the system could not say, and in
  // records of earlier versions), the serial string of its USB descriptor where it has one, and
  // when the record was first kept (KeptAtNow).
  std::string port;
  std::string usbSerial;
  std::string keptAt;

  std::string serial() const { return settings.serialNumber.value_or(""); }
  // The same keypad's record: who it is for, not what it holds now.
  bool sameKeep(const PendingUpgrade& other) const {
    return serial() == other.serial() && port == other.port && keptAt == other.keptAt;
  }
  bool operator==(const PendingUpgrade&) const = default;
};

// The time a record is kept, UTC to the millisecond: with its serial number and port, who it is.
std::string KeptAtNow();

// A record as the store keeps it (the form every earlier version wrote to its file);
// RecordFromJson throws where a field is missing or wrong.
nlohmann::json RecordToJson(const PendingUpgrade& record);
PendingUpgrade RecordFromJson(const nlohmann::json& document);

}  // namespace navkeypad::store
