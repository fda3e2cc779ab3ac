#include "virtual_keypad.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "bsl430/bsl430.h"
#include "bsl430/memory_map.h"
#include "bsl430/ti_txt.h"
#include "firmware/crc.h"
#include "firmware/firmware_resources.h"
#include "stand_in_loader.h"

namespace virtual_keypad {

using namespace navkeypad;
using Clock = std::chrono::steady_clock;

std::string InterfacePath(const std::string& keypadId, int interfaceNumber) {
  return "virtual:" + keypadId + ":1." + std::to_string(interfaceNumber);
}

namespace {
using namespace bsl430;
constexpr uint32_t kMemorySize = 0x10000;  // the model's chip ends at the vectors
constexpr uint32_t kRamLoaderVersion = 0x2500;
constexpr uint8_t kRamLoaderVersionBytes[] = {0x00, 0x06, 0x05, 0x34};
constexpr char kVersionMarker[] = "FWVER:";
constexpr uint32_t kMarkerAddress = 0x4480;

bool InModelFlash(uint32_t address) {
  return InFlash(address) && address < kMemorySize;
}
bool InRam(uint32_t address) {
  return address >= kRamStart && address < kRamEnd;
}
}  // namespace

VirtualKeypad::VirtualKeypad(std::string id) : id_(std::move(id)), memory_(kMemorySize, 0xFF) {
  factory_.customTable = DefaultTable();
  settings_ = factory_;
  defaults_ = factory_;
  installFactoryFirmware(firmwareVersion_);
}

void VirtualKeypad::installFactoryFirmware(const std::string& version) {
  std::lock_guard lock(mutex_);
  std::fill(memory_.begin() + kMainStart, memory_.end(), 0xFF);
  // Its vectors are the stand-in loader password.
  for (const auto& section : bsl430::ParseTiTxt(StandInLoaderTexts().password).sections) {
    std::copy(section.bytes.begin(), section.bytes.end(), memory_.begin() + section.address);
  }
  firmwareVersion_ = version;
  writeApplicationMarker();
}

void VirtualKeypad::loadMemory(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < bytes.size() && address + i < memory_.size(); ++i) {
    memory_[address + i] = bytes[i];
  }
}

void VirtualKeypad::startInLoader() {
  std::lock_guard lock(mutex_);
  enterRomLoader();
}

void VirtualKeypad::enterRomLoader() {
  mode_ = Mode::RomLoader;
  loaderLocked_ = true;
  // The chip's loader clears the RAM it works in when it starts.
  std::fill(memory_.begin() + 0x2400, memory_.begin() + kRamEnd, 0x00);
}

void VirtualKeypad::powerCycle() {
  std::lock_guard lock(mutex_);
  unplugged_ = false;
  pending_.clear();
  ++generation_;
  if (memory_[kResetVector] == 0xFF && memory_[kResetVector + 1] == 0xFF) {
    enterRomLoader();
  } else if (mode_ != Mode::Application) {
    bootApplication();
  }
}

void VirtualKeypad::writeApplicationMarker() {
  const std::string marker = kVersionMarker + firmwareVersion_;
  std::copy(marker.begin(), marker.end(), memory_.begin() + kMarkerAddress);
  memory_[kMarkerAddress + marker.size()] = 0;
}

KeyCodeTable VirtualKeypad::DefaultTable() {
  // Arrow keys and Enter, no modifiers.
  return KeyCodeTable{{0x00, 0x50, 0x00, 0x4F, 0x00, 0x51, 0x00, 0x52, 0x00, 0x28}};
}

