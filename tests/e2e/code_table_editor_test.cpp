// Editing the custom code table on the virtual keypad, from the main window's button on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "code_table/my4way_layout.h"
#include "gui_fixture.h"

using namespace navkeypad;
using tarvik_usb_encoder::ButtonColour;
using tarvik_usb_encoder::Form1;
using tarvik_usb_encoder::My4way_layout;
using ::testing::ElementsAre;
using virtual_keypad::ReceivedCommand;

namespace {
const QColor kOrange(255, 165, 0);
const QColor kAqua(0, 255, 255);
// Left 0x50, Right 0x4F, Down 0x51, Up 0x52, Enter 0x28; Right with Left Shift.
const KeyCodeTable kTable{{0x00, 0x50, 0xE1, 0x4F, 0x00, 0x51, 0x00, 0x52, 0x00, 0x28}};
}  // namespace

class CodeTableEditor : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    keypad_ = bus().plug();
    keypad_->setKeypadType(kKeypadTypeCustom);
    keypad_->setCustomTable(kTable);
    openMainWindow();
  }

  My4way_layout* openEditor() {
    click(form_.get(), "button1");
    auto editors = form_->findChildren<My4way_layout*>();
    if (editors.isEmpty()) return nullptr;
    editor_ = editors.back();
    keypad_->clearReceivedCommands();
    return editor_;
  }
  QPushButton* key(const char* name) { return find<QPushButton>(editor_, name); }
  QComboBox* codes() { return find<QComboBox>(editor_, "selectCodeCbox"); }
  QComboBox* modifiers() { return find<QComboBox>(editor_, "selectModifierCbox"); }
  void press(const char* name) { click(editor_, name); }
  std::vector<uint8_t> applied() {
    press("applyBtn");
    const auto received = keypad_->receivedCommands();
    if (received.empty() || received.back().command != CMD_LOAD_TABLE) return {};
    return received.back().payload;
  }
  std::vector<uint8_t> bytes(const KeyCodeTable& table) {
    return {table.bytes.begin(), table.bytes.end()};
  }

  std::shared_ptr<virtual_keypad::VirtualKeypad> keypad_;
  My4way_layout* editor_ = nullptr;
};

TEST_F(CodeTableEditor, OpensOnlyOnTheCustomTableAfterAFreshStatusRead) {
  keypad_->setKeypadType(kKeypadTypeAlternate);
  EXPECT_EQ(openEditor(), nullptr);
  keypad_->refuseCommand(CMD_GET_STATUS);
  EXPECT_EQ(openEditor(), nullptr);
  const QString caption = "Velto NavigationKeypad";
  EXPECT_THAT(
      platform_.messages(),
      ElementsAre(Message{Kind::Warning, "Please select a customise table..\n", caption},
                  Message{Kind::Warning, "Load Table-Unable to get device status..\n", caption}));

  keypad_->setBehaviour({});
  keypad_->setKeypadType(kKeypadTypeCustom);
  ASSERT_NE(openEditor(), nullptr);
  EXPECT_EQ(editor_->windowTitle(), "USB Navigation Keypad Layout");
  EXPECT_EQ(key("key2Btn")->text(), "Left 0x50");
  EXPECT_EQ(key("key6Btn")->text(), "Enter 0x28");
  EXPECT_EQ(key("modifierBtn2")->text(), " None");
  EXPECT_EQ(key("modifierBtn3")->text(), "Left Shift");
  EXPECT_FALSE(codes()->isVisible());
  EXPECT_FALSE(modifiers()->isVisible());
  // Another press opens another, independent editor.
  openEditor();
  EXPECT_EQ(form_->findChildren<My4way_layout*>().size(), 2);
}

