// The export thread against a real server: what the local databases hold
// and every record offered lands once, through a full queue, a server that
// stops in the middle and comes back, a server that refuses records for a
// while, and settings that cannot work; stopping never waits on the server.
#include <arpa/inet.h>
#include <chrono>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
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

// Every notice's text, for a failure's message.
std::string allTexts(const std::vector<ExportNotice>& notices) {
    std::string all;
    for (const ExportNotice& n : notices)
        all += n.text + "\n";
    return all;
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
    // Waits for a notice of `kind` whose text holds `part`.
    const ExportNotice* waitForNotice(RecordExporter& e, ExportNotice::Kind kind,
                                      const std::string& part, int seconds = 60) {
        const ExportNotice* found = nullptr;
        waitUntil(
            [&] {
                collect(e);
                for (const ExportNotice& n : notices)
                    if (n.kind == kind && n.text.find(part) != std::string::npos)
                        found = &n;
                return found != nullptr;
            },
            seconds);
        return found;
    }
    std::string shown() const {
        return "postgresql://exporter@127.0.0.1:" + std::to_string(server().port()) + "/" + db;
    }
    TestPostgres& server() const { return testServer(); }
    std::vector<ExportNotice> notices;
};

namespace {

// Runs `undo` at the end of the scope, however the test ends: the server is
// shared by the whole run.
struct Undo {
    std::function<void()> undo;
    void now() {
        if (auto u = std::exchange(undo, nullptr))
            u();
    }
    ~Undo() { now(); }
};

} // namespace

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
    EXPECT_EQ(notices[0].text, "PostgreSQL export to " + shown() +
                                   ": connected (schema version 3); sent 70 records "
                                   "it lacked");
    EXPECT_EQ(server().value(db, "SELECT string_agg(DISTINCT sent_by, ',') FROM dupmon_job_record"),
              thisPcName());
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
    // The last rows can reach the server before the export says it is back.
    ASSERT_TRUE(waitUntil([&] {
        collect(e);
        return serverCount() == 1000 && countKind(notices, ExportNotice::Kind::Back) > 0;
    })) << serverCount()
        << "\n"
        << allTexts(notices);
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
    server().admin(db, "UPDATE dupmon_schema SET version = 4");
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
             " stopped: the server's job-log tables are of schema version 4, this program writes "
             "version 3; nothing is sent to them; job-log records are collected locally and sent "
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

