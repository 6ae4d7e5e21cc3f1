#pragma once
// The program's UiServices: QMessageBox boxes wide enough for their caption,
// and event-loop passes for requests that wait; on standard error when
// headless.
#include <QCoreApplication>
#include <QEventLoop>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <string>

#include "common/ui_services.h"

namespace dupmon {

// Room a desktop's title bar takes beside the title: the window icon and
// the minimise, maximise and close buttons.
inline constexpr int kTitleBarButtons = 160;

// A message box is as wide as its text asks; a short text under a longer
// caption ("Illegal Date !" under "Error") would leave the desktop no room
// for the caption, cut to "...". The box is made wide enough for it whole.
inline void keepTitleWhole(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid)
        return;
    const int need = box.fontMetrics().horizontalAdvance(box.windowTitle()) + kTitleBarButtons;
    grid->addItem(new QSpacerItem(need, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}

// Message boxes and waiting for the program: QMessageBox with one OK button,
// and a nested event loop pass that sleeps until something happens. Without
// windows, messages go to standard error.
class QtUiServices final : public UiServices {
public:
    explicit QtUiServices(bool headless) : headless_(headless) {}
    void messageBox(std::string_view text, std::string_view caption) override {
        if (headless_) {
            std::fprintf(stderr, "%.*s: %.*s\n", int(caption.size()), caption.data(),
                         int(text.size()), text.data());
            return;
        }
        QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(caption.data(), int(caption.size())),
                        QString::fromUtf8(text.data(), int(text.size())), QMessageBox::Ok);
        keepTitleWhole(box);
        box.exec();
    }
    bool askYesNo(std::string_view text, std::string_view caption) override {
        if (headless_)
            return true;
        QMessageBox box(
            QMessageBox::Question, QString::fromUtf8(caption.data(), int(caption.size())),
            QString::fromUtf8(text.data(), int(text.size())), QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
        keepTitleWhole(box);
        return box.exec() == QMessageBox::Yes;
    }
    void messageBoxLater(std::string_view text, std::string_view caption) override {
        if (headless_) {
            messageBox(text, caption);
            return;
        }
        // From its own turn of the event loop, so that the machine step that
        // raised it has returned and every timer keeps running under the box.
        QTimer::singleShot(0, QCoreApplication::instance(),
                           [this, t = std::string(text), c = std::string(caption)] {
                               if (!closing_)
                                   messageBox(t, c);
                           });
    }
    bool processEvents() override {
        if (closing_)
            return false;
        QEventLoop loop;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
        return !closing_;
    }
    void setClosing() { closing_ = true; }

private:
    bool headless_;
    bool closing_ = false;
};

} // namespace dupmon
