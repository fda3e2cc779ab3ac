// The store of one bench: one SQLite database in the computer's folder, shared by its users
// through their group, or a user's own (a program run from its build tree, a virtual run).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/store.h"

namespace navkeypad::store {

inline constexpr char kStoreFileName[] = "bench.sqlite3";
// How long a program waits for another that holds the store before it says so.
inline constexpr int kStoreWaitMs = 5000;
// The schema version this program reads and writes; an older store is brought forward.
inline constexpr int kStoreSchemaVersion = 2;

struct StorePlace {
  std::string file;  // the database; empty where there is none
  // The computer's, shared by the members of its group: nothing at its place but a regular file
  // of that group is opened.
  bool shared = false;
  std::string problem;  // why this user cannot keep a store there, and what to do
  // Folders whose files of earlier versions (records, sequences, log) are brought over once.
  std::vector<std::string> oldFolders;
  std::string words;  // for --help: where, and why there
};

// Opens (or makes) the store at `place`. It always hands back a store: one that could not be
// opened answers every operation with why, so that commands that need none still run.
std::unique_ptr<Store> OpenSqliteStore(const StorePlace& place, int waitMs = kStoreWaitMs);

// Everything a bench's store holds, for a site's server to take over.
struct StoreContents {
  std::vector<PendingUpgrade> records;
  std::vector<LedgerEntry> ledger;
  std::vector<std::pair<std::string, std::string>> sequences;  // first, next
  std::vector<Store::Line> lines;                              // oldest first
};
StoreError ReadStoreContents(const StorePlace& place, StoreContents& out);

// What a bench at a site keeps in its own store while the site's server is away: log lines and
// record removals, sent first, in order, when the server is back.
struct OutboxItem {
  long long id;
  std::string kind;  // "line" or "removal"
  std::string body;  // JSON
};
class Outbox {
 public:
  virtual ~Outbox() = default;
  virtual StoreError put(const std::string& kind, const std::string& body) = 0;
  virtual StoreError items(std::vector<OutboxItem>& out) = 0;
  virtual StoreError sent(long long id) = 0;
  virtual std::string where() const = 0;
};
std::unique_ptr<Outbox> OpenOutbox(const StorePlace& place);

}  // namespace navkeypad::store
