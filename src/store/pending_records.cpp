#include "store/pending_records.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "support/hex.h"
#include "support/paths.h"

namespace navkeypad::store {

using nlohmann::json;

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

}  // namespace navkeypad::store
