#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/byte_order.h"
#include "logdb/log_database.h"
#include "registry/system_database.h"
#include "support/child_process.h"

using namespace dupmon;
namespace fs = std::filesystem;

TEST(EndToEnd, HeadlessMonitorSyncsTwoSimulatedMachines) {
    const fs::path dir = baseTemp() / ("dupmon-e2e-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "work");
    ::setenv("TMPDIR", dir.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", makeRuntimeDir(dir).c_str(), 1);
    const std::string socket = (dir / "sim.sock").string();

    Child sim({DUPMON_SIM, "--socket", socket, "--plug", "usb10,id=E2E-USB,logs=40,first=300",
               "--plug", "cf8,id=E2E-CF,logs=15"},
              dir / "sim.out", dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(socket); }, 10));

    Child monitor(
        {DUPMON_MONITOR, "--headless", "--simulator", socket, "--workdir", (dir / "work").string()},
        dir / "monitor.out", dir);
    ASSERT_TRUE(waitFor(
        [&] {
            const std::string out = monitor.output();
            return countOf(out, "stored log record") >= 55;
        },
        60))
        << monitor.output();
    const std::string out = monitor.output();
    EXPECT_NE(out.find("identified connection"), std::string::npos);
    EXPECT_NE(out.find("model SIM USB Tower 10 id E2E-USB ports 10"), std::string::npos);
    EXPECT_NE(out.find("on connection"), std::string::npos);

    // Unplugging one machine shows up as a detach line.
    Child ctl({DUPMON_SIM, "--socket", socket, "ctl", "unplug", "E2E-CF"}, dir / "ctl.out", dir);
    ASSERT_TRUE(
        waitFor([&] { return monitor.output().find("detached slot") != std::string::npos; }, 20))
        << monitor.output();
    EXPECT_EQ(monitor.stop(), 0);
    sim.stop();

    SYSTEM_DATABASE reg;
    ASSERT_EQ(reg.open((dir / "work" / "DATABASE" / "BRELLOCK_QX42.DB7").string()), 0);
    std::vector<std::string> ids;
    for (int i = 0; i < 8; ++i)
        if (reg.isInUse(i))
            ids.push_back(reg.entry(i).machineId);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"E2E-CF", "E2E-USB"}));

    struct Expect {
        const char* id;
        uint32_t first, count;
    } expects[] = {{"E2E-USB", 300, 40}, {"E2E-CF", 0, 15}};
    for (const auto& e : expects) {
        const auto db =
            readLogDatabase(dir / "work" / "DATABASE" / (std::string(e.id) + ".QX42.LOGDATA"));
        ASSERT_EQ(db.result, PASS) << e.id;
        ASSERT_EQ(db.count, e.count) << e.id;
        for (uint32_t i = 0; i < db.count; ++i)
            EXPECT_EQ(readBE32(db.record(i)), e.first + i) << e.id;
    }
    int dailyFiles = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "work"))
        if (entry.path().extension() == ".txt" &&
            entry.path().parent_path().filename() != "DEBUG_SESSION")
            ++dailyFiles;
    EXPECT_GE(dailyFiles, 2);
    int debugFiles = 0;
    for (const auto& entry : fs::directory_iterator(dir / "work" / "DEBUG_SESSION"))
        debugFiles += entry.path().filename().string().rfind("E2E-", 0) == 0;
    EXPECT_EQ(debugFiles, 2);
    fs::remove_all(dir);
}

TEST(EndToEnd, ASecondStartHandsOverToTheRunningProgram) {
    const fs::path dir = baseTemp() / ("dupmon-e2e-si-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "work");
    ::setenv("TMPDIR", dir.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", makeRuntimeDir(dir).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The desktop program, on stand-in machines; the second start finds it
    // through the working folder they would share.
    Child first({DUPMON_MONITOR, "--demo", "--workdir", (dir / "work").string()}, dir / "first.out",
                dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "work" / "DATABASE"); }, 20));
    Child second({DUPMON_MONITOR, "--demo", "--workdir", (dir / "work").string()},
                 dir / "second.out", dir);
    EXPECT_EQ(second.wait(20), 0) << second.output();
    EXPECT_NE(second.output().find("already running (pid " + std::to_string(first.pid)),
              std::string::npos)
        << second.output();
    EXPECT_NE(second.output().find("brought it to the front"), std::string::npos);
    EXPECT_TRUE(first.running()) << "the first program still runs";
    EXPECT_EQ(first.stop(), 0) << first.output();
    fs::remove_all(dir);
}
