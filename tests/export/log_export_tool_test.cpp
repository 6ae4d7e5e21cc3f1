// dupmon-logtool export: existing log databases to the server, with a
// progress line; the same database twice adds nothing the second time.
#include <sstream>

#include "export/log_export_tool.h"
#include "export/server_fixture.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun logExport(std::vector<std::string> args, bool inPlace = false) {
    args.insert(args.begin(), "export");
    std::ostringstream out, err;
    const int status = runLogExport(args, out, err, inPlace);
    return {status, out.str(), err.str()};
}

} // namespace

class LogExport : public ServerTest {};

TEST_F(LogExport, TheSameDatabaseTwiceAddsNothingTheSecondTime) {
    const std::string su = appendRecords("SU10-000001", 0, 25000).string();
    const std::string cf = appendRecords("CF/8 #2", 500, 30).string();

    const ToolRun first = logExport({su, "--to", url()});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out,
              su + ": 25000 records of machine SU10-000001: 25000 new on the server, 0 there "
                   "already\n");
    const std::string shown =
        "postgresql://exporter@127.0.0.1:" + std::to_string(server().port()) + "/" + db;
    EXPECT_EQ(first.err, "dupmon-logtool: " + shown +
                             ": made the job-log tables (schema version 3)\n"
                             "export " +
                             su +
                             ": 0 of 25000 records (0%)\n"
                             "export " +
                             su +
                             ": 20000 of 25000 records (80%)\n"
                             "export " +
                             su + ": 25000 of 25000 records (100%)\n");

    const ToolRun again = logExport({su, cf, "--to", url()}, true);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, su +
                             ": 25000 records of machine SU10-000001: 0 new on the server, "
                             "25000 there already\n" +
                             cf +
                             ": 30 records of machine CF/8 #2: 30 new on the server, 0 there "
                             "already\n");
    // On a terminal the progress line is rewritten in place.
    EXPECT_EQ(again.err, "\rexport " + su + ": 0 of 25000 records (0%)\rexport " + su +
                             ": 20000 of 25000 records (80%)\rexport " + su +
                             ": 25000 of 25000 records (100%)\n\rexport " + cf +
                             ": 0 of 30 records (0%)\rexport " + cf +
                             ": 30 of 30 records (100%)\n");

    EXPECT_EQ(serverCount(), 25030);
    EXPECT_EQ(serverLogNumbers("SU10-000001"), range(0, 25000));
    EXPECT_EQ(serverLogNumbers("CF/8 #2"), range(500, 30));
    expectRawEqualsLocal("CF/8 #2");
}

TEST_F(LogExport, WrongInputIsNamedAndTheRestIsStillSent) {
    const std::string good = appendRecords("M1", 0, 10).string();
    const std::string renamed = (dir / "copy-of-a-log.bin").string();
    std::filesystem::copy_file(good, renamed);
    const std::string missing = (dir / "DATABASE" / "NONE.QX42.LOGDATA").string();
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string err; // a line of the error output
    } cases[] = {
        {"no server", {good}, 2, "dupmon-logtool: 'export' needs --to and the server's URL\n"},
        {"no database", {"--to", url()}, 2, "dupmon-logtool: 'export' needs a log database\n"},
        {"a URL that is none",
         {good, "--to", "http://127.0.0.1/x"},
         2,
         "dupmon-logtool: --to http://127.0.0.1/x: not a PostgreSQL URL "
         "(postgresql://USER@HOST:PORT/DATABASE)\n"},
        {"a refused password",
         {good, "--to", url("wrong-password")},
         1,
         "failed: FATAL:  password authentication failed for user \"exporter\"\n"},
        {"a file named otherwise",
         {renamed, "--to", url()},
         1,
         "dupmon-logtool: " + renamed +
             ": the machine id is not in the file name (ID.QX42.LOGDATA): give it with "
             "--machine-id\n"},
        {"a missing database among good ones",
         {missing, good, "--to", url()},
         1,
         "dupmon-logtool: " + missing + ": "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolRun r = logExport(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    // The good database of the last case went through; the renamed one
    // goes under the id it is given.
    EXPECT_EQ(serverLogNumbers("M1"), range(0, 10));
    const ToolRun named = logExport({renamed, "--machine-id", "M9", "--to", url()});
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(serverLogNumbers("M9"), range(0, 10));

    server().admin(db, "UPDATE dupmon_schema SET version = 4");
    const ToolRun other = logExport({good, "--to", url()});
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find(": the server's job-log tables are of schema version 4, this "
                             "program writes version 3; nothing is sent to them\n"),
              std::string::npos)
        << other.err;
}

TEST_F(LogExport, AHoleAndAKeyHeldWithOtherBytesAreFoundWhenSentAgain) {
    const std::string m1 = appendRecords("M1", 0, 3000).string();
    ASSERT_EQ(logExport({m1, "--to", url()}).status, 0);
    // The server lost a run of records, and holds other bytes under one number.
    server().admin(db, "DELETE FROM dupmon_job_record WHERE log_no BETWEEN 1000 AND 1099");
    server().admin(db, "UPDATE dupmon_job_record SET raw = overlay(raw PLACING '\\xff'::bytea "
                       "FROM 100) WHERE log_no = 2500");
    const ToolRun again = logExport({m1, "--to", url()});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, m1 + ": 3000 records of machine M1: 100 new on the server, 2899 there "
                              "already, 1 under log numbers the server holds with other bytes "
                              "(kept in dupmon_record_conflict)\n");
    EXPECT_EQ(serverLogNumbers("M1"), range(0, 3000));
    EXPECT_EQ(server().value(db, "SELECT log_no FROM dupmon_record_conflict"), "2500");
}
