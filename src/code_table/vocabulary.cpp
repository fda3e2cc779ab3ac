#include "code_table/vocabulary.h"

#include <cstdio>

namespace navkeypad {

// Three entries have three blanks before their name, as they always have.
const std::array<std::string, kKeyCodeNameCount> keyCodeNameArray = {
    "0x00    Reserved",
    "0x01    ErrorRollOver",
    "0x02    POSTFail",
    "0x03    ErrorUndefined",
    "0x04    a",
    "0x05    b",
    "0x06    c",
    "0x07    d",
    "0x08    e",
    "0x09    f",
    "0x0A   g",
    "0x0B    h",
    "0x0C    i",
    "0x0D    j",
    "0x0E    k",
    "0x0F    l",
    "0x10   m",
    "0x11    n",
    "0x12    o",
    "0x13    p",
    "0x14    q",
    "0x15    r",
    "0x16    s",
    "0x17    t",
    "0x18    u",
    "0x19    v",
    "0x1A   w",
    "0x1B    x",
    "0x1C    y",
    "0x1D    z",
    "0x1E    1",
    "0x1F    2",
    "0x20    3",
    "0x21    4",
    "0x22    5",
    "0x23    6",
    "0x24    7",
    "0x25    8",
    "0x26    9",
    "0x27    0",
    "0x28    Enter",
    "0x29    Escape",
    "0x2A    Backspace",
    "0x2B    Tab",
    "0x2C    Spacebar",
    "0x2D    Minus",
    "0x2E    Equal",
    "0x2F    LeftBracket",
    "0x30    RightBracket",
    "0x31    Backslash",
    "0x32    VerticalBar",
    "0x33    Semicolon",
    "0x34    Apostrophe",
    "0x35    Tilde",
    "0x36    Comma",
    "0x37    Period",
    "0x38    Slash",
    "0x39    CapsLock",
    "0x3A    F1",
    "0x3B    F2",
    "0x3C    F3",
    "0x3D    F4",
    "0x3E    F5",
    "0x3F    F6",
    "0x40    F7",
    "0x41    F8",
    "0x42    F9",
    "0x43    F10",
    "0x44    F11",
    "0x45    F12",
    "0x46    PrintScreen",
    "0x47    ScrollLock",
    "0x48    Pause",
    "0x49    Insert",
    "0x4A    Home",
    "0x4B    PageUp",
    "0x4C    DeleteForward",
    "0x4D    End",
    "0x4E    PageDown",
    "0x4F    RightArrow",
    "0x50    LeftArrow",
    "0x51    DownArrow",
    "0x52    UpArrow",
    "0x53    KeypadNumlock",
    "0x54    KeypadSlash",
    "0x55    KeypadAsterisk",
    "0x56    KeypadMinus",
    "0x57    KeypadPlus",
    "0x58    KeypadEnter",
    "0x59    Keypad1",
    "0x5A    Keypad2",
    "0x5B    Keypad3",
    "0x5C    Keypad4",
    "0x5D    Keypad5",
    "0x5E    Keypad6",
    "0x5F    Keypad7",
    "0x60    Keypad8",
    "0x61    Keypad9",
    "0x62    Keypad0",
    "0x63    KeypadPeriod",
    "0x64    NonUsBackslash",
    "0x65    WindowsKey",
    "0x66    Power",
    "0x67    KeypadEqual",
    "0x68    F13",
    "0x69    F14",
    "0x6A    F15",
    "0x6B    F16",
    "0x6C    F17",
    "0x6D    F18",
    "0x6E    F19",
    "0x6F    F20",
    "0x70    F21",
    "0x71    F22",
    "0x72    F23",
    "0x73    F24",
};

const std::array<std::string, kModifierNameCount> modifierNameArray = {
    " None",       "Left  Ctrl",  "Left Shift",   "Left    Alt", "Left   Gui",
    "Right  Ctrl", "Right Shift", "Right    Alt", "Right   Gui",
};

std::string FormatKeyCode(int code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(code) & 0xFFu);
  return text;
}

uint8_t ModifierIndexToUsage(int position) {
  if (position <= 0) return 0x00;
  return static_cast<uint8_t>(0xDF + position);
}

int ModifierUsageToIndex(uint8_t usage) {
  return usage >= 0xE0 ? usage - 0xDF : usage;
}

bool HasModifierPosition(int position) {
  return position >= 0 && position < static_cast<int>(kModifierNameCount);
}

}  // namespace navkeypad
