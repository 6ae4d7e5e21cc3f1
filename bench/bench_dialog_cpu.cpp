// What the desktop program costs while one of its modal dialogs is open: the
// real main window and machine window in this process (offscreen), over
// seven synced, idle stand-ins behind hidraw-like nodes (a child process)
// and an eighth machine known but not attached (the registry holds eight).
// Each dialog is opened the way the operator opens it, left open, and closed;
// prints the program's CPU time as a share of one core and its context
// switches per second, next to the same with no dialog open.
//
//   bench_dialog_cpu [--seconds N]      (30 s per dialog)
#include <QApplication>
#include <QDialog>
#include <QFrame>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "app/qt_ui_services.h"
#include "common/result_codes.h"
#include "logdb/log_database.h"
#include "logdb/tform_show_log.h"
#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/tform_machine.h"
#include "registry/system_database.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "sim/simulated_drives.h"
#include "standin_nodes.h"

using namespace dupmon;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kMachines = 7;

struct Usage {
    double cpu = 0; // user + system seconds, every thread of this process
    long switches = 0;
    Steady::time_point at;
    static Usage now() {
        rusage r{};
        ::getrusage(RUSAGE_SELF, &r);
        Usage u;
        u.cpu = double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
        u.switches = r.ru_nvcsw + r.ru_nivcsw;
        u.at = Steady::now();
        return u;
    }
};

// One thing the operator opens: how to open it, and how to close it again.
struct Phase {
    const char* name;
    std::function<void()> open;         // nothing: the baseline
    std::function<bool(QWidget*)> isIt; // the modal widget that shows it
    std::function<void(QWidget*)> close;
};

