// The records of upgrades under way: what each keypad must be given back, kept on disk from
// before it leaves its application until its restore has succeeded, so that a crash, a
// pulled cable or a closed program never loses a keypad's serial number and settings.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/keypad_commands.h"
#include "firmware/settings_restore.h"
#include "store/pending_records.h"

namespace navkeypad::firmware {

// The records and their file are the store's; which keypad a record is for is decided here.
using store::KeptAtNow;
using store::PendingUpgrade;

// A keypad as the bus shows it and as it answered: the place and the words that prove who it is.
struct KeypadSeen {
  std::string path;
  std::string port;
  std::string usbSerial;
  std::string serialNumber;  // as its status reports it; empty for none
  // It shows the settings new firmware starts with (StartsFresh): a keypad just flashed does
  // until it is given its own back.
  bool fresh = false;
};

// Whether a keypad with this layout and brightness shows what new firmware starts with.
bool StartsFresh(int keypadType, int ledBrightness);

// Whether `record` may be given to `keypad` in its application. Its place must agree with the
// record's (the port, and the USB serial string where both have one; where either port is not
// known, the serial number alone tells), and it reports the record's serial number or none; one
// that reports none is the record's keypad only as its new firmware starts (a record without a
// serial number has nothing else to tell it by). A keypad reporting the record's number
// elsewhere is a second keypad with that number, until the user says otherwise.
bool RecordFitsKeypad(const PendingUpgrade& record, const KeypadSeen& keypad);
// Whether `keypad` reports the serial number of `record` but is not where it was kept.
bool SameSerialElsewhere(const PendingUpgrade& record, const KeypadSeen& keypad);
// Whether `record` is that of a keypad waiting in its loader at `port`: it was kept there.
bool RecordFitsLoaderAt(const PendingUpgrade& record, const std::string& port);
// Those of `records` kept where a keypad waiting in its loader at `port` left its application.
std::vector<PendingUpgrade> RecordsKeptAt(const std::vector<PendingUpgrade>& records,
                                          const std::string& port);

// "keypad S at 1-1.4 (PATH)", "the keypad at 1-1.4 (PATH)", "the keypad at PATH" where the port
// is not known.
std::string KeypadAt(const std::string& serial, const std::string& port, const std::string& path);

// "keypad SERIAL", or "a keypad without a serial number"
std::string KeypadName(const PendingUpgrade& record);
// The keypad as its record says it was before the upgrade (the service log's "before" for a
// keypad finished from its loader).
DeviceStatus StatusBefore(const PendingUpgrade& record);

// Whether one of `records` was kept for the keypad of serial number `serial`.
bool HasRecordOf(const std::vector<PendingUpgrade>& records, const std::string& serial);
// Whether one of `records` may be owed to `keypad` (RecordFitsKeypad).
bool HasRecordFor(const std::vector<PendingUpgrade>& records, const KeypadSeen& keypad);
// Those of `records` with a place whose keypad is nowhere on the bus: nothing in its application
// or its loader at that port. A loader elsewhere may be such a keypad, moved.
std::vector<PendingUpgrade> RecordsOfAbsentKeypads(const std::vector<PendingUpgrade>& records);

// The keypad that came back from an upgrade, proven by what it says of itself: one that was not
// on the bus while the download ran and reports the record's serial number or none (the new
// firmware starts without one). A keypad that reports another serial number is left untouched.
struct ReturnedKeypad {
  enum Kind { kNone, kOne, kSeveral, kBusy } kind = kNone;
  std::string path;
  std::vector<std::string> others;  // serial numbers of keypads that arrived and are not it
  // Keypads without a serial number that arrived elsewhere: the upgraded one, moved, or others.
  std::vector<KeypadSeen> elsewhere;
  // Keypads without a serial number that arrived where the download ran showing settings new
  // firmware does not start with: others, plugged in there while it restarted.
  std::vector<KeypadSeen> unlike;
};
// `port` is where the download ran: only a keypad there can have come back from it (where the
// system cannot say, any keypad that arrived may have, as long as it proves it by its serial
// number or has none).
ReturnedKeypad FindReturnedKeypad(const std::optional<PendingUpgrade>& record,
                                  const std::vector<std::string>& otherKeypads,
                                  const std::string& port);

struct RestoreResult {
  enum Kind { kRestored, kNotFound, kAmbiguous, kBusy, kStepFailed } kind;
  std::string failureMessage;  // the failed step's, with kStepFailed
};
// Opens the keypad FindReturnedKeypad found as the shared handle and gives the settings back and
// stores them as its defaults; stops at the first step that fails. Writes to no other keypad.
RestoreResult RestoreUpgradedKeypad(const std::optional<PendingUpgrade>& record,
                                    const ReturnedKeypad& returned);

// Whether a kept record must be brought up now that no keypad waits in its loader (the programs
// say what waits there first): the open keypad may be the record's and does not hold what it
// keeps (its serial number, or none at all). Another keypad, or none, needs nothing of it now.
// `port` is where the open keypad is: one elsewhere than the record's gets it only on the user's
// word (RecordNeedsWord).
bool RecordNeededNow(const PendingUpgrade& record, const std::optional<DeviceStatus>& openKeypad,
                     const std::string& port = {});
// Whether `record` may go to the open keypad only on the user's word: it reports no serial
// number, or is not where the record was kept.
bool RecordNeedsWord(const PendingUpgrade& record, const DeviceStatus& openKeypad,
                     const std::string& port);

// The serial numbers on the bus besides that of the keypad at `exceptPath`, as the keypads
// answer (one waiting in its loader by the record kept where it waits), so that a number is
// given only when it is known to be free. `unknown` names a keypad that could not say, and why:
// while one cannot, no number is known to be free.
struct SerialsOnBus {
  struct Serial {
    std::string serial;
    std::string who;  // "the keypad at 1-b", "a keypad waiting in its firmware loader at 1-l"
  };
  std::vector<Serial> serials;
  std::string unknown;
  // Who has `serial`; empty when none does.
  std::string whoHas(const std::string& serial) const;
};
SerialsOnBus SerialNumbersOnBus(const std::string& exceptPath,
                                const std::vector<PendingUpgrade>& records);

// The message for a restore that could not tell the upgraded keypad from others.
std::string AmbiguousRestoreMessage(const std::string& recordFile);

}  // namespace navkeypad::firmware
