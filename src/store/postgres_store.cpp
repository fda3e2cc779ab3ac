#include "store/postgres_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <set>
#include <utility>

#include "store/serial_sequences.h"
#include "store/sqlite_store.h"
#include "support/paths.h"

namespace navkeypad::store {

namespace {

// Each brings the schema from its place in the list to the next version, in one transaction.
// A migration is never edited once released, and nothing is dropped to be made again. A bench
// never names itself: each row's bench is the role that logged in.
constexpr const char* kMigrations[] = {
    R"sql(
CREATE TABLE navkeypad.schema_version(version integer NOT NULL);
INSERT INTO navkeypad.schema_version VALUES (0);
CREATE TABLE navkeypad.records(
  id bigserial PRIMARY KEY,
  bench name NOT NULL DEFAULT session_user,
  serial text NOT NULL,
  port text NOT NULL,
  kept_at text NOT NULL,
  record text NOT NULL,
  claimed_pid bigint,
  claimed_computer text,
  claimed_at text);
CREATE INDEX records_by_bench ON navkeypad.records(bench, serial);
CREATE TABLE navkeypad.serials(
  serial text PRIMARY KEY,
  state text NOT NULL CHECK (state IN ('reserved', 'written', 'void')),
  time text NOT NULL,
  port text NOT NULL,
  computer text NOT NULL,
  "user" text NOT NULL,
  program text NOT NULL,
  bench name NOT NULL DEFAULT session_user,
  request text UNIQUE);
CREATE TABLE navkeypad.sequences(first text PRIMARY KEY, next text NOT NULL);
CREATE TABLE navkeypad.log(
  id text PRIMARY KEY,
  arrival bigserial NOT NULL,
  time text NOT NULL,
  bench name NOT NULL DEFAULT session_user,
  computer text NOT NULL,
  port text NOT NULL,
  serial text NOT NULL,
  line text NOT NULL);
CREATE INDEX log_by_time ON navkeypad.log(time, arrival);
CREATE INDEX log_by_port ON navkeypad.log(bench, computer, port, time, arrival);
CREATE TABLE navkeypad.log_serials(
  serial text NOT NULL,
  line text NOT NULL REFERENCES navkeypad.log(id),
  PRIMARY KEY (serial, line));
CREATE TABLE navkeypad.brought_over(
  bench name NOT NULL DEFAULT session_user,
  store text NOT NULL,
  time text NOT NULL,
  PRIMARY KEY (bench, store));
ALTER TABLE navkeypad.records ENABLE ROW LEVEL SECURITY;
CREATE POLICY seen ON navkeypad.records FOR SELECT USING (true);
CREATE POLICY added ON navkeypad.records FOR INSERT WITH CHECK (bench = session_user);
CREATE POLICY changed ON navkeypad.records FOR UPDATE USING (bench = session_user);
CREATE POLICY removed ON navkeypad.records FOR DELETE USING (bench = session_user);
ALTER TABLE navkeypad.serials ENABLE ROW LEVEL SECURITY;
CREATE POLICY seen ON navkeypad.serials FOR SELECT USING (true);
CREATE POLICY added ON navkeypad.serials FOR INSERT WITH CHECK (bench = session_user);
CREATE POLICY changed ON navkeypad.serials FOR UPDATE USING (bench = session_user);
-- A keypad failed at one bench and carried to another: its record moves there, on the user's
-- word, unless a program still running holds it.
CREATE FUNCTION navkeypad.take_over(wanted text, at_port text) RETURNS SETOF navkeypad.records
LANGUAGE plpgsql SECURITY DEFINER SET search_path = pg_catalog AS $$
DECLARE
  found navkeypad.records;
BEGIN
  IF wanted = '' OR NOT pg_has_role(session_user, 'navkeypad_bench', 'MEMBER') THEN
    RAISE EXCEPTION 'not a bench''s to take' USING ERRCODE = '42501';
  END IF;
  IF (SELECT count(*) FROM navkeypad.records WHERE serial = wanted AND bench <> session_user) > 1
  THEN
    RAISE EXCEPTION 'several benches keep settings of %', wanted USING ERRCODE = '21000';
  END IF;
  FOR found IN SELECT * FROM navkeypad.records WHERE serial = wanted AND bench <> session_user
               FOR UPDATE LOOP
    IF NOT pg_try_advisory_lock(found.id) THEN
      RAISE EXCEPTION 'held by program % on %', found.claimed_pid, found.claimed_computer
        USING ERRCODE = '55006';
    END IF;
    PERFORM pg_advisory_unlock(found.id);
    UPDATE navkeypad.records SET bench = session_user, port = at_port, claimed_pid = NULL,
      claimed_computer = NULL, claimed_at = NULL WHERE id = found.id RETURNING * INTO found;
    RETURN NEXT found;
  END LOOP;
END $$;
REVOKE ALL ON FUNCTION navkeypad.take_over(text, text) FROM PUBLIC;
)sql",
};
static_assert(std::size(kMigrations) == kSiteSchemaVersion);

// What a bench may do, given again by every `site init`: read everything; keep, change and
// remove its own records; reserve and settle its own numbers; move a sequence on; add to the
// log. Nothing else: no column that names a bench, no change to the log.
constexpr const char kBenchGrants[] = R"sql(
REVOKE ALL ON ALL TABLES IN SCHEMA navkeypad FROM navkeypad_bench;
GRANT USAGE ON SCHEMA navkeypad TO navkeypad_bench;
GRANT SELECT ON ALL TABLES IN SCHEMA navkeypad TO navkeypad_bench;
GRANT INSERT (serial, port, kept_at, record, claimed_pid, claimed_computer, claimed_at),
  UPDATE (record, claimed_pid, claimed_computer, claimed_at), DELETE
  ON navkeypad.records TO navkeypad_bench;
GRANT INSERT (serial, state, time, port, computer, "user", program, request), UPDATE (state)
  ON navkeypad.serials TO navkeypad_bench;
GRANT INSERT (first, next), UPDATE (next) ON navkeypad.sequences TO navkeypad_bench;
GRANT INSERT (id, time, computer, port, serial, line) ON navkeypad.log TO navkeypad_bench;
GRANT INSERT ON navkeypad.log_serials TO navkeypad_bench;
GRANT INSERT (store, time) ON navkeypad.brought_over TO navkeypad_bench;
GRANT USAGE ON SEQUENCE navkeypad.records_id_seq, navkeypad.log_arrival_seq TO navkeypad_bench;
GRANT EXECUTE ON FUNCTION navkeypad.take_over(text, text) TO navkeypad_bench;
)sql";

