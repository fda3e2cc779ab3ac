#include "store/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <utility>

#include "store/serial_sequences.h"
#include "support/paths.h"
#include "support/program_lock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace navkeypad::store {

namespace fs = std::filesystem;

namespace {

constexpr int kApplicationId = 0x4E564B50;  // "NVKP": a database of this program's

// Each brings the schema from its place in the list to the next version, in one transaction.
// A migration is never edited once released, and nothing is dropped to be made again.
constexpr const char* kMigrations[] = {
    R"sql(
CREATE TABLE records(
  id INTEGER PRIMARY KEY,
  serial TEXT NOT NULL,
  port TEXT NOT NULL,
  kept_at TEXT NOT NULL,
  record TEXT NOT NULL,
  claimed_pid INTEGER,
  claimed_computer TEXT,
  claimed_at TEXT);
CREATE TABLE serials(
  serial TEXT PRIMARY KEY,
  state TEXT NOT NULL CHECK (state IN ('reserved', 'written', 'void')),
  time TEXT NOT NULL,
  port TEXT NOT NULL,
  computer TEXT NOT NULL,
  user TEXT NOT NULL,
  program TEXT NOT NULL);
CREATE TABLE sequences(first TEXT PRIMARY KEY, next TEXT NOT NULL);
CREATE TABLE log(
  id INTEGER PRIMARY KEY,
  time TEXT NOT NULL,
  computer TEXT NOT NULL,
  port TEXT NOT NULL,
  serial TEXT NOT NULL,
  line TEXT NOT NULL);
CREATE INDEX log_by_time ON log(time, id);
CREATE INDEX log_by_port ON log(computer, port, time, id);
CREATE TABLE log_serials(
  serial TEXT NOT NULL,
  line INTEGER NOT NULL REFERENCES log(id),
  PRIMARY KEY (serial, line)) WITHOUT ROWID;
CREATE TABLE brought_over(file TEXT NOT NULL, hash TEXT NOT NULL, time TEXT NOT NULL,
  PRIMARY KEY (file, hash));
)sql",
    // A line's own id, so that one sent again (or brought over twice) is kept once.
    R"sql(
ALTER TABLE log ADD COLUMN line_id TEXT;
UPDATE log SET line_id = lower(hex(randomblob(16)));
CREATE UNIQUE INDEX log_by_line_id ON log(line_id);
CREATE TABLE outbox(id INTEGER PRIMARY KEY, kind TEXT NOT NULL, body TEXT NOT NULL,
  time TEXT NOT NULL);
)sql",
};
static_assert(std::size(kMigrations) == kStoreSchemaVersion);

constexpr const char* kOldRecords = "PendingFirmwareUpgrade.json";
constexpr const char* kOldSequences = "serial-number-sequences.json";
constexpr const char* kOldLog = "service-log.jsonl";

std::string StateWord(LedgerEntry::State state) {
  switch (state) {
    case LedgerEntry::kWritten:
      return "written";
    case LedgerEntry::kVoid:
      return "void";
    case LedgerEntry::kReserved:
      break;
  }
  return "reserved";
}

LedgerEntry::State StateOf(const std::string& word) {
  if (word == "written") return LedgerEntry::kWritten;
  if (word == "void") return LedgerEntry::kVoid;
  return LedgerEntry::kReserved;
}

