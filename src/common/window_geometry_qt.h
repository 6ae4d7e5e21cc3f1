// Qt's side of window geometry: rectangles converted once, the free area of
// a screen, the desktop's frame, and the fit that keeps a shown window on
// its screen. The arithmetic itself is in window_geometry.h.
#pragma once
#include <QRect>

#include "common/window_geometry.h"

class QScreen;
class QWidget;

namespace dupmon {

WindowRect toWindowRect(const QRect& r);
QRect toQRect(const WindowRect& r);

// The screen's free area (without panels and docks); kFallbackScreen without a screen.
WindowRect freeArea(const QScreen* screen);
// The frame the desktop puts around `w`, once it has one; before that the usual one.
FrameMargins frameMarginsOf(const QWidget* w);

// Moves and, where it must, shrinks a window whose frame leaves the free
// area of its screen: a position saved on a larger screen, or a size made for
// one, never leaves part of the window out of reach. A window that fits is
// left where it is.
void keepOnScreen(QWidget* w);

} // namespace dupmon
