// The navkeypad commands run in this process on the virtual bus: their output caught, no
// waits, and a data folder of the test's own.
#pragma once

#include <sstream>

#include "bsl430/bsl430.h"
#include "navkeypad_cli.h"
#include "platform/clock.h"
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
    const int status = navkeypad::cli::Run(arguments, {out_, err_, false});
    navkeypad::SetHid(&virtual_keypad::VirtualHid());
    return status;
  }

  platform::RecordingClock clock_;
  std::ostringstream out_;
  std::ostringstream err_;
  TempDir dir_;
  ScopedEnvironment dataHome_;
};
