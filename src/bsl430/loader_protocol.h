// The USB bootstrap loader's reports, as the library sends them, the virtual keypad answers
// them and a trace names them: report ID 0x3F, the core's length, then the core (a command
// with its address and data, or a reply).
#pragma once

#include <cstddef>
#include <cstdint>

namespace bsl430 {

inline constexpr uint8_t kLoaderReportId = 0x3F;
inline constexpr std::size_t kLoaderCoreCapacity = 62;

enum LoaderCommand : uint8_t {
  kRxDataBlock = 0x10,
  kRxPassword = 0x11,
  kEraseSegment = 0x12,
  kUnlockLockInfo = 0x13,
  kMassErase = 0x15,
  kCrcCheck = 0x16,
  kLoadPc = 0x17,
  kTxDataBlock = 0x18,
  kTxBslVersion = 0x19,
  kRxDataBlockFast = 0x1B,
};

// The first byte of a reply's core: data follow, or one message byte.
inline constexpr uint8_t kReplyData = 0x3A;
inline constexpr uint8_t kReplyMessage = 0x3B;

// The message byte after kReplyMessage.
inline constexpr uint8_t kLoaderSuccess = 0x00, kWriteCheckFailed = 0x01, kFlashFailBitSet = 0x02,
                         kLoaderLocked = 0x04, kPasswordError = 0x05, kUnknownCommand = 0x07,
                         kPacketTooLong = 0x08;

// The command's name in the loader's documentation; nullptr for a code it does not have.
constexpr const char* LoaderCommandName(uint8_t code) {
  switch (code) {
    case kRxDataBlock:
      return "RX Data Block";
    case kRxPassword:
      return "RX Password";
    case kEraseSegment:
      return "Erase Segment";
    case kUnlockLockInfo:
      return "Unlock/Lock Info";
    case kMassErase:
      return "Mass Erase";
    case kCrcCheck:
      return "CRC Check";
    case kLoadPc:
      return "Load PC";
    case kTxDataBlock:
      return "TX Data Block";
    case kTxBslVersion:
      return "TX BSL Version";
    case kRxDataBlockFast:
      return "RX Data Block Fast";
    default:
      return nullptr;
  }
}

}  // namespace bsl430
