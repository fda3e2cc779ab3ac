// The records of upgrades under way: what each keypad must be given back, kept on disk from
// before it leaves its application until its restore has succeeded, so that a crash, a
// pulled cable or a closed program never loses a keypad's serial number and settings. One file
// of the bench (PendingFirmwareUpgrade.json), changed only under its lock beside it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
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

inline constexpr char kPendingUpgradeFileName[] = "PendingFirmwareUpgrade.json";

// In the bench's folder (beside the configuration file for a program in its build tree);
// empty without one.
std::string PendingUpgradeFile(const std::string& configFile);

// Why the records cannot be kept in `file` (a folder or something else that is not a file
// stands there, or its folder cannot be made); empty when they can.
std::string PendingUpgradeFileProblem(const std::string& file);

struct PendingUpgradeRead {
  std::vector<PendingUpgrade> records;  // none when there is no file
  std::string problem;                  // set when something is there but cannot be read
};
// One record as an object (the form every earlier version wrote), several as
// {"upgrades": [...]}.
PendingUpgradeRead ReadPendingUpgrades(const std::string& file);
// Whole or not at all; no records removes the file. False when the file does not hold
// `records` afterwards.
bool WritePendingUpgrades(const std::string& file, const std::vector<PendingUpgrade>& records);
// Every change to the records is a read-modify-write under one lock beside the file, so that two
// programs upgrading at once (on two buses, or a virtual and a real one) never write back a list
// that lacks the other's record. `change` is given what is on disk now; `records` is what the
// file holds afterwards. Empty, or why the file could not be read or written.
std::string UpdatePendingUpgrades(const std::string& file,
                                  const std::function<void(std::vector<PendingUpgrade>&)>& change,
                                  std::vector<PendingUpgrade>* records = nullptr);

}  // namespace navkeypad::store
