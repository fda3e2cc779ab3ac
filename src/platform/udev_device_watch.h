// USB devices coming and going, from the kernel's udev monitor, read on the GUI thread
// through a socket notifier.
#pragma once

#include <QSocketNotifier>
#include <memory>

#include "platform/device_watch.h"

struct udev;
struct udev_monitor;

namespace platform {

class UdevDeviceWatch : public DeviceWatch {
 public:
  ~UdevDeviceWatch() override;
  bool start(USBDeviceNotification notify) override;
  void stop() override;

 private:
  void readEvents();

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  std::unique_ptr<QSocketNotifier> notifier_;
  USBDeviceNotification notify_;
};

}  // namespace platform
