// The navkeypad commands run in this process on the virtual bus: their output caught, no
// waits, and a data folder of the test's own.
#pragma once

#include <sstream>

#include "bsl430/bsl430.h"
#include "navkeypad_cli.h"
#include "platform/clock.h"
#include "settings/keypad_settings_file.h"
#include "store/bench_folder.h"
#include "store/store.h"
#include "support/paths.h"
#include "temp_dir.h"
#include "test_environment.h"
#include "virtual_bus_fixture.h"

class CommandLineTest : public VirtualBusTest {
 protected:
  void SetUp() override {
    VirtualBusTest::SetUp();
    platform::setClock(&clock_);
    dataHome_.set(support::kDataHomeVariable, dir_.file("data"));
  }
  void TearDown() override {
    BSL_close_BSL();
    navkeypad::SetHid(nullptr);
    platform::setClock(nullptr);
    dataHome_.restore();
    VirtualBusTest::TearDown();
  }
  // Runs a command on `backend` (the virtual bus unless given).
  int run(std::vector<std::string> arguments,
          navkeypad::HidBackend& backend = virtual_keypad::VirtualHid()) {
    navkeypad::SetHid(&backend);
    out_.str("");
    err_.str("");
    // Opened for each run, as each program opens it: what one run left, the next finds.
    const auto store = navkeypad::store::OpenSqliteStore(
        navkeypad::store::TheStorePlace(navkeypad::settings::DefaultConfigFile(), false));
    const int status = navkeypad::cli::Run(arguments, {out_, err_, *store, false});
    navkeypad::SetHid(&virtual_keypad::VirtualHid());
    return status;
  }

  platform::RecordingClock clock_;
  std::ostringstream out_;
  std::ostringstream err_;
  // Where the commands keep the bench's store: beside the configuration file, as a program run
  // from its build tree does.
  std::string storeFile() const { return dir_.file("data/VeltoInterface/bench.sqlite3"); }

  TempDir dir_;
  ScopedEnvironment dataHome_;
};
