#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "connection/machine.h"
#include "hidlink/usbhidioc.h"
#include "logdb/log_database.h"
#include "protocol/checksum.h"
#include "sim/virtual_bus.h"
#include "support/controller_script.h"
#include "support/held_disk.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir / "DATABASE");
        fs::create_directories(dir / "DEBUG_SESSION");
        script.install(mc);
        machine.setWorkingDirectory(dir);
    }

    void attach() {
        path = bus.plug(mc.device, 0x6C15, 0x2001);
        link = std::make_unique<CUsbhidioc>(bus);
        ASSERT_TRUE(link->openByPath(path, 0x6C15, 0x2001));
        machine.connect(&CUsbhidioc::takeFrameCallback, link.get(), &CUsbhidioc::sendFrameCallback,
                        link.get(), &ConnectionTest::onEvent, this, dir / "DEBUG_SESSION",
                        dir / "DATABASE", 0, 0);
    }
    void run(uint32_t ms) {
        for (uint32_t i = 0; i < ms; ++i) {
            clock.advance(1);
            bus.pump();
            if (link && link->awaitingReply())
                link->pollInput();
            machine.step();
        }
    }
    // Steps until `done`, `ms` of machine time at most; a sync on the worker
    // is given real time to end (up to 30 s, for a loaded machine).
    bool runUntil(const std::function<bool()>& done, uint32_t ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (uint32_t i = 0; !done() && std::chrono::steady_clock::now() < deadline; ++i) {
            if (i >= ms && !machine.logStore().syncRunning())
                break;
            run(1);
            if (machine.logStore().syncRunning())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return done();
    }
    static void onEvent(void* self, int, int code, int, const void*) {
        static_cast<ConnectionTest*>(self)->events.push_back(code);
    }

    dupmon::test::TempDir tmp{"dupmon-conn"};
    fs::path dir{tmp.path};
    ManualClock clock{{2026, 3, 15, 10, 0, 0, 0, 0}};
    VirtualBus bus{clock};
    TestUi ui;
    MachineInfo unused{};
    MiniController mc;
    ControllerScript script;
    // Outlives the connection, which hands it its last sync when it closes.
    std::unique_ptr<SyncWorker> worker;
    MACHINE machine{clock, ui};
    std::string path;
    std::unique_ptr<CUsbhidioc> link;
    std::vector<int> events;
};

} // namespace

TEST_F(ConnectionTest, DebugFileTakesTheEarlyLinesAfterItsBannerAndIsNamedForTheMonth) {
    attach();
    run(4000);
    const fs::path debug = dir / "DEBUG_SESSION" / "MID-0001(202603).txt";
    ASSERT_TRUE(fs::exists(debug));
    const std::string text = slurp(debug);
    const std::string rule(60, '=');
    EXPECT_EQ(text.rfind("\n" + rule + "\nOPEN Brellock DEBUG FILE at 2026-03-15 10:00:00\n" +
                             rule + "\n",
                         0),
              0u);
    const size_t connect = text.find("Machine connect ! ");
    const size_t device = text.find("Device connect ! ");
    const size_t id = text.find("Machine ID: [MID-0001]");
    const size_t support = text.find("machineInfo->support_LogRecord = 1");
    ASSERT_NE(device, std::string::npos);
    EXPECT_LT(device, connect);
    EXPECT_LT(connect, id);
    EXPECT_LT(id, support);
    EXPECT_NE(text.find("2026-03-15 10:00:0"), std::string::npos);
    EXPECT_NE(text.find("machineInfo->Machine_LOG_nextNewNo  =520"), std::string::npos);
    EXPECT_EQ(machine.bufferedBytes(), 0u);
    // Identification is followed by the clock: the machine becomes ready.
    EXPECT_NE(std::find(events.begin(), events.end(), int(EVENT_CLOCK_SET)), events.end());
}

TEST_F(ConnectionTest, JobLogFlowsIntoTheDatabaseOnceAndInOrder) {
    attach();
    run(6000);
    const auto db = readLogDatabase(dir / "DATABASE" / "MID-0001.QX42.LOGDATA");
    ASSERT_EQ(db.result, PASS);
    ASSERT_EQ(db.count, 20u);
    for (uint32_t i = 0; i < db.count; ++i)
        EXPECT_EQ(readBE32(db.record(i)), 500 + i);
    EXPECT_EQ(machine.info().lastStoredLogNo, 519);

    // Unplugged and plugged again: nothing is fetched twice, and the debug file is reused.
    machine.disconnect();
    bus.unplug(path);
    const size_t before = slurp(machine.debugFilePath()).size();
    script.logCount = 22;
    mc.commands.clear();
    attach();
    run(6000);
    const auto db2 = readLogDatabase(dir / "DATABASE" / "MID-0001.QX42.LOGDATA");
    ASSERT_EQ(db2.count, 22u);
    EXPECT_EQ(readBE32(db2.record(21)), 521u);
    const std::string text = slurp(machine.debugFilePath());
    EXPECT_GT(text.size(), before);
    // One opening banner only: the buffered lines went out once.
    EXPECT_EQ(text.find("OPEN Brellock"), text.rfind("OPEN Brellock"));
}

