// What the log viewer shows, without its window: the newest records read
// from the tail of the database, the rows and headers, the position file,
// the load messages, the caption and where the grid scrolls.
#include <gtest/gtest.h>

#include <optional>

#include "common/byte_order.h"
#include "common/position_file.h"
#include "common/result_codes.h"
#include "log_test_support.h"
#include "logdb/log_database.h"
#include "logdb/log_tail.h"
#include "logdb/log_viewer.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

RecordBytes copyRecord(uint32_t logNo) {
    RecordBytes r;
    r.job(logNo, 2026, 3, 15, 9, 5, 0, 2).u8(14, 1).be32(24, 2048).be32(32, 2048).be16(56, 61);
    r.u8(13, 1).be16(64, 0x0781).be16(66, 0x5567).bytes(88, "SN0001");
    return r;
}

class LogViewer : public TempDirTest {
protected:
    fs::path db() const { return dir / "A1B2C3.QX42.LOGDATA"; }
    // A database of `count` records numbered from 0, and `tail` stray bytes.
    void writeDatabase(uint32_t count, size_t tail = 0) {
        ASSERT_TRUE(createLogDatabase(db()));
        std::vector<uint8_t> bytes;
        bytes.reserve(size_t(count) * 128 + tail);
        for (uint32_t i = 0; i < count; ++i) {
            RecordBytes r = copyRecord(i);
            bytes.insert(bytes.end(), r.b.begin(), r.b.end());
        }
        bytes.insert(bytes.end(), tail, 0xEE);
        writeBytes(db(), bytes.data(), bytes.size(), true);
    }
};

} // namespace

TEST_F(LogViewer, TailHoldsTheNewestRecordsInFileOrder) {
    struct {
        uint32_t records;
        size_t tornBytes;
        uint32_t expectCount;
    } cases[] = {{0, 0, 0},         {1, 0, 1},         {9999, 37, 9999},
                 {10000, 0, 10000}, {10001, 0, 10000}, {25000, 127, 10000}};
    for (const auto& c : cases) {
        writeDatabase(c.records, c.tornBytes);
        LogDatabaseTail tail = readLogDatabaseTail(db(), kLogViewerLoadLimit);
        ASSERT_EQ(tail.result, PASS) << c.records;
        EXPECT_EQ(tail.total, c.records);
        ASSERT_EQ(tail.count, c.expectCount) << c.records;
        EXPECT_EQ(tail.first, c.records - c.expectCount);
        for (uint32_t i = 0; i < tail.count; ++i)
            ASSERT_EQ(readBE32(tail.record(i)), c.records - c.expectCount + i) << c.records;
    }
}

TEST_F(LogViewer, TailReadsTheChecksOfAWholeRead) {
    std::vector<uint8_t> header(512, 0);
    {
        ASSERT_TRUE(createLogDatabase(db()));
        header = readBytes(db());
    }
    auto withByte = [&](size_t at, uint8_t v) {
        std::vector<uint8_t> h = header;
        h[at] = v;
        return h;
    };
    struct {
        const char* name;
        std::optional<std::vector<uint8_t>> bytes; // none: no file
        DatabaseResult result;
    } cases[] = {
        {"missing", std::nullopt, DATABASE_NOT_EXIST},
        {"short header", std::vector<uint8_t>(header.begin(), header.begin() + 300),
         DATABASE_CORRUPT},
        {"other title", withByte(3, 'x'), DATABASE_WRONG_TITLE},
        {"other version", withByte(120 + 19, 'x'), DATABASE_WRONG_VERSION},
        {"header only", header, PASS},
    };
    for (const auto& c : cases) {
        fs::remove(db());
        if (c.bytes)
            writeBytes(db(), c.bytes->data(), c.bytes->size());
        LogDatabaseTail tail = readLogDatabaseTail(db(), kLogViewerLoadLimit);
        EXPECT_EQ(tail.result, c.result) << c.name;
        EXPECT_EQ(tail.count, 0u) << c.name;
        // The same code as a whole read of the file.
        EXPECT_EQ(readLogDatabase(db()).result, c.result) << c.name;
    }
    // A folder where the database should be is none: it is not read at all.
    fs::remove(db());
    fs::create_directory(db());
    EXPECT_EQ(readLogDatabaseTail(db(), kLogViewerLoadLimit).result, DATABASE_NOT_EXIST);
}

TEST_F(LogViewer, ALogTooLargeToLoadWholeOpensOnItsNewestRecords) {
    // More records than a whole read can count (2^32 + 10000, half a
    // terabyte, all but the last ones a hole in the file): only a read that
    // seeks to the tail can open it.
    ASSERT_TRUE(createLogDatabase(db()));
    const uint64_t total = (uint64_t(1) << 32) + 10000;
    std::error_code ec;
    fs::resize_file(db(), 512 + (total - 10000) * 128, ec);
    if (ec)
        GTEST_SKIP() << "this file system holds no sparse file of that size: " << ec.message();
    std::vector<uint8_t> last;
    for (uint32_t i = 0; i < 10000; ++i) {
        RecordBytes r = copyRecord(0xF0000000u + i);
        last.insert(last.end(), r.b.begin(), r.b.end());
    }
    writeBytes(db(), last.data(), last.size(), true);
    EXPECT_EQ(readLogDatabase(db()).result, MEMORY_NOT_ENOUGH_FOR_DATABASE);

    LogViewerRows rows(2);
    ASSERT_EQ(rows.load(db()), PASS);
    ASSERT_EQ(rows.size(), 10000u);
    EXPECT_EQ(readBE32(rows.record(0)), 0xF0000000u);
    EXPECT_EQ(rows.row(9999)[0], std::to_string(0xF0000000u + 9999 + 1));
    fs::resize_file(db(), 0, ec); // give the blocks back before the folder goes
}

