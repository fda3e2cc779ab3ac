// What a screen reader reads: every control of every window has a name and a role in the
// accessibility tree, groups hold their controls, and Tab reaches every control in order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAccessible>
#include <QGroupBox>
#include <QLineEdit>
#include <set>

#include "bsl430/bsl430.h"
#include "gui_fixture.h"
#include "virtual_device_watch.h"

using tarvik_usb_encoder::Form1;

namespace {

// Every control the window shows, as the tree presents it, with a name it reads out.
std::vector<std::string> Unnamed(QWidget* window) {
  std::vector<std::string> unnamed;
  std::function<void(QAccessibleInterface*, int)> walk = [&](QAccessibleInterface* node,
                                                             int depth) {
    if (node == nullptr || depth > 12) return;
    const QAccessible::Role role = node->role();
    const bool control = role == QAccessible::PushButton || role == QAccessible::ComboBox ||
                         role == QAccessible::CheckBox || role == QAccessible::EditableText ||
                         role == QAccessible::ProgressBar || role == QAccessible::Graphic ||
                         role == QAccessible::StaticText || role == QAccessible::Grouping;
    if (control && !node->state().invisible && node->text(QAccessible::Name).trimmed().isEmpty()) {
      const QObject* object = node->object();
      unnamed.push_back((object ? object->objectName() : QString("?")).toStdString() + " role " +
                        std::to_string(role));
    }
    for (int i = 0; i < node->childCount(); ++i) walk(node->child(i), depth + 1);
  };
  walk(QAccessible::queryAccessibleInterface(window), 0);
  return unnamed;
}

QAccessibleInterface* Of(QWidget* widget) {
  return QAccessible::queryAccessibleInterface(widget);
}

}  // namespace

class Accessibility : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    BSL_setDeviceWatch(&watch_);
    keypad_ = bus().plug();
    keypad_->setKeypadType(navkeypad::kKeypadTypeCustom);
    form_ = std::make_unique<Form1>();
    form_->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form_.reset();
    QApplication::processEvents();
    BSL_setDeviceWatch(nullptr);
    GuiTest::TearDown();
  }
  virtual_keypad::VirtualDeviceWatch watch_;
  std::shared_ptr<virtual_keypad::VirtualKeypad> keypad_;
  std::unique_ptr<Form1> form_;
};

TEST_F(Accessibility, TheMainWindowReadsAndTabsThroughEveryControl) {
  EXPECT_THAT(Unnamed(form_.get()), ::testing::IsEmpty());
  // An editable list is read through its text field, which says what the list sets.
  EXPECT_EQ(
      Of(find<QComboBox>(form_.get(), "ledBrightnessCbox")->lineEdit())->text(QAccessible::Name),
      "LED brightness");
  EXPECT_EQ(Of(find<QComboBox>(form_.get(), "keypadTypeCbox")->lineEdit())->text(QAccessible::Name),
            "Keypad layout");
  EXPECT_EQ(Of(find<QWidget>(form_.get(), "richTextBox1"))->text(QAccessible::Name), "Status");
  // The group's title is read with the controls inside it.
  QAccessibleInterface* settings = Of(find<QWidget>(form_.get(), "keypadTypeCbox"))->parent();
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(settings->role(), QAccessible::Grouping);
  EXPECT_EQ(settings->text(QAccessible::Name), "Settings");

  // Tab visits every control once, the firmware button too, and comes round again.
  std::set<QWidget*> visited;
  find<QWidget>(form_.get(), "button11")->setFocus();
  while (visited.insert(QApplication::focusWidget()).second) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  EXPECT_EQ(visited.size(), 11u);
  find<QWidget>(form_.get(), "btnLoadFirmware")->setFocus();
  // Keyboard activation of the firmware button still does nothing.
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  QApplication::processEvents();
  EXPECT_TRUE(platform_.messages().empty());
}
