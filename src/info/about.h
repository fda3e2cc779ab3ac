#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class QTextEdit;
class QFrame;

namespace tarvik_usb_encoder {

// The About window: name, version, part number and a product note with links. Modeless;
// every menu click opens another.
class about : public QWidget {
  Q_OBJECT

 public:
  explicit about(QWidget* parent = nullptr);

  static QString versionNo;
  static QString partNo;

 public slots:
  void about_Load();
  void button2_Click();
  void richTextBox1_LinkClicked(const QUrl& link);
  void label1_Click() {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* pictureBox1 = nullptr;
  QLabel* label1 = nullptr;
  QFrame* lineShape1 = nullptr;
  QLabel* versionLbl = nullptr;
  QLabel* label3 = nullptr;
  QLabel* partNoLbl = nullptr;
  QTextEdit* richTextBox1 = nullptr;
  QPushButton* button2 = nullptr;
};

}  // namespace tarvik_usb_encoder