TEST_F(LogViewer, RowsShowTheNewest10000AndGrowAsRecordsArrive) {
    writeDatabase(10001);
    LogViewerRows rows(2);
    ASSERT_EQ(rows.load(db()), PASS);
    ASSERT_EQ(rows.size(), 10000u);
    // Record 0 (shown as 00001) is the one left out.
    EXPECT_EQ(rows.row(0)[0], "00002");
    EXPECT_EQ(rows.row(9999)[0], "10001");
    EXPECT_EQ(rows.row(9999)[7], "0781h 5567h [SN0001]");
    for (size_t i = 0; i < rows.size(); ++i)
        ASSERT_NE(rows.row(i)[0], "00001");

    rows.add(copyRecord(10001).data());
    ASSERT_EQ(rows.size(), 10001u);
    EXPECT_EQ(rows.row(10000)[0], "10002");
    EXPECT_EQ(rows.row(0)[0], "00002"); // a cached row is not mistaken for another
    EXPECT_EQ(rows.row(10000)[0], "10002");

    // A failed load shows nothing, not the rows of the last one.
    fs::remove(db());
    EXPECT_EQ(rows.load(db()), DATABASE_NOT_EXIST);
    EXPECT_EQ(rows.size(), 0u);
}

TEST_F(LogViewer, OlderRecordsComeAPageAtATimeAndTheCountSaysWhatIsShown) {
    writeDatabase(25005);
    LogViewerRows rows(2);
    ASSERT_EQ(rows.load(db()), PASS);
    struct Page {
        uint64_t first;
        size_t size;
        bool newest;
        const char* text;
    };
    auto expectPage = [&](const Page& p) {
        EXPECT_EQ(rows.firstShown(), p.first) << p.text;
        ASSERT_EQ(rows.size(), p.size) << p.text;
        EXPECT_EQ(rows.showingNewest(), p.newest) << p.text;
        EXPECT_EQ(rows.rangeText(), p.text);
        EXPECT_EQ(readBE32(rows.record(0)), p.first) << p.text; // record k is numbered k
        EXPECT_EQ(readBE32(rows.record(rows.size() - 1)), p.first + p.size - 1) << p.text;
    };
    const Page newest{15005, 10000, true, "The newest 10,000 of 25,005 records"};
    const Page middle{5005, 10000, false, "Records 5,006 to 15,005 of 25,005"};
    const Page oldest{0, 5005, false, "Records 1 to 5,005 of 25,005"};
    expectPage(newest);
    ASSERT_EQ(rows.loadOlder(db()), PASS);
    expectPage(middle);
    ASSERT_EQ(rows.loadOlder(db()), PASS);
    expectPage(oldest);
    EXPECT_FALSE(rows.hasOlder());
    ASSERT_EQ(rows.loadOlder(db()), PASS); // nothing older: the page stays
    expectPage(oldest);

    // A record arriving meanwhile is counted; the page read stays as it is.
    RecordBytes arrived = copyRecord(25005);
    writeBytes(db(), arrived.data(), arrived.b.size(), true);
    EXPECT_FALSE(rows.add(arrived.data()));
    EXPECT_EQ(rows.size(), 5005u);
    EXPECT_EQ(rows.rangeText(), "Records 1 to 5,005 of 25,006");

    // Each page starts after the one before; the one that reaches the end is the newest.
    ASSERT_EQ(rows.loadNewer(db()), PASS);
    expectPage({5005, 10000, false, "Records 5,006 to 15,005 of 25,006"});
    ASSERT_EQ(rows.loadNewer(db()), PASS);
    expectPage({15005, 10000, false, "Records 15,006 to 25,005 of 25,006"});
    ASSERT_EQ(rows.loadNewer(db()), PASS);
    expectPage({15006, 10000, true, "The newest 10,000 of 25,006 records"});
    EXPECT_TRUE(rows.add(copyRecord(25006).data()));
    EXPECT_EQ(rows.size(), 10001u);
    EXPECT_EQ(rows.rangeText(), "The newest 10,001 of 25,007 records");

    // A page that cannot be read leaves the rows as they were.
    fs::remove(db());
    EXPECT_EQ(rows.loadOlder(db()), DATABASE_NOT_EXIST);
    EXPECT_EQ(rows.size(), 10001u);
}

