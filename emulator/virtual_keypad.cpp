#include "virtual_keypad.h"

#include <algorithm>
#include <thread>

#include "bsl430/bsl430.h"
#include "chip_memory.h"
#include "platform/clock.h"

namespace virtual_keypad {

using namespace navkeypad;
using namespace bsl430;
using namespace chip;
using Clock = std::chrono::steady_clock;

std::string VirtualKeypad::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

void VirtualKeypad::setPort(std::string port) {
  std::lock_guard lock(mutex_);
  port_ = std::move(port);
}

VirtualKeypad::VirtualKeypad(std::string id)
    : id_(std::move(id)), port_("1-" + id_), memory_(kMemorySize, 0xFF) {
  factory_.customTable = DefaultTable();
  settings_ = factory_;
  defaults_ = factory_;
  installFactoryFirmware(firmwareVersion_);
}

KeypadSettings VirtualKeypad::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}
void VirtualKeypad::setSettings(const KeypadSettings& settings) {
  std::lock_guard lock(mutex_);
  settings_ = settings;
}
void VirtualKeypad::setLedBrightness(uint8_t level) {
  std::lock_guard lock(mutex_);
  settings_.ledBrightness = level;
}
void VirtualKeypad::setKeypadType(uint8_t type) {
  std::lock_guard lock(mutex_);
  settings_.keypadType = type;
}
void VirtualKeypad::setCustomTable(const KeyCodeTable& table) {
  std::lock_guard lock(mutex_);
  settings_.customTable = table;
}
KeypadSettings VirtualKeypad::storedDefaults() const {
  std::lock_guard lock(mutex_);
  return defaults_;
}
void VirtualKeypad::setStoredDefaults(const KeypadSettings& settings) {
  std::lock_guard lock(mutex_);
  defaults_ = settings;
}
KeypadSettings VirtualKeypad::factorySettings() const {
  std::lock_guard lock(mutex_);
  return factory_;
}
void VirtualKeypad::setFactorySettings(const KeypadSettings& settings) {
  std::lock_guard lock(mutex_);
  factory_ = settings;
}

std::string VirtualKeypad::firmwareVersion() const {
  std::lock_guard lock(mutex_);
  return firmwareVersion_;
}
void VirtualKeypad::setFirmwareVersion(std::string version) {
  std::lock_guard lock(mutex_);
  firmwareVersion_ = std::move(version);
}
std::string VirtualKeypad::serialNumber() const {
  std::lock_guard lock(mutex_);
  return serialNumber_;
}
void VirtualKeypad::setSerialNumber(std::string serial) {
  std::lock_guard lock(mutex_);
  serialNumber_ = std::move(serial);
}
void VirtualKeypad::setJackState(uint8_t state) {
  std::lock_guard lock(mutex_);
  jackState_ = state;
}
void VirtualKeypad::setOrientation(uint8_t orientation) {
  std::lock_guard lock(mutex_);
  orientation_ = orientation;
}
void VirtualKeypad::setTemperature(std::string temperature) {
  std::lock_guard lock(mutex_);
  temperature_ = std::move(temperature);
}

void VirtualKeypad::setUsbSerial(std::string text) {
  std::lock_guard lock(mutex_);
  usbSerial_ = std::move(text);
}

std::string VirtualKeypad::usbSerial() const {
  std::lock_guard lock(mutex_);
  return usbSerial_.value_or(id_);
}

void VirtualKeypad::setManufacturer(std::wstring text) {
  std::lock_guard lock(mutex_);
  manufacturer_ = std::move(text);
}
void VirtualKeypad::setProduct(std::wstring text) {
  std::lock_guard lock(mutex_);
  product_ = std::move(text);
}
void VirtualKeypad::setStringsReadable(bool readable) {
  std::lock_guard lock(mutex_);
  stringsReadable_ = readable;
}
void VirtualKeypad::setOpenable(bool openable) {
  std::lock_guard lock(mutex_);
  openable_ = openable;
}
bool VirtualKeypad::openable() const {
  std::lock_guard lock(mutex_);
  return openable_;
}
bool VirtualKeypad::stringsReadable() const {
  std::lock_guard lock(mutex_);
  return stringsReadable_;
}
std::wstring VirtualKeypad::manufacturer() const {
  std::lock_guard lock(mutex_);
  return manufacturer_;
}
std::wstring VirtualKeypad::product() const {
  std::lock_guard lock(mutex_);
  return product_;
}

