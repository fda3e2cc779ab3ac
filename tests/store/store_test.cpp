// What a bench knows, kept by its store: the cases every implementation of the store passes
// (numbers given once across programs, records kept whole, the log found by every number a
// keypad had), then what is particular to a bench's own SQLite file (what may stand at its
// place, how long it waits, files of earlier versions brought over once).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "site_server.h"
#include "store/sqlite_store.h"
#include "temp_dir.h"
#include "test_store.h"

#ifndef _WIN32
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace navkeypad::store;
using ::testing::HasSubstr;

namespace {

#ifndef _WIN32
// What each of `programs` processes did, each on a store of its own: one line a result.
std::vector<std::string> InProcesses(int programs, const std::function<std::string(int)>& run) {
  std::vector<std::pair<pid_t, int>> started;
  for (int i = 0; i < programs; ++i) {
    int pipe_[2];
    if (pipe(pipe_) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
      close(pipe_[0]);
      const std::string said = run(i);
      if (write(pipe_[1], said.data(), said.size()) < 0) _exit(2);
      _exit(0);
    }
    close(pipe_[1]);
    started.emplace_back(child, pipe_[0]);
  }
  std::vector<std::string> lines;
  for (const auto& [child, from] : started) {
    std::string said;
    char chunk[4096];
    for (ssize_t got; (got = read(from, chunk, sizeof chunk)) > 0;) said.append(chunk, got);
    close(from);
    waitpid(child, nullptr, 0);
    std::istringstream printed(said);
    for (std::string line; std::getline(printed, line);) lines.push_back(line);
  }
  return lines;
}
#endif

// No keypad on the bus, no record: only the ledger says what is taken.
bool NoneSeen(const std::string&) {
  return false;
}

// An implementation of the store: a bench's own file, or a site's database (a bench's role on
// it); each open is a program of its own.
struct Implementation {
  const char* name;
  bool onServer;
};

// The site's server is tried on Linux; a Windows program reaches it as the command line's run
// under Wine does.
const Implementation kImplementations[] = {{"Sqlite", false},
#ifndef _WIN32
                                           {"Postgres", true}
#endif
};

class StoreContract : public ::testing::TestWithParam<Implementation> {
 protected:
  void SetUp() override {
    if (GetParam().onServer) site_ = std::make_unique<SiteDatabase>();
  }
  std::unique_ptr<Store> open(int waitMs = kStoreWaitMs) const {
    return site_ ? site_->open("bench_1", waitMs) : OpenStoreAt(dir_.file("bench.sqlite3"), waitMs);
  }
  std::unique_ptr<SiteDatabase> site_;
  static PendingUpgrade Record(const std::string& serial, const std::string& port, int brightness) {
    return {{serial, 0, brightness, {}}, {}, {}, false, port, {}, "2026-12-09T10:00:00.000Z"};
  }
  TempDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Each, StoreContract, ::testing::ValuesIn(kImplementations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(StoreContract, RecordsAreChangedWholeAndClaimedByOneProgram) {
  const auto store = open();
  ASSERT_FALSE(store->changeRecords([](auto& records) {
    records = {Record("VNK-A", "1-1", 3), Record("VNK-B", "1-2", 4)};
  }));
  // A change that stops half way keeps nothing of it.
  EXPECT_THROW(store->changeRecords([](auto& records) {
    records.clear();
    throw std::runtime_error("cut off");
  }),
               std::runtime_error);
  std::vector<PendingUpgrade> kept;
  ASSERT_FALSE(open()->records(kept));
  ASSERT_EQ(kept.size(), 2u);
  // One program restores one record; another waits until it has ended or let go.
  ASSERT_FALSE(store->claimRecord(kept[0]));
  const auto other = open();
#ifndef _WIN32
  EXPECT_THAT(InProcesses(1, [&](int) { return open()->claimRecord(kept[0]).message; }),
              ::testing::ElementsAre(HasSubstr("is being restored by program")));
#endif
  ASSERT_FALSE(store->releaseRecord(kept[0]));
  EXPECT_FALSE(other->claimRecord(kept[0]));
  ASSERT_FALSE(store->changeRecords([](auto& records) { records.erase(records.begin()); }));
  ASSERT_FALSE(open()->records(kept));
  EXPECT_EQ(kept, std::vector<PendingUpgrade>{Record("VNK-B", "1-2", 4)});
}

TEST_P(StoreContract, ANumberIsGivenOnceWhateverHappensAfterItsReservation) {
  const auto store = open();
  const SerialHolder holder{"1-1", "test"};
  std::string serial;
  // A sequence passes over what is taken and goes on from where it stood, never back.
  ASSERT_FALSE(store->reserve("VNK-0002", holder));
  ASSERT_FALSE(store->reserveNext(
      "VNK-0001", [](auto& s) { return s == "VNK-0001"; }, holder, serial));
  EXPECT_EQ(serial, "VNK-0003");
  ASSERT_FALSE(store->settle(serial, LedgerEntry::kWritten));
  ASSERT_FALSE(open()->reserveNext("VNK-0001", NoneSeen, holder, serial));
  EXPECT_EQ(serial, "VNK-0004");
  ASSERT_FALSE(store->settle(serial, LedgerEntry::kVoid));
  // Written, void or only reserved: each is refused, with where it went.
  for (const auto& [number, said] : {std::pair{"VNK-0003", "VNK-0003 was given at "},
                                     {"VNK-0004", "VNK-0004 was voided at "},
                                     {"VNK-0002", "VNK-0002 was reserved at "}}) {
    const StoreError again = open()->reserve(number, {"1-9", "another"});
    EXPECT_EQ(again.kind, StoreError::kTaken) << number;
    EXPECT_THAT(again.message, HasSubstr(said));
    EXPECT_THAT(again.message, HasSubstr("(test) at port 1-1"));
  }
}

#ifndef _WIN32
TEST_P(StoreContract, TwoProgramsAtOnceGiveEachNumberOnceAndKeepBothRecords) {
  const auto lines = InProcesses(2, [&](int program) {
    const auto store = open();
    std::string said;
    for (int i = 0; i < 50; ++i) {
      std::string serial;
      const StoreError error = store->reserveNext("VNK-000", NoneSeen, {"1-1", "station"}, serial);
      said += (error ? "error " + error.message : serial) + "\n";
      store->changeRecords(
          [&](auto& records) { records.push_back(Record(serial, std::to_string(program), i)); });
    }
    return said;
  });
  const std::set<std::string> distinct(lines.begin(), lines.end());
  EXPECT_EQ(lines.size(), 100u);
  EXPECT_EQ(distinct.size(), 100u) << *distinct.rbegin();
  std::vector<PendingUpgrade> kept;
  ASSERT_FALSE(open()->records(kept));
  EXPECT_EQ(kept.size(), 100u);
}

TEST_P(StoreContract, AProgramKilledAfterItsReservationLeavesTheNumberReserved) {
  const auto lines = InProcesses(1, [&](int) {
    std::string serial;
    open()->reserveNext("VNK-100", NoneSeen, {"1-4", "station"}, serial);
    kill(getpid(), SIGKILL);  // before the keypad was written, or the log line
    return serial;
  });
  EXPECT_THAT(lines, ::testing::IsEmpty());
  std::string next;
  ASSERT_FALSE(open()->reserveNext("VNK-100", NoneSeen, {"1-4", "station"}, next));
  EXPECT_EQ(next, "VNK-101");
  std::optional<LedgerEntry> entry;
  ASSERT_FALSE(open()->ledgerEntry("VNK-100", entry));
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->state, LedgerEntry::kReserved);
  EXPECT_THAT(open()->reserve("VNK-100", {"1-2", "serial set"}).message,
              HasSubstr("VNK-100 was reserved at "));
}
#endif

// A keypad's lines are found by any number it had, those from before it had one too: by its
// port, back to the port's keypad before it, and within an hour from line to line.
TEST_P(StoreContract, AKeypadsLinesAreFoundByEveryNumberItHadAndByDates) {
  const char* lines[][4] = {
      // time, port, serialNumber, serialNumberBefore ("-" for none)
      {"10:00", "1-1", "", "-"},  {"10:05", "1-2", "", "-"},   {"10:06", "1-1", "", "-"},
      {"10:07", "1-1", "S1", ""}, {"10:08", "1-1", "", "-"},   {"10:09", "1-1", "S3", ""},
      {"12:30", "1-2", "S2", ""}, {"12:31", "1-1", "S1", "-"}, {"12:40", "1-1", "S9", "S1"}};
  const auto store = open();
  for (const auto& [time, port, serial, before] : lines) {
    nlohmann::ordered_json line = {{"time", std::string("2026-12-09T") + time + ":00Z"},
                                   {"computer", "bench-3"},
                                   {"port", port},
                                   {"serialNumber", serial}};
    if (std::string(before) != "-") line["serialNumberBefore"] = before;
    const Store::Line kept = Store::LineOf(line.dump());
    ASSERT_FALSE(store->appendLine(kept));
    ASSERT_FALSE(store->appendLine(kept));  // sent again: kept once
  }
  const auto found = [&](const LogQuery& query) {
    LogLines read;
    EXPECT_FALSE(store->lines(query, read));
    std::string marks(std::size(lines), '0');
    for (const auto& entry : read.entries) {
      for (std::size_t i = 0; i < std::size(lines); ++i)
        if (entry["time"] == std::string("2026-12-09T") + lines[i][0] + ":00Z") marks[i] = '1';
    }
    return marks;
  };
  // Each serial number, and its lines: a line a character, 1 for one of the keypad's.
  std::istringstream expected("S1 101100011 S3 000011000 S2 000000100 S9 000000001 S0 000000000");
  for (std::string serial, marks; expected >> serial >> marks;)
    EXPECT_EQ(found({serial, {}, {}}), marks) << serial;
  EXPECT_EQ(found({{}, "2026-12-09T10:08", "2026-12-09T12:30"}), "000011100");
  EXPECT_EQ(found({{}, {}, "2026-12-09"}), "111111111");  // a day takes all of it
  EXPECT_EQ(found({"S1", "2026-12-09T12", {}}), "000000011");
  // A long way back from a keypad's first number: every line of the way is its.
  for (int minute = 0; minute <= 80; ++minute) {
    ASSERT_FALSE(store->appendLine(Store::LineOf(
        R"({"time": "2026-12-09T14:)" + std::to_string(10 + minute / 2) + R"(:00Z", "port": )" +
        (minute < 80 ? R"("1-3", "serialNumber": "")" : R"("1-3", "serialNumber": "S5")") +
        R"(, "serialNumberBefore": ""})")));
  }
  LogLines read;
  ASSERT_FALSE(store->lines({"S5", {}, {}}, read));
  EXPECT_EQ(read.entries.size(), 81u);
}

// --- the bench's own file ------------------------------------------------------------------

class BenchStore : public ::testing::Test {
 protected:
  std::string file() const { return dir_.file("bench.sqlite3"); }
  StorePlace place() const {
    StorePlace place;
    place.file = file();
    place.oldFolders = {dir_.file("old")};
    return place;
  }
  TempDir dir_;
};

// What may stand at the store's place: only a store of this program's that it can read.
TEST_F(BenchStore, AnythingButAWholeStoreAtItsPlaceIsRefusedNeverTakenForEmpty) {
  ASSERT_FALSE(OpenStoreAt(file())->changeRecords([](auto& records) { records.resize(1); }));
  ASSERT_FALSE(OpenStoreAt(file())->reserve("VNK-1", {}));
  const std::string whole = ReadBytes(file());
  const struct {
    const char* what;
    std::function<void()> plant;
    StoreError::Kind kind;
    const char* says;
    bool wholeRefused = true;  // not only what cannot be read, but every change too
  } rows[] = {
      {"cut short", [&] { WriteBytes(file(), whole.substr(0, whole.size() / 2)); },
       StoreError::kUnreadable, "it was cut short"},
      {"empty", [&] { WriteBytes(file(), ""); }, StoreError::kUnreadable, "not a database"},
      {"another program's", [&] { Sql(file(), "PRAGMA application_id = 7; CREATE TABLE t(x)"); },
       StoreError::kUnreadable, "a database of another program"},
      {"a later version's",
       [&] { WriteBytes(file(), whole), Sql(file(), "PRAGMA user_version = 3"); },
       StoreError::kUnknownVersion, "written by a later version of this program (its schema 3"},
      {"a record damaged",
       [&] { WriteBytes(file(), whole), Sql(file(), "UPDATE records SET record = '{'"); },
       StoreError::kUnreadable, "a record of an upgrade cannot be read", false},
      {"a folder", [&] { std::filesystem::create_directory(file()); }, StoreError::kUnsafe,
       " is a folder, not the bench's store"},
#ifndef _WIN32
      {"a FIFO", [&] { mkfifo(file().c_str(), 0666); }, StoreError::kUnsafe, " is a FIFO"},
      {"a link",
       [&] {
         WriteBytes(dir_.path() / "elsewhere", whole);
         std::filesystem::create_symlink(dir_.path() / "elsewhere", file());
       },
       StoreError::kUnsafe, " is a link"},
      {"a link beside it",
       [&] {
         WriteBytes(file(), whole);
         std::filesystem::create_symlink(dir_.path() / "elsewhere", file() + "-wal");
       },
       StoreError::kUnsafe, "-wal is a link"},
#endif
  };
  for (const auto& row : rows) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove_all(file() + suffix);
    row.plant();
    const auto store = OpenStoreAt(file());
    std::vector<PendingUpgrade> records;
    const StoreError read = store->records(records);
    EXPECT_EQ(read.kind, row.kind) << row.what << ": " << read.message;
    EXPECT_THAT(read.message, HasSubstr(row.says)) << row.what;
    if (!row.wholeRefused) continue;
    EXPECT_EQ(store->writable().kind, row.kind) << row.what;
    EXPECT_EQ(store->reserve("VNK-2", {}).kind, row.kind) << row.what;
  }
}

TEST_F(BenchStore, AnotherProgramsHoldIsWaitedForAMomentThenSaid) {
  ASSERT_FALSE(OpenStoreAt(file())->writable());
  {
    const auto holder = Sql(file(), "BEGIN IMMEDIATE");
    const StoreError held = OpenStoreAt(file(), 200)->reserve("VNK-1", {});
    EXPECT_EQ(held.kind, StoreError::kBusy);
    EXPECT_THAT(held.message, HasSubstr("another program has held the bench's store " + file()));
  }
  // Let go during the wait: the change goes through.
  auto holder = Sql(file(), "BEGIN IMMEDIATE");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    holder.reset();
  });
  EXPECT_FALSE(OpenStoreAt(file(), 10000)->reserve("VNK-1", {}));
  release.join();
}

