// The drive worker thread: runs one piece of drive work at a time and cancels
// the drive service's operation under way when asked to or when it is destroyed.
#include "master_usb/drive_worker.h"

#include "master_usb/drive_service.h"

namespace dupmon {

DriveWorker::DriveWorker(DriveService& drives) : drives_(drives), thread_([this] { run(); }) {}

DriveWorker::~DriveWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        if (busy_.load())
            drives_.requestCancel();
    }
    cv_.notify_all();
    thread_.join();
}

bool DriveWorker::start(Work work) {
    if (running())
        return false;
    // Cleared here, before the work is handed over, so that a cancel that
    // follows at once is never lost.
    drives_.clearCancel();
    busy_.store(true, std::memory_order_release);
    if (inline_) {
        std::string cause;
        ok_ = work(cause);
        cause_ = std::move(cause);
        busy_.store(false, std::memory_order_release);
        return true;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_ = std::move(work);
    }
    cv_.notify_all();
    return true;
}

void DriveWorker::cancel() {
    if (running())
        drives_.requestCancel();
}

void DriveWorker::run() {
    for (;;) {
        Work work;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [this] { return quit_ || pending_; });
            if (quit_)
                return;
            work = std::move(pending_);
            pending_ = nullptr;
        }
        std::string cause;
        const bool ok = work(cause);
        ok_ = ok;
        cause_ = std::move(cause);
        busy_.store(false, std::memory_order_release);
        if (wake_)
            wake_();
    }
}

} // namespace dupmon
