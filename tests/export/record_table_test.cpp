// The server's tables: made when missing, brought up to date when older,
// refused when of a later version; rows that come back as they were sent, a
// key held with other bytes kept beside, and refusals that say whose fault.
#include "export/export_row.h"
#include "export/record_table.h"
#include "export/schema.h"
#include "export/server_fixture.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

void connectTo(PgSession& s, const std::string& url) {
    ASSERT_EQ(s.connect(checkServerUrl(url), 10000), PgSession::Failure::None) << s.problem();
}

} // namespace

class RecordTable : public ServerTest {};

namespace {

// What a server's tables look like: columns with their types, indexes,
// constraints and the version.
std::string layoutOf(TestPostgres& server, const std::string& db) {
    std::string layout;
    for (const auto& row :
         server.admin(db, "SELECT table_name || '.' || column_name || ' ' || data_type || ' ' || "
                          "is_nullable || ' ' || coalesce(column_default, '') FROM "
                          "information_schema.columns WHERE table_name LIKE 'dupmon%' ORDER BY "
                          "table_name, ordinal_position"))
        layout += row[0] + "\n";
    for (const auto& row :
         server.admin(db, "SELECT indexdef FROM pg_indexes WHERE tablename LIKE 'dupmon%' "
                          "ORDER BY indexname"))
        layout += row[0] + "\n";
    for (const auto& row :
         server.admin(db, "SELECT conrelid::regclass || ' ' || pg_get_constraintdef(oid) FROM "
                          "pg_constraint WHERE conrelid::regclass::text LIKE 'dupmon%' ORDER BY 1"))
        layout += row[0] + "\n";
    return layout + "version " + server.value(db, "SELECT version FROM dupmon_schema");
}

} // namespace

TEST_F(RecordTable, IsMadeOnAnEmptyServerAndFoundThere) {
    PgSession first;
    connectTo(first, url());
    const SchemaCheck made = prepareExportSession(first);
    EXPECT_TRUE(made.ready) << made.problem;
    EXPECT_TRUE(made.created);
    EXPECT_EQ(server().value(db, "SELECT version FROM dupmon_schema"), "3");

    PgSession second;
    connectTo(second, url());
    const SchemaCheck found = prepareExportSession(second);
    EXPECT_TRUE(found.ready) << found.problem;
    EXPECT_FALSE(found.created);
    EXPECT_EQ(found.upgradedFrom, 0);
    EXPECT_EQ(server().value(db, "SELECT count(*) FROM dupmon_schema"), "1");

    // The columns the README documents; a conflict keeps the same ones.
    for (const char* table : {"dupmon_job_record", "dupmon_record_conflict"}) {
        std::string columns;
        for (const auto& row : server().admin(
                 db, std::string("SELECT column_name FROM information_schema.columns WHERE "
                                 "table_name = '") +
                         table + "' ORDER BY ordinal_position"))
            columns += (columns.empty() ? "" : ", ") + row[0];
        EXPECT_EQ(columns,
                  "machine_id, log_no, recorded_at, port, function_no, function_name, "
                  "function_text, result_code, result, outcome, capacity_sectors, data_sectors, "
                  "sector_size, capacity_bytes, read_bytes_per_second, write_bytes_per_second, "
                  "run_time_seconds, target, raw, exported_at, sent_by")
            << table;
    }
    EXPECT_EQ(server().value(db, "SELECT string_agg(indexdef, '; ' ORDER BY indexname) FROM "
                                 "pg_indexes WHERE tablename = 'dupmon_job_record'"),
              "CREATE INDEX dupmon_job_record_machine_recorded_at ON public.dupmon_job_record "
              "USING btree (machine_id, recorded_at) INCLUDE (port, outcome, function_no); "
              "CREATE UNIQUE INDEX dupmon_job_record_pkey ON public.dupmon_job_record USING btree "
              "(machine_id, log_no); "
              "CREATE INDEX dupmon_job_record_recorded_at ON public.dupmon_job_record USING btree "
              "(recorded_at)");
}

