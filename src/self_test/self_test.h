// The guided self test: the LED blinks, steps through its brightness levels, then each key
// pressed on the keypad is marked on its picture. The LED steps run on a worker thread.
#pragma once

#include <QCheckBox>
#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tarvik_usb_encoder {

// A key indicator over the keypad picture; a marked one shows the "tested" picture.
class KeyIndicator : public QPushButton {
  Q_OBJECT

 public:
  using QPushButton::QPushButton;
  void setMarkPicture(const QPixmap& picture);
  bool marked() const { return !markPicture_.isNull(); }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap markPicture_;
};

class self_test : public QWidget {
  Q_OBJECT

 public:
  explicit self_test(QWidget* parent = nullptr);
  ~self_test() override;

  int32_t ledBrightness_index = 0;
  int32_t keypadType_index = 0;
  std::atomic<int32_t> closeForm{0};
  std::atomic<bool> exiting_{false};  // the program ends: the key prompt goes with it
  QColor backGroundColour;
  // Per key: already marked. Shared by every self-test window, as the keys are.
  static std::array<bool, 10> buttonArray;
  self_test* selfTestFrm1 = nullptr;

  QLabel* pictureBox1 = nullptr;
  std::array<KeyIndicator*, 17> indicators{};  // button1 .. button16 at their numbers

  int8_t GetDeviceStatusMessage();
  int8_t ledBrightness(int level);
  int8_t setKeyboardTable(int type);

  // Callable from any thread: the change is made on the window's thread, which then pauses
  // 80 ms; a caller on another thread waits for both.
  static void AddTextToObject(self_test* window, QLabel* label, const QString& text);
  static void AmendCheckBox(self_test* window, QCheckBox* checkBox, bool state,
                            const QString& text);

  static void EmbedButtonInLumoPicture(QPushButton* indicator, QLabel* picture);

  bool testRunning() const;

 signals:
  // Once, when a test that ran has ended and the keypad is restored: each step and what it came
  // to, and why the test failed (empty when it did not).
  void testEnded(const std::vector<std::pair<std::string, std::string>>& results,
                 const std::string& failure);

 public slots:
  void endBtn_Click();
  // Ends a running test the way Close does and restores the keypad before returning: the
  // program is about to end.
  void endForExit();
  void backgroundWorker1_RunWorkerCompleted();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void InitializeSelfTest();
  void setUpIndicators();
  void backgroundWorker1_DoWork();
  void onWindowThread(const std::function<void()>& change);
  void paintLabels(std::initializer_list<QLabel*> labels, const QColor& colour);
  void markKey(int key, Qt::KeyboardModifiers modifiers);

  QLabel* label3 = nullptr;
  QLabel* ledLbl = nullptr;
  QLabel* ledColourLbl = nullptr;
  QCheckBox* ledCheckBox = nullptr;
  QLabel* ledBrightnessLbl = nullptr;
  QLabel* ledLevelLbl = nullptr;
  QCheckBox* brightnessCheckBox = nullptr;
  QLabel* keypadLbl = nullptr;
  QPushButton* endBtn = nullptr;
  QThread* backgroundWorker1 = nullptr;
  bool closing_ = false;
  bool restored_ = false;
  // Written by the worker, read once it has finished.
  std::string ledResult_ = "not reached";
  std::string brightnessResult_ = "not reached";
  std::string failure_;
};

}  // namespace tarvik_usb_encoder
