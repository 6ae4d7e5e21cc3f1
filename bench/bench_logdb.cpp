// Figures for the log database on a generated file of 1,000,000 records
// (128 MB): a plain read of the file, then the log tool's print, csv,
// stats, report and verify, each in lines (records) per second and with its
// peak memory.
// Each figure is taken in a child process of its own (best of three runs),
// so that its peak resident memory is its own. The report window's path
// (the memo built whole, then sealed) is shown beside the tool's streamed
// one. Usage: bench_logdb [records] [folder]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/clock.h"
#include "log_bench_data.h"
#include "logdb/log_database.h"
#include "logdb/log_record.h"
#include "logdb/logtool.h"
#include "logdb/report.h"

using namespace dupmon;
using namespace dupmon::bench;
namespace fs = std::filesystem;

namespace {

// Best of three runs, in seconds.
double best(const std::function<void()>& work) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        work();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

struct Figure {
    double seconds = 0; // processor time of one run (user + system), the mean of three
    double wall = 0;    // best wall time of three runs
    double peakMb = 0;  // resident memory at its highest, in MB
    double system = 0;  // of `seconds`, the part spent in the kernel
};

// Runs `work` in a child: its best time of three and its peak memory.
Figure measure(const std::function<void()>& work) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const double t = best(work);
        [[maybe_unused]] ssize_t n = ::write(fds[1], &t, sizeof t);
        ::_exit(0);
    }
    ::close(fds[1]);
    Figure f;
    [[maybe_unused]] ssize_t n = ::read(fds[0], &f.wall, sizeof f.wall);
    ::close(fds[0]);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    // Processor time, not wall time: on a machine shared with builds the
    // wall clock says more about the neighbours than about the code.
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    f.seconds = (seconds(usage.ru_utime) + seconds(usage.ru_stime)) / 3;
    f.system = seconds(usage.ru_stime) / 3;
    f.peakMb = double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
    return f;
}

void row(const char* name, const Figure& f, double lines, double raw) {
    std::printf("%-36s %8.1f ms  %6.2f M lines/s  %5.2fx raw read  peak %6.1f MB  (kernel %.1f ms, "
                "wall %.1f ms)%s\n",
                name, f.seconds * 1e3, lines / f.seconds / 1e6, f.seconds / raw, f.peakMb,
                f.system * 1e3, f.wall * 1e3, lines / f.seconds >= 2e6 ? "" : "  below 2M lines/s");
}

} // namespace

int main(int argc, char** argv) {
    const BenchDatabase bench = benchDatabase(argc, argv, "dupmon_bench_logdb");
    const uint32_t count = bench.count;
    const fs::path& dir = bench.dir;
    const fs::path& db = bench.file;
    const double mb = double(fs::file_size(db)) / 1048576.0;
    std::printf("database: %u records, %.1f MB\n", count, mb);

    ManualClock clock;
    const std::string dbPath = db.string();
    const fs::path reportFile = dir / "report.txt";
    const double lines = double(count);

    // The floor: one buffered read of the whole file.
    const Figure raw = measure([&] {
        std::FILE* f = std::fopen(db.c_str(), "rb");
        std::vector<char> buf(1 << 20);
        size_t total = 0, n;
        while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
            total += n;
        std::fclose(f);
        if (total == 0)
            std::abort();
    });
    std::printf("times are processor time per run (user + system), mean of three\n");
    std::printf(
        "%-36s %8.1f ms  %6.0f MB/s                              peak %6.1f MB  (wall %.1f ms)\n",
        "plain buffered read", raw.seconds * 1e3, mb / raw.seconds, raw.peakMb, raw.wall * 1e3);

    // The tool's commands, their output to /dev/null (the report to a file).
    auto tool = [&](std::vector<std::string> args) {
        return [&, args] {
            std::ofstream devnull("/dev/null");
            if (runLogTool(args, devnull, devnull, clock) != 0)
                std::abort();
        };
    };
    const Figure info = measure(tool({"info", dbPath}));
    std::printf("%-36s %8.3f ms                                                peak %6.1f MB\n",
                "info", info.seconds * 1e3, info.peakMb);
    row("print", measure(tool({"print", dbPath})), lines, raw.seconds);
    row("csv", measure(tool({"csv", dbPath})), lines, raw.seconds);
    row("stats (all days)", measure(tool({"stats", dbPath})), lines, raw.seconds);
    row("stats --json (one month)",
        measure(tool({"stats", dbPath, "--json", "--from", "2026-02-01", "--to", "2026-02-28"})),
        lines, raw.seconds);
    row("report (all days, streamed, sealed)",
        measure(tool({"report", dbPath, "--from", "2000-01-01", "--to", "2099-12-31", "--out",
                      reportFile.string()})),
        lines, raw.seconds);
    const double reportMb = double(fs::file_size(reportFile)) / 1048576.0;
    row("verify (the report)", measure(tool({"verify", reportFile.string()})), lines, raw.seconds);
    std::printf("%-36s %8.1f MB\n", "report size", reportMb);

    // The report window's way: the memo whole in memory, then sealed.
    MachineInfo machine{};
    row("window: build memo + save sealed", measure([&] {
            const std::string memo =
                buildReport(db, machine, {2000, 1, 1}, {2099, 12, 31}, clock).memo;
            if (saveReport(dir / "window.txt", memo) != ReportSaveStatus::Saved)
                std::abort();
        }),
        lines, raw.seconds);
    fs::remove_all(dir);
    return 0;
}
