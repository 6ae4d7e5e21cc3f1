// What the headless monitor costs while nothing happens: with no machine
// attached, and with ten stand-ins attached, synced and idle. Prints the
// monitor's CPU time (from /proc) as a share of one core, its wake-ups per
// second (context switches of all its threads) and how often each stand-in
// was polled for its status.
//
//   bench_idle [seconds-per-phase]     (60 by default)
#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_process.h"

using namespace dupmon::bench;

namespace {

constexpr int kMachines = 10;
// Logs of different lengths: the machines finish their sync at different moments.
uint32_t recordsOf(int machine) {
    return 20 + 37 * uint32_t(machine);
}
std::string idOf(int machine) {
    return "IDLE-" + std::to_string(machine);
}

struct Phase {
    double wall = 0, cpu = 0, statCpu = 0;
    uint64_t wakeups = 0;
    double minPolls = -1, maxPolls = -1; // per machine and second
};

// Status polls a stand-in has answered, from the simulator's status line.
long pollsOf(const MonitorRun& run, int machine) {
    const std::string s = run.simControl("status " + idOf(machine));
    const size_t p = s.find("polls=");
    return p == std::string::npos ? -1 : std::atol(s.c_str() + p + 6);
}

Phase measure(MonitorRun& run, int machines, double seconds) {
    std::vector<long> polls0;
    for (int k = 0; k < machines; ++k)
        polls0.push_back(pollsOf(run, k));
    const pid_t pid = run.monitorPid();
    const ProcessUsage u0 = processUsage(pid);
    const double stat0 = statCpuSeconds(pid);
    const auto t0 = Steady::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const ProcessUsage u1 = processUsage(pid);
    const double stat1 = statCpuSeconds(pid);
    Phase p;
    p.wall = secondsSince(t0);
    p.cpu = u1.cpuSeconds - u0.cpuSeconds;
    p.statCpu = stat1 - stat0;
    p.wakeups = u1.wakeups() - u0.wakeups();
    for (int k = 0; k < machines; ++k) {
        const long n = pollsOf(run, k);
        const double rate =
            polls0[size_t(k)] < 0 || n < 0 ? -1 : double(n - polls0[size_t(k)]) / p.wall;
        p.minPolls = k == 0 ? rate : std::min(p.minPolls, rate);
        p.maxPolls = std::max(p.maxPolls, rate);
    }
    return p;
}

bool runPhase(int machines, double seconds) {
    std::vector<std::string> plugs;
    uint32_t total = 0;
    for (int k = 0; k < machines; ++k) {
        plugs.push_back("usb10,id=" + idOf(k) + ",logs=" + std::to_string(recordsOf(k)));
        total += recordsOf(k);
    }
    MonitorRun run("dupmon-bench-idle", plugs);
    if (!run.started()) {
        std::fprintf(stderr, "dupmon-sim did not start\n");
        return false;
    }
    // Every machine synced, then a moment to settle.
    const uint32_t stored = run.waitForLines("stored log record", total, 60);
    if (stored < total) {
        std::fprintf(stderr, "only %u of %u records were synced\n", stored, total);
        return false;
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const Phase p = measure(run, machines, seconds);
    std::printf("  %s: %.1f s measured; CPU %.3f s = %.3f %% of a core (tick count: %.2f s); "
                "%.1f wake-ups/s",
                machines ? "10 machines synced and idle" : "no machine attached", p.wall, p.cpu,
                100.0 * p.cpu / p.wall, p.statCpu, double(p.wakeups) / p.wall);
    if (p.minPolls >= 0)
        std::printf("; status polls per machine %.2f..%.2f /s", p.minPolls, p.maxPolls);
    std::printf("\n");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    std::printf("idle cost of duplicator-monitor --headless --simulator (dupmon-sim --wire 1)\n");
    const bool none = runPhase(0, seconds);
    const bool ten = runPhase(kMachines, seconds);
    std::printf("  targets: <= 0.3 %% of a core with every machine polled >= 10 times a second; "
                "~0 with no machine\n");
    return none && ten ? 0 : 1;
}
