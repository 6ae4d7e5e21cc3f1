// Figures for opening the log viewer on a generated database of 1,000,000
// records (122 MB): the viewer reads only the newest 10000 records, after a
// seek, against a plain read of the whole file and the whole-file load; and
// its older records, a page at a time, back to the oldest.
// Each is timed with the file in the page cache (warm) and after the cache
// was told to drop it (cold). Usage: bench_log_viewer [records] [folder]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "log_bench_data.h"
#include "logdb/log_database.h"
#include "logdb/log_viewer.h"
#ifdef DUPMON_BENCH_GUI
#include <QApplication>

#include "logdb/tform_show_log.h"
#endif

using namespace dupmon;
using namespace dupmon::bench;
namespace fs = std::filesystem;

namespace {

// Asks the kernel to forget the file's cached pages, so the next read goes to the disk.
void dropCache(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

struct Figures {
    double warm = 1e9, cold = 1e9; // best of the runs, in seconds
};

Figures measure(const fs::path& db, const std::function<void()>& work, int runs = 5) {
    Figures f;
    auto once = [&] {
        const auto t0 = std::chrono::steady_clock::now();
        work();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    for (int i = 0; i < runs; ++i) {
        dropCache(db);
        f.cold = std::min(f.cold, once());
        f.warm = std::min(f.warm, once());
    }
    return f;
}

// Bytes this process has read through read() and its kind (rchar of /proc/self/io).
uint64_t bytesReadSoFar() {
    std::ifstream in("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (in >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

void print(const char* what, const Figures& f) {
    std::printf("%-44s warm %8.2f ms   cold %8.2f ms\n", what, f.warm * 1e3, f.cold * 1e3);
}

} // namespace

int main(int argc, char** argv) {
    const BenchDatabase bench = benchDatabase(argc, argv, "dupmon_bench_log_viewer");
    const fs::path& dir = bench.dir;
    const fs::path& db = bench.file;
    std::printf("database: %u records, %.1f MB; the viewer opens on the newest %u\n", bench.count,
                double(fs::file_size(db)) / 1048576.0, kLogViewerLoadLimit);
    volatile size_t sink = 0;

    print("plain buffered read of the whole file", measure(db, [&] { sink = plainRead(db); }));
    print("whole-file load (read whole database)",
          measure(db, [&] { sink = readLogDatabase(db).count; }));
    print("viewer load: newest records from the tail", measure(db, [&] {
              LogViewerRows rows(2);
              rows.load(db);
              sink = rows.size();
          }));
    print("viewer: the oldest page, a page at a time", measure(db, [&] {
              LogViewerRows rows(2);
              rows.load(db);
              size_t pages = 0;
              while (rows.hasOlder() && rows.loadOlder(db) == PASS)
                  ++pages;
              sink = pages + rows.size();
          }));
    {
        // What a page read takes from the file: one page, wherever it lies.
        LogViewerRows rows(2);
        rows.load(db);
        const uint64_t before = bytesReadSoFar();
        rows.loadOlder(db);
        std::printf("%-44s %8.2f MB read for %zu records shown\n", "viewer: one older page",
                    double(bytesReadSoFar() - before) / 1048576.0, rows.size());
    }
    print("viewer load + text of every loaded row", measure(db, [&] {
              LogViewerRows rows(2);
              rows.load(db);
              size_t total = 0;
              for (size_t i = 0; i < rows.size(); ++i)
                  total += rows.row(i)[4].size();
              sink = total;
          }));
#ifdef DUPMON_BENCH_GUI
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qargc = 1;
    char name[] = "bench_log_viewer";
    char* qargv[] = {name, nullptr};
    QApplication app(qargc, qargv);
    struct SilentUi final : UiServices {
        void messageBox(std::string_view, std::string_view) override {}
        bool processEvents() override { return true; }
    } ui;
    MachineInfo info{};
    info.deviceType = 2;
    info.support_LogRecord = 1;
    std::snprintf(info.machineId, sizeof info.machineId, "BENCH");
    print("log viewer window: create, load, show, paint", measure(db, [&] {
              TForm_ShowLog viewer(nullptr, info, "BENCH(v1)", db, dir, ui, nullptr);
              viewer.show();
              sink = size_t(viewer.grab().width());
          }));
#endif
    (void)sink;
    fs::remove_all(dir);
    return 0;
}
