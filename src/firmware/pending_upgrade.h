// The record of an upgrade under way: what the keypad must be given back, kept on disk from
// before the keypad leaves its application until the restore has succeeded, so that a crash,
// a pulled cable or a closed program never loses a keypad's serial number and settings.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "firmware/settings_restore.h"

namespace navkeypad::firmware {

struct PendingUpgrade {
  HandedOverSettings settings;
  std::string keypadPath;       // of its configuration interface, before the upgrade
  std::string firmwareVersion;  // before the upgrade
  // The keypads beside it when it left: none of them is the one that comes back.
  std::vector<std::string> otherKeypads;
};

inline constexpr char kPendingUpgradeFileName[] = "PendingFirmwareUpgrade.json";

// Beside the configuration file (never inside it); empty without one.
std::string PendingUpgradeFile(const std::string& configFile);

struct PendingUpgradeRead {
  std::optional<PendingUpgrade> record;  // none when there is no file
  std::string problem;                   // set when a file is there but cannot be read
};
PendingUpgradeRead ReadPendingUpgrade(const std::string& file);
// Whole or not at all.
bool WritePendingUpgrade(const std::string& file, const PendingUpgrade& record);
bool RemovePendingUpgrade(const std::string& file);

// A keypad about to enter its loader while an earlier upgrade's record is still there: the
// record is kept when this is that keypad (same serial number, or none left after a flash
// whose restore did not finish); any other keypad must wait until that upgrade is finished.
struct HandOver {
  enum Kind { kNew, kPending, kConflict } kind;
  PendingUpgrade record;  // what to write before the keypad leaves
};
HandOver DecideHandOver(const std::optional<PendingUpgrade>& pending,
                        const PendingUpgrade& current);

// The keypad that came back from an upgrade: the one on the bus that is none of the others.
struct ReturnedKeypad {
  enum Kind { kNone, kOne, kSeveral } kind = kNone;
  std::string path;
};
ReturnedKeypad FindReturnedKeypad(const std::vector<std::string>& otherKeypads);

struct RestoreResult {
  enum Kind { kRestored, kNotFound, kAmbiguous, kStepFailed } kind;
  std::string failureMessage;  // the failed step's, with kStepFailed
};
// Opens the returned keypad as the shared handle and gives it its settings back, storing
// them as its defaults; stops at the first step that fails. Writes to no other keypad.
RestoreResult RestoreUpgradedKeypad(const HandedOverSettings& settings,
                                    const std::vector<std::string>& otherKeypads);

// The message for a restore that could not tell the upgraded keypad from others.
std::string AmbiguousRestoreMessage(const std::string& recordFile);

}  // namespace navkeypad::firmware
