#pragma once
// Geometry checks for a window of the program, for widget tests:
//
//   EXPECT_TRUE(dupmon::cleanLayout(&window, "log_viewer", "empty"));
//
// shows the window, writes its picture to <screenshot dir>/log_viewer/empty.png
// and fails, naming each control, when
//   - two visible sibling controls overlap;
//   - a visible control lies outside its parent (for a group box: outside the
//     area under its title), so that part of it is cut off;
//   - a window does not fit the available area of the screen it is on;
//   - a label, button, group box title or read-only field is too small for
//     its text or its font;
//   - a visible menu or menu item has no underlined letter (Alt+letter), or
//     shares it with a sibling: the menus must be reachable from the keyboard.
// Widget geometry is checked, not pixels. The content of a scroll area may be
// larger than the area as long as it can scroll there.
//
// Texts laid out in columns need a font that draws every character equally
// wide: EXPECT_EQ(dupmon::unevenCharacters(grid->font()), "") names the
// characters that would break the columns.
//
// The screenshot folder is $DUPMON_SCREENSHOT_DIR, else "screenshots" in the
// build tree. A widget with the property "layoutCheckIgnore" set to true is
// left out together with everything inside it (for a deliberate overlay).
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFont>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QImage>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOption>
#include <QTabBar>
#include <QToolBar>
#include <QWidget>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace dupmon {

namespace layout_check_detail {

inline std::string rectText(const QRect& r) {
    return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) +
           "x" + std::to_string(r.height());
}

// A control's name for a message: object name, class, and its text when it has one.
inline std::string describe(const QWidget* w) {
    std::string s = w->metaObject()->className();
    if (!w->objectName().isEmpty()) {
        s += ' '; // appended apart: GCC 12 warns falsely of an overlap on " " + text
        s += w->objectName().toStdString();
    }
    QString text;
    if (auto* l = qobject_cast<const QLabel*>(w))
        text = l->text();
    else if (auto* b = qobject_cast<const QAbstractButton*>(w))
        text = b->text();
    else if (auto* g = qobject_cast<const QGroupBox*>(w))
        text = g->title();
    else if (auto* e = qobject_cast<const QLineEdit*>(w))
        text = e->text();
    if (!text.isEmpty())
        s += " \"" + text.left(40).toStdString() + "\"";
    return s + " [" + rectText(w->geometry()) + "]";
}

inline std::string path(const QWidget* w, const QWidget* top) {
    std::string s = describe(w);
    for (const QWidget* p = w->parentWidget(); p && p != top; p = p->parentWidget())
        if (!p->objectName().isEmpty())
            s += " in " + p->objectName().toStdString();
    return s;
}

inline bool ignored(const QWidget* w) {
    return w->property("layoutCheckIgnore").toBool();
}

// Widgets whose children Qt places itself (scroll bars, editors, headers,
// menus): checked as one control, not taken apart.
inline bool compound(const QWidget* w) {
    return qobject_cast<const QAbstractSpinBox*>(w) || qobject_cast<const QComboBox*>(w) ||
           qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractItemView*>(w) ||
           qobject_cast<const QMenuBar*>(w) || qobject_cast<const QToolBar*>(w) ||
           qobject_cast<const QTabBar*>(w) || qobject_cast<const QScrollBar*>(w) ||
           qobject_cast<const QStatusBar*>(w);
}

inline std::vector<QWidget*> visibleChildren(const QWidget* w) {
    std::vector<QWidget*> out;
    for (QObject* o : w->children()) {
        auto* c = qobject_cast<QWidget*>(o);
        if (c && !c->isWindow() && c->isVisible() && !ignored(c) && !c->geometry().isEmpty())
            out.push_back(c);
    }
    return out;
}

// The part of `parent` in which a child is seen whole.
inline QRect usableArea(const QWidget* parent) {
    if (auto* g = qobject_cast<const QGroupBox*>(parent)) {
        if (g->title().isEmpty())
            return g->rect();
        QStyleOptionGroupBox opt;
        opt.initFrom(g);
        opt.text = g->title();
        opt.lineWidth = 1;
        opt.midLineWidth = 0;
        opt.textAlignment = g->alignment();
        opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        if (g->isCheckable())
            opt.subControls |= QStyle::SC_GroupBoxCheckBox;
        if (g->isFlat())
            opt.features |= QStyleOptionFrame::Flat;
        const QRect label =
            g->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, g);
        QRect r = g->rect();
        r.setTop(std::max(r.top(), label.bottom() + 1));
        return r;
    }
    return parent->rect();
}

