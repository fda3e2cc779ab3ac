// Where a keypad is plugged in, as each system says it: the Windows configuration manager's
// texts decoded (everywhere, so that the decoding is tried on Linux and under Wine alike).
#include "device/usb_port.h"

#include <gtest/gtest.h>

#include <iterator>

using namespace navkeypad;

TEST(UsbPort, WindowsTextsAreDecodedToTheUsbDeviceAndItsLocation) {
  // The keypad's configuration interface, its loader, and paths that are not of that shape.
  const std::wstring guid = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  EXPECT_EQ(InstanceIdFromInterfacePath(L"\\\\?\\hid#vid_2047&pid_09e1&mi_01#7&1a2b&0&0000" + guid),
            L"HID\\VID_2047&PID_09E1&MI_01\\7&1A2B&0&0000");
  EXPECT_EQ(InstanceIdFromInterfacePath(L"\\\\?\\HID#VID_2047&PID_0200#6&2c&0&0000" + guid),
            L"HID\\VID_2047&PID_0200\\6&2C&0&0000");
  EXPECT_EQ(InstanceIdFromInterfacePath(L"/dev/hidraw3"), L"");
  EXPECT_EQ(InstanceIdFromInterfacePath(L"\\\\?\\" + guid), L"");
  // Up from the HID collection, the USB device is the first node that is no interface of one.
  EXPECT_TRUE(IsUsbDeviceInstance(L"USB\\VID_2047&PID_09E1\\5&3A0&0&4"));
  EXPECT_TRUE(IsUsbDeviceInstance(L"usb\\vid_2047&pid_0200\\6&2c&0&2"));
  EXPECT_FALSE(IsUsbDeviceInstance(L"USB\\VID_2047&PID_09E1&MI_01\\6&1F&0&0001"));
  EXPECT_FALSE(IsUsbDeviceInstance(L"HID\\VID_2047&PID_09E1&MI_01\\7&1A2B&0&0000"));
  // The first of the location paths, ended by its NUL or the buffer's end; not ASCII is none.
  const wchar_t paths[] = L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)\0ACPI(_SB_)#ACPI(XHC_)\0";
  EXPECT_EQ(PortFromLocationPaths(paths, std::size(paths)),
            "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)");
  EXPECT_EQ(PortFromLocationPaths(L"PCIROOT(0)", 4), "PCIR");
  EXPECT_EQ(PortFromLocationPaths(L"USB(\u00e9)", 6), "");
}