std::string Fnv1a(const std::string& bytes, uint64_t hash = 1469598103934665603ull) {
  for (const unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// A prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    code_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr);
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int index, long long number) {
    sqlite3_bind_int64(statement_, index, number);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or the error.
  int step() { return code_ == SQLITE_OK ? sqlite3_step(statement_) : code_; }
  void reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  std::string text(int column) const {
    const auto* bytes = sqlite3_column_text(statement_, column);
    return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                               static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string();
  }
  long long number(int column) const { return sqlite3_column_int64(statement_, column); }
  bool null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

 private:
  sqlite3_stmt* statement_ = nullptr;
  int code_ = SQLITE_OK;
};

bool ProgramRuns(long long pid) {
#ifdef _WIN32
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return false;
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
#else
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#endif
}

class SqliteStore final : public Store {
 public:
  SqliteStore(const StorePlace& place, int waitMs) : place_(place), waitMs_(waitMs) {
    opened_ = open();
    if (!opened_) opened_ = bringOver();
  }
  ~SqliteStore() override {
    insertLine_.reset();
    nameSerial_.reset();
    logSerial_.reset();
    sqlite3_close_v2(db_);
  }

  std::string where() const override { return place_.file; }
  std::string whereWords() const override { return place_.words; }
  std::vector<std::string> takeNotices() override {
    std::lock_guard lock(mutex_);
    return std::exchange(notices_, {});
  }

  StoreError writable() override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Transaction write(*this);
    if (write.error) return write.error;
    return {};
  }

  StoreError records(std::vector<PendingUpgrade>& out) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    std::vector<long long> ids;
    return readRecords(out, ids);
  }

  StoreError changeRecords(const std::function<void(std::vector<PendingUpgrade>&)>& change,
                           std::vector<PendingUpgrade>* after) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Transaction write(*this);
    if (write.error) return write.error;
    std::vector<PendingUpgrade> kept;
    std::vector<long long> ids;
    if (StoreError error = readRecords(kept, ids)) return error;
    std::vector<PendingUpgrade> changed = kept;
    change(changed);
    // A record that stays keeps its row (and whoever claimed it); one that went is removed.
    std::vector<bool> stays(kept.size(), false);
    Statement update(db_, "UPDATE records SET record = ? WHERE id = ?");
    Statement insert(db_, "INSERT INTO records(serial, port, kept_at, record) VALUES (?, ?, ?, ?)");
    for (const PendingUpgrade& record : changed) {
      std::size_t row = 0;
      while (row < kept.size() && (stays[row] || !kept[row].sameKeep(record))) ++row;
      const std::string text = RecordText(record);
      int code;
      if (row < kept.size()) {
        stays[row] = true;
        code = update.bind(1, text).bind(2, ids[row]).step();
        update.reset();
      } else {
        code = insert.bind(1, record.serial())
                   .bind(2, record.port)
                   .bind(3, record.keptAt)
                   .bind(4, text)
                   .step();
        insert.reset();
      }
      if (code != SQLITE_DONE) return failure(code, "keep the records");
    }
    Statement remove(db_, "DELETE FROM records WHERE id = ?");
    for (std::size_t row = 0; row < kept.size(); ++row) {
      if (stays[row]) continue;
      const int code = remove.bind(1, ids[row]).step();
      remove.reset();
      if (code != SQLITE_DONE) return failure(code, "remove a record");
    }
    if (StoreError error = write.commit()) return error;
    if (after) *after = std::move(changed);
    return {};
  }

  StoreError claimRecord(const PendingUpgrade& record) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Transaction write(*this);
    if (write.error) return write.error;
    Statement find(db_,
                   "SELECT id, claimed_pid, claimed_computer, claimed_at FROM records "
                   "WHERE serial = ? AND port = ? AND kept_at = ?");
    find.bind(1, record.serial()).bind(2, record.port).bind(3, record.keptAt);
    const int found = find.step();
    if (found == SQLITE_DONE) return {};  // not kept (any more): nothing to hold
    if (found != SQLITE_ROW) return failure(found, "claim a record");
    const std::string computer = support::ComputerName();
    if (!find.null(1) && find.number(1) != support::ThisProgramId() &&
        (find.text(2) != computer || ProgramRuns(find.number(1)))) {
      return {StoreError::kBusy, "the record of " +
                                     (record.serial().empty() ? "a keypad without a serial number"
                                                              : "keypad " + record.serial()) +
                                     " is being restored by program " +
                                     std::to_string(find.number(1)) + " on " + find.text(2) +
                                     " (since " + find.text(3) +
                                     "); let it finish, or end it and try again"};
    }
    Statement claim(db_,
                    "UPDATE records SET claimed_pid = ?, claimed_computer = ?, claimed_at = ? "
                    "WHERE id = ?");
    const int code = claim.bind(1, support::ThisProgramId())
                         .bind(2, computer)
                         .bind(3, support::UtcTimeText())
                         .bind(4, find.number(0))
                         .step();
    if (code != SQLITE_DONE) return failure(code, "claim a record");
    return write.commit();
  }

  StoreError releaseRecord(const PendingUpgrade& record) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Transaction write(*this);
    if (write.error) return write.error;
    Statement release(db_,
                      "UPDATE records SET claimed_pid = NULL, claimed_computer = NULL, "
                      "claimed_at = NULL WHERE serial = ? AND port = ? AND kept_at = ? AND "
                      "claimed_pid = ? AND claimed_computer = ?");
    const int code = release.bind(1, record.serial())
                         .bind(2, record.port)
                         .bind(3, record.keptAt)
                         .bind(4, support::ThisProgramId())
                         .bind(5, support::ComputerName())
                         .step();
    if (code != SQLITE_DONE) return failure(code, "let go of a record");
    return write.commit();
  }

  StoreError reserveNext(const std::string& first,
                         const std::function<bool(const std::string&)>& seen,
                         const SerialHolder& holder, std::string& serial) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Transaction write(*this);
    if (write.error) return write.error;
    Statement next(db_, "SELECT next FROM sequences WHERE first = ?");
    next.bind(1, first);
    std::string candidate = first;
    if (const int code = next.step(); code == SQLITE_ROW) {
      candidate = LaterInSequence(first, next.text(0));
    } else if (code != SQLITE_DONE) {
      return failure(code, "read the serial numbers' sequence");
    }
    for (; !candidate.empty(); candidate = NextInSequence(candidate)) {
      if (seen(candidate)) continue;
      const int code = insertSerial(candidate, holder, LedgerEntry::kReserved);
      if (code == SQLITE_CONSTRAINT) continue;  // given before: the ledger's key says so
      if (code != SQLITE_DONE) return failure(code, "reserve a serial number");
      break;
    }
    if (candidate.empty())
      return {StoreError::kTaken, "the serial numbers from " + first + " have run out"};
    Statement keep(db_, "INSERT OR REPLACE INTO sequences(first, next) VALUES (?, ?)");
    const int code = keep.bind(1, first).bind(2, NextInSequence(candidate)).step();
    if (code != SQLITE_DONE) return failure(code, "keep the serial numbers' sequence");
    if (StoreError error = write.commit()) return error;
    serial = candidate;
    return {};
  }

  StoreError sequenceNext(const std::string& first, std::string& next) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Statement read(db_, "SELECT next FROM sequences WHERE first = ?");
    read.bind(1, first);
    next = first;
    if (const int code = read.step(); code == SQLITE_ROW) {
      next = LaterInSequence(first, read.text(0));
    } else if (code != SQLITE_DONE) {
      return failure(code, "read the serial numbers' sequence");
    }
    return {};
  }

  StoreError reserve(const std::string& serial, const SerialHolder& holder) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Transaction write(*this);
    if (write.error) return write.error;
    const int code = insertSerial(serial, holder, LedgerEntry::kReserved);
    if (code == SQLITE_CONSTRAINT) {
      std::optional<LedgerEntry> entry;
      if (StoreError error = readLedger(serial, entry)) return error;
      return {StoreError::kTaken, (entry ? entry->describe() : serial + " is in the ledger") +
                                      ", and a serial number is given once"};
    }
    if (code != SQLITE_DONE) return failure(code, "reserve a serial number");
    return write.commit();
  }

  StoreError settle(const std::string& serial, LedgerEntry::State state) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Transaction write(*this);
    if (write.error) return write.error;
    Statement update(db_, "UPDATE serials SET state = ? WHERE serial = ? AND state = 'reserved'");
    const int code = update.bind(1, StateWord(state)).bind(2, serial).step();
    if (code != SQLITE_DONE) return failure(code, "mark a serial number " + StateWord(state));
    return write.commit();
  }

  StoreError ledgerEntry(const std::string& serial, std::optional<LedgerEntry>& out) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    return readLedger(serial, out);
  }

  StoreError lines(const LogQuery& query, LogLines& out) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    out = {};
    std::vector<std::pair<std::string, long long>> picked;  // time, id
    if (query.serial) {
      if (StoreError error = linesOfKeypad(*query.serial, picked)) return error;
    } else {
      Statement all(db_, "SELECT time, id FROM log WHERE time >= ? AND time < ? ORDER BY time, id");
      all.bind(1, query.since.value_or("")).bind(2, query.until ? *query.until + "~" : "~~");
      int code;
      while ((code = all.step()) == SQLITE_ROW) picked.emplace_back(all.text(0), all.number(1));
      if (code != SQLITE_DONE) return failure(code, "read the service log");
    }
    Statement line(db_, "SELECT line FROM log WHERE id = ?");
    for (const auto& [time, id] : picked) {
      if (query.since && time < *query.since) continue;
      if (query.until && time.substr(0, query.until->size()) > *query.until) continue;
      const int code = line.bind(1, id).step();
      if (code != SQLITE_ROW) return failure(code, "read the service log");
      auto entry = nlohmann::ordered_json::parse(line.text(0), nullptr, false);
      line.reset();
      if (!IsShownLine(entry)) {
        ++out.unreadable;
        continue;
      }
      out.entries.push_back(std::move(entry));
    }
    return {};
  }

  // What waits for the site's server, oldest first.
  StoreError putInOutbox(const std::string& kind, const std::string& body) {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Statement put(db_, "INSERT INTO outbox(kind, body, time) VALUES (?, ?, ?)");
    const int code = put.bind(1, kind).bind(2, body).bind(3, support::UtcTimeText()).step();
    if (code != SQLITE_DONE) return failure(code, "keep what waits for the site's server");
    return {};
  }
  StoreError outbox(std::vector<OutboxItem>& out) {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    out.clear();
    Statement all(db_, "SELECT id, kind, body FROM outbox ORDER BY id");
    int code;
    while ((code = all.step()) == SQLITE_ROW)
      out.push_back({all.number(0), all.text(1), all.text(2)});
    if (code != SQLITE_DONE) return failure(code, "read what waits for the site's server");
    return {};
  }
  StoreError sent(long long id) {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Statement remove(db_, "DELETE FROM outbox WHERE id = ?");
    const int code = remove.bind(1, id).step();
    if (code != SQLITE_DONE) return failure(code, "mark what was sent to the site's server");
    return {};
  }

  // Everything it holds, for a site's server to take over.
  StoreError contents(StoreContents& out) {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    out = {};
    std::vector<long long> ids;
    if (StoreError error = readRecords(out.records, ids)) return error;
    Statement serials(db_,
                      "SELECT serial, state, time, port, computer, user, program FROM serials "
                      "ORDER BY rowid");
    int code;
    while ((code = serials.step()) == SQLITE_ROW) {
      out.ledger.push_back({StateOf(serials.text(1)), serials.text(0), serials.text(2),
                            serials.text(3), serials.text(4), serials.text(5), serials.text(6)});
    }
    if (code != SQLITE_DONE) return failure(code, "read the ledger of serial numbers");
    Statement sequences(db_, "SELECT first, next FROM sequences ORDER BY first");
    while ((code = sequences.step()) == SQLITE_ROW)
      out.sequences.emplace_back(sequences.text(0), sequences.text(1));
    if (code != SQLITE_DONE) return failure(code, "read the serial numbers' sequences");
    Statement log(db_, "SELECT line_id, line FROM log ORDER BY time, id");
    while ((code = log.step()) == SQLITE_ROW) {
      Line line = LineOf(log.text(1));
      line.id = log.text(0);
      out.lines.push_back(std::move(line));
    }
    if (code != SQLITE_DONE) return failure(code, "read the service log");
    return {};
  }

  StoreError appendLine(const Line& line) override {
    std::lock_guard lock(mutex_);
    if (opened_) return opened_;
    Transaction write(*this);
    if (write.error) return write.error;
    if (const int code = insertLine(line); code != SQLITE_DONE)
      return failure(code, "append to the service log");
    return write.commit();
  }

 private:
  // BEGIN IMMEDIATE: the write lock is taken (or waited for, within waitMs_) before anything is
  // read, so that what a change reads is what it writes over.
  struct Transaction {
    explicit Transaction(SqliteStore& store) : store(store) {
      const int code = sqlite3_exec(store.db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
      if (code != SQLITE_OK) error = store.failure(code, "change");
    }
    ~Transaction() {
      if (!error && !committed) sqlite3_exec(store.db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    StoreError commit() {
      const int code = sqlite3_exec(store.db_, "COMMIT", nullptr, nullptr, nullptr);
      if (code != SQLITE_OK) return store.failure(code, "keep a change");
      committed = true;
      return {};
    }
    SqliteStore& store;
    StoreError error;
    bool committed = false;
  };

  // What went wrong, in words that say what to do.
  StoreError failure(int code, const std::string& doing) const {
    const std::string said = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    switch (code & 0xFF) {
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        return {StoreError::kBusy,
                "another program has held the bench's store " + place_.file + " for more than " +
                    (waitMs_ < 1000 ? std::to_string(waitMs_) + " ms"
                                    : std::to_string(waitMs_ / 1000) + " s") +
                    ", so this program could not " + doing +
                    "; try again when it has finished (a program that hangs there: see 'fuser " +
                    place_.file + "')"};
      case SQLITE_READONLY:
      case SQLITE_PERM:
      case SQLITE_AUTH:
        return {StoreError::kNoAccess, noAccess()};
      case SQLITE_CORRUPT:
      case SQLITE_NOTADB:
        return damaged(said);
      default:
        return {StoreError::kUnreadable, "the bench's store " + place_.file +
                                             " could not be used to " + doing + " (" + said +
                                             "); nothing of it was taken for empty"};
    }
  }

  StoreError damaged(const std::string& why) const {
    return {StoreError::kUnreadable,
            "the bench's store " + place_.file + " is damaged (" + why +
                "); nothing is read from or written to it. Keep it for whoever repairs it "
                "(sqlite3 " +
                place_.file +
                " .recover) and put a backup in its place; it is never replaced "
                "by an empty one"};
  }

  std::string noAccess() const {
#ifdef _WIN32
    return "you may not write to the bench's store " + place_.file +
           "; ask the computer's administrator to give you access to its folder";
#else
    // A folder shared by a group (navkeypad, as the package makes it) hands its group on.
    struct stat folder {};
    const std::string parent =
        support::Utf8FromPath(support::PathFromUtf8(place_.file).parent_path());
    if (stat(parent.c_str(), &folder) == 0 && (folder.st_mode & S_ISGID)) {
      const struct group* named = getgrgid(folder.st_gid);
      const std::string group = named ? named->gr_name : std::to_string(folder.st_gid);
      return "you may not write to the bench's store " + place_.file +
             ", where every user of this computer keeps what its keypads need: join the group " +
             group + " (sudo usermod -a -G " + group + " $USER), then log in again";
    }
    return "you may not write to the store " + place_.file + "; give yourself write access to it";
#endif
  }

  static StoreError Unsafe(const std::string& path, const char* kind) {
    return {StoreError::kUnsafe, path + " is " + kind +
                                     ", not the bench's store; nothing of it is used. Whoever put "
                                     "it there must remove it"};
  }

  // Refuses what is at the store's place (or at its companions') unless it is a regular file of
  // the bench: a link would take the bench's history elsewhere, a FIFO would hang every
  // program.
  StoreError checkPlace(bool& exists) const {
    exists = false;
#ifdef _WIN32
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      std::error_code error;
      const auto status = fs::symlink_status(support::PathFromUtf8(place_.file + suffix), error);
      if (status.type() == fs::file_type::not_found) continue;
      const char* kind = status.type() == fs::file_type::directory ? "a folder"
                         : status.type() == fs::file_type::symlink ? "a link"
                         : status.type() != fs::file_type::regular ? "not a regular file"
                                                                   : nullptr;
      if (kind) return Unsafe(place_.file + suffix, kind);
      if (*suffix == '\0') exists = true;
    }
#else
    // The computer's store is of its folder's group (navkeypad), which the folder hands on: a
    // file of another group there was put there by someone else.
    struct stat folder {};
    const std::string parent =
        support::Utf8FromPath(support::PathFromUtf8(place_.file).parent_path());
    const bool checkGroup =
        place_.shared && stat(parent.c_str(), &folder) == 0 && (folder.st_mode & S_ISGID);
    const gid_t group = folder.st_gid;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      const std::string path = place_.file + suffix;
      struct stat status {};
      if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) continue;
        if (errno == EACCES) return {StoreError::kNoAccess, noAccess()};
        return {StoreError::kUnreadable,
                path + " cannot be looked at (" + std::strerror(errno) + ")"};
      }
      const char* kind = S_ISLNK(status.st_mode)    ? "a link"
                         : S_ISFIFO(status.st_mode) ? "a FIFO"
                         : S_ISDIR(status.st_mode)  ? "a folder"
                         : S_ISSOCK(status.st_mode) ? "a socket"
                         : !S_ISREG(status.st_mode) ? "a device"
                                                    : nullptr;
      if (kind) return Unsafe(path, kind);
      if (checkGroup && status.st_gid != group) {
        return {StoreError::kUnsafe,
                path +
                    " does not belong to the group of its folder, so it is not the bench's "
                    "store (another user's file?); nothing of it is used. Ask the computer's "
                    "administrator to move it away"};
      }
      if (place_.shared && (status.st_mode & S_IWOTH)) {
        return {StoreError::kUnsafe, path +
                                         " may be written by every user of this computer; "
                                         "ask the computer's administrator to make it 0660 "
                                         "(chmod 0660 " +
                                         path + ")"};
      }
      if (*suffix == '\0') exists = true;
    }