TEST_F(RecordTable, AnOlderServerTakesTheStepsItLacksAndKeepsItsRows) {
    // A server as the first version of the program left it, with rows.
    ASSERT_EQ(exportSchemaSteps().front().version, 1);
    server().admin(db, std::string("SET ROLE exporter; ") + exportSchemaSteps().front().sql +
                           "INSERT INTO dupmon_schema (version) VALUES (1)");
    {
        PgSession old;
        connectTo(old, url());
        std::string rows;
        for (uint32_t k = 0; k < 30; ++k) {
            std::string line;
            appendCopyRow(line, "M1", jobRecord(k, k).data());
            rows += line.substr(0, line.rfind('\t')) + "\n"; // without sent_by
        }
        const std::string columns(kRecordColumns.substr(0, kRecordColumns.rfind(", ")));
        ASSERT_TRUE(
            old.copyIn(("COPY dupmon_job_record (" + columns + ") FROM STDIN").c_str(), rows))
            << old.problem();
    }
    PgSession s;
    connectTo(s, url());
    const SchemaCheck check = prepareExportSession(s);
    ASSERT_TRUE(check.ready) << check.problem;
    EXPECT_FALSE(check.created);
    EXPECT_EQ(check.upgradedFrom, 1);
    EXPECT_EQ(serverLogNumbers("M1"), range(0, 30));
    EXPECT_EQ(server().value(db, "SELECT count(*) FROM dupmon_job_record WHERE sent_by IS NULL"),
              "30");

    // The same tables as a server made new.
    const std::string upgraded = db;
    db = upgraded + "fresh";
    server().createDatabase(db);
    PgSession fresh;
    connectTo(fresh, url());
    ASSERT_TRUE(prepareExportSession(fresh).ready);
    EXPECT_EQ(layoutOf(server(), upgraded), layoutOf(server(), db));
    EXPECT_NE(layoutOf(server(), db).find("version 3"), std::string::npos);
}

TEST_F(RecordTable, OfALaterVersionIsLeftAloneWithAClearMessage) {
    {
        PgSession s;
        connectTo(s, url());
        ASSERT_TRUE(prepareExportSession(s).ready);
    }
    server().admin(db, "UPDATE dupmon_schema SET version = 4");
    PgSession s;
    connectTo(s, url());
    const SchemaCheck check = prepareExportSession(s);
    EXPECT_FALSE(check.ready);
    EXPECT_TRUE(check.otherVersion);
    EXPECT_EQ(check.serverVersion, 4);
    EXPECT_EQ(check.problem, "the server's job-log tables are of schema version 4, this program "
                             "writes version 3; nothing is sent to them");
    EXPECT_EQ(server().value(db, "SELECT version FROM dupmon_schema"), "4");
}

TEST_F(RecordTable, RowsComeBackWithTheirFieldsAndRawBytes) {
    PgSession s;
    connectTo(s, url());
    ASSERT_TRUE(prepareExportSession(s).ready);
    const RecordBytes usb = usbCopyRecord();
    // A CRC64 job on no real date, from a machine whose id holds characters
    // that COPY escapes, and a CF identification that is not UTF-8.
    const RecordBytes odd = RecordBytes()
                                .job(4294967295u, 2030, 13, 1, 0, 0, 0, 2)
                                .u8(13, 3)
                                .u8(14, 29)
                                .be32(44, 0xCAFE)
                                .be32(48, 0xBEEF)
                                .bytes(88, "CF \xFF\xFE card");
    std::string rows;
    appendCopyRow(rows, "SU10-000001", usb.data(), "line-pc-3");
    appendCopyRow(rows, "odd\tid\\with 'quotes'\nand lines", odd.data());
    const SendResult sent = sendRecordRows(s, rows);
    ASSERT_TRUE(sent.complete()) << s.problem();
    EXPECT_EQ(sent.inserted, 2u);
    EXPECT_EQ(sent.refused, 0u);

    const auto got = server().admin(
        db, "SELECT machine_id, log_no, recorded_at, port, function_no, function_name, "
            "function_text, result_code, result, outcome, capacity_sectors, data_sectors, "
            "sector_size, capacity_bytes, read_bytes_per_second, write_bytes_per_second, "
            "run_time_seconds, target, encode(raw, 'hex'), sent_by FROM dupmon_job_record ORDER BY "
            "log_no");
    ASSERT_EQ(got.size(), 2u);
    auto hex = [](const RecordBytes& r) { return hexOf(r.data()); };
    EXPECT_EQ(got[0], (std::vector<std::string>{"SU10-000001",
                                                "41",
                                                "2024-03-05 14:07:09",
                                                "3",
                                                "1",
                                                "COPY",
                                                "COPY(DATA,100.0MB)",
                                                "0",
                                                "PASS",
                                                "pass",
                                                "7864320",
                                                "204800",
                                                "512",
                                                "4026531840",
                                                "20971520",
                                                "10485760",
                                                "65",
                                                "0781h 5567h [4C530001]",
                                                hex(usb),
                                                "line-pc-3"}));
    EXPECT_EQ(got[1], (std::vector<std::string>{"odd\tid\\with 'quotes'\nand lines",
                                                "4294967295",
                                                "",
                                                "2",
                                                "29",
                                                "CRC64",
                                                "CRC64(DATA,0KB)=[0000BEEF0000CAFE]",
                                                "0",
                                                "PASS",
                                                "pass",
                                                "0",
                                                "0",
                                                "512",
                                                "0",
                                                "",
                                                "",
                                                "0",
                                                "[CF \xEF\xBF\xBD\xEF\xBF\xBD card]",
                                                hex(odd),
                                                ""}));
    EXPECT_EQ(server().value(db, "SELECT count(*) FROM dupmon_job_record WHERE recorded_at IS "
                                 "NULL AND read_bytes_per_second IS NULL"),
              "1");
}

