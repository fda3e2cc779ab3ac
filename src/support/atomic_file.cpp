#include "support/atomic_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "support/paths.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace support {
namespace fs = std::filesystem;

namespace {

fs::path TemporarySibling(const fs::path& target) {
  std::random_device random;
  const auto suffix = std::to_string(random()) + std::to_string(random());
  return target.parent_path() /
         PathFromUtf8("." + Utf8FromPath(target.filename()) + "." + suffix + ".tmp");
}

// Writes, flushes and (where the system has it) syncs the open file; false on any failure.
bool WriteAndSync(std::FILE* file, const std::string& bytes) {
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = std::fflush(file) == 0 && ok;
#ifdef _WIN32
  ok = FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != 0 && ok;
#else
  ok = fsync(fileno(file)) == 0 && ok;
#endif
  return std::fclose(file) == 0 && ok;
}

// Creates the file only where none stands (two saves racing each get their own name).
bool WriteNewFile(const fs::path& path, const std::string& bytes) {
#ifdef _WIN32
  // The C runtime MinGW links does not know fopen's "x"; _O_EXCL is the same promise.
  const int descriptor =
      _wopen(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (descriptor < 0) return false;
  std::FILE* file = _fdopen(descriptor, "wb");
  if (file == nullptr) {
    _close(descriptor);
    return false;
  }
#else
  std::FILE* file = std::fopen(path.c_str(), "wbx");
  if (file == nullptr) return false;
#endif
  return WriteAndSync(file, bytes);
}

// Overwrites the file itself, as a plain save does, when no file can be made beside it (or
// given its owner). Owner, mode and links stay; should the write fail, the old bytes go back.
bool WriteInPlace(const fs::path& target, const std::string& bytes) {
  std::string old;
  if (!ReadWholeFile(Utf8FromPath(target), old)) return false;
  std::FILE* file = OpenFile(Utf8FromPath(target), "wb");
  if (file == nullptr) return false;
  if (WriteAndSync(file, bytes)) return true;
  if (std::FILE* again = OpenFile(Utf8FromPath(target), "wb")) WriteAndSync(again, old);
  return false;
}

// Gives the new file the target's owner and group; false when this user may not.
bool TakeOwner(const fs::path& temporary, const fs::path& target) {
#ifndef _WIN32
  struct stat existing {};
  if (stat(target.c_str(), &existing) != 0) return false;
  if (existing.st_uid == geteuid() && existing.st_gid == getegid()) return true;
  return chown(temporary.c_str(), existing.st_uid, existing.st_gid) == 0;
#else
  (void)temporary;
  (void)target;
  return true;
#endif
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
  std::error_code error;
  fs::path target = PathFromUtf8(path);
  // A link (a dotfile manager's, say) stays a link: the file it names gets the bytes.
  if (fs::is_symlink(fs::symlink_status(target, error))) {
    target = fs::weakly_canonical(target, error);
    if (error) return false;
  }
  const auto targetStatus = fs::status(target, error);
  const bool exists = fs::exists(targetStatus);
  if (exists) {
    if (!fs::is_regular_file(targetStatus)) return false;
#ifdef _WIN32
    // A read-only file stays as it is, whoever asks (Wine run as root could open it).
    if ((targetStatus.permissions() & fs::perms::owner_write) == fs::perms::none) return false;
#endif
    // A file this user may not write is refused, as a plain save would be.
    std::ofstream probe(target, std::ios::binary | std::ios::app);
    if (!probe.is_open()) return false;
  }
  const fs::path temporary = TemporarySibling(target);
  if (!WriteNewFile(temporary, bytes)) {
    fs::remove(temporary, error);
    return exists && WriteInPlace(target, bytes);
  }
  if (exists) {
    fs::permissions(temporary, targetStatus.permissions(), error);
    if (!TakeOwner(temporary, target)) {
      fs::remove(temporary, error);
      return WriteInPlace(target, bytes);
    }
  }
  fs::rename(temporary, target, error);
  if (error) {
    fs::remove(temporary, error);
    return false;
  }
  return true;
}

std::string RegularFileProblem(const std::string& path, std::uintmax_t maxBytes) {
  std::error_code error;
  const fs::path file = PathFromUtf8(path);
  const fs::file_status status = fs::status(file, error);
  if (status.type() == fs::file_type::not_found) return "is missing";
  if (error) return "cannot be read (" + error.message() + ")";
  if (status.type() == fs::file_type::directory) return "is a folder, not a file";
  if (status.type() != fs::file_type::regular) return "is not a regular file";
  const std::uintmax_t size = fs::file_size(file, error);
  if (error) return "cannot be read (" + error.message() + ")";
  if (size > maxBytes) return "is larger than " + std::to_string(maxBytes) + " bytes";
  return {};
}

std::string ReadRegularFile(const std::string& path, std::string& bytes, std::uintmax_t maxBytes) {
  bytes.clear();
  if (std::string why = RegularFileProblem(path, maxBytes); !why.empty()) return why;
  const fs::path file = PathFromUtf8(path);
  std::error_code error;
  const std::uintmax_t size = fs::file_size(file, error);
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) return "cannot be opened";
  bytes.resize(static_cast<std::size_t>(size));
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad()) return "cannot be read";
  return {};
}

std::string WritableFileProblem(const std::string& path) {
  if (path.empty()) return "no file is named";
  const fs::path file = PathFromUtf8(path);
  // The longest name common file systems hold, in bytes of UTF-8 (ext4, NTFS in characters).
  constexpr std::size_t kLongestName = 255;
  for (const fs::path& part : file) {
    if (part.u8string().size() > kLongestName) {
      return "its name is longer than file systems allow (" + std::to_string(kLongestName) +
             " bytes a name)";
    }
  }
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (status.type() == fs::file_type::directory) return "is a folder, not a file";
  if (status.type() != fs::file_type::not_found && status.type() != fs::file_type::regular) {
    return error ? "cannot be reached (" + error.message() + ")" : "is not a regular file";
  }
  const fs::path folder = file.parent_path();
  if (!folder.empty()) {
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
      return "its folder " + Utf8FromPath(folder) + " cannot be made" +
             (error ? " (" + error.message() + ")" : std::string());
    }
  }
  return {};
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  constexpr std::uintmax_t kNoFileOfOursIsLarger = 256u << 20;
  return ReadRegularFile(path, bytes, kNoFileOfOursIsLarger).empty();
}

}  // namespace support
