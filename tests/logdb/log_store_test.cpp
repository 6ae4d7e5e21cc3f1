// The log store a connection holds open while records flow: appends go to the
// page cache, reach the disk at a sync on the sync worker, a database that
// fails its check is never written to, a damaged tail is no record, each
// stored record has one whole daily line, and a database removed while open
// takes no more records.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>

#include "common/result_codes.h"
#include "log_test_support.h"
#include "logdb/log_database.h"
#include "logdb/log_store.h"
#include "logdb/log_tail.h"
#include "support/held_disk.h"

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
    // Record 2's line went first; fetched again once there is room, the
    // record finds it there: one line per record.
    const fs::path dailyFile = dir / "LINE-01" / "LINE-01(2026-03-15).txt";
    const std::string before = readText(dailyFile);
    EXPECT_EQ(std::count(before.begin(), before.end(), '\n'), 2);
    ASSERT_EQ(store.open(db(), info, dir).result, PASS);
    ASSERT_TRUE(store.append(b.data(), 128, info).stored);
    store.close();
    EXPECT_EQ(readText(dailyFile), before);
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

// What a crash can leave behind the last record: a torn record, slots of
// zeros (written, or a sparse stretch whose bytes never reached the disk).
// None of it is a record: the readers stop at the last record, the store
// takes its number (never log number 0 from a slot of zeros), says what it
// found, and cuts it before the next record.
TEST_F(LogStoreTest, ADamagedTailIsNoRecordAndIsCutBeforeTheNextAppend) {
    struct Case {
        const char* what;
        uint32_t records;
        std::function<void(const fs::path&)> damage;
        const char* note;
    } cases[] = {
        {"a torn record", 3,
         [](const fs::path& p) {
             std::vector<uint8_t> b(50, 0xEE);
             writeBytes(p, b.data(), b.size(), true);
         },
         "its last 50 bytes are a record cut short"},
        {"slots of written zeros", 3,
         [](const fs::path& p) {
             std::vector<uint8_t> b(5 * 128, 0);
             writeBytes(p, b.data(), b.size(), true);
         },
         "its last 640 bytes hold only zeros (5 record slots)"},
        {"a sparse tail", 3,
         [](const fs::path& p) { fs::resize_file(p, fs::file_size(p) + 5 * 128); },
         "its last 640 bytes hold only zeros (5 record slots)"},
        {"zeros and a torn record", 3,
         [](const fs::path& p) {
             std::vector<uint8_t> b(2 * 128 + 40, 0);
             writeBytes(p, b.data(), b.size(), true);
         },
         "its last 296 bytes are no records: 2 record slots of zeros and a record cut short"},
        {"zeros and no record", 0,
         [](const fs::path& p) {
             std::vector<uint8_t> b(4 * 128, 0);
             writeBytes(p, b.data(), b.size(), true);
         },
         "its last 512 bytes hold only zeros (4 record slots)"},
        {"a sparse tail of 4 GB", 3,
         [](const fs::path& p) { fs::resize_file(p, 512 + 3 * 128 + (uint64_t(4) << 30)); },
         "its last 4294967296 bytes hold only zeros (33554432 record slots)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::vector<uint8_t> bytes = header();
        for (uint32_t n = 0; n < c.records; ++n) {
            const RecordBytes r = record(70 + n);
            bytes.insert(bytes.end(), r.b.begin(), r.b.end());
        }
        writeBytes(db(), bytes.data(), bytes.size());
        c.damage(db());

        // Every reader stops at the last record.
        EXPECT_EQ(summarizeLogDatabase(db()).count, c.records);
        EXPECT_EQ(readLogDatabase(db()).count, c.records);
        EXPECT_EQ(readLogDatabaseTail(db(), 100).total, c.records);

        info.lastStoredLogNo = 41;
        LogStore store;
        const LogDatabaseCheck check = store.open(db(), info, dir);
        ASSERT_EQ(check.result, PASS);
        EXPECT_EQ(check.holdsRecords, c.records > 0);
        EXPECT_EQ(info.lastStoredLogNo, c.records ? int32_t(70 + c.records - 1) : 0);
        EXPECT_EQ(store.note(), std::string(c.note) +
                                    ", as an interrupted write leaves them"
                                    "; they are cut before the next record is stored")
            << store.note();
        const RecordBytes next = record(70 + c.records);
        ASSERT_TRUE(store.append(next.data(), 128, info).stored);
        store.close();
        bytes.insert(bytes.end(), next.b.begin(), next.b.end());
        EXPECT_EQ(fs::file_size(db()), bytes.size());
        EXPECT_EQ(readBytes(db()), bytes);
    }
}

// A line a crash cut short (text, or zeros whose bytes never reached the
// disk) is cut when its file is opened again: the next line starts on a line
// of its own, and the record whose line was torn gets it whole.
TEST_F(LogStoreTest, ATornDailyLineIsCutWhenItsFileIsOpenedAgain) {
    const std::string line10 = reportLine(decodeLogRecord(record(10).data()));
    const std::string line11 = reportLine(decodeLogRecord(record(11).data()));
    struct Case {
        const char* what;
        std::string before;
        std::string after;
    } cases[] = {
        {"a torn line", line10 + "\n" + line11.substr(0, 20), line10 + "\n" + line11 + "\n"},
        {"zeros", line10 + "\n" + std::string(300, '\0'), line10 + "\n" + line11 + "\n"},
        {"nothing but a torn line", line11.substr(0, 7), line11 + "\n"},
        {"whole lines", line10 + "\n", line10 + "\n" + line11 + "\n"},
    };
    const fs::path daily = dir / "LINE-01" / "LINE-01(2026-03-15).txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        fs::create_directories(daily.parent_path());
        std::vector<uint8_t> bytes = header();
        const RecordBytes r10 = record(10);
        bytes.insert(bytes.end(), r10.b.begin(), r10.b.end());
        writeBytes(db(), bytes.data(), bytes.size());
        writeBytes(daily, c.before.data(), c.before.size());
        LogStore store;
        ASSERT_EQ(store.open(db(), info, dir).result, PASS);
        ASSERT_TRUE(store.append(record(11).data(), 128, info).stored);
        EXPECT_EQ(readText(daily), c.after);
        const bool torn = c.before.back() != '\n';
        EXPECT_EQ(store.note().find("were a line cut short and have been cut") != std::string::npos,
                  torn)
            << store.note();
    }
}

