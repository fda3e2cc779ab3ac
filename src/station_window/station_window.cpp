#include "station_window/station_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <sstream>
#include <streambuf>

#include "platform/platform.h"
#include "store/store.h"

namespace navkeypad::station_window {

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// Each whole line written to it goes to `line`: the station's notes, as they come.
class LineSink : public std::streambuf {
 public:
  explicit LineSink(std::function<void(const std::string&)> line) : line_(std::move(line)) {}
  const std::string& all() const { return all_; }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    all_.push_back(static_cast<char>(c));
    if (c == '\n') {
      line_(pending_);
      pending_.clear();
    } else {
      pending_.push_back(static_cast<char>(c));
    }
    return c;
  }

 private:
  std::function<void(const std::string&)> line_;
  std::string pending_;
  std::string all_;
};

// How a keypad ended, in words first: colour only repeats them.
struct Ending {
  const char* words;
  const char* colour;
};
Ending EndingOf(const std::string& result) {
  if (result == "ok") return {"Done", "#1b5e20"};
  if (result == "skipped") return {"Done earlier; left as it is", "#455a64"};
  return {"Failed", "#b71c1c"};
}

void Name(QWidget* widget, const char* objectName, const QString& accessibleName) {
  widget->setObjectName(objectName);
  widget->setAccessibleName(accessibleName);
}
// A text that changes is read out as itself; what it is, is said as its description.
void Describe(QLabel* label, const char* objectName, const QString& description) {
  label->setObjectName(objectName);
  label->setAccessibleDescription(description);
}

}  // namespace

// Hands what the station says, on its thread, to the window's.
class StationWindow::Watcher : public cli::StationWatcher {
 public:
  explicit Watcher(StationWindow* window) : window_(window) {}
  template <typename Show>
  void post(Show show) {
    QMetaObject::invokeMethod(window_, std::move(show), Qt::QueuedConnection);
  }
  void started(const cli::StationSettings& settings) override {
    post([w = window_, settings] { w->showSettings(settings); });
  }
  void inHand(const std::string& port, const std::string& serial, const std::string& firmware,
              const std::string& step, int percent) override {
    post([=, w = window_] { w->showInHand(port, serial, firmware, step, percent); });
  }
  void visited(const nlohmann::ordered_json& line, const std::string&) override {
    post([w = window_, line] { w->showVisit(line); });
  }
  void counted(int keypads, int tries, int ok, int skipped) override {
    post([=, w = window_] { w->showCounts(keypads, tries, ok, skipped); });
  }
  void ended(const nlohmann::ordered_json&, const std::string& words) override { words_ = words; }
  bool stopAsked() override { return window_->stopAsked_; }
  std::string words_;  // the summary, read once the station's thread has ended

 private:
  StationWindow* window_;
};

StationWindow::StationWindow(store::Store& store, std::string program,
                             std::vector<std::string> words)
    : store_(store), program_(std::move(program)), watcher_(std::make_unique<Watcher>(this)) {
  setObjectName("StationWindow");
  setWindowTitle(kCaption);
  setAccessibleName("Station");
  pages_ = new QStackedWidget(this);
  pages_->addWidget(buildAskForm());
  pages_->addWidget(buildRunView());
  setCentralWidget(pages_);
  resize(1280, 680);
  if (!words.empty()) start(std::move(words));
}

StationWindow::~StationWindow() {
  stopAsked_ = true;
  if (worker_.joinable()) worker_.join();
}

