// udev's events on the keypad twin reach a program that reads its monitor late and slowly, whole
// and in order: the twin waits for room in the program's queue rather than overflow it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libudev.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "keypad_twin.h"
#include "virtual_keypad.h"

namespace {

using virtual_keypad::VirtualBus;

// A program's udev monitor whose thread is busy for a second at first, as the windows' thread
// may be during an exchange, and then reads one event at a time, pausing between.
class SlowListener {
 public:
  SlowListener() : udev_(udev_new()), monitor_(udev_monitor_new_from_netlink(udev_, "udev")) {
    udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device");
    udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr);
    enabled_ = udev_monitor_enable_receiving(monitor_) == 0;
    reader_ = std::thread([this] { read(); });
  }
  ~SlowListener() {
    finish();
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
  }
  bool enabled() const { return enabled_; }
  // What was heard, once everything sent before is read.
  const std::vector<std::string>& finish() {
    done_ = true;
    if (reader_.joinable()) reader_.join();
    return heard_;
  }

 private:
  void read() {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    pollfd wait{udev_monitor_get_fd(monitor_), POLLIN, 0};
    while (poll(&wait, 1, done_ ? 0 : 20) > 0 || !done_) {
      if (udev_device* device = udev_monitor_receive_device(monitor_)) {
        heard_.push_back(std::string(udev_device_get_action(device)) + " " +
                         udev_device_get_syspath(device));
        udev_device_unref(device);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  }

  udev* udev_;
  udev_monitor* monitor_;
  bool enabled_ = false;
  std::atomic<bool> done_ = false;
  std::vector<std::string> heard_;
  std::thread reader_;
};

TEST(TwinEvents, ABurstOfArrivalsAndDeparturesReachesASlowListenerWhole) {
  VirtualBus& bus = VirtualBus::instance();
  bus.reset();
  {
    virtual_keypad::KeypadTwin twin;
    twin.start();
    SlowListener listener;
    ASSERT_TRUE(listener.enabled());
    // Six keypads at once, then gone at once: three times what a listener's queue holds, each
    // way.
    for (int i = 0; i < 6; ++i) bus.plug();
    twin.settle();
    const auto keypads = bus.keypads();
    const std::size_t each = keypads.size() * (1 + keypads.front()->identity().interfaces.size());
    std::vector<std::string> added;
    for (const auto& keypad : keypads) {
      bus.unplug(keypad);
      added.push_back("add /sys/devices/pci0000:00/0000:00:14.0/usb1/" + keypad->port());
    }
    twin.settle();
    const auto& heard = listener.finish();
    ASSERT_EQ(heard.size(), 2 * each);
    for (std::size_t i = 0; i < heard.size(); ++i)
      EXPECT_EQ(heard[i].substr(0, heard[i].find(' ')), i < each ? "add" : "remove") << i;
    EXPECT_THAT(heard, ::testing::IsSupersetOf(added));
  }
  bus.reset();
}

}  // namespace