// The database removed with its folder, moved away, or replaced by another
// file while the store holds it open: the next record is neither stored in
// the old file nor given a daily line, nothing is created at the path, and
// the store says what happened.
TEST_F(LogStoreTest, ADatabaseRemovedOrReplacedWhileOpenTakesNoMoreRecords) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& folder)> change;
        const char* problem;
    } cases[] = {
        {"the file removed", [](const fs::path& f) { fs::remove(f / "A1.QX42.LOGDATA"); },
         "was removed while job-log records were stored in it"},
        {"its folder removed", [](const fs::path& f) { fs::remove_all(f); },
         "was removed while job-log records were stored in it"},
        {"its folder moved", [](const fs::path& f) { fs::rename(f, f.string() + ".old"); },
         "was moved away (or its folder was)"},
        {"the file replaced",
         [](const fs::path& f) {
             std::vector<uint8_t> other = header();
             writeBytes(f / "other", other.data(), other.size());
             fs::rename(f / "other", f / "A1.QX42.LOGDATA");
         },
         "was replaced by another file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir);
        const fs::path folder = dir / "DATABASE";
        fs::create_directories(folder);
        const fs::path path = folder / "A1.QX42.LOGDATA";
        LogStore store;
        ASSERT_EQ(store.open(path, info, dir).result, PASS);
        ASSERT_TRUE(store.append(record(1).data(), 128, info).stored);
        c.change(folder);
        const bool there = fs::exists(path);
        const auto before = there ? readBytes(path) : std::vector<uint8_t>();

        EXPECT_FALSE(store.append(record(2).data(), 128, info).stored);
        EXPECT_FALSE(store.isOpen());
        EXPECT_EQ(store.failure(), DATABASE_NOT_EXIST);
        EXPECT_NE(store.problem().find(c.problem), std::string::npos) << store.problem();
        EXPECT_NE(store.problem().find("nothing more is stored"), std::string::npos);
        EXPECT_EQ(info.lastStoredLogNo, 1);
        EXPECT_EQ(fs::exists(path), there);
        if (there) {
            EXPECT_EQ(readBytes(path), before);
        }
        const std::string daily = readText(dir / "LINE-01" / "LINE-01(2026-03-15).txt");
        EXPECT_EQ(std::count(daily.begin(), daily.end(), '\n'), 1) << "no line for record 2";
    }
}

