// The main window changes the LED brightness while the self test's worker sends its own
// commands; the keypad must never see their reports interleave.
#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "gui_fixture.h"
#include "self_test/self_test.h"

using namespace navkeypad;

class SelfTestWithMainWindow : public GuiTest {};

TEST_F(SelfTestWithMainWindow, ExchangesFromBothThreadsNeverInterleave) {
  platform::RecordingClock scaled(50);
  platform::setClock(&scaled);
  auto keypad = bus().plug();
  virtual_keypad::Behaviour slow;
  slow.responseDelay = std::chrono::microseconds(300);
  slow.acknowledgementsBeforeResult = 1;
  keypad->setBehaviour(slow);

  tarvik_usb_encoder::Form1 form;
  form.show();
  QApplication::processEvents();
  form.button2_Click();
  QPointer<tarvik_usb_encoder::self_test> test = form.selfTestFrm;
  ASSERT_FALSE(test.isNull());

  auto* brightness = find<QComboBox>(&form, "ledBrightnessCbox");
  int changes = 0;
  QElapsedTimer guard;
  guard.start();
  while (keypad->receivedCommands().size() < 30 && guard.elapsed() < 20000) {
    choose(brightness, changes++ % 10);
    QApplication::processEvents();
  }
  test->findChild<QPushButton*>("endBtn")->click();
  while (!test.isNull() && guard.elapsed() < 30000) {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  EXPECT_TRUE(test.isNull());
  EXPECT_GT(changes, 5);
  EXPECT_EQ(keypad->interleavedRequests(), 0);
  EXPECT_EQ(keypad->malformedRequests(), 0);
}
