#pragma once
// A disk for tests of the sync worker: its syncs wait until the test lets
// them go, it tells the files in the order they were synced, and it can
// refuse syncs (all of them, or the log database's a number of times).
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace dupmon::test {

struct HeldDisk {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int error = 0;                   // what every sync answers once let go
    int refuseDatabase = 0;          // log database syncs still to refuse with EIO
    std::vector<std::string> synced; // file names, in order

    int sync(int fd) {
        char link[4096] = {};
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(proc.c_str(), link, sizeof link - 1);
        const std::string name =
            std::filesystem::path(std::string(link, n > 0 ? size_t(n) : 0)).filename().string();
        std::unique_lock<std::mutex> lock(m);
        synced.push_back(name);
        cv.wait(lock, [&] { return open; });
        if (refuseDatabase > 0 && name.find(".QX42.LOGDATA") != std::string::npos) {
            --refuseDatabase;
            return EIO;
        }
        return error;
    }
    void let(bool go, int withError = 0) {
        std::lock_guard<std::mutex> lock(m);
        open = go;
        error = withError;
        cv.notify_all();
    }
};

// Lets a held disk go when the test leaves, so that the worker can end.
struct ReleaseOnExit {
    HeldDisk& disk;
    ~ReleaseOnExit() { disk.let(true, disk.error); }
};

} // namespace dupmon::test
