// Device-change notifications from the virtual bus, delivered on the thread that started
// the watch, as the desktop delivers its own.
#pragma once

#include <memory>
#include <mutex>

#include "platform/device_watch.h"
#include "platform/notification_relay.h"

namespace virtual_keypad {

class VirtualDeviceWatch : public DeviceWatch {
 public:
  ~VirtualDeviceWatch() override;
  bool start(USBDeviceNotification notify) override;
  void stop() override;
  // Refuses the next start, as a desktop may.
  void failNextStart() { failNextStart_ = true; }

 private:
  std::mutex mutex_;
  std::unique_ptr<platform::NotificationRelay> relay_;
  int listener_ = 0;
  bool failNextStart_ = false;
};

}  // namespace virtual_keypad
