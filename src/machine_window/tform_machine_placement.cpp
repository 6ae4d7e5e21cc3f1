// Where a machine window opens and what it shows first: cascaded from the
// other new windows, and scrolled so that port #01 and the job panels are in
// view however small the screen.
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QWindow>
#include <algorithm>

#include "machine_window/tform_machine.h"

namespace dupmon {

void TFormMachine::alignHeaderWithFirstPort(int by) {
    if (layout_.kind != LayoutKind::Kind1)
        return;
    // The machine's name stays in view with the header.
    GroupBox_Machine->setAlignment(Qt::AlignRight);
    if (by <= 0)
        return;
    for (QWidget* w : {static_cast<QWidget*>(Edit_Function), static_cast<QWidget*>(Panel_JobInfo),
                       static_cast<QWidget*>(Panel_JobTime), static_cast<QWidget*>(Label_Log),
                       static_cast<QWidget*>(Edit_LogNo), static_cast<QWidget*>(Button_SaveScreen),
                       static_cast<QWidget*>(GroupBox_SourceImage),
                       static_cast<QWidget*>(GroupBox_Port.empty() ? nullptr : GroupBox_Port[0])})
        if (w)
            w->move(w->x() + by, w->y());
}

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
    if (placementLoaded_)
        return;
    const QScreen* s = screen();
    if (!s)
        return;
    QMargins m(4, 30, 4, 4); // the desktop's frame, until it has put one around
    if (windowHandle() && !windowHandle()->frameMargins().isNull())
        m = windowHandle()->frameMargins();
    const QRect free = s->availableGeometry();
    const QSize frame = size().grownBy(m);
    const ScreenRect r = cascadedWindow(frame.width(), frame.height(),
                                        {free.left(), free.top(), free.width(), free.height()}, k);
    resize(QSize(r.width, r.height).shrunkBy(m));
    move(r.left, r.top);
}

} // namespace dupmon
