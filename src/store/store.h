// What a bench knows of its keypads, behind one interface: the records of upgrades under way, the
// ledger of the serial numbers it gave, and the service log. A program opens its store once where
// it is put together and hands it to whatever needs it; nothing else reads or writes the store's
// files. Every operation says what went wrong in a typed error: a store that cannot be read is
// never taken for an empty one.
#pragma once

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "store/pending_records.h"
#include "store/service_log.h"

namespace navkeypad::store {

struct StoreError {
  enum Kind {
    kNone,
    kUnreadable,      // damaged, cut short, not a store of this program
    kUnsafe,          // something at its place that is not a regular file of the bench
    kNoAccess,        // this user may not read or write it
    kBusy,            // another program held it for longer than the store waits
    kUnknownVersion,  // written by a later version of the program
    kTaken,           // a serial number that was given, or reserved, before
    kAway,            // the site's server cannot be reached now
    kQueued,          // not on the site's server yet: it waits in the bench's own store
  };
  Kind kind = kNone;
  std::string message;  // a sentence: what is wrong and what to do
  bool failed() const { return kind != kNone; }
  explicit operator bool() const { return failed(); }
};

// Who asks for a serial number, kept with it in the ledger.
struct SerialHolder {
  std::string port;
  std::string program;
};

// A serial number as the ledger knows it.
struct LedgerEntry {
  enum State { kReserved, kWritten, kVoid } state = kReserved;
  std::string serial;
  std::string time;  // when it was reserved (or first seen), UTC
  std::string port;
  std::string computer;
  std::string user;
  std::string program;
  // "VNK000400 was reserved at 2026-12-09T10:42:07Z by anna@bench-3 (navkeypad station) at port
  // 1-1.4"
  std::string describe() const;
};

// The lines of the service log a reader asked for, in the order of their times.
struct LogQuery {
  std::optional<std::string> serial;  // a keypad's lines, by every number it had
  std::optional<std::string> since;   // lines at or after this UTC time (or date)
  std::optional<std::string> until;   // lines at or before it (a date or minute takes all of it)
};
struct LogLines {
  std::vector<nlohmann::ordered_json> entries;
  int unreadable = 0;  // lines that are not objects whose shown fields are texts
};

class Store {
 public:
  virtual ~Store() = default;

  // Where the store is, for messages and --help.
  virtual std::string where() const = 0;
  // For --help: where the store is, and why there.
  virtual std::string whereWords() const = 0;
  // What opening it said on the way (a user's old files brought over), one sentence each.
  virtual std::vector<std::string> takeNotices() = 0;
  // Whether a change can be kept and logged here now: a program checks this before it sends a
  // keypad anything, so that nothing is done that nobody could trace.
  virtual StoreError writable() = 0;

  // The records of upgrades under way, as they are now.
  virtual StoreError records(std::vector<PendingUpgrade>& out) = 0;
  // A read-modify-write of the records in one transaction: `change` is given what is kept now,
  // and what it leaves is kept (and handed back in `after`).
  virtual StoreError changeRecords(const std::function<void(std::vector<PendingUpgrade>&)>& change,
                                   std::vector<PendingUpgrade>* after = nullptr) = 0;
  // Claims `record` for this program, so that one program restores one record: kBusy where a
  // program still running holds it.
  virtual StoreError claimRecord(const PendingUpgrade& record) = 0;
  // Lets go of this program's claim on a record that stays (its restore failed).
  virtual StoreError releaseRecord(const PendingUpgrade& record) = 0;
  // At a site: the record another bench keeps for keypad `serial` becomes this bench's, kept at
  // `port`, where the user says that keypad is now (`taken` gets it). A bench's own store has
  // no other bench, and takes nothing.
  virtual StoreError takeOver(const std::string& serial, const std::string& port,
                              std::vector<PendingUpgrade>& taken) {
    (void)serial, (void)port;
    taken.clear();
    return {};
  }
  // At a site: the records other benches keep for keypad `serial` (for every keypad with a
  // number, if ""), each with its port named as "BENCH, port PORT" (a place no port of this
  // bench's is).
  virtual StoreError recordsElsewhere(const std::string& serial, std::vector<PendingUpgrade>& out) {
    (void)serial;
    out.clear();
    return {};
  }

  // Reserves the first number from `first` on that neither the ledger knows nor `seen` says is
  // taken; the sequence's next number is kept, so a sequence never goes back.
  virtual StoreError reserveNext(const std::string& first,
                                 const std::function<bool(const std::string&)>& seen,
                                 const SerialHolder& holder, std::string& serial) = 0;
  // Where the sequence from `first` stands: the number reserveNext would try first.
  virtual StoreError sequenceNext(const std::string& first, std::string& next) = 0;
  // Reserves `serial`: kTaken, with the ledger's words, where it was reserved before.
  virtual StoreError reserve(const std::string& serial, const SerialHolder& holder) = 0;
  // A reserved number read back from its keypad, or known not to have reached one.
  virtual StoreError settle(const std::string& serial, LedgerEntry::State state) = 0;
  virtual StoreError ledgerEntry(const std::string& serial, std::optional<LedgerEntry>& out) = 0;

  // Appends a line to the service log, stamped now (or holds it, see holdLines).
  StoreError append(const ServiceEntry& entry);
  virtual StoreError lines(const LogQuery& query, LogLines& out) = 0;

  // Holds back the lines appended from now on, for a program whose keypads last only once it has
  // written them back at its end (a virtual bus kept in a file): a line for a change that was
  // then lost would say what no keypad holds.
  void holdLines();
  // Appends the held lines, or drops them.
  StoreError releaseLines(bool append);

  // The line as written, its time, the serial numbers it names, its port and computer.
  struct Line {
    std::string id;  // its own, so that a line sent twice is kept once
    std::string time;
    std::string text;
    std::vector<std::string> serials;
    std::string port;
    std::string computer;
    std::string user;
    std::string program;
  };
  // Keeps a line as it was written, at its time and with its id (a line brought over, or sent
  // again): one whose id is kept already is not kept twice.
  virtual StoreError appendLine(const Line& line) = 0;
  // The line `text` would be, with an id of its own.
  static Line LineOf(const std::string& text);

 protected:
  // 128 random bits in hex: an id no other program gives, without asking anyone.
  static std::string NewId();
  // A record as a row keeps it.
  static std::string RecordText(const PendingUpgrade& record);
  // Whether a line read back is an object whose shown fields are texts.
  static bool IsShownLine(const nlohmann::ordered_json& entry);

 private:
  std::mutex heldMutex_;
  bool holding_ = false;
  std::vector<Line> held_;
};

}  // namespace navkeypad::store
