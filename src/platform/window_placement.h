// Where the windows open: wholly on the screen they open on, whatever its size, and announced
// to assistive technology as windows.
#pragma once

#include <QPoint>
#include <QWidget>

namespace platform {

// Puts `window`'s frame corner at `topLeft`, or as near as keeps the whole frame inside the
// available area of the screen there; a window larger than that area is shrunk to it (down
// to its minimum size). `owner`, an open window, tells the frame's size before the window
// manager has drawn this one.
void PlaceOnScreen(QWidget* window, QPoint topLeft, const QWidget* owner);
// The same, centred on `owner`'s screen.
void CentreOnScreen(QWidget* window, const QWidget* owner);

// A window built on a plain QWidget is otherwise announced as a filler, not a window.
void AnnounceAsWindow(QWidget* window);

}  // namespace platform
