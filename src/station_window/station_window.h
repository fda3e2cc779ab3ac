// The station on screen: what the station is set to do, a tile for each port read from across a
// bench (the keypad's number, its firmware, the step it is at, how it ended and what to do next),
// the counts and the last lines of the service log. The station itself is the command line's,
// run on a thread of its own; the window only shows what it is told and asks it to stop.
#pragma once

#include <QMainWindow>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "navkeypad_cli.h"

class QCheckBox;
class QFormLayout;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QWidget;

namespace navkeypad::store {
class Store;
}

namespace navkeypad::station_window {

class StationWindow : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr const char* kCaption = "Station";
  static constexpr int kLogLines = 6;

  // `words`: the station's options and firmware as the command line takes them; none: the
  // window asks for them first.
  StationWindow(store::Store& store, std::string program, std::vector<std::string> words);
  ~StationWindow() override;
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;

  bool running() const { return worker_.joinable() && !finished_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  class Watcher;
  struct Tile {
    QLabel* serial = nullptr;
    QLabel* firmware = nullptr;
    QLabel* step = nullptr;
    QProgressBar* progress = nullptr;
    QLabel* result = nullptr;
    QLabel* advice = nullptr;
    QLabel* label = nullptr;
    QPushButton* reprint = nullptr;
    std::string serialNumber;
    std::string firmwareAfter;
    bool working = false;  // a keypad is in hand there
  };

  QWidget* buildAskForm();
  QWidget* buildRunView();
  void startFromForm();
  void start(std::vector<std::string> words);
  void showSettings(const cli::StationSettings& settings);
  void showInHand(const std::string& port, const std::string& serial, const std::string& firmware,
                  const std::string& step, int percent);
  void showSerial(Tile& tile, const std::string& serial);
  void showVisit(const nlohmann::ordered_json& line);
  void showCounts(int keypads, int tries, int ok, int skipped);
  void showEnd(const std::string& words, int status);
  void showLog();
  void askToStop();
  Tile& tileFor(const std::string& port);
  void reprint(const std::string& port);

  store::Store& store_;
  std::string program_;
  std::atomic<bool> stopAsked_{false};
  std::atomic<bool> finished_{false};
  bool closeWhenEnded_ = false;
  std::unique_ptr<Watcher> watcher_;
  std::thread worker_;
  cli::StationSettings settings_;
  std::string inHandPort_;
  std::map<std::string, Tile> tiles_;

  QStackedWidget* pages_ = nullptr;
  QLineEdit* firmwareEdit_ = nullptr;
  QLineEdit* versionEdit_ = nullptr;
  QLineEdit* configEdit_ = nullptr;
  QLineEdit* serialFromEdit_ = nullptr;
  QLineEdit* labelsEdit_ = nullptr;
  QCheckBox* printLabels_ = nullptr;
  QLabel* askProblem_ = nullptr;
  QFormLayout* settingsForm_ = nullptr;
  QLabel* counts_ = nullptr;
  QGridLayout* tileGrid_ = nullptr;
  QLabel* waiting_ = nullptr;
  QListWidget* log_ = nullptr;
  QLabel* state_ = nullptr;
  QPushButton* stop_ = nullptr;
};

}  // namespace navkeypad::station_window
