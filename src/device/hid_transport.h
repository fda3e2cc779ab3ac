// The keypad's configuration channel: 64-byte HID reports on USB interface 1, carrying
// one request frame and one result frame per exchange.
#pragma once

#include <hidapi/hidapi.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

// The one open keypad, shared by every window and worker: opened and closed by
// OpenSharedKeypad/CloseSharedKeypad (device/keypad_bus.h) and the main window's scan, read
// under ExchangeMutex().
extern std::atomic<hid_device*> hid_handle;

namespace navkeypad {

inline constexpr int32_t kKeypadVendorId = 0x2047;
inline constexpr int32_t kKeypadProductId = 0x09E1;
inline constexpr int kConfigurationInterface = 1;

inline constexpr std::size_t kReportSize = 64;
inline constexpr uint8_t kRequestReportId = 0x3F;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kFrameAcknowledge = 0x06;
inline constexpr uint8_t kFrameRefused = 0x0F;
// 7 header bytes + payload + ETX + checksum must fit one report.
inline constexpr int32_t kMaxRequestPayload = 55;
// A result frame's N counts the status byte; ETX and checksum follow at 7+N and 8+N.
inline constexpr int32_t kMaxResultLength = 55;

// Every sender in the utility waits this long (counted in empty 10 ms polls).
inline constexpr int32_t kDefaultTimeoutMs = 5000;
inline constexpr int32_t kPollIntervalMs = 10;

// Size of the text buffers the callers of the scan pass in.
inline constexpr std::size_t kDeviceTextCapacity = 48;

enum ExchangeResult : int32_t {
  kExchangeOk = 0,
  kExchangeDeviceError = -1,
  kExchangeTimeout = -6,
  kExchangeOverlongReport = -8,
  kExchangeRefused = -13,
};

using Report = std::array<uint8_t, kReportSize>;

// Serialises whole exchanges (write, then the wait for the result frame): a result frame is
// taken as the answer to whatever was sent last, so two exchanges must never interleave.
std::mutex& ExchangeMutex();
// hidapi keeps one global error string shared by hid_init, hid_exit, hid_enumerate and
// hid_open_path; every caller of those takes this lock (the loader library too).
std::mutex& HidGlobalStateMutex();

char EncodeHexDigit(uint8_t nibble);
// Only 0-9 and upper-case A-F carry a value; every other character reads as 0.
uint8_t DecodeHexDigit(uint8_t character);

// Builds the request report; false when the payload does not fit one report.
bool BuildRequestReport(uint8_t command, std::span<const uint8_t> payload, Report& report);

uint8_t FrameChecksum(std::span<const uint8_t> bytes);

// USBEncoderSendAndReceive_a for a caller that already holds ExchangeMutex().
int32_t ExchangeLocked(hid_device* device, uint8_t command, const uint8_t* payload,
                       int32_t payloadLength, uint8_t* response, int32_t responseCapacity,
                       uint32_t* responseLength, int32_t timeoutMs);

}  // namespace navkeypad

// Finds the first HID interface with the given IDs whose USB interface number is 1, opens it
// and puts it in non-blocking mode. Both text buffers hold kDeviceTextCapacity characters.
hid_device* ScanForUSBDevice_a(int32_t vendorId, int32_t productId, char* manufacturer,
                               char* product);

// The path of the interface the last scan opened; empty when it opened none.
std::string ScannedDevicePath();
// Every keypad's configuration interface the last scan saw, in the order of the bus.
std::vector<std::string> ScannedKeypadPaths();
// Scans open this keypad while it is there, the first one otherwise; empty: the first.
void PreferKeypadPath(const std::string& path);

int32_t USBEncoderSendAndReceive_a(hid_device* device, uint8_t command, const uint8_t* payload,
                                   int32_t payloadLength, uint8_t* response,
                                   int32_t responseCapacity, uint32_t* responseLength,
                                   int32_t timeoutMs);

// The waiting half of an exchange. A time-out of 0 waits without limit; every
// acknowledgement from the keypad grants a fresh full time-out.
int32_t USBEncoderReceive_a(hid_device* device, uint8_t command, uint8_t* response,
                            int32_t responseCapacity, uint32_t* responseLength, int32_t timeoutMs);

// Closes the device (and clears hid_handle when it is that device). HID library stays up:
// shutting it down here would pull it from under a worker that is enumerating.
void hid_exit_safely(hid_device* device);
// Shuts the HID library down, once, when the program ends.
void ShutDownHid();

// Validates the result frame in a whole report and copies its data bytes.
// Returns 0 or -13; nothing in the response buffer is to be relied on after -13.
int32_t ParseResponseFrame(const uint8_t* report, uint8_t* response, int32_t responseCapacity,
                           uint32_t* responseLength);
