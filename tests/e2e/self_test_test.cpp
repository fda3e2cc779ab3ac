// The guided self test on the virtual keypad, opened from the main window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <algorithm>
#include <functional>

#include "gui_fixture.h"
#include "self_test/self_test.h"

using namespace navkeypad;
using tarvik_usb_encoder::Form1;
using tarvik_usb_encoder::self_test;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using virtual_keypad::ReceivedCommand;

class SelfTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    // The worker polls; let its waits pass, a hundred times faster than asked.
    platform::setClock(&scaledClock_);
    keypad_ = bus().plug();
  }

  void openMainWindow() {
    GuiTest::openMainWindow();
    keypad_->clearReceivedCommands();
  }

  // Opens the test the way the button does, without letting the worker run yet.
  self_test* startTest() {
    form_->button2_Click();
    test_ = form_->selfTestFrm;
    return test_;
  }

  bool waitForKeyStep() {
    return waitFor([&] {
      const auto codes = keypad_->receivedCommands();
      return !codes.empty() && codes.back() == ReceivedCommand{CMD_SET_KEYPAD_TYPE, {0}};
    });
  }
  bool waitUntilClosed() {
    return waitFor([&] { return test_.isNull(); });
  }
  void pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(test_.data(), key, modifiers);
  }
  QWidget* indicator(const char* name) { return find<QWidget>(test_.data(), name); }
  bool marked(const char* name) {
    return qobject_cast<tarvik_usb_encoder::KeyIndicator*>(indicator(name))->marked();
  }

  static std::vector<ReceivedCommand> brightness(std::initializer_list<uint8_t> levels) {
    std::vector<ReceivedCommand> commands;
    for (uint8_t level : levels) commands.push_back({CMD_SET_LED_BRIGHTNESS, {level}});
    return commands;
  }
  static std::vector<ReceivedCommand> join(std::vector<std::vector<ReceivedCommand>> parts) {
    std::vector<ReceivedCommand> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  }
  static const ReceivedCommand kStatus;

  platform::RecordingClock scaledClock_{100};
  std::shared_ptr<virtual_keypad::VirtualKeypad> keypad_;
  QPointer<self_test> test_;
};

const ReceivedCommand SelfTest::kStatus{CMD_GET_STATUS, {}};