TEST_F(Exporter, ARecordTheServerRefusesStaysOwedAndGoesOnceTheCauseIsGone) {
    const struct {
        const char* name;
        std::vector<std::string> impose,
            lift; // as the server's administrator, in the test's database
        // The records of 0 .. 400 the server refuses meanwhile.
        bool (*refused)(uint32_t logNo);
        std::string waiting; // what the outage says waits, and why
    } cases[] = {
        {"a rule of the site's own",
         {"ALTER TABLE dupmon_job_record ADD CONSTRAINT site_ports CHECK (port < 9) NOT VALID"},
         {"ALTER TABLE dupmon_job_record DROP CONSTRAINT site_ports"},
         [](uint32_t n) { return 1 + n % 16 >= 9; },
         " records wait for the server: the server refused them (new row for relation "
         "\"dupmon_job_record\" violates check constraint \"site_ports\""},
        {"a read-only server",
         {"ALTER SYSTEM SET default_transaction_read_only = on", "SELECT pg_reload_conf()"},
         {"ALTER SYSTEM RESET default_transaction_read_only", "SELECT pg_reload_conf()"},
         [](uint32_t) { return true; },
         " records wait for the server: the server is read-only (cannot execute "},
        {"no permission to write",
         {"REVOKE INSERT ON dupmon_job_record FROM exporter"},
         {"GRANT INSERT ON dupmon_job_record TO exporter"},
         [](uint32_t) { return true; },
         " records wait for the server: no permission to write the tables (permission denied "
         "for table dupmon_job_record)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server().admin(db, "TRUNCATE dupmon_job_record");
        std::filesystem::remove_all(dir / "DATABASE");
        std::filesystem::create_directories(dir / "DATABASE");
        notices.clear();
        appendRecords("M1", 0, 100);
        auto e = std::make_unique<RecordExporter>(options(url()));
        e->start();
        ASSERT_TRUE(waitUntil([&] { return serverCount() == 100; })) << serverCount();

        for (const std::string& sql : c.impose)
            server().admin(db, sql);
        Undo lift{[&] {
            for (const std::string& sql : c.lift)
                server().admin(db, sql);
        }};
        // A reloaded setting reaches the sessions once the server has read it.
        ASSERT_TRUE(waitUntil([&] {
            return std::string(c.name) != "a read-only server" ||
                   server().value(db, "SHOW default_transaction_read_only") == "on";
        }));
        // Records stored while the export did not look, then one it is offered.
        appendRecords("M1", 100, 200);
        store(*e, "M1", 300);
        uint32_t owed = 0;
        for (uint32_t n = 100; n <= 300; ++n)
            owed += c.refused(n);
        const ExportNotice* said =
            waitForNotice(*e, ExportNotice::Kind::Outage, std::to_string(owed) + c.waiting);
        ASSERT_NE(said, nullptr) << allTexts(notices);
        EXPECT_TRUE(said->operatorMustAct);
        EXPECT_EQ(said->text.rfind("PostgreSQL export to " + shown() + ": " + std::to_string(owed) +
                                       c.waiting,
                                   0),
                  0u)
            << said->text;
        // Said once, however often it is tried again.
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        collect(*e);
        EXPECT_EQ(countKind(notices, ExportNotice::Kind::Outage), 1);

        // The program restarts during the outage and stores more.
        e.reset();
        notices.clear();
        e = std::make_unique<RecordExporter>(options(url()));
        e->start();
        for (uint32_t n = 301; n < 400; ++n)
            store(*e, "M1", n);
        ASSERT_NE(waitForNotice(*e, ExportNotice::Kind::Outage, " for the server: "), nullptr)
            << allTexts(notices);

        lift.now();
        ASSERT_TRUE(waitUntil([&] { return serverCount() == 400; })) << serverCount();
        ASSERT_NE(waitForNotice(*e, ExportNotice::Kind::Back, ": the server takes records again"),
                  nullptr)
            << allTexts(notices);
        e->stop();
        EXPECT_EQ(serverLogNumbers("M1"), range(0, 400));
        expectRawEqualsLocal("M1");
    }
}

TEST_F(Exporter, AWrongPasswordIsNamedWhateverTheOutageBeganWith) {
    RecordExporter e(options(url()));
    e.start();
    ASSERT_TRUE(waitUntil([&] { return e.counters().connections == 1; }));
    // The password changes on the server while it is away: the outage
    // begins as a server out of reach, and goes on as a refused password.
    server().admin(db, "ALTER ROLE exporter PASSWORD 'changed-meanwhile'");
    Undo restore{[&] {
        server().admin(db, std::string("ALTER ROLE exporter PASSWORD '") + TestPostgres::kPassword +
                               "'");
    }};
    server().stopServer(true);
    store(e, "M1", 0);
    const ExportNotice* away =
        waitForNotice(e, ExportNotice::Kind::Outage, " stopped: the server cannot be reached: ");
    ASSERT_NE(away, nullptr) << allTexts(notices);
    EXPECT_FALSE(away->operatorMustAct);
    ASSERT_TRUE(server().startServer());
    const ExportNotice* refused = waitForNotice(
        e, ExportNotice::Kind::Outage,
        " stopped: the server refused the connection: connection to server at \"127.0.0.1\", "
        "port " +
            std::to_string(server().port()) +
            " failed: FATAL:  password authentication failed for user \"exporter\"");
    ASSERT_NE(refused, nullptr) << allTexts(notices);
    EXPECT_TRUE(refused->operatorMustAct);

    restore.now();
    ASSERT_NE(waitForNotice(e, ExportNotice::Kind::Back, ": the server takes records again"),
              nullptr)
        << allTexts(notices);
    e.stop();
    EXPECT_EQ(serverLogNumbers("M1"), range(0, 1));
    EXPECT_EQ(countKind(notices, ExportNotice::Kind::Outage), 2);
}

TEST_F(Exporter, StopNeverWaitsOnTheServerAndWhatWasNotSentGoesAtTheNextStart) {
    // A listener that takes connections and never answers.
    const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(silent, 8), 0);
    ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const std::string silentUrl =
        "postgresql://exporter@127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/" + db;

    const struct {
        const char* name;
        std::string url;
        bool holdWrites; // the server holds every write back
    } cases[] = {
        {"a server that holds writes back", url(), true},
        {"a server that never answers", silentUrl, false},
    };
    uint32_t next = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExporterOptions o = options(c.url);
        o.connectTimeoutMs = 60000;
        RecordExporter e(o);
        e.start();
        PGconn* blocker = nullptr;
        if (c.holdWrites) {
            ASSERT_TRUE(waitUntil([&] { return e.counters().connections == 1; }));
            blocker = PQconnectdb(server().adminConninfo(db).c_str());
            PQclear(PQexec(blocker, "BEGIN; LOCK TABLE dupmon_job_record IN SHARE MODE"));
        } else {
            ASSERT_TRUE(waitUntil([&] { return e.counters().attempts == 1; }));
        }
        for (uint32_t k = 0; k < 50; ++k)
            store(e, "M1", next++);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // The server lets go only after 30 s, or once stop() is back.
        std::promise<void> stopped;
        auto letGo = std::async(std::launch::async, [&, f = stopped.get_future()] {
            const bool inTime = f.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
            if (blocker) {
                PQclear(PQexec(blocker, "COMMIT"));
                PQfinish(blocker);
            }
            return inTime;
        });
        e.stop();
        stopped.set_value();
        EXPECT_TRUE(letGo.get()) << "stop() waited for the server";
        EXPECT_LT(serverCount(), long(next));
    }
    ::close(silent);

    // What was not sent is in the local database: the next start sends it.
    RecordExporter again(options(url()));
    again.start();
    EXPECT_TRUE(waitUntil([&] { return serverCount() == long(next); })) << serverCount();
    again.stop();
    EXPECT_EQ(serverLogNumbers("M1"), range(0, next));
}

