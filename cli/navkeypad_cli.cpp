#include "navkeypad_cli.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

#include "bsl430/bsl430.h"
#include "code_table/vocabulary.h"
#include "device/keypad_bus.h"
#include "device/keypad_commands.h"
#include "firmware/download_sequence.h"
#include "firmware/loader_texts.h"
#include "firmware/pending_upgrade.h"
#include "firmware/settings_restore.h"
#include "settings/keypad_settings_file.h"
#include "platform/clock.h"
#include "support/ini_file.h"

namespace navkeypad::cli {

namespace cfg = navkeypad::settings;

namespace {

const char kUsage[] =
    "Usage: navkeypad [--device PATH] COMMAND [ARGUMENTS]\n"
    "\n"
    "Configures the USB navigation keypad.\n"
    "\n"
    "Commands:\n"
    "  list [--json]                 every keypad on the bus\n"
    "  status [--json]               the keypad's settings, firmware and serial number\n"
    "  brightness N                  sets the LED brightness (0 to 9)\n"
    "  layout default|alternate|custom\n"
    "                                chooses the code table the keypad uses\n"
    "  table                         shows the custom code table\n"
    "  table set KEY=CODE[+MODIFIER] ...\n"
    "                                changes keys of the custom code table\n"
    "  save [--file F]               stores the settings in the keypad and in the file\n"
    "  restore [--file F]            sends the settings saved in the file back\n"
    "  factory-reset                 puts the keypad back to its factory settings\n"
    "  upgrade FIRMWARE.txt          replaces the firmware, keeping serial number and settings\n"
    "\n"
    "--device PATH picks one keypad when several are attached (see 'navkeypad list').\n"
    "The file is the one the windows use unless --file names another.\n"
    "'navkeypad COMMAND --help' tells more about a command.\n"
    "\n"
    "Exit status: 0 done, 1 the keypad refused or did not answer, 2 bad usage or input,\n"
    "3 no keypad, 4 a keypad is there but cannot be opened.\n";

const std::map<std::string, std::string> kCommandHelp = {
    {"list",
     "Usage: navkeypad list [--json]\n\nLists every keypad on the bus with its path, serial "
     "number and firmware version, and\nsays why one that is there cannot be opened.\n"},
    {"status",
     "Usage: navkeypad status [--json]\n\nShows the keypad's LED brightness, layout, code table, "
     "firmware version and serial number.\n"},
    {"brightness", "Usage: navkeypad brightness N\n\nSets the LED brightness, N from 0 to 9.\n"},
    {"layout",
     "Usage: navkeypad layout default|alternate|custom\n\nChooses which of its code tables the "
     "keypad uses.\n"},
    {"table",
     "Usage: navkeypad table\n       navkeypad table set KEY=CODE[+MODIFIER] ...\n\n"
     "Shows or changes the custom code table (the keypad must be on its custom layout).\n"
     "KEY is Left, Right, Down, Up or Enter. CODE is a HID keyboard code in hex (0x50) or\n"
     "its name (LeftArrow, a, Enter, F13 ...). MODIFIER is None, LeftCtrl, LeftShift,\n"
     "LeftAlt, LeftGui, RightCtrl, RightShift, RightAlt or RightGui; without one the key's\n"
     "modifier stays as it is.\n"
     "Example: navkeypad table set left=0x50 up=0x52+LeftCtrl\n"},
    {"save",
     "Usage: navkeypad save [--file F]\n\nMakes the keypad store its settings as its defaults "
     "and writes layout, brightness,\ncode table and serial number into the configuration "
     "file.\n"},
    {"restore",
     "Usage: navkeypad restore [--file F]\n\nSends layout, code table (custom layouts) and "
     "brightness saved in the file to the keypad.\n"},
    {"factory-reset",
     "Usage: navkeypad factory-reset\n\nPuts the keypad back to its factory settings; it "
     "restarts afterwards.\n"},
    {"upgrade",
     "Usage: navkeypad upgrade FIRMWARE.txt\n\nReplaces the keypad's firmware with a TI-TXT "
     "image through its bootstrap loader,\nthen gives it back its serial number, layout, code "
     "table and brightness.\n"},
};

const char* const kKeyNames[] = {"Left", "Right", "Down", "Up", "Enter"};
const char* const kLayoutNames[] = {"default", "alternate", "custom"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string JsonText(const std::string& text) {
  std::string quoted = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      quoted += escaped;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

// The key code's name in the vocabulary, without its code in front.
std::string CodeName(uint8_t code) {
  if (code >= kKeyCodeNameCount) return "";
  const std::string& entry = keyCodeNameArray[code];
  return entry.substr(entry.find_first_not_of(' ', 4));
}

std::string ModifierName(uint8_t byte) {
  const int position = ModifierUsageToIndex(byte);
  if (!HasModifierPosition(position)) return FormatKeyCode(byte);
  std::string name = modifierNameArray[position];
  name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
  return name;
}

std::optional<uint8_t> ParseCode(const std::string& text) {
  if (text.size() > 2 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str() + 2, &end, 16);
    if (*end != '\0' || value > 0xFF) return std::nullopt;
    return static_cast<uint8_t>(value);
  }
  for (std::size_t code = 0; code < kKeyCodeNameCount; ++code) {
    if (Lower(CodeName(static_cast<uint8_t>(code))) == Lower(text)) {
      return static_cast<uint8_t>(code);
    }
  }
  return std::nullopt;
}

std::optional<uint8_t> ParseModifier(const std::string& text) {
  for (int position = 0; position < static_cast<int>(kModifierNameCount); ++position) {
    if (Lower(ModifierName(ModifierIndexToUsage(position))) == Lower(text)) {
      return ModifierIndexToUsage(position);
    }
  }
  return std::nullopt;
}

// Quoted for a POSIX shell when it holds anything but the plainest characters.
std::string ShellQuoted(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return std::isalnum(c) || std::strchr("/._-+:,=@", c) != nullptr;
  });
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string LayoutName(int type) {
  if (type >= 0 && type <= 2) return kLayoutNames[type];
  return "type " + std::to_string(type);
}

class Command {
 public:
  Command(std::vector<std::string> positional, std::optional<std::string> device,
          std::optional<std::string> file, bool json, Io io)
      : positional_(std::move(positional)),
        device_(std::move(device)),
        file_(std::move(file)),
        json_(json),
        io_(io) {}
  ~Command() { disconnect(); }

