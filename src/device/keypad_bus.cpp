#include "device/keypad_bus.h"

#include "device/hid_seam.h"
#include "device/keypad_commands.h"

#include <cwchar>
#include <mutex>

#include "support/paths.h"

namespace navkeypad {

namespace {
// hidapi's own text for its last failure; the caller holds the global-state lock.
std::string LastHidError() {
  const wchar_t* error = Hid().error(nullptr);
  std::string text;
  for (; error != nullptr && *error != L'\0'; ++error) {
    text.push_back(static_cast<char>(static_cast<uint32_t>(*error) & 0x7F));
  }
  return text == "Success" ? std::string() : text;
}

std::string LastOpenError() {
  const std::string text = LastHidError();
  return text.empty() ? "it cannot be opened" : text;
}
}  // namespace

std::string HidStartProblem() {
  std::lock_guard lock(HidGlobalStateMutex());
  if (Hid().init() == 0) return {};
  std::string reason = LastHidError();
  // The caller ends the sentence; hidapi's own texts sometimes end it already.
  while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
  return "the HID library could not start: " + (reason.empty() ? "no reason given" : reason);
}

std::vector<KeypadOnBus> ListKeypads() {
  std::vector<KeypadOnBus> keypads;
  std::lock_guard lock(HidGlobalStateMutex());
  Hid().init();
  hid_device_info* list = Hid().enumerate(kKeypadVendorId, kKeypadProductId);
  for (hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
    if (entry->interface_number != kConfigurationInterface) continue;
    KeypadOnBus keypad;
    keypad.path = entry->path;
    keypad.port = Hid().port(entry->path);
    for (const wchar_t* c = entry->serial_number; c != nullptr && *c != L'\0'; ++c) {
      // A USB serial string is printable ASCII; anything else is shown as a mark.
      const auto code = static_cast<uint32_t>(*c);
      keypad.usbSerial.push_back(code >= 0x20 && code < 0x7F ? static_cast<char>(code) : '?');
    }
    if (hid_device* device = Hid().openPath(entry->path)) {
      keypad.accessible = true;
      Hid().close(device);
    } else {
      keypad.problem = LastOpenError();
    }
    keypads.push_back(keypad);
  }
  Hid().freeEnumeration(list);
  return keypads;
}

hid_device* OpenKeypad(const std::string& path) {
  hid_device* device = nullptr;
  {
    std::lock_guard lock(HidGlobalStateMutex());
    Hid().init();
    device = Hid().openPath(path.c_str());
  }
  if (device != nullptr) Hid().setNonblocking(device, 1);
  return device;
}

namespace {

struct Locks {
  std::mutex mutex;
  std::string folder;
  std::string folderProblem;  // why no lock can be taken in it
  std::string denial;         // why the last lock could not be taken, when not held by another
  std::string holder;         // who held it, where another program did and said who it is
  support::ProgramLock sharedKeypad;
  bool awaitingReturn = false;  // this program holds the lock below
};
Locks& locks() {
  static Locks instance;
  return instance;
}

// A file name for a device path: every character that a file name cannot hold becomes '_'.
std::string LockFileFor(const std::string& folder, const std::string& name) {
  std::string file = name;
  for (char& c : file) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain) c = '_';
  }
  return support::Utf8FromPath(support::PathFromUtf8(folder) / (file + ".lock"));
}

std::string KeypadLockFileIn(const std::string& folder, const std::string& path) {
  return folder.empty() ? std::string() : LockFileFor(folder, "keypad-" + path);
}

// A lock this user cannot take is not free: it is refused, and the reason kept for the message.
// The caller holds locks().mutex.
bool TakeLock(support::ProgramLock& lock, const std::string& file, bool wait) {
  Locks& all = locks();
  all.denial = all.folderProblem;
  all.holder.clear();
  if (!all.denial.empty()) return false;
  const bool taken = lock.take(file, wait);
  all.denial = lock.problem();
  all.holder = lock.holder();
  return taken;
}

// While an upgrade waits for its keypad to come back, no other program opens a keypad: the one
// that arrives may be it, and a program holding it would keep it from its settings. The caller
// holds locks().mutex.
bool AnotherUpgradeAwaitsItsKeypad() {
  Locks& all = locks();
  if (all.folder.empty() || all.awaitingReturn) return false;
  support::ProgramLock probe;
  return !TakeLock(probe, LockFileFor(all.folder, "firmware-upgrade-return"), false);
}

// The caller holds locks().mutex.
bool LockKeypad(const std::string& path) {
  Locks& all = locks();
  if (AnotherUpgradeAwaitsItsKeypad()) return false;
  all.sharedKeypad.release();
  if (all.folder.empty()) return true;
  return TakeLock(all.sharedKeypad, KeypadLockFileIn(all.folder, path), false);
}

}  // namespace

void SetKeypadLockFolder(const std::string& folder, const std::string& problem) {
  std::lock_guard lock(locks().mutex);
  locks().folder = folder;
  locks().folderProblem = problem;
}

std::string KeypadLockFile(const std::string& path) {
  std::lock_guard lock(locks().mutex);
  return KeypadLockFileIn(locks().folder, path);
}

bool TakeUpgradeLock(support::ProgramLock& upgrade) {
  std::lock_guard lock(locks().mutex);
  if (locks().folder.empty()) return true;
  return TakeLock(upgrade, LockFileFor(locks().folder, "firmware-upgrade"), false);
}