KeyCodeTable VirtualKeypad::AlternateTable() {
  // Keypad arrows (4, 6, 2, 8) and keypad Enter.
  return KeyCodeTable{{0x00, 0x5C, 0x00, 0x5E, 0x00, 0x5A, 0x00, 0x60, 0x00, 0x58}};
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

namespace {
// Types 0, 3 and 6 select the default table, 1, 4 and 7 the alternate one, 2, 5 and 8
// the customisable one.
KeyCodeTable TableForType(const KeypadSettings& settings) {
  switch (settings.keypadType % 3) {
    case 0:
      return VirtualKeypad::DefaultTable();
    case 1:
      return VirtualKeypad::AlternateTable();
    default:
      return settings.customTable;
  }
}
}  // namespace

KeyCodeTable VirtualKeypad::activeTable() const {
  std::lock_guard lock(mutex_);
  return TableForType(settings_);
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

DeviceStatus VirtualKeypad::status() const {
  std::lock_guard lock(mutex_);
  return statusUnlocked();
}

DeviceStatus VirtualKeypad::statusUnlocked() const {
  DeviceStatus status;
  status.ledBrightness = settings_.ledBrightness;
  status.keypadType = settings_.keypadType;
  status.jackState = jackState_;
  status.orientation = orientation_;
  status.codeTable = TableForType(settings_);
  status.firmwareVersion = firmwareVersion_;
  status.serialNumber = serialNumber_;
  status.temperature = temperature_;
  return status;
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
void VirtualKeypad::setInstantEmptyReads(bool instant) {
  std::lock_guard lock(mutex_);
  instantEmptyReads_ = instant;
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

void VirtualKeypad::handleFrame(uint8_t command, const std::vector<uint8_t>& payload) {
  const Behaviour& b = behaviour_;
  ++commandsProcessed_;
  if (b.silent) return;
  const auto controlFrameCount = static_cast<uint8_t>(b.overlongControlFrames ? 0x41 : kReportSize);
  for (int i = 0; i < b.acknowledgementsBeforeResult; ++i) {
    Report ack{};
    ack[0] = kRequestReportId;
    ack[1] = controlFrameCount;
    ack[2] = kFrameAcknowledge;
    queue(ack);
  }
  const bool failing = b.failAfterCommands && commandsProcessed_ > *b.failAfterCommands;
  const bool refused = b.refuseAll || failing ||
                       std::find(b.refusedCommands.begin(), b.refusedCommands.end(), command) !=
                           b.refusedCommands.end() ||
                       std::find(b.refusedRequests.begin(), b.refusedRequests.end(),
                                 ReceivedCommand{command, payload}) != b.refusedRequests.end();
  if (refused) {
    Report report{};
    report[0] = kRequestReportId;
    report[1] = controlFrameCount;
    report[2] = kFrameRefused;
    queue(report);
    return;
  }
  std::vector<uint8_t> data;
  const uint8_t status = executeCommand(command, payload, data);
  answer(command, b.statusByte != 0 ? b.statusByte : status, data);
}

uint8_t VirtualKeypad::executeCommand(uint8_t command, const std::vector<uint8_t>& payload,
                                      std::vector<uint8_t>& data) {
  constexpr uint8_t kOk = 0x00;
  constexpr uint8_t kBadArgument = 0x01;
  constexpr uint8_t kUnknownCommand = 0x02;
  auto needs = [&](std::size_t size) { return payload.size() == size; };
  switch (command) {
    case CMD_GET_STATUS:
      data = EncodeStatusRecord(statusUnlocked());
      return kOk;
    case CMD_SET_LED_BRIGHTNESS:
      if (!needs(1) || payload[0] > kMaxLedBrightness) return kBadArgument;
      settings_.ledBrightness = payload[0];
      return kOk;
    case CMD_SET_LED_COLOUR:
      if (!needs(1)) return kBadArgument;
      settings_.ledColour = payload[0];
      return kOk;
    case CMD_SET_BUZZER:
      if (!needs(1) || payload[0] > 1) return kBadArgument;
      settings_.buzzer = payload[0];
      return kOk;
    case CMD_SET_BUZZER_PERIOD:
      if (!needs(1) || payload[0] < 1 || payload[0] > 9) return kBadArgument;
      settings_.buzzerPeriod = payload[0];
      return kOk;
    case CMD_LOAD_TABLE:
      if (!needs(kCodeTableSize)) return kBadArgument;
      std::copy(payload.begin(), payload.end(), settings_.customTable.bytes.begin());
      return kOk;
    case CMD_SET_KEYPAD_TYPE:
      if (!needs(1) || payload[0] > 8) return kBadArgument;
      settings_.keypadType = payload[0];
      return kOk;
    case CMD_SELF_TEST:
    case CMD_STATUS_BUZZER:
      return needs(1) ? kOk : kBadArgument;
    case CMD_WRITE_DEFAULT:
      defaults_ = settings_;
      return kOk;
    case CMD_RESET_TO_DEFAULT:
      settings_ = factory_;
      defaults_ = factory_;
      leaveBusWhenAnswered_ = true;
      modeAfterLeaving_ = Mode::Application;
      return kOk;
    case CMD_ENTER_FIRMWARE_UPGRADE:
      leaveBusWhenAnswered_ = true;
      modeAfterLeaving_ = Mode::RomLoader;
      return kOk;
    case CMD_SET_SERIAL_NUMBER: {
      if (!needs(kSerialNumberPayloadSize)) return kBadArgument;
      const auto end = std::find(payload.begin(), payload.end(), 0);
      serialNumber_.assign(payload.begin(), end);
      return kOk;
    }
    case CMD_SET_LOCAL_VOLUME:
      return needs(2) && payload[0] <= 4 && payload[1] <= 99 ? kOk : kBadArgument;
    case CMD_SET_VOLUME_CONFIGURATION:
      return needs(1) && payload[0] <= 3 ? kOk : kBadArgument;
    default:
      return kUnknownCommand;
  }
}

void VirtualKeypad::answer(uint8_t command, uint8_t status, const std::vector<uint8_t>& data) {
  Report report{};
  const std::size_t length = 1 + data.size();  // N counts the status byte
  report[0] = kRequestReportId;
  report[1] = behaviour_.overlongByteCount ? 0x41 : static_cast<uint8_t>(kReportSize);
  report[2] = kStx;
  report[3] = static_cast<uint8_t>(EncodeHexDigit(command >> 4));
  report[4] = static_cast<uint8_t>(EncodeHexDigit(command));
  report[5] = static_cast<uint8_t>(EncodeHexDigit(static_cast<uint8_t>(length >> 4)));
  report[6] = static_cast<uint8_t>(EncodeHexDigit(static_cast<uint8_t>(length)));
  report[7] = status;
  std::copy(data.begin(), data.end(), report.begin() + 8);
  report[7 + length] = kEtx;
  report[8 + length] = FrameChecksum(std::span(report).subspan(2, 6 + length));
  if (behaviour_.corruptChecksum) report[8 + length] ^= 0x5A;
  queue(report);
}

void VirtualKeypad::queue(const Report& report) {
  const auto now = Clock::now();
  const auto start = std::max(now, lastScheduled_);
  lastScheduled_ = start + behaviour_.responseDelay;
  pending_.push_back({lastScheduled_, report});
  ready_.notify_all();
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
      if (pending_.empty() && instantEmptyReads_ && timeoutMs >= 0) return 0;
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

std::vector<uint8_t> VirtualKeypad::readMemory(uint32_t address, std::size_t count) const {
  std::lock_guard lock(mutex_);
  return memoryUnlocked(address, count);
}

std::vector<uint8_t> VirtualKeypad::memoryUnlocked(uint32_t address, std::size_t count) const {
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < count && address + i < memory_.size(); ++i) {
    bytes.push_back(memory_[address + i]);
  }
  return bytes;
}

void VirtualKeypad::installFirmware(const std::string& tiTxt) {
  std::lock_guard lock(mutex_);
  for (const auto& section : bsl430::ParseTiTxt(tiTxt).sections) {
    for (std::size_t i = 0; i < section.bytes.size(); ++i) {
      if (section.address + i < memory_.size()) memory_[section.address + i] = section.bytes[i];
    }
  }
}

std::vector<uint8_t> VirtualKeypad::loaderCommandCodes() const {
  std::lock_guard lock(mutex_);
  return loaderCommands_;
}

int VirtualKeypad::massErases() const {
  std::lock_guard lock(mutex_);
  return massErases_;
}

void VirtualKeypad::loaderReply(std::initializer_list<uint8_t> core,
                                const std::vector<uint8_t>& data) {
  Report report{};
  report[0] = 0x3F;
  std::size_t length = 0;
  for (uint8_t byte : core) report[2 + length++] = byte;
  for (uint8_t byte : data) {
    if (2 + length >= report.size()) break;
    report[2 + length++] = byte;
  }
  report[1] = static_cast<uint8_t>(length);
  queue(report);
}

void VirtualKeypad::eraseSegment(uint32_t address) {
  if (!InModelFlash(address)) return;
  const uint32_t size = SegmentBytes(address);
  const uint32_t start = address - address % size;
  if (start == kInfoAStart && infoALocked_) return;
  flashChanged_ = true;
  std::fill(memory_.begin() + start, memory_.begin() + start + size, 0xFF);
}

void VirtualKeypad::massErase() {
  ++massErases_;
  flashChanged_ = true;
  std::fill(memory_.begin() + kMainStart, memory_.end(), 0xFF);
}

// Flash only clears bits; RAM takes what comes; a word 0xA504 into PMMCTL0 resets the chip.
bool VirtualKeypad::writeMemory(uint32_t address, const std::vector<uint8_t>& bytes) {
  if (address == kPmmControl && bytes.size() >= 2 && bytes[0] == 0x04 && bytes[1] == 0xA5) {
    resetChip();
    return true;
  }
  bool ok = true;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const uint32_t at = address + static_cast<uint32_t>(i);
    if (InRam(at)) {
      memory_[at] = bytes[i];
    } else if (InModelFlash(at) && !(at >= kInfoAStart && at < kInfoEnd && infoALocked_)) {
      flashChanged_ = true;
      memory_[at] &= bytes[i];
      ok = ok && memory_[at] == bytes[i];
    } else {
      ok = false;
    }
  }
  return ok;
}

void VirtualKeypad::resetChip() {
  const bool blankReset = memory_[kResetVector] == 0xFF && memory_[kResetVector + 1] == 0xFF;
  if (blankReset) {
    leaveBusAndReturn(Mode::RomLoader);
    return;
  }
  bootApplication();
  leaveBusAndReturn(Mode::Application);
}

void VirtualKeypad::bootApplication() {
  mode_ = Mode::Application;
  if (!flashChanged_) return;
  flashChanged_ = false;
  // A new application: the version its image carries, factory settings, no serial number.
  firmwareVersion_.clear();
  const std::string marker = kVersionMarker;
  const auto found =
      std::search(memory_.begin() + kMainStart, memory_.end(), marker.begin(), marker.end());
  if (found != memory_.end()) {
    for (auto at = found + static_cast<long>(marker.size()); at != memory_.end() && *at != 0;
         ++at) {
      firmwareVersion_.push_back(static_cast<char>(*at));
    }
  }
  settings_ = factory_;
  defaults_ = factory_;
  serialNumber_.clear();
}

void VirtualKeypad::handleLoaderReport(const uint8_t* data, std::size_t length) {
  constexpr uint8_t kSuccess = 0x00, kWriteCheckFailed = 0x01, kLocked = 0x04,
                    kPasswordError = 0x05, kUnknownCommand = 0x07, kTooLong = 0x08;
  if (length < 3 || data[0] != 0x3F) return;
  const std::size_t coreLength = data[1];
  if (coreLength > 62 || coreLength + 2 > length) {
    loaderReply({0x3B, kTooLong});
    return;
  }
  const uint8_t* core = data + 2;
  const uint8_t command = core[0];
  loaderCommands_.push_back(command);
  auto address = [&] { return static_cast<uint32_t>(core[1] | (core[2] << 8) | (core[3] << 16)); };
  const bool rom = mode_ == Mode::RomLoader;

  if (command == 0x11) {  // RX Password
    const bool matches = coreLength >= 33 && !behaviour_.refusePassword &&
                         std::equal(core + 1, core + 33, memory_.begin() + kVectorTable);
    if (matches) {
      loaderLocked_ = false;
      loaderReply({0x3B, kSuccess});
    } else {
      massErase();
      loaderReply({0x3B, kPasswordError});
    }
    return;
  }
  if (command == 0x15 && !rom) {  // Mass Erase works while locked
    massErase();
    loaderReply({0x3B, kSuccess});
    return;
  }
  const bool romKnows = command == 0x1B || command == 0x17;
  if (rom && !romKnows) {
    loaderReply({0x3B, kUnknownCommand});
    return;
  }
  if (loaderLocked_) {
    if (command != 0x1B && command != 0x17) loaderReply({0x3B, kLocked});
    return;
  }
  switch (command) {
    case 0x10:    // RX Data Block
    case 0x1B: {  // RX Data Block Fast
      if (coreLength < 4) return;
      const uint32_t at = address();
      std::vector<uint8_t> bytes(core + 4, core + coreLength);
      if (rom && !InRam(at)) return;
      if (InModelFlash(at) && ++loaderWrites_ == behaviour_.corruptWriteNumber && !bytes.empty()) {
        bytes[0] ^= 0x01;
      }
      const bool ok = writeMemory(at, bytes);
      if (command == 0x10) loaderReply({0x3B, ok ? kSuccess : kWriteCheckFailed});
      return;
    }
    case 0x12:  // Erase Segment
      if (behaviour_.failSegmentErase) {
        loaderReply({0x3B, 0x02});
        return;
      }
      eraseSegment(address());
      loaderReply({0x3B, kSuccess});
      return;
    case 0x13:  // Unlock/Lock Info
      infoALocked_ = !infoALocked_;
      loaderReply({0x3B, kSuccess});
      return;
    case 0x16: {  // CRC Check
      if (coreLength < 6) return;
      const uint32_t at = address();
      const uint32_t count = core[4] | (core[5] << 8);
      navkeypad::firmware::CRC crc(0xFFFF);
      for (uint32_t i = 0; i < count && at + i < memory_.size(); ++i) crc.CrcInput(memory_[at + i]);
      const uint16_t value = crc.GetCrcValue();
      loaderReply({0x3A, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)});
      return;
    }
    case 0x17: {  // Load PC: only the RAM loader with its version bytes runs
      const bool ramLoader =
          address() == kRamLoaderVersion + 4 &&
          std::equal(std::begin(kRamLoaderVersionBytes), std::end(kRamLoaderVersionBytes),
                     memory_.begin() + kRamLoaderVersion);
      leaveBusAndReturn(ramLoader ? Mode::RamLoader : Mode::RomLoader);
      return;
    }
    case 0x18: {  // TX Data Block
      if (coreLength < 6) return;
      const uint32_t at = address();
      const uint32_t count = std::min<uint32_t>(core[4] | (core[5] << 8), 58);
      loaderReply({0x3A}, memoryUnlocked(at, count));
      return;
    }
    case 0x19:  // TX BSL Version
      if (versionReadsFailed_ < behaviour_.failVersionReads) {
        ++versionReadsFailed_;
        loaderReply({0x3B, kUnknownCommand});
        return;
      }
      loaderReply({0x3A, 0x00, 0x06, 0x05, 0x34});
      return;
    default:
      loaderReply({0x3B, kUnknownCommand});
  }
}

// --- the bus ------------------------------------------------------------------------------

VirtualBus& VirtualBus::instance() {
  static VirtualBus bus;
  return bus;
}

std::shared_ptr<VirtualKeypad> VirtualBus::plug(std::string id) {
  std::shared_ptr<VirtualKeypad> keypad;
  {
    std::lock_guard lock(mutex_);
    if (id.empty()) id = "keypad" + std::to_string(nextId_++);
    keypad = std::make_shared<VirtualKeypad>(id);
    keypads_.push_back(keypad);
  }
  notifyChange(true);
  return keypad;
}

void VirtualBus::plugKeypad(const std::shared_ptr<VirtualKeypad>& keypad) {
  {
    std::lock_guard lock(mutex_);
    keypads_.push_back(keypad);
    ++nextId_;
  }
  notifyChange(true);
}

void VirtualBus::pull(const std::shared_ptr<VirtualKeypad>& keypad) {
  {
    std::lock_guard lock(mutex_);
    pulled_.push_back(keypad);
  }
  unplug(keypad);
}

std::vector<std::shared_ptr<VirtualKeypad>> VirtualBus::pulledKeypads() const {
  std::lock_guard lock(mutex_);
  return pulled_;
}

void VirtualBus::unplug(const std::shared_ptr<VirtualKeypad>& keypad) {
  {
    std::lock_guard lock(mutex_);
    keypads_.erase(std::remove(keypads_.begin(), keypads_.end(), keypad), keypads_.end());
  }
  keypad->markUnplugged();
  notifyChange(false);
}

void VirtualBus::reset() {
  std::vector<std::shared_ptr<VirtualKeypad>> removed;
  {
    std::lock_guard lock(mutex_);
    removed.swap(keypads_);
    pulled_.clear();
    listeners_.clear();
    nextId_ = 1;
    initCalls_ = 0;
    exitCalls_ = 0;
  }
  for (const auto& keypad : removed) keypad->markUnplugged();
}

std::vector<std::shared_ptr<VirtualKeypad>> VirtualBus::keypads() const {
  std::lock_guard lock(mutex_);
  return keypads_;
}

std::shared_ptr<VirtualKeypad> VirtualBus::find(const std::string& id) const {
  std::lock_guard lock(mutex_);
  for (const auto& keypad : keypads_) {
    if (keypad->id() == id) return keypad;
  }
  return nullptr;
}

int VirtualBus::addChangeListener(ChangeListener listener) {
  std::lock_guard lock(mutex_);
  listeners_.emplace_back(nextListener_, std::move(listener));
  return nextListener_++;
}

void VirtualBus::removeChangeListener(int token) {
  std::lock_guard lock(mutex_);
  std::erase_if(listeners_, [token](const auto& entry) { return entry.first == token; });
}

void VirtualBus::notifyChange(bool arrived) {
  std::vector<ChangeListener> listeners;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : listeners_) listeners.push_back(entry.second);
  }
  for (const auto& listener : listeners) listener(arrived);
}

int VirtualBus::openHandles() const {
  std::lock_guard lock(mutex_);
  return openHandles_;
}
void VirtualBus::handleOpened() {
  std::lock_guard lock(mutex_);
  ++openHandles_;
}
void VirtualBus::handleClosed() {
  std::lock_guard lock(mutex_);
  --openHandles_;
}
int VirtualBus::initCalls() const {
  std::lock_guard lock(mutex_);
  return initCalls_;
}
int VirtualBus::exitCalls() const {
  std::lock_guard lock(mutex_);
  return exitCalls_;
}
void VirtualBus::countInit() {
  std::lock_guard lock(mutex_);
  ++initCalls_;
}
void VirtualBus::countExit() {
  std::lock_guard lock(mutex_);
  ++exitCalls_;
}

}  // namespace virtual_keypad