  int run() {
    const std::string& name = positional_[0];
    if (name == "list") return list();
    if (name == "status") return withKeypad([this] { return status(); });
    if (name == "brightness") return brightness();
    if (name == "layout") return layout();
    if (name == "table") return table();
    if (name == "save") return withKeypad([this] { return save(); });
    if (name == "restore") return restore();
    if (name == "factory-reset") return withKeypad([this] { return factoryReset(); });
    if (name == "upgrade") return upgrade();
    io_.err << "navkeypad: no command '" << name << "'; see 'navkeypad --help'.\n";
    return kBadInput;
  }

 private:
  int fail(int status, const std::string& message) {
    io_.err << "navkeypad: " << message << "\n";
    return status;
  }

  // Opens the one keypad the command is for.
  int connect() {
    const auto keypads = ListKeypads();
    std::vector<KeypadOnBus> chosen;
    for (const auto& keypad : keypads) {
      if (!device_ || keypad.path == *device_) chosen.push_back(keypad);
    }
    if (chosen.empty()) {
      if (device_) return fail(kNoKeypad, "no keypad at " + *device_ + "; see 'navkeypad list'.");
      return fail(kNoKeypad, "no navigation keypad found. Plug it in and try again.");
    }
    if (chosen.size() > 1) {
      io_.err << "navkeypad: " << chosen.size()
              << " keypads are attached; pick one with --device PATH:\n";
      for (const auto& keypad : chosen) io_.err << "  " << keypad.path << "\n";
      return kBadInput;
    }
    if (!chosen[0].accessible) {
      return fail(kNotAccessible, "the keypad at " + chosen[0].path + " cannot be opened (" +
                                      chosen[0].problem + ").\n" + AccessAdvice());
    }
    hid_handle = OpenKeypad(chosen[0].path);
    if (hid_handle == nullptr) return fail(kNotAccessible, "the keypad could not be opened.");
    path_ = chosen[0].path;
    return kDone;
  }

  void disconnect() {
    if (hid_handle != nullptr) hid_exit_safely(hid_handle);
    hid_handle = nullptr;
  }

  template <typename Action>
  int withKeypad(Action action) {
    if (const int status = connect(); status != kDone) return status;
    return action();
  }

