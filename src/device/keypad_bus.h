// Every keypad on the bus, including one present but not open to this user.
#pragma once

#include <string>
#include <vector>

#include "device/hid_transport.h"

namespace navkeypad {

struct KeypadOnBus {
  std::string path;  // of its configuration interface
  bool accessible = false;
  std::string problem;  // why it cannot be opened, when it cannot
};

std::vector<KeypadOnBus> ListKeypads();

// Opens one keypad's configuration interface for exchanges (non-blocking reads); null when
// it cannot be opened.
hid_device* OpenKeypad(const std::string& path);

// What a user does about a keypad that cannot be opened.
std::string AccessAdvice();

}  // namespace navkeypad
