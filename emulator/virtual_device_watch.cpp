#include "virtual_device_watch.h"

#include "virtual_keypad.h"

namespace virtual_keypad {

VirtualDeviceWatch::~VirtualDeviceWatch() {
  stop();
}

bool VirtualDeviceWatch::start(USBDeviceNotification notify) {
  stop();
  if (failNextStart_) {
    failNextStart_ = false;
    return false;
  }
  std::lock_guard lock(mutex_);
  receiver_ = new QObject();
  active_ = std::make_shared<std::atomic<bool>>(true);
  listener_ = VirtualBus::instance().addChangeListener([this, notify](bool arrived) {
    std::lock_guard lock(mutex_);
    if (receiver_ == nullptr) return;
    const uint32_t event = arrived ? kDeviceArrived : kDeviceRemoved;
    QMetaObject::invokeMethod(
        receiver_,
        [notify, event, active = active_] {
          if (*active) notify(kDeviceChangeMessage, event);
        },
        Qt::QueuedConnection);
  });
  return true;
}

void VirtualDeviceWatch::stop() {
  int listener = 0;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
    listener_ = 0;
    if (active_) *active_ = false;
    // Deleting the receiver drops the notifications still queued for it.
    if (receiver_ != nullptr) receiver_->deleteLater();
    receiver_ = nullptr;
  }
  if (listener != 0) VirtualBus::instance().removeChangeListener(listener);
}

}  // namespace virtual_keypad
