// The station window as a technician uses it: keypads plugged in one after another on the virtual
// bus, each read from its tile; a failure says what to do; a label is made again on request. Its
// names and keyboard use are tried through the accessibility bus (station_window_atspi.py).
#include <gmock/gmock.h>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <filesystem>

#include "gui_fixture.h"
#include "station_window/station_window.h"

using navkeypad::station_window::StationWindow;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class StationWindowTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    // The station looks at the bus every 100 ms of its clock: a hundredth of that passes.
    platform::setClock(&stationClock_);
    navkeypad::store::StorePlace place;
    place.file = storeFile();
    store_ = navkeypad::store::OpenSqliteStore(place);
  }
  void TearDown() override {
    window_.reset();
    GuiTest::TearDown();
  }

  StationWindow& open(std::vector<std::string> words) {
    window_ = std::make_unique<StationWindow>(*store_, "navkeypad-virtual", std::move(words));
    window_->show();
    return *window_;
  }
  // A keypad without a serial number, plugged in `afterMs` of the station's clock from now.
  std::shared_ptr<virtual_keypad::VirtualKeypad> arriving(uint64_t afterMs) {
    auto keypad = bus().plug();
    keypad->setSerialNumber("");
    keypad->setAbsentUntil(stationClock_.tickMs() + afterMs);
    return keypad;
  }
  QString shown(const std::string& tile, const char* name) const {
    auto* frame = window_->findChild<QWidget*>(QString::fromStdString("tile:" + tile));
    if (frame == nullptr) return "(no tile)";
    auto* label = frame->findChild<QLabel*>(name);
    return label != nullptr ? label->text() : "(none)";
  }
  QPushButton* reprint(const std::string& tile) const {
    return window_->findChild<QWidget*>(QString::fromStdString("tile:" + tile))
        ->findChild<QPushButton*>("reprint");
  }
  QString text(const char* name) const {
    auto* label = window_->findChild<QLabel*>(name);
    return label != nullptr ? label->text() : "(none)";
  }

#ifdef NAVKEYPAD_ON_TWIN
  // A keypad served through udev takes its moment to come and go, as a real one does.
  platform::RecordingClock stationClock_{4};
#else
  platform::RecordingClock stationClock_{100};
#endif
  TempDir labels_;
  std::unique_ptr<StationWindow> window_;
};

// Two keypads at two ports: the first numbered and labelled, the second failing its number. Each
// tile says in words how it ended and what to do; counts and log follow; a label is made again.
TEST_F(StationWindowTest, EachPortShowsItsKeypadItsEndAndWhatToDoNext) {
  const std::string folder = labels_.path().string();
  auto first = arriving(300);
  auto second = arriving(20000);
  second->refuseCommand(navkeypad::CMD_SET_SERIAL_NUMBER);
  StationWindow& window = open({"--serial-from", "VNK-0100", "--labels", folder});
  ASSERT_TRUE(waitFor([&] { return text("shownNextSerial") == "VNK-0100"; }));
  EXPECT_EQ(text("shownLabels").toStdString(), folder);
  // The counts come after the second keypad's line.
  ASSERT_TRUE(waitFor([&] { return text("counts") == "2 keypads, 2 tries\n1 done, 1 failed"; }))
      << text("stationState").toStdString();
  EXPECT_EQ(shown(first->port(), "serial"), "VNK-0100");
  EXPECT_EQ(shown(first->port(), "result"), "Done");
  EXPECT_EQ(shown(first->port(), "step"), "Done to it: serial number");
  EXPECT_EQ(shown(first->port(), "label"),
            QString::fromStdString("Label: " + folder + "/VNK-0100.png"));
  EXPECT_EQ(shown(second->port(), "serial"), "No serial number");
  EXPECT_THAT(shown(second->port(), "advice").toStdString(),
              AllOf(StartsWith("At serial number: "),
                    EndsWith("\nTo try again, unplug the keypad and plug it in again.")));
  EXPECT_EQ(shown(second->port(), "result"), "Failed");
  // The number the failed keypad was given is kept from everyone: the sequence stands after it.
  EXPECT_EQ(text("shownNextSerial"), "VNK-0102");
  auto* log = find<QListWidget>(&window, "serviceLog");
  ASSERT_GE(log->count(), 2);
  EXPECT_THAT(log->item(log->count() - 2)->text().toStdString(), HasSubstr("VNK-0100  station"));

  // The label went missing: made again from its tile, with what the keypad reported.
  const auto label = labels_.path() / "VNK-0100.png";
  ASSERT_TRUE(std::filesystem::remove(label));
  QTest::mouseClick(reprint(first->port()), Qt::LeftButton);
  EXPECT_TRUE(std::filesystem::exists(label));
  EXPECT_THAT(shown(first->port(), "label").toStdString(), HasSubstr("Label made again: "));
  EXPECT_FALSE(reprint(second->port())->isEnabled());

  // Stopped from the keyboard: the summary, and the button closes the window.
  QTest::keyClick(find<QPushButton>(&window, "stopStation"), Qt::Key_Space);
  ASSERT_TRUE(waitFor([&] { return !window.running(); }));
  QApplication::processEvents();
  EXPECT_EQ(text("stationState"),
            "Station: 2 keypads (2 tries), 1 ok, 1 failed (stopped).\nSee the tiles for what is "
            "left.");
}

// Without words the window asks for the station's settings; what the station refuses is said on
// the form, to be corrected there, and nothing is taken from the bus.
TEST_F(StationWindowTest, TheFormStartsTheStationOrSaysWhyNot) {
  auto keypad = arriving(100);
  StationWindow& window = open({});
  QTest::keyClicks(find<QLineEdit>(&window, "serialFrom"), "VNK");
  QTest::keyClick(find<QLineEdit>(&window, "serialFrom"), Qt::Key_Return);
  ASSERT_TRUE(waitFor([&] { return !text("askProblem").isEmpty(); }));
  EXPECT_EQ(text("askProblem"),
            "The station did not start: --serial-from needs a serial number that ends in digits "
            "to count up, not 'VNK'.");
  EXPECT_TRUE(keypad->receivedCommands().empty());
  QTest::keyClicks(find<QLineEdit>(&window, "serialFrom"), "-0007");
  click(&window, "startStation");
  ASSERT_TRUE(waitFor([&] { return shown(keypad->port(), "result") == "Done"; }));
  EXPECT_EQ(shown(keypad->port(), "serial"), "VNK-0007");
  EXPECT_EQ(text("shownOperator"), "not named (--operator)");
}

// The main window's way to the station: the program again, as the station, and this window ends.
TEST_F(StationWindowTest, TheMainWindowOpensTheStationAsAProgramOfItsOwn) {
  connectKeypad();
  auto& form = openMainWindow();
  trigger(&form, "openStationWindow");
  EXPECT_EQ(platform_.started(), std::vector<QStringList>{{"--station"}});
  EXPECT_FALSE(form.isVisible());
}
