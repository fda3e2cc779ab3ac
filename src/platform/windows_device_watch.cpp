#include "platform/windows_device_watch.h"

#include <cstring>

#ifdef _WIN32
// After windows.h, which it needs.
#include <dbt.h>
#endif

namespace platform {

namespace {
// DBT_DEVTYP_DEVICEINTERFACE, the kind of DEV_BROADCAST_HDR that names a device interface.
constexpr uint32_t kDeviceInterfaceHeader = 5;
}  // namespace

std::optional<uint32_t> DeviceChangeEvent(uint32_t message, uintptr_t event, const void* header) {
  if (message != kDeviceChangeMessage || header == nullptr) return std::nullopt;
  if (event != kDeviceArrived && event != kDeviceRemoved) return std::nullopt;
  // DEV_BROADCAST_HDR: dbch_size, then dbch_devicetype, both 32-bit.
  uint32_t kind = 0;
  std::memcpy(&kind, static_cast<const unsigned char*>(header) + sizeof(uint32_t), sizeof kind);
  if (kind != kDeviceInterfaceHeader) return std::nullopt;
  return static_cast<uint32_t>(event);
}

#ifdef _WIN32

namespace {
// GUID_DEVINTERFACE_HID: every HID interface, the keypad's and its loader's alike.
constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr const wchar_t* kWindowClass = L"NavkeypadDeviceWatch";
}  // namespace

WindowsDeviceWatch::~WindowsDeviceWatch() {
  stop();
}

LRESULT CALLBACK WindowsDeviceWatch::Receive(HWND window, UINT message, WPARAM event,
                                             LPARAM header) {
  auto* watch = reinterpret_cast<WindowsDeviceWatch*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_DEVICECHANGE && watch != nullptr && watch->notify_) {
    if (const auto change =
            DeviceChangeEvent(message, event, reinterpret_cast<const void*>(header))) {
      watch->notify_(kDeviceChangeMessage, *change);
    }
    return TRUE;
  }
  return DefWindowProcW(window, message, event, header);
}

bool WindowsDeviceWatch::start(USBDeviceNotification notify) {
  stop();
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = &WindowsDeviceWatch::Receive;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return false;
  }
  window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                            nullptr);
  if (window_ == nullptr) return false;
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kHidInterfaceClass;
  registration_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  if (registration_ == nullptr) {
    stop();
    return false;
  }
  notify_ = std::move(notify);
  return true;
}

void WindowsDeviceWatch::stop() {
  notify_ = nullptr;
  if (registration_ != nullptr) UnregisterDeviceNotification(registration_);
  registration_ = nullptr;
  if (window_ != nullptr) DestroyWindow(window_);
  window_ = nullptr;
}

#endif

}  // namespace platform
