// duplicator-monitor: finds the duplicators on the USB bus, keeps their job
// logs and shows them on a board of machine pictures.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "app/demo.h"
#include "app/headless_board.h"
#include "app/instance_lock.h"
#include "app/monitor_options.h"
#include "app/qt_ui_services.h"
#include "app/single_instance.h"
#include "common/version.h"
#include "export/monitor_export.h"
#include "hidlink/hidraw_backend.h"
#include "hidlink/udev_watcher.h"
#include "master_usb/udisks2_drives.h"
#include "protocol/command_machine.h"
#include "shell/main_window.h"
#include "shell/shell_driver.h"
#include "shell/working_folder.h"
#include "sim/sim_client.h"
#include "sim/simulated_drives.h"

using namespace dupmon;

#ifdef DUPMON_DIALOG_PROBE
// The test build's probe: opens a dialog once a machine is on (tests/app).
namespace dupmon {
void startDialogProbe(TForm1& form);
}
#endif

namespace {

// SIGINT and SIGTERM end the program the way closing its window does.
int signalPipe[2] = {-1, -1};
void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

// Caught from the start: a signal during start-up waits in the pipe until the
// program can end the way it ends when running, instead of killing it half-made.
void catchQuitSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

void quitOnSignals(QObject* context, std::function<void()> quit) {
    if (signalPipe[0] < 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, quit] {
        char c;
        [[maybe_unused]] auto n = ::read(signalPipe[0], &c, 1);
        notifier->setEnabled(false);
        quit();
    });
}

// What this monitor holds that no other may share, and what it is, in words.
std::vector<InstanceClaim> instanceClaims(const MonitorOptions& o,
                                          const std::filesystem::path& workDir,
                                          std::string& description) {
    std::vector<InstanceClaim> claims{InstanceClaim::workingFolder(workDir)};
    description =
        std::string(o.headless ? "headless" : "desktop") + ", working folder " + workDir.string();
    if (o.demo) {
        description += ", stand-in machines";
    } else if (!o.simulator.empty()) {
        claims.push_back(InstanceClaim::simulator(o.simulator));
        description += ", " + claims.back().what;
    } else {
        claims.push_back(InstanceClaim::usbBus());
        description += ", the USB bus";
    }
    return claims;
}

// Every record the machines store also goes to a PostgreSQL server, when
// --export or the working folder's parameter file names one. Its notices
// are passed on on this thread, through `context`'s event queue.
std::unique_ptr<MonitorExport> makeExport(const MonitorOptions& o,
                                          const std::filesystem::path& workDir,
                                          MonitorExport::Outputs outputs, QObject* context) {
    ExportSetting setting;
    if (o.exportUrl.empty())
        setting = readExportSetting(workDir);
    else
        setting.url = o.exportUrl;
    // A parameter file that cannot be read turns the export off, saying why.
    if (!setting.url && setting.problem.empty())
        return nullptr;
    ExporterOptions options;
    options.url = setting.url.value_or("");
    options.settingProblem = setting.problem;
    options.databaseDir = ShellPaths::under(workDir, {}).databaseDir;
    outputs.post = [context](std::function<void()> call) {
        QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
    };
    return std::make_unique<MonitorExport>(std::move(options), std::move(outputs));
}

} // namespace

