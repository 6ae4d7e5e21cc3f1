#pragma once
// DriveWorker: the thread on which the download flow's drive work runs.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace dupmon {

class DriveService;

// The download flow's drive queries, drive tools and source checks, one at a
// time on a thread of its own, so that the GUI thread never waits on a drive
// or a tool. The flow starts an operation and looks on its later passes
// whether it has ended; `wake`, called on the worker thread when one ends,
// lets the GUI thread's loop know at once. The thread is made with the worker
// and joined with it; a running operation is asked to end first (the service
// kills the tool it runs), so the join does not wait for a slow drive.
class DriveWorker {
public:
    using Work = std::function<bool(std::string& cause)>;

    explicit DriveWorker(DriveService& drives);
    ~DriveWorker();
    DriveWorker(const DriveWorker&) = delete;
    DriveWorker& operator=(const DriveWorker&) = delete;

    // Set before the first operation.
    void setWake(std::function<void()> wake) { wake_ = std::move(wake); }
    // Operations run at once on the caller's thread (tests that step by hand).
    void setInline(bool on) { inline_ = on; }

    // Starts an operation; false while another one runs.
    bool start(Work work);
    // From start() until the operation has ended.
    bool running() const { return busy_.load(std::memory_order_acquire); }
    // The outcome of the last operation that ended; read once running() is false.
    bool ok() const { return ok_; }
    const std::string& cause() const { return cause_; }
    // Asks the running operation to end now; it then ends as a failure.
    void cancel();

private:
    void run();

    DriveService& drives_;
    std::function<void()> wake_;
    bool inline_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
    Work pending_;
    bool quit_ = false;
    std::atomic<bool> busy_{false};
    bool ok_ = false;
    std::string cause_;
    std::thread thread_; // last: it starts once everything it uses is made
};

} // namespace dupmon