TEST_F(ConnectionTest, ImageBankBlockWithABadCrcIsDroppedSilently) {
    attach();
    run(4000);
    uint8_t block[256] = {0x23, 0, 0xFD, 0};
    std::memcpy(block + 4, "BANK-1", 6);
    writeBE32(block + 96, 3);  // max_image_qty
    writeBE32(block + 108, 1); // free_image_qty
    writeBE32(block + 252, crc32(block, 252) ^ 1);
    const std::string before = slurp(machine.debugFilePath());
    machine.onImageBankBlock(block);
    EXPECT_EQ(slurp(machine.debugFilePath()), before);
    EXPECT_EQ(machine.imageBank().max_image_qty, 0u);

    writeBE32(block + 252, crc32(block, 252));
    machine.onImageBankBlock(block);
    EXPECT_EQ(machine.imageBank().max_image_qty, 3u);
    EXPECT_NE(slurp(machine.debugFilePath()).find("identifySymbol=[BANK-1]"), std::string::npos);

    uint8_t table[4 + 1000] = {0x23, 0, 0, 0, 1, 0, 1};
    machine.onImageBankTable(table);
    const std::string text = slurp(machine.debugFilePath());
    EXPECT_NE(text.find("Pellux_existTable[3] =\n"), std::string::npos);
    EXPECT_NE(text.find(":  1 0 1\n"), std::string::npos); // stamp, then " %d" per entry
}

TEST_F(ConnectionTest, DisconnectReportsTheMachineGone) {
    attach();
    run(4000);
    machine.disconnect();
    EXPECT_EQ(events.back(), int(EVENT_DISCONNECTED));
    EXPECT_FALSE(machine.connected());
    EXPECT_NE(slurp(machine.debugFilePath()).find("Machine disconnect ! "), std::string::npos);
}

// Records reach the disk once a fetch pass has ended, at most four times a
// second while they keep coming, not after each one; the last ones too.
TEST_F(ConnectionTest, RecordsReachTheDiskAfterTheirFetchPass) {
    attach();
    run(6000);
    ASSERT_EQ(readLogDatabase(dir / "DATABASE" / "MID-0001.QX42.LOGDATA").count, 20u);
    const LogStore& store = machine.logStore();
    EXPECT_TRUE(store.isOpen());
    EXPECT_FALSE(store.unsynced());
    EXPECT_EQ(store.syncedSize(), 512u + 20 * 128);
    EXPECT_GE(store.syncCount(), 1u);
    EXPECT_LE(store.syncCount(), 10u) << "at least two records per pass";
    machine.disconnect();
    EXPECT_FALSE(machine.logStore().isOpen());
}

// A power cut after the last sync: the disk holds the synced records and a
// torn piece of the next. At the next start the database's own record count
// is the truth: the lost records are fetched again, the torn piece is cut,
// and every record is there once, in order.
TEST_F(ConnectionTest, RecordsLostByAPowerCutAreFetchedAgainAndATornTailIsCut) {
    machine.setSyncInterval(0); // a sync after every pass: the cut falls between two
    attach();
    for (int ms = 0; ms < 6000; ++ms) {
        run(1);
        if (machine.logStore().unsynced() && machine.info().lastStoredLogNo >= 507)
            break;
    }
    ASSERT_TRUE(machine.logStore().unsynced());
    const uint64_t safe = machine.logStore().syncedSize();
    ASSERT_GT(safe, 512u);
    const fs::path db = dir / "DATABASE" / "MID-0001.QX42.LOGDATA";
    machine.disconnect();
    bus.unplug(path);
    link.reset();
    fs::resize_file(db, safe + 37);

    attach();
    run(6000);
    const auto contents = readLogDatabase(db);
    ASSERT_EQ(contents.result, PASS);
    ASSERT_EQ(contents.count, 20u);
    EXPECT_EQ(fs::file_size(db), 512u + 20 * 128);
    for (uint32_t i = 0; i < contents.count; ++i)
        EXPECT_EQ(readBE32(contents.record(i)), 500 + i);
    // The records fetched again do not write their daily lines twice.
    size_t lines = 0;
    std::set<std::string> distinct;
    for (const auto& f : fs::recursive_directory_iterator(dir / "Line 3")) {
        std::istringstream text(slurp(f.path()));
        for (std::string line; std::getline(text, line); ++lines)
            distinct.insert(line);
    }
    EXPECT_EQ(lines, 20u);
    EXPECT_EQ(distinct.size(), 20u);
}