#ifndef _WIN32
TEST_F(BenchStore, ASharedStoreIsTheFoldersGroupsAndRefusedToOthers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as users of a group";
  std::filesystem::create_directory(dir_.path() / "bench");
  const std::string folder = dir_.file("bench");
  ASSERT_EQ(chown(folder.c_str(), 0, 40100), 0);
  std::filesystem::permissions(folder, static_cast<std::filesystem::perms>(02775));
  StorePlace shared;
  shared.file = folder + "/bench.sqlite3";
  shared.shared = true;
  const auto as = [&](int user, int group) {
    const auto lines = InProcesses(1, [&](int) {
      const gid_t groups[] = {static_cast<gid_t>(group)};
      if (setgroups(1, groups) != 0 || setgid(user) != 0 || setuid(user) != 0)
        return std::string("could not become the user");
      const StoreError error = OpenSqliteStore(shared)->reserve("VNK-" + std::to_string(user), {});
      return error ? error.message : std::string("ok");
    });
    return lines.empty() ? std::string("nothing said") : lines[0];
  };
  EXPECT_EQ(as(40001, 40100), "ok");
  struct stat made {};
  ASSERT_EQ(stat(shared.file.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0660u);
  EXPECT_EQ(made.st_gid, 40100u);
  EXPECT_EQ(as(40002, 40100), "ok");
  EXPECT_THAT(as(40003, 40003), HasSubstr("join the group 40100 (sudo usermod -a -G 40100"));
  // Another user's file at its place is no store of the bench's.
  ASSERT_EQ(chown(shared.file.c_str(), 40003, 40003), 0);
  EXPECT_THAT(as(40001, 40100), HasSubstr("does not belong to the group of its folder"));
}
#endif

// Files of earlier versions come in once, in one transaction, and are kept renamed.
TEST_F(BenchStore, FilesOfEarlierVersionsAreBroughtOverOnceAndKeptAside) {
  const auto old = dir_.path() / "old";
  std::filesystem::create_directories(old);
  const std::string record =
      R"({"serialNumberHex": "564E4B2D41", "keypadType": 0, "ledBrightness": 5,
          "codeTable": [0,1,0,2,0,3,0,4,0,5], "port": "1-a", "keptAt": "T1"})";
  const std::string log =
      R"({"time": "2026-12-01T10:00:00Z", "serialNumber": "VNK-L", "port": "1-a"})"
      "\nnot a line\n";
  WriteBytes(old / "PendingFirmwareUpgrade.json", R"({"upgrades": [)" + record + "]}");
  WriteBytes(old / "serial-number-sequences.json", R"({"VNK-001": "VNK-004"})");
