// The virtual keypad: a model of the navigation keypad on a virtual USB bus, reached through
// the HID seam's virtual backend (hidapi_virtual.h), so the production code runs unchanged on
// a machine without hardware. Everything here is thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/keypad_commands.h"

namespace virtual_keypad {

using Report = navkeypad::Report;

// The settings a keypad keeps; three of them are stored as defaults by CMD_WRITE_DEFAULT.
struct KeypadSettings {
  uint8_t ledBrightness = navkeypad::kFreshLedBrightness;
  uint8_t keypadType = navkeypad::kKeypadTypeDefault;
  uint8_t ledColour = 0;
  uint8_t buzzer = 0;
  uint8_t buzzerPeriod = 1;
  std::array<uint8_t, 5> localVolume{};  // a level 0-99 for each selector (absolute .. jack in)
  uint8_t volumeConfiguration = 0;
  navkeypad::KeyCodeTable customTable;
  friend bool operator==(const KeypadSettings&, const KeypadSettings&) = default;
};

struct ReceivedCommand {
  uint8_t command = 0;
  std::vector<uint8_t> payload;
  friend bool operator==(const ReceivedCommand&, const ReceivedCommand&) = default;
};

// How the keypad answers (or fails to) the commands it receives.
struct Behaviour {
  std::chrono::microseconds responseDelay{0};  // before each report of an answer
  bool silent = false;
  int acknowledgementsBeforeResult = 0;
  // Between one acknowledgement and the next, and before the result they precede.
  std::chrono::microseconds acknowledgementGap{0};
  // Reports that come after each answer and wait to be read: an acknowledgement, then copies
  // of the answer, as a keypad that answered late leaves them.
  int lateAnswers = 0;
  bool refuseAll = false;
  std::vector<uint8_t> refusedCommands;          // refused whenever they come
  std::vector<ReceivedCommand> refusedRequests;  // refused when command and payload match
  uint8_t statusByte = 0;                        // non-zero: a well-formed frame with a bad status
  bool corruptChecksum = false;
  bool overlongByteCount = false;
  bool overlongControlFrames = false;          // acknowledgements and refusals say 65 bytes
  std::optional<int> failAfterCommands;        // refuse every command after the next N
  std::vector<uint8_t> nonZeroStatusCommands;  // answered with status 0x01
  std::optional<int> unplugAfterCommands;      // pulled off the bus after the next N, once
  bool arrivesWhenAnotherIsPulled = false;     // on the desk until a fault pulls another
  std::optional<int> pluggedAgainAfterMs;      // a cable a fault pulled is back after N ms, once

  // In the bootstrap loader:
  int corruptWriteNumber = 0;   // the Nth data write (from 1) lands with a bit cleared
  bool refusePassword = false;  // every password is wrong (and mass-erases)
  std::optional<int> unplugAfterLoaderReports;  // leaves the bus for good after N reports
  std::optional<int> ramLoaderReturnMs;  // the RAM loader is back N ms after Load PC, not restartMs
  int failVersionReads = 0;              // this many version requests go unanswered
  bool failSegmentErase = false;         // Erase Segment answers "flash fail bit set"
  // A real chip takes its time to erase flash or to work out a CRC: the wait before each reply
  // to Mass Erase, Erase Segment and CRC Check.
  std::chrono::microseconds loaderReplyDelay{0};
  // The loader takes at most one report per interval, as a full-speed interrupt endpoint.
  std::chrono::microseconds loaderReportPace{0};
};

// The keypad's application, the loader in its flash, or the RAM loader started from it.
enum class Mode { Application, RomLoader, RamLoader };

class VirtualKeypad {
 public:
  explicit VirtualKeypad(std::string id);

  const std::string& id() const { return id_; }
  // The USB port it is plugged into ("1-" and its id unless set): its loader, and the keypad
  // that comes back from the loader, appear there too.
  std::string port() const;
  void setPort(std::string port);

  KeypadSettings settings() const;
  void setSettings(const KeypadSettings& settings);
  void setLedBrightness(uint8_t level);
  void setKeypadType(uint8_t type);
  void setCustomTable(const navkeypad::KeyCodeTable& table);
  KeypadSettings storedDefaults() const;
  void setStoredDefaults(const KeypadSettings& settings);
  KeypadSettings factorySettings() const;
  void setFactorySettings(const KeypadSettings& settings);

  static navkeypad::KeyCodeTable DefaultTable();
  static navkeypad::KeyCodeTable AlternateTable();
  // The table the status record reports: the one the keypad type selects.
  navkeypad::KeyCodeTable activeTable() const;

  std::string firmwareVersion() const;
  void setFirmwareVersion(std::string version);
  std::string serialNumber() const;
  void setSerialNumber(std::string serial);
  void setJackState(uint8_t state);
  void setOrientation(uint8_t orientation);
  void setTemperature(std::string temperature);
  navkeypad::DeviceStatus status() const;

  void setManufacturer(std::wstring text);
  // The serial string of its USB descriptor: its id unless set (two keypads may share one).
  void setUsbSerial(std::string text);
  std::string usbSerial() const;
  void setProduct(std::wstring text);
  void setStringsReadable(bool readable);
  // A keypad present on the bus that refuses to be opened (no permission).
  void setOpenable(bool openable);

  Behaviour behaviour() const;
  void setBehaviour(const Behaviour& behaviour);
  void refuseCommand(uint8_t command);

  std::vector<ReceivedCommand> receivedCommands() const;
  std::vector<uint8_t> receivedCommandCodes() const;
  void clearReceivedCommands();
  // Requests that arrived before the answer to the previous one had been read.
  int interleavedRequests() const;
  int malformedRequests() const;
  // Times the keypad left the bus and came back (factory reset, mode change).
  int reenumerations() const;