void closeWidget(QWidget* w) {
    if (auto* d = qobject_cast<QDialog*>(w))
        d->reject();
    else
        w->close();
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 30;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: bench_dialog_cpu [--seconds N]\n");
            return 2;
        }
    }
    std::vector<std::string> ids;
    for (int k = 0; k < kMachines; ++k)
        ids.push_back("DLG-" + std::to_string(k));
    // Short logs, synced before anything is measured; machine 0 runs its jobs
    // fast, so that its question comes soon.
    bench::StandInNodes standIns(ids, "usb10", [](int k, StandInController& m) {
        m.machine().preloadLog(20);
        if (k == 0)
            m.machine().speed = 20;
    });
    if (!standIns.started())
        return 1;

    static int qtArgc = 1;
    static char name[] = "bench_dialog_cpu";
    static char* qtArgv[] = {name, nullptr};
    QApplication app(qtArgc, qtArgv);
    std::string tmpl = (fs::temp_directory_path() / "dupmon-bench-dialogs-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        return 1;
    const fs::path dir = tmpl;
    // A machine that is not attached, with a job log: its picture opens the
    // log viewer as a modal window.
    fs::create_directories(dir / "DATABASE");
    MachineInfo away{};
    {
        std::snprintf(away.machineId, sizeof away.machineId, "AWAY-0");
        std::snprintf(away.modelName, sizeof away.modelName, "SIM USB Tower 10");
        std::snprintf(away.version, sizeof away.version, "v3.12.5");
        away.deviceType = 2;
        away.support_LogRecord = 1;
        away.maxDeviceQty = 10;
        SYSTEM_DATABASE registry;
        int position = -1;
        if (registry.create((dir / "DATABASE" / "BRELLOCK_QX42.DB7").string()) != PASS ||
            !registry.addMachine(away, &position) ||
            !createLogDatabase(logDatabasePath(dir / "DATABASE", away)))
            return 1;
        registry.release();
    }
    bench::SocketNodes nodes(standIns.hostEnds());
    QtUiServices ui(false);
    const Clock& clock = SystemClock::instance();
    SimulatedDrives drives(dir / "SimulatedDrives");
    int exitCode = 0;
    {
        TForm1 form(nodes, nullptr, clock, ui, dir, dir / "no-program");
        form.installDownloadWindow(drives, ui, clock);
        form.showServiceItems(true);
        form.show();

        // Every machine on the board and synced, and machine 0's window open.
        const auto start = Steady::now();
        auto allOn = [&] {
            int on = 0;
            for (int k = 0; k < form.picturesPlaced(); ++k)
                on += form.picture(k).isOn();
            return on == kMachines;
        };
        auto viewerOf = [](QWidget* parent) -> TForm_ShowLog* {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* v = qobject_cast<TForm_ShowLog*>(top); v && v->parentWidget() == parent)
                    return v;
            return nullptr;
        };
        while (!allOn() && Steady::now() - start < std::chrono::seconds(60))
            QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (!allOn()) {
            std::fprintf(stderr, "the machines did not come on\n");
            return 1;
        }
        int awayPicture = -1, firstPicture = -1;
        for (int k = 0; k < form.picturesPlaced(); ++k) {
            if (!form.picture(k).isOn())
                awayPicture = k;
            else if (std::string(form.machineSlots()
                                     .connection(form.picture(k).connection())
                                     .info()
                                     .machineId) == "DLG-0")
                firstPicture = k;
        }
        if (awayPicture < 0 || firstPicture < 0)
            return 1;
        form.machineSlots().pictureClick(firstPicture);
        MACHINE& m = form.machineSlots().connection(form.picture(firstPicture).connection());
        auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window());
        TFormMachine* w = adapter ? adapter->window() : nullptr;
        if (!w)
            return 1;
        const auto settle = Steady::now();
        while (Steady::now() - settle < std::chrono::seconds(5))
            QApplication::processEvents(QEventLoop::AllEvents, 20);

        auto any = [](QWidget*) { return true; };
        const std::vector<Phase> phases = {
            {"no dialog open", nullptr, nullptr, nullptr},
            {"nickname", [w] { w->Item_ChangeNickname->trigger(); }, any, closeWidget},
            {"machine clock", [w] { w->Item_ChangeMachineClock->trigger(); }, any, closeWidget},
            {"setup parameters", [w] { w->Item_SetupMachineParameter->trigger(); }, any,
             closeWidget},
            {"get device info", [w] { w->Item_GetInfo->trigger(); }, any, closeWidget},
            {"download source", [w] { w->Item_DownloadSourceFiles->trigger(); }, any, closeWidget},
            {"log viewer (an unplugged machine's)",
             [&form, awayPicture] { form.machineSlots().pictureClick(awayPicture); },
             [](QWidget* top) { return qobject_cast<TForm_ShowLog*>(top) != nullptr; },
             closeWidget},
            {"report (from the log viewer)",
             [w, viewerOf] {
                 // The machine window's own viewer (not modal), and its report window.
                 w->Item_OpenLogWindow->trigger();
                 if (TForm_ShowLog* viewer = viewerOf(w))
                     viewer->SaveToTextFileClick();
             },
             any,
             [w, viewerOf](QWidget* report) {
                 closeWidget(report);
                 if (TForm_ShowLog* viewer = viewerOf(w))
                     viewer->close();
             }},
            {"message box", [&ui] { ui.messageBox("A message the operator reads.", "Message"); },
             any, closeWidget},
            // Closed without an answer: the machine still waits, and the
            // window offers the answers in its bar, with no dialog open. A
            // machine that waits is polled as it is during a job: this is the
            // figure the question's own compares with.
            {"continue or finish", [w] { w->Item_Copy->trigger(); },
             [](QWidget* top) { return qobject_cast<TForm_continue_or_exit*>(top) != nullptr; },
             closeWidget},
            {"no dialog, the question in the bar", nullptr, nullptr,
             [w](QWidget*) {
                 if (w->Panel_Question->isHidden())
                     std::printf("  (the bar showed no question: the figure above is not it)\n");
                 w->Button_QuestionFinish->click();
             }},
        };

        std::printf("CPU of the desktop program (offscreen) with %d idle machines and one "
                    "machine window open, %.0f s per dialog\n",
                    kMachines, seconds);
        std::fflush(stdout);
        // One phase after the other, driven from a timer that also runs inside
        // each dialog's own event loop.
        size_t index = 0;
        enum class State { Open, WaitShown, Measure, WaitClosed } state = State::Open;
        Usage from;
        Steady::time_point since = Steady::now();
        QTimer driver;
        QObject::connect(&driver, &QTimer::timeout, [&] {
            if (index >= phases.size()) {
                driver.stop();
                QCoreApplication::exit(0);
                return;
            }
            const Phase& p = phases[index];
            QWidget* modal = QApplication::activeModalWidget();
            switch (state) {
            case State::Open:
                if (modal)
                    return; // something still open from before
                since = Steady::now();
                if (p.open) {
                    QTimer::singleShot(0, p.open);
                    state = State::WaitShown;
                } else {
                    from = Usage::now();
                    state = State::Measure;
                }
                return;
            case State::WaitShown:
                if (modal && p.isIt(modal)) {
                    from = Usage::now();
                    state = State::Measure;
                } else if (Steady::now() - since > std::chrono::seconds(120)) {
                    std::printf("  %-36s did not open\n", p.name);
                    exitCode = 1;
                    ++index;
                    state = State::Open;
                }
                return;
            case State::Measure: {
                const Usage to = Usage::now();
                const double wall = std::chrono::duration<double>(to.at - from.at).count();
                if (wall < seconds)
                    return;
                std::printf("  %-36s %5.1f %% of a core, %6.1f context switches/s\n", p.name,
                            100 * (to.cpu - from.cpu) / wall,
                            double(to.switches - from.switches) / wall);
                std::fflush(stdout);
                if (p.close && (modal || !p.open))
                    p.close(modal);
                since = Steady::now();
                state = State::WaitClosed;
                return;
            }
            case State::WaitClosed:
                // Leave the machines a moment between two dialogs.
                if (modal || Steady::now() - since < std::chrono::seconds(2))
                    return;
                ++index;
                state = State::Open;
                return;
            }
        });
        driver.start(100);
        app.exec();
        form.close();
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return exitCode;
}
