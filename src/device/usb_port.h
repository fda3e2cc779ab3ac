// Where a keypad is plugged in: the USB port as the system names it. A keypad, its loader and
// the keypad that comes back from the loader share it, while HID paths change at every
// re-enumeration; with what a keypad reports it is what tells one keypad from another.
#pragma once

#include <cstddef>
#include <string>

namespace navkeypad {

// The port of the HID device at `hidPath` (a hidraw node on Linux, an interface path on
// Windows); empty where the system cannot say.
std::string UsbPortOf(const std::string& hidPath);

// Linux: the sysfs name of the USB device above the hidraw node `hidrawName` ("hidraw3"), for
// example "1-1.4", asked of udev; empty without one.
std::string UsbPortOfHidraw(const std::string& hidrawName);

// Windows: the device instance of an interface path
// ("\\?\HID#VID_2047&PID_09E1&MI_01#7&1a2b&0&0000#{guid}" gives
// "HID\VID_2047&PID_09E1&MI_01\7&1a2b&0&0000"); empty when the path is not of that shape.
std::wstring InstanceIdFromInterfacePath(const std::wstring& path);
// Whether a device instance is a USB device itself ("USB\VID_2047&PID_09E1\..."), not one of
// its interfaces ("...&MI_01...") nor a HID collection: the node that has a place on the bus.
bool IsUsbDeviceInstance(const std::wstring& instanceId);
// The first of a device's location paths (a list of NUL-ended texts, as the configuration
// manager gives DEVPKEY_Device_LocationPaths), for example
// "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"; empty when there is none.
std::string PortFromLocationPaths(const wchar_t* paths, std::size_t count);

}  // namespace navkeypad
