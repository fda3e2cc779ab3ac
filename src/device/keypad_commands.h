// What the utility says to the keypad over the frame exchange: command codes, payloads and
// the status record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/hid_transport.h"

namespace navkeypad {

inline constexpr uint8_t CMD_GET_STATUS = 0x01;
inline constexpr uint8_t CMD_SET_LED_BRIGHTNESS = 0x02;
inline constexpr uint8_t CMD_SET_LED_COLOUR = 0x03;
inline constexpr uint8_t CMD_SET_BUZZER = 0x04;
inline constexpr uint8_t CMD_LOAD_TABLE = 0x05;
inline constexpr uint8_t CMD_SET_BUZZER_PERIOD = 0x06;
inline constexpr uint8_t CMD_SET_KEYPAD_TYPE = 0x07;
inline constexpr uint8_t CMD_SELF_TEST = 0x08;
inline constexpr uint8_t CMD_WRITE_DEFAULT = 0x09;
inline constexpr uint8_t CMD_RESET_TO_DEFAULT = 0x0A;
inline constexpr uint8_t CMD_ENTER_FIRMWARE_UPGRADE = 0x0C;
inline constexpr uint8_t CMD_STATUS_BUZZER = 0x0D;
inline constexpr uint8_t CMD_SET_SERIAL_NUMBER = 0x0E;
inline constexpr uint8_t CMD_SET_LOCAL_VOLUME = 0x0F;
inline constexpr uint8_t CMD_SET_VOLUME_CONFIGURATION = 0x10;

inline constexpr uint8_t kMaxLedBrightness = 9;
inline constexpr uint8_t kKeypadTypeDefault = 0;
// The brightness new firmware starts with (its layout is kKeypadTypeDefault, it has no serial
// number): what a keypad just flashed shows until it is given its settings back.
inline constexpr uint8_t kFreshLedBrightness = 5;
inline constexpr uint8_t kKeypadTypeAlternate = 1;
inline constexpr uint8_t kKeypadTypeCustom = 2;

// Modifier byte of a key: 0 for none, else the HID usage of one modifier key (0xE0-0xE7).
struct KeyCodeEntry {
  uint8_t modifier = 0;
  uint8_t keyCode = 0;
  friend bool operator==(const KeyCodeEntry&, const KeyCodeEntry&) = default;
};

enum class NavigationKey { Left = 0, Right = 1, Down = 2, Up = 3, Enter = 4 };
inline constexpr std::size_t kNavigationKeyCount = 5;
inline constexpr std::size_t kCodeTableSize = 2 * kNavigationKeyCount;

// The 4-way code table exactly as it travels: status bytes 4-13, the CMD_LOAD_TABLE payload,
// the configuration file's CodeTableValues.
struct KeyCodeTable {
  std::array<uint8_t, kCodeTableSize> bytes{};

  KeyCodeEntry entry(NavigationKey key) const;
  void setEntry(NavigationKey key, KeyCodeEntry value);
  friend bool operator==(const KeyCodeTable&, const KeyCodeTable&) = default;
};

inline constexpr std::size_t kSerialNumberPayloadSize = 12;
// The serial number text, zero-terminated when it is shorter than 12 characters.
std::array<uint8_t, kSerialNumberPayloadSize> SerialNumberPayload(const std::string& serial);
// Why `serial` cannot be a keypad's serial number; empty when it can.
std::string SerialNumberProblem(const std::string& serial);

// The data bytes of a CMD_GET_STATUS result frame, decoded.
struct DeviceStatus {
  uint8_t ledBrightness = 0;
  uint8_t keypadType = 0;
  uint8_t jackState = 0;    // 0 = jack in
  uint8_t orientation = 0;  // 0 = vertical
  KeyCodeTable codeTable;
  std::string firmwareVersion;
  std::string serialNumber;
  std::string temperature;
};

inline constexpr std::size_t kStatusFixedBytes = 14;
// A record shorter than its fixed part is no status record. Texts missing a terminator end
// at the last data byte; texts missing altogether are empty.
std::optional<DeviceStatus> DecodeStatusRecord(std::span<const uint8_t> record);
// The keypad's side of the same record, at most 54 bytes (texts are shortened to fit).
std::vector<uint8_t> EncodeStatusRecord(const DeviceStatus& status);

// Every sender goes through here: the shared handle, a 64-byte response buffer and the
// 5000 ms time-out. The result data land in `data` when it is given.
int32_t SendKeypadCommand(uint8_t command, std::span<const uint8_t> payload = {},
                          std::vector<uint8_t>* data = nullptr,
                          int32_t timeoutMs = kDefaultTimeoutMs);

}  // namespace navkeypad
