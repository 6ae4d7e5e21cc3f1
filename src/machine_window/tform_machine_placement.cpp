// Where a machine window opens and what it shows first: sized to its port
// map and cut to the screen, cascaded from the other new windows, and
// scrolled so that port #01 and the job panels are in view however small the
// screen.
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <algorithm>

#include "common/window_geometry_qt.h"
#include "machine_window/tform_machine.h"

namespace dupmon {

QGroupBox* TFormMachine::firstPortBox() const {
    const int i = firstPortIndex(layout_.kind, int(GroupBox_Port.size()));
    return i >= 0 ? GroupBox_Port[size_t(i)] : nullptr;
}

void TFormMachine::showFirstPortAndJob() {
    QGroupBox* port = firstPortBox();
    if (!scrollArea || !content || !Edit_Function || !port)
        return;
    auto inContent = [this](const QWidget* w) {
        return QRect(w->mapTo(content, QPoint(0, 0)), w->size());
    };
    const QRect job =
        inContent(Edit_Function) | inContent(Panel_JobInfo) | inContent(Panel_JobTime);
    QRect first = inContent(port);
    // Columns filled from the right: #01 is the last column, and the
    // machine's name above it ends at the window's right edge; both show whole.
    if (layout_.kind == LayoutKind::Kind1)
        first.setRight(std::max(first.right(), content->width() - 1));
    const QSize view = scrollArea->viewport()->size();
    QScrollBar* h = scrollArea->horizontalScrollBar();
    QScrollBar* v = scrollArea->verticalScrollBar();
    h->setValue(scrollToShow(job.left(), job.right() + 1, first.left(), first.right() + 1,
                             view.width(), h->maximum()));
    v->setValue(scrollToShow(job.top(), job.bottom() + 1, first.top(), first.bottom() + 1,
                             view.height(), v->maximum()));
}

void TFormMachine::takeScrollFrom(const TFormMachine& other) {
    if (!scrollArea || !other.scrollArea)
        return;
    shownOnce_ = true; // the operator's view, not the first one
    const int x = other.scrollArea->horizontalScrollBar()->value();
    const int y = other.scrollArea->verticalScrollBar()->value();
    // The ranges are known once the window is laid out on screen.
    QTimer::singleShot(0, this, [this, x, y] {
        scrollArea->horizontalScrollBar()->setValue(x);
        scrollArea->verticalScrollBar()->setValue(y);
    });
}

void TFormMachine::placeAsNewWindow(int k) {
    if (placementLoaded_ || !screen())
        return;
    const FrameMargins m = frameMarginsOf(this);
    const WindowRect frame = cascadedWindow(
        {width() + m.left + m.right, height() + m.top + m.bottom}, freeArea(screen()), k);
    resize(frame.width - m.left - m.right, frame.height - m.top - m.bottom);
    move(frame.left, frame.top);
}

void TFormMachine::fitToScreen() {
    // The window's position is its frame's; its size is the inside's.
    const FrameMargins m = frameMarginsOf(this);
    const WindowRect free = freeArea(screen());
    QSize inside = size();
    const bool byContent = !placementLoaded_ && !isVisible();
    if (byContent) {
        inside = QSize(Panel_Main->width(), Panel_Main->height() + menuBar()->sizeHint().height() +
                                                statusBar()->sizeHint().height());
        // A map taller than the screen scrolls: room for the scroll bar
        // beside it, so that no second bar is needed below it.
        const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
        const WindowRect need = grownBy({0, 0, inside.width(), inside.height()}, m);
        if (need.height > free.height)
            inside.rwidth() += bar;
        if (need.width > free.width)
            inside.rheight() += bar;
    }
    WindowRect frame = grownBy({0, 0, inside.width(), inside.height()}, m);
    frame.top = y();
    frame.left = x();
    // Centred on the screen it opens on unless its placement was kept; a
    // placement kept from a larger screen still opens wholly on this one.
    if (byContent)
        frame = centredInArea({frame.width, frame.height}, free);
    frame = dupmon::fitToScreen(frame, free);
    resize(frame.width - m.left - m.right, frame.height - m.top - m.bottom);
    move(frame.left, frame.top);
}

void TFormMachine::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Now that the desktop has framed the window, keep the frame on the screen too.
    if (Panel_Main && screen() && !freeArea(screen()).contains(toWindowRect(frameGeometry())))
        fitToScreen();
    if (!shownOnce_) {
        shownOnce_ = true;
        showFirstPortAndJob();
    }
}

} // namespace dupmon
