#include "firmware/settings_restore.h"

namespace navkeypad::firmware {

std::vector<settings::RestoreStep> SettingsRestoreSteps(const HandedOverSettings& handedOver) {
  std::vector<settings::RestoreStep> steps;
  // Without a serial number read before the upgrade there is nothing to give back; writing
  // an empty one would wipe the keypad's.
  if (handedOver.serialNumber) {
    const auto payload = SerialNumberPayload(*handedOver.serialNumber);
    steps.push_back(
        {CMD_SET_SERIAL_NUMBER, {payload.begin(), payload.end()}, "Unable to set SerialNumber.."});
  }
  steps.push_back({CMD_SET_KEYPAD_TYPE,
                   {static_cast<uint8_t>(handedOver.keypadType)},
                   "Unable to set Keypad Type.."});
  steps.push_back({CMD_LOAD_TABLE,
                   {handedOver.keyCodes.begin(), handedOver.keyCodes.end()},
                   "Unable to Load Table.."});
  steps.push_back({CMD_SET_LED_BRIGHTNESS,
                   {static_cast<uint8_t>(handedOver.ledBrightness)},
                   "Unable to set LED Brightness.."});
  steps.push_back({CMD_WRITE_DEFAULT, {}, "Unable to Write Default.."});
  return steps;
}

}  // namespace navkeypad::firmware