QWidget* StationWindow::buildAskForm() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* intro = new QLabel(
      "Every keypad plugged in while the station runs is finished on its own: the firmware "
      "below where it runs another, a serial number from the first one given where it has none, "
      "and the settings file's settings. Leave out what the keypads need not get.");
  intro->setWordWrap(true);
  layout->addWidget(intro);
  auto* form = new QFormLayout;
  const auto field = [&](QLineEdit*& edit, const char* name, const QString& label,
                         const QString& hint) {
    edit = new QLineEdit;
    Name(edit, name, QString(label).remove('&'));
    edit->setPlaceholderText(hint);
    auto* row = new QHBoxLayout;
    row->addWidget(edit);
    auto* shown = new QLabel(label + ":");
    shown->setBuddy(edit);
    form->addRow(shown, row);
    return row;
  };
  const auto browse = [&](QHBoxLayout* row, QLineEdit* edit, const char* name,
                          const QString& accessible, bool folder) {
    auto* button = new QPushButton("Browse...");
    Name(button, name, accessible);
    row->addWidget(button);
    connect(button, &QPushButton::clicked, this, [edit, folder, accessible] {
      const auto chosen =
          folder ? platform::current().chooseFolder({accessible, edit->text()})
                 : platform::current().openFile({accessible, "All files (*)", edit->text()});
      if (chosen) edit->setText(*chosen);
    });
  };
  browse(field(firmwareEdit_, "firmwareFile", "&Firmware file", "keypads keep their firmware"),
         firmwareEdit_, "browseFirmware", "Choose the firmware file", false);
  field(versionEdit_, "firmwareVersion", "Firmware &version", "the version the file holds");
  browse(field(configEdit_, "settingsFile", "&Settings file", "keypads keep their settings"),
         configEdit_, "browseSettings", "Choose the settings file", false);
  field(serialFromEdit_, "serialFrom", "First serial &number", "no numbers are given");
  browse(field(labelsEdit_, "labelFolder", "&Labels folder", "no label files"), labelsEdit_,
         "browseLabels", "Choose the labels folder", true);
  printLabels_ = new QCheckBox("&Print a label for each keypad on the default printer");
  Name(printLabels_, "printLabels", "Print a label for each keypad on the default printer");
  form->addRow(QString(), printLabels_);
  layout->addLayout(form);
  askProblem_ = new QLabel;
  askProblem_->setWordWrap(true);
  Describe(askProblem_, "askProblem", "Why the station did not start");
  askProblem_->setStyleSheet("color: #b71c1c;");
  layout->addWidget(askProblem_);
  auto* start = new QPushButton("S&tart the Station");
  Name(start, "startStation", "Start the station");
  start->setDefault(true);
  connect(start, &QPushButton::clicked, this, &StationWindow::startFromForm);
  for (QLineEdit* edit : {firmwareEdit_, versionEdit_, configEdit_, serialFromEdit_, labelsEdit_}) {
    connect(edit, &QLineEdit::returnPressed, this, &StationWindow::startFromForm);
  }
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(start);
  layout->addLayout(buttons);
  layout->addStretch();
  return page;
}

QWidget* StationWindow::buildRunView() {
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  auto* top = new QHBoxLayout;
  auto* settingsBox = new QGroupBox("The station's settings");
  settingsBox->setAccessibleName("The station's settings");
  settingsForm_ = new QFormLayout(settingsBox);
  top->addWidget(settingsBox, 3);
  auto* countsBox = new QGroupBox("So far");
  auto* countsLayout = new QVBoxLayout(countsBox);
  counts_ = new QLabel;
  Describe(counts_, "counts", "Keypads and tries so far");
  QFont big = counts_->font();
  big.setPointSize(big.pointSize() + 6);
  big.setBold(true);
  counts_->setFont(big);
  counts_->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  countsLayout->addWidget(counts_);
  state_ = new QLabel;
  state_->setWordWrap(true);
  Describe(state_, "stationState", "What the station is doing");
  countsLayout->addWidget(state_);
  countsLayout->addStretch();
  stop_ = new QPushButton("&Stop after the keypad in hand");
  Name(stop_, "stopStation", "Stop the station after the keypad in hand");
  connect(stop_, &QPushButton::clicked, this, [this] {
    if (running()) {
      askToStop();
    } else {
      close();
    }
  });
  countsLayout->addWidget(stop_);
  top->addWidget(countsBox, 2);
  layout->addLayout(top);

  auto* tiles = new QWidget;
  tileGrid_ = new QGridLayout(tiles);
  tileGrid_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  waiting_ = new QLabel("Waiting for keypads to be plugged in.");
  waiting_->setObjectName("waiting");
  QFont waitingFont = waiting_->font();
  waitingFont.setPointSize(waitingFont.pointSize() + 8);
  waiting_->setFont(waitingFont);
  tileGrid_->addWidget(waiting_, 0, 0);
  auto* scroll = new QScrollArea;
  scroll->setWidget(tiles);
  scroll->setWidgetResizable(true);
  scroll->setAccessibleName("Keypads by port");
  layout->addWidget(scroll, 1);

  auto* logBox = new QGroupBox("The last lines of the service log");
  auto* logLayout = new QVBoxLayout(logBox);
  log_ = new QListWidget;
  Name(log_, "serviceLog", "The last lines of the service log");
  log_->setFixedHeight(log_->fontMetrics().height() * (kLogLines + 1));
  logLayout->addWidget(log_);
  layout->addWidget(logBox);
  return page;
}