int main(int argc, char** argv) {
    MonitorOptions o;
    std::string error;
    switch (parseMonitorOptions(std::vector<std::string>(argv + 1, argv + argc), o, error)) {
    case OptionsAction::Help:
        printMonitorUsage(stdout);
        return 0;
    case OptionsAction::Version:
        std::printf("%s %s (%s) %s\n", kProgramName, kProgramVersion, kBuildDate, kModelString);
        return 0;
    case OptionsAction::Error:
        std::fprintf(stderr, "duplicator-monitor: %s\n", error.c_str());
        std::fprintf(stderr, "Try 'duplicator-monitor --help' for the options.\n");
        return 2;
    case OptionsAction::Run:
        break;
    }
    const std::filesystem::path programFile = runningProgramFile(argv[0]);
    // A path in an option is the current folder's, not the working folder's.
    if (!o.simulator.empty())
        o.simulator = std::filesystem::absolute(o.simulator).string();
    if (!o.headless) {
        if (const std::string problem = displayProblem(); !problem.empty()) {
            std::fprintf(stderr, "duplicator-monitor: %s\n", problem.c_str());
            return 1;
        }
    }
    if (o.userData) {
        const std::filesystem::path folder = userDataFolder(error);
        if (folder.empty() || !prepareUserDataFolder(folder, programFile, error)) {
            std::fprintf(stderr, "duplicator-monitor: %s\n", error.c_str());
            return 1;
        }
        o.workDir = folder.string();
    }
    if (!o.workDir.empty()) {
        std::string problem = makeWorkingFolder(o.workDir);
        if (problem.empty() && ::chdir(o.workDir.c_str()) != 0)
            problem = "cannot enter " + o.workDir + ": " + std::strerror(errno);
        if (!problem.empty()) {
            std::fprintf(stderr, "duplicator-monitor: %s\n", problem.c_str());
            return 1;
        }
    }

    catchQuitSignals();
    std::unique_ptr<QCoreApplication> app;
    if (o.headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);

    SingleInstance instance;
    {
        std::string description, message;
        const auto claims = instanceClaims(o, std::filesystem::current_path(), description);
        switch (instance.start(claims, description, !o.headless, message)) {
        case SingleInstance::Outcome::Running:
            if (!message.empty())
                std::fprintf(stderr, "duplicator-monitor: %s\n", message.c_str());
            break;
        case SingleInstance::Outcome::HandedOver:
            std::fprintf(stderr, "duplicator-monitor: %s\n", message.c_str());
            return 0;
        case SingleInstance::Outcome::Refused:
        case SingleInstance::Outcome::Failed:
            std::fprintf(stderr, "duplicator-monitor: %s\n", message.c_str());
            return 1;
        }
    }

    const Clock& clock = SystemClock::instance();
    COMMAND_MACHINE::setGlobalRefreshMark();

    std::unique_ptr<DemoMachines> demo;
    std::unique_ptr<SimClientBackend> client;
    std::unique_ptr<HidrawBackend> hidraw;
    std::unique_ptr<UdevWatcher> udev;
    HidBackend* backend = nullptr;
    DeviceWatcher* watcher = nullptr;
    if (o.demo) {
        demo = std::make_unique<DemoMachines>(clock);
        backend = &demo->bus();
        watcher = &demo->bus();
    } else if (!o.simulator.empty()) {
        client = std::make_unique<SimClientBackend>(o.simulator);
        if (!client->connect()) {
            std::fprintf(stderr, "duplicator-monitor: no simulator answers at %s\n",
                         o.simulator.c_str());
            return 1;
        }
        backend = client.get();
        watcher = client.get();
    } else {
        hidraw = std::make_unique<HidrawBackend>();
        udev = std::make_unique<UdevWatcher>(clock);
        backend = hidraw.get();
        watcher = udev.get();
    }

    const std::filesystem::path workDir = std::filesystem::current_path();
    QtUiServices ui(o.headless);
    // Installed before any folder appears, so a stop that follows it is
    // heard: it closes the main window once there is one, whatever dialog
    // or box is open. Every wait ends, the main window closes its dialogs
    // unanswered, and exit() leaves the nested event loops of those dialogs
    // as well as the main one, so that everything is destroyed in order.
    TForm1* mainWindow = nullptr;
    quitOnSignals(app.get(), [&mainWindow, &ui] {
        ui.setClosing();
        if (mainWindow)
            mainWindow->closeWithoutAsking();
        QCoreApplication::exit(0);
    });
    if (const std::string problem = prepareWorkingFolder(workDir); !problem.empty()) {
        std::fprintf(stderr, "duplicator-monitor: %s\n", problem.c_str());
        if (!o.headless)
            ui.messageBox(problem, "Error");
        return 1;
    }
    if (o.headless) {
        ShellDriver driver;
        HeadlessBoard board(driver);
        // Said once, so that a start that finds no machine is not silent: the first line.
        const std::string watched = o.demo ? "the stand-in machines inside the program"
                                    : client
                                        ? "the stand-in machines of dupmon-sim at " + o.simulator
                                        : std::string("the duplicators on the USB bus");
        HeadlessBoard::line("running headless: watching " + watched + ", files in " +
                            workDir.string() + "; Ctrl-C ends it");
        // Made before the slots and ended after them: their records flow into it.
        const std::unique_ptr<MonitorExport> exporter = makeExport(
            o, workDir, {[&board](const std::string& line) { board.report(line); }, {}, {}},
            app.get());
        MachineSlots machineSlots(*backend, watcher, clock, ui, board,
                                  ShellPaths::under(workDir, programFile));
        for (int i = 0; i < MachineSlots::kSlotCount; ++i) {
            MACHINE& m = machineSlots.connection(i);
            m.setRecordHook([&m](uint32_t logNo, bool stored) {
                HeadlessBoard::line(std::string(stored ? "stored" : "NOT stored") + " log record " +
                                    std::to_string(logNo) + " of " + m.info().machineId);
            });
            if (exporter)
                exporter->attach(m);
        }
        if (exporter)
            exporter->start();
        driver.attachSlots(&machineSlots, watcher);
        driver.startUp();
        const int rc = app->exec();
        ui.setClosing();
        driver.stopAll();
        machineSlots.formClose();
        if (exporter)
            exporter->stop();
        return rc;
    }

    // The PC's drives for the master stick.
    std::unique_ptr<DriveService> drives;    // outlives the windows that use it
    std::unique_ptr<MonitorExport> exporter; // outlives the machines that feed it
    TForm1 form(*backend, watcher, clock, ui, workDir, programFile);
    exporter =
        makeExport(o, workDir,
                   {[&form](const std::string& line) {
                        std::fprintf(stderr, "duplicator-monitor: %s\n", line.c_str());
                        form.showExportLine(line);
                    },
                    [&ui](const std::string& text) { ui.messageBox(text, "PostgreSQL export"); },
                    {}},
                   &form);
    if (exporter) {
        for (int i = 0; i < MachineSlots::kSlotCount; ++i)
            exporter->attach(form.machineSlots().connection(i));
        exporter->start();
    }
    if (demo)
        demo->setAnsweredAtPc(
            [&form](const std::string& machineId) { return form.machineWindowShown(machineId); });
    instance.setActivate([&form] { form.activateFromAnotherStart(); });
    mainWindow = &form;
    if (demo || client) {
        // The stand-ins' master sticks, in a folder of the working directory:
        // those of --demo in this program, those of --simulator in dupmon-sim.
        auto simulated = std::make_unique<SimulatedDrives>(workDir / "SimulatedDrives");
        if (demo)
            for (const auto& m : demo->machines())
                simulated->addMachine(m);
        else
            simulated->setRemoteMasters(simulatorMasters(o.simulator));
        drives = std::move(simulated);
    } else {
        drives = makePcDrives();
    }
    form.installDownloadWindow(*drives, ui, clock);
    // With stand-in machines the hidden clock and setup items can be tried.
    form.showServiceItems(demo != nullptr || client != nullptr);
    form.show();
#ifdef DUPMON_DIALOG_PROBE
    startDialogProbe(form);
#endif
    const int rc = app->exec();
    ui.setClosing();
    if (exporter)
        exporter->stop();
    return rc;
}
