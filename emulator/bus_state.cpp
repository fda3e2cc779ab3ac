#include "bus_state.h"

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <variant>

#include "bsl430/memory_map.h"
#include "platform/clock.h"
#include "support/atomic_file.h"
#include "support/hex.h"
#include "support/paths.h"
#include "virtual_keypad.h"

namespace virtual_keypad {

using navkeypad::KeyCodeTable;
using nlohmann::json;

namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  auto bytes = support::BytesFromHex(hex);
  if (!bytes) throw std::invalid_argument("flash data is not pairs of hex digits");
  return *bytes;
}

uint8_t Byte(const json& value, const char* what) {
  const int number = value.get<int>();
  if (number < 0 || number > 0xFF) throw std::out_of_range(std::string(what) + " is not a byte");
  return static_cast<uint8_t>(number);
}

uint64_t Milliseconds(const json& value, const char* what) {
  const auto number = value.get<int64_t>();
  constexpr int64_t kADay = 24 * 3600 * 1000;
  if (number < 0 || number > kADay)
    throw std::out_of_range(std::string(what) + " is not from 0 to a day's milliseconds");
  return static_cast<uint64_t>(number);
}

KeyCodeTable TableFrom(const json& value) {
  const auto bytes = value.get<std::vector<json>>();
  if (bytes.size() != navkeypad::kCodeTableSize) {
    throw std::invalid_argument("customTable does not hold ten bytes");
  }
  KeyCodeTable table;
  for (std::size_t i = 0; i < bytes.size(); ++i) table.bytes[i] = Byte(bytes[i], "customTable");
  return table;
}

void ReadSettings(const json& from, KeypadSettings& settings) {
  if (from.contains("ledBrightness"))
    settings.ledBrightness = Byte(from["ledBrightness"], "ledBrightness");
  if (from.contains("keypadType")) settings.keypadType = Byte(from["keypadType"], "keypadType");
  if (from.contains("customTable")) settings.customTable = TableFrom(from["customTable"]);
  for (const auto& [name, field] :
       {std::pair{"ledColour", &settings.ledColour}, std::pair{"buzzer", &settings.buzzer},
        std::pair{"buzzerPeriod", &settings.buzzerPeriod},
        std::pair{"volumeConfiguration", &settings.volumeConfiguration}}) {
    if (from.contains(name)) *field = Byte(from[name], name);
  }
  if (from.contains("localVolume")) {
    const auto levels = from["localVolume"].get<std::vector<json>>();
    if (levels.size() != settings.localVolume.size()) {
      throw std::invalid_argument("localVolume does not hold a level for each of its 5 selectors");
    }
    for (std::size_t i = 0; i < levels.size(); ++i)
      settings.localVolume[i] = Byte(levels[i], "localVolume");
  }
}

json WriteSettings(const KeypadSettings& settings) {
  return {
      {"ledBrightness", settings.ledBrightness},
      {"keypadType", settings.keypadType},
      {"customTable",
       std::vector<int>(settings.customTable.bytes.begin(), settings.customTable.bytes.end())},
      {"ledColour", settings.ledColour},
      {"buzzer", settings.buzzer},
      {"buzzerPeriod", settings.buzzerPeriod},
      {"localVolume", std::vector<int>(settings.localVolume.begin(), settings.localVolume.end())},
      {"volumeConfiguration", settings.volumeConfiguration}};
}

std::vector<uint8_t> Codes(const json& value) {
  std::vector<uint8_t> codes;
  for (const json& code : value) codes.push_back(Byte(code, "command code"));
  return codes;
}