// The content of a scroll area may exceed the area in a direction it scrolls.
inline bool scrolledContent(const QWidget* w, bool& horizontal, bool& vertical) {
    const QWidget* viewport = w->parentWidget();
    auto* area =
        viewport ? qobject_cast<const QAbstractScrollArea*>(viewport->parentWidget()) : nullptr;
    if (!area || area->viewport() != viewport)
        return false;
    horizontal = area->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff;
    vertical = area->verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff;
    return true;
}

inline void checkText(const QWidget* w, const QWidget* top, std::vector<std::string>& out) {
    const QFontMetrics fm = w->fontMetrics();
    auto tooSmall = [&](const char* what, int needW, int needH) {
        if (w->width() < needW || w->height() < needH)
            out.push_back(path(w, top) + ": " + what + " needs " + std::to_string(needW) + "x" +
                          std::to_string(needH));
    };
    if (auto* l = qobject_cast<const QLabel*>(w)) {
        if (l->text().isEmpty() || l->wordWrap() || !l->pixmap().isNull())
            return;
        const QSize hint = l->sizeHint();
        tooSmall("text", hint.width(), fm.height());
    } else if (auto* c = qobject_cast<const QCheckBox*>(w)) {
        tooSmall("text", c->sizeHint().width(), fm.height());
    } else if (auto* r = qobject_cast<const QRadioButton*>(w)) {
        tooSmall("text", r->sizeHint().width(), fm.height());
    } else if (auto* b = qobject_cast<const QPushButton*>(w)) {
        if (b->text().isEmpty())
            return;
        tooSmall("text", fm.horizontalAdvance(b->text()) + 6, fm.height() + 2);
    } else if (auto* g = qobject_cast<const QGroupBox*>(w)) {
        if (g->title().isEmpty())
            return;
        tooSmall("title", fm.horizontalAdvance(g->title()) + 8, fm.height());
    } else if (auto* e = qobject_cast<const QLineEdit*>(w)) {
        // What QLineEdit itself asks for around its text.
        const QMargins tm = e->textMargins();
        QStyleOptionFrame opt;
        opt.initFrom(e);
        opt.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
        const int textWidth = e->isReadOnly() ? fm.horizontalAdvance(e->text()) : 0;
        const QSize need =
            e->style()->sizeFromContents(QStyle::CT_LineEdit, &opt,
                                         QSize(textWidth + 2 * 2 + tm.left() + tm.right(),
                                               fm.height() + 2 * 1 + tm.top() + tm.bottom()),
                                         e);
        tooSmall(e->isReadOnly() ? "text" : "font", e->isReadOnly() ? need.width() : 0,
                 need.height());
    }
}

inline void checkTree(const QWidget* w, const QWidget* top, std::vector<std::string>& out) {
    checkText(w, top, out);
    if (compound(w))
        return;
    const std::vector<QWidget*> kids = visibleChildren(w);
    const QRect area = usableArea(w);
    for (size_t i = 0; i < kids.size(); ++i) {
        const QRect g = kids[i]->geometry();
        bool scrollX = false, scrollY = false;
        const bool content = scrolledContent(kids[i], scrollX, scrollY);
        const bool outX = g.left() < area.left() || g.right() > area.right();
        const bool outY = g.top() < area.top() || g.bottom() > area.bottom();
        // Scrolled content starts at the origin and is reachable in every direction that scrolls.
        if (content ? ((outX && !scrollX) || (outY && !scrollY) || g.left() > 0 || g.top() > 0)
                    : (outX || outY))
            out.push_back(path(kids[i], top) + ": outside the visible area " + rectText(area) +
                          " of " + describe(w));
        for (size_t j = i + 1; j < kids.size(); ++j)
            if (g.intersects(kids[j]->geometry()))
                out.push_back(path(kids[i], top) + " overlaps " + describe(kids[j]));
        checkTree(kids[i], top, out);
    }
}

