// Renders the windows on the virtual keypad into the PNGs the README shows:
//   build/docs/screenshots docs
//   QT_SCALE_FACTOR=2 build/docs/screenshots docs/scale-2
//   build/docs/screenshots docs/dark --dark
//   xvfb-run -s "-screen 0 1366x768x24" build/docs/screenshots docs/1366x768 --screen
// (the last draws the whole screen, to show where each window opens and that it fits)
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "app/splash_form.h"
#include "bsl430/bsl430.h"
#include "code_table/my4way_layout.h"
#include "firmware/firmware_upgrade.h"
#include "firmware/pending_upgrade.h"
#include "hidapi_virtual.h"
#include "main_window/form1.h"
#include "platform/clock.h"
#include "platform/window_placement.h"
#include "scripted_platform.h"
#include "self_test/self_test.h"
#include "stand_in_loader.h"
#include "station_window/station_window.h"
#include "store/sqlite_store.h"
#include "virtual_device_watch.h"
#include "virtual_keypad.h"

namespace {

bool wholeScreen = false;

bool Save(QWidget& window, const QString& folder, const char* name) {
  const QString path = folder + "/" + name;
  QCoreApplication::processEvents();
  const bool ok = (wholeScreen ? window.screen()->grabWindow(0) : window.grab()).save(path);
  std::printf("%s %s\n", ok ? "wrote" : "cannot write", qPrintable(path));
  return ok;
}

// Lets events run until `done`; false, said on standard error, after a minute without it.
template <typename Predicate>
bool WaitUntil(const char* what, Predicate done) {
  QElapsedTimer guard;
  guard.start();
  while (!done()) {
    if (guard.elapsed() > 60000) {
      std::fprintf(stderr, "gave up waiting for %s\n", what);
      return false;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}

// A dark desktop theme, as a user who chose one has it.
QPalette DarkPalette() {
  QPalette dark;
  const QColor window(45, 45, 48), base(30, 30, 30), text(230, 230, 230), greyed(130, 130, 130);
  dark.setColor(QPalette::Window, window);
  dark.setColor(QPalette::WindowText, text);
  dark.setColor(QPalette::Base, base);
  dark.setColor(QPalette::AlternateBase, window);
  dark.setColor(QPalette::Text, text);
  dark.setColor(QPalette::Button, QColor(60, 60, 64));
  dark.setColor(QPalette::ButtonText, text);
  dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
  dark.setColor(QPalette::HighlightedText, Qt::white);
  dark.setColor(QPalette::PlaceholderText, greyed);
  dark.setColor(QPalette::Link, QColor(110, 170, 255));
  dark.setColor(QPalette::LinkVisited, QColor(180, 140, 255));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    dark.setColor(QPalette::Disabled, role, greyed);
  }
  return dark;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString folder = argc > 1 ? argv[1] : "docs";
  if (argc > 2 && QString(argv[2]) == "--dark") app.setPalette(DarkPalette());
  wholeScreen = argc > 2 && QString(argv[2]) == "--screen";
  QDir().mkpath(folder);
  QDir(QDir::tempPath() + "/navkeypad-screenshots").removeRecursively();
  virtual_keypad::UseStandInLoader();
  navkeypad::SetHid(&virtual_keypad::VirtualHid());

  // A keypad on its custom table, and a scratch data folder so no real settings are touched.
  auto keypad = virtual_keypad::VirtualBus::instance().plug();
  keypad->setKeypadType(2);
  keypad->setLedBrightness(6);
  platform::ScriptedPlatform scripted;
  scripted.setLocalAppDataFolder(QDir::tempPath() + "/navkeypad-screenshots");
  platform::setCurrent(&scripted);

  bool ok = true;
  {
    tarvik_usb_encoder::velto_splash_form splash;
    splash.show();
    app.processEvents();
    ok = Save(splash, folder, "splash.png");
    splash.timer1->stop();
  }

  // A virtual bench's store of its own, beside the scratch settings.
  navkeypad::store::StorePlace place;
  place.file =
      (QDir::tempPath() + "/navkeypad-screenshots/screenshots-bench.sqlite3").toStdString();
  const auto store = navkeypad::store::OpenSqliteStore(place);
  tarvik_usb_encoder::Form1 form(*store);
  platform::CentreOnScreen(&form, nullptr);
  form.show();
  app.processEvents();
  ok = Save(form, folder, "main-window.png") && ok;

  form.findChild<QAction*>("aboutVeltoUSBEncoderConfiguratorToolStripMenuItem1")->trigger();
  app.processEvents();
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->objectName() != "about" || !window->isVisible()) continue;
    ok = Save(*window, folder, "about-window.png") && ok;
    window->close();
  }