  std::optional<DeviceStatus> readStatus() {
    std::vector<uint8_t> record;
    if (SendKeypadCommand(CMD_GET_STATUS, {}, &record) != kExchangeOk) return std::nullopt;
    return DecodeStatusRecord(record);
  }

  int send(uint8_t command, const std::vector<uint8_t>& payload, const std::string& what) {
    if (SendKeypadCommand(command, payload) != kExchangeOk) {
      return fail(kKeypadFailed, "the keypad did not accept " + what +
                                     ". Check that it is still plugged in and try again.");
    }
    return kDone;
  }

  int statusFailed() {
    return fail(kKeypadFailed,
                "the keypad did not answer its status request. Plug it in again and retry.");
  }

  int list() {
    const auto keypads = ListKeypads();
    if (json_) io_.out << "[";
    bool anyAccessible = false;
    for (std::size_t i = 0; i < keypads.size(); ++i) {
      const auto& keypad = keypads[i];
      std::optional<DeviceStatus> status;
      if (keypad.accessible) {
        hid_handle = OpenKeypad(keypad.path);
        status = readStatus();
        disconnect();
        anyAccessible = true;
      }
      if (json_) {
        io_.out << (i ? ", " : "") << "{\"path\": " << JsonText(keypad.path)
                << ", \"accessible\": " << (keypad.accessible ? "true" : "false");
        if (status) {
          io_.out << ", \"serialNumber\": " << JsonText(status->serialNumber)
                  << ", \"firmwareVersion\": " << JsonText(status->firmwareVersion);
        }
        if (!keypad.accessible) io_.out << ", \"problem\": " << JsonText(keypad.problem);
        io_.out << "}";
      } else if (status) {
        io_.out << keypad.path << "  serial " << status->serialNumber << "  firmware "
                << status->firmwareVersion << "\n";
      } else if (keypad.accessible) {
        io_.out << keypad.path << "  (does not answer)\n";
      } else {
        io_.out << keypad.path << "  not accessible: " << keypad.problem << "\n";
      }
    }
    if (json_) io_.out << "]\n";
    if (keypads.empty()) {
      if (!json_) io_.err << "navkeypad: no navigation keypad found.\n";
      return kNoKeypad;
    }
    if (!anyAccessible) {
      io_.err << AccessAdvice() << "\n";
      return kNotAccessible;
    }
    return kDone;
  }

  int status() {
    const auto status = readStatus();
    if (!status) return statusFailed();
    if (json_) {
      io_.out << "{\"path\": " << JsonText(path_)
              << ", \"firmwareVersion\": " << JsonText(status->firmwareVersion)
              << ", \"serialNumber\": " << JsonText(status->serialNumber)
              << ", \"ledBrightness\": " << int{status->ledBrightness}
              << ", \"keypadType\": " << int{status->keypadType}
              << ", \"layout\": " << JsonText(LayoutName(status->keypadType))
              << ", \"jackIn\": " << (status->jackState == 0 ? "true" : "false")
              << ", \"orientation\": "
              << JsonText(status->orientation == 0 ? "vertical" : "horizontal")
              << ", \"temperature\": " << JsonText(status->temperature) << ", \"codeTable\": [";
      for (std::size_t key = 0; key < kNavigationKeyCount; ++key) {
        const auto entry = status->codeTable.entry(static_cast<NavigationKey>(key));
        io_.out << (key ? ", " : "") << "{\"key\": " << JsonText(kKeyNames[key])
                << ", \"code\": " << int{entry.keyCode}
                << ", \"name\": " << JsonText(CodeName(entry.keyCode))
                << ", \"modifier\": " << JsonText(ModifierName(entry.modifier)) << "}";
      }
      io_.out << "]}\n";
      return kDone;
    }
    io_.out << "Keypad          " << path_ << "\n"
            << "Firmware        " << status->firmwareVersion << "\n"
            << "Serial number   " << status->serialNumber << "\n"
            << "LED brightness  " << int{status->ledBrightness} << "\n"
            << "Layout          " << LayoutName(status->keypadType) << "\n"
            << "Audio jack      " << (status->jackState == 0 ? "in" : "out") << "\n"
            << "Orientation     " << (status->orientation == 0 ? "vertical" : "horizontal") << "\n";
    printTable(status->codeTable);
    return kDone;
  }

