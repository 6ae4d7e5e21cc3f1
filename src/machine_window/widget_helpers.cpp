// Small helpers the machine window builds its widgets with: colours given as
// Windows colour values, the forms' fonts, and controls placed in pixels.
#include "machine_window/widget_helpers.h"

#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>
#include <cstring>

#include "common/fixed_pitch_font.h"

namespace dupmon {

QColor bgr(uint32_t v) {
    return QColor(int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF));
}

QColor systemWindowColour() {
    return QApplication::palette().color(QPalette::Base);
}

QColor systemWindowFrameColour() {
    return QColor(100, 100, 100);
}

QFont namedFont(const char* family, int points, bool bold) {
    if (std::strcmp(family, "Courier New") == 0)
        return fixedPitchFont(family, points, bold);
    QFont f(family);
    f.setPointSize(points);
    f.setBold(bold);
    if (std::strcmp(family, "Book Antiqua") == 0)
        f.setStyleHint(QFont::Serif);
    return f;
}

QFont sizedFont(int points) {
    QFont f = QApplication::font();
    f.setPointSize(points);
    return f;
}

void setBackground(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void setBase(QLineEdit* e, const QColor& c) {
    if (e->palette().color(QPalette::Base) == c)
        return;
    QPalette p = e->palette();
    p.setColor(QPalette::Base, c);
    e->setPalette(p);
}

void setTextColour(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    p.setColor(QPalette::Text, c);
    p.setColor(QPalette::ButtonText, c);
    w->setPalette(p);
}

QFrame* panel(QWidget* parent, int left, int top, int width, int height) {
    auto* f = new QFrame(parent);
    f->setFrameStyle(QFrame::Panel | QFrame::Raised);
    f->setGeometry(left, top, width, height);
    return f;
}

QLabel* label(QWidget* parent, const char* name, const QString& text, int left, int top, int width,
              int height, const QFont& font) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setFont(font);
    l->setGeometry(left, top, std::max(width, l->sizeHint().width()), height);
    return l;
}

QLineEdit* edit(QWidget* parent, const char* name, const QString& text, int left, int top,
                int width, int height, const QFont& font, bool readOnly) {
    auto* e = new QLineEdit(text, parent);
    e->setObjectName(name);
    e->setFont(font);
    e->setGeometry(left, top, width, height);
    e->setReadOnly(readOnly);
    if (readOnly)
        e->setFocusPolicy(Qt::NoFocus);
    return e;
}

QSize editSizeFor(const QLineEdit* e, const QString& text) {
    const QFontMetrics fm = e->fontMetrics();
    const QMargins tm = e->textMargins();
    QStyleOptionFrame opt;
    opt.initFrom(e);
    opt.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
    return e->style()->sizeFromContents(
        QStyle::CT_LineEdit, &opt,
        QSize(fm.horizontalAdvance(text) + 2 * 2 + tm.left() + tm.right(),
              fm.height() + 2 * 1 + tm.top() + tm.bottom()),
        e);
}

int groupBoxContentTop(const QGroupBox* g) {
    QStyleOptionGroupBox opt;
    opt.initFrom(g);
    opt.text = g->title();
    opt.lineWidth = 1;
    opt.textAlignment = g->alignment();
    opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label =
        g->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, g);
    return label.bottom() + 1;
}

int textWidth(const QFont& font, const QString& text) {
    return QFontMetrics(font).horizontalAdvance(text);
}

} // namespace dupmon
