#include "device/usb_port.h"

#include <algorithm>
#include <cwctype>

namespace navkeypad {

std::wstring InstanceIdFromInterfacePath(const std::wstring& path) {
  const std::wstring prefix = L"\\\\?\\";
  if (path.rfind(prefix, 0) != 0) return {};
  std::wstring id = path.substr(prefix.size());
  // The interface class's GUID closes the path; the instance ends before it.
  if (const auto guid = id.rfind(L"#{"); guid != std::wstring::npos) id.erase(guid);
  if (id.empty()) return {};
  std::replace(id.begin(), id.end(), L'#', L'\\');
  std::transform(id.begin(), id.end(), id.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  return id;
}

bool IsUsbDeviceInstance(const std::wstring& instanceId) {
  std::wstring id = instanceId;
  std::transform(id.begin(), id.end(), id.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
  return id.rfind(L"USB\\", 0) == 0 && id.find(L"&MI_") == std::wstring::npos;
}

std::string PortFromLocationPaths(const wchar_t* paths, std::size_t count) {
  std::string port;
  for (std::size_t i = 0; paths != nullptr && i < count && paths[i] != L'\0'; ++i) {
    const auto c = static_cast<uint32_t>(paths[i]);
    // Location paths are ASCII; anything else is not one.
    if (c < 0x20 || c > 0x7E) return {};
    port.push_back(static_cast<char>(c));
  }
  return port;
}

}  // namespace navkeypad