  void printTable(const KeyCodeTable& table) {
    io_.out << "Code table\n";
    for (std::size_t key = 0; key < kNavigationKeyCount; ++key) {
      const auto entry = table.entry(static_cast<NavigationKey>(key));
      char line[96];
      std::snprintf(line, sizeof line, "  %-6s %s %-15s %s\n", kKeyNames[key],
                    FormatKeyCode(entry.keyCode).c_str(), CodeName(entry.keyCode).c_str(),
                    ModifierName(entry.modifier).c_str());
      io_.out << line;
    }
  }

  int brightness() {
    if (positional_.size() != 2) return fail(kBadInput, "usage: navkeypad brightness N (0 to 9)");
    const auto level = cfg::ParseDecimal(positional_[1]);
    if (!level || *level < 0 || *level > kMaxLedBrightness) {
      return fail(kBadInput, "the LED brightness is a whole number from 0 to 9, not '" +
                                 positional_[1] + "'.");
    }
    return withKeypad([&] {
      const int result =
          send(CMD_SET_LED_BRIGHTNESS, {static_cast<uint8_t>(*level)}, "the LED brightness");
      if (result == kDone) io_.out << "LED brightness set to " << *level << ".\n";
      return result;
    });
  }

  int layout() {
    const auto* end = std::end(kLayoutNames);
    const auto* found = positional_.size() == 2
                            ? std::find(std::begin(kLayoutNames), end, Lower(positional_[1]))
                            : end;
    if (found == end) return fail(kBadInput, "usage: navkeypad layout default|alternate|custom");
    const auto type = static_cast<uint8_t>(found - std::begin(kLayoutNames));
    return withKeypad([&] {
      const int result = send(CMD_SET_KEYPAD_TYPE, {type}, "the layout");
      if (result == kDone) io_.out << "The keypad uses its " << *found << " code table.\n";
      return result;
    });
  }

  int table() {
    const bool setting = positional_.size() >= 2 && positional_[1] == "set";
    if (!setting && positional_.size() != 1)
      return fail(kBadInput, "see 'navkeypad table --help'.");
    if (setting && positional_.size() == 2) {
      return fail(kBadInput, "name the keys to change, for example: table set left=0x50");
    }
    // Every assignment is checked before the keypad is asked anything.
    std::vector<std::pair<std::size_t, std::pair<uint8_t, std::optional<uint8_t>>>> changes;
    for (std::size_t i = 2; setting && i < positional_.size(); ++i) {
      const std::string& assignment = positional_[i];
      const auto equals = assignment.find('=');
      const std::string keyName = Lower(assignment.substr(0, equals));
      const auto* key = std::find_if(std::begin(kKeyNames), std::end(kKeyNames),
                                     [&](const char* name) { return Lower(name) == keyName; });
      if (equals == std::string::npos || key == std::end(kKeyNames)) {
        return fail(kBadInput,
                    "'" + assignment + "' is not KEY=CODE; KEY is Left, Right, Down, Up or Enter.");
      }
      const std::string value = assignment.substr(equals + 1);
      const auto plus = value.find('+');
      const auto code = ParseCode(value.substr(0, plus));
      if (!code) {
        return fail(kBadInput, "'" + value.substr(0, plus) +
                                   "' is neither a hex code (0x00 to 0xFF) nor a key name.");
      }
      std::optional<uint8_t> modifier;
      if (plus != std::string::npos) {
        modifier = ParseModifier(value.substr(plus + 1));
        if (!modifier) {
          return fail(kBadInput, "'" + value.substr(plus + 1) +
                                     "' is not a modifier; see 'navkeypad table --help'.");
        }
      }
      changes.push_back({static_cast<std::size_t>(key - std::begin(kKeyNames)), {*code, modifier}});
    }
    return withKeypad([&] {
      const auto status = readStatus();
      if (!status) return statusFailed();
      if (status->keypadType != kKeypadTypeCustom) {
        return fail(kBadInput, "the keypad uses its " + LayoutName(status->keypadType) +
                                   " code table; the custom one is edited after 'navkeypad "
                                   "layout custom'.");
      }
      KeyCodeTable table = status->codeTable;
      if (!setting) {
        printTable(table);
        return static_cast<int>(kDone);
      }
      for (const auto& [key, change] : changes) {
        KeyCodeEntry entry = table.entry(static_cast<NavigationKey>(key));
        entry.keyCode = change.first;
        if (change.second) entry.modifier = *change.second;
        table.setEntry(static_cast<NavigationKey>(key), entry);
      }
      const int result =
          send(CMD_LOAD_TABLE, {table.bytes.begin(), table.bytes.end()}, "the code table");
      if (result == kDone) printTable(table);
      return result;
    });
  }

