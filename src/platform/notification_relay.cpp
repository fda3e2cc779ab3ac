#include "platform/notification_relay.h"

namespace platform {

NotificationRelay::NotificationRelay(USBDeviceNotification notify)
    : receiver_(new QObject()), notify_(std::move(notify)) {}

NotificationRelay::~NotificationRelay() {
  *active_ = false;
  // Deleting the receiver drops the notifications still queued for it.
  receiver_->deleteLater();
}

void NotificationRelay::post(uint32_t event) const {
  QMetaObject::invokeMethod(
      receiver_,
      [notify = notify_, event, active = active_] {
        if (*active) notify(kDeviceChangeMessage, event);
      },
      Qt::QueuedConnection);
}

}  // namespace platform
