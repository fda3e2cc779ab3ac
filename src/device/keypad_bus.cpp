#include "device/keypad_bus.h"

#include "device/hid_seam.h"

#include <cwchar>

namespace navkeypad {

namespace {
// hidapi's own text for the last failure; the caller holds the global-state lock.
std::string LastOpenError() {
  const wchar_t* error = Hid().error(nullptr);
  std::string text;
  for (; error != nullptr && *error != L'\0'; ++error) {
    text.push_back(static_cast<char>(static_cast<uint32_t>(*error) & 0x7F));
  }
  if (text.empty() || text == "Success") return "it cannot be opened";
  return text;
}
}  // namespace

std::vector<KeypadOnBus> ListKeypads() {
  std::vector<KeypadOnBus> keypads;
  std::lock_guard lock(HidGlobalStateMutex());
  Hid().init();
  hid_device_info* list = Hid().enumerate(kKeypadVendorId, kKeypadProductId);
  for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    if (entry->interface_number != kConfigurationInterface) continue;
    KeypadOnBus keypad;
    keypad.path = entry->path;
    if (hid_device* device = Hid().openPath(entry->path)) {
      keypad.accessible = true;
      Hid().close(device);
    } else {
      keypad.problem = LastOpenError();
    }
    keypads.push_back(keypad);
  }
  Hid().freeEnumeration(list);
  return keypads;
}

hid_device* OpenKeypad(const std::string& path) {
  hid_device* device = nullptr;
  {
    std::lock_guard lock(HidGlobalStateMutex());
    Hid().init();
    device = Hid().openPath(path.c_str());
  }
  if (device != nullptr) Hid().setNonblocking(device, 1);
  return device;
}

std::string AccessAdvice() {
  return "Install the udev rule 60-velto-navigation-keypad.rules (the navkeypad package does; "
         "by hand: copy packaging/60-velto-navigation-keypad.rules to /etc/udev/rules.d and run "
         "'udevadm control --reload'), then plug the keypad in again.";
}

}  // namespace navkeypad
