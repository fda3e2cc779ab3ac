// The window program's start-up, replayed from its recordings: the main window asks exactly
// what it asked when recorded, and shows what it was told.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QTextEdit>

#include "gui_fixture.h"
#include "support/atomic_file.h"
#include "wire/recording.h"

using tarvik_usb_encoder::Form1;

class WindowRecording : public GuiTest {
 protected:
  void TearDown() override {
    form_.reset();
    QApplication::processEvents();
    navkeypad::SetHid(nullptr);
    GuiTest::TearDown();
  }
  std::unique_ptr<wire::ReplayHid> replay(const std::string& name) {
    std::string text;
    EXPECT_TRUE(support::ReadWholeFile(
        std::string(NAVKEYPAD_SOURCE_DIR) + "/tests/recordings/" + name, text));
    auto replay = std::make_unique<wire::ReplayHid>(wire::ParseRecording(text), name);
    navkeypad::SetHid(replay.get());
    openMainWindow();
    return replay;
  }
  QString firstLine() {
    return find<QTextEdit>(form_.get(), "richTextBox1")->toPlainText().split('\n')[0];
  }
};

TEST_F(WindowRecording, StartUpWithAKeypad) {
  const auto replayed = replay("window-start-up.jsonl");
  EXPECT_TRUE(replayed->finished()) << replayed->failure() << replayed->leftOver();
  EXPECT_TRUE(firstLine().endsWith("Firmware Version        -   1.04"));
  EXPECT_TRUE(messages().empty());
}
