// The store a test's programs keep what the bench knows in, opened by the test to look at what
// they left or to set up what they find.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "store/sqlite_store.h"

inline std::unique_ptr<navkeypad::store::Store> OpenStoreAt(
    const std::string& file, int waitMs = navkeypad::store::kStoreWaitMs) {
  navkeypad::store::StorePlace place;
  place.file = file;
  return navkeypad::store::OpenSqliteStore(place, waitMs);
}

// The records `json` holds, in the form they were written before the store (one record, or
// {"upgrades": [...]}); none for "".
inline std::vector<navkeypad::store::PendingUpgrade> RecordsFromJson(const std::string& json) {
  std::vector<navkeypad::store::PendingUpgrade> records;
  if (json.empty()) return records;
  const auto document = nlohmann::json::parse(json);
  if (!document.contains("upgrades")) return {navkeypad::store::RecordFromJson(document)};
  for (const auto& record : document["upgrades"])
    records.push_back(navkeypad::store::RecordFromJson(record));
  return records;
}

// Another program holding the store's write lock, as long as it lives.
class StoreHolder {
 public:
  explicit StoreHolder(const std::string& file) {
    sqlite3_open(file.c_str(), &db_);
    held_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~StoreHolder() { sqlite3_close_v2(db_); }
  StoreHolder(const StoreHolder&) = delete;
  StoreHolder& operator=(const StoreHolder&) = delete;
  bool held() const { return held_; }

 private:
  sqlite3* db_ = nullptr;
  bool held_ = false;
};

inline std::vector<navkeypad::store::PendingUpgrade> StoredRecords(const std::string& file) {
  std::vector<navkeypad::store::PendingUpgrade> records;
  const auto error = OpenStoreAt(file)->records(records);
  EXPECT_FALSE(error) << error.message;
  return records;
}

inline void StoreRecords(const std::string& file,
                         const std::vector<navkeypad::store::PendingUpgrade>& records) {
  const auto error = OpenStoreAt(file)->changeRecords([&](auto& kept) { kept = records; });
  ASSERT_FALSE(error) << error.message;
}

// The service log's lines, oldest first.
inline std::vector<nlohmann::ordered_json> StoredLog(const std::string& file) {
  navkeypad::store::LogLines lines;
  const auto error = OpenStoreAt(file)->lines({}, lines);
  EXPECT_FALSE(error) << error.message;
  return lines.entries;
}
