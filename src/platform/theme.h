#pragma once
// What is drawn over the keypad's own picture or the logo (red key codes, a dark logo) was
// chosen for a light desktop; under a dark theme those faces stay light so it stays readable.
#include <QColor>

namespace platform {

inline QColor LightFace(const QColor& themed) {
  return themed.lightness() >= 128 ? themed : QColor(240, 240, 240);
}

}  // namespace platform
