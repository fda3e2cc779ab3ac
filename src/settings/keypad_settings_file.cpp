#include "settings/keypad_settings_file.h"

#include <cctype>
#include <charconv>
#include <filesystem>

#include "support/atomic_file.h"
#include "support/ini_file.h"
#include "support/paths.h"

namespace navkeypad::settings {
namespace fs = std::filesystem;

namespace {
std::string ConfigFileIn(const fs::path& dataFolder) {
  return support::Utf8FromPath(dataFolder / kConfigFolderName / kConfigFileName);
}
}  // namespace

std::string PrepareConfigFile(const std::string& appDataFolder) {
  const std::string file = ConfigFileIn(support::PathFromUtf8(appDataFolder));
  std::error_code ignored;
  // On a fresh account even the per-user data folder may not exist yet.
  const fs::path folder = support::PathFromUtf8(file).parent_path();
  if (!fs::exists(folder, ignored)) fs::create_directories(folder, ignored);
  if (fs::exists(support::PathFromUtf8(file), ignored)) return file;
  CreateConfigFile(file);
  return file;
}

bool CreateConfigFile(const std::string& file,
                      const std::vector<std::pair<std::string, std::string>>& values) {
  std::vector<std::pair<std::string, std::string>> all;
  for (const char* key : kAllKeys) all.emplace_back(key, "");
  all.insert(all.end(), values.begin(), values.end());
  return CIniFile::SetValues(all, kSection, file, true);
}

std::string DefaultConfigFile() {
  const fs::path data = support::UserDataFolder();
  return data.empty() ? std::string() : ConfigFileIn(data);
}

std::string BesideConfigFile(const std::string& configFile, const char* name) {
  if (configFile.empty()) return {};
  return support::Utf8FromPath(support::PathFromUtf8(configFile).parent_path() / name);
}

std::string FormatCodeTableValues(const KeyCodeTable& table) {
  std::string text;
  for (uint8_t byte : table.bytes) text += std::to_string(byte) + ",";
  return text;
}

std::optional<int32_t> ParseDecimal(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  if (begin < end && text[begin] == '+') ++begin;
  if (begin == end) return std::nullopt;
  int32_t value = 0;
  const char* first = text.data() + begin;
  const char* last = text.data() + end;
  const auto [stop, error] = std::from_chars(first, last, value);
  if (error != std::errc() || stop != last) return std::nullopt;
  return value;
}

bool IsCustomLayout(int32_t layout) {
  return layout == 2 || layout == 5 || layout == 8;
}

std::vector<std::pair<std::string, std::string>> ValuesToSave(const SavedState& state) {
  return {{kFirstUp, kSavedMarker},
          {kKeypadLayout, std::to_string(state.keypadLayout)},
          {kLedBrightness, std::to_string(state.ledBrightness)},
          {kCodeTableValues, FormatCodeTableValues(state.codeTable)},
          {kSerialNumber, state.serialNumber}};
}

namespace {

std::string FileNameOf(const std::string& file) {
  return support::Utf8FromPath(support::PathFromUtf8(file).filename());
}

std::string NotANumber(const char* key, const std::string& file) {
  return std::string(key) + " in " + FileNameOf(file) + " is not a whole number..";
}

std::optional<KeyCodeTable> ParseCodeTable(const std::string& text) {
  KeyCodeTable table;
  std::size_t start = 0;
  for (std::size_t i = 0; i < table.bytes.size(); ++i) {
    const std::size_t comma = text.find(',', start);
    const std::string piece =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const auto value = ParseDecimal(piece);
    if (!value) return std::nullopt;
    // The keypad takes the low eight bits of each, as it does of the layout and brightness.
    table.bytes[i] = static_cast<uint8_t>(*value);
    if (comma == std::string::npos) {
      if (i + 1 < table.bytes.size()) return std::nullopt;
      break;
    }
    start = comma + 1;
  }
  return table;
}

}  // namespace

StoredSettings ReadStoredSettings(const std::string& fileName) {
  StoredSettings stored;
  if (CIniFile::GetValue(kFirstUp, kSection, fileName) != kSavedMarker) return stored;
  stored.saved = true;

  const auto layout = ParseDecimal(CIniFile::GetValue(kKeypadLayout, kSection, fileName));
  if (!layout) {
    stored.problem = NotANumber(kKeypadLayout, fileName);
    return stored;
  }
  std::optional<KeyCodeTable> table;
  if (IsCustomLayout(*layout)) {
    table = ParseCodeTable(CIniFile::GetValue(kCodeTableValues, kSection, fileName));
    if (!table) {
      stored.problem = std::string(kCodeTableValues) + " in " + FileNameOf(fileName) +
                       " must hold ten whole numbers, each followed by a comma..";
      return stored;
    }
  }
  const auto brightness = ParseDecimal(CIniFile::GetValue(kLedBrightness, kSection, fileName));
  if (!brightness) {
    stored.problem = NotANumber(kLedBrightness, fileName);
    return stored;
  }

  // The keypad takes one byte: the low eight bits of what the file holds.
  stored.steps.push_back(
      {CMD_SET_KEYPAD_TYPE, {static_cast<uint8_t>(*layout & 0xFF)}, "Unable to set Keypad Type.."});
  if (table) {
    stored.steps.push_back({CMD_LOAD_TABLE,
                            std::vector<uint8_t>(table->bytes.begin(), table->bytes.end()),
                            "Unable to Load Table.."});
  }
  stored.steps.push_back({CMD_SET_LED_BRIGHTNESS,
                          {static_cast<uint8_t>(*brightness & 0xFF)},
                          "Unable to set LED Brightness.."});
  return stored;
}

bool CopyFileAtomically(const std::string& from, const std::string& to) {
  std::string bytes;
  return support::ReadWholeFile(from, bytes) && support::WriteFileAtomically(to, bytes);
}

std::string DamagedFileProblem(const std::string& file) {
  return file + " cannot be read: a section line has no closing \"]\".";
}

std::string DamagedFileMessage() {
  return DamagedFileProblem(kConfigFileName) +
         " Import a good file, or delete this one to start afresh..";
}

std::string ConfigFileProblem(const std::string& file) {
  const std::string why = support::RegularFileProblem(file, CIniFile::kMaxFileBytes);
  return why.empty() ? why : file + " " + why;
}

std::string NotSavedReason(const std::string& file) {
  const std::string never =
      file + " holds no saved settings yet; save a keypad's settings into it first";
  for (const CIniFile::Record& record : CIniFile::GetSection(kSection, file)) {
    if (record.Key != kFirstUp && Trim(record.Key, " \t") == kFirstUp) {
      return file + ": the key \"" + record.Key + "\" has blanks around its name; write it as " +
             kFirstUp + "=" + kSavedMarker;
    }
    if (record.Key == kFirstUp && !record.Value.empty() && record.Value != kSavedMarker) {
      return file + ": " + kFirstUp + " is \"" + support::Utf8FromLocal8Bit(record.Value) +
             "\"; it must read exactly " + kSavedMarker;
    }
  }
  return never;
}

std::string ValueProblem(const std::vector<std::pair<std::string, std::string>>& values) {
  for (const auto& [key, value] : values) {
    std::string why;
    if (value.find_first_of("[]") != std::string::npos) {
      why = "it holds a \"[\" or \"]\", which would make its line a section";
    } else if (value.find_first_of("\r\n") != std::string::npos) {
      why = "it holds a line break";
    }
    if (!why.empty()) {
      return key + " \"" + support::Utf8FromLocal8Bit(value) +
             "\" cannot be kept in the configuration file: " + why;
    }
  }
  return {};
}

}  // namespace navkeypad::settings
