// The keypad in its application: request frames in, result frames out, its settings.
#include <algorithm>

#include "chip_memory.h"
#include "virtual_keypad.h"

namespace virtual_keypad {

using namespace navkeypad;
using namespace bsl430;
using namespace chip;

KeyCodeTable VirtualKeypad::DefaultTable() {
  // Arrow keys and Enter, no modifiers.
  return KeyCodeTable{{0x00, 0x50, 0x00, 0x4F, 0x00, 0x51, 0x00, 0x52, 0x00, 0x28}};
}

KeyCodeTable VirtualKeypad::AlternateTable() {
  // Keypad arrows (4, 6, 2, 8) and keypad Enter.
  return KeyCodeTable{{0x00, 0x5C, 0x00, 0x5E, 0x00, 0x5A, 0x00, 0x60, 0x00, 0x58}};
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

void VirtualKeypad::handleFrame(uint8_t command, const std::vector<uint8_t>& payload) {
  const Behaviour& b = behaviour_;
  ++commandsProcessed_;
  if (b.silent) return;
  const auto controlFrameCount = static_cast<uint8_t>(b.overlongControlFrames ? 0x41 : kReportSize);
  Report ack{};
  ack[0] = kRequestReportId;
  ack[1] = controlFrameCount;
  ack[2] = kFrameAcknowledge;
  for (int i = 0; i < b.acknowledgementsBeforeResult; ++i)
    queue(ack, i == 0 ? std::chrono::microseconds{} : b.acknowledgementGap);
  // The result comes a gap after the last acknowledgement.
  const auto resultAfter =
      b.acknowledgementsBeforeResult > 0 ? b.acknowledgementGap : std::chrono::microseconds{};
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
    queue(report, resultAfter);
    return;
  }
  std::vector<uint8_t> data;
  const uint8_t status = executeCommand(command, payload, data);
  const bool badStatus = std::find(b.nonZeroStatusCommands.begin(), b.nonZeroStatusCommands.end(),
                                   command) != b.nonZeroStatusCommands.end();
  answer(command,
         b.statusByte != 0 ? b.statusByte
         : badStatus       ? uint8_t{0x01}
                           : status,
         data, resultAfter);
  if (b.lateAnswers > 0) queue(ack);
  for (int i = 1; i < b.lateAnswers; ++i) answer(command, status, data);
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
      if (!needs(2) || payload[0] >= settings_.localVolume.size() || payload[1] > 99)
        return kBadArgument;
      settings_.localVolume[payload[0]] = payload[1];
      return kOk;
    case CMD_SET_VOLUME_CONFIGURATION:
      if (!needs(1) || payload[0] > 3) return kBadArgument;
      settings_.volumeConfiguration = payload[0];
      return kOk;
    default:
      return kUnknownCommand;
  }
}

void VirtualKeypad::answer(uint8_t command, uint8_t status, const std::vector<uint8_t>& data,
                           std::chrono::microseconds after) {
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
  queue(report, after);
}

}  // namespace virtual_keypad
