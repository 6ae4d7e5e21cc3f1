#pragma once
// The directory walker that counts and copies the master stick's source tree
// on a thread of its own while the download window polls its counters.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace dupmon {

// The directory walker: the program's one worker thread. It counts a tree
// (directories, files, bytes, large files) or copies a tree to another place
// through the download window's 128 KiB buffer, while the GUI thread polls
// its flags and counters. Every flag and counter the GUI thread reads is an
// atomic written only by the walker, except the stop request, which only the
// GUI thread writes. The paths are read by the GUI thread only once the
// walker is idle again (the idle flag orders them).
class DO_DIR {
public:
    enum Mode : int32_t { MODE_NONE = 0, MODE_COUNT = 11, MODE_COPY = 13 };
    static constexpr uint64_t k2GiB = 2147483648ull;
    static constexpr uint64_t k4GiB = 4294967296ull;

    // Created idle; the thread starts with setBuffers().
    DO_DIR();
    ~DO_DIR();
    DO_DIR(const DO_DIR&) = delete;
    DO_DIR& operator=(const DO_DIR&) = delete;

    // The copy buffer and a second buffer (unused), owned by the caller.
    void setBuffers(uint8_t* copyBuffer, uint8_t* secondBuffer, uint32_t size);

    // Start a job; false (nothing done) while a job runs or before setBuffers().
    bool startCount(const std::string& root);
    bool startCopy(const std::string& sourceRoot, const std::string& targetRoot);

    bool isIdle() const { return idle_.load(std::memory_order_acquire); }
    bool hasFailed() const { return error_.load(std::memory_order_acquire); }
    void setStopRequest(bool on) { stop_.store(on, std::memory_order_relaxed); }
    bool stopRequested() const { return stop_.load(std::memory_order_relaxed); }
    int32_t mode() const { return mode_.load(std::memory_order_relaxed); }

    uint32_t countedDirectories() const { return countDirs_.load(std::memory_order_relaxed); }
    uint32_t countedFiles() const { return countFiles_.load(std::memory_order_relaxed); }
    uint64_t countedBytes() const { return countBytes_.load(std::memory_order_relaxed); }
    uint32_t countedFiles2GiB() const { return count2G_.load(std::memory_order_relaxed); }
    uint32_t countedFiles4GiB() const { return count4G_.load(std::memory_order_relaxed); }
    uint32_t copiedDirectories() const { return copyDirs_.load(std::memory_order_relaxed); }
    uint32_t copiedFiles() const { return copyFiles_.load(std::memory_order_relaxed); }
    uint64_t copiedBytes() const { return copyBytes_.load(std::memory_order_relaxed); }

    // Failure paths; read them only while idle. The first also names the
    // directory a count could not list.
    const std::string& failedSourceDirectory() const { return failedSourceDir_; }
    const std::string& copyTargetRoot() const { return copyTargetRoot_; }
    const std::string& failedTargetDirectory() const { return failedTargetDir_; }
    const std::string& uncreatedDirectory() const { return uncreatedDir_; }

    // --- for tests ---
    // The pauses between retries (200 ms, 500 ms); the thread sleeps by default.
    void setSleep(std::function<void(int ms)> sleep) { sleep_ = std::move(sleep); }
    // Whether a directory is the root of a file system, where the platform
    // lists no entries for the directory itself and its parent.
    void setVolumeRootProbe(std::function<bool(const std::string&)> probe) {
        volumeRootProbe_ = std::move(probe);
    }
    static bool isVolumeRoot(const std::string& dir);
    // Called on the walker thread at fixed points of a job, so a test can
    // change the tree under the walker or ask it to stop at a known moment.
    enum class HookPoint { EntryStart, SourceOpened, EntryDone };
    void setHook(std::function<void(HookPoint, const std::string& path)> hook) {
        hook_ = std::move(hook);
    }

private:
    struct Entry;
    void run();
    void resetJob();
    void countTree(const std::string& path, int depth);
    bool copyTree(const std::string& source, const std::string& target, int depth);
    bool copyFile(const std::string& source, const std::string& target, uint64_t size);
    // Lists a directory as the platform numbers it; false when it cannot be read.
    bool listDirectory(const std::string& path, std::vector<Entry>& out) const;
    void pause(int ms) const;

    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::atomic<bool> terminate_{false};

    std::atomic<bool> idle_{true};
    uint8_t* copyBuffer_ = nullptr;
    uint8_t* secondBuffer_ = nullptr;
    uint32_t bufferSize_ = 0;
    std::atomic<int32_t> mode_{MODE_NONE};
    std::atomic<bool> stop_{false};
    std::atomic<bool> error_{false};

    std::string countRoot_;
    std::string copySourceRoot_;
    std::string copyTargetRoot_;
    std::string failedSourceDir_;
    std::string failedTargetDir_;
    std::string uncreatedDir_;
    int depth_ = 0;
    dev_t lastSourceDev_ = 0;
    bool lastSourceOnFat_ = false;

    std::atomic<uint32_t> countDirs_{0};
    std::atomic<uint32_t> countFiles_{0};
    std::atomic<uint64_t> countBytes_{0};
    std::atomic<uint32_t> copyDirs_{0};
    std::atomic<uint32_t> copyFiles_{0};
    std::atomic<uint64_t> copyBytes_{0};
    std::atomic<uint32_t> count2G_{0};
    std::atomic<uint32_t> count4G_{0};

    std::function<void(int)> sleep_;
    std::function<bool(const std::string&)> volumeRootProbe_;
    std::function<void(HookPoint, const std::string&)> hook_;
    void hook(HookPoint p, const std::string& path) const {
        if (hook_)
            hook_(p, path);
    }
};

} // namespace dupmon
