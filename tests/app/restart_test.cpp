// The real headless monitor against dupmon-sim, killed with SIGKILL in the
// middle of its work and started again, over and over, while the simulator
// goes on answering (and running jobs that add records). Each machine's log
// database must end up with every record of the machine exactly once, in
// order, under the machine's own id, and every stored record with exactly
// one whole line in its daily text file, and no other line there.
//
// DUPMON_RESTARTS sets the number of kills (default 3; DUPMON_RESTARTS=20 for a
// longer durability check); the logs grow with it so that every kill meets a
// sync under way.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "logdb/log_database.h"
#include "logdb/log_record.h"
#include "registry/system_database.h"
#include "support/child_process.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

struct Range {
    uint32_t first = 0, count = 0;
};

// "ok state=.. sub=.. pass=.. fail=.. logFirst=N logCount=N" of `ctl status`.
bool simStatus(const fs::path& dir, const std::string& socket, const std::string& id, Range& r,
               int& state) {
    const fs::path out = dir / "ctl-status.out";
    Child ctl({DUPMON_SIM, "--socket", socket, "ctl", "status", id}, out, dir);
    if (ctl.wait(10) != 0)
        return false;
    unsigned s = 0, sub = 0, pass = 0, fail = 0, first = 0, count = 0;
    if (std::sscanf(ctl.output().c_str(),
                    "ok state=%u sub=%u pass=%u fail=%u logFirst=%u logCount=%u", &s, &sub, &pass,
                    &fail, &first, &count) != 6)
        return false;
    r = {first, count};
    state = int(s);
    return true;
}

int ctl(const fs::path& dir, const std::string& socket, std::vector<std::string> request) {
    std::vector<std::string> args = {DUPMON_SIM, "--socket", socket, "ctl"};
    args.insert(args.end(), request.begin(), request.end());
    Child c(args, dir / "ctl.out", dir);
    return c.wait(10);
}

} // namespace