// Advisory locks of this program's: a claim on a record lives as long as the claiming
// program's connection, so a program that died holds nothing.
constexpr int kRecordsOfBench = 0x4E564B50;  // "NVKP", with the bench's hash: one writer a bench
constexpr int kSiteInit = 0x4E564B51;        // one `site init` at a time

std::string StateWord(LedgerEntry::State state) {
  return state == LedgerEntry::kWritten ? "written"
         : state == LedgerEntry::kVoid  ? "void"
                                        : "reserved";
}

std::string FirstLine(const char* text) {
  std::string line = text ? text : "";
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

// `texts` as one array parameter, each quoted as the server reads it.
std::string ArrayOf(const std::set<std::string>& texts) {
  std::string array = "{";
  for (const std::string& text : texts) {
    array += array.size() > 1 ? ",\"" : "\"";
    for (const char c : text)
      array += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
    array += '"';
  }
  return array + "}";
}

// A result, cleared when it goes.
class Result {
 public:
  explicit Result(PGresult* result = nullptr) : result_(result) {}
  Result(Result&& other) noexcept : result_(std::exchange(other.result_, nullptr)) {}
  Result& operator=(Result&& other) noexcept {
    std::swap(result_, other.result_);
    return *this;
  }
  ~Result() { PQclear(result_); }
  bool ok() const {
    const auto status = PQresultStatus(result_);
    return result_ != nullptr && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK);
  }
  int rows() const { return PQntuples(result_); }
  std::string text(int row, int column) const {
    return std::string(PQgetvalue(result_, row, column),
                       static_cast<std::size_t>(PQgetlength(result_, row, column)));
  }
  bool null(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
  std::string state() const {
    const char* code = PQresultErrorField(result_, PG_DIAG_SQLSTATE);
    return code ? code : "";
  }
  std::string message() const {
    return FirstLine(result_ ? PQresultErrorField(result_, PG_DIAG_MESSAGE_PRIMARY) : nullptr);
  }

 private:
  PGresult* result_;
};

// A connection to the site's server with the settings given, nothing taken from elsewhere but
// what libpq itself reads (~/.pgpass, the client certificate).
class Connection {
 public:
  Connection() = default;
  ~Connection() { PQfinish(conn_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // "" when connected, else libpq's words.
  std::string connect(const Site& site, int waitMs) {
    PQfinish(std::exchange(conn_, nullptr));
    std::vector<const char*> keywords, values;
    bool timeout = false;
    for (const auto& [keyword, value] : site.settings) {
      keywords.push_back(keyword.c_str());
      values.push_back(value.c_str());
      timeout = timeout || keyword == "connect_timeout";
    }
    // A server that does not answer is said within moments, never waited on for ever.
    const std::string seconds = std::to_string(std::max(2, waitMs / 1000));
    if (!timeout) keywords.push_back("connect_timeout"), values.push_back(seconds.c_str());
    keywords.push_back("application_name");
    const std::string name = support::ProgramName();
    values.push_back(name.c_str());
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    conn_ = PQconnectdbParams(keywords.data(), values.data(), 0);
    // The server's notices are its own chatter: what matters comes back as an error.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) return {};
    return conn_ ? FirstLine(PQerrorMessage(conn_)) : std::string("out of memory");
  }
  bool connected() const { return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK; }
  std::string lastWords() const { return FirstLine(conn_ ? PQerrorMessage(conn_) : nullptr); }

  Result exec(const char* sql, const std::vector<std::string>& parameters = {}) {
    std::vector<const char*> values;
    for (const std::string& value : parameters) values.push_back(value.c_str());
    return Result(PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(),
                               nullptr, nullptr, 0));
  }
  // Statements of the schema's own, several at once.
  Result run(const char* sql) { return Result(PQexec(conn_, sql)); }

 private:
  PGconn* conn_ = nullptr;
};

class PostgresStore final : public Store {
 public:
  PostgresStore(const Site& site, const StorePlace& outbox, int waitMs)
      : site_(site), outboxPlace_(outbox), waitMs_(waitMs) {}

  std::string where() const override { return site_.describe(); }
  std::string whereWords() const override {
    return "What the benches know (records of upgrades under way, the serial numbers given,\n"
           "the service log) is kept on " +
           site_.describe() + ", as " + site_.from + " says.";
  }
  std::vector<std::string> takeNotices() override {
    std::lock_guard lock(mutex_);
    return std::exchange(notices_, {});
  }

  // Away, what is done is still logged: its line waits in the bench's own store.
  StoreError writable() override {
    std::lock_guard lock(mutex_);
    StoreError error = ready();
    if (error.kind == StoreError::kAway && outbox()) return {};
    return error;
  }

  StoreError records(std::vector<PendingUpgrade>& out) override {
    std::lock_guard lock(mutex_);
    if (StoreError error = ready()) return error;
    std::vector<long long> ids;
    StoreError error = readRecords(out, ids, false);
    if (!error) known_ = out;
    return error;
  }

  StoreError changeRecords(const std::function<void(std::vector<PendingUpgrade>&)>& change,
                           std::vector<PendingUpgrade>* after) override {
    std::lock_guard lock(mutex_);
    StoreError error = changeOnServer(change, after);
    if (error.kind != StoreError::kAway || !known_) return error;
    // Away: records that only go (restored keypads') wait in the bench's own store; nothing is
    // added or changed that the server has not kept.
    std::vector<PendingUpgrade> changed = *known_;
    change(changed);
    if (changed.size() >= known_->size()) return error;
    for (const PendingUpgrade& record : changed) {
      if (std::find(known_->begin(), known_->end(), record) == known_->end()) return error;
    }
    for (const PendingUpgrade& record : *known_) {
      if (std::find(changed.begin(), changed.end(), record) != changed.end()) continue;
      const nlohmann::json removal = {
          {"serial", record.serial()}, {"port", record.port}, {"keptAt", record.keptAt}};
      Outbox* waiting = outbox();
      if (waiting == nullptr) return error;
      if (StoreError kept = waiting->put("removal", removal.dump())) return error;
    }
    known_ = changed;
    if (after) *after = std::move(changed);
    return {StoreError::kQueued, error.message.substr(0, error.message.find(';')) +
                                     "; the removal waits in this bench's store " +
                                     outboxPlace_.file + " and is sent when the server is back"};
  }

  StoreError changeOnServer(const std::function<void(std::vector<PendingUpgrade>&)>& change,
                            std::vector<PendingUpgrade>* after) {
    if (StoreError error = ready()) return error;
    Transaction write(*this, "keep the records");
    if (write.error) return write.error;
    std::vector<PendingUpgrade> kept;
    std::vector<long long> ids;
    if (StoreError error = readRecords(kept, ids, true)) return error;
    std::vector<PendingUpgrade> changed = kept;
    change(changed);
    std::vector<bool> stays(kept.size(), false);
    for (const PendingUpgrade& record : changed) {
      std::size_t row = 0;
      while (row < kept.size() && (stays[row] || !kept[row].sameKeep(record))) ++row;
      Result done;
      if (row < kept.size()) {
        stays[row] = true;
        done = db_.exec("UPDATE navkeypad.records SET record = $1 WHERE id = $2",
                        {RecordText(record), std::to_string(ids[row])});
      } else {
        done = db_.exec(
            "INSERT INTO navkeypad.records(serial, port, kept_at, record) VALUES ($1, $2, $3, $4)",
            {record.serial(), record.port, record.keptAt, RecordText(record)});
      }
      if (!done.ok()) return failure(done, "keep the records");
    }
    std::vector<long long> gone;
    for (std::size_t row = 0; row < kept.size(); ++row) {
      if (stays[row]) continue;
      const Result done =
          db_.exec("DELETE FROM navkeypad.records WHERE id = $1", {std::to_string(ids[row])});
      if (!done.ok()) return failure(done, "remove a record");
      gone.push_back(ids[row]);
    }
    if (StoreError error = write.commit()) return error;
    for (const long long id : gone) letGo(id);
    known_ = changed;
    if (after) *after = std::move(changed);
    return {};
  }

  StoreError claimRecord(const PendingUpgrade& record) override {
    std::lock_guard lock(mutex_);
    if (StoreError error = ready()) return error;
    Transaction write(*this, "claim a record");
    if (write.error) return write.error;
    const Result found = db_.exec(
        "SELECT id, claimed_pid, claimed_computer, claimed_at FROM navkeypad.records "
        "WHERE bench = session_user AND serial = $1 AND port = $2 AND kept_at = $3 FOR UPDATE",
        {record.serial(), record.port, record.keptAt});
    if (!found.ok()) return failure(found, "claim a record");
    if (found.rows() == 0) return {};  // not kept (any more): nothing to hold
    const long long id = std::stoll(found.text(0, 0));
    if (claimed_.count(id) == 0) {
      // Held by a program whose connection is open: it is restoring the keypad now.
      const Result held = db_.exec("SELECT pg_try_advisory_lock($1::bigint)", {std::to_string(id)});
      if (!held.ok()) return failure(held, "claim a record");
      if (held.text(0, 0) != "t") {
        return {StoreError::kBusy, "the record of " +
                                       (record.serial().empty() ? "a keypad without a serial number"
                                                                : "keypad " + record.serial()) +
                                       " is being restored by program " + found.text(0, 1) +
                                       " on " + found.text(0, 2) + " (since " + found.text(0, 3) +
                                       "); let it finish, or end it and try again"};
      }
      claimed_.insert(id);
    }
    const Result claim = db_.exec(
        "UPDATE navkeypad.records SET claimed_pid = $1, claimed_computer = $2, claimed_at = $3 "
        "WHERE id = $4",
        {std::to_string(support::ThisProgramId()), support::ComputerName(), support::UtcTimeText(),
         std::to_string(id)});
    if (!claim.ok()) return failure(claim, "claim a record");
    return write.commit();
  }

  StoreError releaseRecord(const PendingUpgrade& record) override {
    std::lock_guard lock(mutex_);
    if (StoreError error = ready()) return error;
    const Result found = db_.exec(
        "UPDATE navkeypad.records SET claimed_pid = NULL, claimed_computer = NULL, "
        "claimed_at = NULL WHERE bench = session_user AND serial = $1 AND port = $2 AND "
        "kept_at = $3 AND claimed_pid = $4 AND claimed_computer = $5 RETURNING id",
        {record.serial(), record.port, record.keptAt, std::to_string(support::ThisProgramId()),
         support::ComputerName()});
    if (!found.ok()) return failure(found, "let go of a record");
    for (int row = 0; row < found.rows(); ++row) letGo(std::stoll(found.text(row, 0)));
    return {};
  }

  StoreError takeOver(const std::string& serial, const std::string& port,
                      std::vector<PendingUpgrade>& taken) override {
    std::lock_guard lock(mutex_);
    taken.clear();
    if (StoreError error = ready()) return error;
    Transaction write(*this, "take a record to this bench");
    if (write.error) return write.error;
    const Result moved =
        db_.exec("SELECT bench, record FROM navkeypad.take_over($1, $2)", {serial, port});
    if (!moved.ok()) {
      const std::string state = moved.state();
      if (state == "21000" || state == "55006")
        return {state == "21000" ? StoreError::kTaken : StoreError::kBusy,
                "the settings of keypad " + serial + " on " + site_.describe() +
                    " cannot be taken to this bench: " + moved.message()};
      return failure(moved, "take the record of keypad " + serial + " to this bench");
    }
    for (int row = 0; row < moved.rows(); ++row) {
      if (StoreError error = readRecord(moved.text(row, 1), moved.text(row, 0), taken))
        return error;
      taken.back().port = port;
      // The record names its port too: it is kept where the keypad is now.
      const Result kept = db_.exec(
          "UPDATE navkeypad.records SET record = $1 WHERE bench = session_user AND serial = $2 "
          "AND port = $3",
          {RecordText(taken.back()), serial, port});
      if (!kept.ok()) return failure(kept, "keep the record of keypad " + serial);
    }
    return write.commit();
  }

  StoreError recordsElsewhere(const std::string& serial,
                              std::vector<PendingUpgrade>& out) override {
    std::lock_guard lock(mutex_);
    out.clear();
    if (StoreError error = ready()) return error;
    const Result found = db_.exec(
        "SELECT bench, port, record FROM navkeypad.records WHERE serial <> '' "
        "AND ($1 = '' OR serial = $1) AND bench <> session_user ORDER BY id",
        {serial});
    if (!found.ok()) return failure(found, "read the records of the site's other benches");
    for (int row = 0; row < found.rows(); ++row) {
      if (StoreError error = readRecord(found.text(row, 2), found.text(row, 0), out)) return error;
      out.back().port = found.text(row, 0) + ", port " + found.text(row, 1);
    }
    return {};
  }

  StoreError reserveNext(const std::string& first,
                         const std::function<bool(const std::string&)>& seen,
                         const SerialHolder& holder, std::string& serial) override {
    std::lock_guard lock(mutex_);
    return reserving(serial, [&](const std::string& request, std::string& given) {
      Transaction write(*this, "reserve a serial number");
      if (write.error) return write.error;
      // The sequence's row is locked: the benches take its numbers one after another.
      Result done = db_.exec(
          "INSERT INTO navkeypad.sequences(first, next) VALUES ($1, $1) ON CONFLICT DO NOTHING",
          {first});
      if (!done.ok()) return failure(done, "read the serial numbers' sequence");
      done = db_.exec("SELECT next FROM navkeypad.sequences WHERE first = $1 FOR UPDATE", {first});
      if (!done.ok()) return failure(done, "read the serial numbers' sequence");
      std::string candidate = LaterInSequence(first, done.text(0, 0));
      for (; !candidate.empty(); candidate = NextInSequence(candidate)) {
        if (seen(candidate)) continue;
        const Result inserted = insertSerial(candidate, holder, request);
        if (!inserted.ok()) return failure(inserted, "reserve a serial number");
        if (inserted.rows() == 1) break;  // given before: the ledger's key says so
      }
      if (candidate.empty())
        return StoreError{StoreError::kTaken, "the serial numbers from " + first + " have run out"};
      done = db_.exec("UPDATE navkeypad.sequences SET next = $2 WHERE first = $1",
                      {first, NextInSequence(candidate)});
      if (!done.ok()) return failure(done, "keep the serial numbers' sequence");
      if (StoreError error = write.commit()) return error;
      given = candidate;
      return StoreError{};
    });
  }

  StoreError sequenceNext(const std::string& first, std::string& next) override {
    std::lock_guard lock(mutex_);
    if (StoreError error = ready()) return error;
    const Result read = db_.exec("SELECT next FROM navkeypad.sequences WHERE first = $1", {first});
    if (!read.ok()) return failure(read, "read the serial numbers' sequence");
    next = read.rows() == 1 ? LaterInSequence(first, read.text(0, 0)) : first;
    return {};
  }

  StoreError reserve(const std::string& serial, const SerialHolder& holder) override {
    std::lock_guard lock(mutex_);
    std::string given;
    return reserving(given, [&](const std::string& request, std::string& reserved) {
      const Result inserted = insertSerial(serial, holder, request);
      if (!inserted.ok()) return failure(inserted, "reserve a serial number");
      if (inserted.rows() == 0) {
        std::optional<LedgerEntry> entry;
        if (StoreError error = readLedger(serial, entry)) return error;
        return StoreError{StoreError::kTaken,
                          (entry ? entry->describe() : serial + " is in the ledger") +
                              ", and a serial number is given once"};
      }
      reserved = serial;
      return StoreError{};
    });
  }

  StoreError settle(const std::string& serial, LedgerEntry::State state) override {
    std::lock_guard lock(mutex_);
    if (StoreError error = ready()) return error;
    const Result done =
        db_.exec("UPDATE navkeypad.serials SET state = $1 WHERE serial = $2 AND state = 'reserved'",
                 {StateWord(state), serial});
    if (!done.ok()) return failure(done, "mark a serial number " + StateWord(state));
    return {};
  }

  StoreError ledgerEntry(const std::string& serial, std::optional<LedgerEntry>& out) override {
    std::lock_guard lock(mutex_);
    if (StoreError error = ready()) return error;
    return readLedger(serial, out);
  }

  StoreError lines(const LogQuery& query, LogLines& out) override {
    std::lock_guard lock(mutex_);
    if (StoreError error = ready()) return error;
    out = {};
    const std::string since = query.since.value_or("");
    const std::string until = query.until ? *query.until + "~" : "~~";  // all of a day or minute
    Result shown;
    if (query.serial) {
      std::set<std::string> picked;  // by id
      if (StoreError error = linesOfKeypad(*query.serial, picked)) return error;
      shown = db_.exec(
          "SELECT line, bench FROM navkeypad.log WHERE id = ANY($1::text[]) "
          "AND time >= $2 AND time < $3 ORDER BY time, arrival",
          {ArrayOf(picked), since, until});
    } else {
      shown = db_.exec(
          "SELECT line, bench FROM navkeypad.log WHERE time >= $1 AND time < $2 "
          "ORDER BY time, arrival",
          {since, until});
    }
    if (!shown.ok()) return failure(shown, "read the service log");
    for (int row = 0; row < shown.rows(); ++row) {
      auto entry = nlohmann::ordered_json::parse(shown.text(row, 0), nullptr, false);
      if (!IsShownLine(entry)) {
        ++out.unreadable;
        continue;
      }
      entry["bench"] = shown.text(row, 1);
      out.entries.push_back(std::move(entry));
    }
    return {};
  }

  StoreError appendLine(const Line& line) override {
    std::lock_guard lock(mutex_);
    const StoreError error = appendOnServer(line);
    if (error.kind != StoreError::kAway) return error;
    // Away (or its answer lost): the line waits, and is kept once however often it is sent.
    Outbox* waiting = outbox();
    if (waiting == nullptr ||
        waiting->put("line", nlohmann::json{{"id", line.id}, {"text", line.text}}.dump()))
      return error;
    notices_.push_back(error.message.substr(0, error.message.find(';')) +
                       "; the service log's line waits in this bench's store " + outboxPlace_.file +
                       " and is sent when the server is back");
    return {};
  }

  StoreError appendOnServer(const Line& line) {
    if (StoreError error = ready()) return error;
    Transaction write(*this, "append to the service log");
    if (write.error) return write.error;
    bool added = false;
    if (StoreError error = insertLine(line, added)) return error;
    return write.commit();
  }

  // A bench's own store taken over in one transaction: its sequences go on from the later of
  // where they stand here and there; its numbers, records and lines come in each once.
  StoreError bringOver(const StoreContents& contents, const std::string& from,
                       std::vector<std::string>& said) {
    std::lock_guard lock(mutex_);
    if (StoreError error = ready()) return error;
    Transaction write(*this, "bring the bench's store over");
    if (write.error) return write.error;
    const std::string doing = "bring the bench's store over";
    int sequences = 0, numbers = 0, records = 0, lines = 0;
    std::vector<std::string> givenElsewhere;
    for (const auto& [first, next] : contents.sequences) {
      Result done = db_.exec(
          "INSERT INTO navkeypad.sequences(first, next) VALUES ($1, $2) ON CONFLICT DO NOTHING "
          "RETURNING first",
          {first, next});
      if (!done.ok()) return failure(done, doing);
      if (done.rows() == 1) {
        ++sequences;
        continue;
      }
      done = db_.exec("SELECT next FROM navkeypad.sequences WHERE first = $1 FOR UPDATE", {first});
      if (!done.ok()) return failure(done, doing);
      const std::string later = LaterInSequence(next, done.text(0, 0));
      if (later == done.text(0, 0)) continue;
      done = db_.exec("UPDATE navkeypad.sequences SET next = $2 WHERE first = $1", {first, later});
      if (!done.ok()) return failure(done, doing);
      ++sequences;
    }
    for (const LedgerEntry& entry : contents.ledger) {
      const Result done = db_.exec(
          "INSERT INTO navkeypad.serials(serial, state, time, port, computer, \"user\", program) "
          "VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT DO NOTHING RETURNING serial",
          {entry.serial, StateWord(entry.state), entry.time, entry.port, entry.computer, entry.user,
           entry.program});
      if (!done.ok()) return failure(done, doing);
      if (done.rows() == 1) {
        ++numbers;
        continue;
      }
      const Result whose = db_.exec(
          "SELECT bench = session_user AND computer = $2 FROM navkeypad.serials "
          "WHERE serial = $1",
          {entry.serial, entry.computer});
      if (!whose.ok()) return failure(whose, doing);
      if (whose.rows() == 1 && whose.text(0, 0) != "t") givenElsewhere.push_back(entry.serial);
    }
    std::vector<PendingUpgrade> kept;
    std::vector<long long> ids;
    if (StoreError error = readRecords(kept, ids, true)) return error;
    for (const PendingUpgrade& record : contents.records) {
      if (std::any_of(kept.begin(), kept.end(),
                      [&](const PendingUpgrade& other) { return other.sameKeep(record); }))
        continue;
      const Result done = db_.exec(
          "INSERT INTO navkeypad.records(serial, port, kept_at, record) VALUES ($1, $2, $3, $4)",
          {record.serial(), record.port, record.keptAt, RecordText(record)});
      if (!done.ok()) return failure(done, doing);
      kept.push_back(record);
      ++records;
    }
    for (const Line& line : contents.lines) {
      bool added = false;
      if (StoreError error = insertLine(line, added)) return error;
      lines += added ? 1 : 0;
    }
    const Result noted = db_.exec(
        "INSERT INTO navkeypad.brought_over(store, time) VALUES ($1, $2) ON CONFLICT DO NOTHING",
        {support::ComputerName() + ":" + from, support::UtcTimeText()});
    if (!noted.ok()) return failure(noted, doing);
    if (StoreError error = write.commit()) return error;
    said.push_back(from + " was brought over to " + site_.describe() + ": " +
                   std::to_string(records) + " record(s), " + std::to_string(numbers) +
                   " serial number(s), " + std::to_string(lines) + " log line(s) and " +
                   std::to_string(sequences) + " sequence(s) came in; what was there already " +
                   "was left as it was");
    if (!givenElsewhere.empty()) {
      std::string listed;
      for (std::size_t i = 0; i < givenElsewhere.size() && i < 10; ++i)
        listed += (i ? ", " : "") + givenElsewhere[i];
      if (givenElsewhere.size() > 10) listed += " ...";
      said.push_back(std::to_string(givenElsewhere.size()) +
                     " serial number(s) of this bench were given elsewhere on the site too (" +
                     listed + "): two keypads may carry each; look them up with 'log --serial'");
    }
    return {};
  }

 private:
  struct Transaction {
    Transaction(PostgresStore& store, const std::string& doing) : store(store) {
      const Result begun = store.db_.exec("BEGIN");
      if (!begun.ok()) error = store.failure(begun, doing);
    }
    ~Transaction() {
      if (!error && !committed && store.db_.connected()) store.db_.exec("ROLLBACK");
    }
    StoreError commit() {
      const Result done = store.db_.exec("COMMIT");
      if (!done.ok()) return store.failure(done, "keep a change");
      committed = true;
      return {};
    }
    PostgresStore& store;
    StoreError error;
    bool committed = false;
  };

  // Connected, to a site whose schema this program knows, as a bench: or why not.
  StoreError ready() {
    if (!site_.problem.empty()) return {StoreError::kUnsafe, site_.problem};
    if (db_.connected() && checked_) return {};
    checked_ = false;
    claimed_.clear();  // a connection that went took its claims with it
    if (const std::string why = db_.connect(site_, waitMs_); !why.empty()) return away(why);
    const Result role = db_.exec(
        "SELECT r.rolsuper, COALESCE(pg_has_role(session_user, n.nspowner, 'USAGE'), false), "
        "  COALESCE(pg_has_role(session_user, b.oid, 'USAGE'), false), n.oid IS NOT NULL "
        "FROM pg_roles r LEFT JOIN pg_namespace n ON n.nspname = 'navkeypad' "
        "  LEFT JOIN pg_roles b ON b.rolname = $1 "
        "WHERE r.rolname = session_user",
        {kBenchRole});
    if (!role.ok() || role.rows() != 1) return failure(role, "find out who this bench is");
    if (role.text(0, 0) == "t" || role.text(0, 1) == "t") {
      return {StoreError::kUnsafe,
              "the role this bench logs in as on " + site_.describe() + " is " +
                  std::string(role.text(0, 0) == "t" ? "a superuser" : "the site schema's owner") +
                  ", which could change what no bench may; log in as a role of the group " +
                  kBenchRole + " (CREATE ROLE BENCH LOGIN IN ROLE " + kBenchRole + ")"};
    }
    if (role.text(0, 3) != "t") {
      return {StoreError::kUnreadable, site_.describe() +
                                           " has no schema navkeypad; its owner makes it with '" +
                                           support::ProgramName() + " site init'"};
    }
    if (role.text(0, 2) != "t") {
      return {StoreError::kNoAccess,
              "this bench's role on " + site_.describe() + " is not in the group " + kBenchRole +
                  "; ask the site's administrator to GRANT " + kBenchRole + " TO it"};
    }
    const Result version = db_.exec("SELECT version FROM navkeypad.schema_version");
    if (!version.ok() || version.rows() != 1) return failure(version, "read the schema's version");
    const int found = std::stoi(version.text(0, 0));
    if (found > kSiteSchemaVersion) {
      return {StoreError::kUnknownVersion,
              site_.describe() + " was set up by a later version of this program (its schema " +
                  std::to_string(found) + ", this program's " + std::to_string(kSiteSchemaVersion) +
                  "); nothing is read from or written to it. Install that version here"};
    }
    if (found < kSiteSchemaVersion) {
      return {StoreError::kUnknownVersion,
              site_.describe() + " has an earlier schema (" + std::to_string(found) +
                  ") than this program's (" + std::to_string(kSiteSchemaVersion) +
                  "); its owner brings it forward with '" + support::ProgramName() + " site init'"};
    }
    const Result wait =
        db_.exec("SELECT set_config('lock_timeout', $1, false)", {std::to_string(waitMs_) + "ms"});
    if (!wait.ok()) return failure(wait, "connect");
    checked_ = true;
    return sendWaiting();
  }

  // The bench's own store, where what could not reach the server waits; nullptr where it cannot
  // be kept there either.
  Outbox* outbox() {
    if (!outbox_ && !outboxPlace_.file.empty()) outbox_ = OpenOutbox(outboxPlace_);
    return outbox_.get();
  }

  // What waited is sent first, in order, each item once the server has kept it.
  StoreError sendWaiting() {
    std::error_code missing;
    if (outboxPlace_.file.empty() ||
        !std::filesystem::exists(support::PathFromUtf8(outboxPlace_.file), missing))
      return {};
    std::vector<OutboxItem> items;
    if (StoreError error = outbox()->items(items)) return error;
    int lines = 0, removals = 0;
    for (const OutboxItem& item : items) {
      const auto body = nlohmann::json::parse(item.body, nullptr, false);
      if (!body.is_object())
        return {StoreError::kUnreadable,
                "what waits for the site's server in " + outboxPlace_.file + " cannot be read"};
      if (item.kind == "line") {
        Line line = LineOf(body.value("text", ""));
        line.id = body.value("id", "");
        if (StoreError error = appendOnServer(line)) return error;
        ++lines;
      } else {
        const Result done = db_.exec(
            "DELETE FROM navkeypad.records WHERE bench = session_user AND serial = $1 AND "
            "port = $2 AND kept_at = $3",
            {body.value("serial", ""), body.value("port", ""), body.value("keptAt", "")});
        if (!done.ok()) return failure(done, "remove a record that waited");
        ++removals;
      }
      if (StoreError error = outbox_->sent(item.id)) return error;
    }
    if (lines + removals > 0) {
      notices_.push_back(
          std::to_string(lines) + " line(s) of the service log and " + std::to_string(removals) +
          " record removal(s) that waited in this bench's store were sent to " + site_.describe());
    }
    return {};
  }

  StoreError away(const std::string& why) const {
    return {StoreError::kAway, site_.describe() + " cannot be reached (" + why +
                                   "); nothing was changed there. See that the server runs and "
                                   "this computer reaches it, then try again"};
  }

  // What went wrong, in words that say what to do.
  StoreError failure(const Result& result, const std::string& doing) {
    if (!db_.connected()) {
      checked_ = false;
      return away(db_.lastWords());
    }
    const std::string state = result.state();
    const std::string said = result.message().empty() ? db_.lastWords() : result.message();
    if (state == "42501")
      return {StoreError::kNoAccess, "this bench may not " + doing + " on " + site_.describe() +
                                         " (" + said + "); ask the site's administrator to run '" +
                                         support::ProgramName() + " site init' again"};
    if (state == "55P03" || state == "57014" || state == "40001" || state == "40P01") {
      return {StoreError::kBusy, "another program held " + site_.describe() + " for more than " +
                                     std::to_string(waitMs_ / 1000) +
                                     " s, so this program could not " + doing +
                                     "; try again when it has finished"};
    }
    return {StoreError::kUnreadable, site_.describe() + " could not be used to " + doing + " (" +
                                         said + "); nothing of it was taken for empty"};
  }

  // A reservation whose answer was lost with the connection may have been kept: its request id
  // finds it, so that a retry gives the same number rather than a second one.
  StoreError reserving(std::string& serial,
                       const std::function<StoreError(const std::string&, std::string&)>& once) {
    const std::string request = NewId();
    StoreError error;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if ((error = ready())) return error;
      if (!(error = once(request, serial))) return {};
      if (error.kind != StoreError::kAway) return error;
      if (ready()) return error;
      const Result kept =
          db_.exec("SELECT serial FROM navkeypad.serials WHERE request = $1", {request});
      if (!kept.ok()) return failure(kept, "look for a reservation");
      if (kept.rows() == 1) {
        serial = kept.text(0, 0);
        return {};
      }
    }
    return error;
  }

  Result insertSerial(const std::string& serial, const SerialHolder& holder,
                      const std::string& request) {
    return db_.exec(
        "INSERT INTO navkeypad.serials(serial, state, time, port, computer, \"user\", program, "
        "request) VALUES ($1, 'reserved', $2, $3, $4, $5, $6, $7) ON CONFLICT DO NOTHING "
        "RETURNING serial",
        {serial, support::UtcTimeText(), holder.port, support::ComputerName(), support::UserName(),
         holder.program, request});
  }

  StoreError readLedger(const std::string& serial, std::optional<LedgerEntry>& out) {
    out.reset();
    const Result found = db_.exec(
        "SELECT state, time, port, computer, \"user\", program FROM navkeypad.serials "
        "WHERE serial = $1",
        {serial});
    if (!found.ok()) return failure(found, "read the ledger of serial numbers");
    if (found.rows() == 0) return {};
    const std::string state = found.text(0, 0);
    out = LedgerEntry{state == "written" ? LedgerEntry::kWritten
                      : state == "void"  ? LedgerEntry::kVoid
                                         : LedgerEntry::kReserved,
                      serial,
                      found.text(0, 1),
                      found.text(0, 2),
                      found.text(0, 3),
                      found.text(0, 4),
                      found.text(0, 5)};
    return {};
  }

  StoreError readRecords(std::vector<PendingUpgrade>& out, std::vector<long long>& ids,
                         bool forChange) {
    out.clear();
    ids.clear();
    if (forChange) {
      const Result held = db_.exec("SELECT pg_advisory_xact_lock($1, hashtext(session_user))",
                                   {std::to_string(kRecordsOfBench)});
      if (!held.ok()) return failure(held, "keep the records");
    }
    const Result all = db_.exec(
        forChange
            ? "SELECT id, record FROM navkeypad.records WHERE bench = session_user ORDER BY id "
              "FOR UPDATE"
            : "SELECT id, record FROM navkeypad.records WHERE bench = session_user ORDER BY id");
    if (!all.ok()) return failure(all, "read the records of upgrades");
    for (int row = 0; row < all.rows(); ++row) {
      if (StoreError error = readRecord(all.text(row, 1), "this bench", out)) return error;
      ids.push_back(std::stoll(all.text(row, 0)));
    }
    return {};
  }

  // A line, and every number it names entered in the ledger (a number the log shows on a keypad
  // is never given to another); one whose id is kept already is left as it is.
  StoreError insertLine(const Line& line, bool& added) {
    const Result inserted = db_.exec(
        "INSERT INTO navkeypad.log(id, time, computer, port, serial, line) "
        "VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (id) DO NOTHING RETURNING id",
        {line.id, line.time, line.computer, line.port,
         line.serials.empty() ? std::string() : line.serials.front(), line.text});
    if (!inserted.ok()) return failure(inserted, "append to the service log");
    added = inserted.rows() == 1;
    if (!added) return {};
    for (const std::string& serial : line.serials) {
      Result done = db_.exec(
          "INSERT INTO navkeypad.log_serials(serial, line) VALUES ($1, $2) "
          "ON CONFLICT DO NOTHING",
          {serial, line.id});
      if (!done.ok()) return failure(done, "append to the service log");
      done = db_.exec(
          "INSERT INTO navkeypad.serials(serial, state, time, port, computer, \"user\", program) "
          "VALUES ($1, 'written', $2, $3, $4, $5, $6) ON CONFLICT DO NOTHING",
          {serial, line.time, line.port, line.computer, line.user, line.program});
      if (!done.ok()) return failure(done, "append to the service log");
    }
    return {};
  }

  // A record as its row keeps it, added to `out`; or why it cannot be read.
  StoreError readRecord(const std::string& text, const std::string& bench,
                        std::vector<PendingUpgrade>& out) const {
    try {
      out.push_back(RecordFromJson(nlohmann::json::parse(text)));
      return {};
    } catch (const std::exception& problem) {
      return {StoreError::kUnreadable, "a record of an upgrade kept at " + bench + " on " +
                                           site_.describe() + " cannot be read (" + problem.what() +
                                           "); nothing is taken for empty"};
    }
  }

  void letGo(long long id) {
    if (claimed_.erase(id) == 0) return;
    db_.exec("SELECT pg_advisory_unlock($1::bigint)", {std::to_string(id)});
  }

  // As the embedded store: the lines that name `serial`, and before a keypad's first number the
  // lines of a keypad without one at its bench's port, each within an hour of the next.
  StoreError linesOfKeypad(const std::string& serial, std::set<std::string>& picked) {
    constexpr long long kLinkedWithin = 3600;
    const Result naming = db_.exec(
        "SELECT log.time, log.arrival, log.bench, log.computer, log.port, log.line, log.id "
        "FROM navkeypad.log_serials s JOIN navkeypad.log ON log.id = s.line WHERE s.serial = $1",
        {serial});
    if (!naming.ok()) return failure(naming, "read the service log");
    for (int row = 0; row < naming.rows(); ++row) {
      picked.insert(naming.text(row, 6));
      const auto entry = nlohmann::json::parse(naming.text(row, 5), nullptr, false);
      if (!entry.is_object() || !entry.contains("serialNumberBefore") ||
          entry["serialNumberBefore"] != "" || naming.text(row, 4).empty())
        continue;
      // Read back a page at a time: the chain mostly ends at the line before, while the port's
      // lines may go back years.
      std::string time = naming.text(row, 0), arrival = naming.text(row, 1);
      long long later = LogSeconds(time);
      constexpr int kPage = 32;
      for (bool chained = true; chained;) {
        const Result before = db_.exec(
            "SELECT time, arrival, serial, id FROM navkeypad.log WHERE bench = $1 AND computer = "
            "$2 "
            "AND port = $3 AND (time < $4 OR (time = $4 AND arrival < $5)) "
            "ORDER BY time DESC, arrival DESC LIMIT $6",
            {naming.text(row, 2), naming.text(row, 3), naming.text(row, 4), time, arrival,
             std::to_string(kPage)});
        if (!before.ok()) return failure(before, "read the service log");
        for (int earlier = 0; chained && earlier < before.rows(); ++earlier) {
          const long long seconds = LogSeconds(before.text(earlier, 0));
          chained = before.text(earlier, 2).empty() && seconds >= 0 && later >= 0 &&
                    later - seconds <= kLinkedWithin;
          if (!chained) break;
          picked.insert(before.text(earlier, 3));
          later = seconds;
          time = before.text(earlier, 0);
          arrival = before.text(earlier, 1);
        }
        chained = chained && before.rows() == kPage;
      }
    }
    return {};
  }

  Site site_;
  StorePlace outboxPlace_;
  int waitMs_;
  Connection db_;
  std::unique_ptr<Outbox> outbox_;
  std::vector<std::string> notices_;
  // The bench's records as last read or kept, for a removal made while the server is away.
  std::optional<std::vector<PendingUpgrade>> known_;
  bool checked_ = false;
  std::set<long long> claimed_;  // records this program holds, by their ids
  std::recursive_mutex mutex_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const Site& site, const StorePlace& outbox, int waitMs) {
  return std::make_unique<PostgresStore>(site, outbox, waitMs);
}

StoreError BringOverToSite(const StoreContents& contents, const std::string& from, const Site& site,
                           std::vector<std::string>& said) {
  return PostgresStore(site, {}, kStoreWaitMs).bringOver(contents, from, said);
}

StoreError InitSite(const Site& site, std::vector<std::string>& said) {
  if (!site.problem.empty()) return {StoreError::kUnsafe, site.problem};
  Connection db;
  if (const std::string why = db.connect(site, 10000); !why.empty())
    return {StoreError::kAway, site.describe() + " cannot be reached (" + why + ")"};
  const auto failed = [&](const Result& result, const std::string& doing) {
    return StoreError{result.state() == "42501" ? StoreError::kNoAccess : StoreError::kUnreadable,
                      "the site's schema could not be " + doing + " on " + site.describe() + " (" +
                          result.message() + "); nothing of that step was kept"};
  };
  // The schema belongs to whoever made it; only that role (or one that is a member of it)
  // brings it forward, and a bench never does.
  Result who = db.exec(
      "SELECT pg_get_userbyid(n.nspowner), pg_has_role(session_user, n.nspowner, 'USAGE'), "
      "  (SELECT pg_has_role(session_user, oid, 'MEMBER') FROM pg_roles WHERE rolname = $1), "
      "  (SELECT rolsuper FROM pg_roles WHERE rolname = session_user) "
      "FROM (SELECT 1) one LEFT JOIN pg_namespace n ON n.nspname = 'navkeypad'",
      {kBenchRole});
  if (!who.ok()) return failed(who, "looked at");
  if (who.text(0, 2) == "t" && who.text(0, 3) != "t")
    return {StoreError::kNoAccess,
            "a bench's role does not set up the site; run 'site init' as "
            "the role that owns (or is to own) the schema navkeypad"};
  if (!who.null(0, 0) && who.text(0, 1) != "t")
    return {StoreError::kNoAccess, "the schema navkeypad on " + site.describe() + " belongs to " +
                                       who.text(0, 0) + "; run 'site init' as that role"};
  Result done = db.exec("BEGIN");
  done = db.exec("CREATE SCHEMA IF NOT EXISTS navkeypad");
  if (!done.ok()) return failed(done, "made");
  done = db.exec("COMMIT");
  if (!done.ok()) return failed(done, "made");
  // Another `site init` at the same moment waits for this one.
  int version = 0;
  for (;;) {
    if (!(done = db.exec("BEGIN")).ok()) return failed(done, "brought forward");
    if (!(done = db.exec("SELECT pg_advisory_xact_lock($1, 0)", {std::to_string(kSiteInit)})).ok())
      return failed(done, "brought forward");
    done = db.exec(
        "SELECT CASE WHEN to_regclass('navkeypad.schema_version') IS NULL THEN 0 ELSE -1 END");
    if (!done.ok()) return failed(done, "read");
    version = std::stoi(done.text(0, 0));
    if (version < 0) {
      done = db.exec("SELECT version FROM navkeypad.schema_version");
      if (!done.ok() || done.rows() != 1) return failed(done, "read");
      version = std::stoi(done.text(0, 0));
    }
    if (version > kSiteSchemaVersion) {
      db.exec("ROLLBACK");
      return {StoreError::kUnknownVersion,
              site.describe() + " was set up by a later version of this program (its schema " +
                  std::to_string(version) + ", this program's " +
                  std::to_string(kSiteSchemaVersion) + "); nothing was changed"};
    }
    if (version == kSiteSchemaVersion) {
      db.exec("ROLLBACK");
      break;
    }
    if (!(done = db.run(kMigrations[version])).ok())
      return failed(done, "brought to version " + std::to_string(version + 1));
    if (!(done = db.exec("UPDATE navkeypad.schema_version SET version = $1",
                         {std::to_string(version + 1)}))
             .ok())
      return failed(done, "brought forward");
    if (!(done = db.exec("COMMIT")).ok()) return failed(done, "brought forward");
    said.push_back("the site's schema was brought to version " + std::to_string(version + 1));
  }
  // The benches' group (the cluster's, so another site's init may make it at the same moment),
  // and what it may do, given anew each time.
  const auto groupExists = [&] {
    return db.exec("SELECT 1 FROM pg_roles WHERE rolname = $1", {kBenchRole}).rows() == 1;
  };
  if (!groupExists()) {
    done = db.exec((std::string("CREATE ROLE ") + kBenchRole + " NOLOGIN").c_str());
    if (done.ok()) {
      said.push_back(std::string("the group role ") + kBenchRole + " was made");
    } else if (!groupExists()) {
      return {StoreError::kNoAccess,
              "the group of the benches could not be made (" + done.message() +
                  "); give this role CREATEROLE, or have an administrator run 'CREATE ROLE " +
                  kBenchRole + " NOLOGIN', then run 'site init' again"};
    }
  }
  if (!(done = db.exec("BEGIN")).ok()) return failed(done, "given its grants");
  if (!(done = db.run(kBenchGrants)).ok()) return failed(done, "given its grants");
  if (!(done = db.exec("COMMIT")).ok()) return failed(done, "given its grants");
  said.push_back("the site's schema is at version " + std::to_string(kSiteSchemaVersion) +
                 ", and the group " + kBenchRole +
                 " has a bench's grants; make a bench with 'CREATE ROLE NAME LOGIN IN ROLE " +
                 kBenchRole + "'");
  return {};
}

}  // namespace navkeypad::store
