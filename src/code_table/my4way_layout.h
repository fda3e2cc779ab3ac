// The code table editor for the 4-way keypad: a code and a modifier per key, chosen on
// buttons laid over a picture of the keypad, written with CMD_LOAD_TABLE.
#pragma once

#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <array>

#include "device/keypad_commands.h"

namespace tarvik_usb_encoder {

class My4way_layout : public QWidget {
  Q_OBJECT

 public:
  // Keys are numbered as their buttons: 2 Left, 3 Right, 4 Down, 5 Up, 6 Enter.
  static constexpr int kFirstKey = 2;
  static constexpr int kLastKey = 6;

  My4way_layout(const navkeypad::KeyCodeTable& table, QWidget* owner);

  QLabel* pictureBox1 = nullptr;

  // Per key number; entries 0 and 1 are unused.
  std::array<int, 7> currentKCode{};
  std::array<int, 7> originalKCode{};
  std::array<int, 7> currentMCode{};  // a position in the modifier list
  std::array<int, 7> originalMCode{};
  std::array<QString, 7> keyText;
  std::array<QString, 7> modifierText;

  int keySelected = 0;
  int modSelected = 0;
  QColor defaultButtonBackColor;
  QColor currentMBColour;

  // The bytes Apply sends for the current values.
  navkeypad::KeyCodeTable currentTable() const;

 public slots:
  void My4way_layout_Load();
  void selectCodeCbox_SelectionChangeCommitted(int position);
  void selectModifierCbox_SelectionChangeCommitted(int position);
  void resetBtn_Click();
  void applyBtn_Click();
  void exitBtn_Click();

 signals:
  // Apply sent the table (true) or the keypad refused it.
  void tableApplied(bool sent);

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct KeySlot {
    const char* label;
    QPushButton* key = nullptr;
    QPushButton* modifier = nullptr;
  };
  static int bit(int keyNumber) { return 1 << (keyNumber - 1); }
  void keyClicked(int keyNumber);
  void modifierClicked(int keyNumber);
  QString modifierCaption(int keyNumber) const;

  std::array<KeySlot, 7> keys_{};
  // The modifier bytes as read; a byte with no place in the modifier list goes back as it
  // came unless the user picks a modifier for that key.
  std::array<uint8_t, 7> modifierByteRead_{};
  QComboBox* selectCodeCbox = nullptr;
  QComboBox* selectModifierCbox = nullptr;
  QPushButton* resetBtn = nullptr;
  QPushButton* applyBtn = nullptr;
  QPushButton* exitBtn = nullptr;
  bool loaded_ = false;
};

// Sets a button's background (and text) colour, kept in the "backColor" property so the
// colour can be read back.
void PaintButton(QPushButton* button, const QColor& back, const QColor& text = QColor());
QColor ButtonColour(const QPushButton* button);

}  // namespace tarvik_usb_encoder
