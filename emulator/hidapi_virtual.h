// The virtual bus as the program's HID backend.
#pragma once

#include "device/hid_seam.h"

namespace virtual_keypad {

navkeypad::HidBackend& VirtualHid();

}  // namespace virtual_keypad