bool AnotherProgramUpgrades() {
  std::lock_guard lock(locks().mutex);
  if (locks().folder.empty()) return false;
  support::ProgramLock probe;
  if (TakeLock(probe, LockFileFor(locks().folder, "firmware-upgrade"), false)) return false;
  return locks().denial.empty();
}

bool AwaitReturnedKeypad(support::ProgramLock& lock) {
  std::lock_guard guard(locks().mutex);
  // This program's upgrade is the one that awaits its keypad, whoever holds the file: it holds
  // the upgrade lock, so no other upgrade can, and its own keypads are not kept from it.
  locks().awaitingReturn = true;
  if (locks().folder.empty()) return true;
  return TakeLock(lock, LockFileFor(locks().folder, "firmware-upgrade-return"), false);
}

void EndAwaitingReturnedKeypad(support::ProgramLock& lock) {
  std::lock_guard guard(locks().mutex);
  lock.release();
  locks().awaitingReturn = false;
}

SharedOpen OpenSharedKeypad(const std::string& path) {
  CloseSharedKeypad();
  std::lock_guard lock(locks().mutex);
  if (!LockKeypad(path)) return SharedOpen::kInUse;
  hid_device* device = OpenKeypad(path);
  if (device == nullptr) {
    locks().sharedKeypad.release();
    return SharedOpen::kCannotOpen;
  }
  hid_handle = device;
  return SharedOpen::kOpened;
}

bool LockScannedKeypad(const std::string& path) {
  std::lock_guard lock(locks().mutex);
  if (LockKeypad(path)) return true;
  if (hid_device* device = hid_handle.exchange(nullptr)) Hid().close(device);
  return false;
}

void CloseSharedKeypad() {
  if (hid_device* device = hid_handle.load()) hid_exit_safely(device);
  hid_handle = nullptr;
  std::lock_guard lock(locks().mutex);
  locks().sharedKeypad.release();
}

AskedKeypad KeypadStatusAt(const std::string& path) {
  // Another program's exchange with that keypad is never interleaved with this one.
  support::ProgramLock held;
  {
    std::lock_guard guard(locks().mutex);
    const std::string file = KeypadLockFileIn(locks().folder, path);
    if (AnotherUpgradeAwaitsItsKeypad() || (!file.empty() && !TakeLock(held, file, false)))
      return {AskedKeypad::kInUse, {}, locks().holder};
  }
  hid_device* device = OpenKeypad(path);
  if (device == nullptr) return {};
  std::array<uint8_t, kReportSize> answer{};
  uint32_t length = 0;
  const int32_t result =
      USBEncoderSendAndReceive_a(device, CMD_GET_STATUS, nullptr, 0, answer.data(),
                                 static_cast<int32_t>(answer.size()), &length, kDefaultTimeoutMs);
  Hid().close(device);
  if (result != kExchangeOk) return {};
  const auto status = DecodeStatusRecord(std::span(answer.data(), length));
  if (!status) return {};
  return {AskedKeypad::kAnswered, *status, {}};
}

std::string UnaskedReason(const KeypadOnBus& keypad, const AskedKeypad& asked) {
  if (!keypad.accessible) return "it cannot be opened: " + keypad.problem;
  if (asked.kind == AskedKeypad::kInUse)
    return "it is in use by " + (asked.holder.empty() ? "another program" : asked.holder);
  return "it does not answer";
}

std::optional<std::string> SerialNumberAt(const std::string& path) {
  const AskedKeypad asked = KeypadStatusAt(path);
  if (asked.kind != AskedKeypad::kAnswered) return std::nullopt;
  return asked.status.serialNumber;
}

std::string LockDenial() {
  std::lock_guard lock(locks().mutex);
  return locks().denial;
}

std::string LockHolderNamed() {
  std::lock_guard lock(locks().mutex);
  return locks().holder;
}

std::string LockRightsAdvice() {
#ifdef _WIN32
  return "Every user of this computer needs to be able to add files to that folder; ask the "
         "computer's administrator to allow it";
#else
  return "Every user of this computer who works on keypads needs to be in the group navkeypad, "
         "whose folder it is (owner root, mode 2775, as the navkeypad package makes it): join it "
         "(sudo usermod -a -G navkeypad $USER, then log in again), or ask the computer's "
         "administrator to set the folder so";
#endif
}

std::string KeypadLockMessage() {
  if (const std::string denial = LockDenial(); !denial.empty()) {
    return "the keypad's lock cannot be taken (" + denial + "). " + LockRightsAdvice();
  }
  if (const std::string holder = LockHolderNamed(); !holder.empty())
    return "the keypad is in use by " + holder + "; close that program, then try again";
  return "the keypad is in use by another program (the configuration window or another "
         "navkeypad); close that program, then try again";
}

std::string AccessAdvice() {
#ifdef _WIN32
  // Windows needs no rule; what keeps a keypad closed there is another program or a driver.
  return "Close other programs that may use the keypad, unplug it and plug it in again; if it "
         "still cannot be opened, check in Device Manager that it is listed under Human "
         "Interface Devices without a warning.";
#else
  return "The navkeypad package installs the rule "
         "/lib/udev/rules.d/60-velto-navigation-keypad.rules, "
         "which opens the keypad to the user at the seat and to the group navkeypad. Check that "
         "the rule is there (reinstall the package if it is not), or join the group "
         "(sudo usermod -a -G navkeypad $USER, then log in again); then unplug the keypad and "
         "plug it in again.";
#endif
}

}  // namespace navkeypad
