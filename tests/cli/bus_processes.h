// The command line run as its own process over a bus kept in a state file, as a technician runs
// it again and again: the virtual program, or the real one on the keypad twin.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "firmware/pending_upgrade.h"
#include "temp_dir.h"
#include "test_store.h"

struct Outcome {
  int status;
  std::string output;  // standard output, and standard error where asked for
};

// The loader texts a real program finds beside its configuration file (in DATA/VeltoInterface):
// the stand-ins the virtual keypad takes.
inline void PlaceStandInLoaderTexts(const std::filesystem::path& data) {
  const auto loader = data / "VeltoInterface" / "loader";
  std::filesystem::create_directories(loader);
  const std::string texts = std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/";
  WriteBytes(loader / "RAM_BSL.txt", ReadBytes(texts + "ram-bsl-stand-in.txt"));
  WriteBytes(loader / "password.txt", ReadBytes(texts + "password-stand-in.txt"));
}

class VirtualState : public ::testing::Test {
 protected:
  // Standard output and, with `errors`, standard error.
  std::string command(const std::string& arguments, bool errors = true) const {
    return "XDG_DATA_HOME='" + dir_.file("data") + "' NAVKEYPAD_VIRTUAL_STATE='" + state() + "' " +
           runAs_ + program_ + " " + arguments + (errors ? " 2>&1" : " 2>/dev/null");
  }
  Outcome run(const std::string& arguments, bool errors = true) {
    return Ended(popen(command(arguments, errors).c_str(), "r"));
  }
  // What a program started with popen printed, once it ended, and how it ended.
  static Outcome Ended(std::FILE* pipe) {
    std::string output;
    std::array<char, 4096> chunk;
    while (std::size_t got = std::fread(chunk.data(), 1, chunk.size(), pipe)) {
      output.append(chunk.data(), got);
    }
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
  }
  std::string state() const { return dir_.file("bus.json"); }
  // The program's store: a virtual program's beside its bus, a real one's where the test says.
  std::string storeFile() const {
    return storeFile_.empty() ? state() + "-bench.sqlite3" : storeFile_;
  }
  // Keeps the records `json` holds (in the form the records were written before the store: one
  // record, or {"upgrades": [...]}), in place of any kept; none for "".
  void keepRecords(const std::string& json) const {
    StoreRecords(storeFile(), RecordsFromJson(json));
  }
  // A bench that starts again: nothing kept, nothing given, nothing logged.
  void forgetStore() const {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(storeFile() + suffix);
  }
  nlohmann::json readState() const { return nlohmann::json::parse(ReadBytes(state())); }
  std::vector<std::string> serviceLog(const std::string& store = {}) const {
    std::vector<std::string> lines;
    for (const auto& line : StoredLog(store.empty() ? storeFile() : store))
      lines.push_back(line.dump());
    return lines;
  }
  std::vector<std::string> keptSerials(const std::string& store = {}) const {
    std::vector<std::string> serials;
    for (const auto& record : StoredRecords(store.empty() ? storeFile() : store))
      serials.push_back(record.serial());
    return serials;
  }
  static std::string firmware() {
    return std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
  }

  TempDir dir_;
  std::string runAs_;  // a command that runs the program as another user
  std::string storeFile_;
  // The program: the virtual command line, or the real one on the keypad twin.
  std::string program_ = std::string("'") + NAVKEYPAD_VIRTUAL_CLI + "'";
};
