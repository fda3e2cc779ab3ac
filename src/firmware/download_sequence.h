// Replaces the keypad's firmware through its USB bootstrap loader: password, RAM loader,
// erase, download, CRC verification, forced reset. Plain C++, so the upgrade window's worker
// and the command line run the same steps; progress goes to a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace navkeypad::firmware {

// (percent, text); the text may be empty, and carries its own line end.
using ProgressReport = std::function<void(int percent, const std::string& text)>;

struct LoaderIdentity {
  std::string vid = "0x2047";
  std::string pid = "0x0200";
  std::string deviceIndex = "0";
  // "PID=0x0200,VID=0x2047,DEVICEINDEX=0"
  std::string connectionText() const;
};

// The largest firmware path the loader library takes (its buffer is 200 bytes).
inline constexpr std::size_t kMaxFirmwarePathBytes = 199;

// Why the TI-TXT file at `path` must not be written into a keypad, or empty when it may: a
// file that cannot be read, holds no data, does not set the reset vector (the start-up
// erases it, so the keypad would never start again) or writes where the chip has no
// programmable flash.
std::string FirmwareFileProblem(const std::string& path);

// "Cannot use the firmware file PATH: REASON"
std::string FirmwareFileRefusal(const std::string& path, const std::string& problem);

class DownloadSequence {
 public:
  DownloadSequence(LoaderIdentity identity, ProgressReport report);

  // A whole upgrade with the TI-TXT file at `path` (8-bit text as the file system names it);
  // true when the new firmware was written, verified and started.
  bool CustomSelectedFirmware(const std::string& path);

  // Opens the loader, presents the password and starts the RAM loader; true when it answers
  // with the expected version. The flag says the device refused the stored password and
  // erased itself; it carries over into a retry.
  bool DownloadStartUp(bool& massEraseOccurred);
  // 0, or 0xFFFFFFFE (-2) when the file cannot be opened.
  uint32_t EraseDataSegment_File(const std::string& path);
  // 0 when every block matches the device, 1 at the first that does not, -2 (as above) when
  // the file cannot be opened.
  uint32_t CRC_Check_File(const std::string& path);
  // The device's CRC over the range, or 0xFFFFFFFF when the query failed.
  uint32_t CRC_Check(uint32_t address, uint32_t count);
  bool TriggerForcedBOR();

  uint32_t startProgramTime = 0;
  uint32_t stopProgramTime = 0;
  uint32_t totalProgramTime = 0;
  bool massEraseOccurred = false;
  const char* bslVersion = nullptr;

 private:
  LoaderIdentity identity_;
  ProgressReport report_;
};

// The first address of every flash segment that [address, address + count) touches.
std::vector<uint32_t> SegmentsTouched(uint32_t address, uint32_t count);

}  // namespace navkeypad::firmware
