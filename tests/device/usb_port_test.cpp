// Where a keypad is plugged in, as each system says it: the Windows configuration manager's
// texts decoded (everywhere, so that the decoding is tried on Linux and under Wine alike).
#include "device/usb_port.h"

#include <gtest/gtest.h>

using navkeypad::InstanceIdFromInterfacePath;
using navkeypad::IsUsbDeviceInstance;
using navkeypad::PortFromLocationPaths;

TEST(UsbPort, WindowsTextsAreDecodedToTheUsbDeviceAndItsLocation) {
  // The keypad's configuration interface, its loader, and paths that are not of that shape.
  for (const auto& [path, instance] : {
           std::pair{L"\\\\?\\hid#vid_2047&pid_09e1&mi_01#7&1a2b3c4d&0&0000#"
                     L"{4d1e55b2-f16f-11cf-88cb-001111000030}",
                     L"HID\\VID_2047&PID_09E1&MI_01\\7&1A2B3C4D&0&0000"},
           {L"\\\\?\\HID#VID_2047&PID_0200#6&2c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
            L"HID\\VID_2047&PID_0200\\6&2C&0&0000"},
           {L"/dev/hidraw3", L""},
           {L"\\\\?\\#{4d1e55b2-f16f-11cf-88cb-001111000030}", L""},
       }) {
    EXPECT_EQ(InstanceIdFromInterfacePath(path), instance);
  }
  // Up from the HID collection, the USB device is the first node that is no interface of one.
  for (const auto& [instance, device] : {
           std::pair{L"USB\\VID_2047&PID_09E1\\5&3A0&0&4", true},
           {L"usb\\vid_2047&pid_0200\\6&2c&0&2", true},
           {L"USB\\VID_2047&PID_09E1&MI_01\\6&1F&0&0001", false},
           {L"HID\\VID_2047&PID_09E1&MI_01\\7&1A2B3C4D&0&0000", false},
       }) {
    EXPECT_EQ(IsUsbDeviceInstance(instance), device) << static_cast<int>(device);
  }
  // The first of the location paths, ended by its NUL; a text that is not ASCII is none.
  const wchar_t paths[] =
      L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)\0ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)\0";
  EXPECT_EQ(PortFromLocationPaths(paths, sizeof paths / sizeof paths[0]),
            "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)");
  EXPECT_EQ(PortFromLocationPaths(L"USB(\u00e9)", 6), "");
  EXPECT_EQ(PortFromLocationPaths(nullptr, 0), "");
  // Cut where the buffer ends, not past it.
  EXPECT_EQ(PortFromLocationPaths(L"PCIROOT(0)", 4), "PCIR");
}
