// duplicator-monitor: finds the duplicators on the USB bus, keeps their job
// logs and shows them on a board of machine pictures.
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

#include "app/demo.h"
#include "app/headless_board.h"
#include "app/qt_ui_services.h"
#include "app/shell_driver.h"
#include "common/version.h"
#include "hidlink/hidraw_backend.h"
#include "hidlink/udev_watcher.h"
#include "protocol/command_machine.h"
#include "shell/main_window.h"
#include "sim/sim_client.h"

using namespace dupmon;

namespace {

struct Options {
    bool demo = false;
    bool headless = false;
    std::string simulator;
    std::string workDir;
};

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: duplicator-monitor [--demo | --simulator SOCKET] [--headless]\n"
                 "                          [--workdir DIR]\n"
                 "  (no option)         watch the duplicators on the USB bus\n"
                 "  --demo              run with stand-in machines inside the program\n"
                 "  --simulator SOCKET  attach to the stand-in machines of a running dupmon-sim\n"
                 "  --headless          no windows: sync every machine's job log and print\n"
                 "                      one line per machine event\n"
                 "  --workdir DIR       keep the program's files under DIR (default: here)\n"
                 "  --help, --version\n");
}

// The single-instance rule: a second start asks the first to come to the front.
std::unique_ptr<QLocalServer> claimInstance(const QString& name, bool& another) {
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(300)) {
        probe.write("activate\n");
        probe.waitForBytesWritten(300);
        another = true;
        return nullptr;
    }
    another = false;
    auto server = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(name); // a socket left by a program that died
    server->listen(name);
    return server;
}

// SIGINT and SIGTERM end the program the way closing its window does.
int signalPipe[2] = {-1, -1};
void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

void quitOnSignals(QObject* context, std::function<void()> quit) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, quit] {
        char c;
        [[maybe_unused]] auto n = ::read(signalPipe[0], &c, 1);
        notifier->setEnabled(false);
        quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("%s %s (%s) %s\n", kProgramName, kProgramVersion, kBuildDate,
                        kModelString);
            return 0;
        } else if (a == "--demo") {
            o.demo = true;
        } else if (a == "--headless") {
            o.headless = true;
        } else if (a == "--simulator" && i + 1 < argc) {
            o.simulator = argv[++i];
        } else if (a == "--workdir" && i + 1 < argc) {
            o.workDir = argv[++i];
        } else {
            std::fprintf(stderr, "duplicator-monitor: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (o.demo && !o.simulator.empty()) {
        std::fprintf(stderr, "duplicator-monitor: --demo and --simulator exclude each other\n");
        return 2;
    }
    const std::filesystem::path programFile = std::filesystem::absolute(argv[0]);
    if (!o.workDir.empty() && ::chdir(o.workDir.c_str()) != 0) {
        std::fprintf(stderr, "duplicator-monitor: cannot enter %s: %s\n", o.workDir.c_str(),
                     std::strerror(errno));
        return 2;
    }

    std::unique_ptr<QCoreApplication> app;
    if (o.headless)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);

    bool another = false;
    const QString instance = QStringLiteral("Form1-dupmon-%1").arg(::getuid());
    auto server = claimInstance(instance, another);
    if (another) {
        std::fprintf(stderr, "duplicator-monitor: already running; brought it to the front\n");
        return 0;
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
    if (o.headless) {
        std::filesystem::create_directories(workDir / "DATABASE");
        std::filesystem::create_directories(workDir / "DEBUG_SESSION");
        ShellDriver driver;
        HeadlessBoard board(driver);
        MachineSlots machineSlots(*backend, watcher, clock, ui, board,
                           ShellPaths::under(workDir, programFile));
        for (int i = 0; i < MachineSlots::kSlotCount; ++i) {
            MACHINE& m = machineSlots.connection(i);
            m.setRecordHook([&m](uint32_t logNo, bool stored) {
                HeadlessBoard::line(std::string(stored ? "stored" : "NOT stored") +
                                    " log record " + std::to_string(logNo) + " of " +
                                    m.info().machineId);
            });
        }
        driver.attachSlots(&machineSlots, watcher);
        quitOnSignals(app.get(), [] { QCoreApplication::exit(0); });
        driver.startUp();
        if (o.demo)
            HeadlessBoard::line("running headless with stand-in machines");
        const int rc = app->exec();
        ui.setClosing();
        driver.stopAll();
        machineSlots.formClose();
        return rc;
    }

    TForm1 form(*backend, watcher, clock, ui, workDir, programFile);
    if (demo)
        demo->setAnsweredAtPc(
            [&form](const std::string& machineId) { return form.machineWindowShown(machineId); });
    QObject::connect(server.get(), &QLocalServer::newConnection, &form, [&] {
        while (QLocalSocket* s = server->nextPendingConnection()) {
            s->deleteLater();
            form.activateFromAnotherStart();
        }
    });
    quitOnSignals(&form, [&form] { form.close(); });
    form.show();
    const int rc = app->exec();
    ui.setClosing();
    return rc;
}
