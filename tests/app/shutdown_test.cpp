// The desktop program stopped by SIGTERM, by SIGINT, or by closing its main
// window while one of its dialogs is open: it must end by itself with status
// 0, having closed what it holds (the registry written, each debug file's
// closing banner), with nothing left for AddressSanitizer to report. The
// program is app_dialog_probe (the real main with a probe that opens the
// dialog) against dupmon-sim; the time each stop took is printed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "registry/system_database.h"
#include "support/child_process.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// Waits for the child's own end; its exit status (-1 when killed by a
// signal), and how long that took.
int waitExit(Child& c, int seconds, long& ms) {
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        if (::waitpid(c.pid, &status, WNOHANG) == c.pid) {
            c.pid = -1;
            break;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(seconds))
            return -2;
        ::usleep(2000);
    }
    ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string fileText(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(Shutdown, EndsCleanlyWithAnyDialogOpen) {
    struct Case {
        const char* dialog;
        const char* stop; // "TERM", "INT" or "close" (the main window's close box)
    } cases[] = {
        {"nickname", "TERM"}, {"clock", "TERM"},    {"setup", "TERM"}, {"download", "TERM"},
        {"devinfo", "TERM"},  {"question", "TERM"}, {"setup", "INT"},  {"question", "close"},
    };
    const fs::path base = freshRunFolder("dupmon-shutdown");
    const std::string socket = (base / "sim.sock").string();
    Child sim({DUPMON_SIM, "--socket", socket, "--plug", "usb10,id=STOP-1,logs=5,speed=40"},
              base / "sim.out", base);
    ASSERT_TRUE(waitFor([&] { return fs::exists(socket); }, 20));

    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dialog) + " " + c.stop);
        const fs::path work = base / (std::string("work-") + c.dialog + "-" + c.stop);
        fs::create_directories(work);
        ::setenv("DUPMON_PROBE_DIALOG", c.dialog, 1);
        ::setenv("DUPMON_PROBE_THEN", c.stop, 1);
        Child monitor({DUPMON_DIALOG_PROBE, "--simulator", socket, "--workdir", work.string()},
                      work / "monitor.out", base);
        ASSERT_TRUE(
            waitFor([&] { return monitor.output().find("PROBE open ") != std::string::npos; }, 120))
            << monitor.output();
        long ms = 0;
        if (std::string(c.stop) == "close") {
            ASSERT_TRUE(waitFor(
                [&] { return monitor.output().find("PROBE closed") != std::string::npos; }, 30))
                << monitor.output();
        } else {
            ::kill(monitor.pid, std::string(c.stop) == "TERM" ? SIGTERM : SIGINT);
        }
        const int status = waitExit(monitor, 20, ms);
        const std::string out = monitor.output();
        EXPECT_EQ(status, 0) << out;
        if (status == -2)
            std::printf("[ measured ] %s open, %s: still running after 20 s\n", c.dialog, c.stop);
        else
            std::printf("[ measured ] %s open, %s: ended with status %d after %ld ms\n", c.dialog,
                        c.stop, status, ms);
        EXPECT_EQ(out.find("AddressSanitizer"), std::string::npos) << out;
        EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;

        // What a clean end leaves: the machine in the registry, the debug file closed.
        SYSTEM_DATABASE registry;
        ASSERT_EQ(registry.open((work / "DATABASE" / "BRELLOCK_QX42.DB7").string()), 0);
        MachineInfo m{};
        std::snprintf(m.machineId, sizeof m.machineId, "STOP-1");
        EXPECT_TRUE(registry.findMachine(m, nullptr));
        registry.release();
        bool closed = false;
        for (const auto& e : fs::directory_iterator(work / "DEBUG_SESSION"))
            closed |= fileText(e.path()).find("CLOSE Brellock DEBUG FILE") != std::string::npos;
        EXPECT_TRUE(closed);
    }
    sim.stop();
    fs::remove_all(base);
}
