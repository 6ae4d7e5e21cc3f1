// The monitor's side of the export: the export thread's notices reach the
// board and, for what the operator must act on, one alert per outage, on the
// thread that runs the posted calls (here the test's).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "export/monitor_export.h"

using namespace dupmon;

namespace {

struct Program {
    std::mutex mutex;
    std::vector<std::function<void()>> posted;
    std::vector<std::string> board, alerts;

    MonitorExport::Outputs outputs() {
        return {[this](const std::string& line) { board.push_back(line); },
                [this](const std::string& text) { alerts.push_back(text); },
                [this](std::function<void()> call) {
                    std::lock_guard lock(mutex);
                    posted.push_back(std::move(call));
                }};
    }
    // Runs what the export thread posted, as the program's event loop would.
    void runPosted() {
        std::vector<std::function<void()>> calls;
        {
            std::lock_guard lock(mutex);
            calls.swap(posted);
        }
        for (auto& call : calls)
            call();
    }
};

ExporterOptions options(const std::string& url) {
    ExporterOptions o;
    o.url = url;
    o.databaseDir = "/nonexistent";
    o.firstRetryMs = 20;
    o.longestRetryMs = 40;
    o.connectTimeoutMs = 2000;
    return o;
}

} // namespace

TEST(MonitorExport, ASettingThatCannotBeUsedIsOnTheBoardAndAlertedOnce) {
    const struct {
        const char* name;
        ExporterOptions options;
        std::string text;
    } cases[] = {
        {"a URL that is none", options("mysql://db/site"),
         "PostgreSQL export is off: mysql://db/site is not a PostgreSQL URL "
         "(postgresql://USER@HOST:PORT/DATABASE); job-log records are kept in the local log "
         "databases only"},
        {"a parameter file that cannot be read",
         [] {
             ExporterOptions o = options("");
             o.settingProblem = "/work/postgresql_export.par is a folder, not a file";
             return o;
         }(),
         "PostgreSQL export is off: /work/postgresql_export.par is a folder, not a file; job-log "
         "records are kept in the local log databases only"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Program program;
        MonitorExport e(c.options, program.outputs());
        e.start();
        program.runPosted();
        e.stop();
        program.runPosted();
        EXPECT_EQ(program.board, std::vector<std::string>{c.text});
        EXPECT_EQ(program.alerts, std::vector<std::string>{c.text});
    }
}

TEST(MonitorExport, AServerThatCannotBeReachedIsSaidOnceAndNeedsNoAlert) {
    Program program;
    // Port 1 of this machine: nobody listens, the connection is refused at once.
    MonitorExport e(options("postgresql://exporter@127.0.0.1:1/site"), program.outputs());
    e.start();
    // Many tries, 20 to 40 ms apart.
    for (int i = 0; i < 25; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        program.runPosted();
    }
    e.stop();
    program.runPosted();
    ASSERT_EQ(program.board.size(), 1u);
    EXPECT_EQ(program.board[0].rfind("PostgreSQL export to postgresql://exporter@127.0.0.1:1/site "
                                     "stopped: the server cannot be reached: ",
                                     0),
              0u)
        << program.board[0];
    EXPECT_TRUE(program.alerts.empty());
    EXPECT_EQ(e.exporter().counters().connections, 0u);
    EXPECT_GE(e.exporter().counters().attempts, 3u) << "tried again, unsaid";
}
