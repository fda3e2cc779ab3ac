// Windows on the virtual keypad with the scripted platform and the recording clock: every
// message shown and every wait asked for is there to read, and no dialog blocks.
#pragma once

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTest>
#include <QWidget>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "main_window/form1.h"
#include "platform/clock.h"
#include "scripted_platform.h"
#include "settings/keypad_settings_file.h"
#include "temp_dir.h"
#include "test_store.h"
#include "virtual_bus_fixture.h"

// Readable failure output for texts.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

class GuiTest : public VirtualBusTest {
 protected:
  using Message = platform::ScriptedPlatform::Message;
  using Kind = platform::ScriptedPlatform::Kind;

  void SetUp() override {
    VirtualBusTest::SetUp();
    platform::setCurrent(&platform_);
    platform::setClock(&clock_);
    platform_.setLocalAppDataFolder(QString::fromStdString(appData_.path().string()));
    tarvik_usb_encoder::Form1::keyCodeArray = {};
    tarvik_usb_encoder::Form1::configArray = {};
    tarvik_usb_encoder::FileName.clear();
  }

  void TearDown() override {
    form_.reset();
    QApplication::processEvents();
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window->isVisible()) window->close();
    }
    QApplication::processEvents();
    store_.reset();
    platform::setCurrent(nullptr);
    platform::setClock(nullptr);
    VirtualBusTest::TearDown();
  }

  // The configuration file the program uses for this test's user.
  std::string configFile() const {
    return (appData_.path() / navkeypad::settings::kConfigFolderName /
            navkeypad::settings::kConfigFileName)
        .string();
  }

  // The bench's store of the windows, beside their configuration file.
  std::string storeFile() const {
    return (appData_.path() / navkeypad::settings::kConfigFolderName / "bench.sqlite3").string();
  }
  // The service log's entries, oldest first.
  std::vector<nlohmann::ordered_json> serviceLog() const { return StoredLog(storeFile()); }

  template <typename T>
  static T* find(QWidget* window, const char* name) {
    T* found = window->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  static void click(QWidget* window, const char* button) {
    QTest::mouseClick(find<QWidget>(window, button), Qt::LeftButton);
    QApplication::processEvents();
  }

  static void trigger(QWidget* window, const char* action) {
    find<QAction>(window, action)->trigger();
    QApplication::processEvents();
  }

  // Picks an entry the way a user does: open the list and click the entry.
  static void choose(QComboBox* list, int index) {
    list->showPopup();
    QApplication::processEvents();
    auto* view = list->view();
    view->scrollTo(view->model()->index(index, 0));
    const QRect entry = view->visualRect(view->model()->index(index, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, entry.center());
    QApplication::processEvents();
  }

  // The texts shown, all of them or the warnings only.
  std::vector<QString> messages(std::optional<Kind> only = std::nullopt) const {
    std::vector<QString> texts;
    for (const auto& message : platform_.messages()) {
      if (!only || message.kind == *only) texts.push_back(message.text);
    }
    return texts;
  }
  std::vector<QString> warnings() const { return messages(Kind::Warning); }

  // Lets events run until `done`, giving up after a generous guard so that a broken window
  // fails the test instead of hanging it.
  template <typename Predicate>
  static bool waitFor(Predicate done) {
    QElapsedTimer guard;
    guard.start();
    while (!done()) {
      if (guard.elapsed() > 20000) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
  }

  // Starts the program's main window; its first showing runs the load sequence.
  tarvik_usb_encoder::Form1& openMainWindow() {
    // As the program opens it: files of earlier versions beside the configuration file come in.
    navkeypad::store::StorePlace place;
    place.file = storeFile();
    place.oldFolders = {std::filesystem::path(storeFile()).parent_path().string()};
    auto store = navkeypad::store::OpenSqliteStore(place);
    form_ = std::make_unique<tarvik_usb_encoder::Form1>(*store);
    if (store_) retired_.push_back(std::move(store_));
    store_ = std::move(store);
    form_->show();
    QApplication::processEvents();
    return *form_;
  }

  platform::ScriptedPlatform platform_;
#ifdef NAVKEYPAD_ON_TWIN
  // The windows' waits pass for real, a quarter of each: a keypad served through udev takes its
  // moment to come back, as a real one does.
  platform::RecordingClock clock_{4};
#else
  platform::RecordingClock clock_;
#endif
  TempDir appData_;
  std::unique_ptr<navkeypad::store::Store> store_;
  std::vector<std::unique_ptr<navkeypad::store::Store>> retired_;  // of windows opened before
  std::unique_ptr<tarvik_usb_encoder::Form1> form_;
};
