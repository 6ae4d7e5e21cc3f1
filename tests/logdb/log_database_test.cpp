// The log database file on disk: header bytes, checks, appends with their
// daily text files, and the sound behaviour around torn and failed appends.
#include <gtest/gtest.h>

#include "common/result_codes.h"
#include "log_test_support.h"
#include "logdb/log_database.h"
#include "logdb/log_store.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

// The header as every database starts, written out byte by byte.
std::vector<uint8_t> expectedHeader() {
    std::vector<uint8_t> h(512, 0);
    const std::string title = "DUPLICATOR MONITOR JOB LOG DATABASE - 128-BYTE JOB-LOG RECORDS "
                              "AFTER A 512-BYTE HEADER              ";
    std::copy(title.begin(), title.end(), h.begin()); // NUL and zeros follow
    const std::string version = "2.01.10.03          ";
    std::copy(version.begin(), version.end(), h.begin() + 120);
    return h;
}

RecordBytes copyRecord(uint32_t logNo, int day) {
    RecordBytes r;
    r.job(logNo, 2026, 3, day, 9, 5, 0, 2).u8(14, 1).be32(24, 2048).be32(32, 2048).be16(56, 61);
    return r;
}

class LogDatabase : public TempDirTest {
protected:
    fs::path db() const { return dir / "DATABASE" / "A1B2C3.QX42.LOGDATA"; }
    void SetUp() override {
        TempDirTest::SetUp();
        fs::create_directories(dir / "DATABASE");
        info = machine("LINE-01", "UB-16", "A1B2C3");
    }
    void writeDatabase(size_t records, size_t tail) {
        std::vector<uint8_t> bytes = expectedHeader();
        for (size_t i = 0; i < records; ++i) {
            RecordBytes r = copyRecord(uint32_t(100 + i), 15);
            bytes.insert(bytes.end(), r.b.begin(), r.b.end());
        }
        bytes.insert(bytes.end(), tail, 0xEE);
        writeBytes(db(), bytes.data(), bytes.size());
    }
    MachineInfo info;
};

} // namespace

TEST_F(LogDatabase, NewDatabaseIsTheHeaderOnly) {
    ASSERT_TRUE(createLogDatabase(db()));
    EXPECT_EQ(readBytes(db()), expectedHeader());
}

TEST_F(LogDatabase, PathIsNamedAfterTheMachineId) {
    EXPECT_EQ(logDatabasePath(dir, info), dir / "A1B2C3.QX42.LOGDATA");
    MachineInfo odd = machine("x", "y", "../ID:1");
    EXPECT_EQ(logDatabasePath(dir, odd), dir / "..%2FID%3A1.QX42.LOGDATA");
    // Two machines whose ids differ only in a character a file name cannot
    // hold never share a database.
    EXPECT_NE(logDatabasePath(dir, machine("a", "b", "X_1")),
              logDatabasePath(dir, machine("a", "b", "X/1")));
}

TEST_F(LogDatabase, CheckCreatesAMissingDatabase) {
    info.lastStoredLogNo = 77;
    LogDatabaseCheck check = checkLogDatabase(db(), info);
    EXPECT_EQ(check.result, PASS);
    EXPECT_FALSE(check.holdsRecords);
    EXPECT_EQ(info.lastStoredLogNo, 0);
    EXPECT_EQ(readBytes(db()), expectedHeader());
    LogDatabaseContents contents = readLogDatabase(db());
    EXPECT_EQ(contents.result, PASS);
    EXPECT_EQ(contents.count, 0u);
}

TEST_F(LogDatabase, CheckReadsTheLastWholeRecordAndReadersIgnoreTheTail) {
    writeDatabase(3, 37); // 512 + 128*3 + 37 bytes
    LogDatabaseCheck check = checkLogDatabase(db(), info);
    EXPECT_EQ(check.result, PASS);
    EXPECT_TRUE(check.holdsRecords);
    EXPECT_EQ(info.lastStoredLogNo, 102);
    LogDatabaseContents contents = readLogDatabase(db());
    ASSERT_EQ(contents.result, PASS);
    ASSERT_EQ(contents.count, 3u);
    EXPECT_EQ(0, std::memcmp(contents.record(2), copyRecord(102, 15).data(), 128));
    LogDatabaseSummary summary = summarizeLogDatabase(db());
    EXPECT_EQ(summary.count, 3u);
    EXPECT_EQ(summary.fileSize, 512u + 3 * 128 + 37);
}

