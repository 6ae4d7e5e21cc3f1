#pragma once
// The programs a benchmark runs: dupmon-sim and the headless monitor as
// child processes in a private folder, the monitor's output followed line by
// line as it comes, and what /proc says about a process's CPU time and
// wake-ups.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"

namespace dupmon::bench {

using dupmon::Child;

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

inline double secondsSince(Steady::time_point t0) {
    return std::chrono::duration<double>(Steady::now() - t0).count();
}

// dupmon-sim with stand-ins (`plugs`, as --plug takes them) and the headless
// monitor attached to it, in a folder of their own under TMPDIR.
class MonitorRun {
public:
    MonitorRun(const char* name, const std::vector<std::string>& plugs) {
        std::string tmpl = (fs::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
        if (!::mkdtemp(tmpl.data()))
            return;
        dir_ = tmpl;
        socket_ = dir_ / "sim.sock";
        std::vector<std::string> simArgs = {DUPMON_SIM, "--socket", socket_.string(), "--wire",
                                            "1"};
        for (const std::string& p : plugs) {
            simArgs.push_back("--plug");
            simArgs.push_back(p);
        }
        sim_ = std::make_unique<Child>(simArgs, dir_ / "sim.out", dir_);
        if (!waitFor([&] { return fs::exists(socket_); }, 10))
            return;
        fs::create_directories(dir_ / "work");
        // Its own runtime folder: its single-instance rule meets no other run.
        ::setenv("XDG_RUNTIME_DIR", makeRuntimeDir(dir_).c_str(), 1);
        monitor_ = std::make_unique<Child>(
            std::vector<std::string>{DUPMON_MONITOR, "--headless", "--simulator", socket_.string(),
                                     "--workdir", (dir_ / "work").string()},
            dir_ / "monitor.out", dir_);
    }
    ~MonitorRun() {
        monitor_.reset();
        sim_.reset();
        std::error_code ec;
        if (!dir_.empty())
            fs::remove_all(dir_, ec);
    }
    bool started() const { return monitor_ != nullptr; }
    pid_t monitorPid() const { return monitor_ ? monitor_->pid : -1; }
    const fs::path& socket() const { return socket_; }

    // Calls `onLine` for each whole line the monitor has printed since the
    // last call; waits a little when there is none.
    void readLines(const std::function<void(const std::string&)>& onLine) {
        if (!output_.is_open())
            output_.open(dir_ / "monitor.out"); // the child makes it when it starts
        output_.clear();
        std::string chunk;
        char buf[65536];
        while (output_.read(buf, sizeof buf) || output_.gcount() > 0)
            chunk.append(buf, size_t(output_.gcount()));
        output_.clear();
        if (chunk.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            return;
        }
        pending_ += chunk;
        size_t start = 0;
        for (size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1)
            onLine(pending_.substr(start, nl - start));
        pending_.erase(0, start);
    }
    // Reads the monitor's lines until `count` start with `prefix`, or `seconds` pass;
    // returns how many did.
    uint32_t waitForLines(const std::string& prefix, uint32_t count, double seconds) {
        uint32_t seen = 0;
        const auto start = Steady::now();
        while (seen < count && secondsSince(start) < seconds)
            readLines([&](const std::string& line) { seen += line.rfind(prefix, 0) == 0; });
        return seen;
    }
    // One `dupmon-sim ctl` request and what it printed.
    std::string simControl(const std::string& request) const {
        std::string out = commandOutput(std::string(DUPMON_SIM) + " --socket " + socket_.string() +
                                        " ctl " + request + " 2>&1");
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        return out;
    }

private:
    fs::path dir_, socket_;
    std::unique_ptr<Child> sim_, monitor_;
    std::ifstream output_;
    std::string pending_;
};

// CPU time and context switches of a process, all its threads together.
struct ProcessUsage {
    double cpuSeconds = 0; // user + system, from the scheduler's nanosecond counts
    uint64_t voluntarySwitches = 0;
    uint64_t involuntarySwitches = 0;
    uint64_t wakeups() const { return voluntarySwitches + involuntarySwitches; }
};

inline ProcessUsage processUsage(pid_t pid) {
    ProcessUsage u;
    const fs::path tasks = fs::path("/proc") / std::to_string(pid) / "task";
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(tasks, ec)) {
        std::ifstream sched(task.path() / "schedstat");
        uint64_t runNs = 0;
        if (sched >> runNs)
            u.cpuSeconds += double(runNs) / 1e9;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                u.voluntarySwitches += std::strtoull(line.c_str() + 24, nullptr, 10);
            else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                u.involuntarySwitches += std::strtoull(line.c_str() + 27, nullptr, 10);
        }
    }
    return u;
}

// The tick-based user + system time of /proc/PID/stat, as `top` shows it.
inline double statCpuSeconds(pid_t pid) {
    std::ifstream in(fs::path("/proc") / std::to_string(pid) / "stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    // Fields 3..13 come before utime (14) and stime (15).
    for (int i = 3; i <= 13 && rest >> field; ++i) {
    }
    rest >> utime >> stime;
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

} // namespace dupmon::bench
