#include "firmware/download_sequence.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bsl430/bsl430.h"
#include "bsl430/memory_map.h"
#include "firmware/crc.h"
#include "firmware/firmware_resources.h"
#include "platform/clock.h"
#include "support/atomic_file.h"

namespace navkeypad::firmware {

namespace {

constexpr uint32_t kFamily = 3;
constexpr uint32_t kCom = 2;
constexpr uint8_t kFast = 1;
constexpr uint32_t kRamLoaderEntry = 0x2504;
constexpr uint32_t kResetVectorSegment = 0xFFFF;
constexpr uint32_t kEraseBlockBytes = 512;
constexpr uint32_t kVerifyBlockBytes = 5000;
constexpr uint32_t kQueryFailed = 0xFFFFFFFF;

std::string Hex4(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%04llX", static_cast<unsigned long long>(value));
  return text;
}

// The byte the image writes at `address`, if it writes one.
std::optional<uint8_t> ByteAt(const bsl430::TiTxtImage& image, uint32_t address) {
  for (const auto& section : image.sections) {
    if (address >= section.address && address - section.address < section.bytes.size()) {
      return section.bytes[address - section.address];
    }
  }
  return std::nullopt;
}

}  // namespace

std::string LoaderIdentity::connectionText() const {
  return "PID=" + pid + ",VID=" + vid + ",DEVICEINDEX=" + deviceIndex +
         (port.empty() ? std::string() : ",PORT=" + port);
}

std::vector<uint32_t> SegmentsTouched(uint32_t address, uint32_t count) {
  std::vector<uint32_t> segments;
  if (count == 0) return segments;
  if (!bsl430::InFlash(address)) return {address};
  const uint64_t end = static_cast<uint64_t>(address) + count;
  for (uint64_t at = address; at < end;) {
    const uint32_t size = bsl430::SegmentBytes(static_cast<uint32_t>(at));
    const uint64_t segment = at - at % size;
    segments.push_back(static_cast<uint32_t>(segment));
    at = segment + size;
  }
  return segments;
}

DownloadSequence::DownloadSequence(LoaderIdentity identity, LoaderTexts loader,
                                   ProgressReport report, RamLoaderWait wait)
    : identity_(std::move(identity)),
      loader_(std::move(loader)),
      report_(std::move(report)),
      wait_(wait) {}

bool DownloadSequence::LoaderAtPort() const {
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  return std::any_of(loaders.begin(), loaders.end(), [&](const LoaderOnBus& loader) {
    return identity_.port.empty() || loader.port == identity_.port;
  });
}

void DownloadSequence::AwaitRamLoader() const {
  constexpr int kPollMs = 100;
  constexpr int kSeenToStayMs = 500;
  constexpr int kBackWithinMs = 10000;  // the protocol's limit for a mode change
  int waited = 0;
  for (; waited < kSeenToStayMs && LoaderAtPort(); waited += kPollMs)
    platform::clock().sleepMs(kPollMs);
  // Not back in time: the start-up goes on, fails to open it, and is tried once more.
  for (; waited < kBackWithinMs && !LoaderAtPort(); waited += kPollMs)
    platform::clock().sleepMs(kPollMs);
}

bool DownloadSequence::DownloadStartUp(bool& massErase) {
  const std::string connection = identity_.connectionText();
  BSL_setFamily(kFamily);
  BSL_setCom(kCom);
  if (BSL_initialize_BSL(connection.c_str()) == 1) {
    report_(0, "USB device was unplugged!\r\n");
    return false;
  }
  const DataBlock_ password = BSL_readTI_Text(loader_.password.c_str(), 32);
  const DataBlock_ defaultPassword = BSL_getDefaultPass();
  report_(5, "");

  if (BSL_RX_Password(password) != 0) {
    massErase = true;
    report_(5, "Mass erase occured!\r\n");
    platform::clock().sleepMs(2000);
    if (BSL_RX_Password(defaultPassword) != 0) {
      report_(10, "Password FAILED!\r\n");
      return false;
    }
  }
  report_(10, "Password Sent Successfully\r\n");

  const std::string version = FirmwareResource("RAM_BSL_VERSION");
  report_(20, "Sending RAM BSL v" + version + "\r\n");
  BSL_RX_TXT(loader_.ramLoader.c_str(), kFast);
  BSL_LoadPC(kRamLoaderEntry);
  report_(30, "Done RAM BSL v" + version + "\r\n");
  BSL_close_BSL();

  if (wait_ == RamLoaderWait::kFixedSeconds) {
    for (int percent : {35, 40, 45}) {
      report_(percent, "");
      platform::clock().sleepMs(1000);
    }
  } else {
    report_(35, "");
    AwaitRamLoader();
    report_(45, "");
  }
  startProgramTime = static_cast<uint32_t>(platform::clock().tickMs());

  BSL_setFamily(kFamily);
  BSL_setCom(kCom);
  if (BSL_initialize_BSL(connection.c_str()) == 1) {
    report_(50, "USB device was unplugged!\r\n");
    return false;
  }
  const uint8_t passwordResult = BSL_RX_Password(massErase ? defaultPassword : password);

  bslVersion = BSL_TX_BSL_Version_String();
  // Fields at 16-17, 25-26 and 33-34; the vendor byte is taken as 00.
  const bool readable = bslVersion != "ERROR" && bslVersion.size() >= 35;
  if (!readable || "00." + bslVersion.substr(16, 2) + "." + bslVersion.substr(25, 2) + "." +
                           bslVersion.substr(33, 2) !=
                       version) {
    report_(50, "Failed to read data from RAM BSL\r\n");
    return false;
  }
  if (passwordResult != 0) {
    report_(50, "Password FAILED after sending RAM BSL!\r\n");
    return false;
  }
  if (BSL_eraseSegment(kResetVectorSegment) != 0) {
    report_(50, "Failed to erase reset vector\r\n");
  }
  return true;
}

FirmwareRead ReadFirmwareFile(const std::string& path) {
  std::string text;
  if (const std::string why = support::ReadRegularFile(path, text, kMaxFirmwareFileBytes);
      !why.empty()) {
    return {std::nullopt, "it " + why};
  }
  FirmwareImage firmware{path, bsl430::ParseTiTxt(text)};
  if (!firmware.image.ok()) return {std::nullopt, firmware.image.error};
  if (std::string problem = FirmwareImageProblem(firmware.image); !problem.empty()) {
    return {std::nullopt, problem};
  }
  return {std::move(firmware), {}};
}

std::string FirmwareImageProblem(const bsl430::TiTxtImage& image) {
  if (image.byteCount() == 0) return "it holds no data";
  for (const auto& section : image.sections) {
    const uint64_t end = static_cast<uint64_t>(section.address) + section.bytes.size();
    for (uint64_t at = section.address; at < end; ++at) {
      if (!bsl430::Programmable(static_cast<uint32_t>(at))) {
        return "it writes to " + Hex4(at) +
               ", where the keypad has no flash it can program (0x1800-0x197F and "
               "0x4400-0xFFFF)";
      }
    }
  }
  const auto low = ByteAt(image, bsl430::kResetVector);
  const auto high = ByteAt(image, bsl430::kResetVector + 1);
  if (!low || !high) {
    return "it does not set the reset vector (0xFFFE-0xFFFF), so the keypad would not start";
  }
  const uint32_t start = *low | (static_cast<uint32_t>(*high) << 8);
  if (start == 0xFFFF) {
    return "its reset vector (0xFFFE-0xFFFF) is FF FF, erased flash, so the keypad would not "
           "start";
  }
  if (!ByteAt(image, start)) {
    return "its reset vector points at " + Hex4(start) +
           ", where it writes nothing, so the keypad would not start";
  }
  return {};
}

std::string FirmwareFileRefusal(const std::string& path, const std::string& problem) {
  return "Cannot use the firmware file " + path + ": " + problem;
}

bool DownloadSequence::CustomSelectedFirmware(const FirmwareImage& firmware) {
  massEraseOccurred = false;
  // Refused before the device is touched: the start-up erases the reset vector.
  if (const std::string problem = FirmwareImageProblem(firmware.image); !problem.empty()) {
    report_(0, FirmwareFileRefusal(firmware.path, problem) + "\r\n");
    return false;
  }
  if (!DownloadStartUp(massEraseOccurred)) {
    BSL_close_BSL();
    report_(50, "Unsuccessful in starting the BSL. Restarting. \r\n");
    if (!DownloadStartUp(massEraseOccurred)) return false;
  }
  if (!massEraseOccurred) {
    report_(60, "Erasing memory segments \r\n");
    EraseDataSegment_File(firmware.image);
  }
  report_(70, "Sending " + firmware.path + "\r\n");
  BSL_RX_Image(firmware.image, kFast);
  report_(75, "Firmware Sent\r\n");
  report_(80, "Verifying memory\r\n");
  if (CRC_Check_File(firmware.image) != 0) {
    report_(85, "Memory verification error\r\n");
    return false;
  }
  report_(85, "Memory successfully verified\r\n");
  stopProgramTime = static_cast<uint32_t>(platform::clock().tickMs());
  totalProgramTime = (stopProgramTime - startProgramTime) / 1000u;
  report_(90, "Total programming time is " + std::to_string(totalProgramTime) + "s \r\n");
  TriggerForcedBOR();
  report_(100, "Done!");
  return true;
}

uint32_t DownloadSequence::EraseDataSegment_File(const bsl430::TiTxtImage& image) {
  BSL_openTI_Image(image);
  while (BSL_moreDataToRead_TextFile() != 0) {
    const DataBlock_ block = BSL_readTI_TextFile(kEraseBlockBytes);
    BSL_eraseSegment(block.startAddress);
    // A block that is not aligned to its segments reaches into the next ones, which must be
    // erased too or the bit-clearing writes would land on old data.
    const auto segments = SegmentsTouched(block.startAddress, block.byteCount);
    for (std::size_t i = 1; i < segments.size(); ++i) BSL_eraseSegment(segments[i]);
  }
  BSL_closeTI_Text();
  return 0;
}

uint32_t DownloadSequence::CRC_Check_File(const bsl430::TiTxtImage& image) {
  BSL_openTI_Image(image);
  while (BSL_moreDataToRead_TextFile() != 0) {
    const DataBlock_ block = BSL_readTI_TextFile(kVerifyBlockBytes);
    if (CRC_Check(block.startAddress, block.byteCount) != Calculate_CRC(block)) {
      BSL_closeTI_Text();
      return 1;
    }
  }
  BSL_closeTI_Text();
  return 0;
}

uint32_t DownloadSequence::CRC_Check(uint32_t address, uint32_t count) {
  if (BSL_CRC_Check(address, count) != 0) return kQueryFailed;
  const dataBuffer buffer = BSL_get_RX_Buffer();
  return buffer.bytes[6] * 256u + buffer.bytes[5];
}

bool DownloadSequence::TriggerForcedBOR() {
  const std::string reset = FirmwareResource("Forced_BOR.Text");
  report_(90, "Resetting Device...\r\nStarting application\r\n");
  if (BSL_RX_TXT(reset.c_str(), kFast) != 0) return false;
  if (FirmwareResource("RAM_BSL_VERSION").find("00.06.05.34") != std::string::npos) {
    BSL_RX_TXT(reset.c_str(), kFast);
  }
  return true;
}

}  // namespace navkeypad::firmware
