#include "info/about.h"

#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextEdit>
#include <algorithm>

#include "info/version.h"
#include "platform/platform.h"
#include "platform/theme.h"
#include "platform/window_placement.h"

namespace tarvik_usb_encoder {

QString about::versionNo;
QString about::partNo;

QString version::resource(const QString& name) {
  if (name == "Version") return "3.1";
  if (name == "Part_Number") return "Navigational Keypad";
  return {};
}

namespace {
// The maker's addresses are given when the product is built (NAVKEYPAD_MAKER_WEBSITE,
// NAVKEYPAD_SUPPORT_EMAIL); a build without them leaves their lines empty rather than show a
// made-up one.
QString ProductNote() {
  return QString(
             "This software works with Velto's Navigation Keypad.\n"
             "For more information visit Velto's Website:\n\n") +
         NAVKEYPAD_MAKER_WEBSITE + "\n" + NAVKEYPAD_SUPPORT_EMAIL;
}

// The note as rich text: web addresses are recognised and shown as links, as the text box of
// the desktop toolkit does; everything else, the e-mail address too, is plain text.
QString NoteWithLinks() {
  QStringList lines;
  for (const QString& line : ProductNote().split('\n')) {
    const QString escaped = line.toHtmlEscaped();
    const bool web =
        line.startsWith("http://") || line.startsWith("https://") || line.startsWith("www.");
    lines << (web ? QString("<a href=\"%1\">%1</a>").arg(escaped) : escaped);
  }
  return lines.join("<br>");
}
}  // namespace

about::about(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("about");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("About USB Navigation Keypad Utility");
  setWindowIcon(QIcon());
  setFixedSize(345, 309);
  platform::AnnounceAsWindow(this);

  pictureBox1 = new QLabel(this);
  pictureBox1->setObjectName("pictureBox1");
  pictureBox1->setAccessibleName("Velto logo");
  const QPixmap logo(":/info/logo.png");
  pictureBox1->setPixmap(logo);
  QPalette behindLogo = pictureBox1->palette();
  behindLogo.setColor(QPalette::Window, platform::LightFace(palette().color(QPalette::Window)));
  pictureBox1->setPalette(behindLogo);
  pictureBox1->setAutoFillBackground(true);
  pictureBox1->setGeometry(20, 15, logo.isNull() ? 115 : logo.width(),
                           logo.isNull() ? 55 : logo.height());

  label1 = new QLabel("USB Navigation Keypad Utility", this);
  label1->setObjectName("label1");
  label1->move(152, 32);
  label1->adjustSize();

  lineShape1 = new QFrame(this);
  lineShape1->setObjectName("lineShape1");
  lineShape1->setFrameShape(QFrame::HLine);
  lineShape1->setFrameShadow(QFrame::Sunken);
  lineShape1->setGeometry(21, 100, 438 - 21, 2);

  versionLbl = new QLabel(this);
  versionLbl->setObjectName("versionLbl");
  versionLbl->move(14, 102);
  label3 = new QLabel("Part No ", this);
  label3->setObjectName("label3");
  label3->move(193, 102);
  label3->adjustSize();
  partNoLbl = new QLabel(this);
  partNoLbl->setObjectName("partNoLbl");
  partNoLbl->move(237, 102);

  // Editable, as its model is; what is typed is kept nowhere. A click on a link opens it.
  richTextBox1 = new QTextEdit(this);
  richTextBox1->setAccessibleName("About the utility");
  richTextBox1->setObjectName("richTextBox1");
  richTextBox1->setGeometry(16, 158, 314, 91);
  richTextBox1->setHtml(NoteWithLinks());
  QPalette note = richTextBox1->palette();
  note.setColor(QPalette::Base, palette().color(QPalette::Window));
  richTextBox1->setPalette(note);
  richTextBox1->viewport()->installEventFilter(this);

  button2 = new QPushButton("Close", this);
  button2->setObjectName("button2");
  button2->setGeometry(239, 266, 90, 28);
  connect(button2, &QPushButton::clicked, this, &about::button2_Click);

  about_Load();
}

void about::about_Load() {
  versionNo = version::resource("Version");
  versionLbl->setText("Version " + versionNo);
  versionLbl->adjustSize();
  partNo = version::resource("Part_Number");
  partNoLbl->setText(partNo);
  partNoLbl->adjustSize();
  // The part number ends where the Close button does, and its caption stands right before
  // it, so neither is cut off whatever the font.
  const int right = button2->geometry().right();
  const int partX = std::min(237, right - partNoLbl->width());
  partNoLbl->move(partX, 102);
  label3->move(std::min(193, partX - label3->width()), 102);
}

void about::button2_Click() {
  close();
}

void about::richTextBox1_LinkClicked(const QUrl& link) {
  platform::current().openLink(link.toString());
}

bool about::eventFilter(QObject* watched, QEvent* event) {
  if (watched == richTextBox1->viewport() && event->type() == QEvent::MouseButtonRelease) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const QString link = richTextBox1->anchorAt(mouse->position().toPoint());
    if (mouse->button() == Qt::LeftButton && !link.isEmpty()) richTextBox1_LinkClicked(QUrl(link));
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tarvik_usb_encoder