TEST_F(SelfTest, AFullRunBlinksSweepsMarksKeysAndRestores) {
  keypad_->setKeypadType(1);
  keypad_->setLedBrightness(3);
  openMainWindow();
  ASSERT_NE(startTest(), nullptr);
  EXPECT_EQ(test_->windowTitle(), "Self Test");
  EXPECT_EQ(test_->pos(), form_->pos());
  ASSERT_TRUE(waitForKeyStep());
  EXPECT_EQ(keypad_->settings().keypadType, 0);
  EXPECT_TRUE(find<QCheckBox>(test_.data(), "ledCheckBox")->isChecked());
  EXPECT_TRUE(find<QCheckBox>(test_.data(), "brightnessCheckBox")->isChecked());
  EXPECT_EQ(find<QLabel>(test_.data(), "ledLevelLbl")->text(), "9");
  EXPECT_EQ(find<QLabel>(test_.data(), "keypadLbl")->text(), "NavigationKeypad ");
  EXPECT_THAT(platform_.messages(),
              ElementsAre(Message{Kind::Warning, "Press each key  on NavigationKeypad... \n",
                                  "NavigationKeypad Keypad"}));

  pressKey(Qt::Key_Left);
  pressKey(Qt::Key_Up);
  EXPECT_TRUE(marked("button2"));
  EXPECT_TRUE(marked("button5"));
  EXPECT_FALSE(marked("button3"));
  EXPECT_EQ(indicator("button2")->parentWidget(), test_->pictureBox1);

  click(test_.data(), "endBtn");
  ASSERT_TRUE(waitUntilClosed());
  // Two status reads; four blinks of 500 ms each way; a check box (80 ms); ten levels, each
  // shown (80 ms) and held (500 ms); a check box; 100 ms after keypad type 0, then polls.
  std::vector<int> expected(10, 500);
  expected.push_back(80);
  for (int level = 0; level <= 9; ++level) expected.insert(expected.end(), {80, 500});
  expected.insert(expected.end(), {80, 100});
  const auto waits = scaledClock_.waits();
  ASSERT_GE(waits.size(), expected.size());
  EXPECT_EQ(std::vector<int>(waits.begin(), waits.begin() + static_cast<long>(expected.size())),
            expected);
  EXPECT_TRUE(std::all_of(waits.begin() + static_cast<long>(expected.size()), waits.end(),
                          [](int wait) { return wait == 100; }));
  EXPECT_EQ(keypad_->receivedCommands(),
            join({{kStatus, kStatus},
                  brightness({0, 8, 0, 8, 0, 8, 0, 8}),
                  brightness({0}),
                  brightness({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
                  brightness({0, 3}),
                  {{CMD_SET_KEYPAD_TYPE, {0}}},
                  {{CMD_SET_KEYPAD_TYPE, {1}}, {CMD_SET_LED_BRIGHTNESS, {3}}}}));
  const auto logged = serviceLog().back();
  EXPECT_EQ(logged["action"], "Test Keypad");
  EXPECT_EQ(logged["result"], "ok");
  EXPECT_EQ(
      logged["results"].dump(),
      R"({"led":"blinked","brightness":"stepped 0 to 9","keys":"Left, Up","ended":"closed"})");
}

TEST_F(SelfTest, AFailedStepEndsTheTestAndStillRestores) {
  keypad_->setKeypadType(1);
  keypad_->setLedBrightness(3);
  const std::vector<ReceivedCommand> restore{{CMD_SET_KEYPAD_TYPE, {1}},
                                             {CMD_SET_LED_BRIGHTNESS, {3}}};
  const auto refusing = [](ReceivedCommand request) {
    virtual_keypad::Behaviour behaviour;
    behaviour.refusedRequests = {request};
    return behaviour;
  };
  virtual_keypad::Behaviour afterThree;
  afterThree.failAfterCommands = 3;  // both status reads and the first level 0 succeed
  const auto blinks = brightness({0, 8, 0, 8, 0, 8, 0, 8});
  struct Case {
    virtual_keypad::Behaviour behaviour;
    std::vector<ReceivedCommand> sent;
    std::string logged;  // the service log's line: message, then the steps' results
  };
  for (const auto& [behaviour, sent, logged] : std::vector<Case>{
           {refusing({CMD_SET_LED_BRIGHTNESS, {4}}),
            join({blinks, brightness({0}), brightness({0, 1, 2, 3, 4}), restore}),
            "the keypad did not answer at level 4 "
            R"({"led":"blinked","brightness":"the keypad did not answer at level 4",)"
            R"("keys":"none pressed","ended":"closed"})"},
           {refusing({CMD_SET_KEYPAD_TYPE, {0}}),
            join({blinks,
                  brightness({0}),
                  brightness({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
                  brightness({0, 3}),
                  {{CMD_SET_KEYPAD_TYPE, {0}}},
                  restore}),
            "the keypad did not take its default code table for the key test "
            R"({"led":"blinked","brightness":"stepped 0 to 9","keys":"none pressed",)"
            R"("ended":"closed"})"},
           // Every blink goes on after its refused level 0, and so does the step after them;
           // the sweep's own level 0 is tested and ends the run.
           {refusing({CMD_SET_LED_BRIGHTNESS, {0}}),
            join({blinks, brightness({0}), brightness({0}), restore}),
            "the keypad did not answer at level 0 "
            R"({"led":"blinked","brightness":"the keypad did not answer at level 0",)"
            R"("keys":"none pressed","ended":"closed"})"},
           {afterThree, join({brightness({0, 8}), restore}),
            "the keypad did not answer at blink 1 "
            R"({"led":"the keypad did not answer at blink 1","brightness":"not reached",)"
            R"("keys":"none pressed","ended":"closed"})"}}) {
    openMainWindow();
    keypad_->setBehaviour(behaviour);
    startTest();
    // Ends by itself, without Close.
    ASSERT_TRUE(waitUntilClosed());
    auto received = keypad_->receivedCommands();
    received.erase(received.begin(), received.begin() + 2);  // the two status reads
    EXPECT_EQ(received, sent);
    const auto line = serviceLog().back();
    EXPECT_EQ(line["result"], "failed");
    EXPECT_EQ(line["message"].get<std::string>() + " " + line["results"].dump(), logged);
    form_.reset();
  }
}

TEST_F(SelfTest, CloseLeavesThePromptToTheUserAndExitEndsTheTestRestoringFirst) {
  keypad_->setKeypadType(1);
  keypad_->setLedBrightness(4);
  openMainWindow();
  platform_.holdNotices = true;
  startTest();
  ASSERT_TRUE(waitFor([&] { return !platform_.messages().empty(); }));
  // The worker waits until the user dismisses the key prompt; Close does not dismiss it.
  click(test_.data(), "endBtn");
  QTest::qWait(300);
  EXPECT_FALSE(test_.isNull());
  EXPECT_NE(keypad_->receivedCommands().back(), (ReceivedCommand{CMD_SET_KEYPAD_TYPE, {0}}));
  click(form_.get(), "button10");
  EXPECT_EQ(keypad_->settings().keypadType, 1);
  EXPECT_EQ(keypad_->settings().ledBrightness, 4);
  EXPECT_EQ(bus().openHandles(), 0);
  EXPECT_EQ(serviceLog().back()["results"]["ended"], "the program ended");
}

TEST_F(SelfTest, StatusFailuresAtOpeningAndAtConstruction) {
  openMainWindow();
  keypad_->refuseCommand(CMD_GET_STATUS);
  EXPECT_EQ(startTest(), nullptr);
  EXPECT_THAT(platform_.messages(),
              ElementsAre(Message{Kind::Warning,
                                  "Unable to get device message..Please click on Scan for and try "
                                  "again..\n",
                                  "Velto NavigationKeypad"}));

  platform_.clearMessages();
  virtual_keypad::Behaviour failing;
  failing.failAfterCommands = 1;  // the main window's read passes, the window's own fails
  keypad_->setBehaviour(failing);
  ASSERT_NE(startTest(), nullptr);
  EXPECT_THAT(
      platform_.messages(),
      ElementsAre(Message{Kind::Warning, "Device status message error..\n", "Velto USB Encoder"}));
  EXPECT_FALSE(test_->testRunning());
  click(test_.data(), "endBtn");
  ASSERT_TRUE(waitUntilClosed());
}
