#pragma once
#include <QApplication>
#include <QElapsedTimer>

namespace dupmon::test {

// Runs the Qt event loop until `done`, at most `ms` milliseconds.
template <class F> bool spin(F done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

} // namespace dupmon::test