// Every fault a state file can name, with the field of Behaviour it sets and what it does;
// `navkeypad-virtual faults` prints it, and a name not in it is answered with the list.
struct StateFault {
  const char* name;
  std::variant<bool Behaviour::*, int Behaviour::*, std::optional<int> Behaviour::*,
               std::vector<uint8_t> Behaviour::*, std::chrono::microseconds Behaviour::*>
      field;
  const char* meaning;
};
const StateFault kStateFaults[] = {
    {"silent", &Behaviour::silent, "true: no answer to anything"},
    {"responseDelayMs", &Behaviour::responseDelay, "a wait before each report of an answer"},
    {"acknowledgementsBeforeResult", &Behaviour::acknowledgementsBeforeResult,
     "this many acknowledgements before each result"},
    {"acknowledgementGapMs", &Behaviour::acknowledgementGap,
     "a wait between acknowledgements, and before the result they precede"},
    {"lateAnswers", &Behaviour::lateAnswers,
     "this many reports left waiting after each answer: an acknowledgement, then copies of it"},
    {"refuseCommands", &Behaviour::refusedCommands, "command codes refused whenever they come"},
    {"corruptChecksum", &Behaviour::corruptChecksum, "true: answers with a wrong checksum"},
    {"overlongByteCount", &Behaviour::overlongByteCount, "true: answers claim 65 bytes"},
    {"failAfterCommands", &Behaviour::failAfterCommands, "every command after the next N refused"},
    {"nonZeroStatusCommands", &Behaviour::nonZeroStatusCommands,
     "command codes answered with status 0x01"},
    {"unplugAfterCommands", &Behaviour::unplugAfterCommands,
     "pulled off the bus after the next N commands, once"},
    {"refusePassword", &Behaviour::refusePassword,
     "true: the loader takes no password (and mass-erases)"},
    {"corruptLoaderWrite", &Behaviour::corruptWriteNumber,
     "the Nth data write to flash lands with a bit cleared"},
    {"failVersionRead", &Behaviour::failVersionReads, "this many loader version requests fail"},
    {"arrivesWhenAnotherIsPulled", &Behaviour::arrivesWhenAnotherIsPulled,
     "true: off the bus until a fault pulls another keypad's cable, then plugged in"},
    {"pluggedAgainAfterMs", &Behaviour::pluggedAgainAfterMs,
     "a cable that a fault pulls is plugged in again N ms later (on the program's clock), once"},
    {"loaderReplyDelayMs", &Behaviour::loaderReplyDelay,
     "a wait before the loader's replies to an erase or a CRC check"},
    {"ramLoaderReturnMs", &Behaviour::ramLoaderReturnMs,
     "the RAM loader is back on the bus N ms after Load PC starts it (else as the keypad "
     "restarts)"},
    {"unplugAfterLoaderReports", &Behaviour::unplugAfterLoaderReports,
     "the loader leaves the bus after N reports (back at the next start, in its loader if the "
     "reset vector is blank)"},
};

// What a fault's value is, as a state file gives it.
std::string ValueOf(const StateFault& fault) {
  return std::visit(
      [](auto field) -> std::string {
        using Value = std::remove_cvref_t<decltype(Behaviour{}.*field)>;
        if constexpr (std::is_same_v<Value, bool>) return "true";
        if constexpr (std::is_same_v<Value, std::vector<uint8_t>>) return "[CODE, ...]";
        return "N";
      },
      fault.field);
}

Behaviour ReadFaults(const json& faults) {
  Behaviour b;
  for (const auto& item : faults.items()) {
    // Named, not bound: a lambda below reads them.
    const std::string& name = item.key();
    const json& value = item.value();
    const auto* fault = std::find_if(std::begin(kStateFaults), std::end(kStateFaults),
                                     [&](const StateFault& known) { return name == known.name; });
    if (fault == std::end(kStateFaults)) {
      std::string names;
      for (const StateFault& known : kStateFaults)
        names += std::string(names.empty() ? "" : ", ") + known.name;
      throw std::invalid_argument("there is no fault named \"" + name + "\" (the faults are " +
                                  names + "; 'navkeypad-virtual faults' says what each does)");
    }
    std::visit(
        [&](auto field) {
          using Value = std::remove_reference_t<decltype(b.*field)>;
          if constexpr (std::is_same_v<Value, std::vector<uint8_t>>) {
            b.*field = Codes(value);
          } else if constexpr (std::is_same_v<Value, std::chrono::microseconds>) {
            b.*field = std::chrono::milliseconds(value.get<int>());
          } else if constexpr (std::is_same_v<Value, std::optional<int>>) {
            b.*field = value.get<int>();
          } else {
            b.*field = value.get<Value>();
          }
        },
        fault->field);
  }
  return b;
}

json WriteFaults(const Behaviour& b) {
  json faults = json::object();
  for (const StateFault& fault : kStateFaults) {
    std::visit(
        [&](auto field) {
          const auto& value = b.*field;
          using Value = std::remove_cvref_t<decltype(value)>;
          if constexpr (std::is_same_v<Value, std::vector<uint8_t>>) {
            if (!value.empty()) faults[fault.name] = std::vector<int>(value.begin(), value.end());
          } else if constexpr (std::is_same_v<Value, std::chrono::microseconds>) {
            if (value.count() != 0)
              faults[fault.name] =
                  std::chrono::duration_cast<std::chrono::milliseconds>(value).count();
          } else if constexpr (std::is_same_v<Value, std::optional<int>>) {
            if (value) faults[fault.name] = *value;
          } else {
            if (value != Value{}) faults[fault.name] = value;
          }
        },
        fault.field);
  }
  return faults;
}

