// The disk worker thread: runs queued syncs and writes in order and wakes the
// GUI thread through an eventfd as each job is done.
#include "common/sync_worker.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

namespace dupmon {

int SyncWorker::syncToDisk(int fd) {
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

SyncWorker::SyncWorker(SyncFunction sync)
    : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      sync_(sync ? std::move(sync) : SyncFunction(&SyncWorker::syncToDisk)),
      thread_([this] { run(); }) {}

SyncWorker::~SyncWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SyncWorker::setSyncFunction(SyncFunction sync) {
    std::lock_guard<std::mutex> lock(mutex_);
    sync_ = sync ? std::move(sync) : SyncFunction(&SyncWorker::syncToDisk);
}

std::shared_ptr<const SyncWorker::Ticket> SyncWorker::submit(std::vector<File> files) {
    auto ticket = std::make_shared<Ticket>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back({std::move(files), {}, ticket});
    }
    changed_.notify_all();
    return ticket;
}

std::shared_ptr<const SyncWorker::Ticket> SyncWorker::submit(std::function<int()> work) {
    auto ticket = std::make_shared<Ticket>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back({{}, std::move(work), ticket});
    }
    changed_.notify_all();
    return ticket;
}

void SyncWorker::wait(const std::shared_ptr<const Ticket>& ticket) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return ticket->done.load(); });
}

void SyncWorker::takeWakeups() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(wake_.get(), &count, sizeof count);
}

void SyncWorker::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty())
            return; // stopping, and every job has run
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        const SyncFunction sync = sync_;
        lock.unlock();
        int error = job.work ? job.work() : 0;
        for (File& f : job.files) {
            const int e = sync(f.fd.get());
            if (e != 0 && f.counts && error == 0)
                error = e;
            f.fd.reset();
        }
        lock.lock();
        job.ticket->error = error;
        job.ticket->done = true;
        changed_.notify_all();
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }
}

} // namespace dupmon
