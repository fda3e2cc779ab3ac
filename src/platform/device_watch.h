// Device arrival and removal as the desktop reports them: the device-change message
// (0x0219) with its event code, 0x8000 arrived and 0x8004 removed. The loader library
// delivers them to its windows; a udev monitor or the virtual bus produces them.
#pragma once

#include <cstdint>
#include <functional>

inline constexpr uint32_t kDeviceChangeMessage = 0x0219;
inline constexpr uint32_t kDeviceArrived = 0x8000;
inline constexpr uint32_t kDeviceRemoved = 0x8004;
using USBDeviceNotification = std::function<void(uint32_t message, uint32_t event)>;

// Where notifications come from. The program installs one before any window registers.
class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
  virtual bool start(USBDeviceNotification notify) = 0;
  virtual void stop() = 0;
};
