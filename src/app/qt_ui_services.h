#pragma once
#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <string>

#include "common/ui_services.h"

namespace dupmon {

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
        box.exec();
    }
    bool askYesNo(std::string_view text, std::string_view caption) override {
        if (headless_)
            return true;
        QMessageBox box(
            QMessageBox::Question, QString::fromUtf8(caption.data(), int(caption.size())),
            QString::fromUtf8(text.data(), int(text.size())), QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::No);
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
