#include "support/paths.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#endif
#include <iostream>

namespace support {

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  std::vector<std::string> words;
  int count = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) words.push_back(Utf8FromPath(wide[i]));
    LocalFree(wide);
  }
  return words;
#else
  return std::vector<std::string>(argv, argv + argc);
#endif
}

void StandardOutputAsBytes() {
#ifdef _WIN32
  std::cout.flush();
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

std::filesystem::path PathFromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string Utf8FromLocal8Bit(const std::string& text) {
  // A narrow path is read in the local encoding (the ANSI code page on Windows).
  return Utf8FromPath(std::filesystem::path(text));
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

std::string UserName() {
#ifdef _WIN32
  return EnvironmentText("USERNAME");
#else
  // The account, not what the environment claims: sudo and su keep USER of the caller.
  if (const passwd* account = getpwuid(geteuid()); account != nullptr) return account->pw_name;
  return EnvironmentText("USER");
#endif
}

long long ThisProgramId() {
#ifdef _WIN32
  return static_cast<long long>(GetCurrentProcessId());
#else
  return static_cast<long long>(getpid());
#endif
}

std::string ComputerName() {
#ifdef _WIN32
  return EnvironmentText("COMPUTERNAME");
#else
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
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

namespace {
std::filesystem::path ProgramFile() {
#ifdef _WIN32
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return {};
    if (length < name.size()) {
      name.resize(length);
      break;
    }
    name.resize(name.size() * 2);  // a long path: try again with room for it
  }
  const std::filesystem::path program(name);
#else
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
#endif
  return program;
}
}  // namespace

std::filesystem::path ProgramFolder() {
  return ProgramFile().parent_path();
}

std::string ProgramName() {
  return Utf8FromPath(ProgramFile().stem());
}

std::filesystem::path UserDataFolder() {
  const std::string named = EnvironmentText(kDataHomeVariable);
#ifdef _WIN32
  return named.empty() ? std::filesystem::path() : PathFromUtf8(named);
#else
  if (!named.empty() && PathFromUtf8(named).is_absolute()) return PathFromUtf8(named);
  const std::string home = EnvironmentText("HOME");
  return home.empty() ? std::filesystem::path() : PathFromUtf8(home) / ".local" / "share";
#endif
}

}  // namespace support

namespace support {

std::string UtcTimeText() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace support
