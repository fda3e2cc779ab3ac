// The keypad in its bootstrap loader: the chip's memory, the ROM loader and the RAM loader
// started from it, the brown-out reset into the application.
#include <algorithm>

#include "bsl430/loader_protocol.h"
#include "bsl430/ti_txt.h"
#include "chip_memory.h"
#include "firmware/crc.h"
#include "virtual_keypad.h"

namespace virtual_keypad {

using namespace navkeypad;
using namespace bsl430;
using namespace chip;

void VirtualKeypad::installFactoryFirmware(const std::string& version) {
  std::lock_guard lock(mutex_);
  std::fill(memory_.begin() + kMainStart, memory_.end(), 0xFF);
  // Its vectors are the stand-in loader password.
  std::copy(std::begin(kFactoryVectors), std::end(kFactoryVectors), memory_.begin() + kVectorTable);
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
                                const std::vector<uint8_t>& data, std::chrono::microseconds after) {
  Report report{};
  report[0] = kLoaderReportId;
  std::size_t length = 0;
  for (uint8_t byte : core) report[2 + length++] = byte;
  for (uint8_t byte : data) {
    if (2 + length >= report.size()) break;
    report[2 + length++] = byte;
  }
  report[1] = static_cast<uint8_t>(length);
  queue(report, after);
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
  if (length < 3 || data[0] != kLoaderReportId) return;
  const std::size_t coreLength = data[1];
  if (coreLength > kLoaderCoreCapacity || coreLength + 2 > length) {
    loaderReply({kReplyMessage, kPacketTooLong});
    return;
  }
  const uint8_t* core = data + 2;
  const uint8_t command = core[0];
  loaderCommands_.push_back(command);
  auto address = [&] { return static_cast<uint32_t>(core[1] | (core[2] << 8) | (core[3] << 16)); };
  const bool rom = mode_ == Mode::RomLoader;

  if (command == kRxPassword) {
    const bool matches = coreLength >= 33 && !behaviour_.refusePassword &&
                         std::equal(core + 1, core + 33, memory_.begin() + kVectorTable);
    if (matches) {
      loaderLocked_ = false;
      loaderReply({kReplyMessage, kLoaderSuccess});
    } else {
      massErase();
      loaderReply({kReplyMessage, kPasswordError});
    }
    return;
  }
  const auto slow = behaviour_.loaderReplyDelay;
  if (command == kMassErase && !rom) {  // works while locked
    massErase();
    loaderReply({kReplyMessage, kLoaderSuccess}, {}, slow);
    return;
  }
  const bool romKnows = command == kRxDataBlockFast || command == kLoadPc;
  if (rom && !romKnows) {
    loaderReply({kReplyMessage, kUnknownCommand});
    return;
  }
  if (loaderLocked_) {
    if (!romKnows) loaderReply({kReplyMessage, kLoaderLocked});
    return;
  }
  switch (command) {
    case kRxDataBlock:
    case kRxDataBlockFast: {
      if (coreLength < 4) return;
      const uint32_t at = address();
      std::vector<uint8_t> bytes(core + 4, core + coreLength);
      if (rom && !InRam(at)) return;
      if (InModelFlash(at) && ++loaderWrites_ == behaviour_.corruptWriteNumber && !bytes.empty()) {
        bytes[0] ^= 0x01;
      }
      const bool ok = writeMemory(at, bytes);
      if (command == kRxDataBlock)
        loaderReply({kReplyMessage, ok ? kLoaderSuccess : kWriteCheckFailed});
      return;
    }
    case kEraseSegment:
      if (behaviour_.failSegmentErase) {
        loaderReply({kReplyMessage, kFlashFailBitSet});
        return;
      }
      eraseSegment(address());
      loaderReply({kReplyMessage, kLoaderSuccess}, {}, slow);
      return;
    case kUnlockLockInfo:
      infoALocked_ = !infoALocked_;
      loaderReply({kReplyMessage, kLoaderSuccess});
      return;
    case kCrcCheck: {
      if (coreLength < 6) return;
      const uint32_t at = address();
      const uint32_t count = core[4] | (core[5] << 8);
      navkeypad::firmware::CRC crc(0xFFFF);
      for (uint32_t i = 0; i < count && at + i < memory_.size(); ++i) crc.CrcInput(memory_[at + i]);
      const uint16_t value = crc.GetCrcValue();
      loaderReply({kReplyData, static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)}, {},
                  slow);
      return;
    }
    case kLoadPc: {  // only the RAM loader with its version bytes runs
      const bool ramLoader =
          address() == kRamLoaderVersion + 4 &&
          std::equal(std::begin(kRamLoaderVersionBytes), std::end(kRamLoaderVersionBytes),
                     memory_.begin() + kRamLoaderVersion);
      leaveBusAndReturn(ramLoader ? Mode::RamLoader : Mode::RomLoader);
      return;
    }
    case kTxDataBlock: {
      if (coreLength < 6) return;
      const uint32_t at = address();
      const uint32_t count = std::min<uint32_t>(core[4] | (core[5] << 8), 58);
      loaderReply({kReplyData}, memoryUnlocked(at, count));
      return;
    }
    case kTxBslVersion:
      if (versionReadsFailed_ < behaviour_.failVersionReads) {
        ++versionReadsFailed_;
        loaderReply({kReplyMessage, kUnknownCommand});
        return;
      }
      loaderReply({kReplyData, 0x00, 0x06, 0x05, 0x34});
      return;
    default:
      loaderReply({kReplyMessage, kUnknownCommand});
  }
}

}  // namespace virtual_keypad
