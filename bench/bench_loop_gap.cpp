// How long the GUI thread's event loop is held while machines sync: the real
// main window, machine slots and event loop in this process, over the hidraw
// device code on socket pairs (one per machine, read and written the way a
// hidraw node is), with stand-in controllers in a child process at the
// link's pace (1 ms per report). Prints, per case, the longest gap between
// two turns of the event loop, its 99th percentile, and the records each
// machine stored per second.
//
//   bench_loop_gap [--seconds N] [--case K]...      (60 s, cases 1 to 4)
//
// Cases: 1 eight machines syncing; 2 the same, and one machine stops taking
// reports as the measurement starts; 3 as 1, with every disk sync taking
// 200 ms (fdatasync and fsync are wrapped in this program); 4 as 1, and one
// machine is sent Action > Download Source Files two seconds in, whose
// master stick's format takes 30 s, and the download window is closed as
// soon as the format starts (the board holds eight machines: the other
// seven are the healthy ones).
// The monitor's files go under TMPDIR.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "app/loop_probe.h"
#include "app/qt_ui_services.h"
#include "machine_window/tform_machine.h"
#include "master_usb/tform_download_source.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "standin_nodes.h"

using namespace dupmon;
namespace fs = std::filesystem;

// --- disk syncs that take as long as the case says ---