TEST_F(RecordTable, ARecordSentTwiceCountsOnce) {
    PgSession s;
    connectTo(s, url());
    ASSERT_TRUE(prepareExportSession(s).ready);
    std::string first, overlapping;
    for (uint32_t k = 0; k < 300; ++k)
        appendCopyRow(first, "M1", jobRecord(k, k).data());
    for (uint32_t k = 200; k < 400; ++k)
        appendCopyRow(overlapping, "M1", jobRecord(k, k).data());
    // The same numbers of another machine are other records.
    for (uint32_t k = 0; k < 50; ++k)
        appendCopyRow(overlapping, "M2", jobRecord(k, k).data());

    const SendResult a = sendRecordRows(s, first);
    const SendResult b = sendRecordRows(s, first);
    const SendResult c = sendRecordRows(s, overlapping);
    ASSERT_TRUE(a.complete() && b.complete() && c.complete()) << s.problem();
    EXPECT_EQ(a.inserted, 300u);
    EXPECT_EQ(b.inserted, 0u);
    EXPECT_EQ(c.inserted, 150u);
    EXPECT_EQ(a.newConflicts() + b.newConflicts() + c.newConflicts(), 0u);
    EXPECT_EQ(serverLogNumbers("M1"), range(0, 400));
    EXPECT_EQ(serverLogNumbers("M2"), range(0, 50));
}

TEST_F(RecordTable, ARangeOfOneMachineGoesOnceWhetherTheServerHoldsPartOfItOrNot) {
    PgSession s;
    connectTo(s, url());
    ASSERT_TRUE(prepareExportSession(s).ready);
    auto rowsOf = [](uint32_t first, uint32_t count, LogNumberRange& numbers) {
        std::string rows;
        std::vector<uint8_t> records;
        for (uint32_t k = first; k < first + count; ++k) {
            const RecordBytes r = jobRecord(k, k);
            records.insert(records.end(), r.b.begin(), r.b.end());
        }
        numbers = appendMachineRows(rows, "M1", records.data(), count);
        return rows;
    };
    LogNumberRange numbers;
    // A range the server lacks, then one that overlaps it, then the same again.
    const std::string first = rowsOf(1000, 500, numbers);
    EXPECT_EQ(numbers.lowest, 1000u);
    EXPECT_EQ(numbers.highest, 1499u);
    const SendResult a = sendMachineRows(s, first, "M1", numbers.lowest, numbers.highest);
    const std::string overlapping = rowsOf(1400, 300, numbers);
    const SendResult b = sendMachineRows(s, overlapping, "M1", numbers.lowest, numbers.highest);
    const SendResult c = sendMachineRows(s, overlapping, "M1", numbers.lowest, numbers.highest);
    ASSERT_TRUE(a.complete() && b.complete() && c.complete()) << s.problem();
    EXPECT_EQ(a.inserted, 500u);
    EXPECT_EQ(b.inserted, 200u);
    EXPECT_EQ(c.inserted, 0u);
    EXPECT_EQ(serverLogNumbers("M1"), range(1000, 700));
    // A range given too narrow (numbers outside it on the server) still
    // counts each record once: the row the server holds stops the straight
    // copy, and the batch goes the careful way.
    const std::string again = rowsOf(1600, 200, numbers);
    const SendResult d = sendMachineRows(s, again, "M1", 1700, 1799);
    ASSERT_TRUE(d.complete()) << s.problem();
    EXPECT_EQ(d.inserted, 100u);
    EXPECT_EQ(serverLogNumbers("M1"), range(1000, 800));
}

