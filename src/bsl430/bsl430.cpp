#include "bsl430/bsl430.h"

#include <hidapi/hidapi.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "bsl430/loader_protocol.h"
#include "device/hid_seam.h"
#include "device/hid_transport.h"
#include "support/atomic_file.h"

namespace {

using bsl430::TiTxtImage;

using namespace bsl430;

constexpr std::size_t kReportSize = 64;
constexpr std::size_t kMaxDataPerCommand = kLoaderCoreCapacity - 4;  // command and 3 address bytes
constexpr int kReplyTimeoutMs = 2000;

struct Library {
  std::mutex mutex;
  hid_device* device = nullptr;
  uint32_t family = 0;
  uint32_t com = 0;
  dataBuffer rx{};
  TiTxtImage file;
  std::size_t fileSection = 0;
  std::size_t fileOffset = 0;
  std::string fileError;
  DeviceWatch* watch = nullptr;
};

Library& library() {
  static Library instance;
  return instance;
}

// A command with a 3-byte address and what follows it.
std::vector<uint8_t> AddressedCommand(uint8_t command, uint32_t address,
                                      const std::vector<uint8_t>& rest = {}) {
  std::vector<uint8_t> core(4 + rest.size());
  core[0] = command;
  core[1] = static_cast<uint8_t>(address);
  core[2] = static_cast<uint8_t>(address >> 8);
  core[3] = static_cast<uint8_t>(address >> 16);
  std::copy(rest.begin(), rest.end(), core.begin() + 4);
  return core;
}

// The caller holds the library's lock.
bool SendCore(Library& lib, const std::vector<uint8_t>& core) {
  if (lib.device == nullptr || core.size() > kLoaderCoreCapacity) return false;
  std::array<uint8_t, kReportSize> report{};
  report[0] = kLoaderReportId;
  report[1] = static_cast<uint8_t>(core.size());
  std::copy(core.begin(), core.end(), report.begin() + 2);
  return navkeypad::Hid().write(lib.device, report.data(), report.size()) >= 0;
}

bool ReceiveCore(Library& lib, std::vector<uint8_t>& core) {
  if (lib.device == nullptr) return false;
  std::array<uint8_t, kReportSize> report{};
  // Blocking reads of one poll interval; a loader that says nothing for the whole time-out
  // has failed the command.
  for (int waited = 0; waited < kReplyTimeoutMs; waited += 10) {
    const int read = navkeypad::Hid().readTimeout(lib.device, report.data(), report.size(), 10);
    if (read < 0) return false;
    if (read == 0) continue;
    const std::size_t length = std::min<std::size_t>(report[1], kLoaderCoreCapacity);
    core.assign(report.begin() + 2, report.begin() + 2 + static_cast<long>(length));
    lib.rx = {};
    lib.rx.bytes[0] = 0x80;
    lib.rx.bytes[1] = static_cast<uint8_t>(length);
    lib.rx.bytes[2] = static_cast<uint8_t>(length >> 8);
    std::copy(core.begin(), core.end(), lib.rx.bytes + 4);
    return !core.empty();
  }
  return false;
}

// Sends a command that the loader answers with a message byte; returns that byte, or 0xFF
// when nothing usable came back.
uint8_t MessageCommand(Library& lib, const std::vector<uint8_t>& core) {
  std::vector<uint8_t> reply;
  if (!SendCore(lib, core) || !ReceiveCore(lib, reply)) return 0xFF;
  if (reply.size() < 2 || reply[0] != kReplyMessage) return 0xFF;
  return reply[1];
}

DataBlock_ EmptyBlock() {
  DataBlock_ block;
  std::memset(&block, 0, sizeof block);
  return block;
}

DataBlock_ ToBlock(uint32_t address, const uint8_t* bytes, std::size_t count) {
  DataBlock_ block = EmptyBlock();
  count = std::min(count, sizeof block.bytes);
  std::memcpy(block.bytes, bytes, count);
  block.byteCount = static_cast<uint32_t>(count);
  block.startAddress = address;
  return block;
}

uint32_t WriteImage(Library& lib, const TiTxtImage& image, bool fast) {
  if (!image.ok()) return 1;
  for (const auto& block : bsl430::SplitIntoBlocks(image, kMaxDataPerCommand)) {
    const auto core =
        AddressedCommand(fast ? kRxDataBlockFast : kRxDataBlock, block.address, block.bytes);
    if (fast) {
      if (!SendCore(lib, core)) return 1;
    } else if (MessageCommand(lib, core) != 0) {
      return 1;
    }
  }
  return 0;
}

bool ReadFile(const char* path, std::string& text) {
  return support::ReadWholeFile(path, text);
}

// "PID=0x0200,VID=0x2047,DEVICEINDEX=0", and ",PORT=1-1.4" to open only the loader there.
void ParseConnection(const std::string& text, uint16_t& vendor, uint16_t& product, int& index,
                     std::optional<std::string>& port) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string field = text.substr(start, end - start);
    const auto equals = field.find('=');
    if (equals != std::string::npos) {
      const std::string key = field.substr(0, equals);
      const unsigned long value = std::strtoul(field.c_str() + equals + 1, nullptr, 0);
      if (key == "VID") vendor = static_cast<uint16_t>(value);
      if (key == "PID") product = static_cast<uint16_t>(value);
      if (key == "DEVICEINDEX") index = static_cast<int>(value);
      if (key == "PORT") port = field.substr(equals + 1);
    }
    start = end + 1;
  }
}

