// The real headless monitor against dupmon-sim, sending to a real server:
// every record lands once, a server stopped in the middle of a sync loses
// nothing, and settings that cannot work are said once while the records
// are still collected locally.
#include <ctime>
#include <fstream>

#include "app/child_process.h"
#include "export/server_fixture.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

class ExportEndToEnd : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ::setenv("XDG_RUNTIME_DIR", makeRuntimeDir(dir).c_str(), 1);
        socket = (dir / "sim.sock").string();
    }
    // A simulator of its own on `at` (the test's socket unless given).
    std::unique_ptr<Child> startSim(const std::vector<std::string>& plugs, std::string at = "") {
        if (at.empty())
            at = socket;
        std::vector<std::string> args = {DUPMON_SIM, "--socket", at};
        for (const std::string& p : plugs) {
            args.push_back("--plug");
            args.push_back(p);
        }
        auto sim = std::make_unique<Child>(args, at + ".out", dir);
        EXPECT_TRUE(waitFor([&] { return fs::exists(at); }, 10));
        return sim;
    }
    std::unique_ptr<Child> startMonitor(const fs::path& workDir, const std::string& exportUrl,
                                        std::string simulator = "") {
        std::vector<std::string> args = {DUPMON_MONITOR, "--headless",
                                         "--simulator",  simulator.empty() ? socket : simulator,
                                         "--workdir",    workDir.string()};
        if (!exportUrl.empty()) {
            args.push_back("--export");
            args.push_back(exportUrl);
        }
        return std::make_unique<Child>(
            args, dir / ("monitor-" + workDir.filename().string() + ".out"), dir);
    }
    std::string shown() const {
        return "postgresql://exporter@127.0.0.1:" + std::to_string(server().port()) + "/" + db;
    }
    TestPostgres& server() const { return testServer(); }
    // This month's debug file of a machine.
    static std::string debugFile(const fs::path& workDir, const std::string& id) {
        const std::time_t now = std::time(nullptr);
        std::tm t{};
        ::localtime_r(&now, &t);
        char name[128];
        std::snprintf(name, sizeof name, "%s(%04d%02d).txt", id.c_str(), t.tm_year + 1900,
                      t.tm_mon + 1);
        std::ifstream in(workDir / "DEBUG_SESSION" / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string socket;
};

TEST_F(ExportEndToEnd, AHeadlessRunLandsEveryRecordOnce) {
    auto sim = startSim({"usb10,id=PG-USB,logs=40,first=300", "cf8,id=PG-CF,logs=15"});
    auto monitor = startMonitor(dir, url());
    ASSERT_TRUE(waitFor([&] { return serverCount() == 55; }, 60)) << serverCount() << "\n"
                                                                  << monitor->output();
    EXPECT_EQ(monitor->stop(), 0);
    const std::string out = monitor->output();
    EXPECT_EQ(countOf(out, "stored log record"), 55) << out;
    EXPECT_EQ(countOf(out, "PostgreSQL export to " + shown() + ": connected (schema version 2)\n"),
              1)
        << out;
    EXPECT_EQ(serverLogNumbers("PG-USB"), range(300, 40));
    EXPECT_EQ(serverLogNumbers("PG-CF"), range(0, 15));
    expectRawEqualsLocal("PG-USB");
    expectRawEqualsLocal("PG-CF");
}

TEST_F(ExportEndToEnd, AServerStoppedMidSyncAndStartedAgainLosesNothingAndDoublesNothing) {
    auto sim = startSim({"usb10,id=PG-BIG,logs=600"});
    auto monitor = startMonitor(dir, url());
    ASSERT_TRUE(waitFor([&] { return serverCount() >= 40; }, 60)) << monitor->output();
    server().stopServer(true);
    const int storedBefore = countOf(monitor->output(), "stored log record");
    // Collecting goes on while the server is away, and the outage is said.
    ASSERT_TRUE(waitFor(
        [&] {
            const std::string out = monitor->output();
            return out.find(" stopped: ") != std::string::npos &&
                   countOf(out, "stored log record") >= storedBefore + 30;
        },
        60))
        << monitor->output();
    ASSERT_TRUE(server().startServer());
    ASSERT_TRUE(waitFor([&] { return serverCount() == 600; }, 90)) << serverCount() << "\n"
                                                                   << monitor->output();
    EXPECT_EQ(monitor->stop(), 0);

    EXPECT_EQ(serverLogNumbers("PG-BIG"), range(0, 600));
    expectRawEqualsLocal("PG-BIG");
    const std::string out = monitor->output();
    EXPECT_EQ(countOf(out, "stored log record"), 600) << out;
    EXPECT_EQ(countOf(out, "PostgreSQL export to " + shown() + " stopped: "), 1) << out;
    EXPECT_EQ(countOf(out, "PostgreSQL export to " + shown() + ": the server takes records again"),
              1)
        << out;
    // The machine's debug file has it once too.
    const std::string debug = debugFile(dir, "PG-BIG");
    EXPECT_EQ(countOf(debug, "PostgreSQL export to " + shown() + " stopped: "), 1) << debug;
    EXPECT_EQ(countOf(debug, ": the server takes records again"), 1) << debug;
}

TEST_F(ExportEndToEnd, SettingsThatCannotWorkAreSaidOnceAndCollectingGoesOn) {
    // The tables of the server, made by another program of another version.
    server().admin(db, "SET ROLE exporter; CREATE TABLE dupmon_schema (version integer NOT NULL); "
                       "INSERT INTO dupmon_schema VALUES (7)");
    struct Case {
        const char* name;
        std::string url;
        bool inParameterFile; // as the desktop program keeps it
        std::string message;
        std::unique_ptr<Child> sim, monitor;
    } cases[] = {
        {"wrong-url",
         "http://127.0.0.1/" + db,
         false,
         "PostgreSQL export is off: http://127.0.0.1/" + db +
             " is not a PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE); job-log records "
             "are kept in the local log databases only",
         {},
         {}},
        {"refused-password",
         url("wrong-password"),
         true,
         "PostgreSQL export to " + shown() +
             " stopped: the server refused the connection: connection to server at "
             "\"127.0.0.1\", port " +
             std::to_string(server().port()) +
             " failed: FATAL:  password authentication failed for user \"exporter\"; job-log "
             "records are collected locally and sent when the server takes them",
         {},
         {}},
        {"other-version",
         url(),
         false,
         "PostgreSQL export to " + shown() +
             " stopped: the server's job-log tables are of schema version 7, this program writes "
             "version 2; nothing is sent to them; job-log records are collected locally and sent "
             "when the server takes them",
         {},
         {}},
    };
    // Side by side, each on a simulator of its own.
    for (Case& c : cases) {
        const fs::path work = dir / c.name;
        fs::create_directories(work);
        if (c.inParameterFile)
            std::ofstream(work / "postgresql_export.par") << "# the site's server\n"
                                                          << c.url << "\n";
        const std::string at = (dir / (std::string(c.name) + ".sock")).string();
        c.sim = startSim({"usb10,id=PG-BAD,logs=20"}, at);
        c.monitor = startMonitor(work, c.inParameterFile ? "" : c.url, at);
    }
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(
            waitFor([&] { return countOf(c.monitor->output(), "stored log record") == 20; }, 60))
            << c.monitor->output();
    }
    // Long enough for the tries after the first to come and go unsaid.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path work = dir / c.name;
        EXPECT_EQ(c.monitor->stop(), 0);
        const std::string out = c.monitor->output();
        EXPECT_EQ(countOf(out, c.message + "\n"), 1) << out;
        EXPECT_EQ(countOf(out, "PostgreSQL export"), 1) << out;
        EXPECT_EQ(countOf(debugFile(work, "PG-BAD"), c.message), 1) << debugFile(work, "PG-BAD");
        MachineInfo info{};
        copyField(info.machineId, sizeof info.machineId, "PG-BAD");
        EXPECT_EQ(readLogDatabase(logDatabasePath(work / "DATABASE", info)).count, 20u);
    }
    EXPECT_EQ(server().value(db, "SELECT to_regclass('dupmon_job_record') IS NULL"), "t");
}
