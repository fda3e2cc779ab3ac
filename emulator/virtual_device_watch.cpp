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
  relay_ = std::make_unique<platform::NotificationRelay>(std::move(notify));
  listener_ = VirtualBus::instance().addChangeListener([this](bool arrived) {
    std::lock_guard lock(mutex_);
    if (relay_ != nullptr) relay_->post(arrived ? kDeviceArrived : kDeviceRemoved);
  });
  return true;
}

void VirtualDeviceWatch::stop() {
  int listener = 0;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
    listener_ = 0;
    relay_.reset();
  }
  if (listener != 0) VirtualBus::instance().removeChangeListener(listener);
}

}  // namespace virtual_keypad
