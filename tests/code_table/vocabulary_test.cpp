#include "code_table/vocabulary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace navkeypad;

TEST(Vocabulary, KeyCodeEntriesAreTheirCodeFourBlanksAndTheirName) {
  ASSERT_EQ(keyCodeNameArray.size(), 116u);
  EXPECT_EQ(keyCodeNameArray[0x00], "0x00    Reserved");
  EXPECT_EQ(keyCodeNameArray[0x04], "0x04    a");
  EXPECT_EQ(keyCodeNameArray[0x28], "0x28    Enter");
  EXPECT_EQ(keyCodeNameArray[0x35], "0x35    Tilde");
  EXPECT_EQ(keyCodeNameArray[0x65], "0x65    WindowsKey");
  EXPECT_EQ(keyCodeNameArray[0x73], "0x73    F24");
  // Three entries have three blanks; every other entry has four, and its position is its code.
  for (std::size_t code = 0; code < keyCodeNameArray.size(); ++code) {
    const bool threeBlanks = code == 0x0A || code == 0x10 || code == 0x1A;
    const std::string& entry = keyCodeNameArray[code];
    EXPECT_EQ(entry.substr(0, 4), FormatKeyCode(static_cast<uint8_t>(code))) << code;
    EXPECT_EQ(entry.substr(4, threeBlanks ? 3 : 4), threeBlanks ? "   " : "    ") << code;
    EXPECT_NE(entry[threeBlanks ? 7 : 8], ' ') << code;
  }
  EXPECT_EQ(keyCodeNameArray[0x0A], "0x0A   g");
  EXPECT_EQ(keyCodeNameArray[0x10], "0x10   m");
  EXPECT_EQ(keyCodeNameArray[0x1A], "0x1A   w");
}

TEST(Vocabulary, ModifierTextsKeepTheirBlanksAndRoundTrip) {
  EXPECT_EQ(
      std::vector<std::string>(modifierNameArray.begin(), modifierNameArray.end()),
      (std::vector<std::string>{" None", "Left  Ctrl", "Left Shift", "Left    Alt", "Left   Gui",
                                "Right  Ctrl", "Right Shift", "Right    Alt", "Right   Gui"}));
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
