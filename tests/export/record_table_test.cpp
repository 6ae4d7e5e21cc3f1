// The server's tables: made when missing, refused when of another version,
// and rows that come back from the server as they were sent.
#include "export/export_row.h"
#include "export/record_table.h"
#include "export/server_fixture.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

void connectTo(PgSession& s, const std::string& url) {
    ASSERT_EQ(s.connect(checkServerUrl(url), 10000), PgSession::Failure::None) << s.problem();
}

} // namespace

class RecordTable : public ServerTest {};

TEST_F(RecordTable, IsMadeOnAnEmptyServerAndFoundThere) {
    PgSession first;
    ASSERT_EQ(first.connect(checkServerUrl(url()), 10000), PgSession::Failure::None);
    const SchemaCheck made = prepareExportSession(first);
    EXPECT_TRUE(made.ready) << made.problem;
    EXPECT_TRUE(made.created);
    EXPECT_EQ(server().value(db, "SELECT version FROM dupmon_schema"), "1");

    PgSession second;
    ASSERT_EQ(second.connect(checkServerUrl(url()), 10000), PgSession::Failure::None);
    const SchemaCheck found = prepareExportSession(second);
    EXPECT_TRUE(found.ready) << found.problem;
    EXPECT_FALSE(found.created);
    EXPECT_EQ(server().value(db, "SELECT count(*) FROM dupmon_schema"), "1");

    // The columns the README documents, in the order rows are written.
    std::string columns;
    for (const auto& row :
         server().admin(db, "SELECT column_name FROM information_schema.columns WHERE "
                            "table_name = 'dupmon_job_record' ORDER BY ordinal_position"))
        columns += (columns.empty() ? "" : ", ") + row[0];
    EXPECT_EQ(columns, std::string(kRecordColumns) + ", exported_at");
    EXPECT_EQ(server().value(db, "SELECT string_agg(a.attname, ',' ORDER BY k.n) FROM pg_index i "
                                 "JOIN LATERAL unnest(i.indkey) WITH ORDINALITY k(attnum, n) ON "
                                 "true JOIN pg_attribute a ON a.attrelid = i.indrelid AND "
                                 "a.attnum = k.attnum WHERE i.indisprimary AND i.indrelid = "
                                 "'dupmon_job_record'::regclass"),
              "machine_id,log_no");
}

TEST_F(RecordTable, OfAnotherVersionIsLeftAloneWithAClearMessage) {
    {
        PgSession s;
        connectTo(s, url());
        ASSERT_TRUE(prepareExportSession(s).ready);
    }
    server().admin(db, "UPDATE dupmon_schema SET version = 2");
    PgSession s;
    connectTo(s, url());
    const SchemaCheck check = prepareExportSession(s);
    EXPECT_FALSE(check.ready);
    EXPECT_TRUE(check.otherVersion);
    EXPECT_EQ(check.serverVersion, 2);
    EXPECT_EQ(check.problem, "the server's job-log tables are of schema version 2, this program "
                             "writes version 1; nothing is sent to them");
    EXPECT_EQ(server().value(db, "SELECT version FROM dupmon_schema"), "2");
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
    appendCopyRow(rows, "SU10-000001", usb.data());
    appendCopyRow(rows, "odd\tid\\with 'quotes'\nand lines", odd.data());
    const SendResult sent = sendRecordRows(s, rows);
    ASSERT_TRUE(sent.ok) << s.problem();
    EXPECT_EQ(sent.inserted, 2u);
    EXPECT_EQ(sent.refused, 0u);

    const auto got = server().admin(
        db, "SELECT machine_id, log_no, recorded_at, port, function_no, function_name, "
            "function_text, result_code, result, outcome, capacity_sectors, data_sectors, "
            "sector_size, capacity_bytes, read_bytes_per_second, write_bytes_per_second, "
            "run_time_seconds, target, encode(raw, 'hex') FROM dupmon_job_record ORDER BY log_no");
    ASSERT_EQ(got.size(), 2u);
    auto hex = [](const RecordBytes& r) { return hexOf(r.data()); };
    EXPECT_EQ(got[0],
              (std::vector<std::string>{"SU10-000001", "41", "2024-03-05 14:07:09", "3", "1",
                                        "COPY", "COPY(DATA,100.0MB)", "0", "PASS", "pass",
                                        "7864320", "204800", "512", "4026531840", "20971520",
                                        "10485760", "65", "0781h 5567h [4C530001]", hex(usb)}));
    EXPECT_EQ(got[1],
              (std::vector<std::string>{"odd\tid\\with 'quotes'\nand lines", "4294967295", "", "2",
                                        "29", "CRC64", "CRC64(DATA,0KB)=[0000BEEF0000CAFE]", "0",
                                        "PASS", "pass", "0", "0", "512", "0", "", "", "0",
                                        "[CF \xEF\xBF\xBD\xEF\xBF\xBD card]", hex(odd)}));
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
    ASSERT_TRUE(a.ok && b.ok && c.ok) << s.problem();
    EXPECT_EQ(a.inserted, 300u);
    EXPECT_EQ(b.inserted, 0u);
    EXPECT_EQ(c.inserted, 150u);
    EXPECT_EQ(serverLogNumbers("M1"), range(0, 400));
    EXPECT_EQ(serverLogNumbers("M2"), range(0, 50));
    std::optional<uint32_t> highest;
    ASSERT_TRUE(serverHighestLogNo(s, "M1", highest));
    EXPECT_EQ(highest, 399u);
    ASSERT_TRUE(serverHighestLogNo(s, "nobody", highest));
    EXPECT_FALSE(highest.has_value());
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
    ASSERT_TRUE(a.ok && b.ok && c.ok) << s.problem();
    EXPECT_EQ(a.inserted, 500u);
    EXPECT_EQ(b.inserted, 200u);
    EXPECT_EQ(c.inserted, 0u);
    EXPECT_EQ(serverLogNumbers("M1"), range(1000, 700));
    // A range given too narrow (numbers outside it on the server) still
    // counts each record once: the row the server holds stops the straight
    // copy, and the batch goes the careful way.
    const std::string again = rowsOf(1600, 200, numbers);
    const SendResult d = sendMachineRows(s, again, "M1", 1700, 1799);
    ASSERT_TRUE(d.ok) << s.problem();
    EXPECT_EQ(d.inserted, 100u);
    EXPECT_EQ(serverLogNumbers("M1"), range(1000, 800));
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
    ASSERT_TRUE(sent.ok) << s.problem();
    EXPECT_EQ(sent.inserted, 12u);
    EXPECT_EQ(sent.refused, 8u);
    EXPECT_NE(sent.refusal.find("site_ports"), std::string::npos) << sent.refusal;
    EXPECT_EQ(serverCount(), 12);
    EXPECT_TRUE(s.connected());
}
