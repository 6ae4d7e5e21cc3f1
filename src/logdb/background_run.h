#pragma once
// One piece of reading at a time on a thread of its own, for windows that
// must not wait on a large log database: the result comes back on the
// window's thread, and a newer request or the window's end cancels an older
// one.
#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace dupmon {

class BackgroundRun {
public:
    // What runs on the thread: it checks `cancel` now and then and returns
    // what to do with its result on the window's thread.
    using Work = std::function<std::function<void()>(const std::atomic<bool>& cancel)>;

    // `context` is the window that holds this object as a member, so it
    // lives as long as the thread does.
    explicit BackgroundRun(QObject* context) : context_(context) {}
    ~BackgroundRun() { stop(); }
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;

    // Cancels what runs (its result is dropped) and starts `work`. The work
    // must not touch the window: only what it returns does, on its thread.
    void start(Work work);
    // Cancels and waits for the thread, which checks its flag often.
    void stop();
    bool running() const { return running_; }

private:
    QObject* context_;
    std::thread thread_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    uint64_t generation_ = 0;
    bool running_ = false;
};

} // namespace dupmon