TEST_F(RecordTable, ARecordWhoseKeyTheServerHoldsWithOtherBytesIsKeptBeside) {
    PgSession s;
    connectTo(s, url());
    ASSERT_TRUE(prepareExportSession(s).ready);
    auto rowsOf = [](uint32_t first, uint32_t count, uint32_t variant) {
        std::string rows;
        for (uint32_t n = first; n < first + count; ++n)
            appendCopyRow(rows, "M1", jobRecord(n, n + variant).data());
        return rows;
    };
    ASSERT_TRUE(sendRecordRows(s, rowsOf(0, 10, 0)).complete());
    // Numbers 5 .. 9 again with other bytes (the machine's log started
    // again), and 10 .. 14 new; then the same once more, and by the way that
    // believes the server lacks them.
    const SendResult again = sendRecordRows(s, rowsOf(5, 10, 1000));
    const SendResult twice = sendRecordRows(s, rowsOf(5, 10, 1000));
    const SendResult straight = sendAbsentRows(s, rowsOf(7, 1, 2000));
    ASSERT_TRUE(again.complete() && twice.complete() && straight.complete()) << s.problem();
    EXPECT_EQ(again.inserted, 5u);
    EXPECT_EQ(again.conflicts, (std::map<std::string, uint64_t>{{"M1", 5}}));
    EXPECT_EQ(twice.inserted + twice.newConflicts(), 0u);
    EXPECT_EQ(straight.inserted, 0u);
    EXPECT_EQ(straight.newConflicts(), 1u);
    EXPECT_EQ(serverLogNumbers("M1"), range(0, 15));
    // The first bytes of a number stay in the record table; every other
    // version of it is beside, once.
    for (uint32_t n = 0; n < 15; ++n)
        EXPECT_EQ(server().value(db, "SELECT encode(raw, 'hex') FROM dupmon_job_record WHERE "
                                     "log_no = " +
                                         std::to_string(n)),
                  hexOf(jobRecord(n, n < 10 ? n : n + 1000).data()))
            << n;
    EXPECT_EQ(server().value(db, "SELECT string_agg(log_no::text, ',' ORDER BY log_no, raw) FROM "
                                 "dupmon_record_conflict WHERE machine_id = 'M1'"),
              "5,6,7,7,8,9");
}

TEST_F(RecordTable, OneRowTheServerRefusesKeepsNoOtherOut) {
    PgSession s;
    connectTo(s, url());
    ASSERT_TRUE(prepareExportSession(s).ready);
    // A rule of the site's own that this program's rows do not meet.
    server().admin(db, "ALTER TABLE dupmon_job_record ADD CONSTRAINT site_ports CHECK (port < 9)");
    std::string rows;
    for (uint32_t k = 0; k < 20; ++k)
        appendCopyRow(rows, "M1", jobRecord(k, k).data()); // ports 1 .. 16, then 1 .. 4
    const SendResult sent = sendRecordRows(s, rows);
    ASSERT_TRUE(sent.ok()) << s.problem();
    EXPECT_FALSE(sent.complete());
    EXPECT_EQ(sent.inserted, 12u);
    EXPECT_EQ(sent.refused, 8u);
    EXPECT_EQ(sent.refusalState, "23514");
    EXPECT_EQ(sent.refusal.rfind("the server refused them (new row for relation "
                                 "\"dupmon_job_record\" violates check constraint \"site_ports\"",
                                 0),
              0u)
        << sent.refusal;
    EXPECT_EQ(serverCount(), 12);
    EXPECT_TRUE(s.connected());
}

TEST_F(RecordTable, TheServersOwnStateRefusesTheBatchWithoutBlamingARow) {
    PgSession s;
    connectTo(s, url());
    ASSERT_TRUE(prepareExportSession(s).ready);
    std::string rows;
    for (uint32_t k = 0; k < 50; ++k)
        appendCopyRow(rows, "M1", jobRecord(k, k).data());
    const struct {
        const char* name;
        std::string before, after; // as the server's administrator
        const char* session;       // on the exporter's own session
        const char* state;
        const char* refusal;
    } cases[] = {
        {"read-only", "", "", "SET default_transaction_read_only = on", "25006",
         "the server is read-only (cannot execute "},
        {"no permission", "REVOKE INSERT ON dupmon_job_record FROM exporter",
         "GRANT INSERT ON dupmon_job_record TO exporter", nullptr, "42501",
         "no permission to write the tables (permission denied for table dupmon_job_record"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.before.empty())
            server().admin(db, c.before);
        if (c.session) {
            ASSERT_TRUE(s.exec(c.session)) << s.problem();
        }
        for (const SendResult& sent : {sendRecordRows(s, rows), sendAbsentRows(s, rows)}) {
            EXPECT_TRUE(sent.serverRefused);
            EXPECT_FALSE(sent.ok());
            EXPECT_EQ(sent.refused, 50u);
            EXPECT_EQ(sent.inserted, 0u);
            EXPECT_EQ(sent.refusalState, c.state);
            EXPECT_EQ(sent.refusal.rfind(c.refusal, 0), 0u) << sent.refusal;
        }
        EXPECT_EQ(serverCount(), 0);
        if (c.session) {
            ASSERT_TRUE(s.exec("RESET default_transaction_read_only")) << s.problem();
        }
        if (!c.after.empty())
            server().admin(db, c.after);
        ASSERT_TRUE(sendRecordRows(s, rows).complete()) << s.problem();
        EXPECT_EQ(serverCount(), 50);
        server().admin(db, "TRUNCATE dupmon_job_record");
    }
}