// Flash as runs of programmed bytes: an erased chip writes nothing.
json WriteFlash(const VirtualKeypad& keypad) {
  json runs = json::array();
  for (auto [start, end] : {std::pair{bsl430::kInfoStart, bsl430::kInfoEnd},
                            std::pair{bsl430::kMainStart, bsl430::kMainEnd}}) {
    const auto bytes = keypad.readMemory(start, end - start);
    std::size_t at = 0;
    while (at < bytes.size()) {
      if (bytes[at] == 0xFF) {
        ++at;
        continue;
      }
      std::size_t last = at;  // a run ends after 16 erased bytes in a row
      std::size_t scan = at;
      while (scan < bytes.size() && scan - last <= 16) {
        if (bytes[scan] != 0xFF) last = scan;
        ++scan;
      }
      runs.push_back({{"address", start + at},
                      {"data", support::HexText(std::span(bytes).subspan(at, last + 1 - at))}});
      at = last + 1;
    }
  }
  return runs;
}

std::shared_ptr<VirtualKeypad> ReadKeypad(const json& entry, std::size_t index) {
  if (!entry.is_object()) throw std::invalid_argument("a keypad is not an object");
  auto keypad =
      std::make_shared<VirtualKeypad>(entry.value("id", "keypad" + std::to_string(index + 1)));
  if (entry.contains("flash")) {
    for (uint32_t at = bsl430::kInfoStart; at < bsl430::kMainEnd; at += 0x200) {
      keypad->loadMemory(at, std::vector<uint8_t>(0x200, 0xFF));
    }
    for (const json& run : entry["flash"]) {
      const auto address = run.at("address").get<uint32_t>();
      const auto bytes = FromHex(run.at("data").get<std::string>());
      if (address + bytes.size() > bsl430::kMainEnd) throw std::out_of_range("flash past 0xFFFF");
      keypad->loadMemory(address, bytes);
    }
    if (entry.contains("firmwareVersion")) keypad->setFirmwareVersion(entry["firmwareVersion"]);
  } else if (entry.contains("firmwareVersion")) {
    keypad->installFactoryFirmware(entry["firmwareVersion"].get<std::string>());
  }
  if (entry.contains("serialNumber")) keypad->setSerialNumber(entry["serialNumber"]);
  if (entry.contains("usbSerial")) keypad->setUsbSerial(entry["usbSerial"].get<std::string>());
  if (entry.contains("port")) {
    const std::string port = entry["port"].get<std::string>();
    if (port.empty()) throw std::invalid_argument("port is empty");
    keypad->setPort(port);
  }
  KeypadSettings settings = keypad->settings();
  ReadSettings(entry, settings);
  keypad->setSettings(settings);
  if (entry.contains("storedDefaults")) {
    KeypadSettings defaults = keypad->storedDefaults();
    ReadSettings(entry["storedDefaults"], defaults);
    keypad->setStoredDefaults(defaults);
  } else {
    keypad->setStoredDefaults(settings);
  }
  if (entry.contains("jackState")) keypad->setJackState(Byte(entry["jackState"], "jackState"));
  if (entry.contains("orientation")) {
    keypad->setOrientation(Byte(entry["orientation"], "orientation"));
  }
  if (entry.contains("temperature")) keypad->setTemperature(entry["temperature"]);
  // One whose node its user may not open: the udev rule missing.
  if (entry.contains("openable")) keypad->setOpenable(entry["openable"].get<bool>());
  if (entry.contains("faults")) keypad->setBehaviour(ReadFaults(entry["faults"]));
  if (entry.contains("restartMs"))
    keypad->setRestartMs(Milliseconds(entry["restartMs"], "restartMs"));
  // Counted from the program's start, on its clock.
  if (entry.contains("arriveAfterMs")) {
    keypad->setAbsentUntil(platform::clock().tickMs() +
                           Milliseconds(entry["arriveAfterMs"], "arriveAfterMs"));
  }
  const std::string mode = entry.value("mode", "application");
  if (mode == "loader") {
    keypad->startInLoader();
  } else if (mode != "application") {
    throw std::invalid_argument("mode is \"" + mode + "\", not \"application\" or \"loader\"");
  }
  return keypad;
}

