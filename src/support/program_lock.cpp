#include "support/program_lock.h"

#include <ctime>
#include <filesystem>
#include <utility>
#include <vector>

#include "support/atomic_file.h"
#include "support/paths.h"

#ifdef _WIN32
#include <windows.h>

#include <system_error>
#else
#include <fcntl.h>
#include <pwd.h>
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
    : handle_(std::exchange(other.handle_, kNone)), file_(std::move(other.file_)) {}

ProgramLock& ProgramLock::operator=(ProgramLock&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, kNone);
    file_ = std::move(other.file_);
  }
  return *this;
}

namespace {

// What a holder writes into its lock: program, process, user and since when (local time), one
// field a line, so that a program kept off can say by whom.
std::string HolderText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
  const unsigned long process = GetCurrentProcessId();
#else
  localtime_r(&now, &local);
  const long process = static_cast<long>(getpid());
#endif
  char since[32];
  std::strftime(since, sizeof since, "%Y-%m-%d %H:%M", &local);
  return ProgramName() + "\n" + std::to_string(process) + "\n" + UserName() + "\n" + since + "\n";
}

// "navkeypad-utility, process 4242, user anna, since 10:42" (the day too when it is not today).
std::string HolderWords(const std::string& text) {
  std::vector<std::string> fields;
  std::size_t begin = 0;
  for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
    fields.push_back(text.substr(begin, end - begin));
  if (fields.size() != 4 || fields[0].empty() || fields[1].empty() || fields[3].size() != 16)
    return {};
  for (std::string& field : fields) {
    for (char& c : field) {
      if (static_cast<unsigned char>(c) < 0x20) c = '?';  // a planted file says nothing odd
    }
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char today[16];
  std::strftime(today, sizeof today, "%Y-%m-%d", &local);
  const std::string since = fields[3].rfind(today, 0) == 0 ? fields[3].substr(11) : fields[3];
  return fields[0] + ", process " + fields[1] + ", user " +
         (fields[2].empty() ? std::string("unknown") : fields[2]) + ", since " + since;
}

#ifdef _WIN32
// Who holds the lock on `file`, as the holder wrote it there; empty when nobody said.
std::string LockHolder(const std::string& file) {
  std::string text;
  if (!ReadRegularFile(file, text, 4096).empty()) return {};
  return HolderWords(text);
}
#endif

}  // namespace

#ifdef _WIN32

bool ProgramLock::take(const std::string& file, bool wait) {
  release();
  problem_.clear();
  // Read access is all a lock needs, and all another user has to a lock file in the common
  // application-data folder.
  holder_.clear();
  const std::wstring path = PathFromUtf8(file).wstring();
  constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShared, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    handle = CreateFileW(path.c_str(), GENERIC_READ, kShared, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    problem_ = file + ": " + std::system_category().message(static_cast<int>(GetLastError()));
    return false;
  }
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    problem_ = file + " is not a plain file";
    return false;
  }
  // Windows locks bytes against reading too: the lock lies beyond the holder's words, so that
  // whoever is kept off can still read them.
  OVERLAPPED beyond{};
  beyond.OffsetHigh = 1;
  const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  if (!LockFileEx(handle, flags, 0, 1, 0, &beyond)) {
    CloseHandle(handle);
    holder_ = LockHolder(file);
    return false;
  }
  const std::string words = HolderText();
  DWORD written = 0;
  if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(handle))
    WriteFile(handle, words.data(), static_cast<DWORD>(words.size()), &written, nullptr);
  handle_ = handle;
  file_ = file;
  return true;
}

void ProgramLock::release() {
  if (handle_ == kNone) return;
  OVERLAPPED beyond{};
  beyond.OffsetHigh = 1;
  UnlockFileEx(static_cast<HANDLE>(handle_), 0, 1, 0, &beyond);
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = kNone;
}

std::string LockFolderProblem(const std::string&) {
  // The folders are made by the installer with their rights, and Windows keeps one user from
  // deleting another's open file.
  return {};
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

std::string NameOfUser(uid_t uid) {
  if (const passwd* account = getpwuid(uid); account != nullptr) return account->pw_name;
  return std::to_string(uid);
}

std::string KindOf(mode_t mode) {
  if (S_ISREG(mode)) return "a plain file";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISLNK(mode)) return "a link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a plain file";
}

// A file of the holder's own, of root, or of the folder's group in a folder that gives its files
// its group (the bench's): nobody else may remove it while another program holds it.
bool TrustedOwner(const struct stat& file, const struct stat& folder) {
  if (file.st_uid == geteuid() || file.st_uid == 0) return true;
  return (folder.st_mode & S_ISGID) != 0 && file.st_gid == folder.st_gid &&
         (file.st_mode & S_IWGRP) != 0;
}

// Opened without following a link and without blocking (a FIFO planted there would otherwise
// hold the program for ever), for writing: flock works on any open file, so a user who could
// open it only to read could still hold it, and keep every program off every keypad. Made when
// missing, and kept, for its owner and the folder's group only (0660), whatever the umask and
// whatever an older program made it with. -1 with errno, or -2 where it is no plain file (`kind`
// says what it is).
constexpr mode_t kLockFileMode = 0660;