namespace {
std::atomic<int> syncDelayMs{0};

template <class Fn> Fn realFunction(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}
void slowSync() {
    if (const int ms = syncDelayMs.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
} // namespace

extern "C" int fdatasync(int fd) {
    static auto real = realFunction<int (*)(int)>("fdatasync");
    slowSync();
    return real(fd);
}

extern "C" int fsync(int fd) {
    static auto real = realFunction<int (*)(int)>("fsync");
    slowSync();
    return real(fd);
}

namespace {

constexpr int kMachines = 8;
const char* const kProfile = "usb10";

std::string idOf(int k) {
    return "GAP-" + std::to_string(k);
}

struct CaseResult {
    double seconds = 0;
    uint64_t longestUs = 0, p99Us = 0, turns = 0;
    std::vector<double> rates; // records stored per second, per machine
    int stalled = -1;          // the machine that is not a healthy one (cases 2 and 4)
};

double msOf(uint64_t us) {
    return double(us) / 1000.0;
}

int runCase(int which, double seconds) {
    // 1. The stand-ins, in a child process, with enough records to sync all along.
    std::vector<std::string> ids;
    for (int k = 0; k < kMachines; ++k)
        ids.push_back(idOf(k));
    const bool download = which == 4;
    const int downloadMachine = kMachines - 1;
    const uint32_t records = uint32_t(300 * (seconds + 30));
    bench::StandInNodes standIns(ids, kProfile, [records](int, StandInController& machine) {
        machine.machine().preloadLog(records);
    });
    if (!standIns.started())
        return 1;

    // 2. The program's windows and slots over those sockets.
    static int argc = 1;
    static char name[] = "bench_loop_gap";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    std::string tmpl = (fs::temp_directory_path() / "dupmon-bench-gap-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        return 1;
    const fs::path dir = tmpl;
    bench::SocketNodes nodes(standIns.hostEnds());
    QtUiServices ui(true);
    const Clock& clock = SystemClock::instance();
    LoopProbe probe;
    std::map<std::string, uint64_t> stored;
    SimulatedDrives drives(dir / "SimulatedDrives");
    drives.setRemoteMasters(standIns.masters());
    drives.formatMs = 30000;
    {
        TForm1 form(nodes, nullptr, clock, ui, dir, dir / "no-program");
        if (download)
            form.installDownloadWindow(drives, ui, clock);
        for (int c = 0; c < MachineSlots::kSlotCount; ++c) {
            MACHINE& m = form.machineSlots().connection(c);
            m.setRecordHook([&stored, &m](uint32_t, bool ok) {
                if (ok)
                    ++stored[m.info().machineId];
            });
        }
        form.show();

        // 3. Every machine syncing before the measurement starts.
        const auto start = std::chrono::steady_clock::now();
        auto allSyncing = [&] {
            for (int k = 0; k < kMachines; ++k)
                if (stored[idOf(k)] < 50)
                    return false;
            return true;
        };
        while (!allSyncing() && std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (!allSyncing()) {
            std::fprintf(stderr, "case %d: the machines did not start syncing\n", which);
            return 1;
        }

        // The machine to download to: its window open, in standby.
        TFormMachine* downloadTo = nullptr;
        if (download) {
            for (int k = 0; k < form.picturesPlaced() && !downloadTo; ++k) {
                MACHINE& m = form.machineSlots().connection(form.picture(k).connection());
                if (!form.picture(k).isOn() || m.info().machineId != idOf(downloadMachine))
                    continue;
                form.machineSlots().pictureClick(k);
                if (auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window()))
                    downloadTo = adapter->window();
            }
            const auto settle = std::chrono::steady_clock::now();
            while (downloadTo && !downloadTo->IsStandby() &&
                   std::chrono::steady_clock::now() - settle < std::chrono::seconds(10))
                QApplication::processEvents(QEventLoop::AllEvents, 20);
            if (!downloadTo || !downloadTo->IsStandby()) {
                std::fprintf(stderr, "case %d: no machine window in standby to download to\n",
                             which);
                return 1;
            }
            fs::create_directories(dir / "source");
            std::FILE* f = std::fopen((dir / "source" / "image.bin").c_str(), "wb");
            if (!f || std::fputs("source file", f) < 0 || std::fclose(f) != 0)
                return 1;
        }

        CaseResult r;
        if (download)
            r.stalled = downloadMachine;
        if (which == 2) {
            r.stalled = 0;
            if (!standIns.stall(0))
                return 1;
        }
        if (which == 3)
            syncDelayMs = 200;

        // 4. The measurement.
        std::map<std::string, uint64_t> before = stored;
        probe.reset();
        const auto t0 = std::chrono::steady_clock::now();
        auto sinceStart = [t0] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        };
        double formatFrom = -1, formatTo = -1, closedAt = -1, flowEnded = -1;
        QString waitingAfterClose;
        QTimer watch;
        TForm_DownloadSource* window = form.downloadWindow();
        if (download) {
            // The operator's path: the window, a source folder, a job, Run; the
            // close box as soon as the stick is being formatted.
            QObject::connect(&watch, &QTimer::timeout, [&] {
                const bool formatting = drives.formatting();
                if (formatting && formatFrom < 0)
                    formatFrom = sinceStart();
                if (!formatting && formatFrom >= 0 && formatTo < 0)
                    formatTo = sinceStart();
                if (closedAt >= 0 && waitingAfterClose.isNull())
                    waitingAfterClose = window->Label_waiting->text(); // what it says after
                if (formatting && closedAt < 0) {
                    window->close();
                    closedAt = sinceStart();
                }
                if (closedAt >= 0 && flowEnded < 0 && !window->flow().running())
                    flowEnded = sinceStart();
            });
            watch.start(20);
            QTimer::singleShot(2000, &app, [&] {
                QTimer::singleShot(50, window, [&] {
                    window->selectTargetDirectory(
                        QString::fromStdString((dir / "source").string()));
                    window->ComboBox_job->setCurrentIndex(1);
                    window->Button_Run_downloadSource->click();
                });
                downloadTo->Item_DownloadSourceFiles->trigger(); // until the window goes
            });
        }
        QTimer::singleShot(int(seconds * 1000), &app, &QCoreApplication::quit);
        app.exec();
        r.seconds = sinceStart();
        watch.stop();
        r.longestUs = probe.gaps().longestUs();
        r.p99Us = probe.gaps().percentileUs(0.99);
        r.turns = probe.gaps().count();
        syncDelayMs = 0;
        std::printf("RESULT %d %.3f %llu %llu %llu %d", which, r.seconds,
                    (unsigned long long)r.longestUs, (unsigned long long)r.p99Us,
                    (unsigned long long)r.turns, r.stalled);
        for (int k = 0; k < kMachines; ++k)
            std::printf(" %.2f", double(stored[idOf(k)] - before[idOf(k)]) / r.seconds);
        std::printf("\n");
        if (download)
            std::printf("NOTE format from %.1f s to %.1f s of the run, window closed at %.1f s "
                        "(\"%s\"), download ended at %.1f s with result %d\n",
                        formatFrom, formatTo, closedAt, waitingAfterClose.toUtf8().constData(),
                        flowEnded, window->flow().result());
        std::fflush(stdout);
        form.close();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}

struct Parsed {
    bool ok = false;
    CaseResult r;
    int which = 0;
};

Parsed parseResult(const std::string& line) {
    Parsed p;
    unsigned long long longest = 0, p99 = 0, turns = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "RESULT %d %lf %llu %llu %llu %d%n", &p.which, &p.r.seconds,
                    &longest, &p99, &turns, &p.r.stalled, &consumed) != 6)
        return p;
    p.r.longestUs = longest, p.r.p99Us = p99, p.r.turns = turns;
    const char* rest = line.c_str() + consumed;
    double rate = 0;
    int n = 0;
    while (std::sscanf(rest, " %lf%n", &rate, &n) == 1) {
        p.r.rates.push_back(rate);
        rest += n;
    }
    p.ok = p.r.rates.size() == size_t(kMachines);
    return p;
}

const char* caseName(int which) {
    switch (which) {
    case 1:
        return "8 machines syncing";
    case 2:
        return "8 machines, one stops taking reports";
    case 3:
        return "8 machines, every disk sync 200 ms";
    case 4:
        return "8 machines, a 30 s master format whose window is closed";
    default:
        return "?";
    }
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    std::vector<int> cases;
    int runOne = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--case" && i + 1 < argc)
            cases.push_back(std::atoi(argv[++i]));
        else if (a == "--run-case" && i + 1 < argc)
            runOne = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_loop_gap [--seconds N] [--case K]...\n");
            return 2;
        }
    }
    if (runOne)
        return runCase(runOne, seconds);
    if (cases.empty())
        cases = {1, 2, 3, 4};

