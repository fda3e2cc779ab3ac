#include "code_table/my4way_layout.h"

#include <QAbstractItemView>
#include <QKeyEvent>

#include "code_table/vocabulary.h"
#include "platform/platform.h"
#include "platform/theme.h"
#include "platform/window_placement.h"

namespace tarvik_usb_encoder {

using namespace navkeypad;

namespace {
const QColor kSelected(255, 165, 0);  // orange
const QColor kChanged(0, 255, 255);   // aqua
const QColor kKeyText(Qt::red);

QFont Font(const char* family, double points, bool bold = false) {
  QFont font(family);
  font.setPointSizeF(points);
  font.setBold(bold);
  // Narrow faces are often missing; a condensed stretch keeps the captions inside the
  // buttons whatever face stands in.
  if (QString(family).contains("Narrow")) font.setStretch(QFont::Condensed);
  return font;
}

QString Text(const std::string& text) {
  return QString::fromStdString(text);
}
}  // namespace

void PaintButton(QPushButton* button, const QColor& back, const QColor& text) {
  button->setProperty("backColor", back);
  QString style = QString("QPushButton { background-color: %1;").arg(back.name());
  if (text.isValid()) style += QString(" color: %1;").arg(text.name());
  button->setStyleSheet(style + " border: 1px solid #707070; }");
}

QColor ButtonColour(const QPushButton* button) {
  return button->property("backColor").value<QColor>();
}

My4way_layout::My4way_layout(const KeyCodeTable& table, QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("My4way_layout");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("USB Navigation Keypad Layout");
  // Small enough for any screen, large enough to keep Reset, Apply and Close in view.
  setMinimumSize(687, 522);
  setMaximumSize(1000, 1000);
  resize(756, 558);
  platform::AnnounceAsWindow(this);

  auto* label1 =
      new QLabel("Customise Navigation Keypad Code Table\n            (USB Codes in Hex)", this);
  label1->setObjectName("label1");
  label1->setFont(Font("Microsoft Sans Serif", 16.2, true));
  label1->move(154, 9);
  label1->adjustSize();

  pictureBox1 = new QLabel(this);
  pictureBox1->setObjectName("pictureBox1");
  pictureBox1->setAccessibleName("Keypad picture");
  pictureBox1->setGeometry(12, 73, 436, 437);
  pictureBox1->setScaledContents(true);

  struct Place {
    int number;
    const char* label;
    QRect key;
    QRect modifier;
  };
  const Place places[] = {
      {5, "Up", {192, 159, 82, 62}, {192, 137, 68, 25}},
      {2, "Left", {100, 246, 74, 70}, {100, 228, 64, 21}},
      // Wide enough for "Enter  0x2C" once a code is chosen.
      {6, "Enter", {186, 249, 91, 65}, {202, 228, 59, 21}},
      {3, "Right", {289, 246, 74, 70}, {289, 224, 64, 21}},
      {4, "Down", {192, 340, 82, 62}, {192, 397, 68, 22}},
  };
  for (const Place& place : places) {
    KeySlot& slot = keys_[place.number];
    slot.label = place.label;
    slot.key = new QPushButton(this);
    slot.key->setObjectName(QString("key%1Btn").arg(place.number));
    slot.key->setGeometry(place.key);
    slot.key->setFont(Font("Microsoft Sans Serif", 8.25));
    slot.modifier = new QPushButton(this);
    slot.modifier->setObjectName(QString("modifierBtn%1").arg(place.number));
    slot.modifier->setGeometry(place.modifier);
    slot.modifier->setFont(Font("Arial Narrow", 8.25));
    const int number = place.number;
    connect(slot.key, &QPushButton::clicked, this, [this, number] { keyClicked(number); });
    connect(slot.modifier, &QPushButton::clicked, this,
            [this, number] { modifierClicked(number); });

    // The table as read: a code and the modifier's place in the list.
    const KeyCodeEntry entry = table.entry(static_cast<NavigationKey>(number - kFirstKey));
    modifierByteRead_[number] = entry.modifier;
    currentMCode[number] = ModifierUsageToIndex(entry.modifier);
    currentKCode[number] = entry.keyCode;
    slot.key->setText(QString("%1 %2").arg(slot.label, Text(FormatKeyCode(entry.keyCode))));
  }

  selectCodeCbox = new QComboBox(this);
  selectCodeCbox->setObjectName("selectCodeCbox");
  selectCodeCbox->setAccessibleName("Key code");
  for (const std::string& name : keyCodeNameArray) selectCodeCbox->addItem(Text(name));
  selectCodeCbox->setPlaceholderText("Select Code");
  selectCodeCbox->setCurrentIndex(-1);
  selectCodeCbox->setGeometry(532, 73, 121, 25);
  selectCodeCbox->setFont(Font("Microsoft Sans Serif", 10.2));
  selectCodeCbox->view()->setMinimumWidth(230);
  connect(selectCodeCbox, qOverload<int>(&QComboBox::activated), this,
          &My4way_layout::selectCodeCbox_SelectionChangeCommitted);

  selectModifierCbox = new QComboBox(this);
  selectModifierCbox->setObjectName("selectModifierCbox");
  selectModifierCbox->setAccessibleName("Modifier");
  for (const std::string& name : modifierNameArray) selectModifierCbox->addItem(Text(name));
  selectModifierCbox->setPlaceholderText("Modifier");
  selectModifierCbox->setCurrentIndex(-1);
  selectModifierCbox->setGeometry(532, 73, 121, 25);
  selectModifierCbox->setFont(Font("Arial Narrow", 10.2));
  connect(selectModifierCbox, qOverload<int>(&QComboBox::activated), this,
          &My4way_layout::selectModifierCbox_SelectionChangeCommitted);

  // Typed text does nothing in the lists: Qt would search for it and commit the entry found.
  selectCodeCbox->installEventFilter(this);
  selectModifierCbox->installEventFilter(this);

  auto bigButton = [&](const char* name, const char* caption, int y) {
    auto* button = new QPushButton(caption, this);
    button->setObjectName(name);
    button->setGeometry(532, y, 143, 71);
    button->setFont(Font("Microsoft Sans Serif", 18));
    return button;
  };
  resetBtn = bigButton("resetBtn", "Reset", 242);
  applyBtn = bigButton("applyBtn", "Apply", 335);
  exitBtn = bigButton("exitBtn", "Close", 437);
  connect(resetBtn, &QPushButton::clicked, this, &My4way_layout::resetBtn_Click);
  connect(applyBtn, &QPushButton::clicked, this, &My4way_layout::applyBtn_Click);
  connect(exitBtn, &QPushButton::clicked, this, &My4way_layout::exitBtn_Click);
}

void My4way_layout::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!loaded_) {
    loaded_ = true;
    My4way_layout_Load();
  }
}

