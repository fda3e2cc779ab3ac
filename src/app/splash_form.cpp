#include "app/splash_form.h"

#include <QPixmap>

#include "platform/window_placement.h"

namespace tarvik_usb_encoder {

velto_splash_form::velto_splash_form(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
  setObjectName("velto_splash_form");
  setAttribute(Qt::WA_DeleteOnClose);
  setFixedSize(722, 415);
  // The picture leaves a sliver at the right edge; it takes the picture's own colour.
  QPalette background = palette();
  background.setColor(QPalette::Window, QColor(10, 90, 110));
  setPalette(background);
  setAutoFillBackground(true);
  pictureBox1 = new QLabel(this);
  pictureBox1->setObjectName("pictureBox1");
  pictureBox1->setScaledContents(true);
  pictureBox1->setPixmap(QPixmap(":/app/splash.png"));
  // The picture's top edge is cut off by the window, as it always was.
  pictureBox1->setGeometry(-2, -15, 720, 432);
  platform::CentreOnScreen(this, nullptr);

  timer1 = new QTimer(this);
  timer1->setObjectName("timer1");
  timer1->setInterval(3000);
  connect(timer1, &QTimer::timeout, this, &velto_splash_form::timer1_Tick);
  timer1->start();
}

void velto_splash_form::timer1_Tick() {
  timer1->stop();
  close();
}

}  // namespace tarvik_usb_encoder
