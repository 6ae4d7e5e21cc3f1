// The log store a connection holds open while records flow: appends go to the
// page cache, reach the disk at sync, and a database that fails its check is
// never written to.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <functional>

#include "common/result_codes.h"
#include "log_test_support.h"
#include "logdb/log_database.h"
#include "logdb/log_store.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

RecordBytes record(uint32_t logNo, int day = 15) {
    RecordBytes r;
    r.job(logNo, 2026, 3, day, 9, 5, 0, 2).u8(14, 1).be32(24, 2048).be32(32, 2048);
    return r;
}

std::vector<uint8_t> header() {
    std::vector<uint8_t> h(512);
    logDatabaseHeader(h.data());
    return h;
}

class LogStoreTest : public TempDirTest {
protected:
    fs::path db() const { return dir / "A1.QX42.LOGDATA"; }
    void SetUp() override {
        TempDirTest::SetUp();
        info = machine("LINE-01", "UB-16", "A1");
    }
    MachineInfo info;
};

} // namespace

TEST_F(LogStoreTest, RecordsReachTheDiskAtSyncNotAtEachAppend) {
    LogStore store;
    ASSERT_EQ(store.open(db(), info, dir).result, PASS);
    EXPECT_EQ(readBytes(db()), header());
    std::vector<uint8_t> expected = header();
    for (uint32_t n = 10; n < 16; ++n) {
        RecordBytes r = record(n, n < 13 ? 15 : 16);
        AppendedRecord a = store.append(r.data(), 128, info);
        ASSERT_TRUE(a.stored);
        EXPECT_EQ(info.lastStoredLogNo, int32_t(n));
        expected.insert(expected.end(), r.b.begin(), r.b.end());
    }
    EXPECT_TRUE(store.unsynced());
    EXPECT_EQ(store.syncCount(), 0u);
    EXPECT_EQ(store.syncedSize(), 512u);
    // Readers see the records at once (they are in the file, not in a buffer).
    EXPECT_EQ(readBytes(db()), expected);

    LogStore::SyncResult synced = store.sync();
    EXPECT_TRUE(synced.ok);
    EXPECT_EQ(synced.lastStoredLogNo, 15);
    EXPECT_EQ(store.syncCount(), 1u);
    EXPECT_EQ(store.syncedSize(), 512u + 6 * 128);
    EXPECT_FALSE(store.unsynced());
    store.sync(); // nothing new: no second trip to the disk
    EXPECT_EQ(store.syncCount(), 1u);

    // Each record's daily line once, in its own day's file.
    const std::string day15 = readText(dir / "LINE-01" / "LINE-01(2026-03-15).txt");
    const std::string day16 = readText(dir / "LINE-01" / "LINE-01(2026-03-16).txt");
    EXPECT_EQ(std::count(day15.begin(), day15.end(), '\n'), 3);
    EXPECT_EQ(std::count(day16.begin(), day16.end(), '\n'), 3);
    EXPECT_EQ(day16.substr(0, 8), "0000014 ");
}

// Every way a database can fail its check: the store stays closed, nothing
// is appended, no daily line is written, and the file stays as it was.
TEST_F(LogStoreTest, ADatabaseThatFailsItsCheckIsNeverWritten) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        DatabaseResult result;
        const char* problem;
    } cases[] = {
        {"another title",
         [](const fs::path& p) {
             auto h = header();
             h[3] = 'x';
             writeBytes(p, h.data(), h.size());
         },
         DATABASE_WRONG_TITLE, "its title is not a job-log database's"},
        {"another version",
         [](const fs::path& p) {
             auto h = header();
             h[129] = '9';
             writeBytes(p, h.data(), h.size());
         },
         DATABASE_WRONG_VERSION, "its version is not 2.01.10.03"},
        {"garbage written over it",
         [](const fs::path& p) {
             std::vector<uint8_t> g(5000);
             for (size_t i = 0; i < g.size(); ++i)
                 g[i] = uint8_t(i * 37 + 11);
             writeBytes(p, g.data(), g.size());
         },
         DATABASE_WRONG_TITLE, "title"},
        {"a short header of other bytes",
         [](const fs::path& p) {
             auto h = header();
             h[50] = '#';
             writeBytes(p, h.data(), 300);
         },
         DATABASE_CORRUPT, "header is cut short"},
        {"a folder", [](const fs::path& p) { fs::create_directories(p / "inside"); },
         DATABASE_CORRUPT, "is a folder"},
        {"a pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         DATABASE_CORRUPT, "not a regular file"},
        {"its folder missing", [](const fs::path&) {}, DATABASE_CREATE_FAIL, "cannot be created"},
    };
    for (const Case& c : cases) {
        const fs::path path = std::string(c.what) == std::string("its folder missing")
                                  ? dir / "gone" / "A1.QX42.LOGDATA"
                                  : db();
        fs::remove_all(path);
        c.make(path);
        const auto before = fs::is_regular_file(path) ? readBytes(path) : std::vector<uint8_t>();
        info.lastStoredLogNo = 41;
        LogStore store;
        const LogDatabaseCheck check = store.open(path, info, dir);
        EXPECT_EQ(check.result, c.result) << c.what;
        EXPECT_NE(store.problem().find(c.problem), std::string::npos)
            << c.what << ": " << store.problem();
        EXPECT_FALSE(store.isOpen()) << c.what;
        EXPECT_EQ(info.lastStoredLogNo, 41) << c.what << ": left as it was";
        RecordBytes r = record(42);
        EXPECT_FALSE(store.append(r.data(), 128, info).stored) << c.what;
        store.close();
        if (fs::is_regular_file(path)) {
            EXPECT_EQ(readBytes(path), before) << c.what;
        }
        EXPECT_FALSE(fs::exists(dir / "LINE-01")) << c.what << ": no daily line";
        EXPECT_EQ(info.lastStoredLogNo, 41) << c.what;
    }
}