  std::string configFile() { return file_ ? *file_ : DefaultConfigFile(); }

  int save() {
    if (int result = send(CMD_WRITE_DEFAULT, {}, "storing its settings"); result != kDone) {
      return result;
    }
    const auto status = readStatus();
    if (!status) return statusFailed();
    const std::string file = configFile();
    if (file.empty()) return fail(kBadInput, "there is no data folder; name a file with --file.");
    try {
      if (!std::filesystem::exists(file)) {
        // A fresh account may not have its data folder yet.
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
        if (!CIniFile::Create(file) || !CIniFile::AddSection(cfg::kSection, file)) {
          return fail(kBadInput, "cannot create " + file + ".");
        }
        for (const char* key : cfg::kAllKeys) CIniFile::SetValue(key, "", cfg::kSection, file);
      }
      cfg::SavedState state{status->keypadType, status->ledBrightness, status->codeTable,
                            status->serialNumber};
      for (const auto& [key, value] : cfg::ValuesToSave(state)) {
        if (!CIniFile::SetValue(key, value, cfg::kSection, file)) {
          return fail(kBadInput, "cannot write " + key + " into " + file + ".");
        }
      }
    } catch (const IniFormatError&) {
      return fail(kBadInput, cfg::DamagedFileMessage());
    }
    io_.out << "Saved the keypad's settings in " << file << ".\n";
    return kDone;
  }

  int restore() {
    const std::string file = configFile();
    cfg::StoredSettings stored;
    try {
      stored = cfg::ReadStoredSettings(file);
    } catch (const IniFormatError&) {
      return fail(kBadInput, cfg::DamagedFileMessage());
    }
    if (!stored.saved) {
      return fail(kBadInput, file + " holds no saved settings yet; run 'navkeypad save' first.");
    }
    if (!stored.problem.empty()) return fail(kBadInput, stored.problem);
    return withKeypad([&] {
      for (const auto& step : stored.steps) {
        if (SendKeypadCommand(step.command, step.payload) != kExchangeOk) {
          return fail(kKeypadFailed, step.failureMessage);
        }
      }
      io_.out << "Sent the settings saved in " << file << " to the keypad.\n";
      return static_cast<int>(kDone);
    });
  }

  int factoryReset() {
    const int result = send(CMD_RESET_TO_DEFAULT, {}, "the factory reset");
    if (result == kDone) io_.out << "The keypad is back to its factory settings and restarts.\n";
    return result;
  }

  void progress(int percent, const std::string& text) {
    std::string line = text;
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    while (!line.empty() && line.back() == '\n') line.pop_back();
    std::replace(line.begin(), line.end(), '\n', ' ');
    if (io_.terminal) {
      const int filled = percent / 5;
      io_.err << "\r[" << std::string(filled, '#') << std::string(20 - filled, ' ') << "] "
              << percent << "%  " << line << "\033[K" << std::flush;
      if (percent == 100) io_.err << "\n";
    } else if (!line.empty()) {
      io_.err << percent << "% " << line << "\n";
    }
  }

  // Polls for the keypad (or its loader) to appear, up to `seconds`.
  template <typename Present>
  static bool waitFor(Present present, int seconds) {
    for (int waited = 0; waited <= seconds * 1000; waited += 100) {
      if (present()) return true;
      platform::clock().sleepMs(100);
    }
    return false;
  }

  // The command that picks up an upgrade where it stopped.
  std::string resumeCommand(const std::string& firmware) const {
    std::error_code ignored;
    return io_.program + " upgrade " +
           ShellQuoted(std::filesystem::absolute(firmware, ignored).string());
  }