// Each visible entry of a menu bar or menu has an underlined letter of its own.
inline void checkMenu(const QList<QAction*>& actions, const std::string& where,
                      std::vector<std::string>& out) {
    std::map<int, std::string> taken;
    for (QAction* a : actions) {
        if (!a->isVisible() || a->isSeparator())
            continue;
        const std::string text = a->text().toStdString();
        const QKeySequence key = QKeySequence::mnemonic(a->text());
        if (key.isEmpty()) {
            out.push_back(where + ": \"" + text + "\" has no underlined letter");
        } else {
            auto [it, fresh] = taken.emplace(key[0].toCombined(), text);
            if (!fresh)
                out.push_back(where + ": \"" + text + "\" and \"" + it->second +
                              "\" share their underlined letter");
        }
        if (a->menu())
            checkMenu(a->menu()->actions(), where + " > " + a->text().remove('&').toStdString(),
                      out);
    }
}

} // namespace layout_check_detail

// Lays out and shows `top` (when hidden), then lists every problem found.
inline std::vector<std::string> layoutProblems(QWidget* top) {
    using namespace layout_check_detail;
    if (!top->isVisible())
        top->show();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QApplication::processEvents();
    std::vector<std::string> out;
    if (visibleChildren(top).empty()) {
        out.push_back(describe(top) + ": nothing visible to check");
        return out;
    }
    if (QScreen* screen = top->screen()) {
        const QRect avail = screen->availableGeometry();
        const QRect frame = top->frameGeometry();
        if (!avail.contains(frame))
            out.push_back(describe(top) + ": window " + rectText(frame) +
                          " does not fit the screen's " + rectText(avail));
    }
    checkTree(top, top, out);
    for (const QMenuBar* bar : top->findChildren<QMenuBar*>())
        if (bar->isVisible())
            checkMenu(bar->actions(), describe(top) + " menu bar", out);
    return out;
}

// `w` is on screen whole: shown, and neither cut by any widget it lies in (a
// scroll area's view included) nor by the edge of the screen's free area.
inline bool wholeInView(const QWidget* w) {
    if (!w || !w->isVisible())
        return false;
    const QWidget* top = w->window();
    const QRect whole(w->mapTo(top, QPoint(0, 0)), w->size());
    QRect seen = whole;
    for (const QWidget* p = w->parentWidget(); p && p != top; p = p->parentWidget())
        seen &= QRect(p->mapTo(top, QPoint(0, 0)), p->size());
    seen &= top->rect();
    if (seen != whole)
        return false;
    const QScreen* screen = top->screen();
    return !screen || screen->availableGeometry().contains(
                          QRect(top->mapToGlobal(whole.topLeft()), whole.size()));
}

// The folder for screenshots: $DUPMON_SCREENSHOT_DIR, else "screenshots" in the build tree.
inline std::filesystem::path screenshotDir() {
    if (const char* env = std::getenv("DUPMON_SCREENSHOT_DIR"); env && *env)
        return env;
#ifdef DUPMON_BUILD_DIR
    return std::filesystem::path(DUPMON_BUILD_DIR) / "screenshots";
#else
    return std::filesystem::current_path() / "screenshots";
#endif
}

// Writes a picture of `top` to <screenshotDir>/<folder>/<name>.png; returns its path
// (empty when it could not be written).
inline std::filesystem::path writeScreenshot(QWidget* top, const std::string& folder,
                                             const std::string& name) {
    const std::filesystem::path dir = screenshotDir() / folder;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::filesystem::path file = dir / (name + ".png");
    if (!top->grab().toImage().save(QString::fromStdString(file.string()), "PNG"))
        return {};
    return file;
}

// Both at once, for EXPECT_TRUE: the picture is written whatever the result.
inline ::testing::AssertionResult cleanLayout(QWidget* top, const std::string& folder,
                                              const std::string& name) {
    const std::vector<std::string> problems = layoutProblems(top);
    const std::filesystem::path shot = writeScreenshot(top, folder, name);
    if (problems.empty())
        return ::testing::AssertionSuccess();
    auto result = ::testing::AssertionFailure();
    result << problems.size() << " layout problem(s) in " << folder << "/" << name << " (picture "
           << (shot.empty() ? std::string("not written") : shot.string()) << "):";
    for (const std::string& p : problems)
        result << "\n  " << p;
    return result;
}

// The printable ASCII characters drawn wider or narrower than a blank in
// `font`: empty when texts in columns line up, whatever family was found.
inline std::string unevenCharacters(const QFont& font) {
    const QFontMetricsF metrics(font);
    const qreal blank = metrics.horizontalAdvance(QChar(' '));
    std::string out;
    for (char c = '!'; c <= '~'; ++c)
        if (std::abs(metrics.horizontalAdvance(QChar(c)) - blank) > 0.01)
            out += c;
    return out;
}

} // namespace dupmon
