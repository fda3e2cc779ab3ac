#include "support/program_lock.h"

#include <filesystem>
#include <utility>

#include "support/paths.h"

#ifdef _WIN32
#include <windows.h>

#include <system_error>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
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
  problem_.clear();
  // Read access is all a lock needs, and all another user has to a lock file in the common
  // application-data folder.
  HANDLE handle = CreateFileW(PathFromUtf8(file).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    problem_ = file + ": " + std::system_category().message(static_cast<int>(GetLastError()));
    return false;
  }
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

LockFolder SharedLockFolder() {
  std::string common = EnvironmentText("ProgramData");
  if (common.empty()) common = EnvironmentText("ALLUSERSPROFILE");
  if (common.empty()) return {{}, "the common application-data folder is not known (ProgramData)"};
  const fs::path folder = PathFromUtf8(common) / "VeltoInterface" / "locks";
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return {Utf8FromPath(folder), Utf8FromPath(folder) + ": " + error.message()};
  return {Utf8FromPath(folder), {}};
}

#else

namespace {
// A lock file, opened for reading (all flock needs, and all another user has). Another user's
// lock file in a shared sticky folder is opened without O_CREAT, which the kernel refuses there
// (fs.protected_regular); a missing one is made readable by everyone, whatever the umask.
int OpenLockFile(const std::string& file) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int descriptor = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor >= 0 || errno != ENOENT) return descriptor;
    descriptor = open(file.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor >= 0) {
      fchmod(descriptor, 0644);
      return descriptor;
    }
    if (errno != EEXIST) return descriptor;  // else made by another program just now
  }
  return -1;
}
}  // namespace

bool ProgramLock::take(const std::string& file, bool wait) {
  release();
  problem_.clear();
  const int descriptor = OpenLockFile(file);
  if (descriptor < 0) {
    problem_ = file + ": " + std::strerror(errno);
    return false;
  }
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

LockFolder SharedLockFolderIn(const std::string& parent) {
  const std::string folder = Utf8FromPath(PathFromUtf8(parent) / kSharedLockFolderName);
  // Whoever comes first makes it; the mode is set again since the umask takes bits off.
  if (mkdir(folder.c_str(), 01777) == 0) chmod(folder.c_str(), 01777);
  struct stat found {};
  if (lstat(folder.c_str(), &found) != 0) return {folder, folder + ": " + std::strerror(errno)};
  // A link there could lead this user's lock files into another user's folder.
  if (!S_ISDIR(found.st_mode)) return {folder, folder + " is not a folder"};
  return {folder, {}};
}

LockFolder SharedLockFolder() {
  std::error_code error;
  return SharedLockFolderIn(fs::is_directory("/run/lock", error) ? "/run/lock" : "/tmp");
}

#endif

}  // namespace support
