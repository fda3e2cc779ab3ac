// USB devices coming and going, from udev's monitor, read on a thread of its own as soon as an
// event is there (the windows' thread may be busy with a keypad for a second and more; a
// monitor's queue is bounded) and delivered to the thread that started the watch. Where events
// were lost all the same (a full netlink socket: ENOBUFS), the bus is looked at afresh and what
// changed meanwhile is delivered as arrivals and removals.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <thread>

#include "platform/device_watch.h"
#include "platform/notification_relay.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace platform {

class UdevDeviceWatch : public DeviceWatch {
 public:
  ~UdevDeviceWatch() override;
  bool start(USBDeviceNotification notify) override;
  void stop() override;

 private:
  // A USB device and hidraw node by its place in sysfs, with what tells one enumeration of it
  // from the next (a USB device's number on its bus); a node's place names its HID device,
  // whose number is new each time.
  using Devices = std::map<std::string, std::string>;
  Devices devicesNow() const;
  void watch();  // the watch's thread
  void readEvents();
  void heard(udev_device* device);
  void lookAfresh();

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  int stopSignal_ = -1;  // an eventfd that ends the thread's wait
  std::thread thread_;
  std::unique_ptr<NotificationRelay> relay_;
  Devices known_;  // the watch thread's, once it runs
};

}  // namespace platform
