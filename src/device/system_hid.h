// The system's hidapi (hidraw on Linux) behind the seam. Only the programs for real keypads
// link its implementation (navkeypad_system_hid), with the system library.
#pragma once

#include "device/hid_seam.h"

namespace navkeypad {

HidBackend& SystemHid();

}  // namespace navkeypad
