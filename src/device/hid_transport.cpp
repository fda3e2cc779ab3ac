#include "device/hid_transport.h"

#include "device/hid_seam.h"
#include "support/hex.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

std::atomic<hid_device*> hid_handle{nullptr};

namespace navkeypad {

std::mutex& ExchangeMutex() {
  static std::mutex mutex;
  return mutex;
}

std::mutex& HidGlobalStateMutex() {
  static std::mutex mutex;
  return mutex;
}

char EncodeHexDigit(uint8_t nibble) {
  return support::kHexDigits[nibble & 0x0F];
}

uint8_t DecodeHexDigit(uint8_t character) {
  if (character >= '0' && character <= '9') return static_cast<uint8_t>(character - '0');
  if (character >= 'A' && character <= 'F') return static_cast<uint8_t>(character - 'A' + 10);
  return 0;
}

uint8_t FrameChecksum(std::span<const uint8_t> bytes) {
  uint8_t checksum = 0;
  for (uint8_t byte : bytes) checksum ^= byte;
  return checksum;
}

bool BuildRequestReport(uint8_t command, std::span<const uint8_t> payload, Report& report) {
  if (payload.size() > static_cast<std::size_t>(kMaxRequestPayload)) return false;
  report.fill(0);
  const auto length = static_cast<uint8_t>(payload.size());
  report[0] = kRequestReportId;
  report[1] = static_cast<uint8_t>(kReportSize);
  report[2] = kStx;
  report[3] = static_cast<uint8_t>(EncodeHexDigit(command >> 4));
  report[4] = static_cast<uint8_t>(EncodeHexDigit(command));
  report[5] = static_cast<uint8_t>(EncodeHexDigit(length >> 4));
  report[6] = static_cast<uint8_t>(EncodeHexDigit(length));
  std::copy(payload.begin(), payload.end(), report.begin() + 7);
  report[7 + length] = kEtx;
  report[8 + length] = FrameChecksum(std::span(report).subspan(2, 6 + length));
  return true;
}

namespace {

// Keeps the low byte of each wide character, as the keypad's strings are plain ASCII.
void NarrowInto(const wchar_t* wide, char* out) {
  std::size_t i = 0;
  for (; i + 1 < kDeviceTextCapacity && wide[i] != L'\0'; ++i) {
    out[i] = static_cast<char>(static_cast<uint32_t>(wide[i]) & 0xFF);
  }
  out[i] = '\0';
}

void CopyText(const char* text, char* out) {
  std::strncpy(out, text, kDeviceTextCapacity - 1);
  out[kDeviceTextCapacity - 1] = '\0';
}

void DropWaitingReports(hid_device* device) {
  Report stale;
  constexpr int kAtMostOneQueue = 64;
  for (int dropped = 0; dropped < kAtMostOneQueue; ++dropped) {
    if (Hid().readTimeout(device, stale.data(), stale.size(), 0) <= 0) return;
  }
}

// The wait itself; the caller holds the exchange lock.
int32_t WaitForResultFrame(hid_device* device, uint8_t* response, int32_t responseCapacity,
                           uint32_t* responseLength, int32_t timeoutMs) {
  int32_t elapsed = 0;
  Report report;
  for (;;) {
    report.fill(0);
    // Blocking for at most one poll interval keeps the time-out's meaning (a count of
    // empty 10 ms polls) while returning as soon as the keypad answers.
    const int read = Hid().readTimeout(device, report.data(), report.size(), kPollIntervalMs);
    if (read == 0) {
      if (timeoutMs == 0) continue;
      elapsed += kPollIntervalMs;
      if (elapsed >= timeoutMs) return kExchangeTimeout;
      continue;
    }
    if (read < 0) return kExchangeDeviceError;
    if (report[2] == kFrameAcknowledge) {
      elapsed = 0;
      continue;
    }
    if (report[2] == kFrameRefused) return kExchangeRefused;
    if (report[1] > kReportSize) return kExchangeOverlongReport;
    return ParseResponseFrame(report.data(), response, responseCapacity, responseLength);
  }
}

}  // namespace

int32_t ExchangeLocked(hid_device* device, uint8_t command, const uint8_t* payload,
                       int32_t payloadLength, uint8_t* response, int32_t responseCapacity,
                       uint32_t* responseLength, int32_t timeoutMs) {
  if (device == nullptr) return kExchangeDeviceError;
  if (payloadLength < 0 || (payloadLength > 0 && payload == nullptr)) return kExchangeDeviceError;
  Report request;
  const std::span<const uint8_t> payloadBytes(payload, static_cast<std::size_t>(payloadLength));
  if (!BuildRequestReport(command, payloadBytes, request)) return kExchangeDeviceError;
  // Whatever is still waiting (a late answer to a request that timed out, or a report meant
  // for another program's handle) would be taken as this request's answer.
  DropWaitingReports(device);
  if (Hid().write(device, request.data(), request.size()) < 0) return kExchangeDeviceError;
  return WaitForResultFrame(device, response, responseCapacity, responseLength, timeoutMs);
}

}  // namespace navkeypad