  int upgrade() {
    if (positional_.size() != 2) return fail(kBadInput, "usage: navkeypad upgrade FIRMWARE.txt");
    const std::string path = positional_[1];
    // Everything the upgrade needs is at hand and checked before any keypad is looked for.
    const std::string configFile = DefaultConfigFile();
    const auto loader = firmware::FindLoaderTexts(configFile);
    if (!loader.texts) return fail(kBadInput, loader.problem);
    if (const std::string problem = firmware::FirmwareFileProblem(path); !problem.empty()) {
      return fail(kBadInput, firmware::FirmwareFileRefusal(path, problem) + ".");
    }
    firmware::UseLoaderTexts(*loader.texts);
    const std::string recordFile = firmware::PendingUpgradeFile(configFile);
    if (recordFile.empty()) {
      return fail(kBadInput,
                  "there is no data folder to keep the keypad's settings in during the upgrade "
                  "(set HOME or XDG_DATA_HOME); nothing was sent to the keypad.");
    }
    const auto pending = firmware::ReadPendingUpgrade(recordFile);
    if (!pending.problem.empty()) {
      return fail(kBadInput, pending.problem + " Nothing was sent to the keypad.");
    }

    const auto keypads = ListKeypads();
    const uint32_t loaders = BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId);
    std::optional<firmware::PendingUpgrade> record;
    if (!keypads.empty() || device_) {
      // The loader is addressed by its place on the bus: beside another waiting loader there
      // is no telling which one is this keypad.
      if (loaders > 0) {
        return fail(kKeypadFailed,
                    "a keypad is already waiting in its loader; with two loaders there is no "
                    "telling which is which. Finish that upgrade first (plug in only that "
                    "keypad and run '" +
                        resumeCommand(path) + "'), or unplug it. Nothing was sent.");
      }
      if (const int status = connect(); status != kDone) return status;
      const auto status = readStatus();
      if (!status) return statusFailed();
      firmware::PendingUpgrade current;
      current.settings.serialNumber = status->serialNumber;
      current.settings.keypadType = status->keypadType;
      current.settings.ledBrightness = status->ledBrightness;
      std::copy(status->codeTable.bytes.begin(), status->codeTable.bytes.end(),
                current.settings.keyCodes.begin());
      current.keypadPath = path_;
      current.firmwareVersion = status->firmwareVersion;
      for (const auto& keypad : keypads) {
        if (keypad.path != path_) current.otherKeypads.push_back(keypad.path);
      }
      const auto handOver = firmware::DecideHandOver(pending.record, current);
      if (handOver.kind == firmware::HandOver::kConflict) {
        return fail(kKeypadFailed,
                    "the upgrade of keypad " +
                        handOver.record.settings.serialNumber.value_or("(no serial number)") +
                        " has not finished; its settings are kept in " + recordFile +
                        ". Finish it first: plug in only that keypad and run '" +
                        resumeCommand(path) + "'. Nothing was sent.");
      }
      record = handOver.record;
      if (!firmware::WritePendingUpgrade(recordFile, *record)) {
        return fail(kBadInput, "cannot write " + recordFile +
                                   ", where the keypad's settings are kept during the upgrade; "
                                   "nothing was sent to the keypad.");
      }
      if (send(CMD_ENTER_FIRMWARE_UPGRADE, {}, "the switch to its loader") != kDone) {
        io_.err << "navkeypad: its settings are kept in " << recordFile
                << "; to retry, run: " << resumeCommand(path) << "\n";
        return kKeypadFailed;
      }
      disconnect();
      if (!waitFor([] { return BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 0; }, 10)) {
        return fail(kKeypadFailed,
                    "the keypad's loader did not appear; its settings are kept in " + recordFile +
                        ". Unplug the keypad, plug it in again, then run: " + resumeCommand(path));
      }
      if (BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 1) {
        return fail(kKeypadFailed,
                    "more than one keypad is waiting in its loader; its settings are kept in " +
                        recordFile + ". Unplug all but this one, then run: " + resumeCommand(path));
      }
    } else {
      // No keypad in its application: finish the upgrade of one waiting in its loader.
      if (loaders == 0)
        return fail(kNoKeypad, "no navigation keypad found. Plug it in and try again.");
      if (loaders > 1) {
        return fail(kKeypadFailed, std::to_string(loaders) +
                                       " keypads are waiting in their loaders; unplug all but "
                                       "one and run the upgrade again.");
      }
      record = pending.record;
      if (record) {
        record->otherKeypads.clear();
        if (!firmware::WritePendingUpgrade(recordFile, *record)) {
          return fail(kBadInput, "cannot write " + recordFile + "; nothing was sent.");
        }
        io_.err << "navkeypad: finishing the upgrade of keypad "
                << record->settings.serialNumber.value_or("(no serial number)") << ".\n";
      } else {
        io_.err << "navkeypad: a keypad waits in its loader, and no record of its settings was "
                   "found: it is upgraded, but its serial number and settings cannot be "
                   "restored.\n";
      }
    }