#ifndef _WIN32
  // Cut off half way (killed in its transaction): everything stays as it was.
  std::string many;
  for (int i = 0; i < 100000; ++i) many += log;
  WriteBytes(old / "service-log.jsonl", many);
  InProcesses(1, [&](int) {
    std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      kill(getpid(), SIGKILL);
    }).detach();
    return OpenSqliteStore(place())->where();
  });
  EXPECT_TRUE(std::filesystem::exists(old / "service-log.jsonl"));
  EXPECT_THAT(StoredLog(file()), ::testing::IsEmpty());
#endif
  WriteBytes(old / "service-log.jsonl", log);
  const auto store = OpenSqliteStore(place());
  const auto notices = store->takeNotices();
  ASSERT_EQ(notices.size(), 3u);
  EXPECT_THAT(notices[2], HasSubstr("service-log.jsonl was brought over into the bench's store " +
                                    file() + ", and is kept as "));
  for (const char* name :
       {"PendingFirmwareUpgrade.json", "serial-number-sequences.json", "service-log.jsonl"}) {
    EXPECT_FALSE(std::filesystem::exists(old / name)) << name;
    EXPECT_TRUE(std::filesystem::exists(old / (std::string(name) + ".brought-over"))) << name;
  }
  EXPECT_EQ(StoredRecords(file()), RecordsFromJson(record));
  LogLines lines;
  ASSERT_FALSE(store->lines({}, lines));
  EXPECT_EQ(lines.entries.size(), 1u);
  EXPECT_EQ(lines.unreadable, 1);
  // The numbers the log and the sequence gave are the ledger's; the sequence goes on.
  for (const char* given : {"VNK-L", "VNK-001", "VNK-003"})
    EXPECT_EQ(store->reserve(given, {}).kind, StoreError::kTaken) << given;
  std::string next;
  ASSERT_FALSE(store->reserveNext("VNK-001", NoneSeen, {}, next));
  EXPECT_EQ(next, "VNK-004");
  // A file whose renaming was cut off is not brought over twice; one written again is.
  std::filesystem::copy_file(old / "service-log.jsonl.brought-over", old / "service-log.jsonl");
  EXPECT_FALSE(OpenSqliteStore(place())->writable());
  EXPECT_EQ(StoredLog(file()).size(), 1u);
  WriteBytes(old / "service-log.jsonl", log + log);
  EXPECT_FALSE(OpenSqliteStore(place())->writable());
  EXPECT_EQ(StoredLog(file()).size(), 3u);
  EXPECT_TRUE(std::filesystem::exists(old / "service-log.jsonl.brought-over-2"));
}

}  // namespace
