#include "support/paths.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace support {

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
#ifdef _WIN32
  const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(PathFromUtf8(path).c_str(), wideMode.c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

std::string EnvironmentText(const char* name) {
#ifdef _WIN32
  const std::wstring wideName(name, name + std::char_traits<char>::length(name));
  const wchar_t* value = _wgetenv(wideName.c_str());
  return value == nullptr ? std::string() : Utf8FromPath(std::filesystem::path(value));
#else
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
#endif
}

void SetEnvironmentText(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // Wide, so that a UTF-8 value reaches the wide reads unchanged; "" removes it.
  const std::wstring wideName = PathFromUtf8(name).wstring();
  const std::wstring wideValue = value ? PathFromUtf8(*value).wstring() : L"";
  _wputenv_s(wideName.c_str(), wideValue.c_str());
#else
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
#endif
}

}  // namespace support
