#pragma once
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace dupmon {

// Moves and, where it must, shrinks a shown window so that its frame lies
// within the available area of its screen: a position saved on a larger
// screen, or a size made for one, never leaves part of the window out of
// reach. A window that fits is left where it is.
inline void keepOnScreen(QWidget* w) {
    const QScreen* s = w->screen();
    if (!s)
        return;
    const QRect area = s->availableGeometry();
    const QRect frame = w->frameGeometry();
    if (area.contains(frame))
        return;
    const int frameWidth = frame.width() - w->width();
    const int frameHeight = frame.height() - w->height();
    const int width = std::max(1, std::min(w->width(), area.width() - frameWidth));
    const int height = std::max(1, std::min(w->height(), area.height() - frameHeight));
    w->resize(width, height);
    const int left = std::clamp(frame.left(), area.left(),
                                std::max(area.left(), area.right() + 1 - width - frameWidth));
    const int top = std::clamp(frame.top(), area.top(),
                               std::max(area.top(), area.bottom() + 1 - height - frameHeight));
    w->move(left, top);
}

} // namespace dupmon