TEST_F(LogDatabase, RecordZeroIsARealRecord) {
    writeDatabase(0, 0);
    RecordBytes r = copyRecord(0, 15);
    writeBytes(db(), r.data(), 128, true);
    info.lastStoredLogNo = 5;
    LogDatabaseCheck check = checkLogDatabase(db(), info);
    EXPECT_TRUE(check.holdsRecords);
    EXPECT_EQ(info.lastStoredLogNo, 0);
}

TEST_F(LogDatabase, HeaderWithOnlyATornRecordHoldsNoRecord) {
    writeDatabase(0, 37);
    info.lastStoredLogNo = 5;
    LogDatabaseCheck check = checkLogDatabase(db(), info);
    EXPECT_EQ(check.result, PASS);
    EXPECT_FALSE(check.holdsRecords);
    EXPECT_EQ(info.lastStoredLogNo, 0);
}

TEST_F(LogDatabase, DamagedHeadersAreRefused) {
    struct {
        const char* name;
        size_t offset; // byte changed, or the length kept when `cut` is set
        bool cut;
        DatabaseResult result;
    } cases[] = {
        {"title", 10, false, DATABASE_WRONG_TITLE},
        {"last title character", 99, false, DATABASE_WRONG_TITLE},
        {"version", 120, false, DATABASE_WRONG_VERSION},
        {"last version character", 139, false, DATABASE_WRONG_VERSION},
        {"short header", 300, true, DATABASE_CORRUPT},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes = expectedHeader();
        if (c.cut)
            bytes.resize(c.offset);
        else
            bytes[c.offset] = 'X';
        writeBytes(db(), bytes.data(), bytes.size());
        info.lastStoredLogNo = 33;
        EXPECT_EQ(checkLogDatabase(db(), info).result, c.result) << c.name;
        EXPECT_EQ(info.lastStoredLogNo, 33) << c.name << ": left as it was";
        EXPECT_EQ(readLogDatabase(db()).result, c.result) << c.name;
        EXPECT_EQ(readBytes(db()).size(), bytes.size())
            << c.name << ": neither repaired nor replaced";
    }
    EXPECT_EQ(readLogDatabase(dir / "missing.QX42.LOGDATA").result, DATABASE_NOT_EXIST);
}

TEST_F(LogDatabase, CheckFailsWhenTheDatabaseCannotBeCreated) {
    EXPECT_EQ(checkLogDatabase(dir / "no-such-folder" / "x.QX42.LOGDATA", info).result,
              DATABASE_CREATE_FAIL);
}

TEST_F(LogDatabase, ResultCodeTexts) {
    EXPECT_EQ(errorName(DATABASE_CREATE_FAIL), "DATABASE_CREATE_FAIL");
    EXPECT_EQ(errorName(DATABASE_WRITE_FAIL), "DATABASE_WRITE_FAIL");
    EXPECT_EQ(errorName(9), "unknown error code (9)");
}

TEST_F(LogDatabase, AppendStoresTheRecordAndItsDailyLine) {
    ASSERT_EQ(checkLogDatabase(db(), info).result, PASS);
    RecordBytes first = copyRecord(7, 15), second = copyRecord(8, 16);
    AppendedRecord a = appendLogRecord(db(), info, first.data(), 128, dir);
    EXPECT_TRUE(a.stored);
    EXPECT_EQ(info.lastStoredLogNo, 7);
    AppendedRecord b = appendLogRecord(db(), info, second.data(), 128, dir);
    EXPECT_TRUE(b.stored);
    EXPECT_EQ(info.lastStoredLogNo, 8);

    // The file holds both records exactly as received.
    std::vector<uint8_t> expected = expectedHeader();
    expected.insert(expected.end(), first.b.begin(), first.b.end());
    expected.insert(expected.end(), second.b.begin(), second.b.end());
    EXPECT_EQ(readBytes(db()), expected);

    // One daily file per record date, named after the nickname.
    const std::string line15 = "0000008 2026-03-15 09:05:00  0002  PASS            COPY(DATA,1.0MB)"
                               "                       01:01          1.0MB(2048)         ";
    const std::string line16 = "0000009 2026-03-16 09:05:00  0002  PASS            COPY(DATA,1.0MB)"
                               "                       01:01          1.0MB(2048)         ";
    EXPECT_EQ(a.reportLine, line15);
    EXPECT_EQ(b.reportLine, line16);
    EXPECT_EQ(readText(dir / "LINE-01" / "LINE-01(2026-03-15).txt"), line15 + "\n");
    EXPECT_EQ(readText(dir / "LINE-01" / "LINE-01(2026-03-16).txt"), line16 + "\n");

    // A reopened database continues after the last record.
    info.lastStoredLogNo = 0;
    EXPECT_TRUE(checkLogDatabase(db(), info).holdsRecords);
    EXPECT_EQ(info.lastStoredLogNo, 8);
}

