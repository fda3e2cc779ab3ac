// Replaces the keypad's firmware through its USB bootstrap loader: password, RAM loader,
// erase, download, CRC verification, forced reset. Plain C++, so the upgrade window's worker
// and the command line run the same steps; progress goes to a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bsl430/ti_txt.h"
#include "firmware/loader_texts.h"

namespace navkeypad::firmware {

// (percent, text); the text may be empty, and carries its own line end.
using ProgressReport = std::function<void(int percent, const std::string& text)>;

struct LoaderIdentity {
  std::string vid = "0x2047";
  std::string pid = "0x0200";
  std::string deviceIndex = "0";
  // Where the keypad left its application: its loader is opened there and nowhere else. Empty
  // where the system cannot say.
  std::string port;
  // "PID=0x0200,VID=0x2047,DEVICEINDEX=0", and ",PORT=P" with a port
  std::string connectionText() const;
};

// A firmware text for the keypad's 64 KB of flash is far smaller than this.
inline constexpr std::uintmax_t kMaxFirmwareFileBytes = 1u << 20;

// A firmware file read and checked once: what was checked is what gets written and verified.
struct FirmwareImage {
  std::string path;  // as the user named it; the download shows it
  bsl430::TiTxtImage image;
};

struct FirmwareRead {
  std::optional<FirmwareImage> firmware;
  std::string problem;  // why the file must not be written into a keypad
};
// Reads the TI-TXT file at `path` (UTF-8) and checks it with FirmwareImageProblem.
FirmwareRead ReadFirmwareFile(const std::string& path);

// Why an image must not be written into a keypad, or empty when it may: it holds no data,
// writes where the chip has no programmable flash, or would never start (the start-up erases
// the reset vector, so the image must set it, to an address it writes).
std::string FirmwareImageProblem(const bsl430::TiTxtImage& image);

// "Cannot use the firmware file PATH: REASON"
std::string FirmwareFileRefusal(const std::string& path, const std::string& problem);

// How the start-up waits for the RAM loader to come back after Load PC: the windows' three fixed
// seconds, or, for the command line, as long as it takes (within the protocol's 10 s).
enum class RamLoaderWait { kFixedSeconds, kUntilBack };

class DownloadSequence {
 public:
  // The loader texts are taken whole, as they were checked; nothing cuts them to a buffer.
  DownloadSequence(LoaderIdentity identity, LoaderTexts loader, ProgressReport report,
                   RamLoaderWait wait = RamLoaderWait::kFixedSeconds);

  // A whole upgrade with a checked image; true when it was written, verified and started.
  bool CustomSelectedFirmware(const FirmwareImage& firmware);

  // Opens the loader, presents the password and starts the RAM loader; true when it answers
  // with the expected version. The flag says the device refused the stored password and
  // erased itself; it carries over into a retry.
  bool DownloadStartUp(bool& massEraseOccurred);
  // 0 once every segment the image touches was asked to be erased.
  uint32_t EraseDataSegment_File(const bsl430::TiTxtImage& image);
  // 0 when every block matches the device, 1 at the first that does not.
  uint32_t CRC_Check_File(const bsl430::TiTxtImage& image);
  // The device's CRC over the range, or 0xFFFFFFFF when the query failed.
  uint32_t CRC_Check(uint32_t address, uint32_t count);
  bool TriggerForcedBOR();

  uint32_t startProgramTime = 0;
  uint32_t stopProgramTime = 0;
  uint32_t totalProgramTime = 0;
  bool massEraseOccurred = false;
  std::string bslVersion;

 private:
  // The loader leaves the bus when Load PC starts the RAM loader, and comes back as it: looked
  // for at its port, first gone (a loader seen to stay half a second has come back already),
  // then back. Nothing is sent to it meanwhile.
  void AwaitRamLoader() const;
  bool LoaderAtPort() const;

  LoaderIdentity identity_;
  LoaderTexts loader_;
  ProgressReport report_;
  RamLoaderWait wait_;
};

// The first address of every flash segment that [address, address + count) touches.
std::vector<uint32_t> SegmentsTouched(uint32_t address, uint32_t count);

}  // namespace navkeypad::firmware
