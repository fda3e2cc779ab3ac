// Every window, opened as a user opens it, can be used whole on the screen it opens on: its
// frame inside the screen's available area, every button and list wholly shown, every caption
// whole; and a screen reader reads it: a window, every control with a name and a role, Tab
// through every control. Run once for each screen size in tests/e2e/CMakeLists.txt.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QLineEdit>
#include <QScreen>
#include <QWindow>
#include <set>

#include "app/splash_form.h"
#include "app/start_up.h"
#include "bsl430/bsl430.h"
#include "firmware/firmware_upgrade.h"
#include "gui_fixture.h"
#include "virtual_device_watch.h"

namespace {

// Every control the window shows, as the accessibility tree presents it, without a name.
void AddUnnamed(QAccessibleInterface* node, int depth, std::vector<std::string>& unnamed) {
  if (node == nullptr || depth > 12) return;
  const QAccessible::Role role = node->role();
  const bool control = role == QAccessible::PushButton || role == QAccessible::ComboBox ||
                       role == QAccessible::CheckBox || role == QAccessible::EditableText ||
                       role == QAccessible::ProgressBar || role == QAccessible::Graphic ||
                       role == QAccessible::StaticText || role == QAccessible::Grouping;
  if (control && !node->state().invisible && node->text(QAccessible::Name).trimmed().isEmpty()) {
    const QObject* object = node->object();
    unnamed.push_back((object ? object->objectName() : QString("?")).toStdString() + " unnamed");
  }
  for (int i = 0; i < node->childCount(); ++i) AddUnnamed(node->child(i), depth + 1, unnamed);
}

// What a user could not reach or read, one line a control.
std::vector<std::string> OutOfReach(QWidget* window) {
  const QRect screen = window->screen()->availableGeometry();
  std::vector<std::string> problems;
  const std::string name = window->objectName().toStdString();
  if (!screen.contains(window->frameGeometry())) problems.push_back(name + " frame");
  for (QWidget* control : window->findChildren<QWidget*>()) {
    if (!control->isVisibleTo(window) || control->objectName().isEmpty()) continue;
    const QRect shown = control->visibleRegion().boundingRect();
    const QRect onScreen(control->mapToGlobal(shown.topLeft()), shown.size());
    const auto* button = qobject_cast<QAbstractButton*>(control);
    const bool whole = shown == control->rect();
    const std::string what = name + "/" + control->objectName().toStdString();
    if (!shown.isEmpty() && !screen.contains(onScreen))
      problems.push_back(what + " off the screen");
    if ((button != nullptr || qobject_cast<QComboBox*>(control) != nullptr) && !whole)
      problems.push_back(what + " cut off");
    if (button != nullptr &&
        control->fontMetrics().horizontalAdvance(button->text()) + 6 > control->width())
      problems.push_back(what + " caption \"" + button->text().toStdString() + "\" cut off");
  }
  if (window->objectName() != "velto_splash_form")
    AddUnnamed(QAccessible::queryAccessibleInterface(window), 0, problems);
  return problems;
}

QString NameOf(QWidget* widget) {
  return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

}  // namespace

class WindowFits : public GuiTest {};

TEST_F(WindowFits, EveryWindowOnThisScreen) {
  virtual_keypad::VirtualDeviceWatch watch;
  BSL_setDeviceWatch(&watch);
  auto keypad = bus().plug();
  keypad->setKeypadType(navkeypad::kKeypadTypeCustom);
  // The splash for three seconds, then the main window.
  const auto store = OpenStoreAt(storeFile());
  const auto started = tarvik_usb_encoder::StartApplication(*store);
  EXPECT_THAT(OutOfReach(started.splash), ::testing::IsEmpty());
  EXPECT_EQ(started.splash->timer1->interval(), 3000);
  EXPECT_FALSE(started.mainWindow->isVisible());
  started.splash->timer1_Tick();
  QApplication::processEvents();
  QWidget* form = started.mainWindow;
  ASSERT_TRUE(form->isVisible());
  EXPECT_EQ(tarvik_usb_encoder::Form1::configArray[0].left(16), "Device Connected");
  EXPECT_THAT(OutOfReach(form), ::testing::IsEmpty());
  // An editable list is read through its text field, which says what the list sets, inside
  // its group.
  const auto* layout = find<QComboBox>(form, "keypadTypeCbox");
  EXPECT_EQ(NameOf(find<QComboBox>(form, "ledBrightnessCbox")->lineEdit()), "LED brightness");
  EXPECT_EQ(NameOf(layout->lineEdit()), "Keypad layout");
  EXPECT_EQ(QAccessible::queryAccessibleInterface(layout->parentWidget())->role(),
            QAccessible::Grouping);
  EXPECT_EQ(NameOf(layout->parentWidget()), "Settings");
  // Tab visits every control once, the firmware button too, and comes round again; the
  // keyboard still does not press the firmware button.
  std::set<QWidget*> visited;
  find<QWidget>(form, "button11")->setFocus();
  while (visited.insert(QApplication::focusWidget()).second)
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(visited.size(), 11u);
  for (const auto key : {Qt::Key_Space, Qt::Key_Return})
    QTest::keyClick(find<QWidget>(form, "btnLoadFirmware"), key);
  QApplication::processEvents();
  EXPECT_TRUE(platform_.messages().empty());

  // Each window is opened from the main window and looked at where it opened.
  struct Opening {
    const char* window;
    std::function<void()> open;
  };
  const std::string firmware =
      std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
  const Opening openings[] = {
      {"about", [&] { trigger(form, "aboutVeltoUSBEncoderConfiguratorToolStripMenuItem1"); }},
      {"self_test", [&] { click(form, "button2"); }},
      {"My4way_layout",
       [&] {
         click(form, "button1");
         // A chosen code lengthens the key's caption.
         QWidget* editor = form->findChild<QWidget*>("My4way_layout");
         click(editor, "key6Btn");
         choose(find<QComboBox>(editor, "selectCodeCbox"), 0x2C);
       }},
      {"firmware_upgrade",
       [&] {
         platform_.answerQuestion(true);
         platform_.answerOpenFile(QString::fromStdString(firmware));
         click(form, "btnLoadFirmware");
       }},
  };
  for (const Opening& opening : openings) {
    opening.open();
    QWidget* window = nullptr;
    for (QWidget* candidate : QApplication::topLevelWidgets()) {
      if (candidate->isVisible() && candidate->objectName() == opening.window) window = candidate;
    }
    ASSERT_NE(window, nullptr) << opening.window;
    EXPECT_THAT(OutOfReach(window), ::testing::IsEmpty());
    EXPECT_EQ(QAccessible::queryAccessibleInterface(window)->role(), QAccessible::Window)
        << opening.window;
    // The main window owns every window but About (which stands on its own): they stay above it.
    EXPECT_EQ(window->windowHandle()->transientParent() == form->windowHandle(),
              opening.window != std::string("about"))
        << opening.window;
  }
  for (auto* upgrade : form->findChildren<tarvik_usb_encoder::firmware_upgrade*>()) {
    waitFor([&] { return !upgrade->workerBusy(); });
  }
  delete form;
  QApplication::processEvents();
  BSL_close_BSL();
  BSL_setDeviceWatch(nullptr);
}