TEST_F(LogDatabase, DailyFolderWithoutNickname) {
    MachineInfo noNick = machine("", "UB-16", "A1B2C3");
    RecordBytes r = copyRecord(1, 15);
    appendLogRecord(db(), noNick, r.data(), 128, dir);
    EXPECT_TRUE(fs::exists(dir / "UB-16(A1B2C3)" / "(2026-03-15).txt"));
    EXPECT_EQ(dailyLogPath(dir, noNick, 2026, 3, 15), dir / "UB-16(A1B2C3)" / "(2026-03-15).txt");
}

TEST_F(LogDatabase, DeviceNamesAreMadeSafeForFileNames) {
    MachineInfo odd = machine("../up:here", "UB-16", "A1B2C3");
    RecordBytes r = copyRecord(1, 15);
    appendLogRecord(db(), odd, r.data(), 128, dir);
    EXPECT_TRUE(fs::exists(dir / "___up_here" / "___up_here(2026-03-15).txt"));
    EXPECT_FALSE(fs::exists(dir.parent_path() / "up:here"));
    MachineInfo plain = machine("", "Model 7 (B)", "ID-9");
    EXPECT_EQ(dailyLogPath(dir, plain, 2026, 1, 2), dir / "Model 7 (B)(ID-9)" / "(2026-01-02).txt");
}

TEST_F(LogDatabase, TornRecordIsCutBeforeTheNextAppend) {
    writeDatabase(2, 37);
    RecordBytes next = copyRecord(102, 15);
    AppendedRecord a = appendLogRecord(db(), info, next.data(), 128, dir);
    EXPECT_TRUE(a.stored);
    std::vector<uint8_t> bytes = readBytes(db());
    ASSERT_EQ(bytes.size(), 512u + 3 * 128);
    EXPECT_EQ(0, std::memcmp(bytes.data() + 512 + 2 * 128, next.data(), 128));
    LogDatabaseContents contents = readLogDatabase(db());
    ASSERT_EQ(contents.count, 3u);
    EXPECT_EQ(0, std::memcmp(contents.record(2), next.data(), 128));
}

TEST_F(LogDatabase, RecordThatCannotBeStoredIsNotCountedAsStored) {
    info.lastStoredLogNo = 6;
    RecordBytes r = copyRecord(7, 15);
    // The database folder is gone: nothing can be written there.
    fs::path lost = dir / "gone" / "A1B2C3.QX42.LOGDATA";
    AppendedRecord a = appendLogRecord(lost, info, r.data(), 128, dir);
    EXPECT_FALSE(a.stored);
    EXPECT_EQ(info.lastStoredLogNo, 6); // fetched again on a later pass
    EXPECT_FALSE(fs::exists(lost));
    // The daily line is written once, after the record is stored: the refetch
    // will write it.
    EXPECT_FALSE(fs::exists(dir / "LINE-01" / "LINE-01(2026-03-15).txt"));
    EXPECT_TRUE(a.reportLine.empty());

    // A database path that is a folder cannot take records either.
    fs::create_directories(db());
    EXPECT_FALSE(appendLogRecord(db(), info, r.data(), 128, dir).stored);
    EXPECT_EQ(info.lastStoredLogNo, 6);
}

TEST_F(LogDatabase, AppendGivesAMissingDatabaseItsHeader) {
    RecordBytes r = copyRecord(3, 15);
    EXPECT_TRUE(appendLogRecord(db(), info, r.data(), 128, dir).stored);
    std::vector<uint8_t> expected = expectedHeader();
    expected.insert(expected.end(), r.b.begin(), r.b.end());
    EXPECT_EQ(readBytes(db()), expected);
}

TEST_F(LogDatabase, OnlyWholeRecordsAreAppended) {
    ASSERT_TRUE(createLogDatabase(db()));
    RecordBytes r = copyRecord(3, 15);
    AppendedRecord a = appendLogRecord(db(), info, r.data(), 100, dir);
    EXPECT_FALSE(a.stored);
    EXPECT_EQ(readBytes(db()).size(), 512u);
}

TEST_F(LogDatabase, NothingIsAppendedAfterAForeignHeader) {
    std::vector<uint8_t> foreign = expectedHeader();
    foreign[0] = 'Z';
    writeBytes(db(), foreign.data(), foreign.size());
    RecordBytes r = copyRecord(3, 15);
    info.lastStoredLogNo = 2;
    EXPECT_FALSE(appendLogRecord(db(), info, r.data(), 128, dir).stored);
    EXPECT_EQ(readBytes(db()), foreign);
    EXPECT_EQ(info.lastStoredLogNo, 2);
    EXPECT_FALSE(fs::exists(dir / "LINE-01"));
}
