#include "self_test/self_test.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

#include "device/keypad_commands.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/window_placement.h"

namespace tarvik_usb_encoder {

using namespace navkeypad;

std::array<bool, 10> self_test::buttonArray{};

namespace {

const QColor kLightGreen(144, 238, 144);
const QColor kGreyedOnGreen(80, 96, 80);
constexpr int kControlChangePauseMs = 80;
constexpr int kStepWaitMs = 500;
constexpr int kPollMs = 100;
constexpr int kBlinkCycles = 4;
constexpr int kBlinkOnLevel = 8;

// The indicators: which key marks which one, in the order of the marks kept in buttonArray.
struct Indicator {
  int number;  // buttonN
  const char* caption;
  bool shown;
  Qt::Key key;
  QRect place;  // window coordinates
};
const Indicator kIndicators[] = {
    {1, "Volume", false, Qt::Key_F17, {105, 720, 70, 46}},
    {2, "Left", true, Qt::Key_Left, {182, 443, 70, 46}},
    {3, "Right", true, Qt::Key_Right, {384, 443, 70, 46}},
    {5, "Up", true, Qt::Key_Up, {284, 370, 70, 46}},
    {4, "Down", true, Qt::Key_Down, {284, 527, 70, 46}},
    {6, "Select", true, Qt::Key_Return, {284, 443, 70, 46}},
    {8, "Vertical", false, Qt::Key_F19, {472, 720, 70, 46}},
    {7, "Horizontal", false, Qt::Key_F18, {380, 720, 70, 46}},
    {9, "jack in", false, Qt::Key_F15, {200, 720, 70, 46}},
    {10, "jack out", false, Qt::Key_F16, {290, 720, 70, 46}},
};

QFont SansSerif(double points) {
  QFont font("Microsoft Sans Serif");
  font.setPointSizeF(points);
  return font;
}

}  // namespace

void KeyIndicator::setMarkPicture(const QPixmap& picture) {
  markPicture_ = picture;
  update();
}

void KeyIndicator::paintEvent(QPaintEvent* event) {
  if (markPicture_.isNull()) {
    QPushButton::paintEvent(event);
    return;
  }
  QPainter painter(this);
  painter.drawPixmap(rect(), markPicture_);
  painter.setPen(Qt::white);
  painter.drawText(rect(), Qt::AlignCenter, text());
}

self_test::self_test(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("self_test");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Self Test");
  setMinimumSize(751, 500);
  setMaximumSize(900, 800);
  resize(828, 723);
  platform::AnnounceAsWindow(this);

  // The test is drawn for 828 x 723; on a lower screen it scrolls, and Close stays in view.
  auto* scroll = new QScrollArea(this);
  scroll->setObjectName("contentScroll");
  scroll->setFrameShape(QFrame::NoFrame);
  auto* content = new QWidget;
  content->setFixedSize(828, 723);
  scroll->setWidget(content);
  auto* fill = new QVBoxLayout(this);
  fill->setContentsMargins(0, 0, 0, 0);
  fill->addWidget(scroll);

  auto label = [&](const char* name, const QString& text, double points, QRect place) {
    auto* created = new QLabel(text, content);
    created->setObjectName(name);
    created->setFont(SansSerif(points));
    created->setGeometry(place);
    created->setAutoFillBackground(true);
    return created;
  };
  label3 = label("label3", "SELF TEST", 24, {300, 10, 260, 48});
  label3->setAutoFillBackground(false);
  ledLbl = label("ledLbl", "Testing Led", 18, {105, 76, 330, 40});
  ledColourLbl = label("ledColourLbl", "LED", 22.2, {450, 72, 110, 46});
  ledBrightnessLbl = label("ledBrightnessLbl", "Testing Led Brightness ", 18, {105, 136, 330, 40});
  ledLevelLbl = label("ledLevelLbl", "2", 22.2, {450, 132, 110, 46});
  for (QLabel* greyed : {ledLbl, ledColourLbl, ledBrightnessLbl, ledLevelLbl}) {
    greyed->setEnabled(false);
  }
  ledCheckBox = new QCheckBox(content);
  ledCheckBox->setAccessibleName("LED test done");
  ledCheckBox->setObjectName("ledCheckBox");
  ledCheckBox->setGeometry(590, 84, 30, 30);
  brightnessCheckBox = new QCheckBox(content);
  brightnessCheckBox->setAccessibleName("LED brightness test done");
  brightnessCheckBox->setObjectName("brightnessCheckBox");
  brightnessCheckBox->setGeometry(590, 144, 30, 30);
  keypadLbl = label("keypadLbl", QString(), 22.2, {105, 205, 437, 50});
  keypadLbl->setAlignment(Qt::AlignCenter);
  keypadLbl->setAutoFillBackground(false);
  keypadLbl->hide();

  pictureBox1 = new QLabel(content);
  pictureBox1->setAccessibleName("Keypad picture: the keys pressed are marked");
  pictureBox1->setObjectName("pictureBox1");
  pictureBox1->setGeometry(105, 270, 437, 441);
  pictureBox1->setScaledContents(true);
  pictureBox1->setPixmap(QPixmap(":/self_test/keypad.png"));

  for (int number = 1; number <= 16; ++number) {
    auto* indicator = new KeyIndicator(QString("button%1").arg(number), content);
    indicator->setObjectName(QString("button%1").arg(number));
    indicator->setGeometry(600, 300 + 8 * number, 70, 46);
    indicator->hide();
    indicators[number] = indicator;
  }

  endBtn = new QPushButton("Close", this);
  endBtn->setObjectName("endBtn");
  endBtn->setFont(SansSerif(18));
  endBtn->setGeometry(610, 640, 170, 60);
  endBtn->raise();
  endBtn->setFocusPolicy(Qt::NoFocus);
  connect(endBtn, &QPushButton::clicked, this, &self_test::endBtn_Click);

  qApp->installEventFilter(this);
  InitializeSelfTest();
}

self_test::~self_test() {
  qApp->removeEventFilter(this);
  if (backgroundWorker1 != nullptr) {
    closeForm = 1;
    // The worker may be waiting for this thread to carry out a change for it.
    while (!backgroundWorker1->wait(5)) QCoreApplication::processEvents();
  }
}

void self_test::InitializeSelfTest() {
  closeForm = 0;
  buttonArray.fill(false);
  backGroundColour = palette().color(QPalette::Button);
  for (QLabel* plain : {ledLbl, ledColourLbl, ledBrightnessLbl, ledLevelLbl}) {
    QPalette colours = plain->palette();
    colours.setColor(QPalette::Window, backGroundColour);
    plain->setPalette(colours);
  }
  ledCheckBox->setChecked(false);
  brightnessCheckBox->setChecked(false);

  if (GetDeviceStatusMessage() != 0) {
    platform::current().warning("Device status message error..\n", "Velto USB Encoder");
    return;
  }
  ledLevelLbl->setText(QString::number(ledBrightness_index));
  if (keypadType_index >= 0 && keypadType_index <= 2) {
    keypadLbl->setText("NavigationKeypad ");
    keypadLbl->show();
    setUpIndicators();
  }
  backgroundWorker1 = QThread::create([this] { backgroundWorker1_DoWork(); });
  backgroundWorker1->setParent(this);
  backgroundWorker1->setObjectName("backgroundWorker1");
  connect(backgroundWorker1, &QThread::finished, this,
          &self_test::backgroundWorker1_RunWorkerCompleted, Qt::QueuedConnection);
  backgroundWorker1->start();
}

void self_test::setUpIndicators() {
  for (const Indicator& entry : kIndicators) {
    KeyIndicator* indicator = indicators[entry.number];
    indicator->setText(entry.caption);
    indicator->setGeometry(entry.place);
    indicator->setStyleSheet("QPushButton { background-color: #c0c0c0; color: black; }");
    indicator->setFocusPolicy(Qt::NoFocus);
    indicator->setVisible(entry.shown);
    indicator->raise();
  }
}

bool self_test::testRunning() const {
  // Until the keypad's settings are back: the worker reports itself finished before its
  // queued completion, which restores them, has run.
  return backgroundWorker1 != nullptr && !restored_;
}

int8_t self_test::GetDeviceStatusMessage() {
  std::vector<uint8_t> record;
  if (SendKeypadCommand(CMD_GET_STATUS, {}, &record) != kExchangeOk || record.size() < 2) {
    return -1;
  }
  ledBrightness_index = record[0];
  keypadType_index = record[1];
  return 0;
}

int8_t self_test::ledBrightness(int level) {
  const std::vector<uint8_t> payload{static_cast<uint8_t>(level)};
  return static_cast<int8_t>(SendKeypadCommand(CMD_SET_LED_BRIGHTNESS, payload));
}

int8_t self_test::setKeyboardTable(int type) {
  const std::vector<uint8_t> payload{static_cast<uint8_t>(type)};
  return static_cast<int8_t>(SendKeypadCommand(CMD_SET_KEYPAD_TYPE, payload));
}

void self_test::onWindowThread(const std::function<void()>& change) {
  auto changeAndPause = [&] {
    change();
    platform::clock().sleepMs(kControlChangePauseMs);
  };
  if (QThread::currentThread() == thread()) {
    changeAndPause();
  } else {
    QMetaObject::invokeMethod(this, changeAndPause, Qt::BlockingQueuedConnection);
  }
}

void self_test::AddTextToObject(self_test* window, QLabel* label, const QString& text) {
  window->onWindowThread([&] { label->setText(text); });
}

void self_test::AmendCheckBox(self_test* window, QCheckBox* checkBox, bool state,
                              const QString& /*text*/) {
  window->onWindowThread([&] { checkBox->setChecked(state); });
}

void self_test::paintLabels(std::initializer_list<QLabel*> labels, const QColor& colour) {
  // Colouring the labels is ours, not one of the test's control changes: no pause after it.
  auto paint = [&] {
    for (QLabel* label : labels) {
      QPalette colours = label->palette();
      colours.setColor(QPalette::Window, colour);
      // Still greyed, but dark enough to read on the light green in any theme.
      colours.setColor(QPalette::Disabled, QPalette::WindowText, kGreyedOnGreen);
      label->setPalette(colours);
    }
  };
  if (QThread::currentThread() == thread()) {
    paint();
  } else {
    QMetaObject::invokeMethod(this, paint, Qt::BlockingQueuedConnection);
  }
}

void self_test::backgroundWorker1_DoWork() {
  // Any way out of here ends the test; the completion restores the keypad either way.
  try {
    // A step ends early when the keypad refuses a command or the user closes the window.
    auto stop = [this](int8_t result, std::string& stepResult, const std::string& where) {
      if (result != 0) {
        stepResult = "the keypad did not answer " + where;
        failure_ = stepResult;
      } else if (closeForm == 1) {
        stepResult = "stopped " + where;
      }
      return result != 0 || closeForm == 1;
    };
    paintLabels({ledLbl, ledColourLbl}, kLightGreen);
    for (int cycle = 0; cycle < kBlinkCycles; ++cycle) {
      ledBrightness(0);
      platform::clock().sleepMs(kStepWaitMs);
      const int8_t on = ledBrightness(kBlinkOnLevel);
      platform::clock().sleepMs(kStepWaitMs);
      if (stop(on, ledResult_, "at blink " + std::to_string(cycle + 1))) return;
    }
    ledResult_ = "blinked";

    ledBrightness(0);
    AmendCheckBox(this, ledCheckBox, true, QString());
    paintLabels({ledBrightnessLbl, ledLevelLbl}, kLightGreen);
    for (int level = 0; level <= kMaxLedBrightness; ++level) {
      AddTextToObject(this, ledLevelLbl, QString::number(level));
      const int8_t result = ledBrightness(level);
      platform::clock().sleepMs(kStepWaitMs);
      if (stop(result, brightnessResult_, "at level " + std::to_string(level))) return;
    }
    brightnessResult_ = "stepped 0 to " + std::to_string(kMaxLedBrightness);

    ledBrightness(0);
    AmendCheckBox(this, brightnessCheckBox, true, QString());
    ledBrightness(ledBrightness_index);
    // Only this worker waits for the prompt, until the user dismisses it (Close leaves it to
    // the user); the windows stay usable meanwhile. Exit ends the program and the prompt.
    platform::current().noticeForWorker("Press each key  on NavigationKeypad... \n",
                                        "NavigationKeypad Keypad",
                                        [this] { return exiting_.load(); });
    const int8_t defaultTable = setKeyboardTable(kKeypadTypeDefault);
    platform::clock().sleepMs(kPollMs);
    if (defaultTable != 0) {
      failure_ = "the keypad did not take its default code table for the key test";
      return;
    }
    while (closeForm != 1) platform::clock().sleepMs(kPollMs);
  } catch (...) {
  }
}

void self_test::backgroundWorker1_RunWorkerCompleted() {
  if (restored_) return;
  restored_ = true;
  const bool tableBack = setKeyboardTable(keypadType_index) == 0;
  const bool brightnessBack = ledBrightness(ledBrightness_index) == 0;
  if (failure_.empty() && !(tableBack && brightnessBack))
    failure_ = "the keypad did not take back its layout and brightness";
  std::string pressed;
  for (std::size_t position = 0; position < std::size(kIndicators); ++position) {
    if (kIndicators[position].shown && buttonArray[position])
      pressed += (pressed.empty() ? "" : ", ") + std::string(kIndicators[position].caption);
  }
  emit testEnded({{"led", ledResult_},
                  {"brightness", brightnessResult_},
                  {"keys", pressed.empty() ? "none pressed" : pressed},
                  {"ended", exiting_ ? "the program ended" : "closed"}},
                 failure_);
  closing_ = true;
  close();
}

void self_test::endForExit() {
  if (backgroundWorker1 == nullptr || restored_) return;
  exiting_ = true;
  closeForm = 1;
  // The worker may be waiting for this thread to carry out a change for it.
  while (!backgroundWorker1->wait(5)) QCoreApplication::processEvents();
  backgroundWorker1_RunWorkerCompleted();
}

void self_test::endBtn_Click() {
  if (backgroundWorker1 == nullptr) {
    // No test ran (the status could not be read): nothing to stop or restore.
    closing_ = true;
    close();
    return;
  }
  endBtn->setEnabled(false);
  closeForm = 1;
}

void self_test::closeEvent(QCloseEvent* event) {
  if (closing_ || !testRunning()) {
    event->accept();
    return;
  }
  // A test in progress ends the way Close ends it: the keypad is restored first.
  endBtn_Click();
  event->ignore();
}

void self_test::markKey(int key, Qt::KeyboardModifiers modifiers) {
  if ((modifiers & ~Qt::KeypadModifier) != Qt::NoModifier) return;
  if (key == Qt::Key_Enter) key = Qt::Key_Return;
  for (std::size_t position = 0; position < std::size(kIndicators); ++position) {
    if (kIndicators[position].key != key || buttonArray[position]) continue;
    self_test* target = selfTestFrm1 != nullptr ? selfTestFrm1 : this;
    EmbedButtonInLumoPicture(target->indicators[kIndicators[position].number], target->pictureBox1);
    buttonArray[position] = true;
  }
}

void self_test::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (endBtn == nullptr) return;
  // Where the test is drawn, unless the window is smaller: then in its lower right corner,
  // clear of the scroll bars.
  constexpr int kClearance = 24;
  endBtn->move(std::min(610, width() - endBtn->width() - kClearance),
               std::min(640, height() - endBtn->height() - kClearance));
}

bool self_test::eventFilter(QObject* watched, QEvent* event) {
  const auto type = event->type();
  if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride) {
    return QWidget::eventFilter(watched, event);
  }
  auto* widget = qobject_cast<QWidget*>(watched);
  if (widget == nullptr || widget->window() != this) return QWidget::eventFilter(watched, event);
  // Keystrokes from the keypad mark keys and operate nothing in the window.
  if (type == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    markKey(key->key(), key->modifiers());
  }
  event->accept();
  return true;
}

void self_test::EmbedButtonInLumoPicture(QPushButton* indicator, QLabel* picture) {
  const QPoint onScreen = indicator->mapToGlobal(QPoint(0, 0));
  const bool shown = !indicator->isHidden();
  indicator->setParent(picture);
  indicator->move(picture->mapFromGlobal(onScreen));
  if (auto* key = qobject_cast<KeyIndicator*>(indicator)) {
    key->setMarkPicture(platform::PictureFromCurrentDirectory("blue.bmp", ":/self_test/blue.png"));
  }
  indicator->setVisible(shown);
}

}  // namespace tarvik_usb_encoder