using namespace navkeypad;

namespace {
// Guarded by HidGlobalStateMutex().
std::string& LastScannedPath() {
  static std::string path;
  return path;
}
std::vector<std::string>& LastScannedKeypads() {
  static std::vector<std::string> paths;
  return paths;
}
std::string& PreferredPath() {
  static std::string path;
  return path;
}
}  // namespace

std::string ScannedDevicePath() {
  std::lock_guard lock(HidGlobalStateMutex());
  return LastScannedPath();
}

std::vector<std::string> ScannedKeypadPaths() {
  std::lock_guard lock(HidGlobalStateMutex());
  return LastScannedKeypads();
}

void PreferKeypadPath(const std::string& path) {
  std::lock_guard lock(HidGlobalStateMutex());
  PreferredPath() = path;
}

hid_device* ScanForUSBDevice_a(int32_t vendorId, int32_t productId, char* manufacturer,
                               char* product) {
  hid_device* device = nullptr;
  {
    std::lock_guard lock(HidGlobalStateMutex());
    Hid().init();
    LastScannedPath().clear();
    LastScannedKeypads().clear();
    hid_device_info* list = Hid().enumerate(static_cast<unsigned short>(vendorId),
                                            static_cast<unsigned short>(productId));
    for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
      if (entry->interface_number == kConfigurationInterface)
        LastScannedKeypads().push_back(entry->path);
    }
    Hid().freeEnumeration(list);
    // The first keypad, unless the one chosen before is still there.
    const auto& found = LastScannedKeypads();
    std::string chosen = found.empty() ? std::string() : found.front();
    if (std::find(found.begin(), found.end(), PreferredPath()) != found.end())
      chosen = PreferredPath();
    if (!chosen.empty()) {
      device = Hid().openPath(chosen.c_str());
      if (device != nullptr) LastScannedPath() = chosen;
    }
  }
  if (device == nullptr) {
    CopyText("None", manufacturer);
    CopyText("None", product);
    return nullptr;
  }

  wchar_t wide[255];
  auto readText = [&](int (HidBackend::*getter)(hid_device*, wchar_t*, size_t), char* out) {
    wide[0] = L'\0';
    if ((Hid().*getter)(device, wide, 255) == 0) {
      wide[254] = L'\0';
      NarrowInto(wide, out);
    } else {
      CopyText("Unable To Find", out);
    }
  };
  readText(&HidBackend::manufacturerString, manufacturer);
  readText(&HidBackend::productString, product);
  Hid().setNonblocking(device, 1);
  return device;
}

int32_t USBEncoderSendAndReceive_a(hid_device* device, uint8_t command, const uint8_t* payload,
                                   int32_t payloadLength, uint8_t* response,
                                   int32_t responseCapacity, uint32_t* responseLength,
                                   int32_t timeoutMs) {
  std::lock_guard lock(ExchangeMutex());
  return navkeypad::ExchangeLocked(device, command, payload, payloadLength, response,
                                   responseCapacity, responseLength, timeoutMs);
}

int32_t USBEncoderReceive_a(hid_device* device, uint8_t /*command*/, uint8_t* response,
                            int32_t responseCapacity, uint32_t* responseLength, int32_t timeoutMs) {
  if (device == nullptr) return kExchangeDeviceError;
  std::lock_guard lock(ExchangeMutex());
  return WaitForResultFrame(device, response, responseCapacity, responseLength, timeoutMs);
}

void hid_exit_safely(hid_device* device) {
  if (device == nullptr) return;
  // No exchange may still be reading from the device when it goes away, and none may start
  // on it afterwards: a worker that reads the shared handle next finds none.
  std::lock_guard lock(ExchangeMutex());
  hid_device* shared = device;
  hid_handle.compare_exchange_strong(shared, nullptr);
  Hid().close(device);
}

void ShutDownHid() {
  std::lock_guard lock(HidGlobalStateMutex());
  Hid().exit();
}

int32_t ParseResponseFrame(const uint8_t* report, uint8_t* response, int32_t responseCapacity,
                           uint32_t* responseLength) {
  if (report[2] != kStx) return kExchangeRefused;
  const int32_t length = DecodeHexDigit(report[5]) * 16 + DecodeHexDigit(report[6]);
  // N = 0 leaves no room for the status byte; N above 55 would put ETX or the checksum
  // outside the report.
  if (length == 0 || length > kMaxResultLength) return kExchangeRefused;
  if (report[7] != 0x00) return kExchangeRefused;
  const int32_t dataLength = length - 1;
  if (dataLength > std::max(responseCapacity, 0)) return kExchangeRefused;
  if (report[7 + length] != kEtx) return kExchangeRefused;
  const uint8_t expected =
      FrameChecksum(std::span(report + 2, static_cast<std::size_t>(6 + length)));
  if (report[8 + length] != expected) return kExchangeRefused;
  if (dataLength > 0) std::memcpy(response, report + 8, static_cast<std::size_t>(dataLength));
  if (responseLength != nullptr) *responseLength = static_cast<uint32_t>(dataLength);
  return kExchangeOk;
}
