// USB devices coming and going on Windows: WM_DEVICECHANGE for the HID device interfaces (the
// keypad's and its loader's), received by a message-only window on the GUI thread, whose
// message loop Qt already runs.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/device_watch.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

// The event a window message carries, when it is an arrival or removal of a device interface:
// `header` is the message's DEV_BROADCAST_HDR (its lParam). Volume and port messages, and
// the bare "something changed" (DBT_DEVNODES_CHANGED), are not the keypad's.
std::optional<uint32_t> DeviceChangeEvent(uint32_t message, uintptr_t event, const void* header);

#ifdef _WIN32
class WindowsDeviceWatch : public DeviceWatch {
 public:
  ~WindowsDeviceWatch() override;
  bool start(USBDeviceNotification notify) override;
  void stop() override;

 private:
  static LRESULT CALLBACK Receive(HWND window, UINT message, WPARAM event, LPARAM header);

  HWND window_ = nullptr;
  HDEVNOTIFY registration_ = nullptr;
  USBDeviceNotification notify_;
};
#endif

}  // namespace platform