void StationWindow::startFromForm() {
  std::vector<std::string> words;
  const auto text = [](QLineEdit* edit) { return platform::PathText(edit->text().trimmed()); };
  if (!firmwareEdit_->text().trimmed().isEmpty() || !versionEdit_->text().trimmed().isEmpty()) {
    words.push_back(text(firmwareEdit_));
    words.insert(words.end(), {"--expect-version", text(versionEdit_)});
  }
  for (const auto& [edit, option] : {std::pair{configEdit_, "--config"},
                                     {serialFromEdit_, "--serial-from"},
                                     {labelsEdit_, "--labels"}}) {
    if (!edit->text().trimmed().isEmpty()) words.insert(words.end(), {option, text(edit)});
  }
  if (printLabels_->isChecked()) words.push_back("--print-labels");
  start(std::move(words));
}

void StationWindow::start(std::vector<std::string> words) {
  if (worker_.joinable()) worker_.join();
  askProblem_->clear();
  stopAsked_ = false;
  finished_ = false;
  words.insert(words.begin(), "station");
  worker_ = std::thread([this, words = std::move(words)] {
    LineSink notes([this](const std::string& line) {
      QMetaObject::invokeMethod(
          this, [this, line] { state_->setText(Q(line)); }, Qt::QueuedConnection);
    });
    std::ostream err(&notes);
    std::ostringstream out;
    cli::Io io{out, err, store_, false, program_};
    io.watcher = watcher_.get();
    const int status = cli::Run(words, io);
    const std::string summary = watcher_->words_.empty() ? notes.all() : watcher_->words_;
    QMetaObject::invokeMethod(
        this, [this, summary, status] { showEnd(summary, status); }, Qt::QueuedConnection);
  });
}

void StationWindow::showSettings(const cli::StationSettings& settings) {
  settings_ = settings;
  while (settingsForm_->rowCount() > 0) settingsForm_->removeRow(0);
  const auto row = [&](const char* name, const QString& label, const std::string& value,
                       const char* none) {
    auto* shown = new QLabel(value.empty() ? none : Q(value));
    Describe(shown, name, label);
    shown->setWordWrap(true);
    shown->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    settingsForm_->addRow(label + ":", shown);
  };
  row("shownFirmware", "Firmware",
      settings.firmware.empty() ? "" : settings.firmware + " (version " + settings.version + ")",
      "none: keypads keep the firmware they run");
  row("shownSettings", "Settings file", settings.config, "none: keypads keep their settings");
  row("shownNextSerial", "Next serial number", settings.nextSerial,
      "none: keypads keep their numbers");
  row("shownSiteFile", "Site file", settings.siteFile, "none");
  row("shownStore", "Kept in", settings.store, "");
  row("shownOperator", "Operator", settings.operatorName, "not named (--operator)");
  std::string labels = settings.labelFolder.value_or("");
  if (settings.labelPrinter) {
    labels += (labels.empty() ? "" : "; ") + (settings.labelPrinter->empty()
                                                  ? std::string("printed")
                                                  : "printed on " + *settings.labelPrinter);
  }
  row("shownLabels", "Labels", labels, "none");
  showCounts(0, 0, 0, 0);
  state_->setText("Waiting for keypads to be plugged in.");
  stop_->setText("&Stop after the keypad in hand");
  stop_->setAccessibleName("Stop the station after the keypad in hand");
  pages_->setCurrentIndex(1);
  showLog();
  stop_->setFocus();
}