  // The editor with Up given "0x1E    1" and Left selected.
  QTest::mouseClick(form.findChild<QPushButton*>("button1"), Qt::LeftButton);
  auto* editor = form.findChild<tarvik_usb_encoder::My4way_layout*>();
  QTest::mouseClick(editor->findChild<QPushButton*>("key5Btn"), Qt::LeftButton);
  auto* codes = editor->findChild<QComboBox*>("selectCodeCbox");
  codes->setCurrentIndex(0x1E);
  editor->selectCodeCbox_SelectionChangeCommitted(0x1E);
  QTest::mouseClick(editor->findChild<QPushButton*>("key2Btn"), Qt::LeftButton);
  app.processEvents();
  ok = Save(*editor, folder, "code-table-editor.png") && ok;
  editor->close();

  // The self test in its key step, with Left and Up pressed; time runs a hundred times faster.
  platform::RecordingClock fast(100);
  platform::setClock(&fast);
  QTest::mouseClick(form.findChild<QPushButton*>("button2"), Qt::LeftButton);
  auto* test = form.findChild<tarvik_usb_encoder::self_test*>();
  auto* lastStep = test->findChild<QCheckBox*>("brightnessCheckBox");
  if (!WaitUntil("the self test's last step", [&] { return lastStep->isChecked(); })) return 1;
  QTest::keyClick(test, Qt::Key_Left);
  QTest::keyClick(test, Qt::Key_Up);
  app.processEvents();
  ok = Save(*test, folder, "self-test.png") && ok;
  QTest::mouseClick(test->findChild<QPushButton*>("endBtn"), Qt::LeftButton);
  if (!WaitUntil("the self test to close",
                 [&] { return form.findChild<tarvik_usb_encoder::self_test*>() == nullptr; })) {
    return 1;
  }

  // The upgrade window after a successful run of the demo firmware 2.01.
  virtual_keypad::VirtualDeviceWatch watch;
  BSL_setDeviceWatch(&watch);
  scripted.answerQuestion(true);
  // NAVKEYPAD_SCREENSHOT_FIRMWARE names another image (the Windows journey's, in a folder
  // whose name is not ASCII); the window's texts are then written beside the pictures too.
  const QString firmware = qEnvironmentVariable("NAVKEYPAD_SCREENSHOT_FIRMWARE");
  scripted.answerOpenFile(firmware.isEmpty() ? QString(NAVKEYPAD_SOURCE_DIR) +
                                                   "/resources/firmware/keypad-firmware-2.01.txt"
                                             : firmware);
  QTest::mouseClick(form.findChild<QPushButton*>("btnLoadFirmware"), Qt::LeftButton);
  app.processEvents();
  auto* upgrade = form.findChild<tarvik_usb_encoder::firmware_upgrade*>();
  // The keypad restarts into its loader: a first count may find nothing, and only the count
  // after its arrival enables Upgrade.
  auto* start = upgrade->findChild<QPushButton*>("btnUpgrade");
  if (!WaitUntil("the loader to be counted", [&] { return start->isEnabled(); })) return 1;
  bool finished = false;
  bool restored = false;
  QObject::connect(upgrade, &tarvik_usb_encoder::firmware_upgrade::restoreFinished, [&](bool done) {
    finished = true;
    restored = done;
  });
  QTest::mouseClick(start, Qt::LeftButton);
  // The click is served from the event loop, and the download may end within one turn of it;
  // a failed download ends without a restore, with Close enabled and the reason in the box.
  auto* status = upgrade->findChild<QPlainTextEdit*>("statusBox");
  WaitUntil("the upgrade", [&] {
    return finished || (!tarvik_usb_encoder::firmware_upgrade::upgradeInProgress() &&
                        !status->toPlainText().isEmpty());
  });
  app.processEvents();
  if (!restored) {
    std::fprintf(stderr, "the upgrade failed:\n%s\n", qPrintable(status->toPlainText()));
    ok = false;
  }
  ok = Save(*upgrade, folder, "firmware-upgrade.png") && ok;
  if (!firmware.isEmpty()) {
    QFile texts(QDir(folder).filePath("firmware-upgrade.txt"));
    ok = texts.open(QIODevice::WriteOnly) && texts.write(status->toPlainText().toUtf8()) > 0 && ok;
  }
  upgrade->close();
  app.processEvents();