namespace {

bool woken(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

} // namespace

// A sync runs on the worker: starting it returns at once, records keep being
// stored meanwhile, and they count as synced only when the sync has ended.
// The daily files go to the disk before the database. A sync the disk
// refuses cuts the database back to what the last good sync made safe.
TEST_F(LogStoreTest, SyncsRunOnTheWorkerAndCountOnlyOnceDone) {
    HeldDisk disk;
    SyncWorker worker([&](int fd) { return disk.sync(fd); });
    ReleaseOnExit release{disk};
    LogStore store;
    store.setSyncWorker(&worker);
    ASSERT_EQ(store.open(db(), info, dir).result, PASS);
    for (uint32_t n = 10; n < 13; ++n)
        ASSERT_TRUE(store.append(record(n, n == 10 ? 15 : 16).data(), 128, info).stored);

    ASSERT_TRUE(store.startSync());
    EXPECT_TRUE(store.syncRunning());
    EXPECT_FALSE(store.startSync());                                    // one at a time
    ASSERT_TRUE(store.append(record(13, 16).data(), 128, info).stored); // not held by the sync
    EXPECT_FALSE(store.syncEnded());
    EXPECT_TRUE(store.unsynced());
    EXPECT_EQ(store.syncedSize(), 512u);

    disk.let(true);
    ASSERT_TRUE(woken(worker.wakeFd(), 30000)) << "the worker wakes the event loop";
    worker.takeWakeups();
    EXPECT_FALSE(woken(worker.wakeFd(), 0));
    ASSERT_TRUE(store.syncEnded());
    const LogStore::SyncResult done = store.finishSync();
    EXPECT_TRUE(done.ok);
    EXPECT_EQ(done.lastStoredLogNo, 12);
    EXPECT_EQ(store.syncedSize(), 512u + 3 * 128); // not record 13: it came after the start
    EXPECT_EQ(store.syncCount(), 1u);
    EXPECT_TRUE(store.unsynced());
    EXPECT_EQ(disk.synced,
              (std::vector<std::string>{"LINE-01(2026-03-15).txt", "LINE-01(2026-03-16).txt",
                                        "A1.QX42.LOGDATA"}));

    // The disk refuses the next sync: record 13 goes, to be fetched again.
    disk.let(true, EIO);
    ASSERT_TRUE(store.startSync());
    ASSERT_TRUE(woken(worker.wakeFd(), 30000));
    ASSERT_TRUE(store.syncEnded());
    const LogStore::SyncResult refused = store.finishSync();
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.lastStoredLogNo, 12);
    EXPECT_TRUE(refused.holdsRecords);
    EXPECT_FALSE(store.isOpen());
    EXPECT_EQ(store.failure(), DATABASE_WRITE_FAIL);
    EXPECT_EQ(store.problem(), "cannot be brought to the disk: Input/output error");
    EXPECT_EQ(fs::file_size(db()), 512u + 3 * 128);
}