Behaviour VirtualKeypad::behaviour() const {
  std::lock_guard lock(mutex_);
  return behaviour_;
}
void VirtualKeypad::setBehaviour(const Behaviour& behaviour) {
  std::lock_guard lock(mutex_);
  behaviour_ = behaviour;
  commandsProcessed_ = 0;
}
void VirtualKeypad::refuseCommand(uint8_t command) {
  std::lock_guard lock(mutex_);
  behaviour_.refusedCommands.push_back(command);
}

std::vector<ReceivedCommand> VirtualKeypad::receivedCommands() const {
  std::lock_guard lock(mutex_);
  return received_;
}
std::vector<uint8_t> VirtualKeypad::receivedCommandCodes() const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> codes;
  for (const auto& received : received_) codes.push_back(received.command);
  return codes;
}
void VirtualKeypad::clearReceivedCommands() {
  std::lock_guard lock(mutex_);
  received_.clear();
}
int VirtualKeypad::interleavedRequests() const {
  std::lock_guard lock(mutex_);
  return interleaved_;
}
int VirtualKeypad::malformedRequests() const {
  std::lock_guard lock(mutex_);
  return malformed_;
}
int VirtualKeypad::reenumerations() const {
  std::lock_guard lock(mutex_);
  return reenumerations_;
}
Mode VirtualKeypad::mode() const {
  std::lock_guard lock(mutex_);
  return mode_;
}

VirtualKeypad::Identity VirtualKeypad::identity() const {
  std::lock_guard lock(mutex_);
  if (mode_ != Mode::Application) return {kLoaderProductId, {0}};
  return {static_cast<uint16_t>(kKeypadProductId), {0, kConfigurationInterface}};
}
uint64_t VirtualKeypad::generation() const {
  std::lock_guard lock(mutex_);
  return generation_;
}
void VirtualKeypad::markUnplugged() {
  std::lock_guard lock(mutex_);
  unplugged_ = true;
  pending_.clear();
  ready_.notify_all();
}
bool VirtualKeypad::unplugged() const {
  std::lock_guard lock(mutex_);
  return unplugged_;
}

bool VirtualKeypad::receiveReport(int interfaceNumber, const uint8_t* data, std::size_t length) {
  std::lock_guard lock(mutex_);
  if (unplugged_) return false;
  if (mode_ != Mode::Application) {
    if (interfaceNumber != 0) return false;
    ++loaderReports_;
    if (behaviour_.unplugAfterLoaderReports &&
        loaderReports_ >= *behaviour_.unplugAfterLoaderReports) {
      // A cable is pulled once; plugged in again, the keypad works.
      behaviour_.unplugAfterLoaderReports.reset();
      pendingUnplug_ = true;
      return false;
    }
    handleLoaderReport(data, length);
    return true;
  }
  if (interfaceNumber != kConfigurationInterface) return false;
  if (behaviour_.unplugAfterCommands && commandsProcessed_ >= *behaviour_.unplugAfterCommands) {
    // The cable comes out after the Nth answer; plugged in again, the keypad works.
    behaviour_.unplugAfterCommands.reset();
    pendingUnplug_ = true;
    return false;
  }
  if (!pending_.empty()) ++interleaved_;

  // A report shorter than a frame header, or one that is not a well-formed request frame,
  // is refused the way the keypad refuses anything it cannot parse.
  auto refuse = [&] {
    ++malformed_;
    Report report{};
    report[0] = kRequestReportId;
    report[1] = static_cast<uint8_t>(kReportSize);
    report[2] = kFrameRefused;
    queue(report);
  };
  if (length < 9 || data[0] != kRequestReportId || data[2] != kStx) {
    refuse();
    return true;
  }
  const uint8_t command =
      static_cast<uint8_t>(DecodeHexDigit(data[3]) * 16 + DecodeHexDigit(data[4]));
  const std::size_t payloadLength = DecodeHexDigit(data[5]) * 16u + DecodeHexDigit(data[6]);
  if (9 + payloadLength > length || data[7 + payloadLength] != kEtx ||
      data[8 + payloadLength] != FrameChecksum(std::span(data + 2, 6 + payloadLength))) {
    refuse();
    return true;
  }
  std::vector<uint8_t> payload(data + 7, data + 7 + payloadLength);
  received_.push_back({command, payload});
  handleFrame(command, payload);
  return true;
}