#endif
    return {};
  }

  // The header of a database whose pages all lie in its file (no write-ahead log waits) tells
  // how long it must be: one cut short is damaged, though SQLite would read what is left.
  StoreError checkLength() const {
    const fs::path path = support::PathFromUtf8(place_.file);
    std::error_code error;
    const auto size = fs::file_size(path, error);
    if (error)
      return {StoreError::kUnreadable, place_.file + " cannot be read (" + error.message() + ")"};
    std::array<unsigned char, 100> header{};
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(header.data()), header.size());
    if (size < header.size() || !in || std::memcmp(header.data(), "SQLite format 3", 16) != 0)
      return damaged("it is not a database, or it was cut short");
    const std::uintmax_t pageSize =
        header[16] == 0 && header[17] == 1 ? 65536u : (header[16] << 8 | header[17]);
    const std::uintmax_t pages = static_cast<std::uintmax_t>(header[28]) << 24 | header[29] << 16 |
                                 header[30] << 8 | header[31];
    const auto walSize = fs::file_size(support::PathFromUtf8(place_.file + "-wal"), error);
    if ((error || walSize == 0) && pages * pageSize > size)
      return damaged("it was cut short: " + std::to_string(size) + " of " +
                     std::to_string(pages * pageSize) + " bytes");
    return {};
  }

  // A new store is made whole under a name of its own and then put in place, so that nothing at
  // the store's place is ever a store half made (an empty file there is damage, never new).
  StoreError create() {
    std::error_code error;
    const fs::path path = support::PathFromUtf8(place_.file);
    fs::create_directories(path.parent_path(), error);
    std::mt19937_64 random{std::random_device{}()};
    const std::string made = place_.file + ".new-" + std::to_string(support::ThisProgramId()) +
                             "-" + std::to_string(random() % 1000000);
    sqlite3* db = nullptr;
    int code = sqlite3_open_v2(made.c_str(), &db,
                               SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXRESCODE,
                               nullptr);
    std::string problem;
    if (code == SQLITE_OK) {
      code = sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
      if (code == SQLITE_OK) code = migrate(db, 0);
    }
    if (code != SQLITE_OK) problem = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    sqlite3_close_v2(db);
    const fs::path madePath = support::PathFromUtf8(made);
    if (problem.empty()) {
      fs::permissions(madePath,
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                          fs::perms::group_write,
                      error);
      fs::create_hard_link(madePath, path, error);
      // Another program may have put its own in place first: that one is the store.
      if (error && error != std::errc::file_exists) problem = error.message();
    }
    fs::remove(madePath, error);
    if (problem.empty()) return {};
    if (problem.find("ermission") != std::string::npos) return {StoreError::kNoAccess, noAccess()};
    return {StoreError::kUnreadable,
            "the bench's store " + place_.file + " could not be made (" + problem + ")"};
  }

  static int migrate(sqlite3* db, int from) {
    for (int version = from; version < kStoreSchemaVersion; ++version) {
      const std::string script = std::string("BEGIN IMMEDIATE;") + kMigrations[version] +
                                 "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                 "; PRAGMA user_version = " + std::to_string(version + 1) +
                                 "; COMMIT;";
      if (const int code = sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr);
          code != SQLITE_OK) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return code;
      }
    }
    return SQLITE_OK;
  }

  StoreError open() {
    if (place_.file.empty()) return {StoreError::kUnreadable, place_.problem};
    if (!place_.problem.empty()) return {StoreError::kNoAccess, place_.problem};
    bool exists = false;
    if (StoreError error = checkPlace(exists)) return error;
    if (!exists) {
      if (StoreError error = create()) return error;
      if (StoreError error = checkPlace(exists)) return error;
    }
#ifndef _WIN32
    if (access(place_.file.c_str(), R_OK | W_OK) != 0 && errno == EACCES)
      return {StoreError::kNoAccess, noAccess()};
#endif
    if (StoreError error = checkLength()) return error;
    const int code = sqlite3_open_v2(place_.file.c_str(), &db_,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW |
                                         SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_EXRESCODE,
                                     nullptr);
    if (code != SQLITE_OK) {
      if ((code & 0xFF) == SQLITE_CANTOPEN && errno == EACCES)
        return {StoreError::kNoAccess, noAccess()};
      return failure(code, "open it");
    }
    sqlite3_busy_timeout(db_, waitMs_);
    sqlite3_exec(db_, "PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON", nullptr, nullptr,
                 nullptr);
    Statement ids(db_,
                  "SELECT (SELECT application_id FROM pragma_application_id), "
                  "(SELECT user_version FROM pragma_user_version)");
    if (const int read = ids.step(); read != SQLITE_ROW) return failure(read, "read it");
    const long long application = ids.number(0), version = ids.number(1);
    if (application != kApplicationId)
      return damaged("it is a database of another program, not a bench's store");
    if (version > kStoreSchemaVersion) {
      return {StoreError::kUnknownVersion, "the bench's store " + place_.file +
                                               " was written by a later version of this "
                                               "program (its schema " +
                                               std::to_string(version) + ", this program's " +
                                               std::to_string(kStoreSchemaVersion) +
                                               "); install that version here too"};
    }
    if (version < kStoreSchemaVersion) {
      if (const int migrated = migrate(db_, static_cast<int>(version)); migrated != SQLITE_OK)
        return failure(migrated, "bring it to this version");
    }
    return {};
  }

  StoreError readRecords(std::vector<PendingUpgrade>& out, std::vector<long long>& ids) {
    out.clear();
    ids.clear();
    Statement all(db_, "SELECT id, record FROM records ORDER BY id");
    int code;
    while ((code = all.step()) == SQLITE_ROW) {
      try {
        out.push_back(RecordFromJson(nlohmann::json::parse(all.text(1))));
      } catch (const std::exception& problem) {
        return damaged(std::string("a record of an upgrade cannot be read: ") + problem.what());
      }
      ids.push_back(all.number(0));
    }
    if (code != SQLITE_DONE) return failure(code, "read the records of upgrades");
    return {};
  }

  StoreError readLedger(const std::string& serial, std::optional<LedgerEntry>& out) {
    out.reset();
    Statement find(db_,
                   "SELECT state, time, port, computer, user, program FROM serials "
                   "WHERE serial = ?");
    const int code = find.bind(1, serial).step();
    if (code == SQLITE_DONE) return {};
    if (code != SQLITE_ROW) return failure(code, "read the ledger of serial numbers");
    out = LedgerEntry{StateOf(find.text(0)), serial,       find.text(1), find.text(2),
                      find.text(3),          find.text(4), find.text(5)};
    return {};
  }

  int insertSerial(const std::string& serial, const SerialHolder& holder, LedgerEntry::State state,
                   const std::string& time = {}, const std::string& computer = {},
                   const std::string& user = {}) {
    Statement insert(db_,
                     "INSERT INTO serials(serial, state, time, port, computer, user, program) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?)");
    return insert.bind(1, serial)
               .bind(2, StateWord(state))
               .bind(3, time.empty() ? support::UtcTimeText() : time)
               .bind(4, holder.port)
               .bind(5, computer.empty() ? support::ComputerName() : computer)
               .bind(6, user.empty() ? support::UserName() : user)
               .bind(7, holder.program)
               .step() &
           0xFF;
  }

  // A line of the log, and every number it names entered in the ledger (a number the log shows
  // on a keypad is never given to another).
  int insertLine(const Line& line) {
    // Prepared once: a bring-over inserts a million lines.
    if (!insertLine_) {
      insertLine_ = std::make_unique<Statement>(
          db_,
          "INSERT INTO log(time, computer, port, serial, line, line_id) VALUES (?, ?, ?, ?, ?, ?) "
          "ON CONFLICT (line_id) DO NOTHING");
      nameSerial_ = std::make_unique<Statement>(
          db_, "INSERT OR IGNORE INTO log_serials(serial, line) VALUES (?, ?)");
      logSerial_ = std::make_unique<Statement>(
          db_,
          "INSERT OR IGNORE INTO serials(serial, state, time, port, computer, user, program) "
          "VALUES (?, 'written', ?, ?, ?, ?, ?)");
    }
    Statement& insert = *insertLine_;
    Statement& named = *nameSerial_;
    Statement& ledger = *logSerial_;
    for (Statement* statement : {&insert, &named, &ledger}) statement->reset();
    int code = insert.bind(1, line.time)
                   .bind(2, line.computer)
                   .bind(3, line.port)
                   .bind(4, line.serials.empty() ? std::string() : line.serials.front())
                   .bind(5, line.text)
                   .bind(6, line.id)
                   .step();
    if (code != SQLITE_DONE) return code;
    insert.reset();
    if (sqlite3_changes(db_) == 0) return SQLITE_DONE;  // kept before
    const long long id = sqlite3_last_insert_rowid(db_);
    for (const std::string& serial : line.serials) {
      if ((code = named.bind(1, serial).bind(2, id).step()) != SQLITE_DONE) return code;
      named.reset();
      code = ledger.bind(1, serial)
                 .bind(2, line.time)
                 .bind(3, line.port)
                 .bind(4, line.computer)
                 .bind(5, line.user)
                 .bind(6, line.program)
                 .step();
      ledger.reset();
      if (code != SQLITE_DONE) return code;
    }
    return SQLITE_DONE;
  }

  // The lines that name `serial`, and before the line that gave a keypad its first number the
  // lines at its port of a keypad without one, back to the port's previous keypad (each within
  // an hour of the next).
  StoreError linesOfKeypad(const std::string& serial,
                           std::vector<std::pair<std::string, long long>>& picked) {
    constexpr long long kLinkedWithin = 3600;
    Statement naming(db_,
                     "SELECT log.time, log.id, log.computer, log.port, log.line FROM log_serials "
                     "JOIN log ON log.id = log_serials.line WHERE log_serials.serial = ?");
    naming.bind(1, serial);
    struct Giving {
      std::string time;
      long long id;
      std::string computer;
      std::string port;
    };
    std::vector<Giving> givings;
    int code;
    while ((code = naming.step()) == SQLITE_ROW) {
      picked.emplace_back(naming.text(0), naming.number(1));
      const auto entry = nlohmann::json::parse(naming.text(4), nullptr, false);
      if (entry.is_object() && entry.contains("serialNumberBefore") &&
          entry["serialNumberBefore"] == "" && !naming.text(3).empty())
        givings.push_back({naming.text(0), naming.number(1), naming.text(2), naming.text(3)});
    }
    if (code != SQLITE_DONE) return failure(code, "read the service log");
    Statement before(db_,
                     "SELECT time, id, serial FROM log WHERE computer = ? AND port = ? AND "
                     "(time < ? OR (time = ? AND id < ?)) ORDER BY time DESC, id DESC");
    for (const Giving& giving : givings) {
      before.bind(1, giving.computer)
          .bind(2, giving.port)
          .bind(3, giving.time)
          .bind(4, giving.time)
          .bind(5, giving.id);
      long long later = LogSeconds(giving.time);
      while ((code = before.step()) == SQLITE_ROW) {
        const long long time = LogSeconds(before.text(0));
        if (!before.text(2).empty() || time < 0 || later < 0 || later - time > kLinkedWithin) break;
        picked.emplace_back(before.text(0), before.number(1));
        later = time;
      }
      before.reset();
      if (code != SQLITE_ROW && code != SQLITE_DONE) return failure(code, "read the service log");
    }
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    return {};
  }

  // Reads an old file whole, never through a link or from anything but a regular file.
  static std::string ReadOldFile(const std::string& path, std::string& bytes) {
    bytes.clear();
#ifndef _WIN32
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string("cannot be opened (") + std::strerror(errno) + ")";
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
      ::close(fd);
      return "is not a regular file";
    }
    char buffer[1 << 16];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
      if (got < 0) {
        if (errno == EINTR) continue;
        ::close(fd);
        return "cannot be read";
      }
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
#else
    std::error_code error;
    if (fs::symlink_status(support::PathFromUtf8(path), error).type() != fs::file_type::regular)
      return "is not a regular file";
    std::ifstream in(support::PathFromUtf8(path), std::ios::binary);
    if (!in) return "cannot be opened";
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) return "cannot be read";
#endif
    return {};
  }

  StoreError bringOverFile(const std::string& name, const std::string& path,
                           const std::string& bytes) {
    const auto unreadable = [&](const std::string& why) {
      return StoreError{StoreError::kUnreadable,
                        path +
                            " of an earlier version cannot be brought over into the bench's "
                            "store " +
                            place_.file + " (" + why +
                            "); nothing was taken from it. Correct it, or move it away once "
                            "you know it holds nothing a keypad needs"};
    };
    if (name == kOldRecords) {
      std::vector<PendingUpgrade> old;
      try {
        const auto document = nlohmann::json::parse(bytes);
        if (document.contains("upgrades")) {
          for (const auto& record : document.at("upgrades")) old.push_back(RecordFromJson(record));
        } else {
          old.push_back(RecordFromJson(document));
        }
      } catch (const std::exception& problem) {
        return unreadable(problem.what());
      }
      std::vector<PendingUpgrade> kept;
      std::vector<long long> ids;
      if (StoreError error = readRecords(kept, ids)) return error;
      Statement insert(db_,
                       "INSERT INTO records(serial, port, kept_at, record) VALUES (?, ?, ?, ?)");
      for (const PendingUpgrade& record : old) {
        if (std::any_of(kept.begin(), kept.end(),
                        [&](const PendingUpgrade& other) { return other.sameKeep(record); }))
          continue;
        const int code = insert.bind(1, record.serial())
                             .bind(2, record.port)
                             .bind(3, record.keptAt)
                             .bind(4, RecordText(record))
                             .step();
        insert.reset();
        if (code != SQLITE_DONE) return failure(code, "bring a record over");
        kept.push_back(record);
      }
      return {};
    }
    if (name == kOldSequences) {
      const auto sequences = nlohmann::json::parse(bytes, nullptr, false);
      if (!sequences.is_object()) return unreadable("it is not a JSON object");
      Statement next(db_, "SELECT next FROM sequences WHERE first = ?");
      Statement keep(db_, "INSERT OR REPLACE INTO sequences(first, next) VALUES (?, ?)");
      for (const auto& [first, nextText] : sequences.items()) {
        if (!nextText.is_string()) return unreadable("the sequence of " + first + " is no text");
        std::string later = nextText.get<std::string>();
        if (const int code = next.bind(1, first).step(); code == SQLITE_ROW)
          later = LaterInSequence(later, next.text(0));
        next.reset();
        // Every number the sequence gave may be on a keypad, logged or not.
        constexpr int kLongestSequence = 1000000;
        int given = 0;
        for (std::string serial = first;
             !serial.empty() && (later.empty() || serial != later) && given < kLongestSequence;
             serial = NextInSequence(serial), ++given) {
          const int code =
              insertSerial(serial, {"", "an earlier version's station"}, LedgerEntry::kReserved);
          if (code != SQLITE_DONE && code != SQLITE_CONSTRAINT)
            return failure(code, "bring the serial numbers over");
        }
        const int code = keep.bind(1, first).bind(2, later).step();
        keep.reset();
        if (code != SQLITE_DONE) return failure(code, "bring a sequence over");
      }
      return {};
    }
    std::size_t begin = 0;
    while (begin < bytes.size()) {
      std::size_t end = bytes.find('\n', begin);
      if (end == std::string::npos) end = bytes.size();
      const std::string text = bytes.substr(begin, end - begin);
      begin = end + 1;
      if (text.empty()) continue;
      if (const int code = insertLine(LineOf(text)); code != SQLITE_DONE)
        return failure(code, "bring the service log over");
    }
    return {};
  }

  // The files of earlier versions come in once, all in one transaction, and are then renamed
  // beside where they were: a bring-over cut off leaves them, and the store, as they were.
  StoreError bringOver() {
    struct Old {
      std::string name;
      std::string path;
      std::string hash;
      bool known = false;
    };
    std::vector<Old> found;
    std::vector<std::string> folders;  // each once, however it was named
    for (const std::string& folder : place_.oldFolders) {
      std::error_code error;
      const fs::path canonical = fs::weakly_canonical(support::PathFromUtf8(folder), error);
      const std::string named = error ? folder : support::Utf8FromPath(canonical);
      if (std::find(folders.begin(), folders.end(), named) != folders.end()) continue;
      folders.push_back(named);
      for (const char* name : {kOldRecords, kOldSequences, kOldLog}) {
        const std::string path = support::Utf8FromPath(support::PathFromUtf8(folder) / name);
        if (fs::symlink_status(support::PathFromUtf8(path), error).type() !=
            fs::file_type::not_found)
          found.push_back({name, path, {}, false});
      }
    }
    if (found.empty()) return {};
    {
      Transaction write(*this);
      if (write.error) return write.error;
      Statement known(db_, "SELECT 1 FROM brought_over WHERE file = ? AND hash = ?");
      Statement note(db_, "INSERT INTO brought_over(file, hash, time) VALUES (?, ?, ?)");
      for (Old& old : found) {
        std::string bytes;
        if (const std::string why = ReadOldFile(old.path, bytes); !why.empty()) {
          return {StoreError::kUnreadable,
                  old.path + " of an earlier version " + why +
                      ", so it cannot be brought over into the bench's store; nothing was taken "
                      "from it. Move it away, or make it readable to you"};
        }
        old.hash = Fnv1a(bytes);
        const int seen = known.bind(1, old.path).bind(2, old.hash).step();
        known.reset();
        if (seen == SQLITE_ROW) {
          old.known = true;  // brought over before, and only its renaming was cut off
          continue;
        }
        if (StoreError error = bringOverFile(old.name, old.path, bytes)) return error;
        const int code =
            note.bind(1, old.path).bind(2, old.hash).bind(3, support::UtcTimeText()).step();
        note.reset();
        if (code != SQLITE_DONE) return failure(code, "bring files over");
      }
      if (StoreError error = write.commit()) return error;
    }
    for (const Old& old : found) {
      std::string aside = old.path + ".brought-over";
      std::error_code error;
      for (int n = 2; fs::exists(support::PathFromUtf8(aside), error); ++n)
        aside = old.path + ".brought-over-" + std::to_string(n);
      fs::rename(support::PathFromUtf8(old.path), support::PathFromUtf8(aside), error);
      notices_.push_back(old.path + " was brought over into the bench's store " + place_.file +
                         (error ? "; it could not be renamed (" + error.message() +
                                      "), and is left out the next time"
                                : ", and is kept as " + aside));
    }
    return {};
  }

  StorePlace place_;
  int waitMs_;
  sqlite3* db_ = nullptr;
  StoreError opened_;
  std::unique_ptr<Statement> insertLine_, nameSerial_, logSerial_;
  std::recursive_mutex mutex_;
  std::vector<std::string> notices_;
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const StorePlace& place, int waitMs) {
  return std::make_unique<SqliteStore>(place, waitMs);
}

StoreError ReadStoreContents(const StorePlace& place, StoreContents& out) {
  return SqliteStore(place, kStoreWaitMs).contents(out);
}

namespace {
class SqliteOutbox final : public Outbox {
 public:
  explicit SqliteOutbox(const StorePlace& place) : store_(place, kStoreWaitMs) {}
  StoreError put(const std::string& kind, const std::string& body) override {
    return store_.putInOutbox(kind, body);
  }
  StoreError items(std::vector<OutboxItem>& out) override { return store_.outbox(out); }
  StoreError sent(long long id) override { return store_.sent(id); }
  std::string where() const override { return store_.where(); }

 private:
  SqliteStore store_;
};
}  // namespace

std::unique_ptr<Outbox> OpenOutbox(const StorePlace& place) {
  return std::make_unique<SqliteOutbox>(place);
}

}  // namespace navkeypad::store
