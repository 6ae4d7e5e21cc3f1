// What the desktop program costs while a machine waits for its operator's
// Continue or Finish: the same wait measured twice, once with the question
// closed unanswered (the machine window's bar offers the answers) and once
// with the question dialog open. Prints, for each, the program's CPU time as
// a share of one core, its wake-ups per second and how often each stand-in
// was polled for its status, so that a dialog that holds the machines (no
// polls) or spins (CPU) shows at once.
//
//   bench_question [seconds-per-phase]     (30 by default)
//
// The program is app_dialog_probe (the desktop program with the probe that
// opens its dialogs) on Qt's offscreen platform, against dupmon-sim with one
// machine that runs a copy to its end and four that stand by.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_process.h"

using namespace dupmon::bench;

namespace {

constexpr int kMachines = 5;
std::string idOf(int machine) {
    return "ASK-" + std::to_string(machine);
}

std::string simControl(const fs::path& socket, const std::string& request) {
    return dupmon::commandOutput(std::string(DUPMON_SIM) + " --socket " + socket.string() +
                                 " ctl " + request + " 2>&1");
}

long pollsOf(const fs::path& socket, int machine) {
    const std::string s = simControl(socket, "status " + idOf(machine));
    const size_t p = s.find("polls=");
    return p == std::string::npos ? -1 : std::atol(s.c_str() + p + 6);
}

struct Phase {
    double cpu = 0;
    double wakeups = 0;
    double minPolls = 0, maxPolls = 0; // per machine and second
    bool ok = false;
};

Phase measure(const fs::path& dir, const std::string& dialog, double seconds) {
    Phase phase;
    const fs::path run = dir / dialog;
    fs::create_directories(run / "work");
    const fs::path socket = run / "sim.sock";
    std::vector<std::string> simArgs = {DUPMON_SIM, "--socket", socket.string()};
    for (int m = 0; m < kMachines; ++m) {
        simArgs.push_back("--plug");
        simArgs.push_back("usb10,id=" + idOf(m) + (m == 0 ? ",speed=40" : ""));
    }
    Child sim(simArgs, run / "sim.out", run);
    if (!dupmon::waitFor([&] { return fs::exists(socket); }, 20))
        return phase;
    ::setenv("XDG_RUNTIME_DIR", dupmon::makeRuntimeDir(run).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("DUPMON_PROBE_DIALOG", dialog.c_str(), 1);
    Child monitor(
        {DUPMON_DIALOG_PROBE, "--simulator", socket.string(), "--workdir", (run / "work").string()},
        run / "monitor.out", run);
    if (!dupmon::waitFor([&] { return monitor.output().find("PROBE open") != std::string::npos; },
                         300)) {
        std::fprintf(stderr, "%s: the probe did not get there:\n%s\n", dialog.c_str(),
                     monitor.output().c_str());
        return phase;
    }
    // Let the first polls after the question settle.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<long> before(kMachines);
    for (int m = 0; m < kMachines; ++m)
        before[size_t(m)] = pollsOf(socket, m);
    const ProcessUsage u0 = processUsage(monitor.pid);
    const auto t0 = Steady::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const ProcessUsage u1 = processUsage(monitor.pid);
    const double wall = secondsSince(t0);
    phase.cpu = (u1.cpuSeconds - u0.cpuSeconds) / wall;
    phase.wakeups = double(u1.wakeups() - u0.wakeups()) / wall;
    phase.minPolls = 1e9;
    for (int m = 0; m < kMachines; ++m) {
        const double rate = double(pollsOf(socket, m) - before[size_t(m)]) / wall;
        phase.minPolls = std::min(phase.minPolls, rate);
        phase.maxPolls = std::max(phase.maxPolls, rate);
    }
    phase.ok = true;
    monitor.stop();
    sim.stop();
    return phase;
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    std::string tmpl = (fs::temp_directory_path() / "bench-question-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        return 1;
    const fs::path dir = tmpl;
    std::printf("machine 0 waits for Continue or Finish, %d machines in all, %.0f s each\n",
                kMachines, seconds);
    for (const char* dialog : {"question-closed", "question"}) {
        const Phase p = measure(dir, dialog, seconds);
        if (!p.ok)
            return 1;
        std::printf("%-16s CPU %5.1f %% of a core, %7.0f wake-ups/s, status polls per machine "
                    "and second %.1f to %.1f\n",
                    std::string(dialog) == "question" ? "question open" : "question closed",
                    p.cpu * 100, p.wakeups, p.minPolls, p.maxPolls);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
