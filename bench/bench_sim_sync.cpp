// The whole monitor against dupmon-sim in real time: the headless program
// syncs the job logs of one and of four stand-ins whose reports take 1 ms
// each on the wire (`dupmon-sim --wire 1`), and this prints the records
// stored per second next to what the wire allows.
//
//   bench_sim_sync [records-per-machine]      (2000 by default)
// The monitor's files go under TMPDIR (a tmpfs there leaves out the disk).
#include <cstdio>
#include <string>

#include "bench_process.h"

using namespace dupmon::bench;

namespace {

// One idle fetch pass moves two records: "B" (1 report out, 1 back) and two
// W 23 (1 out, 3 back each); at 1 ms per report that is 5 ms per record.
constexpr double kWireMsPerRecord = (2.0 + 2 * 4.0) / 2;

struct Run {
    uint32_t stored = 0;
    double seconds = 0;    // first stored record to the last
    double cpuSeconds = 0; // the monitor's, over the same time
    uint64_t wakeups = 0;
};

Run syncRun(int machines, uint32_t records) {
    std::vector<std::string> plugs;
    for (int k = 0; k < machines; ++k)
        plugs.push_back("usb10,id=BENCH-" + std::to_string(k) + ",logs=" + std::to_string(records));
    MonitorRun run("dupmon-bench-sync", plugs);
    Run r;
    if (!run.started()) {
        std::fprintf(stderr, "dupmon-sim did not start\n");
        return r;
    }
    const uint32_t total = records * uint32_t(machines);
    Steady::time_point first{}, last{};
    ProcessUsage atFirst, atLast;
    const auto start = Steady::now();
    while (r.stored < total && secondsSince(start) < 300) {
        run.readLines([&](const std::string& line) {
            if (line.rfind("stored log record", 0) != 0)
                return;
            last = Steady::now();
            if (r.stored++ == 0) {
                first = last;
                atFirst = processUsage(run.monitorPid());
            }
        });
    }
    atLast = processUsage(run.monitorPid());
    r.seconds = std::chrono::duration<double>(last - first).count();
    r.cpuSeconds = atLast.cpuSeconds - atFirst.cpuSeconds;
    r.wakeups = atLast.wakeups() - atFirst.wakeups();
    return r;
}

} // namespace

int main(int argc, char** argv) {
    const uint32_t records = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 2000;
    const double perMachineLimit = 1000.0 / kWireMsPerRecord;
    std::printf("job-log sync, duplicator-monitor --headless against dupmon-sim --wire 1, "
                "%u records per machine, real time, files under %s\n",
                records, fs::temp_directory_path().c_str());
    for (int machines : {1, 4}) {
        const Run r = syncRun(machines, records);
        const uint32_t total = records * uint32_t(machines);
        const double limit = perMachineLimit * machines;
        // The first record's time starts the clock: count the intervals after it.
        const double rate = r.seconds > 0 ? (r.stored - 1) / r.seconds : 0;
        std::printf("  %d machine%s: %u of %u records stored in %.2f s = %.0f records/s; wire "
                    "limit %.0f records/s; ratio %.2f (monitor: %.0f %% of a core, %.0f us CPU "
                    "and %.1f wake-ups per record)\n",
                    machines, machines == 1 ? " " : "s", r.stored, total, r.seconds, rate, limit,
                    rate / limit, r.seconds > 0 ? 100 * r.cpuSeconds / r.seconds : 0,
                    r.stored ? 1e6 * r.cpuSeconds / r.stored : 0,
                    r.stored ? double(r.wakeups) / r.stored : 0);
    }
    return 0;
}
