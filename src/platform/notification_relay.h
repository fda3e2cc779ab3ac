// Device notifications handed from the thread that hears of them (a udev monitor's reader, the
// virtual bus) to the thread that started the watch, the windows' own, in the order heard. None
// is delivered once the relay is gone.
#pragma once

#include <QObject>
#include <atomic>
#include <memory>

#include "platform/device_watch.h"

namespace platform {

class NotificationRelay {
 public:
  // Made on the thread that is to receive the notifications.
  explicit NotificationRelay(USBDeviceNotification notify);
  ~NotificationRelay();
  NotificationRelay(const NotificationRelay&) = delete;
  NotificationRelay& operator=(const NotificationRelay&) = delete;

  // From any thread; delivered by the receiving thread's event loop.
  void post(uint32_t event) const;

 private:
  QObject* receiver_;  // lives on the receiving thread
  // Cleared when the relay goes; a notification already queued then goes nowhere.
  std::shared_ptr<std::atomic<bool>> active_ = std::make_shared<std::atomic<bool>>(true);
  USBDeviceNotification notify_;
};

}  // namespace platform