StationWindow::Tile& StationWindow::tileFor(const std::string& port) {
  if (auto found = tiles_.find(port); found != tiles_.end()) return found->second;
  Tile& tile = tiles_[port];
  const QString where = port.empty() ? QString("an unknown port") : "port " + Q(port);
  auto* frame = new QFrame;
  frame->setObjectName(Q("tile:" + port));
  frame->setAccessibleName("The keypad at " + where);
  frame->setFrameShape(QFrame::StyledPanel);
  frame->setFixedWidth(410);
  auto* layout = new QVBoxLayout(frame);
  const auto line = [&](QLabel*& label, const char* name, const QString& accessible) {
    label = new QLabel;
    Describe(label, name, accessible);
    label->setWordWrap(true);
    layout->addWidget(label);
  };
  auto* portLabel = new QLabel("At " + where);
  layout->addWidget(portLabel);
  line(tile.serial, "serial", "Serial number at " + where);
  QFont large = tile.serial->font();
  large.setPointSize(26);
  large.setBold(true);
  tile.serial->setFont(large);
  line(tile.firmware, "firmware", "Firmware at " + where);
  line(tile.step, "step", "Step at " + where);
  tile.progress = new QProgressBar;
  Name(tile.progress, "progress", "Progress at " + where);
  layout->addWidget(tile.progress);
  line(tile.result, "result", "Result at " + where);
  QFont bold = tile.result->font();
  bold.setPointSize(bold.pointSize() + 6);
  bold.setBold(true);
  tile.result->setFont(bold);
  line(tile.advice, "advice", "What to do at " + where);
  auto* labelRow = new QHBoxLayout;
  tile.label = new QLabel;
  Describe(tile.label, "label", "Label at " + where);
  tile.label->setWordWrap(true);
  labelRow->addWidget(tile.label, 1);
  tile.reprint = new QPushButton("&Reprint");
  Name(tile.reprint, "reprint", "Reprint the label of the keypad at " + where);
  tile.reprint->setEnabled(false);
  connect(tile.reprint, &QPushButton::clicked, this, [this, port] { reprint(port); });
  labelRow->addWidget(tile.reprint);
  layout->addLayout(labelRow);
  layout->addStretch();
  waiting_->hide();
  const int at = static_cast<int>(tiles_.size()) - 1;
  tileGrid_->addWidget(frame, at / 3, at % 3);
  return tile;
}

void StationWindow::showInHand(const std::string& port, const std::string& serial,
                               const std::string& firmware, const std::string& step, int percent) {
  if (!port.empty()) inHandPort_ = port;
  Tile& tile = tileFor(inHandPort_);
  if (!port.empty() && tile.working) {
    showSerial(tile, serial);
  } else if (!port.empty()) {
    // A keypad newly in hand at this port: what the last one there showed goes.
    tile.working = true;
    tile.serial->setText("Reading its status");
    tile.firmware->clear();
    tile.advice->clear();
    tile.label->clear();
    tile.reprint->setEnabled(false);
    tile.progress->reset();
    tile.result->setText("Working");
    tile.result->setStyleSheet("color: white; background: #0d47a1; padding: 4px;");
  }
  if (!firmware.empty()) tile.firmware->setText("Firmware " + Q(firmware));
  tile.step->setText(Q(step));
  if (percent >= 0) tile.progress->setValue(percent);
  state_->setText("Working on the keypad at " +
                  (inHandPort_.empty() ? "an unknown port" : "port " + Q(inHandPort_)) + ".");
}

// The number in type read across a bench; its lack in the size of the lines around it.
void StationWindow::showSerial(Tile& tile, const std::string& serial) {
  QFont font = tile.serial->font();
  font.setPointSize(serial.empty() ? tile.firmware->font().pointSize() + 4 : 26);
  tile.serial->setFont(font);
  tile.serial->setText(serial.empty() ? QString("No serial number") : Q(serial));
}

