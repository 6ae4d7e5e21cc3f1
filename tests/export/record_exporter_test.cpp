// The export thread against a real server: what the local databases hold
// and every record offered lands once, through a full queue, a server that
// stops in the middle and comes back, and settings that cannot work.
#include <chrono>
#include <thread>

#include "export/record_exporter.h"
#include "export/server_fixture.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

template <class F> bool waitUntil(F done, int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

int countKind(const std::vector<ExportNotice>& notices, ExportNotice::Kind kind) {
    return int(std::count_if(notices.begin(), notices.end(),
                             [kind](const ExportNotice& n) { return n.kind == kind; }));
}

} // namespace

class Exporter : public ServerTest {
protected:
    ExporterOptions options(const std::string& serverUrl) {
        ExporterOptions o;
        o.url = serverUrl;
        o.databaseDir = dir / "DATABASE";
        o.firstRetryMs = 50;
        o.longestRetryMs = 400;
        o.connectTimeoutMs = 5000;
        return o;
    }
    // As the monitor does: the record into the local database, then to the export.
    void store(RecordExporter& e, const std::string& id, uint32_t logNo) {
        appendRecords(id, logNo, 1);
        e.offer(id, jobRecord(logNo, logNo).data());
    }
    void collect(RecordExporter& e) {
        for (ExportNotice& n : e.takeNotices())
            notices.push_back(std::move(n));
    }
    std::vector<ExportNotice> notices;
};

TEST_F(Exporter, SendsWhatTheServerLacksThenEveryRecordOfferedOnce) {
    appendRecords("M1", 0, 50);
    appendRecords("M2", 100, 20);
    RecordExporter e(options(url()));
    e.start();
    ASSERT_TRUE(waitUntil([&] { return serverCount() == 70; })) << serverCount();
    for (uint32_t n = 50; n < 80; ++n)
        store(e, "M1", n);
    ASSERT_TRUE(waitUntil([&] { return serverCount() == 100; })) << serverCount();
    e.stop();
    collect(e);

    EXPECT_EQ(serverLogNumbers("M1"), range(0, 80));
    EXPECT_EQ(serverLogNumbers("M2"), range(100, 20));
    expectRawEqualsLocal("M1");
    expectRawEqualsLocal("M2");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, ExportNotice::Kind::Connected);
    EXPECT_EQ(notices[0].text, "PostgreSQL export to postgresql://exporter@127.0.0.1:" +
                                   std::to_string(server().port()) + "/" + db +
                                   ": connected (schema version 1); sent 70 records it lacked");
    const auto c = e.counters();
    EXPECT_EQ(c.offered, 30u);
    EXPECT_EQ(c.dropped, 0u);
    EXPECT_EQ(c.inserted, 100u);
}

TEST_F(Exporter, AFullQueueNeverWaitsAndTheDatabaseSendsWhatItLeftOut) {
    ExporterOptions o = options(url());
    o.queueCapacity = 8;
    o.batchRecords = 100;
    RecordExporter e(o);
    e.start();
    ASSERT_TRUE(waitUntil([&] { return e.counters().connections == 1; }));
    // The server holds every write back (reads go on) while the machines
    // store 2000 records.
    PGconn* blocker = PQconnectdb(server().adminConninfo(db).c_str());
    ASSERT_EQ(PQstatus(blocker), CONNECTION_OK);
    PQclear(PQexec(blocker, "BEGIN; LOCK TABLE dupmon_job_record IN SHARE MODE"));
    for (uint32_t n = 0; n < 1000; ++n) {
        store(e, "M1", n);
        store(e, "M2", n);
    }
    // Every offer came back while the server took nothing.
    EXPECT_EQ(serverCount(), 0) << "nothing could be written yet";
    const auto held = e.counters();
    EXPECT_EQ(held.offered, 2000u);
    EXPECT_GE(held.dropped, 2000u - 8u - 100u);
    PQclear(PQexec(blocker, "COMMIT"));
    PQfinish(blocker);

    ASSERT_TRUE(waitUntil([&] { return serverCount() == 2000; })) << serverCount();
    e.stop();
    EXPECT_EQ(serverLogNumbers("M1"), range(0, 1000));
    EXPECT_EQ(serverLogNumbers("M2"), range(0, 1000));
    expectRawEqualsLocal("M1");
    EXPECT_EQ(e.counters().inserted, 2000u);
}