// An interrupted creation leaves a piece of our own header: it is completed,
// since it holds nothing that could be lost.
TEST_F(LogStoreTest, AHeaderCutShortByAnInterruptedCreationIsCompleted) {
    for (size_t cut : {size_t(0), size_t(1), size_t(300), size_t(511)}) {
        auto h = header();
        writeBytes(db(), h.data(), cut);
        LogStore store;
        EXPECT_EQ(store.open(db(), info, dir).result, PASS) << cut;
        EXPECT_NE(store.note().find("completed"), std::string::npos) << cut;
        RecordBytes r = record(3);
        EXPECT_TRUE(store.append(r.data(), 128, info).stored) << cut;
        store.close();
        std::vector<uint8_t> expected = header();
        expected.insert(expected.end(), r.b.begin(), r.b.end());
        EXPECT_EQ(readBytes(db()), expected) << cut;
    }
}

TEST_F(LogStoreTest, OneWriterPerDatabase) {
    LogStore first, second;
    ASSERT_EQ(first.open(db(), info, dir).result, PASS);
    MachineInfo other = info;
    EXPECT_EQ(second.open(db(), other, dir).result, DATABASE_WRITE_FAIL);
    EXPECT_NE(second.problem().find("being written by another"), std::string::npos);
    first.close();
    EXPECT_EQ(second.open(db(), other, dir).result, PASS);
}

// The disk refuses the write (here: the file size limit, as a full disk
// would): no part of the record stays, the store closes and says why, and
// what was stored before is on the disk.
TEST_F(LogStoreTest, AWriteTheDiskRefusesLeavesNoPartAndClosesTheStore) {
    LogStore store;
    ASSERT_EQ(store.open(db(), info, dir).result, PASS);
    RecordBytes a = record(1), b = record(2);
    ASSERT_TRUE(store.append(a.data(), 128, info).stored);

    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 512 + 128 + 60; // room for part of the next record only
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    AppendedRecord refused = store.append(b.data(), 128, info);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(refused.stored);
    EXPECT_FALSE(store.isOpen());
    EXPECT_NE(store.problem().find("cannot be written"), std::string::npos) << store.problem();
    EXPECT_EQ(info.lastStoredLogNo, 1);
    std::vector<uint8_t> expected = header();
    expected.insert(expected.end(), a.b.begin(), a.b.end());
    EXPECT_EQ(readBytes(db()), expected);
    EXPECT_EQ(store.syncedSize(), expected.size()); // closing brought record 1 to the disk
    const std::string daily = readText(dir / "LINE-01" / "LINE-01(2026-03-15).txt");
    EXPECT_EQ(std::count(daily.begin(), daily.end(), '\n'), 1);
}

// After a power cut the file holds what the last sync made safe, maybe with
// part of a later record: the store counts the whole records and cuts the
// torn one before its next append.
TEST_F(LogStoreTest, AfterAPowerCutTheWholeRecordsAreTheTruthAndATornOneIsCut) {
    uint64_t safe = 0;
    {
        LogStore store;
        ASSERT_EQ(store.open(db(), info, dir).result, PASS);
        for (uint32_t n = 0; n < 3; ++n)
            ASSERT_TRUE(store.append(record(n).data(), 128, info).stored);
        store.sync();
        safe = store.syncedSize();
        for (uint32_t n = 3; n < 5; ++n)
            ASSERT_TRUE(store.append(record(n).data(), 128, info).stored);
    }
    // What the disk kept: the synced records and 50 bytes of record 3.
    fs::resize_file(db(), safe + 50);
    LogStore store;
    const LogDatabaseCheck check = store.open(db(), info, dir);
    ASSERT_EQ(check.result, PASS);
    EXPECT_TRUE(check.holdsRecords);
    EXPECT_EQ(info.lastStoredLogNo, 2); // records 3 and 4 are fetched again
    ASSERT_TRUE(store.append(record(3).data(), 128, info).stored);
    store.close();
    const LogDatabaseContents contents = readLogDatabase(db());
    ASSERT_EQ(contents.count, 4u);
    EXPECT_EQ(fs::file_size(db()), 512u + 4 * 128);
    for (uint32_t n = 0; n < 4; ++n)
        EXPECT_EQ(0, std::memcmp(contents.record(n), record(n).data(), 128)) << n;
}
