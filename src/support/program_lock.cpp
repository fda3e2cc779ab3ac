#include "support/program_lock.h"

#include <filesystem>
#include <utility>

#include "support/paths.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace support {

namespace fs = std::filesystem;

ProgramLock::~ProgramLock() {
  release();
}

ProgramLock::ProgramLock(ProgramLock&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)) {}

ProgramLock& ProgramLock::operator=(ProgramLock&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, kNone);
  }
  return *this;
}

#ifdef _WIN32

bool ProgramLock::take(const std::string& file, bool wait) {
  release();
  HANDLE handle = CreateFileW(PathFromUtf8(file).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED whole{};
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (!LockFileEx(handle, flags, 0, MAXDWORD, MAXDWORD, &whole)) {
    CloseHandle(handle);
    return false;
  }
  handle_ = handle;
  return true;
}

void ProgramLock::release() {
  if (handle_ == kNone) return;
  OVERLAPPED whole{};
  UnlockFileEx(static_cast<HANDLE>(handle_), 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = kNone;
}

std::string DefaultLockFolder() {
  const std::string appData = EnvironmentText("LOCALAPPDATA");
  if (appData.empty()) return {};
  const fs::path folder = PathFromUtf8(appData) / "VeltoInterface" / "locks";
  std::error_code error;
  fs::create_directories(folder, error);
  return error ? std::string() : Utf8FromPath(folder);
}

#else

bool ProgramLock::take(const std::string& file, bool wait) {
  release();
  const int descriptor = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (descriptor < 0) return false;
  // flock belongs to the open file, so two opens conflict even within one program.
  int locked = -1;
  do {
    locked = flock(descriptor, LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (locked != 0 && wait && errno == EINTR);
  if (locked != 0) {
    close(descriptor);
    return false;
  }
  handle_ = descriptor;
  return true;
}

void ProgramLock::release() {
  if (handle_ == kNone) return;
  close(handle_);  // lets go of the lock
  handle_ = kNone;
}

std::string DefaultLockFolder() {
  const std::string runtime = EnvironmentText("XDG_RUNTIME_DIR");
  std::error_code error;
  fs::path folder;
  if (!runtime.empty() && PathFromUtf8(runtime).is_absolute()) {
    folder = PathFromUtf8(runtime) / "navkeypad";
  } else {
    folder = fs::temp_directory_path(error) / ("navkeypad-" + std::to_string(getuid()));
    if (error) return {};
  }
  fs::create_directories(folder, error);
  if (error) return {};
  fs::permissions(folder, fs::perms::owner_all, error);
  return Utf8FromPath(folder);
}

#endif

}  // namespace support
