#include "device/keypad_commands.h"

#include <algorithm>

namespace navkeypad {

KeyCodeEntry KeyCodeTable::entry(NavigationKey key) const {
  const auto index = 2 * static_cast<std::size_t>(key);
  return {bytes[index], bytes[index + 1]};
}

void KeyCodeTable::setEntry(NavigationKey key, KeyCodeEntry value) {
  const auto index = 2 * static_cast<std::size_t>(key);
  bytes[index] = value.modifier;
  bytes[index + 1] = value.keyCode;
}

std::array<uint8_t, kSerialNumberPayloadSize> SerialNumberPayload(const std::string& serial) {
  std::array<uint8_t, kSerialNumberPayloadSize> payload{};
  const std::size_t count = std::min(serial.size(), payload.size());
  std::copy_n(serial.begin(), count, payload.begin());
  return payload;
}

namespace {

// Reads a zero-terminated text starting at `offset`; returns the offset after its terminator.
std::size_t ReadText(std::span<const uint8_t> record, std::size_t offset, std::string& text) {
  text.clear();
  while (offset < record.size() && record[offset] != 0) {
    text.push_back(static_cast<char>(record[offset]));
    ++offset;
  }
  return offset + 1;
}

}  // namespace

std::optional<DeviceStatus> DecodeStatusRecord(std::span<const uint8_t> record) {
  if (record.size() < kStatusFixedBytes) return std::nullopt;
  DeviceStatus status;
  status.ledBrightness = record[0];
  status.keypadType = record[1];
  status.jackState = record[2];
  status.orientation = record[3];
  std::copy_n(record.begin() + 4, kCodeTableSize, status.codeTable.bytes.begin());
  std::size_t offset = ReadText(record, kStatusFixedBytes, status.firmwareVersion);
  offset = ReadText(record, offset, status.serialNumber);
  ReadText(record, offset, status.temperature);
  return status;
}

std::vector<uint8_t> EncodeStatusRecord(const DeviceStatus& status) {
  constexpr std::size_t kMaxRecord = kMaxResultLength - 1;
  std::vector<uint8_t> record;
  record.reserve(kMaxRecord);
  for (uint8_t byte :
       {status.ledBrightness, status.keypadType, status.jackState, status.orientation}) {
    record.push_back(byte);
  }
  for (uint8_t byte : status.codeTable.bytes) record.push_back(byte);
  for (const std::string* text :
       {&status.firmwareVersion, &status.serialNumber, &status.temperature}) {
    if (record.size() == kMaxRecord) break;
    const std::size_t count = std::min(text->size(), kMaxRecord - record.size() - 1);
    for (std::size_t i = 0; i < count; ++i) record.push_back(static_cast<uint8_t>((*text)[i]));
    record.push_back(0);
  }
  return record;
}

int32_t SendKeypadCommand(uint8_t command, std::span<const uint8_t> payload,
                          std::vector<uint8_t>* data, int32_t timeoutMs) {
  std::array<uint8_t, kReportSize> response{};
  uint32_t length = 0;
  // The shared handle is read under the exchange lock, so a scan on another thread cannot
  // close it between the read and the exchange.
  std::lock_guard lock(ExchangeMutex());
  const int32_t result =
      ExchangeLocked(hid_handle, command, payload.data(), static_cast<int32_t>(payload.size()),
                     response.data(), static_cast<int32_t>(response.size()), &length, timeoutMs);
  if (result == kExchangeOk && data != nullptr) {
    data->assign(response.begin(), response.begin() + length);
  }
  return result;
}

std::string SerialNumberProblem(const std::string& serial) {
  // The keypad keeps the text and its terminating zero in its 12-byte field; blanks, control
  // characters and what a configuration file cannot hold would not come back as they went.
  const bool printable = std::all_of(serial.begin(), serial.end(), [](char c) {
    return c > ' ' && c <= '~' && c != '[' && c != ']';
  });
  if (!serial.empty() && serial.size() < kSerialNumberPayloadSize && printable) return {};
  return "a serial number is 1 to " + std::to_string(kSerialNumberPayloadSize - 1) +
         " printable characters without blanks or brackets, not '" + serial + "'.";
}

}  // namespace navkeypad