// The loader devices in enumeration order, each once, with where each is plugged in.
std::vector<LoaderOnBus> Loaders(uint16_t vendor, uint16_t product) {
  std::vector<LoaderOnBus> loaders;
  std::lock_guard lock(navkeypad::HidGlobalStateMutex());
  hid_device_info* list = navkeypad::Hid().enumerate(vendor, product);
  for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    if (std::none_of(loaders.begin(), loaders.end(),
                     [&](const LoaderOnBus& loader) { return loader.path == entry->path; })) {
      loaders.push_back({entry->path, navkeypad::Hid().port(entry->path)});
    }
  }
  navkeypad::Hid().freeEnumeration(list);
  return loaders;
}

std::vector<std::string> LoaderPaths(uint16_t vendor, uint16_t product) {
  std::vector<std::string> paths;
  for (const LoaderOnBus& loader : Loaders(vendor, product)) paths.push_back(loader.path);
  return paths;
}

void CloseDevice(Library& lib) {
  if (lib.device != nullptr) navkeypad::Hid().close(lib.device);
  lib.device = nullptr;
}

}  // namespace

void BSL_setFamily(uint32_t family) {
  std::lock_guard lock(library().mutex);
  library().family = family;
}

void BSL_setCom(uint32_t com) {
  std::lock_guard lock(library().mutex);
  library().com = com;
}

uint8_t BSL_initialize_BSL(const char* connection) {
  uint16_t vendor = kLoaderVendorId;
  uint16_t product = kLoaderProductId;
  int index = 0;
  std::optional<std::string> port;
  ParseConnection(connection != nullptr ? connection : "", vendor, product, index, port);
  // A loader elsewhere is never opened by an upgrade it is not part of.
  std::vector<std::string> paths;
  for (const LoaderOnBus& loader : Loaders(vendor, product)) {
    if (!port || loader.port == *port) paths.push_back(loader.path);
  }
  Library& lib = library();
  std::lock_guard lock(lib.mutex);
  CloseDevice(lib);
  if (index < 0 || static_cast<std::size_t>(index) >= paths.size()) return 1;
  {
    std::lock_guard global(navkeypad::HidGlobalStateMutex());
    lib.device = navkeypad::Hid().openPath(paths[static_cast<std::size_t>(index)].c_str());
  }
  return lib.device == nullptr ? 1 : 0;
}

uint8_t BSL_close_BSL() {
  std::lock_guard lock(library().mutex);
  CloseDevice(library());
  return 0;
}

DataBlock_ BSL_readTI_Text(const char* text, uint32_t maxBytes) {
  const TiTxtImage image = bsl430::ParseTiTxt(text != nullptr ? text : "");
  const auto blocks = bsl430::SplitIntoBlocks(image, std::min<std::size_t>(maxBytes, 10240));
  if (blocks.empty()) return EmptyBlock();
  return ToBlock(blocks.front().address, blocks.front().bytes.data(), blocks.front().bytes.size());
}

DataBlock_ BSL_getDefaultPass() {
  std::array<uint8_t, 32> erased;
  erased.fill(0xFF);
  return ToBlock(0xFFE0, erased.data(), erased.size());
}

uint8_t BSL_RX_Password(DataBlock_ password) {
  const uint32_t count = std::min<uint32_t>(password.byteCount, 32);
  std::vector<uint8_t> core(1 + count);
  core[0] = kRxPassword;
  std::copy(password.bytes, password.bytes + count, core.begin() + 1);
  std::lock_guard lock(library().mutex);
  return MessageCommand(library(), core);
}

uint32_t BSL_RX_TXT(const char* text, uint8_t fast) {
  const TiTxtImage image = bsl430::ParseTiTxt(text != nullptr ? text : "");
  std::lock_guard lock(library().mutex);
  return WriteImage(library(), image, fast == 1);
}

uint32_t BSL_RX_TXT_File(const char* path, uint8_t fast) {
  std::string text;
  if (path == nullptr || !ReadFile(path, text)) return 1;
  const TiTxtImage image = bsl430::ParseTiTxt(text);
  std::lock_guard lock(library().mutex);
  return WriteImage(library(), image, fast == 1);
}

uint32_t BSL_RX_Image(const TiTxtImage& image, uint8_t fast) {
  std::lock_guard lock(library().mutex);
  return WriteImage(library(), image, fast == 1);
}