    std::printf("event-loop gaps of the desktop program (offscreen), %d stand-ins at 1 ms per "
                "report over the hidraw device code, %.0f s per case, files under %s\n",
                kMachines, seconds, fs::temp_directory_path().c_str());
    double baseline = 0; // case 1's mean records per second and machine
    for (int which : cases) {
        const std::string command = "\"/proc/" + std::to_string(::getpid()) + "/exe\" --run-case " +
                                    std::to_string(which) + " --seconds " + std::to_string(seconds);
        FILE* p = ::popen(command.c_str(), "r");
        Parsed result;
        std::string note;
        char line[4096];
        while (p && std::fgets(line, sizeof line, p))
            if (std::strncmp(line, "RESULT ", 7) == 0)
                result = parseResult(line);
            else if (std::strncmp(line, "NOTE ", 5) == 0)
                note = line + 5;
        if (p)
            ::pclose(p);
        if (!result.ok) {
            std::printf("  case %d (%s): no result\n", which, caseName(which));
            continue;
        }
        const CaseResult& r = result.r;
        double sum = 0, low = 1e18, high = 0;
        int healthy = 0;
        for (int k = 0; k < kMachines; ++k) {
            if (k == r.stalled)
                continue;
            sum += r.rates[size_t(k)];
            low = std::min(low, r.rates[size_t(k)]);
            high = std::max(high, r.rates[size_t(k)]);
            ++healthy;
        }
        if (which == 1)
            baseline = sum / healthy;
        std::printf("  case %d (%s): longest gap %.1f ms, 99th percentile %.2f ms over %llu turns "
                    "in %.1f s; healthy machines %.1f..%.1f records/s",
                    which, caseName(which), msOf(r.longestUs), msOf(r.p99Us),
                    (unsigned long long)r.turns, r.seconds, low, high);
        if (baseline > 0)
            std::printf(" (%.1f %%..%.1f %% of case 1)", 100 * low / baseline,
                        100 * high / baseline);
        if (r.stalled >= 0)
            std::printf("; %s machine %.1f records/s", which == 4 ? "downloading" : "stopped",
                        r.rates[size_t(r.stalled)]);
        std::printf("\n");
        if (!note.empty())
            std::printf("    %s", note.c_str());
        std::fflush(stdout);
    }
    return 0;
}