  // Three keypads, one of them left in its loader by an upgrade that did not finish: the list
  // beside Scan, opened on the waiting one.
  keypad->setSerialNumber("VNK000124");
  virtual_keypad::VirtualBus::instance().plug()->setSerialNumber("VNK000125");
  const auto waiting = virtual_keypad::VirtualBus::instance().plug();
  waiting->startInLoader();
  navkeypad::firmware::PendingUpgrade record;
  record.settings.serialNumber = "VNK000126";
  record.downloaded = true;
  record.port = waiting->port();  // kept where it left, where it waits
  store->changeRecords([&](auto& records) { records = {record}; });
  QTest::mouseClick(form.findChild<QPushButton*>("button11"), Qt::LeftButton);
  app.processEvents();
  ok = Save(form, folder, "several-keypads.png") && ok;
  auto* keypads = form.findChild<QComboBox*>("keypadList");
  keypads->showPopup();
  app.processEvents();
  ok = Save(*keypads->view()->window(), folder, "keypad-list.png") && ok;
  keypads->hidePopup();
  form.close();
  app.processEvents();

  // The station after three keypads: two upgraded and given numbers, one whose number could not
  // be written; time runs a hundred times faster.
  virtual_keypad::VirtualBus::instance().reset();
  store->changeRecords([](auto& records) { records.clear(); });
  platform::setClock(&fast);
  const QString labels = QDir::tempPath() + "/navkeypad-screenshots/labels";
  QDir().mkpath(labels);
  for (int at = 0; at < 3; ++at) {
    auto arriving = virtual_keypad::VirtualBus::instance().plug();
    arriving->setSerialNumber("");
    arriving->setAbsentUntil(fast.tickMs() + 500 + 60000 * at);
    if (at == 1) arriving->refuseCommand(navkeypad::CMD_SET_SERIAL_NUMBER);
  }
  navkeypad::station_window::StationWindow station(
      *store, "navkeypad-virtual",
      {QString(NAVKEYPAD_SOURCE_DIR "/resources/firmware/keypad-firmware-2.01.txt").toStdString(),
       "--expect-version", "2.01", "--serial-from", "VNK-0100", "--labels", labels.toStdString()});
  platform::CentreOnScreen(&station, nullptr);
  station.show();
  if (!WaitUntil("the station's third keypad", [&] {
        const auto* counts = station.findChild<QLabel*>("counts");
        return counts != nullptr && counts->text().startsWith("3 keypads");
      })) {
    return 1;
  }
  app.processEvents();
  ok = Save(station, folder, "station-window.png") && ok;
  QTest::mouseClick(station.findChild<QPushButton*>("stopStation"), Qt::LeftButton);
  WaitUntil("the station to end", [&] { return !station.running(); });
  BSL_setDeviceWatch(nullptr);
  platform::setClock(nullptr);
  navkeypad::SetHid(nullptr);
  return ok ? 0 : 1;
}