int OpenLockFile(const std::string& file, std::string& kind) {
  constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat found {};
    if (lstat(file.c_str(), &found) == 0 && !S_ISREG(found.st_mode)) {
      kind = KindOf(found.st_mode);
      return -2;
    }
    int descriptor = open(file.c_str(), O_RDWR | kFlags);
    if (descriptor >= 0) {
      struct stat opened {};
      if (fstat(descriptor, &opened) == 0 && opened.st_uid == geteuid() &&
          (opened.st_mode & 07777) != kLockFileMode)
        fchmod(descriptor, kLockFileMode);
      return descriptor;
    }
    if (errno != ENOENT) return descriptor;
    const mode_t mode = kLockFileMode;
    descriptor = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, mode);
    if (descriptor >= 0) {
      fchmod(descriptor, mode);
      return descriptor;
    }
    if (errno != EEXIST) return descriptor;  // else made by another program just now
  }
  return -1;
}

}  // namespace

std::string LockFolderProblem(const std::string& folder) {
  struct stat found {};
  if (lstat(folder.c_str(), &found) != 0) return folder + ": " + std::strerror(errno);
  if (!S_ISDIR(found.st_mode)) return folder + " is " + KindOf(found.st_mode) + ", not a folder";
  if (found.st_uid != 0 && found.st_uid != geteuid()) {
    return folder + " belongs to the user " + NameOfUser(found.st_uid) +
           ", who could change the locks in it";
  }
  if ((found.st_mode & S_IWOTH) != 0 && (found.st_mode & S_ISVTX) == 0)
    return folder + " lets every user remove what others keep in it (it lacks the sticky bit)";
  return {};
}

bool ProgramLock::take(const std::string& file, bool wait) {
  release();
  problem_.clear();
  holder_.clear();
  // A file named without a folder is in the current one.
  const fs::path parent = PathFromUtf8(file).parent_path();
  const std::string folderPath = Utf8FromPath(parent.empty() ? fs::path(".") : parent);
  if (std::string problem = LockFolderProblem(folderPath); !problem.empty()) {
    problem_ = std::move(problem);
    return false;
  }
  struct stat folder {};
  stat(folderPath.c_str(), &folder);
  // In a sticky folder nobody but its owner may remove a file, so a lock file left there would
  // keep every other user off: there it goes with the lock. One taken just before it went is no
  // longer at its place, and is taken again there.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string kind;
    const int descriptor = OpenLockFile(file, kind);
    if (descriptor == -2) {
      problem_ = file + " is " + kind + ", not a lock";
      return false;
    }
    if (descriptor < 0) {
      problem_ = file + ": " + std::strerror(errno);
      return false;
    }
    struct stat opened {};
    if (fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode)) {
      close(descriptor);
      problem_ = file + " is " + KindOf(opened.st_mode) + ", not a lock";
      return false;
    }
    // flock belongs to the open file, so two opens conflict even within one program.
    int locked = -1;
    do {
      locked = flock(descriptor, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (locked != 0 && wait && errno == EINTR);
    if (locked != 0) {
      char words[512];
      const ssize_t length = pread(descriptor, words, sizeof words, 0);
      holder_ = length > 0 ? HolderWords(std::string(words, static_cast<std::size_t>(length))) : "";
      close(descriptor);
      return false;
    }
    struct stat there {};
    if (lstat(file.c_str(), &there) != 0 || there.st_ino != opened.st_ino ||
        there.st_dev != opened.st_dev) {
      close(descriptor);
      continue;
    }
    if (!TrustedOwner(opened, folder)) {
      close(descriptor);
      problem_ = file + " belongs to the user " + NameOfUser(opened.st_uid) +
                 ", who could remove it while it is held; that user or the administrator can "
                 "remove it";
      return false;
    }
    const std::string words = HolderText();
    if (ftruncate(descriptor, 0) == 0) {
      [[maybe_unused]] const auto written = pwrite(descriptor, words.data(), words.size(), 0);
    }
    handle_ = descriptor;
    file_ = (folder.st_mode & S_ISVTX) != 0 ? file : std::string();
    return true;
  }
  problem_ = file + " keeps being replaced by other programs";
  return false;
}

void ProgramLock::release() {
  if (handle_ == kNone) return;
  // Our words go before the lock does: a program kept off by the next holder, before that one
  // has written its own, must not name us.
  [[maybe_unused]] const int cleared = ftruncate(handle_, 0);
  // Removed while still held, so that nobody takes it between; a program waiting on the old
  // file sees it is gone and takes the lock anew.
  struct stat there {};
  struct stat held {};
  if (!file_.empty() && lstat(file_.c_str(), &there) == 0 && fstat(handle_, &held) == 0 &&
      there.st_ino == held.st_ino && there.st_dev == held.st_dev) {
    unlink(file_.c_str());
  }
  close(handle_);  // lets go of the lock
  handle_ = kNone;
}

LockFolder SharedLockFolderIn(const std::string& parent) {
  const std::string folder = Utf8FromPath(PathFromUtf8(parent) / kSharedLockFolderName);
  // Whoever comes first makes it; the mode is set again since the umask takes bits off.
  if (mkdir(folder.c_str(), 01777) == 0) chmod(folder.c_str(), 01777);
  struct stat found {};
  if (lstat(folder.c_str(), &found) != 0) return {folder, folder + ": " + std::strerror(errno)};
  // A link there could lead this user's lock files into another user's folder; a folder of
  // another user could have its locks removed under the programs that hold them.
  return {folder, LockFolderProblem(folder)};
}

LockFolder SharedLockFolder() {
  std::error_code error;
  return SharedLockFolderIn(fs::is_directory("/run/lock", error) ? "/run/lock" : "/tmp");
}

#endif

}  // namespace support
