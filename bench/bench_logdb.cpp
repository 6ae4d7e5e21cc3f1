// Figures for the log database on a generated file of 1,000,000 records
// (128 MB): info, print, report build and seal, against a plain read of the
// same file. Usage: bench_logdb [records] [folder]
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
#include "logdb/log_database.h"
#include "logdb/log_record.h"
#include "logdb/logtool.h"
#include "logdb/report.h"
#include "log_bench_data.h"

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

} // namespace

int main(int argc, char** argv) {
    const BenchDatabase bench = benchDatabase(argc, argv, "dupmon_bench_logdb");
    const uint32_t count = bench.count;
    const fs::path& dir = bench.dir;
    const fs::path& db = bench.file;
    const double mb = double(fs::file_size(db)) / 1048576.0;
    std::printf("database: %u records, %.1f MB\n", count, mb);

    ManualClock clock;
    std::ofstream devnull("/dev/null");
    volatile size_t sink = 0;

    // The floor: one buffered read of the whole file.
    double raw = best([&] { sink = plainRead(db); });
    // Decoding and line formatting alone, on records already in memory.
    LogDatabaseContents contents = readLogDatabase(db);
    double format = best([&] {
        std::string line;
        size_t total = 0;
        for (uint32_t i = 0; i < contents.count; ++i) {
            line.clear();
            appendReportLine(line, decodeLogRecord(contents.record(i)));
            total += line.size();
        }
        sink = total;
    });
    double info = best([&] { runLogTool({"info", db.string()}, devnull, devnull, clock); });
    double print = best([&] { runLogTool({"print", db.string()}, devnull, devnull, clock); });
    MachineInfo machine{};
    std::string memo;
    double build = best([&] {
        memo = buildReport(db, machine, {2000, 1, 1}, {2099, 12, 31}, clock).memo;
    });
    const fs::path reportFile = dir / "report.txt";
    double seal = best([&] { saveReport(reportFile, memo); });
    const double sealedMb = double(fs::file_size(reportFile)) / 1048576.0;
    (void)sink;

    const double lines = double(count);
    const double rawPlusFormat = raw + lines / 2e6; // the aim: raw read + 2 million lines/s
    std::printf("plain buffered read:     %8.1f ms  (%.0f MB/s)\n", raw * 1e3, mb / raw);
    std::printf("decode + format lines:   %8.1f ms  (%.2f million lines/s)\n", format * 1e3,
                lines / format / 1e6);
    std::printf("info:                    %8.3f ms\n", info * 1e3);
    std::printf("print to /dev/null:      %8.1f ms  (%.2f million lines/s, %.2fx of raw read + "
                "2M lines/s)\n",
                print * 1e3, lines / print / 1e6, print / rawPlusFormat);
    std::printf("report build (all days): %8.1f ms  (%.2f million lines/s, %.1f MB memo, %.2fx of "
                "raw read + 2M lines/s)\n",
                build * 1e3, lines / build / 1e6, double(memo.size()) / 1048576.0,
                build / rawPlusFormat);
    std::printf("seal + save to file:     %8.1f ms  (%.0f MB/s)\n", seal * 1e3, sealedMb / seal);
    std::printf("report build + seal:     %8.1f ms\n", (build + seal) * 1e3);
    fs::remove_all(dir);
    return 0;
}