    firmware::DownloadSequence sequence(
        {}, [this](int percent, const std::string& text) { progress(percent, text); });
    const bool written = sequence.CustomSelectedFirmware(path);
    BSL_close_BSL();
    const std::string kept = record ? "; its settings are kept in " + recordFile : std::string();
    if (!written) {
      return fail(kKeypadFailed, "the firmware was not written and the keypad waits in its loader" +
                                     kept + ". To try again, run: " + resumeCommand(path));
    }
    platform::clock().sleepMs(firmware::kKeypadStartMs);
    const std::vector<std::string> others =
        record ? record->otherKeypads : std::vector<std::string>{};
    waitFor(
        [&] {
          return firmware::FindReturnedKeypad(others).kind != firmware::ReturnedKeypad::kNone;
        },
        10);
    if (!record) {
      io_.out << "Firmware installed; no serial number or settings were restored.\n";
      return kDone;
    }
    const auto restored = firmware::RestoreUpgradedKeypad(record->settings, others);
    switch (restored.kind) {
      case firmware::RestoreResult::kNotFound:
        return fail(kKeypadFailed, "the keypad did not come back after the upgrade" + kept +
                                       ". Plug it in again, then run: " + resumeCommand(path));
      case firmware::RestoreResult::kAmbiguous:
        return fail(kKeypadFailed, firmware::AmbiguousRestoreMessage(recordFile) +
                                       " Then run: " + resumeCommand(path));
      case firmware::RestoreResult::kStepFailed:
        return fail(kKeypadFailed, restored.failureMessage + " The settings are kept in " +
                                       recordFile + "; to finish, run: " + resumeCommand(path));
      case firmware::RestoreResult::kRestored:
        break;
    }
    firmware::RemovePendingUpgrade(recordFile);
    const auto after = readStatus();
    io_.out << "Firmware " << (after ? after->firmwareVersion : std::string("?"))
            << " installed; serial number and settings restored.\n";
    return kDone;
  }

  std::vector<std::string> positional_;
  std::optional<std::string> device_;
  std::optional<std::string> file_;
  bool json_;
  Io io_;
  std::string path_;
};

}  // namespace

std::string DefaultConfigFile() {
  std::filesystem::path data;
#ifdef _WIN32
  if (const char* local = std::getenv("LOCALAPPDATA")) data = local;
#elif defined(__APPLE__)
  if (const char* home = std::getenv("HOME"))
    data = std::filesystem::path(home) / "Library" / "Application Support";
#else
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg != '\0') {
    data = xdg;
  } else if (const char* home = std::getenv("HOME")) {
    data = std::filesystem::path(home) / ".local" / "share";
  }
#endif
  if (data.empty()) return {};
  return (data / cfg::kConfigFolderName / cfg::kConfigFileName).string();
}

int Run(const std::vector<std::string>& arguments, Io io) {
  std::vector<std::string> positional;
  std::optional<std::string> device;
  std::optional<std::string> file;
  bool json = false;
  bool help = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      help = true;
    } else if (argument == "--json") {
      json = true;
    } else if (argument == "--device" || argument == "--file") {
      if (i + 1 == arguments.size()) {
        io.err << "navkeypad: " << argument << " needs a value.\n";
        return kBadInput;
      }
      (argument == "--device" ? device : file) = arguments[++i];
    } else if (argument.size() > 1 && argument[0] == '-') {
      io.err << "navkeypad: unknown option '" << argument << "'; see 'navkeypad --help'.\n";
      return kBadInput;
    } else {
      positional.push_back(argument);
    }
  }
  if (help) {
    const auto found = positional.empty() ? kCommandHelp.end() : kCommandHelp.find(positional[0]);
    io.out << (found != kCommandHelp.end() ? found->second : kUsage);
    return kDone;
  }
  if (positional.empty()) {
    io.err << kUsage;
    return kBadInput;
  }
  return Command(positional, device, file, json, io).run();
}

}  // namespace navkeypad::cli
