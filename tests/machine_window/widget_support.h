#pragma once
#include <QApplication>
#include <QTimer>
#include <functional>

// fontconfig keeps its configuration until the process ends; that is not
// ours to free, so the leak checker is told to look past it.
extern "C" __attribute__((weak, used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace dupmon {

// The one application object of a widget test program.
inline QApplication& testApplication() {
    static int argc = 1;
    static char name[] = "dupmon_widget_test";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = new QApplication(argc, argv);
    return *instance;
}

// Run `fn` on the modal dialog as soon as one is open (a modal exec() is
// about to start when this is called).
inline void whenModal(std::function<void(QWidget*)> fn) {
    auto* timer = new QTimer;
    timer->setInterval(1);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            fn(w);
        }
    });
    timer->start();
}

} // namespace dupmon
