// Draws the program's pictures: the splash, the About logo and the icon. Run it after a
// change and commit its output:  build/resources/generate_artwork resources
#include <QApplication>
#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>
#include <cstdio>
#include <vector>

namespace {

const QColor kNavy(18, 42, 78);
const QColor kTeal(0, 150, 160);
const QColor kKeyFace(235, 240, 246);
const QColor kKeyEdge(120, 135, 150);

// Five keys in a cross, centred on `centre`, each `key` wide.
void DrawKeypad(QPainter& painter, QPointF centre, double key, bool glow) {
  const double gap = key * 0.12;
  const double step = key + gap;
  const QPointF offsets[] = {{0, 0}, {-step, 0}, {step, 0}, {0, -step}, {0, step}};
  QRectF body(centre.x() - 1.5 * step - gap, centre.y() - 1.5 * step - gap, 3 * step + gap,
              3 * step + gap);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(40, 44, 52));
  painter.drawRoundedRect(body, key * 0.35, key * 0.35);
  for (const QPointF& offset : offsets) {
    QRectF face(centre + offset - QPointF(key / 2, key / 2), QSizeF(key, key));
    painter.setPen(QPen(kKeyEdge, key * 0.04));
    painter.setBrush(kKeyFace);
    painter.drawRoundedRect(face, key * 0.18, key * 0.18);
  }
  // Arrows on the four outer keys, a dot on Enter.
  painter.setPen(Qt::NoPen);
  painter.setBrush(glow ? kTeal : kNavy);
  const double a = key * 0.22;
  auto arrow = [&](QPointF c, QPointF dir) {
    const QPointF n(-dir.y(), dir.x());
    QPolygonF tri{c + dir * a, c - dir * a * 0.6 + n * a, c - dir * a * 0.6 - n * a};
    painter.drawPolygon(tri);
  };
  arrow(centre + offsets[1], {-1, 0});
  arrow(centre + offsets[2], {1, 0});
  arrow(centre + offsets[3], {0, -1});
  arrow(centre + offsets[4], {0, 1});
  painter.drawEllipse(centre, a * 0.8, a * 0.8);
}

bool Save(const QImage& image, const QString& folder, const char* name) {
  const QString path = folder + "/" + name;
  if (!image.save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
  }
  std::printf("wrote %s\n", qPrintable(path));
  return true;
}

QImage Splash() {
  QImage image(720, 432, QImage::Format_RGB32);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 720, 432);
  sky.setColorAt(0, kNavy);
  sky.setColorAt(1, QColor(10, 90, 110));
  painter.fillRect(image.rect(), sky);
  DrawKeypad(painter, {190, 230}, 70, true);
  painter.setPen(Qt::white);
  QFont title("DejaVu Sans", 30, QFont::Bold);
  painter.setFont(title);
  painter.drawText(QRectF(330, 150, 380, 60), Qt::AlignLeft | Qt::AlignVCenter, "Velto");
  painter.setFont(QFont("DejaVu Sans", 17));
  painter.drawText(QRectF(330, 210, 380, 40), Qt::AlignLeft | Qt::AlignVCenter,
                   "Navigation Keypad");
  painter.setPen(QColor(170, 215, 220));
  painter.setFont(QFont("DejaVu Sans", 12));
  painter.drawText(QRectF(330, 250, 380, 30), Qt::AlignLeft | Qt::AlignVCenter,
                   "Configuration Utility");
  return image;
}

QImage Logo() {
  QImage image(115, 55, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  DrawKeypad(painter, {27, 27}, 14, false);
  painter.setPen(kNavy);
  painter.setFont(QFont("DejaVu Sans", 15, QFont::Bold));
  painter.drawText(QRectF(52, 8, 63, 26), Qt::AlignLeft | Qt::AlignVCenter, "Velto");
  painter.setPen(kTeal);
  painter.setFont(QFont("DejaVu Sans", 6));
  painter.drawText(QRectF(52, 32, 63, 14), Qt::AlignLeft | Qt::AlignVCenter, "NAV KEYPAD");
  return image;
}

// A photo-like keypad picture whose five keys lie exactly where a window puts its buttons.
QImage KeypadPicture(QSize size, const std::vector<QRect>& keys) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(QColor(236, 236, 236));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QRect bounds = keys.front();
  for (const QRect& key : keys) bounds = bounds.united(key);
  const QRectF body = QRectF(bounds).adjusted(-40, -48, 40, 48);
  QLinearGradient shell(body.topLeft(), body.bottomRight());
  shell.setColorAt(0, QColor(62, 66, 76));
  shell.setColorAt(1, QColor(28, 30, 36));
  painter.setPen(QPen(QColor(15, 15, 18), 3));
  painter.setBrush(shell);
  painter.drawRoundedRect(body, 46, 46);
  for (const QRect& key : keys) {
    const QRectF face = QRectF(key).adjusted(-6, -6, 6, 6);
    QLinearGradient cap(face.topLeft(), face.bottomLeft());
    cap.setColorAt(0, QColor(250, 252, 255));
    cap.setColorAt(1, QColor(200, 208, 218));
    painter.setPen(QPen(kKeyEdge, 2));
    painter.setBrush(cap);
    painter.drawRoundedRect(face, 10, 10);
  }
  painter.setPen(QColor(200, 205, 212));
  painter.setFont(QFont("DejaVu Sans", 11, QFont::Bold));
  painter.drawText(QRectF(body.left(), body.bottom() - 40, body.width(), 30), Qt::AlignCenter,
                   "Velto");
  return image;
}

// The picture behind a key that the self test has seen pressed.
QImage TestedKey() {
  QImage image(70, 46, QImage::Format_RGB32);
  QPainter painter(&image);
  QLinearGradient blue(0, 0, 0, 46);
  blue.setColorAt(0, QColor(60, 140, 255));
  blue.setColorAt(1, QColor(10, 70, 190));
  painter.fillRect(image.rect(), blue);
  return image;
}

QImage Icon(int size) {
  QImage image(size, size, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  DrawKeypad(painter, {size / 2.0, size / 2.0}, size * 0.27, true);
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QString folder = argc > 1 ? argv[1] : "resources";
  bool ok = Save(Splash(), folder, "app/splash.png");
  ok = Save(Logo(), folder, "info/logo.png") && ok;
  ok = Save(Icon(64), folder, "app/icon.png") && ok;
  ok = Save(Icon(256), folder, "app/icon-256.png") && ok;
  // Key places of the code table editor's buttons and the self test's indicators, relative
  // to each window's picture.
  ok = Save(KeypadPicture({436, 437}, {{180, 86, 82, 62},
                                       {88, 173, 74, 70},
                                       {190, 176, 59, 65},
                                       {277, 173, 74, 70},
                                       {180, 267, 82, 62}}),
            folder, "code_table/keypad.png") &&
       ok;
  ok = Save(KeypadPicture({437, 441}, {{179, 100, 70, 46},
                                       {77, 173, 70, 46},
                                       {179, 173, 70, 46},
                                       {279, 173, 70, 46},
                                       {179, 257, 70, 46}}),
            folder, "self_test/keypad.png") &&
       ok;
  ok = Save(TestedKey(), folder, "self_test/blue.png") && ok;
  return ok ? 0 : 1;
}
