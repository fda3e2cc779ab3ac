#include "firmware/download_sequence.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "bsl430/bsl430.h"
#include "bsl430/memory_map.h"
#include "firmware/crc.h"
#include "firmware/firmware_resources.h"
#include "platform/clock.h"
#include "support/paths.h"

namespace navkeypad::firmware {

namespace {

constexpr uint32_t kFamily = 3;
constexpr uint32_t kCom = 2;
constexpr uint8_t kFast = 1;
constexpr uint32_t kRamLoaderEntry = 0x2504;
constexpr uint32_t kResetVectorSegment = 0xFFFF;
constexpr uint32_t kEraseBlockBytes = 512;
constexpr uint32_t kVerifyBlockBytes = 5000;
constexpr uint32_t kCannotOpen = static_cast<uint32_t>(-2);
constexpr uint32_t kQueryFailed = 0xFFFFFFFF;

// Each text the library takes goes through a zero-filled buffer of the library's size.
template <std::size_t Size>
struct TextBuffer {
  explicit TextBuffer(const std::string& text) {
    std::memset(bytes, 0, Size);
    std::memcpy(bytes, text.data(), std::min(text.size(), Size - 1));
  }
  char bytes[Size];
};

}  // namespace

std::string LoaderIdentity::connectionText() const {
  return "PID=" + pid + ",VID=" + vid + ",DEVICEINDEX=" + deviceIndex;
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

DownloadSequence::DownloadSequence(LoaderIdentity identity, ProgressReport report)
    : identity_(std::move(identity)), report_(std::move(report)) {}

bool DownloadSequence::DownloadStartUp(bool& massErase) {
  const TextBuffer<100> connection(identity_.connectionText());
  BSL_setFamily(kFamily);
  BSL_setCom(kCom);
  if (BSL_initialize_BSL(connection.bytes) == 1) {
    report_(0, "USB device was unplugged!\r\n");
    return false;
  }
  const TextBuffer<200> passwordText(FirmwareResource("password.Text"));
  const DataBlock_ password = BSL_readTI_Text(passwordText.bytes, 32);
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
  const TextBuffer<20000> ramLoader(FirmwareResource("RAM_BSL.Text"));
  BSL_RX_TXT(ramLoader.bytes, kFast);
  BSL_LoadPC(kRamLoaderEntry);
  report_(30, "Done RAM BSL v" + version + "\r\n");
  BSL_close_BSL();

  for (int percent : {35, 40, 45}) {
    report_(percent, "");
    platform::clock().sleepMs(1000);
  }
  startProgramTime = static_cast<uint32_t>(platform::clock().tickMs());

  BSL_setFamily(kFamily);
  BSL_setCom(kCom);
  if (BSL_initialize_BSL(connection.bytes) == 1) {
    report_(50, "USB device was unplugged!\r\n");
    return false;
  }
  const uint8_t passwordResult = BSL_RX_Password(massErase ? defaultPassword : password);

  bslVersion = BSL_TX_BSL_Version_String();
  const std::string reported = bslVersion != nullptr ? bslVersion : "ERROR";
  // Fields at 16-17, 25-26 and 33-34; the vendor byte is taken as 00.
  const bool readable = reported != "ERROR" && reported.size() >= 35;
  if (!readable || "00." + reported.substr(16, 2) + "." + reported.substr(25, 2) + "." +
                           reported.substr(33, 2) !=
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

std::string FirmwareFileProblem(const std::string& path) {
  if (path.size() > kMaxFirmwarePathBytes) {
    return "its path is longer than " + std::to_string(kMaxFirmwarePathBytes) + " bytes";
  }
  if (path.find('\0') != std::string::npos) return "its path holds a zero byte";
  std::ifstream in(support::PathFromUtf8(path), std::ios::binary);
  if (!in.is_open()) return "it cannot be opened";
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const bsl430::TiTxtImage image = bsl430::ParseTiTxt(text);
  if (!image.ok()) return image.error;
  if (image.byteCount() == 0) return "it holds no data";
  bool setsResetVector = false;
  for (const auto& section : image.sections) {
    const uint64_t end = static_cast<uint64_t>(section.address) + section.bytes.size();
    for (uint64_t at = section.address; at < end; ++at) {
      if (!bsl430::Programmable(static_cast<uint32_t>(at))) {
        char where[24];
        std::snprintf(where, sizeof where, "0x%04llX", static_cast<unsigned long long>(at));
        return std::string("it writes to ") + where +
               ", where the keypad has no flash it can program (0x1800-0x197F and "
               "0x4400-0xFFFF)";
      }
    }
    if (section.address <= bsl430::kResetVector && end >= bsl430::kResetVector + 2) {
      setsResetVector = true;
    }
  }
  if (!setsResetVector) {
    return "it does not set the reset vector (0xFFFE-0xFFFF), so the keypad would not start";
  }
  return {};
}

std::string FirmwareFileRefusal(const std::string& path, const std::string& problem) {
  return "Cannot use the firmware file " + path + ": " + problem;
}

bool DownloadSequence::CustomSelectedFirmware(const std::string& path) {
  massEraseOccurred = false;
  // Refused before the device is touched: the start-up erases the reset vector.
  if (const std::string problem = FirmwareFileProblem(path); !problem.empty()) {
    report_(0, FirmwareFileRefusal(path, problem) + "\r\n");
    return false;
  }
  if (!DownloadStartUp(massEraseOccurred)) {
    BSL_close_BSL();
    report_(50, "Unsuccessful in starting the BSL. Restarting. \r\n");
    if (!DownloadStartUp(massEraseOccurred)) return false;
  }
  const TextBuffer<200> file(path);
  if (!massEraseOccurred) {
    report_(60, "Erasing memory segments \r\n");
    EraseDataSegment_File(file.bytes);
  }
  report_(70, "Sending " + path + "\r\n");
  BSL_RX_TXT_File(file.bytes, kFast);
  report_(75, "Firmware Sent\r\n");
  report_(80, "Verifying memory\r\n");
  if (CRC_Check_File(file.bytes) != 0) {
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

uint32_t DownloadSequence::EraseDataSegment_File(const std::string& path) {
  if (BSL_openTI_TextForRead(path.c_str()) == -2) return kCannotOpen;
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

uint32_t DownloadSequence::CRC_Check_File(const std::string& path) {
  if (BSL_openTI_TextForRead(path.c_str()) == -2) return kCannotOpen;
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
  const TextBuffer<100> first(reset);
  report_(90, "Resetting Device...\r\nStarting application\r\n");
  if (BSL_RX_TXT(first.bytes, kFast) != 0) return false;
  if (FirmwareResource("RAM_BSL_VERSION").find("00.06.05.34") != std::string::npos) {
    const TextBuffer<100> again(reset);
    BSL_RX_TXT(again.bytes, kFast);
  }
  return true;
}

}  // namespace navkeypad::firmware
