#include "support/atomic_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace support {
namespace fs = std::filesystem;

namespace {

fs::path TemporarySibling(const fs::path& target) {
  std::random_device random;
  const auto suffix = std::to_string(random()) + std::to_string(random());
  return target.parent_path() / ("." + target.filename().string() + "." + suffix + ".tmp");
}

bool WriteNewFile(const fs::path& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.string().c_str(), "wbx");
  if (file == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = std::fflush(file) == 0 && ok;
#ifndef _WIN32
  ok = fsync(fileno(file)) == 0 && ok;
#endif
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& bytes) {
  const fs::path target(path);
  std::error_code error;
  const auto targetStatus = fs::status(target, error);
  const bool exists = fs::exists(targetStatus);
  if (exists) {
    if (!fs::is_regular_file(targetStatus)) return false;
    std::ofstream probe(target, std::ios::binary | std::ios::app);
    if (!probe.is_open()) return false;
  }
  const fs::path temporary = TemporarySibling(target);
  if (!WriteNewFile(temporary, bytes)) {
    fs::remove(temporary, error);
    return false;
  }
  if (exists) fs::permissions(temporary, targetStatus.permissions(), error);
  fs::rename(temporary, target, error);
  if (error) {
    fs::remove(temporary, error);
    return false;
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace support
