// The system's side of where a keypad is: udev on Linux, the configuration manager on Windows.
#include "device/usb_port.h"

#ifdef _WIN32
#include <windows.h>
// clang-format off
#include <initguid.h>
#include <devpkey.h>
#include <cfgmgr32.h>
// clang-format on
#include <vector>
#else
#include <libudev.h>
#endif

#include "support/paths.h"

namespace navkeypad {

#ifdef _WIN32

std::string UsbPortOfHidraw(const std::string&) {
  return {};
}

std::string UsbPortOf(const std::string& hidPath) {
  std::wstring instance = InstanceIdFromInterfacePath(support::PathFromUtf8(hidPath).wstring());
  if (instance.empty()) return {};
  DEVINST node = 0;
  if (CM_Locate_DevNodeW(&node, instance.data(), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return {};
  // Up from the HID collection, past the USB interface, to the USB device: its place.
  for (int level = 0; level < 4; ++level) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
    if (IsUsbDeviceInstance(id)) {
      DEVPROPTYPE type = 0;
      ULONG size = 0;
      CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type, nullptr, &size, 0);
      if (size == 0) return {};
      std::vector<wchar_t> paths(size / sizeof(wchar_t) + 1, L'\0');
      if (CM_Get_DevNode_PropertyW(node, &DEVPKEY_Device_LocationPaths, &type,
                                   reinterpret_cast<PBYTE>(paths.data()), &size, 0) != CR_SUCCESS) {
        return {};
      }
      return PortFromLocationPaths(paths.data(), paths.size());
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return {};
    node = parent;
  }
  return {};
}

#else

std::string UsbPortOfHidraw(const std::string& hidrawName) {
  udev* context = udev_new();
  if (context == nullptr) return {};
  std::string port;
  if (udev_device* node =
          udev_device_new_from_subsystem_sysname(context, "hidraw", hidrawName.c_str())) {
    // Owned by `node`: not unreferenced on its own.
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device")) {
      if (const char* name = udev_device_get_sysname(usb)) port = name;
    }
    udev_device_unref(node);
  }
  udev_unref(context);
  return port;
}

std::string UsbPortOf(const std::string& hidPath) {
  // hidapi-hidraw lists its devices by their nodes, /dev/hidrawN.
  const auto slash = hidPath.rfind('/');
  const std::string name = slash == std::string::npos ? hidPath : hidPath.substr(slash + 1);
  if (name.rfind("hidraw", 0) != 0) return {};
  return UsbPortOfHidraw(name);
}

#endif

}  // namespace navkeypad
