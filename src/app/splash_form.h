#pragma once

#include <QLabel>
#include <QTimer>
#include <QWidget>

namespace tarvik_usb_encoder {

// Covers the first three seconds; closes itself when its timer fires.
class velto_splash_form : public QWidget {
  Q_OBJECT

 public:
  explicit velto_splash_form(QWidget* parent = nullptr);
  QTimer* timer1 = nullptr;

 public slots:
  void timer1_Tick();

 private:
  QLabel* pictureBox1 = nullptr;
};

}  // namespace tarvik_usb_encoder