TEST_F(LogViewer, TheCountOfAShortLog) {
    struct Case {
        uint32_t records;
        const char* text;
    } cases[] = {{0, "No records"},
                 {1, "1 record"},
                 {12, "All 12 records"},
                 {10000, "All 10,000 records"},
                 {10001, "The newest 10,000 of 10,001 records"}};
    for (const Case& c : cases) {
        writeDatabase(c.records);
        LogViewerRows rows(2);
        ASSERT_EQ(rows.load(db()), PASS);
        EXPECT_EQ(rows.rangeText(), c.text);
        EXPECT_EQ(rows.hasOlder(), c.records > 10000) << c.records;
    }
}

TEST(LogViewerRowsHeaders, HeaderRowByMachineKind) {
    struct {
        int deviceType;
        const char* last;
    } cases[] = {{3, "MID OID Name Revision  YearMonth Serial No."},
                 {9, "VID-PID-Serial No."},
                 {5, "Model,Version,SerialNo."},
                 {0, "media info"}};
    for (const auto& c : cases) {
        LogViewerRows rows(c.deviceType);
        EXPECT_STREQ(rows.header(0), "  No.");
        EXPECT_STREQ(rows.header(7), c.last) << c.deviceType;
    }
    const int widths[] = {50, 180, 40, 130, 350, 70, 160, 540};
    for (int c = 0; c < kLogViewerColumns; ++c)
        EXPECT_EQ(LogViewerRows::width(c), widths[c]);
}

TEST_F(LogViewer, ParameterFileRoundTripsAndIsReadOnlyAsFarAsItMatters) {
    const MachineInfo info = machine("LINE-01", "UB-16", "A1B2C3");
    const fs::path file = logViewerParameterPath(dir, info);
    EXPECT_EQ(file, dir / "A1B2C3.qz9.log.par");
    ASSERT_TRUE(writePositionFile(file, "A1B2C3 ", {30, 40, 1000, 500}));
    EXPECT_EQ(readText(file), "A1B2C3 \n30 40 1000 500 \n");
    EXPECT_EQ(readPositionFile(file, "A1B2C3"), (WindowRect{30, 40, 1000, 500}));
    EXPECT_EQ(readPositionFile(file, "Z9Y8X7"), std::nullopt);
    EXPECT_EQ(readPositionFile(dir / "missing.qz9.log.par", "A1B2C3"), std::nullopt);

    // A first line longer than what is read is not this machine's file.
    std::string huge = "A1B2C3" + std::string(kPositionFileReadLimit, ' ') + "\n1 2 3 4\n";
    writeBytes(file, huge.data(), huge.size());
    EXPECT_EQ(readPositionFile(file, "A1B2C3"), std::nullopt);
    // A 20 MB file of one line is read no further than the limit.
    std::string big(20 << 20, 'A');
    writeBytes(file, big.data(), big.size());
    EXPECT_EQ(readPositionFile(file, "A1B2C3"), std::nullopt);
}

TEST(LogViewerMessages, LoadFailuresAreNamedByTheirCode) {
    struct {
        int code;
        const char* text;
    } cases[] = {{1, "DATABASE_NOT_EXIST"},     {2, "MEMORY_NOT_ENOUGH_FOR_DATABASE"},
                 {3, "DATABASE_CORRUPT"},       {4, "DATABASE_WRONG_TITLE"},
                 {5, "DATABASE_WRONG_VERSION"}, {6, "DATABASE_CREATE_FAIL"},
                 {7, "DATABASE_WRITE_FAIL"},    {8, "DATABASE ERROR !"},
                 {-1, "DATABASE ERROR !"}};
    for (const auto& c : cases)
        EXPECT_EQ(logViewerLoadMessage(c.code), c.text) << c.code;
    EXPECT_STREQ(kLogViewerMessageCaption, "Message");
    EXPECT_STREQ(kLogViewerCaption, "LOG Data");
}

TEST(LogViewerCaption, CaptionIsCutTo127BytesOnACharacterBoundary) {
    EXPECT_EQ(logViewerGroupCaption("LINE-01(v2.40.7)"), "LINE-01(v2.40.7)");
    EXPECT_EQ(logViewerGroupCaption(std::string(200, 'x')), std::string(127, 'x'));
    // "é" is two bytes; the one that would straddle byte 127 is left out whole.
    std::string accents = std::string(126, 'x') + "\xC3\xA9" + "tail";
    EXPECT_EQ(logViewerGroupCaption(accents), std::string(126, 'x'));
    std::string fits = std::string(125, 'x') + "\xC3\xA9" + "tail";
    EXPECT_EQ(logViewerGroupCaption(fits), std::string(125, 'x') + "\xC3\xA9");
}

TEST(LogViewerScroll, LastRowComesIntoViewOnlyWhenRowsOverflow) {
    struct {
        size_t rows, visible;
        std::optional<size_t> top;
    } cases[] = {{0, 20, std::nullopt},     {20, 20, std::nullopt},    {21, 20, size_t(1)},
                 {10000, 20, size_t(9980)}, {10001, 1, size_t(10000)}, {5, 0, size_t(5)}};
    for (const auto& c : cases)
        EXPECT_EQ(logViewerTopRow(c.rows, c.visible), c.top) << c.rows << "/" << c.visible;
}