// Garbage over a machine's database: it is never written to, no record is
// asked for, the operator is told once which file and what is wrong with it,
// and the check is tried again later, less and less often. Once the file is
// mended the log flows.
TEST_F(ConnectionTest, ADatabaseThatFailsItsCheckIsLeftAloneAndNoRecordIsFetched) {
    const fs::path db = dir / "DATABASE" / "MID-0001.QX42.LOGDATA";
    std::vector<uint8_t> garbage(3000);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = uint8_t(i * 29 + 3);
    {
        std::ofstream(db, std::ios::binary)
            .write(reinterpret_cast<const char*>(garbage.data()), std::streamsize(garbage.size()));
    }
    attach();
    run(60000);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].caption, "DATABASE");
    EXPECT_EQ(ui.messages[0].text.rfind("DATABASE_WRONG_TITLE\n" + db.string() +
                                            ": its title is not a job-log database's\n",
                                        0),
              0u)
        << ui.messages[0].text;
    EXPECT_EQ(mc.countOf("W23"), 0);
    EXPECT_EQ(slurp(db), std::string(garbage.begin(), garbage.end()));
    EXPECT_TRUE(machine.logStoreFailing());
    // Tries after 1, 2, 4, 8, 16 and 32 s: the waits double, and each try is a line.
    const std::string debug = slurp(machine.debugFilePath());
    size_t tries = 0;
    for (size_t at = 0; (at = debug.find("next try in", at)) != std::string::npos; ++at)
        ++tries;
    EXPECT_EQ(tries, 6u);
    EXPECT_NE(debug.find("next try in 32 s"), std::string::npos);

    // The user puts a good database back: the next try finds it.
    ASSERT_TRUE(createLogDatabase(db));
    run(61000);
    EXPECT_FALSE(machine.logStoreFailing());
    const auto contents = readLogDatabase(db);
    ASSERT_EQ(contents.count, 20u);
    EXPECT_EQ(readBE32(contents.record(0)), 500u);
    EXPECT_EQ(ui.messages.size(), 1u);
    EXPECT_NE(slurp(machine.debugFilePath()).find("opened again"), std::string::npos);
}

// A database that cannot be created (its folder is a file): no busy loop of
// record requests, a few tries that say so, one message.
TEST_F(ConnectionTest, AStoreThatKeepsFailingBacksOffAndSaysSo) {
    fs::remove_all(dir / "DATABASE");
    std::ofstream(dir / "DATABASE") << "not a folder";
    attach();
    run(10000);
    EXPECT_EQ(mc.countOf("W23"), 0);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text.rfind("DATABASE_CREATE_FAIL\n", 0), 0u) << ui.messages[0].text;
    EXPECT_EQ(ui.messages[0].caption, "DATABASE");
    EXPECT_NE(ui.messages[0].text.find("cannot be created: Not a directory"), std::string::npos);
    const std::string debug = slurp(machine.debugFilePath());
    size_t tries = 0;
    for (size_t at = 0; (at = debug.find("next try in", at)) != std::string::npos; ++at)
        ++tries;
    EXPECT_EQ(tries, 4u); // at 0 s, then after 1, 2 and 4 s
    EXPECT_NE(debug.find("next try in 8 s"), std::string::npos);
}

// The disk refuses records in the middle of a sync (a size limit, as a full
// disk would): fetching stops instead of skipping the record, and once the
// disk takes records again every one is there once, in order.
TEST_F(ConnectionTest, ARecordTheDiskRefusesStopsTheFetchAndIsFetchedAgainLater) {
    const fs::path db = dir / "DATABASE" / "MID-0001.QX42.LOGDATA";
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 512 + 5 * 128 + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    attach();
    run(6000);
    const int asked = mc.countOf("W23");
    run(4000);
    const int askedLater = mc.countOf("W23");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);

    EXPECT_TRUE(machine.logStoreFailing());
    EXPECT_EQ(readLogDatabase(db).count, 5u);
    EXPECT_EQ(fs::file_size(db), 512u + 5 * 128);
    // Each try of the store may ask for a record or two, no more.
    EXPECT_LE(askedLater - asked, 4) << "asked " << asked << " then " << askedLater;
    ASSERT_FALSE(ui.messages.empty());
    EXPECT_EQ(
        ui.messages[0].text.rfind("DATABASE_WRITE_FAIL\n" + db.string() + ": cannot be written", 0),
        0u)
        << ui.messages[0].text;

    run(70000);
    EXPECT_FALSE(machine.logStoreFailing());
    const auto contents = readLogDatabase(db);
    ASSERT_EQ(contents.count, 20u);
    for (uint32_t i = 0; i < contents.count; ++i)
        EXPECT_EQ(readBE32(contents.record(i)), 500 + i);
    EXPECT_EQ(ui.messages.size(), 1u);
}