  Mode mode() const;

  // --- the chip's memory, for the loader ----------------------------------------------------
  std::vector<uint8_t> readMemory(uint32_t address, std::size_t count) const;
  // Programs a TI-TXT image straight into memory, as a programmer on the bench would.
  void installFirmware(const std::string& tiTxt);
  // Writes bytes as they stand, as a state file brings them back.
  void loadMemory(uint32_t address, const std::vector<uint8_t>& bytes);
  // The firmware it left the factory with, reporting `version`: vectors and version marker.
  void installFactoryFirmware(const std::string& version);
  // Starts the chip's own loader, as when it powers up with a blank reset vector.
  void startInLoader();
  // Power comes back after the cable was pulled: the loader if the reset vector is blank,
  // otherwise the application in flash (a changed flash starts without its settings).
  void powerCycle();
  // The loader commands received, by code.
  std::vector<uint8_t> loaderCommandCodes() const;
  int massErases() const;

  // How long the keypad is off the bus after each restart (into its loader or out of it), on
  // the program's clock (platform::clock()); 0, the default, comes back at once.
  void setRestartMs(uint64_t milliseconds);
  uint64_t restartMs() const;
  // Off the bus until the program's clock reads `tickMs`: a keypad not yet plugged in, or one
  // still restarting.
  void setAbsentUntil(uint64_t tickMs);
  uint64_t absentUntil() const;
  bool onBus() const;

  // --- used by the hidapi stand-in -------------------------------------------------------
  struct Identity {
    uint16_t productId;
    std::vector<int> interfaces;
  };
  Identity identity() const;
  uint64_t generation() const;
  bool openable() const;
  bool stringsReadable() const;
  std::wstring manufacturer() const;
  std::wstring product() const;
  // Returns false when the keypad does not accept the write.
  bool receiveReport(int interfaceNumber, const uint8_t* data, std::size_t length);
  // Waits out the loader's report pacing; called before a write, without the lock.
  void paceReport();
  // Delivers what the last write or read set off: leaving the bus and coming back.
  void flushBusEvents();
  // Whether an answer report is ready to be read now, without reading it (the keypad twin rings
  // its node's bell with it; a read may make the keypad leave the bus).
  bool reportReady() const;
  // Blocks for at most `timeoutMs` (-1: without limit) until an answer report is ready.
  // Returns the number of bytes read, 0 on time-out, -1 when the handle went stale.
  int readReport(uint64_t handleGeneration, uint8_t* data, std::size_t length, int timeoutMs);
  void markUnplugged();
  bool unplugged() const;

 private:
  struct Pending {
    std::chrono::steady_clock::time_point readyAt;
    Report report;
  };

  void handleFrame(uint8_t command, const std::vector<uint8_t>& payload);
  void answer(uint8_t command, uint8_t status, const std::vector<uint8_t>& data,
              std::chrono::microseconds after = {});
  // Due `after` later than the report before it would be.
  void queue(const Report& report, std::chrono::microseconds after = {});
  uint8_t executeCommand(uint8_t command, const std::vector<uint8_t>& payload,
                         std::vector<uint8_t>& data);
  void leaveBusAndReturn(Mode next);
  void handleLoaderReport(const uint8_t* data, std::size_t length);
  void loaderReply(std::initializer_list<uint8_t> core, const std::vector<uint8_t>& data = {},
                   std::chrono::microseconds after = {});
  bool writeMemory(uint32_t address, const std::vector<uint8_t>& bytes);
  void eraseSegment(uint32_t address);
  void massErase();
  void resetChip();
  void bootApplication();
  void enterRomLoader();
  void writeApplicationMarker();
  navkeypad::DeviceStatus statusUnlocked() const;
  std::vector<uint8_t> memoryUnlocked(uint32_t address, std::size_t count) const;

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::string id_;
  std::string port_;
  KeypadSettings settings_;
  KeypadSettings defaults_;
  KeypadSettings factory_;
  std::string firmwareVersion_ = "1.04";
  std::string serialNumber_ = "VNK000123";
  std::string temperature_ = "24";
  uint8_t jackState_ = 1;
  uint8_t orientation_ = 0;
  std::wstring manufacturer_ = L"Velto";
  std::optional<std::string> usbSerial_;
  std::wstring product_ = L"Velto Navigation Keypad";
  bool stringsReadable_ = true;
  bool openable_ = true;
  bool unplugged_ = false;
  Behaviour behaviour_;
  Mode mode_ = Mode::Application;
  std::vector<Pending> pending_;
  std::chrono::steady_clock::time_point lastScheduled_{};
  bool leaveBusWhenAnswered_ = false;
  Mode modeAfterLeaving_ = Mode::Application;
  int pendingReturns_ = 0;
  bool pendingUnplug_ = false;
  std::vector<uint8_t> memory_;
  bool loaderLocked_ = true;
  bool flashChanged_ = false;  // since the application last ran
  bool infoALocked_ = true;
  int loaderWrites_ = 0;
  int loaderReports_ = 0;
  int versionReadsFailed_ = 0;
  int massErases_ = 0;
  std::vector<uint8_t> loaderCommands_;
  std::chrono::steady_clock::time_point nextReportAllowed_{};
  uint64_t generation_ = 0;
  int commandsProcessed_ = 0;
  std::vector<ReceivedCommand> received_;
  int interleaved_ = 0;
  int malformed_ = 0;
  int reenumerations_ = 0;
  uint64_t restartMs_ = 0;
  uint64_t absentUntil_ = 0;
};

}  // namespace virtual_keypad

#include "virtual_bus.h"  // IWYU pragma: export
