#pragma once
// The single-instance rule. Two monitors must never share one working folder
// (its databases and registry) or one bus (the duplicators on the USB bus, or
// the stand-ins of one simulator): two engines talking to one controller
// answer each other's commands. Anything else may run side by side.
//
// Each thing a monitor holds is a lock file, flock()ed for the life of the
// process, in a folder only this user may enter. The holder writes its pid and
// a description into the file, and answers later starts on "<pid>.sock" beside
// it. A lock dies with its process, even a killed one, so nothing stale blocks
// the next start.
#include <filesystem>
#include <string>
#include <vector>

#include "common/file_io.h"

namespace dupmon {

// True when `dir` is a folder (not a symbolic link) owned by this user that
// group and others cannot enter; otherwise false and `why` says what is wrong.
bool isPrivateFolder(const std::filesystem::path& dir, std::string& why);

// The user's private folder for lock files and sockets:
// $XDG_RUNTIME_DIR/duplicator-monitor, or without XDG_RUNTIME_DIR
// <temporary folder>/duplicator-monitor-<uid>, made with mode 0700 when
// missing. Empty, with `error` set, when it cannot be made or is not private
// (another user made it first, or it is open to others).
std::filesystem::path privateRuntimeDir(std::string& error);

// One thing a monitor holds: the lock file's name and, in words, what it is.
struct InstanceClaim {
    std::string key;
    std::string what;

    // The working folder, by its device and inode, so that every path to it
    // (a symbolic link, a bind mount) names the same lock.
    static InstanceClaim workingFolder(const std::filesystem::path& dir);
    static InstanceClaim usbBus();
    static InstanceClaim simulator(const std::string& socketPath);
};

// The lock files one monitor holds; released when destroyed.
class InstanceLock {
public:
    enum class Result { Held, Taken, Failed };
    // Who holds a claim that was found taken.
    struct Holder {
        long pid = 0;
        std::string description; // as the holder wrote it
        std::string what;        // the claim it holds
    };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes every claim, in order, in `dir`, writing this process's pid and
    // `description` into each. Held: all taken. Taken: one is held by another
    // process (`holder` says which; nothing is kept). Failed: a lock file could
    // not be used (`error` names it and the problem).
    Result acquire(const std::filesystem::path& dir, const std::vector<InstanceClaim>& claims,
                   const std::string& description, Holder& holder, std::string& error);
    void release();

private:
    std::vector<UniqueFd> fds_;
};

} // namespace dupmon
