#include "store/pending_records.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "store/bench_folder.h"
#include "support/atomic_file.h"
#include "support/hex.h"
#include "support/paths.h"
#include "support/program_lock.h"

namespace navkeypad::store {

namespace fs = std::filesystem;
using nlohmann::json;

std::string PendingUpgradeFile(const std::string& configFile) {
  return BenchFile(configFile, kPendingUpgradeFileName);
}

std::string PendingUpgradeFileProblem(const std::string& file) {
  if (file.empty()) return "there is no data folder to keep it in";
  if (std::string problem = SharedFolderProblemFor(file); !problem.empty()) return problem;
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
  if (!support::WriteFileAtomically(file, text)) return false;
  ShareWithBench(file);
  return true;
}

std::string UpdatePendingUpgrades(const std::string& file,
                                  const std::function<void(std::vector<PendingUpgrade>&)>& change,
                                  std::vector<PendingUpgrade>* records) {
  if (const std::string problem = PendingUpgradeFileProblem(file); !problem.empty()) return problem;
  support::ProgramLock lock;
  if (std::string problem = LockBeside(lock, file); !problem.empty()) return problem;
  PendingUpgradeRead read = ReadPendingUpgrades(file);
  if (!read.problem.empty()) return read.problem;
  change(read.records);
  if (!WritePendingUpgrades(file, read.records)) return file + " cannot be written";
  if (records) *records = std::move(read.records);
  return {};
}

}  // namespace navkeypad::store
