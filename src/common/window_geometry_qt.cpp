// Converting window rectangles to and from Qt, and keeping shown windows on screen.
#include "common/window_geometry_qt.h"

#include <QMargins>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <algorithm>

namespace dupmon {

WindowRect toWindowRect(const QRect& r) {
    return {r.top(), r.left(), r.width(), r.height()};
}

QRect toQRect(const WindowRect& r) {
    return QRect(r.left, r.top, r.width, r.height);
}

WindowRect freeArea(const QScreen* screen) {
    return screen ? toWindowRect(screen->availableGeometry()) : kFallbackScreen;
}

FrameMargins frameMarginsOf(const QWidget* w) {
    const QWindow* handle = w->windowHandle();
    if (!handle || handle->frameMargins().isNull())
        return {};
    const QMargins m = handle->frameMargins();
    return {m.left(), m.top(), m.right(), m.bottom()};
}

void keepOnScreen(QWidget* w) {
    const QScreen* s = w->screen();
    if (!s)
        return;
    const WindowRect area = toWindowRect(s->availableGeometry());
    const WindowRect frame = toWindowRect(w->frameGeometry());
    if (area.contains(frame))
        return;
    const WindowRect fitted = fitToScreen(frame, area);
    const int frameWidth = frame.width - w->width();
    const int frameHeight = frame.height - w->height();
    w->resize(std::max(1, fitted.width - frameWidth), std::max(1, fitted.height - frameHeight));
    w->move(fitted.left, fitted.top);
}

} // namespace dupmon
