// The worker thread that waits for the disk: the log stores' syncs and the
// registry's writes while machines run, so that a slow disk never holds the
// GUI thread.
#pragma once
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/file_io.h"

namespace dupmon {

// Syncs files on a thread of its own: a sync takes as long as the disk wants
// (a USB disk, a full journal), and every machine is stepped meanwhile. Jobs
// run in the order they come; each syncs its files in order and tells how it
// ended through its ticket, which the store polls. A job owns descriptors of
// its own, so a store may close while its last sync still runs. Destroying
// the worker runs every job handed in, then joins the thread.
class SyncWorker {
public:
    // 0, or the error number of a failed sync. fdatasync by default; a
    // benchmark gives a slower one to play a slow disk.
    using SyncFunction = std::function<int(int fd)>;

    explicit SyncWorker(SyncFunction sync = {});
    ~SyncWorker();
    SyncWorker(const SyncWorker&) = delete;
    SyncWorker& operator=(const SyncWorker&) = delete;

    // Takes effect from the next job on.
    void setSyncFunction(SyncFunction sync);

    struct Ticket {
        std::atomic<bool> done{false};
        // The first failure among the files that count (read once done).
        int error = 0;
    };
    struct File {
        UniqueFd fd;
        // A failure of a file that does not count (a daily text file) is
        // not reported: the store goes on.
        bool counts = true;
    };
    std::shared_ptr<const Ticket> submit(std::vector<File> files);
    // Other disk work (a file written whole): the ticket's error is what
    // `work` returns, 0 or an error number. It runs in turn with the syncs.
    std::shared_ptr<const Ticket> submit(std::function<int()> work);
    // Waits until the ticket's job has run.
    void wait(const std::shared_ptr<const Ticket>& ticket);

    // Readable once a job has ended since the last takeWakeups(): the event
    // loop watches it and steps the machines, which take their results.
    int wakeFd() const { return wake_.get(); }
    void takeWakeups();

    // fdatasync, as the worker calls it by default.
    static int syncToDisk(int fd);

private:
    struct Job {
        std::vector<File> files;
        std::function<int()> work;
        std::shared_ptr<Ticket> ticket;
    };
    void run();

    UniqueFd wake_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    SyncFunction sync_;
    bool stopping_ = false;
    // Declared last: started when everything it uses exists, joined first.
    std::thread thread_;
};

} // namespace dupmon
