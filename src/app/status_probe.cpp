// Finds the keypad and prints its status.
#include <cstdio>

#include "device/keypad_commands.h"
#ifdef NAVKEYPAD_VIRTUAL
#include "virtual_keypad.h"
#endif

using namespace navkeypad;

int main() {
#ifdef NAVKEYPAD_VIRTUAL
  virtual_keypad::VirtualBus::instance().plug();
#endif
  char manufacturer[kDeviceTextCapacity];
  char product[kDeviceTextCapacity];
  hid_handle = ScanForUSBDevice_a(kKeypadVendorId, kKeypadProductId, manufacturer, product);
  if (hid_handle == nullptr) {
    std::printf("Device Status : Not Connected\n");
    hid_exit_safely(nullptr);
    return 3;
  }
  std::vector<uint8_t> data;
  const int32_t result = SendKeypadCommand(CMD_GET_STATUS, {}, &data);
  const auto status = result == kExchangeOk ? DecodeStatusRecord(data) : std::nullopt;
  if (!status) {
    std::printf("Connected to %s %s, but the status read failed (%d)\n", manufacturer, product,
                result);
    hid_exit_safely(hid_handle);
    return 1;
  }
  std::printf("Connected to     : %s %s\n", manufacturer, product);
  std::printf("Firmware version : %s\n", status->firmwareVersion.c_str());
  std::printf("Serial number    : %s\n", status->serialNumber.c_str());
  std::printf("LED brightness   : %u\n", status->ledBrightness);
  std::printf("Keypad type      : %u\n", status->keypadType);
  std::printf("Code table       :");
  for (uint8_t byte : status->codeTable.bytes) std::printf(" %02X", byte);
  std::printf("\n");
  hid_exit_safely(hid_handle);
  return 0;
}