json WriteKeypad(VirtualKeypad& keypad) {
  const auto status = keypad.status();
  json entry = {{"id", keypad.id()},
                {"port", keypad.port()},
                {"mode", keypad.mode() == Mode::Application ? "application" : "loader"},
                {"serialNumber", status.serialNumber},
                {"usbSerial", keypad.usbSerial()},
                {"firmwareVersion", status.firmwareVersion},
                {"jackState", status.jackState},
                {"orientation", status.orientation},
                {"temperature", status.temperature}};
  entry.update(WriteSettings(keypad.settings()));
  entry["storedDefaults"] = WriteSettings(keypad.storedDefaults());
  entry["flash"] = WriteFlash(keypad);
  entry["faults"] = WriteFaults(keypad.behaviour());
  if (keypad.restartMs() > 0) entry["restartMs"] = keypad.restartMs();
  if (!keypad.openable()) entry["openable"] = false;
  // One not yet back (still to arrive, or restarting) comes back as much later to the next program.
  if (const uint64_t now = platform::clock().tickMs(); keypad.absentUntil() > now)
    entry["arriveAfterMs"] = keypad.absentUntil() - now;
  return entry;
}

}  // namespace

bool LoadBusState(const std::string& file, std::string& problem) {
  std::string text;
  constexpr std::uintmax_t kLargerThanAnyBus = 16u << 20;
  if (const std::string why = support::ReadRegularFile(file, text, kLargerThanAnyBus);
      !why.empty()) {
    problem = file + " " + why;
    return false;
  }
  std::vector<std::shared_ptr<VirtualKeypad>> keypads;
  std::vector<std::shared_ptr<VirtualKeypad>> arriving;
  try {
    const json document = json::parse(text);
    if (!document.is_object()) throw std::invalid_argument("not a JSON object");
    if (document.contains("keypads")) {
      const json& list = document["keypads"];
      if (!list.is_array()) throw std::invalid_argument("\"keypads\" is not a list");
      for (std::size_t i = 0; i < list.size(); ++i) {
        auto keypad = ReadKeypad(list[i], i);
        (keypad->behaviour().arrivesWhenAnotherIsPulled ? arriving : keypads).push_back(keypad);
      }
    }
  } catch (const std::exception& error) {
    problem = file + ": not a virtual bus state: " + error.what();
    return false;
  }
  for (const auto& keypad : keypads) VirtualBus::instance().plugKeypad(keypad);
  for (const auto& keypad : arriving) VirtualBus::instance().plugWhenAnotherIsPulled(keypad);
  return true;
}

bool SaveBusState(const std::string& file, std::string& problem) {
  json keypads = json::array();
  for (const auto& keypad : VirtualBus::instance().keypads())
    keypads.push_back(WriteKeypad(*keypad));
  for (const auto& keypad : VirtualBus::instance().pulledKeypads()) {
    keypad->powerCycle();
    keypads.push_back(WriteKeypad(*keypad));
  }
  for (const auto& keypad : VirtualBus::instance().waitingKeypads())
    keypads.push_back(WriteKeypad(*keypad));
  const json document = {{"keypads", keypads}};
  if (!support::WriteFileAtomically(
          file, document.dump(2, ' ', false, json::error_handler_t::replace) + "\n")) {
    problem = file + ": cannot be written";
    return false;
  }
  return true;
}

ProgramBus::ProgramBus() {
  file_ = support::EnvironmentText("NAVKEYPAD_VIRTUAL_STATE");
  // Two programs on one bus take turns, as two on one real keypad do: the second waits,
  // then reads what the first one left.
  if (!file_.empty() && !lock_.take(file_ + ".lock", true)) {
    problem_ = "cannot lock " + file_ + ".lock" +
               (lock_.problem().empty() ? "" : " (" + lock_.problem() + ")");
    return;
  }
  std::error_code error;
  if (!file_.empty() && std::filesystem::exists(support::PathFromUtf8(file_), error)) {
    LoadBusState(file_, problem_);
  } else {
    VirtualBus::instance().plug();
  }
}

ProgramBus::~ProgramBus() {
  if (!saved_) save();
}

bool ProgramBus::save() {
  // A file that could not be read is left as it is: it may be all someone has of a keypad.
  if (file_.empty() || !problem_.empty()) return problem_.empty();
  saved_ = true;
  const bool saved = SaveBusState(file_, problem_);
  lock_.release();
  return saved;
}

std::string FaultList() {
  std::string list =
      "Faults a keypad of NAVKEYPAD_VIRTUAL_STATE can be given, as\n"
      "\"faults\": {\"NAME\": VALUE, ...} in its entry:\n";
  for (const StateFault& fault : kStateFaults) {
    list += "  " + std::string(fault.name) + " " + ValueOf(fault) + "\n";
    // The meaning below it, in lines of at most 80 columns.
    std::istringstream words(fault.meaning);
    std::string line;
    for (std::string word; words >> word;) {
      if (!line.empty() && 6 + line.size() + 1 + word.size() > 80) {
        list += "      " + line + "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
    }
    list += "      " + line + "\n";
  }
  return list;
}

}  // namespace virtual_keypad