using test::HeldDisk;
using test::ReleaseOnExit;

// A disk that takes its time with every sync: the step never waits for it.
// The records keep coming while the first sync is held, and they count as
// synced only once a sync that covers them has ended.
TEST_F(ConnectionTest, ASlowDiskNeverHoldsTheStep) {
    HeldDisk disk;
    worker = std::make_unique<SyncWorker>([&](int fd) { return disk.sync(fd); });
    ReleaseOnExit release{disk};
    machine.setSyncWorker(worker.get());
    machine.setSyncInterval(0);
    attach();
    run(6000);
    const fs::path db = dir / "DATABASE" / "MID-0001.QX42.LOGDATA";
    EXPECT_EQ(readLogDatabase(db).count, 20u);
    EXPECT_TRUE(machine.logStore().syncRunning());
    EXPECT_TRUE(machine.logStore().unsynced());
    EXPECT_EQ(machine.logStore().syncCount(), 0u);

    disk.let(true);
    EXPECT_TRUE(runUntil([&] { return !machine.logStore().unsynced(); }, 20000));
    EXPECT_GE(machine.logStore().syncCount(), 1u);
    EXPECT_EQ(machine.logStore().syncedSize(), 512u + 20 * 128);
    EXPECT_TRUE(ui.messages.empty());
}

// A sync the disk refuses on the worker is reported as before: once, in the
// "DATABASE" box; what it did not make safe is cut and fetched again, so the
// database ends with every record once.
TEST_F(ConnectionTest, ASyncTheDiskRefusesIsReportedAndItsRecordsFetchedAgain) {
    HeldDisk disk;
    disk.open = true;
    disk.refuseDatabase = 1;
    worker = std::make_unique<SyncWorker>([&](int fd) { return disk.sync(fd); });
    machine.setSyncWorker(worker.get());
    attach();
    ASSERT_TRUE(runUntil([&] { return !ui.messages.empty(); }, 20000));
    const fs::path db = dir / "DATABASE" / "MID-0001.QX42.LOGDATA";
    EXPECT_EQ(ui.messages[0].text,
              "DATABASE_WRITE_FAIL\n" + db.string() +
                  ": cannot be brought to the disk: Input/output error\nNo job-log record of this "
                  "machine is fetched until it can be stored; the file is left as it is.");
    EXPECT_TRUE(machine.logStoreFailing());

    EXPECT_TRUE(runUntil(
        [&] { return readLogDatabase(db).count == 20 && !machine.logStore().unsynced(); }, 70000));
    const auto contents = readLogDatabase(db);
    ASSERT_EQ(contents.count, 20u);
    for (uint32_t i = 0; i < contents.count; ++i)
        EXPECT_EQ(readBE32(contents.record(i)), 500 + i);
    EXPECT_EQ(ui.messages.size(), 1u);
    EXPECT_FALSE(machine.logStoreFailing());
}

// The working folder removed while records flow: no record goes into the
// deleted files and nothing is made again in its place; one message says so.
// Once the folder is back, every record the machine holds is stored once.
TEST_F(ConnectionTest, TheWorkingFolderRemovedMidRunStopsStoringWithAMessage) {
    attach();
    run(6000);
    const fs::path db = dir / "DATABASE" / "MID-0001.QX42.LOGDATA";
    ASSERT_EQ(readLogDatabase(db).count, 20u);
    fs::remove_all(dir);
    script.logCount = 30; // ten more jobs end on the machine
    run(20000);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].caption, "DATABASE");
    EXPECT_EQ(ui.messages[0].text,
              "DATABASE_NOT_EXIST\n" + db.string() +
                  ": was removed while job-log records were stored in it; nothing more is stored "
                  "until it can be opened again\nNo job-log record of this machine is fetched "
                  "until it can be stored.");
    EXPECT_TRUE(machine.logStoreFailing());
    EXPECT_FALSE(fs::exists(dir)) << "nothing is written in its place";

    fs::create_directories(dir / "DATABASE");
    run(70000);
    EXPECT_FALSE(machine.logStoreFailing());
    const auto contents = readLogDatabase(db);
    ASSERT_EQ(contents.count, 30u);
    for (uint32_t i = 0; i < contents.count; ++i)
        EXPECT_EQ(readBE32(contents.record(i)), 500 + i);
    EXPECT_EQ(ui.messages.size(), 1u);
}