uint8_t BSL_LoadPC(uint32_t address) {
  const auto core = AddressedCommand(kLoadPc, address);
  std::lock_guard lock(library().mutex);
  return SendCore(library(), core) ? 0 : 1;
}

std::string BSL_TX_BSL_Version_String() {
  Library& lib = library();
  std::lock_guard lock(lib.mutex);
  std::vector<uint8_t> reply;
  if (SendCore(lib, {kTxBslVersion}) && ReceiveCore(lib, reply) && reply.size() >= 5 &&
      reply[0] == kReplyData) {
    char version[64];
    std::snprintf(version, sizeof version, "Vendor: %02X, CI: %02X, API: %02X, PI: %02X", reply[1],
                  reply[2], reply[3], reply[4]);
    return version;
  }
  return "ERROR";
}

uint8_t BSL_eraseSegment(uint32_t address) {
  const auto core = AddressedCommand(kEraseSegment, address);
  std::lock_guard lock(library().mutex);
  return MessageCommand(library(), core);
}

uint8_t BSL_CRC_Check(uint32_t address, uint32_t length) {
  const auto core = AddressedCommand(
      kCrcCheck, address, {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)});
  Library& lib = library();
  std::lock_guard lock(lib.mutex);
  std::vector<uint8_t> reply;
  if (!SendCore(lib, core) || !ReceiveCore(lib, reply)) return 1;
  return reply.size() >= 3 && reply[0] == kReplyData ? 0 : 1;
}

dataBuffer BSL_get_RX_Buffer() {
  std::lock_guard lock(library().mutex);
  return library().rx;
}

int32_t BSL_openTI_TextForRead(const char* path) {
  Library& lib = library();
  std::string text;
  const bool read = path != nullptr && ReadFile(path, text);
  std::lock_guard lock(lib.mutex);
  lib.file = {};
  lib.fileSection = 0;
  lib.fileOffset = 0;
  if (!read) {
    lib.fileError = "cannot open the file";
    return -2;
  }
  lib.file = bsl430::ParseTiTxt(text);
  if (!lib.file.ok()) {
    lib.fileError = lib.file.error;
    return -2;
  }
  lib.fileError.clear();
  return 0;
}

void BSL_openTI_Image(const TiTxtImage& image) {
  Library& lib = library();
  std::lock_guard lock(lib.mutex);
  lib.file = image;
  lib.fileSection = 0;
  lib.fileOffset = 0;
  lib.fileError.clear();
}

int32_t BSL_moreDataToRead_TextFile() {
  std::lock_guard lock(library().mutex);
  return library().fileSection < library().file.sections.size() ? 1 : 0;
}

DataBlock_ BSL_readTI_TextFile(uint32_t maxBytes) {
  Library& lib = library();
  std::lock_guard lock(lib.mutex);
  if (lib.fileSection >= lib.file.sections.size() || maxBytes == 0) return EmptyBlock();
  const auto& section = lib.file.sections[lib.fileSection];
  const std::size_t count = std::min<std::size_t>(
      {maxBytes, sizeof(DataBlock_::bytes), section.bytes.size() - lib.fileOffset});
  DataBlock_ block = ToBlock(section.address + static_cast<uint32_t>(lib.fileOffset),
                             section.bytes.data() + lib.fileOffset, count);
  lib.fileOffset += count;
  if (lib.fileOffset >= section.bytes.size()) {
    ++lib.fileSection;
    lib.fileOffset = 0;
  }
  return block;
}

void BSL_closeTI_Text() {
  std::lock_guard lock(library().mutex);
  library().file = {};
  library().fileSection = 0;
  library().fileOffset = 0;
}

std::string BSL_lastFileError() {
  std::lock_guard lock(library().mutex);
  return library().fileError;
}

uint32_t BSL_NumOfUSBDevices(uint16_t vendorId, uint16_t productId) {
  return static_cast<uint32_t>(LoaderPaths(vendorId, productId).size());
}

std::vector<std::string> BSL_USBDevicePaths(uint16_t vendorId, uint16_t productId) {
  return LoaderPaths(vendorId, productId);
}

std::vector<LoaderOnBus> BSL_USBDevices(uint16_t vendorId, uint16_t productId) {
  return Loaders(vendorId, productId);
}

void BSL_setDeviceWatch(DeviceWatch* watch) {
  std::lock_guard lock(library().mutex);
  library().watch = watch;
}

uint8_t BSL_RegisterUSBDeviceNotification(USBDeviceNotification notify) {
  DeviceWatch* watch = nullptr;
  {
    std::lock_guard lock(library().mutex);
    watch = library().watch;
  }
  return watch != nullptr && watch->start(std::move(notify)) ? 0 : 1;
}

uint8_t BSL_UnRegisterUSBDeviceNotification() {
  DeviceWatch* watch = nullptr;
  {
    std::lock_guard lock(library().mutex);
    watch = library().watch;
  }
  if (watch != nullptr) watch->stop();
  return 0;
}
