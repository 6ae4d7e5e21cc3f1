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

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// A varied record: copy jobs on USB sticks, SD capacity checks, media tests,
// burn-ins and CF copies, over a range of days.
void makeRecord(uint8_t* r, uint32_t i) {
    std::fill(r, r + kLogRecordSize, 0);
    writeBE32(r, i);
    uint32_t day = i / 5000; // 200 jobs a day... for 200 days
    r[4] = uint8_t(26 + day / 360);
    r[5] = uint8_t(1 + day / 30 % 12);
    r[6] = uint8_t(1 + day % 28);
    r[7] = uint8_t(i / 3600 % 24);
    r[8] = uint8_t(i / 60 % 60);
    r[9] = uint8_t(i % 60);
    static const uint8_t functions[] = {1, 5, 16, 15, 22, 1, 84, 4};
    static const uint8_t kinds[] = {1, 1, 2, 2, 2, 3, 7, 5};
    r[13] = kinds[i % 8];
    r[14] = functions[i % 8];
    r[18] = i % 3 == 0 ? 0x10 : 0;
    r[62] = i % 17 == 0 ? 2 : 0;
    r[63] = uint8_t(i % 7);
    writeBE32(r + 24, 15728640 + i % 1000);
    writeBE32(r + 32, 2097152 + i % 4096);
    writeBE32(r + 40, i * 7);
    writeBE32(r + 44, 20000 + i % 9000);
    writeBE32(r + 48, 9000 + i % 5000);
    writeBE32(r + 52, i % 7200);
    writeBE16(r + 56, uint16_t(i % 900));
    writeBE16(r + 58, uint16_t(i % 800));
    writeBE16(r + 64, 0x0781);
    writeBE16(r + 66, 0x5567);
    writeBE32(r + 68, i % 50);
    writeBE32(r + 72, i % 40);
    writeBE32(r + 76, i % 3);
    writeBE16(r + 80, uint16_t(i % 120 + 1));
    writeBE16(r + 82, 512);
    const char* cid = "\x03SDSU16G\x80\x12\x34\x56\x78\x01\x56\x9B";
    const char* serial = "4C530001230518113593";
    std::copy(r[13] == 2 || r[13] == 5 ? cid : serial,
              (r[13] == 2 || r[13] == 5 ? cid : serial) + 16, r + 88);
}

void generate(const fs::path& path, uint32_t count) {
    createLogDatabase(path);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    std::vector<uint8_t> chunk(kLogRecordSize * 4096);
    for (uint32_t i = 0; i < count;) {
        uint32_t n = std::min<uint32_t>(4096, count - i);
        for (uint32_t k = 0; k < n; ++k)
            makeRecord(chunk.data() + k * kLogRecordSize, i + k);
        out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(n * kLogRecordSize));
        i += n;
    }
}

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
    const uint32_t count = argc > 1 ? uint32_t(std::strtoul(argv[1], nullptr, 10)) : 1000000;
    const fs::path dir =
        argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "dupmon_bench_logdb";
    fs::create_directories(dir);
    const fs::path db = dir / "BENCH.QX42.LOGDATA";
    generate(db, count);
    const double mb = double(fs::file_size(db)) / 1048576.0;
    std::printf("database: %u records, %.1f MB\n", count, mb);

    ManualClock clock;
    std::ofstream devnull("/dev/null");
    volatile size_t sink = 0;

    // The floor: one buffered read of the whole file.
    double raw = best([&] {
        std::FILE* f = std::fopen(db.c_str(), "rb");
        std::vector<char> buf(1 << 20);
        size_t total = 0, n;
        while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
            total += n;
        std::fclose(f);
        sink = total;
    });
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
