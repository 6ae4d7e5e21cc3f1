#pragma once
// ExternalRunner: the one way the drive services start a system program.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "master_usb/drive_service.h"

namespace dupmon {

struct RunResult {
    bool started = false;      // the program was found and started
    bool timedOut = false;     // killed after its time-out
    bool cancelled = false;    // killed because the work was given up
    bool inputRefused = false; // it ended (or closed its input) before taking all of it
    int exitCode = -1;         // -1 when it did not exit by itself
    std::string output;        // standard output and error, at most 64 KiB unless told
    // A program that left part of its script unread did not do what was asked.
    bool ok() const { return started && !timedOut && !cancelled && !inputRefused && exitCode == 0; }
    // "exit 1: <first line of output>", "timed out after 60 s", "not found"...
    std::string cause() const;
};

// The one way the drive service runs a system program: an argument list
// (never a shell line), a time-out after which the program is killed, its
// output captured, and only programs of a fixed list, taken from the system
// folders (never from PATH). Every run is logged with its arguments and
// result.
//
// The program runs in a process group of its own: a time-out or a cancel
// ends the whole group, helpers it started included. Its input is written
// within the time-out, with SIGPIPE held off on the calling thread, so a
// program that exits without reading its script cannot end the monitor.
class ExternalRunner {
public:
    explicit ExternalRunner(ServiceLog& log);
    static std::vector<std::string> defaultPrograms();
    void setAllowed(std::vector<std::string> names) { allowed_ = std::move(names); }
    void setSearchFolders(std::vector<std::string> folders) { folders_ = std::move(folders); }
    // For tools that read whole files back (tests): more output, and
    // variables beyond the fixed LC_ALL and PATH.
    void setOutputLimit(size_t bytes) { outputLimit_ = bytes; }
    void addEnvironment(std::string assignment) { extraEnv_.push_back(std::move(assignment)); }
    // Looked at while a program runs: once true, the program is ended at once.
    void setCancel(const std::atomic<bool>* flag) { cancel_ = flag; }

    // The program's full path, or empty when it is not allowed or not there.
    std::string locate(const std::string& name) const;
    RunResult run(const std::string& name, const std::vector<std::string>& args, uint32_t timeoutMs,
                  const std::string& input = {}) const;

private:
    ServiceLog& log_;
    std::vector<std::string> allowed_;
    std::vector<std::string> folders_{"/usr/sbin", "/usr/bin", "/sbin", "/bin"};
    size_t outputLimit_ = 65536;
    std::vector<std::string> extraEnv_;
    const std::atomic<bool>* cancel_ = nullptr;
};

} // namespace dupmon