TEST(Restart, KilledMidSyncAndStartedAgainTheLogsStayWholeUnderTheirIds) {
    const char* env = std::getenv("DUPMON_RESTARTS");
    const int restarts = env && *env ? std::atoi(env) : 3;
    const fs::path dir = baseTemp() / ("dupmon-restart-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "work");
    ::setenv("TMPDIR", dir.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", makeRuntimeDir(dir).c_str(), 1);
    const std::string socket = (dir / "sim.sock").string();

    // A large log, a log numbered across 0xFFFFFFFF, and a machine whose jobs
    // end by themselves and add records while the monitor comes and goes.
    const std::vector<std::string> ids = {"RS-USB", "RS-WRAP", "RS-OLD"};
    const std::string logs = std::to_string(60 + 45 * restarts);
    Child sim({DUPMON_SIM, "--socket", socket, "--wire", "1", "--plug",
               "usb10,id=RS-USB,logs=" + logs + ",first=1000", "--plug",
               "cf8,id=RS-WRAP,logs=" + logs + ",first=4294967270", "--plug",
               "old7,id=RS-OLD,logs=20,speed=40"},
              dir / "sim.out", dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(socket); }, 10));

    std::mt19937 rng(7);
    const std::vector<std::string> monitorArgs = {
        DUPMON_MONITOR, "--headless", "--simulator", socket, "--workdir", (dir / "work").string()};
    int killedSyncing = 0;
    for (int k = 0; k < restarts; ++k) {
        if (k % 2 == 0)
            ctl(dir, socket, {"job", "RS-OLD", "copy"}); // refused while one runs: fine
        Child monitor(monitorArgs, dir / ("monitor-" + std::to_string(k) + ".out"), dir);
        // Killed after a few records of this run, at a different point each time.
        const int records = 1 + int(rng() % 40);
        const bool reached =
            waitFor([&] { return countOf(monitor.output(), "stored log record") >= records; }, 8);
        ASSERT_TRUE(reached || !monitor.output().empty()) << "run " << k;
        killedSyncing += reached;
        ::kill(monitor.pid, SIGKILL);
        ::waitpid(monitor.pid, nullptr, 0);
        monitor.pid = -1;
        EXPECT_EQ(monitor.output().find("NOT stored"), std::string::npos) << monitor.output();
    }
    std::printf("restart: %d kills, %d of them in the middle of a sync\n", restarts, killedSyncing);

    // A last run catches up with everything the machines hold, then stops as a user would.
    Child last(monitorArgs, dir / "monitor-last.out", dir);
    std::vector<Range> ranges(ids.size());
    auto caughtUp = [&] {
        for (size_t i = 0; i < ids.size(); ++i) {
            int state = -1;
            if (!simStatus(dir, socket, ids[i], ranges[i], state) || state != 0)
                return false;
            MachineInfo info{};
            std::snprintf(info.machineId, sizeof info.machineId, "%s", ids[i].c_str());
            const auto db = readLogDatabase(logDatabasePath(dir / "work" / "DATABASE", info));
            if (db.result != PASS || db.count < ranges[i].count)
                return false;
        }
        return true;
    };
    ASSERT_TRUE(waitFor(caughtUp, 120)) << last.output();
    EXPECT_EQ(last.stop(), 0);
    sim.stop();

    for (size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(ids[i]);
        MachineInfo info{};
        std::snprintf(info.machineId, sizeof info.machineId, "%s", ids[i].c_str());
        const auto db = readLogDatabase(logDatabasePath(dir / "work" / "DATABASE", info));
        ASSERT_EQ(db.result, PASS);
        EXPECT_EQ(db.count, ranges[i].count) << "every record once";
        for (uint32_t n = 0; n < db.count && n < ranges[i].count; ++n)
            ASSERT_EQ(readBE32(db.record(n)), ranges[i].first + n) << "record " << n;
    }
    // Nothing was registered or stored under any other id.
    SYSTEM_DATABASE reg;
    ASSERT_EQ(reg.open((dir / "work" / "DATABASE" / "BRELLOCK_QX42.DB7").string()), 0);
    std::vector<std::string> registered;
    for (int i = 0; i < 8; ++i)
        if (reg.isInUse(i))
            registered.push_back(reg.entry(i).machineId);
    std::sort(registered.begin(), registered.end());
    std::vector<std::string> expected = ids;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(registered, expected);
    int databases = 0;
    for (const auto& e : fs::directory_iterator(dir / "work" / "DATABASE"))
        databases += e.path().string().find(".QX42.LOGDATA") != std::string::npos;
    EXPECT_EQ(databases, int(ids.size()));

    // The daily text files: each record's line once, whole, in the file of
    // its machine and day, and nothing else in them.
    std::map<fs::path, std::multiset<std::string>> expectedLines;
    for (int i = 0; i < 8; ++i) {
        if (!reg.isInUse(i))
            continue;
        const MachineInfo info = reg.entry(i);
        const auto db = readLogDatabase(logDatabasePath(dir / "work" / "DATABASE", info));
        for (uint32_t n = 0; n < db.count; ++n) {
            const LogRecord r = decodeLogRecord(db.record(n));
            expectedLines[dailyLogPath(dir / "work", info, r.year + 2000, r.month, r.day)].insert(
                reportLine(r));
        }
    }
    size_t dailyFiles = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir / "work")) {
        const std::string folder = e.path().parent_path().filename().string();
        if (e.path().extension() != ".txt" || folder == "DEBUG_SESSION")
            continue;
        ++dailyFiles;
        SCOPED_TRACE(e.path().string());
        std::ifstream in(e.path(), std::ios::binary);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n') << "the last line is whole";
        std::multiset<std::string> lines;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            lines.insert(text.substr(at, end - at));
        const auto expected = expectedLines.find(e.path());
        ASSERT_NE(expected, expectedLines.end()) << "a daily file of no stored record";
        EXPECT_EQ(lines, expected->second);
    }
    EXPECT_EQ(dailyFiles, expectedLines.size());
    fs::remove_all(dir);
}
