// The event-loop probe on Qt's real loop: work that holds the loop is a gap,
// waiting for something to happen is not, and a nested loop turns as well.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <thread>

#include "app/loop_probe.h"

using namespace dupmon;

namespace {

void ensureApp() {
    static int argc = 1;
    static char name[] = "loop_probe_test";
    static char* argv[] = {name, nullptr};
    if (!QApplication::instance())
        new QApplication(argc, argv);
}

void hold(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

TEST(LoopProbe, AHandlerThatHoldsTheLoopIsAGapAndIdleTimeIsNot) {
    ensureApp();
    LoopProbe probe;
    ASSERT_TRUE(probe.installed());
    QEventLoop loop;
    // Hold the loop 60 ms, then leave it idle for a second before ending.
    QTimer::singleShot(0, [] { hold(60); });
    QTimer::singleShot(100, [&loop] { QTimer::singleShot(1000, &loop, &QEventLoop::quit); });
    loop.exec();
    EXPECT_GE(probe.gaps().longestUs(), 60'000u);
    EXPECT_LT(probe.gaps().longestUs(), 600'000u); // the idle second is not one
    EXPECT_GE(probe.gaps().count(), 3u);
    EXPECT_LT(probe.gaps().percentileUs(0.5), 60'000u);

    probe.reset();
    EXPECT_EQ(probe.gaps().count(), 0u);
}

TEST(LoopProbe, ANestedLoopTurnsWhileItsHandlerWaitsInIt) {
    ensureApp();
    LoopProbe probe;
    QEventLoop outer;
    // A handler that waits a second in its own loop, as a modal dialog does,
    // while a timer holds that nested loop for 50 ms at a time.
    QTimer::singleShot(0, [&outer] {
        QEventLoop inner;
        QTimer beat;
        QObject::connect(&beat, &QTimer::timeout, [] { hold(50); });
        beat.start(200);
        QTimer::singleShot(1000, &inner, &QEventLoop::quit);
        inner.exec();
        outer.quit();
    });
    outer.exec();
    EXPECT_GE(probe.gaps().longestUs(), 50'000u);
    EXPECT_LT(probe.gaps().longestUs(), 600'000u);
}

TEST(LoopProbe, OneProbeAtATime) {
    ensureApp();
    LoopProbe first;
    LoopProbe second;
    EXPECT_TRUE(first.installed());
    EXPECT_FALSE(second.installed());
}
