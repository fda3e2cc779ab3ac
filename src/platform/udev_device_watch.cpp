#include "platform/udev_device_watch.h"

#include <libudev.h>

#include <cstring>

namespace platform {

UdevDeviceWatch::~UdevDeviceWatch() {
  stop();
}

bool UdevDeviceWatch::start(USBDeviceNotification notify) {
  stop();
  udev_ = udev_new();
  if (udev_ == nullptr) return false;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    stop();
    return false;
  }
  notify_ = std::move(notify);
  notifier_ =
      std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
  return true;
}

void UdevDeviceWatch::readEvents() {
  while (udev_device* device = udev_monitor_receive_device(monitor_)) {
    const char* action = udev_device_get_action(device);
    if (action != nullptr && notify_) {
      if (std::strcmp(action, "add") == 0) notify_(kDeviceChangeMessage, kDeviceArrived);
      if (std::strcmp(action, "remove") == 0) notify_(kDeviceChangeMessage, kDeviceRemoved);
    }
    udev_device_unref(device);
  }
}

void UdevDeviceWatch::stop() {
  notifier_.reset();
  notify_ = nullptr;
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  monitor_ = nullptr;
  if (udev_ != nullptr) udev_unref(udev_);
  udev_ = nullptr;
}

}  // namespace platform