void VirtualKeypad::queue(const Report& report, std::chrono::microseconds after) {
  const auto now = Clock::now();
  const auto start = std::max(now, lastScheduled_) + after;
  lastScheduled_ = start + behaviour_.responseDelay;
  pending_.push_back({lastScheduled_, report});
  ready_.notify_all();
}

bool VirtualKeypad::reportReady() const {
  std::lock_guard lock(mutex_);
  return !unplugged_ && !pending_.empty() && pending_.front().readyAt <= Clock::now();
}

int VirtualKeypad::readReport(uint64_t handleGeneration, uint8_t* data, std::size_t length,
                              int timeoutMs) {
  int result = 0;
  {
    std::unique_lock lock(mutex_);
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
      if (unplugged_ || handleGeneration != generation_) return -1;
      if (!pending_.empty() && pending_.front().readyAt <= Clock::now()) break;
      // Polls of an idle keypad are answered at once, which keeps silence tests quick: the
      // exchange counts empty polls, not wall-clock time.
      if (pending_.empty() && timeoutMs >= 0) return 0;
      if (timeoutMs == 0) return 0;
      if (timeoutMs < 0) {
        if (pending_.empty()) {
          ready_.wait(lock);
        } else {
          ready_.wait_until(lock, pending_.front().readyAt);
        }
        continue;
      }
      if (Clock::now() >= deadline) return 0;
      const auto wakeAt =
          pending_.empty() ? deadline : std::min(deadline, pending_.front().readyAt);
      ready_.wait_until(lock, wakeAt);
    }
    const Report report = pending_.front().report;
    pending_.erase(pending_.begin());
    const std::size_t count = std::min(length, report.size());
    std::copy_n(report.begin(), count, data);
    result = static_cast<int>(count);
    if (pending_.empty() && leaveBusWhenAnswered_) {
      leaveBusWhenAnswered_ = false;
      leaveBusAndReturn(modeAfterLeaving_);
    }
  }
  return result;
}

void VirtualKeypad::leaveBusAndReturn(Mode next) {
  // Open handles go stale, as they do when a real device re-enumerates.
  ++generation_;
  const uint64_t away = next == Mode::RamLoader && behaviour_.ramLoaderReturnMs
                            ? static_cast<uint64_t>(*behaviour_.ramLoaderReturnMs)
                            : restartMs_;
  if (away > 0) absentUntil_ = platform::clock().tickMs() + away;
  ++reenumerations_;
  ++pendingReturns_;
  lastScheduled_ = {};
  pending_.clear();
  if (next == Mode::RomLoader) {
    enterRomLoader();
    return;
  }
  if (next == Mode::RamLoader) loaderLocked_ = false;
  mode_ = next;
}

void VirtualKeypad::setRestartMs(uint64_t milliseconds) {
  std::lock_guard lock(mutex_);
  restartMs_ = milliseconds;
}

uint64_t VirtualKeypad::restartMs() const {
  std::lock_guard lock(mutex_);
  return restartMs_;
}

void VirtualKeypad::setAbsentUntil(uint64_t tickMs) {
  std::lock_guard lock(mutex_);
  absentUntil_ = tickMs;
}

uint64_t VirtualKeypad::absentUntil() const {
  std::lock_guard lock(mutex_);
  return absentUntil_;
}

bool VirtualKeypad::onBus() const {
  return platform::clock().tickMs() >= absentUntil();
}

void VirtualKeypad::flushBusEvents() {
  int returns = 0;
  bool unplug = false;
  {
    std::lock_guard lock(mutex_);
    std::swap(returns, pendingReturns_);
    std::swap(unplug, pendingUnplug_);
  }
  for (int i = 0; i < returns; ++i) {
    VirtualBus::instance().notifyChange(false);
    VirtualBus::instance().notifyChange(true);
  }
  if (unplug) {
    if (auto self = VirtualBus::instance().find(id_)) VirtualBus::instance().pull(self);
  }
}

void VirtualKeypad::paceReport() {
  std::chrono::steady_clock::time_point wakeAt;
  {
    std::lock_guard lock(mutex_);
    if (mode_ == Mode::Application || behaviour_.loaderReportPace.count() == 0) return;
    wakeAt = std::max(Clock::now(), nextReportAllowed_);
    nextReportAllowed_ = wakeAt + behaviour_.loaderReportPace;
  }
  std::this_thread::sleep_until(wakeAt);
}

}  // namespace virtual_keypad
