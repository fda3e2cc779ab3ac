#include "code_table/vocabulary.h"

#include <gtest/gtest.h>

using namespace navkeypad;

// The HID keyboard page names, kept here independently of the program's table.
TEST(Vocabulary, KeyCodeNamesFollowTheUsageTable) {
  const char* names[] = {"Reserved",
                         "ErrorRollOver",
                         "POSTFail",
                         "ErrorUndefined",
                         "a",
                         "b",
                         "c",
                         "d",
                         "e",
                         "f",
                         "g",
                         "h",
                         "i",
                         "j",
                         "k",
                         "l",
                         "m",
                         "n",
                         "o",
                         "p",
                         "q",
                         "r",
                         "s",
                         "t",
                         "u",
                         "v",
                         "w",
                         "x",
                         "y",
                         "z",
                         "1",
                         "2",
                         "3",
                         "4",
                         "5",
                         "6",
                         "7",
                         "8",
                         "9",
                         "0",
                         "Enter",
                         "Escape",
                         "Backspace",
                         "Tab",
                         "Spacebar",
                         "Minus",
                         "Equal",
                         "LeftBracket",
                         "RightBracket",
                         "Backslash",
                         "VerticalBar",
                         "Semicolon",
                         "Apostrophe",
                         "Tilde",
                         "Comma",
                         "Period",
                         "Slash",
                         "CapsLock",
                         "F1",
                         "F2",
                         "F3",
                         "F4",
                         "F5",
                         "F6",
                         "F7",
                         "F8",
                         "F9",
                         "F10",
                         "F11",
                         "F12",
                         "PrintScreen",
                         "ScrollLock",
                         "Pause",
                         "Insert",
                         "Home",
                         "PageUp",
                         "DeleteForward",
                         "End",
                         "PageDown",
                         "RightArrow",
                         "LeftArrow",
                         "DownArrow",
                         "UpArrow",
                         "KeypadNumlock",
                         "KeypadSlash",
                         "KeypadAsterisk",
                         "KeypadMinus",
                         "KeypadPlus",
                         "KeypadEnter",
                         "Keypad1",
                         "Keypad2",
                         "Keypad3",
                         "Keypad4",
                         "Keypad5",
                         "Keypad6",
                         "Keypad7",
                         "Keypad8",
                         "Keypad9",
                         "Keypad0",
                         "KeypadPeriod",
                         "NonUsBackslash",
                         "WindowsKey",
                         "Power",
                         "KeypadEqual",
                         "F13",
                         "F14",
                         "F15",
                         "F16",
                         "F17",
                         "F18",
                         "F19",
                         "F20",
                         "F21",
                         "F22",
                         "F23",
                         "F24"};
  ASSERT_EQ(std::size(names), keyCodeNameArray.size());
  for (std::size_t code = 0; code < std::size(names); ++code) {
    char expected[64];
    const bool threeBlanks = code == 0x0A || code == 0x10 || code == 0x1A;
    std::snprintf(expected, sizeof expected, "0x%02X%s%s", static_cast<unsigned>(code),
                  threeBlanks ? "   " : "    ", names[code]);
    EXPECT_EQ(keyCodeNameArray[code], expected) << code;
  }
  EXPECT_EQ(keyCodeNameArray.back(), "0x73    F24");
}

TEST(Vocabulary, ModifierTextsKeepTheirBlanksAndRoundTrip) {
  EXPECT_EQ(modifierNameArray[0], " None");
  EXPECT_EQ(modifierNameArray[3], "Left    Alt");
  EXPECT_EQ(modifierNameArray[8], "Right   Gui");
  EXPECT_EQ(ModifierIndexToUsage(0), 0x00);
  EXPECT_EQ(ModifierIndexToUsage(1), 0xE0);
  EXPECT_EQ(ModifierIndexToUsage(8), 0xE7);
  for (int position = 0; position < 9; ++position) {
    EXPECT_EQ(ModifierUsageToIndex(ModifierIndexToUsage(position)), position);
  }
  // A byte that is not a modifier usage has no place in the list.
  EXPECT_FALSE(HasModifierPosition(ModifierUsageToIndex(0x09)));
  EXPECT_FALSE(HasModifierPosition(ModifierUsageToIndex(0xDF)));
}

TEST(Vocabulary, KeyCodesAlwaysShowTwoHexDigits) {
  EXPECT_EQ(FormatKeyCode(0), "0x00");
  EXPECT_EQ(FormatKeyCode(15), "0x0F");
  EXPECT_EQ(FormatKeyCode(16), "0x10");
  EXPECT_EQ(FormatKeyCode(0x80), "0x80");
  EXPECT_EQ(FormatKeyCode(255), "0xFF");
}
