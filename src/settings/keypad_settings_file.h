// The configuration file's keys and the rules for saving a keypad's settings into it and
// sending them back, shared by the main window and the command line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/keypad_commands.h"

namespace navkeypad::settings {

inline constexpr char kSection[] = "appSettings";
inline constexpr char kConfigFolderName[] = "VeltoInterface";
inline constexpr char kConfigFileName[] = "USBNavigationKeypadUtilityCfg.ini";

inline constexpr char kFirstUp[] = "FirstUp";
inline constexpr char kKeypadLayout[] = "KeypadLayout";
inline constexpr char kLedBrightness[] = "LedBrightness";
inline constexpr char kCodeTableValues[] = "CodeTableValues";
inline constexpr char kFirmwareFile[] = "FirmwareFile";
inline constexpr char kSerialNumber[] = "SerialNumber";
inline constexpr char kSavedMarker[] = "Yes";

// Every key of the file, in the order a new file gets them added.
inline constexpr std::array<const char*, 6> kAllKeys = {
    kFirstUp, kKeypadLayout, kLedBrightness, kCodeTableValues, kFirmwareFile, kSerialNumber};

// Creates <appData>/VeltoInterface/USBNavigationKeypadUtilityCfg.ini with the section and
// every key empty when it does not exist yet; an existing file is left untouched. Returns
// the file's path (also when a step failed: later reads and writes then report it).
std::string PrepareConfigFile(const std::string& appDataFolder);
// A new configuration file in place of whatever is at `file`: every key, empty, then `values`,
// written at once.
bool CreateConfigFile(const std::string& file,
                      const std::vector<std::pair<std::string, std::string>>& values = {});
// The file every program uses: <data folder>/VeltoInterface/USBNavigationKeypadUtilityCfg.ini
// (support::UserDataFolder); empty when there is no data folder.
std::string DefaultConfigFile();
// A file of the program's own beside the configuration file (never inside it); empty
// without one.
std::string BesideConfigFile(const std::string& configFile, const char* name);

// Bytes 0-9 of the table, each in decimal and followed by a comma.
std::string FormatCodeTableValues(const KeyCodeTable& table);

// A whole decimal number as users and other tools write one: optional blanks around it and
// an optional sign; nothing else.
std::optional<int32_t> ParseDecimal(const std::string& text);

// Layout values that carry a custom code table.
bool IsCustomLayout(int32_t layout);

// The keypad's state that "Save Changes" writes, in the order the keys are written.
struct SavedState {
  int32_t keypadLayout = 0;
  int32_t ledBrightness = 0;
  KeyCodeTable codeTable;
  std::string serialNumber;
};
std::vector<std::pair<std::string, std::string>> ValuesToSave(const SavedState& state);

// One command of "Reset From Configuration File", with the message its failure shows.
struct RestoreStep {
  uint8_t command;
  std::vector<uint8_t> payload;
  std::string failureMessage;
};

struct StoredSettings {
  // False while FirstUp is not "Yes": nothing was ever saved, so nothing is sent.
  bool saved = false;
  // Set when a value cannot be sent as it stands; then nothing is sent at all.
  std::string problem;
  std::vector<RestoreStep> steps;  // layout, table (custom layouts only), brightness
};

// Reads the file and turns it into the commands to send. May throw IniFormatError.
StoredSettings ReadStoredSettings(const std::string& fileName);

// Copies `from` over `to` through a temporary file beside `to`, so a failed copy never leaves
// a half-written target.
bool CopyFileAtomically(const std::string& from, const std::string& to);

// "FILE cannot be read: a section line has no closing "]"."
std::string DamagedFileProblem(const std::string& file);
// The windows' message for their configuration file in that state, with what to do there.
std::string DamagedFileMessage();

// Why `file` cannot be read as a configuration file ("FILE is missing", "FILE is a folder, not
// a file", ...); empty when it can.
std::string ConfigFileProblem(const std::string& file);

// Why ReadStoredSettings found nothing saved in `file`, for someone who expected settings
// there: no FirstUp key, one with blanks around its name, or a value that is not exactly Yes.
std::string NotSavedReason(const std::string& file);

// Why a value cannot be kept under its key: it would break the file ("[" and "]" make a line
// a section, a line break ends it). Blanks around a value are written as they are; the reader
// trims them, as every reader of such files does. Empty when every value can be kept.
std::string ValueProblem(const std::vector<std::pair<std::string, std::string>>& values);

}  // namespace navkeypad::settings