void StationWindow::showVisit(const nlohmann::ordered_json& line) {
  const std::string port = line.value("port", "");
  Tile& tile = tileFor(port);
  const std::string serial = line.value("serialNumber", "");
  const std::string before = line.value("firmwareBefore", "");
  const std::string after = line.value("firmwareAfter", "");
  const std::string result = line.value("result", "");
  tile.working = false;
  tile.serialNumber = serial;
  tile.firmwareAfter = after;
  showSerial(tile, serial);
  tile.firmware->setText(
      after.empty()
          ? (before.empty() ? QString("Firmware unknown") : "Firmware " + Q(before))
          : (before.empty() || before == after ? "Firmware " + Q(after)
                                               : "Firmware " + Q(before) + " → " + Q(after)));
  const Ending ending = EndingOf(result);
  tile.result->setText(ending.words);
  tile.result->setStyleSheet(
      QString("color: white; background: %1; padding: 4px;").arg(ending.colour));
  std::string done;
  for (const auto& what : line.value("done", nlohmann::ordered_json::array()))
    if (what.is_string()) done += (done.empty() ? "" : ", ") + what.get<std::string>();
  tile.step->setText(done.empty() ? QString() : "Done to it: " + Q(done));
  tile.progress->setValue(result == "ok" ? 100 : tile.progress->value());
  const std::string message = line.value("message", "");
  if (result == "failed") {
    const std::string step = line.value("step", "");
    // The station's own advice says how to try again where plugging it in again is the way.
    const bool saysHow = message.find("lug it in again") != std::string::npos;
    tile.advice->setText(
        Q((step.empty() ? "" : "At " + step + ": ") + message) +
        (saysHow ? "" : "\nTo try again, unplug the keypad and plug it in again."));
  } else {
    tile.advice->setText(Q(message));
  }
  const std::string made = line.value("label", "");
  const std::string problem = line.value("labelProblem", "");
  tile.label->setText(problem.empty() ? (made.empty() ? QString() : "Label: " + Q(made))
                                      : "No label: " + Q(problem));
  tile.reprint->setEnabled(!made.empty() || !problem.empty());
  if (port == inHandPort_) inHandPort_.clear();
  state_->setText("Waiting for keypads to be plugged in.");
  if (!settings_.serialFrom.empty()) {
    std::string next;
    if (!store_.sequenceNext(settings_.serialFrom, next)) {
      if (auto* shown = findChild<QLabel*>("shownNextSerial")) shown->setText(Q(next));
    }
  }
  showLog();
}

void StationWindow::showCounts(int keypads, int tries, int ok, int skipped) {
  QString text = QString("%1 keypad%2, %3 tr%4\n%5 done, %6 failed")
                     .arg(keypads)
                     .arg(keypads == 1 ? "" : "s")
                     .arg(tries)
                     .arg(tries == 1 ? "y" : "ies")
                     .arg(ok)
                     .arg(keypads - ok);
  if (skipped > 0) text += QString(", %1 passed over as done").arg(skipped);
  counts_->setText(text);
}

void StationWindow::showLog() {
  store::LogLines read;
  const std::string today = QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd").toStdString();
  log_->clear();
  if (const store::StoreError unread = store_.lines({std::nullopt, today, std::nullopt}, read)) {
    log_->addItem(Q(unread.message + "."));
    return;
  }
  const size_t from = read.entries.size() > kLogLines ? read.entries.size() - kLogLines : 0;
  for (size_t at = from; at < read.entries.size(); ++at)
    log_->addItem(Q(cli::LogLineText(read.entries[at])));
  if (log_->count() == 0) log_->addItem("Nothing is logged today yet.");
}

void StationWindow::showEnd(const std::string& words, int status) {
  finished_ = true;
  if (worker_.joinable()) worker_.join();
  std::string said = words;
  while (!said.empty() && said.back() == '\n') said.pop_back();
  if (pages_->currentIndex() == 0) {
    // Refused before it took any keypad: the form says why, to be corrected.
    const std::string prefix = "navkeypad: ";
    if (said.rfind(prefix, 0) == 0) said.erase(0, prefix.size());
    askProblem_->setText("The station did not start: " + Q(said));
    return;
  }
  state_->setText(Q(said) + (status == cli::kDone ? "" : "\nSee the tiles for what is left."));
  stop_->setText("&Close");
  stop_->setAccessibleName("Close the station window");
  showLog();
  if (closeWhenEnded_) close();
}

void StationWindow::askToStop() {
  stopAsked_ = true;
  state_->setText("The station ends once the keypad in hand is finished.");
}

void StationWindow::closeEvent(QCloseEvent* event) {
  if (running()) {
    // A download cut short would leave a keypad in its loader for no reason: the window closes
    // once the station has ended.
    askToStop();
    closeWhenEnded_ = true;
    event->ignore();
    return;
  }
  event->accept();
}

void StationWindow::reprint(const std::string& port) {
  Tile& tile = tileFor(port);
  std::string made;
  const std::string problem =
      cli::MakeStationLabel(settings_, {tile.serialNumber, tile.firmwareAfter}, made);
  tile.label->setText(problem.empty() ? "Label made again: " + Q(made) : "No label: " + Q(problem));
}

}  // namespace navkeypad::station_window
