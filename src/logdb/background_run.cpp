// Running a window's reading on its own thread and handing the result back
// through the window's event queue, unless a newer run replaced it.
#include "logdb/background_run.h"

#include <QMetaObject>

namespace dupmon {

void BackgroundRun::start(Work work) {
    stop();
    const uint64_t generation = generation_;
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    running_ = true;
    thread_ = std::thread([this, work = std::move(work), cancel = cancel_, generation] {
        std::function<void()> done = work(*cancel);
        if (cancel->load())
            return;
        // Queued to the window, which outlives this thread (its end joins
        // it); an event still queued when the window goes is dropped with it.
        QMetaObject::invokeMethod(
            context_,
            [this, done = std::move(done), generation] {
                if (generation != generation_)
                    return; // cancelled after it was queued
                running_ = false;
                if (done)
                    done();
            },
            Qt::QueuedConnection);
    });
}

void BackgroundRun::stop() {
    ++generation_;
    if (cancel_)
        cancel_->store(true);
    if (thread_.joinable())
        thread_.join();
    running_ = false;
}

} // namespace dupmon
