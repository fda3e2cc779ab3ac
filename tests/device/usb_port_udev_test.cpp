// Where a keypad is plugged in, as udev shows it: a sysfs tree laid out by the test (umockdev,
// whose preload library this program runs under), asked through the system's libudev as the
// real programs ask it.
#include <gtest/gtest.h>
#include <umockdev.h>

#include "device/usb_port.h"

namespace {

// A keypad's configuration node below its USB device, interface and HID device, as the kernel
// lays them out, and a loader's below another USB device (the levels between left out).
const char* const kTree = R"(P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/1-1.4:1.1
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/1-1.4:1.1/0003:2047:09E1.0002
E: SUBSYSTEM=hid

P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/1-1.4:1.1/0003:2047:09E1.0002/hidraw/hidraw3
N: hidraw3
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw3

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device

P: /devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/0003:2047:0200.0005/hidraw/hidraw5
N: hidraw5
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw5

P: /devices/virtual/misc/uhid/0003:2047:09E1.0009
E: SUBSYSTEM=hid

P: /devices/virtual/misc/uhid/0003:2047:09E1.0009/hidraw/hidraw9
N: hidraw9
E: SUBSYSTEM=hidraw
E: DEVNAME=/dev/hidraw9
)";

}  // namespace

TEST(UsbPortFromUdev, AHidrawNodeIsKnownByTheUsbDeviceAboveIt) {
  UMockdevTestbed* bed = umockdev_testbed_new();
  ASSERT_TRUE(umockdev_in_mock_environment()) << "run this program under umockdev-wrapper";
  GError* error = nullptr;
  ASSERT_TRUE(umockdev_testbed_add_from_string(bed, kTree, &error))
      << (error != nullptr ? error->message : "");
  for (const auto& [node, port] : {
           std::pair{"/dev/hidraw3", "1-1.4"},  // a keypad on a hub's port 4
           {"/dev/hidraw5", "2-3"},             // a loader on the second bus
           {"/dev/hidraw9", ""},                // a HID device with no USB device above it
           {"/dev/hidraw7", ""},                // a node that is not there
           {"virtual:a:1.1", ""},               // no node at all
       }) {
    EXPECT_EQ(navkeypad::UsbPortOf(node), port) << node;
  }
  g_object_unref(bed);
}