TEST_F(CodeTableEditor, DeselectingAKeyRestoresItsPlainColourAndKeepsTheList) {
  openEditor();
  press("key5Btn");
  choose(codes(), 0x28);
  press("key5Btn");
  press("key4Btn");
  press("key5Btn");  // deselected again: plain, though it had been changed
  EXPECT_EQ(ButtonColour(key("key5Btn")), editor_->defaultButtonBackColor);
  EXPECT_TRUE(codes()->isVisible());
  // The list still shows the entry chosen last, not Down's code.
  EXPECT_EQ(codes()->currentText(), "0x28    Enter");
  choose(codes(), 0x04);
  EXPECT_EQ(key("key4Btn")->text(), "Down  0x04");
  EXPECT_EQ(key("key5Btn")->text(), "Up  0x28");
}

TEST_F(CodeTableEditor, BytesWithoutANameGoBackUnchanged) {
  KeyCodeTable odd = kTable;
  odd.setEntry(NavigationKey::Up, {0x09, 0x80});
  keypad_->setCustomTable(odd);
  openEditor();
  EXPECT_EQ(key("key5Btn")->text(), "Up 0x80");
  EXPECT_EQ(key("modifierBtn5")->text(), "0x09");
  EXPECT_EQ(applied(), bytes(odd));
  EXPECT_EQ(keypad_->settings().customTable, odd);
}

TEST_F(CodeTableEditor, FailedApplyKeepsTheEditsAndSendsTheSameBytesAgain) {
  openEditor();
  press("key6Btn");
  choose(codes(), 0x2C);
  keypad_->refuseCommand(CMD_LOAD_TABLE);
  const auto first = applied();
  EXPECT_THAT(messages(), ElementsAre("Unable to Load Table..\n"));
  EXPECT_TRUE(editor_->isVisible());
  keypad_->setBehaviour({});
  QPointer<My4way_layout> guard(editor_);
  const auto second = applied();
  EXPECT_EQ(first, second);
  EXPECT_EQ(second[9], 0x2C);
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(guard.isNull());
  const auto log = serviceLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["action"], "Apply Code Table");
  EXPECT_EQ(log[0]["message"], "Unable to Load Table..");
  EXPECT_EQ(log[1]["result"], "ok");
  EXPECT_EQ(log[1]["settings"]["codeTable"],
            nlohmann::json(std::vector<int>(second.begin(), second.end())));
}

TEST_F(CodeTableEditor, ResetReturnsToTheOpeningValuesButLeavesTheListShown) {
  openEditor();
  press("key2Btn");
  choose(codes(), 0x04);
  press("modifierBtn4");
  choose(modifiers(), 2);
  press("key3Btn");
  press("modifierBtn6");
  press("resetBtn");
  EXPECT_EQ(key("key2Btn")->text(), "Left 0x50");
  EXPECT_EQ(key("modifierBtn4")->text(), " None");
  for (const char* name : {"key2Btn", "key3Btn"}) {
    EXPECT_EQ(ButtonColour(key(name)), editor_->defaultButtonBackColor);
  }
  EXPECT_EQ(ButtonColour(key("modifierBtn6")), editor_->currentMBColour);
  EXPECT_EQ(editor_->keySelected, 0);
  EXPECT_EQ(editor_->modSelected, 0);
  EXPECT_TRUE(modifiers()->isVisible());
  EXPECT_EQ(applied(), bytes(kTable));
}

TEST_F(CodeTableEditor, TypingIntoTheListsAssignsNothingAndCloseSendsNothing) {
  openEditor();
  press("key2Btn");
  QTest::keyClicks(codes(), "0a");
  press("modifierBtn2");
  QTest::keyClicks(modifiers(), "l");
  QApplication::processEvents();
  EXPECT_EQ(key("key2Btn")->text(), "Left 0x50");
  EXPECT_EQ(key("modifierBtn2")->text(), " None");
  choose(codes(), 0x04);
  press("exitBtn");
  EXPECT_TRUE(keypad_->receivedCommands().empty());
  EXPECT_EQ(keypad_->settings().customTable, kTable);
}