TEST_F(Exporter, AServerStoppedMidSyncAndStartedAgainLosesNothingAndDoublesNothing) {
    RecordExporter e(options(url()));
    e.start();
    ASSERT_TRUE(waitUntil([&] { return e.counters().connections == 1; }));
    uint32_t next = 0;
    auto storeSome = [&](uint32_t n) {
        for (uint32_t k = 0; k < n; ++k, ++next)
            store(e, next % 2 ? "M1" : "M2", next);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    for (int i = 0; i < 8; ++i)
        storeSome(50);
    ASSERT_TRUE(waitUntil([&] { return serverCount() > 0; }));
    server().stopServer(true);
    // Collecting goes on while the server is away.
    for (int i = 0; i < 8; ++i)
        storeSome(50);
    ASSERT_TRUE(waitUntil([&] {
        collect(e);
        return countKind(notices, ExportNotice::Kind::Outage) == 1;
    }));
    ASSERT_TRUE(server().startServer());
    for (int i = 0; i < 4; ++i)
        storeSome(50);
    ASSERT_TRUE(waitUntil([&] { return serverCount() == 1000; })) << serverCount();
    e.stop();
    collect(e);

    std::vector<uint32_t> odd, even;
    for (uint32_t n = 0; n < 1000; ++n)
        (n % 2 ? odd : even).push_back(n);
    EXPECT_EQ(serverLogNumbers("M1"), odd);
    EXPECT_EQ(serverLogNumbers("M2"), even);
    expectRawEqualsLocal("M1");
    expectRawEqualsLocal("M2");
    // Rows new on the server add up to the records: none was written twice.
    EXPECT_EQ(e.counters().inserted, 1000u);
    EXPECT_EQ(countKind(notices, ExportNotice::Kind::Outage), 1);
    EXPECT_EQ(countKind(notices, ExportNotice::Kind::Back), 1);
    for (const ExportNotice& n : notices) {
        if (n.kind == ExportNotice::Kind::Outage) {
            EXPECT_FALSE(n.operatorMustAct) << n.text;
        }
    }
}

TEST_F(Exporter, SettingsThatCannotWorkSaySoOnceAndSendNothing) {
    // The same server with the version of its tables changed.
    {
        RecordExporter first(options(url()));
        first.start();
        ASSERT_TRUE(waitUntil([&] { return first.counters().connections == 1; }));
    }
    server().admin(db, "UPDATE dupmon_schema SET version = 3");
    const std::string shown =
        "postgresql://exporter@127.0.0.1:" + std::to_string(server().port()) + "/" + db;
    const struct {
        const char* name;
        std::string url;
        ExportNotice::Kind kind;
        bool mustAct;
        std::string text;
    } cases[] = {
        {"a URL that is none", "http://127.0.0.1/" + db, ExportNotice::Kind::Off, true,
         "PostgreSQL export is off: http://127.0.0.1/" + db +
             " is not a PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE); job-log records "
             "are kept in the local log databases only"},
        {"a refused password", url("wrong-password"), ExportNotice::Kind::Outage, true,
         "PostgreSQL export to " + shown +
             " stopped: the server refused the connection: connection to server at "
             "\"127.0.0.1\", port " +
             std::to_string(server().port()) +
             " failed: FATAL:  password authentication failed for user \"exporter\"; job-log "
             "records are collected locally and sent when the server takes them"},
        {"another schema version", url(), ExportNotice::Kind::Outage, true,
         "PostgreSQL export to " + shown +
             " stopped: the server's job-log tables are of schema version 3, this program writes "
             "version 1; nothing is sent to them; job-log records are collected locally and sent "
             "when the server takes them"},
        {"a port nobody listens on", "postgresql://exporter@127.0.0.1:1/" + db,
         ExportNotice::Kind::Outage, false,
         "PostgreSQL export to postgresql://exporter@127.0.0.1:1/" + db +
             " stopped: the server cannot be reached: connection to server at \"127.0.0.1\", "
             "port 1 failed: Connection refused Is the server running on that host and "
             "accepting TCP/IP connections?; job-log records are collected locally and sent when "
             "the server takes them"},
    };
    appendRecords("M1", 0, 10);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        notices.clear();
        RecordExporter e(options(c.url));
        e.start();
        store(e, "M1", 10);
        // Said once, however often it is tried again.
        ASSERT_TRUE(waitUntil([&] {
            collect(e);
            return !notices.empty();
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        e.stop();
        collect(e);
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].kind, c.kind);
        EXPECT_EQ(notices[0].operatorMustAct, c.mustAct);
        EXPECT_EQ(notices[0].text, c.text);
        EXPECT_EQ(serverCount(), 0);
    }
}
