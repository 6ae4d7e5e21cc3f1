// A job-log record as a row of the server's record table, in COPY's text
// format: every field written out by hand from the record's layout.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "export/export_records.h"
#include "export/export_row.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

// The raw column: bytea hex, its backslash escaped for COPY.
std::string rawColumn(const RecordBytes& r) {
    return "\\\\x" + hexOf(r.data());
}

struct Case {
    const char* name;
    const char* machineId;
    RecordBytes record;
    // Every column but the raw bytes, tab-separated.
    const char* columns;
};

const Case kCases[] = {
    {"a USB copy that passed", "SU10-000001", usbCopyRecord(),
     "SU10-000001\t41\t2024-03-05 14:07:09\t3\t1\tCOPY\tCOPY(DATA,100.0MB)\t0\tPASS\tpass\t"
     "7864320\t204800\t512\t4026531840\t20971520\t10485760\t65\t0781h 5567h [4C530001]"},
    {"a protected copy+compare that failed, on a leap day", "CF8",
     RecordBytes()
         .job(7, 2024, 2, 29, 23, 59, 59, 12)
         .u8(14, 5)
         .u8(18, 0x09)
         .be32(24, 4194304)
         .be32(32, 2097152)
         .be32(40, 4660)
         .be16(56, 30)
         .be16(58, 40)
         .u8(60, 2)
         .u8(62, 7),
     "CF8\t7\t2024-02-29 23:59:59\t12\t5\tCOPY+COMPARE\tCOPY+COMPARE+P.WP(Whole,1024.0MB)\t7\t"
     "FAIL(LBA:4660)\tfail\t4194304\t2097152\t512\t2147483648\t0\t0\t70\t"},
    {"a compare aborted by the user on a day that is no date", "SD-3",
     RecordBytes().job(0, 2023, 2, 29, 8, 0, 0, 1).u8(14, 4).be16(58, 9).u8(62, 1),
     "SD-3\t0\t\\N\t1\t4\tCOMPARE\tCOMPARE(DATA,0KB)\t1\tUser "
     "Abort\tabort\t0\t0\t512\t0\t0\t0\t9\t"},
    {"a CRC64 job: its speed fields hold the CRC; an id with escapes and a stray byte",
     "A\tB\\C\nD\xFF",
     RecordBytes()
         .job(4294967295u, 2030, 13, 1, 0, 0, 0, 2)
         .u8(14, 29)
         .be32(44, 0xCAFE)
         .be32(48, 0xBEEF)
         .be32(52, 12),
     "A\\tB\\\\C\\nD\xEF\xBF\xBD\t4294967295\t\\N\t2\t29\tCRC64\t"
     "CRC64(DATA,0KB)=[0000BEEF0000CAFE]\t0\tPASS\tpass\t0\t0\t512\t0\t\\N\t\\N\t12\t"},
    {"a burn-in that started", "SU10-000001",
     RecordBytes().job(9, 2025, 12, 31, 6, 5, 4, 16).u8(14, 22).be32(52, 3),
     "SU10-000001\t9\t2025-12-31 06:05:04\t16\t22\tBURN IN\tBURN IN(100%)\t0\tSTART\tstart\t0\t0\t"
     "512\t0\t0\t0\t3\t"},
    {"a function beyond the table", "X", RecordBytes().job(5, 2024, 1, 1, 0, 0, 0, 1).u8(14, 86),
     "X\t5\t2024-01-01 "
     "00:00:00\t1\t86\tFunction(86)\tFunction(86)\t0\tPASS\tpass\t0\t0\t512\t0\t0\t"
     "0\t0\t"},
};

} // namespace

TEST(ExportRow, EachRecordBecomesOneCopyLineWithItsDecodedFieldsAndRawBytes) {
    // The PC that sends it last: none (NULL), or a name COPY escapes.
    const struct {
        const char* name;
        const char* column;
    } pcs[] = {{"", "\\N"}, {"line\tpc-3", "line\\tpc-3"}};
    for (const Case& c : kCases) {
        for (const auto& pc : pcs) {
            SCOPED_TRACE(std::string(c.name) + ", sent by " + pc.name);
            std::string line;
            appendCopyRow(line, c.machineId, c.record.data(), pc.name);
            EXPECT_EQ(line, std::string(c.columns) + "\t" + rawColumn(c.record) + "\t" + pc.column +
                                "\n");
        }
    }
}

TEST(ExportRow, RowsFollowEachOtherLineByLine) {
    std::string rows;
    appendCopyRow(rows, "M", kCases[0].record.data());
    appendCopyRow(rows, "M", kCases[1].record.data());
    ASSERT_EQ(std::count(rows.begin(), rows.end(), '\n'), 2);
    // 20 columns each: 19 tabs a line.
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\t'), 38);
}

TEST(ServerText, KeepsValidUtf8AndReplacesEveryStrayByte) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain ASCII", "plain ASCII"},
        {"\xC3\x9C \xE2\x82\xAC \xF0\x9F\x98\x80", "\xC3\x9C \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {std::string("a\0b", 3), "a\xEF\xBF\xBD"
                                 "b"},
        {"\xC0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {"x\xE2\x82", "x\xEF\xBF\xBD\xEF\xBF\xBD"},               // cut short
        {"\xF5\x80\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(serverText(c.in), c.out) << c.in;
}
