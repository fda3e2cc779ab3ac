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

// Runs `sql` on the database `file` as another program would; the connection, for as long as
// it lives (with "BEGIN IMMEDIATE", another program holding the store).
using Connection = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;
inline Connection Sql(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  return {db, &sqlite3_close_v2};
}

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
