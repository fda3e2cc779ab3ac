// The main window on the keypad twin: the keypad found at start-up through udev and hidraw, and
// a scan that follows a pull and a plug; the upgrade window's count after udev's events were
// lost. The upgrade window's journeys run on the twin too (this program builds them with
// NAVKEYPAD_ON_TWIN).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libudev.h>

#include <QTextEdit>
#include <atomic>
#include <cerrno>

#include "device/usb_port.h"
#include "firmware_upgrade_fixture.h"

namespace {
// While set, each event a monitor receives is lost as in a netlink socket that overflowed: the
// read fails with ENOBUFS. The device watch reads through here (this program's definition comes
// before libudev's).
std::atomic<bool> eventsLost = false;
std::atomic<int> lost = 0;
}  // namespace

extern "C" udev_device* udev_monitor_receive_device(udev_monitor* monitor) {
  using Receive = udev_device* (*)(udev_monitor*);
  static const auto received = reinterpret_cast<Receive>(dlsym(RTLD_NEXT, __func__));
  udev_device* device = received(monitor);
  if (device == nullptr || !eventsLost) return device;
  udev_device_unref(device);
  ++lost;
  errno = ENOBUFS;
  return nullptr;
}

using WindowsOnTwin = FirmwareUpgrade;

TEST_F(WindowsOnTwin, TheUpgradeWindowsCountFollowsTheBusWhenUdevsEventsWereLost) {
  openUpgradeWindow();
  EXPECT_EQ(label(), "Found 1 device");
  eventsLost = true;
  plugWaitingLoader();
  plugWaitingLoader();
  // Both loaders' USB devices and nodes were heard of only as lost.
  EXPECT_TRUE(waitFor([&] { return lost >= 4; }));
  eventsLost = false;
  EXPECT_TRUE(waitFor([&] { return label() == "Found 3 devices"; })) << label().toStdString();
}

TEST_F(WindowsOnTwin, StartUpFindsTheKeypadThroughUdevAndAScanFollowsAPullAndAPlug) {
  const auto firstLine = [&] {
    return find<QTextEdit>(form_.get(), "richTextBox1")->toPlainText().split('\n')[0];
  };
  EXPECT_TRUE(firstLine().endsWith("Firmware Version        -   1.04"))
      << firstLine().toStdString();
  EXPECT_EQ(find<QComboBox>(form_.get(), "ledBrightnessCbox")->currentText(), "LED Brightness - 7");
  bus().unplug(keypad_);
  scanAgain();
  EXPECT_TRUE(firstLine().startsWith("Device Connected   -    None")) << firstLine().toStdString();
  bus().plug("b")->setFirmwareVersion("2.00");
  scanAgain();
  EXPECT_TRUE(firstLine().endsWith("Firmware Version        -   2.00"))
      << firstLine().toStdString();
}

// Where a keypad is plugged in, as udev says it through the system's libudev: the USB device
// above its hidraw node; nothing for a node that is not there, or a path that is none.
TEST_F(WindowsOnTwin, AHidrawNodeIsKnownByTheUsbDeviceAboveIt) {
  // Made whole before it is plugged in, after the keypad's hidraw0 and hidraw1.
  auto loader = std::make_shared<virtual_keypad::VirtualKeypad>("l");
  loader->setPort("2-3");
  loader->startInLoader();
  bus().plugKeypad(loader);
  settle();
  for (const auto& [node, port] : {std::pair{"/dev/hidraw1", "1-keypad1"},
                                   {"/dev/hidraw2", "2-3"},
                                   {"/dev/hidraw7", ""},
                                   {"virtual:l:1.0", ""}})
    EXPECT_EQ(navkeypad::UsbPortOf(node), port) << node;
}
