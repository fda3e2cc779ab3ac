#include "platform/window_placement.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QGuiApplication>
#include <QScreen>
#include <algorithm>

namespace platform {
namespace {

QMargins FrameOf(const QWidget* shown) {
  if (shown == nullptr || !shown->isVisible()) return {};
  const QRect frame = shown->window()->frameGeometry();
  const QRect inner = shown->window()->geometry();
  return {inner.left() - frame.left(), inner.top() - frame.top(), frame.right() - inner.right(),
          frame.bottom() - inner.bottom()};
}

QRect AvailableAreaAt(QPoint point, const QWidget* owner) {
  const QScreen* screen = QGuiApplication::screenAt(point);
  if (screen == nullptr && owner != nullptr) screen = owner->screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  return screen != nullptr ? screen->availableGeometry() : QRect();
}

QAccessibleInterface* WindowInterface(const QString& className, QObject* object) {
  auto* widget = qobject_cast<QWidget*>(object);
  if (widget == nullptr || !widget->isWindow() || !widget->property("announceAsWindow").toBool() ||
      className != QString::fromLatin1(object->metaObject()->className())) {
    return nullptr;
  }
  return new QAccessibleWidget(widget, QAccessible::Window);
}

}  // namespace

void PlaceOnScreen(QWidget* window, QPoint topLeft, const QWidget* owner) {
  const QRect area = AvailableAreaAt(topLeft, owner);
  if (area.isEmpty()) return window->move(topLeft);
  const QMargins frame = FrameOf(owner);
  const int frameWidth = frame.left() + frame.right();
  const int frameHeight = frame.top() + frame.bottom();
  window->resize(std::min(window->width(), area.width() - frameWidth),
                 std::min(window->height(), area.height() - frameHeight));
  const int x = std::clamp(topLeft.x(), area.left(),
                           std::max(area.left(), area.right() + 1 - window->width() - frameWidth));
  const int y =
      std::clamp(topLeft.y(), area.top(),
                 std::max(area.top(), area.bottom() + 1 - window->height() - frameHeight));
  window->move(x, y);
}

void CentreOnScreen(QWidget* window, const QWidget* owner) {
  const QScreen* primary = QGuiApplication::primaryScreen();
  if (owner == nullptr && primary == nullptr) return;
  const QPoint centre =
      owner != nullptr ? owner->frameGeometry().center() : primary->availableGeometry().center();
  const QRect area = AvailableAreaAt(centre, owner);
  const QMargins frame = FrameOf(owner);
  const QSize outer = window->size().boundedTo(area.size()) +
                      QSize(frame.left() + frame.right(), frame.top() + frame.bottom());
  PlaceOnScreen(window, area.center() - QPoint(outer.width() / 2, outer.height() / 2), owner);
}

void AnnounceAsWindow(QWidget* window) {
  static const bool installed = [] {
    QAccessible::installFactory(WindowInterface);
    return true;
  }();
  (void)installed;
  window->setProperty("announceAsWindow", true);
}

}  // namespace platform
