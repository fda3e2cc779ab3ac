// Every window, opened as a user opens it, can be used whole on the screen it opens on: its
// frame inside the screen's available area, every button and list wholly shown, every caption
// whole. Run once for each screen size in tests/CMakeLists.txt.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QScreen>

#include "app/splash_form.h"
#include "app/start_up.h"
#include "bsl430/bsl430.h"
#include "firmware/firmware_upgrade.h"
#include "gui_fixture.h"
#include "virtual_device_watch.h"

namespace {

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
  return problems;
}

}  // namespace

class WindowFits : public GuiTest {};

TEST_F(WindowFits, EveryWindowOnThisScreen) {
  virtual_keypad::VirtualDeviceWatch watch;
  BSL_setDeviceWatch(&watch);
  auto keypad = bus().plug();
  keypad->setKeypadType(navkeypad::kKeypadTypeCustom);
  const auto started = tarvik_usb_encoder::StartApplication();
  EXPECT_THAT(OutOfReach(started.splash), ::testing::IsEmpty());
  started.splash->timer1_Tick();
  QApplication::processEvents();
  QWidget* form = started.mainWindow;
  ASSERT_TRUE(form->isVisible());
  EXPECT_THAT(OutOfReach(form), ::testing::IsEmpty());

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
  }
  for (auto* upgrade : form->findChildren<tarvik_usb_encoder::firmware_upgrade*>()) {
    waitFor([&] { return !upgrade->workerBusy(); });
  }
  delete form;
  QApplication::processEvents();
  BSL_close_BSL();
  BSL_setDeviceWatch(nullptr);
}