QString My4way_layout::modifierCaption(int number) const {
  const int position = currentMCode[number];
  if (HasModifierPosition(position)) return Text(modifierNameArray[position]);
  return Text(FormatKeyCode(modifierByteRead_[number]));
}

void My4way_layout::My4way_layout_Load() {
  selectCodeCbox->hide();
  selectModifierCbox->hide();
  defaultButtonBackColor = platform::LightFace(palette().color(QPalette::Button));
  currentMBColour = palette().color(QPalette::Button);
  for (int number = kFirstKey; number <= kLastKey; ++number) {
    originalKCode[number] = currentKCode[number];
    originalMCode[number] = currentMCode[number];
    keyText[number] = keys_[number].key->text();
    PaintButton(keys_[number].key, defaultButtonBackColor, kKeyText);
    keys_[number].modifier->setText(modifierCaption(number));
    modifierText[number] = keys_[number].modifier->text();
    PaintButton(keys_[number].modifier, currentMBColour);
  }
  keySelected = 0;
  modSelected = 0;
}

void My4way_layout::keyClicked(int number) {
  QPushButton* key = keys_[number].key;
  if ((keySelected & bit(number)) == 0) {
    PaintButton(key, kSelected, kKeyText);
    selectCodeCbox->show();
    selectModifierCbox->hide();
  } else {
    PaintButton(key, defaultButtonBackColor, kKeyText);
  }
  keySelected ^= bit(number);
}

void My4way_layout::modifierClicked(int number) {
  QPushButton* modifier = keys_[number].modifier;
  if ((modSelected & bit(number)) == 0) {
    PaintButton(modifier, kSelected);
    selectModifierCbox->show();
    selectCodeCbox->hide();
  } else {
    PaintButton(modifier, currentMBColour);
  }
  modSelected ^= bit(number);
}

void My4way_layout::selectCodeCbox_SelectionChangeCommitted(int position) {
  selectCodeCbox->hide();
  const QString code = Text(FormatKeyCode(position));
  for (int number = kFirstKey; number <= kLastKey; ++number) {
    if ((keySelected & bit(number)) == 0) continue;
    keys_[number].key->setText(QString("%1  %2").arg(keys_[number].label, code));
    currentKCode[number] = position;
    PaintButton(keys_[number].key, kChanged, kKeyText);
  }
  keySelected = 0;
}

void My4way_layout::selectModifierCbox_SelectionChangeCommitted(int position) {
  selectModifierCbox->hide();
  for (int number = kFirstKey; number <= kLastKey; ++number) {
    if ((modSelected & bit(number)) == 0) continue;
    keys_[number].modifier->setText(selectModifierCbox->itemText(position));
    currentMCode[number] = position;
    PaintButton(keys_[number].modifier, currentMBColour);
  }
  modSelected = 0;
}

void My4way_layout::resetBtn_Click() {
  for (int number = kFirstKey; number <= kLastKey; ++number) {
    keys_[number].key->setText(keyText[number]);
    PaintButton(keys_[number].key, defaultButtonBackColor, kKeyText);
    currentKCode[number] = originalKCode[number];
    currentMCode[number] = originalMCode[number];
    keys_[number].modifier->setText(modifierText[number]);
    PaintButton(keys_[number].modifier, currentMBColour);
  }
  modSelected = 0;
  keySelected = 0;
}

KeyCodeTable My4way_layout::currentTable() const {
  KeyCodeTable table;
  for (int number = kFirstKey; number <= kLastKey; ++number) {
    const int position = currentMCode[number];
    const uint8_t modifier =
        HasModifierPosition(position) ? ModifierIndexToUsage(position) : modifierByteRead_[number];
    table.setEntry(static_cast<NavigationKey>(number - kFirstKey),
                   {modifier, static_cast<uint8_t>(currentKCode[number] & 0xFF)});
  }
  return table;
}

void My4way_layout::applyBtn_Click() {
  const KeyCodeTable table = currentTable();
  if (SendKeypadCommand(CMD_LOAD_TABLE, table.bytes) == kExchangeOk) {
    emit tableApplied(true);
    close();
    return;
  }
  platform::current().warning("Unable to Load Table..\n", "Velto NavigationKeypad");
  emit tableApplied(false);
}

void My4way_layout::exitBtn_Click() {
  close();
}

bool My4way_layout::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == selectCodeCbox || watched == selectModifierCbox) &&
      event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!key->text().isEmpty() && key->text().at(0).isPrint()) return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tarvik_usb_encoder