TEST_F(Exporter, TheServersNameIsLookedUpWhereStoppingNeverWaitsForIt) {
    const std::string named = "postgresql://exporter:" + std::string(TestPostgres::kPassword) +
                              "@pg-server.test:" + std::to_string(server().port()) + "/" + db;
    // A name the name service knows: each address is tried in turn (nobody
    // listens on the first).
    {
        auto asked = std::make_shared<std::vector<std::string>>();
        ExporterOptions o = options(named);
        o.resolver = [asked](const std::string& host, std::vector<std::string>& addresses) {
            asked->push_back(host);
            addresses = {"::1", "127.0.0.1"};
            return true;
        };
        appendRecords("M1", 0, 10);
        RecordExporter e(o);
        e.start();
        ASSERT_TRUE(waitUntil([&] { return serverCount() == 10; })) << serverCount();
        e.stop();
        EXPECT_EQ(*asked, std::vector<std::string>{"pg-server.test"});
    }
    // A name service that does not answer for a long while.
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto asked = std::make_shared<std::atomic<bool>>(false);
    ExporterOptions o = options(named);
    o.connectTimeoutMs = 60000;
    o.resolver = [answered, asked](const std::string&, std::vector<std::string>&) {
        *asked = true;
        std::this_thread::sleep_for(std::chrono::seconds(20));
        *answered = true;
        return false;
    };
    RecordExporter e(o);
    e.start();
    ASSERT_TRUE(waitUntil([&] { return asked->load(); }));
    e.stop();
    EXPECT_FALSE(answered->load()) << "stop() waited for the name service";
}
