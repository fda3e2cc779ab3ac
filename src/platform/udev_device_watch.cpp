#include "platform/udev_device_watch.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

// What a monitor asks of the kernel for its queue: a hub's burst (each port's USB device,
// interfaces, HID devices and nodes, arriving and leaving) with room to spare. Without the right
// to force it the kernel gives what its limit allows (net.core.rmem_max).
constexpr int kReceiveBuffer = 4 * 1024 * 1024;

bool Watched(udev_device* device) {
  const char* subsystem = udev_device_get_subsystem(device);
  const char* type = udev_device_get_devtype(device);
  if (subsystem == nullptr) return false;
  if (std::strcmp(subsystem, "hidraw") == 0) return true;
  return std::strcmp(subsystem, "usb") == 0 && type != nullptr &&
         std::strcmp(type, "usb_device") == 0;
}

std::string Enumeration(udev_device* device) {
  const char* number = udev_device_get_sysattr_value(device, "devnum");
  return number != nullptr ? number : "";
}

}  // namespace

UdevDeviceWatch::~UdevDeviceWatch() {
  stop();
}

bool UdevDeviceWatch::start(USBDeviceNotification notify) {
  stop();
  udev_ = udev_new();
  if (udev_ == nullptr) return false;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  stopSignal_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (monitor_ == nullptr || stopSignal_ < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") < 0 ||
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    stop();
    return false;
  }
  // A smaller queue than asked for still works; the events it cannot hold are looked for afresh.
  udev_monitor_set_receive_buffer_size(monitor_, kReceiveBuffer);
  known_ = devicesNow();
  relay_ = std::make_unique<NotificationRelay>(std::move(notify));
  thread_ = std::thread([this] { watch(); });
  return true;
}

void UdevDeviceWatch::watch() {
  std::array<pollfd, 2> waits{pollfd{udev_monitor_get_fd(monitor_), POLLIN, 0},
                              pollfd{stopSignal_, POLLIN, 0}};
  for (;;) {
    if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) return;
    if (waits[1].revents != 0) return;
    if (waits[0].revents != 0) readEvents();
  }
}

void UdevDeviceWatch::readEvents() {
  for (;;) {
    errno = 0;
    if (udev_device* device = udev_monitor_receive_device(monitor_)) {
      heard(device);
      udev_device_unref(device);
    } else if (errno == ENOBUFS) {
      lookAfresh();
    } else if (errno != EINTR) {
      return;
    }
  }
}

void UdevDeviceWatch::heard(udev_device* device) {
  const char* action = udev_device_get_action(device);
  const char* place = udev_device_get_syspath(device);
  if (action == nullptr || place == nullptr) return;
  if (std::strcmp(action, "add") == 0) {
    known_[place] = Enumeration(device);
    relay_->post(kDeviceArrived);
  } else if (std::strcmp(action, "remove") == 0) {
    known_.erase(place);
    relay_->post(kDeviceRemoved);
  }
}

// The events that were lost said what the bus shows now and the watch knew before does not.
void UdevDeviceWatch::lookAfresh() {
  Devices now = devicesNow();
  for (const auto& [place, enumeration] : known_) {
    const auto still = now.find(place);
    if (still == now.end() || still->second != enumeration) relay_->post(kDeviceRemoved);
  }
  for (const auto& [place, enumeration] : now) {
    const auto before = known_.find(place);
    if (before == known_.end() || before->second != enumeration) relay_->post(kDeviceArrived);
  }
  known_ = std::move(now);
}

UdevDeviceWatch::Devices UdevDeviceWatch::devicesNow() const {
  Devices devices;
  udev_enumerate* list = udev_enumerate_new(udev_);
  if (list == nullptr) return devices;
  udev_enumerate_add_match_subsystem(list, "usb");
  udev_enumerate_add_match_subsystem(list, "hidraw");
  udev_enumerate_scan_devices(list);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(list)) {
    udev_device* device = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
    if (device == nullptr) continue;
    if (Watched(device)) devices[udev_device_get_syspath(device)] = Enumeration(device);
    udev_device_unref(device);
  }
  udev_enumerate_unref(list);
  return devices;
}

void UdevDeviceWatch::stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = write(stopSignal_, &one, sizeof one);
    thread_.join();
  }
  relay_.reset();
  known_.clear();
  if (stopSignal_ >= 0) close(stopSignal_);
  stopSignal_ = -1;
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  monitor_ = nullptr;
  if (udev_ != nullptr) udev_unref(udev_);
  udev_ = nullptr;
}

}  // namespace platform
