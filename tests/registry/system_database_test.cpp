#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <array>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>

#include "common/result_codes.h"
#include "common/text.h"
#include "registry/system_database.h"
#include "shell/shell_test_files.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::TempDir;
using shelltest::writeFile;

namespace {

constexpr size_t kEntry0 = 120;

MachineInfo sampleMachine(const char* id, const char* nick) {
    MachineInfo m{};
    m.deviceType = 2;
    m.support_LogRecord = 1;
    m.portQty_per_Row = 10;
    m.flag_support_asynchronous_erase = 0x11;
    m.flag_support_one_Pellux_Device = 0x12;
    m.flag_support_asynchronous_PelluxCopy = 0x13;
    m.flag_support_batch_Command = 0x14;
    m.flag_support_RUN_ACTION_Command = 0x15;
    m.flag_support_PELLUX_FORMAT = 0x16;
    m.flag_support_HARDWARE_CHECK_HDD_EXIST = 0x17;
    m.flag_feature_bit5 = 0x18;
    m.machineType = 2;
    copyField(m.machineId, sizeof m.machineId, id);
    copyField(m.nickName, sizeof m.nickName, nick);
    m.boardQty = 0x01020304;
    m.portQty_per_board = 0x05060708;
    m.maxDeviceQty = 40;
    m.systemTotalBufferSize = -2;
    copyField(m.modelName, sizeof m.modelName, "UB40");
    copyField(m.version, sizeof m.version, "V1.23");
    m.lastStoredLogNo = 77;
    m.Machine_LOG_startNo = 0xA1B2C3D4;
    m.Machine_LOG_nextNewNo = 0x100;
    m.controller_version_MAJOR = 1;
    m.controller_version_SUB = 2;
    m.controller_version_MINOR = 3;
    m.flag_support_probe_machine = 0x21;
    m.flag_support_probe_machine_sensor = 0x22;
    m.flag_feature_bit3 = 0x23;
    m.flag_feature_bit4 = 0x24;
    m.flag_feature_bit7 = 0x25;
    m.wideCounters = 0x26;
    m.isMachineType16 = 0x27;
    return m;
}

// sampleMachine("LINE-01", "Left") as a registry entry, written out by hand
// from the entry layout, with the given lastStoredLogNo bytes.
std::array<uint8_t, 1128> sampleEntry(uint8_t lastStored) {
    std::array<uint8_t, 1128> x{};
    auto put = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes)
            x[at++] = b;
    };
    put(0, {1, 2, 1, 10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 2});
    put(13, {'L', 'I', 'N', 'E', '-', '0', '1'});
    put(77, {'L', 'e', 'f', 't'});
    put(208, {0x04, 0x03, 0x02, 0x01});
    put(212, {0x08, 0x07, 0x06, 0x05});
    put(216, {40, 0, 0, 0});
    put(220, {0xFE, 0xFF, 0xFF, 0xFF});
    put(224, {'U', 'B', '4', '0'});
    put(288, {'V', '1', '.', '2', '3'});
    put(324, {lastStored, 0, 0, 0});
    put(328, {0xD4, 0xC3, 0xB2, 0xA1});
    put(332, {0x00, 0x01, 0x00, 0x00});
    put(592, {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0});
    put(608, {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27});
    return x;
}

std::vector<uint8_t> registryBytes() {
    std::vector<uint8_t> file(9144, 0);
    std::memcpy(file.data(), kRegistryTitle, 100);
    std::memcpy(file.data() + 100, "2.01.10.02          ", 20);
    return file;
}

ino_t inodeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class RegistryTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir / "BRELLOCK_QX42.DB7";
};

TEST_F(RegistryTest, FreshFileIsTitleVersionAndZeroEntries) {
    SYSTEM_DATABASE db;
    ASSERT_EQ(db.open(path), DATABASE_NOT_EXIST);
    ASSERT_EQ(db.create(path), PASS);
    const std::vector<uint8_t> file = readFile(path);
    ASSERT_EQ(file.size(), 9144u);
    const std::string title(file.begin(), file.begin() + 100);
    EXPECT_EQ(title, std::string(kRegistryTitle));
    EXPECT_EQ(title.find_last_not_of(' '), std::string(kRegistryTitle).find_last_not_of(' '));
    EXPECT_EQ(title.back(), ' ');
    EXPECT_EQ(std::string(file.begin() + 100, file.begin() + 120), "2.01.10.02          ");
    for (size_t i = 120; i < file.size(); ++i)
        ASSERT_EQ(file[i], 0) << "offset " << i;
    for (int i = 0; i < db.entryCount(); ++i)
        EXPECT_FALSE(db.isInUse(i));
    EXPECT_EQ(db.entryCount(), 8);
}

TEST_F(RegistryTest, RegisteringWritesTheEntryAtOnceByteForByte) {
    SYSTEM_DATABASE db;
    ASSERT_EQ(db.create(path), PASS);
    MachineInfo first = sampleMachine("LINE-01", "Left");
    int position = -1;
    ASSERT_TRUE(db.addMachine(first, &position));
    EXPECT_EQ(position, 0);
    EXPECT_EQ(first.lastStoredLogNo, 0); // the caller's record: nothing stored yet

    std::vector<uint8_t> file = readFile(path); // no release: written at once
    ASSERT_EQ(file.size(), 9144u);
    const std::array<uint8_t, 1128> expected = sampleEntry(0);
    for (size_t k = 0; k < expected.size(); ++k)
        ASSERT_EQ(file[kEntry0 + k], expected[k]) << "entry offset " << k;

    MachineInfo second = sampleMachine("LINE-02", "");
    ASSERT_TRUE(db.addMachine(second, &position));
    EXPECT_EQ(position, 1);
    file = readFile(path);
    EXPECT_EQ(file[kEntry0 + 1128], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[kEntry0 + 1128 + 13])), "LINE-02");
    EXPECT_EQ(file[kEntry0 + 2 * 1128], 0);
}

TEST_F(RegistryTest, ReadsAnEntryWrittenByHand) {
    std::vector<uint8_t> file = registryBytes();
    const std::array<uint8_t, 1128> entry = sampleEntry(42);
    std::copy(entry.begin(), entry.end(), file.begin() + kEntry0);
    ASSERT_TRUE(writeFile(path, file));

    SYSTEM_DATABASE db;
    ASSERT_EQ(db.open(path), PASS);
    ASSERT_TRUE(db.isInUse(0));
    EXPECT_FALSE(db.isInUse(1));
    MachineInfo expected = sampleMachine("LINE-01", "Left");
    expected.entryInUse = 1;
    expected.lastStoredLogNo = 42;
    const MachineInfo got = db.entry(0);
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
    EXPECT_EQ(got.boardQty, 0x01020304);
    EXPECT_EQ(got.systemTotalBufferSize, -2);
    EXPECT_EQ(got.Machine_LOG_startNo, 0xA1B2C3D4u);

    int position = -1;
    EXPECT_TRUE(db.findMachine(sampleMachine("LINE-01", "renamed"), &position));
    EXPECT_EQ(position, 0);
    EXPECT_FALSE(db.findMachine(sampleMachine("line-01", ""), &position)); // case matters
}

// Each file shape and what open makes of it: opened as it is, repaired
// with a message, or refused with its code. A refused file is left exactly as
// it was, also after the registry is released; an opened one is not
// rewritten unless a machine changes; a repaired one keeps what it held.
TEST_F(RegistryTest, EachFileShapeIsOpenedRepairedOrRefused) {
    enum Outcome { Opened, Repaired, Refused };
    auto withEntry = [](std::vector<uint8_t> f, int index, uint8_t lastStored) {
        const std::array<uint8_t, 1128> e = sampleEntry(lastStored);
        std::copy(e.begin(), e.end(), f.begin() + kEntry0 + index * 1128);
        return f;
    };
    struct Case {
        const char* what;
        std::function<std::vector<uint8_t>()> bytes;
        Outcome outcome;
        int code;
        int machines; // in use after open
    } cases[] = {
        {"whole registry with a machine", [&] { return withEntry(registryBytes(), 0, 5); }, Opened,
         PASS, 1},
        {"in-use marker 2",
         [] {
             auto f = registryBytes();
             f[kEntry0] = 2;
             return f;
         },
         Opened, PASS, 0},
        {"entry in use after a free one", [&] { return withEntry(registryBytes(), 1, 5); }, Opened,
         PASS, 1},
        {"free entry not zero",
         [] {
             auto f = registryBytes();
             f[kEntry0 + 3 * 1128 + 13] = 'A';
             return f;
         },
         Opened, PASS, 0},
        {"empty file", [] { return std::vector<uint8_t>(); }, Repaired, PASS, 0},
        {"half a title", [] { return std::vector<uint8_t>(kRegistryTitle, kRegistryTitle + 50); },
         Repaired, PASS, 0},
        {"title and version only",
         [] {
             auto f = registryBytes();
             f.resize(120);
             return f;
         },
         Repaired, PASS, 0},
        {"one byte short",
         [&] {
             auto f = withEntry(registryBytes(), 0, 5);
             f.pop_back();
             return f;
         },
         Repaired, PASS, 1},
        {"cut inside the first machine's id",
         [&] {
             auto f = withEntry(registryBytes(), 0, 5);
             f.resize(kEntry0 + 16);
             return f;
         },
         Repaired, PASS, 0},
        {"cut after the first machine's id",
         [&] {
             auto f = withEntry(registryBytes(), 0, 5);
             f.resize(kEntry0 + 300);
             return f;
         },
         Repaired, PASS, 1},
        {"foreign title",
         [] {
             auto f = registryBytes();
             f[0] = 'X';
             return f;
         },
         Refused, DATABASE_WRONG_TITLE, 0},
        {"foreign short file",
         [] {
             return std::vector<uint8_t>{'M', 'Z', 0x90, 0};
         },
         Refused, DATABASE_WRONG_TITLE, 0},
        {"other version",
         [] {
             auto f = registryBytes();
             std::memcpy(f.data() + 100, "2.01.10.03", 10);
             return f;
         },
         Refused, DATABASE_WRONG_VERSION, 0},
        {"version without blanks",
         [] {
             auto f = registryBytes();
             f[119] = 0;
             return f;
         },
         Refused, DATABASE_WRONG_VERSION, 0},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> bytes = c.bytes();
        ASSERT_TRUE(writeFile(path, bytes));
        std::string note;
        int inUse = 0;
        {
            SYSTEM_DATABASE db;
            EXPECT_EQ(db.open(path), c.code) << c.what;
            note = db.repairNote();
            for (int i = 0; i < db.entryCount(); ++i)
                inUse += db.isInUse(i);
            if (c.outcome == Refused) {
                EXPECT_EQ(db.errorName(db.open(path)), errorName(c.code)) << c.what;
                const std::string text = db.failureText(c.code, path);
                EXPECT_EQ(text.rfind(errorName(c.code) + "\n" + path + ": ", 0), 0u)
                    << c.what << ": " << text;
                MachineInfo m = sampleMachine("LINE-09", "");
                db.updateMachine(0, m); // as the close does for a connected machine
            }
            db.release();
        }
        EXPECT_EQ(inUse, c.machines) << c.what;
        const std::vector<uint8_t> after = readFile(path);
        switch (c.outcome) {
        case Opened:
        case Refused:
            EXPECT_TRUE(note.empty()) << c.what;
            EXPECT_EQ(after, bytes) << c.what;
            break;
        case Repaired: {
            EXPECT_NE(note.find(path), std::string::npos) << c.what << ": " << note;
            ASSERT_EQ(after.size(), 9144u) << c.what;
            // What the file held is still there, unless it was a cut machine id.
            const size_t kept = c.machines > 0 ? bytes.size() : std::min<size_t>(bytes.size(), 120);
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + long(kept), after.begin()))
                << c.what;
            EXPECT_EQ(std::string(after.begin(), after.begin() + 100), kRegistryTitle) << c.what;
            SYSTEM_DATABASE again;
            EXPECT_EQ(again.open(path), PASS) << c.what;
            EXPECT_TRUE(again.repairNote().empty()) << c.what << ": repaired once";
            break;
        }
        }
    }
}

// Files that exist but cannot be read are refused with the file and the
// cause named, and never replaced by an empty registry.
TEST_F(RegistryTest, AFileThatCannotBeReadIsRefusedByNameAndKept) {
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* cause;
    } cases[] = {
        {"a folder", [&] { std::filesystem::create_directory(path); }, "is a folder"},
        // Reading the start of a process's memory fails with an I/O error.
        {"an I/O error", [&] { std::filesystem::create_symlink("/proc/self/mem", path); },
         "cannot be read: Input/output error"},
        {"a pipe", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, "not a regular file"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(path);
        c.make();
        const auto type = std::filesystem::symlink_status(path).type();
        SYSTEM_DATABASE db;
        const int code = db.open(path);
        EXPECT_EQ(code, DATABASE_CORRUPT) << c.what;
        const std::string text = db.failureText(code, path);
        EXPECT_EQ(text.rfind("DATABASE_CORRUPT\n" + path + ": ", 0), 0u) << c.what << ": " << text;
        EXPECT_NE(text.find(c.cause), std::string::npos) << c.what << ": " << text;
        db.release();
        EXPECT_EQ(std::filesystem::symlink_status(path).type(), type) << c.what << ": not replaced";
    }
}

// A registry written elsewhere with a free entry between two machines: the
// gap stays, each machine keeps its place on the board (its position), and a
// new machine goes behind the last one.
TEST_F(RegistryTest, AGapBetweenMachinesIsKeptAndPositionsFollowTheBoard) {
    std::vector<uint8_t> file = registryBytes();
    std::array<uint8_t, 1128> e = sampleEntry(5);
    std::copy(e.begin(), e.end(), file.begin() + kEntry0);
    e[13 + 5] = '9'; // "LINE-91" in entry 2
    std::copy(e.begin(), e.end(), file.begin() + kEntry0 + 2 * 1128);
    file[kEntry0 + 1128 + 40] = 0xAB; // a free entry's other bytes
    ASSERT_TRUE(writeFile(path, file));

    SYSTEM_DATABASE db;
    ASSERT_EQ(db.open(path), PASS);
    int position = -1;
    ASSERT_TRUE(db.findMachine(sampleMachine("LINE-91", ""), &position));
    EXPECT_EQ(position, 1);
    EXPECT_EQ(fieldText(db.entryAt(1).machineId, 64), "LINE-91");
    db.updateMachine(position, sampleMachine("LINE-91", "Moved"));
    EXPECT_EQ(fieldText(db.entry(2).nickName, 131), "Moved");
    EXPECT_FALSE(db.isInUse(1));

    MachineInfo added = sampleMachine("LINE-NEW", "");
    ASSERT_TRUE(db.addMachine(added, &position));
    EXPECT_EQ(position, 2); // the third picture on the board
    db.release();
    const std::vector<uint8_t> after = readFile(path);
    ASSERT_EQ(after.size(), 9144u);
    EXPECT_EQ(after[kEntry0 + 1128], 0);
    EXPECT_EQ(after[kEntry0 + 1128 + 40], 0xAB);
    EXPECT_EQ(after[kEntry0 + 3 * 1128], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[kEntry0 + 3 * 1128 + 13])),
              "LINE-NEW");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[kEntry0 + 2 * 1128 + 77])), "Moved");

    // Behind the last machine only: with entry 7 in use, nothing more fits.
    SYSTEM_DATABASE full;
    file = registryBytes();
    std::copy(e.begin(), e.end(), file.begin() + kEntry0 + 7 * 1128);
    ASSERT_TRUE(writeFile(path, file));
    ASSERT_EQ(full.open(path), PASS);
    MachineInfo another = sampleMachine("LINE-X", "");
    EXPECT_FALSE(full.addMachine(another, &position));
}

TEST_F(RegistryTest, ALongerFileIsReadAndItsExcessIgnored) {
    std::vector<uint8_t> file = registryBytes();
    file.resize(9144 + 500, 0xEE);
    ASSERT_TRUE(writeFile(path, file));
    SYSTEM_DATABASE db;
    EXPECT_EQ(db.open(path), PASS);
}

TEST_F(RegistryTest, ResultNames) {
    const char* names[] = {"PASS",
                           "DATABASE_NOT_EXIST",
                           "MEMORY_NOT_ENOUGH_FOR_DATABASE",
                           "DATABASE_CORRUPT",
                           "DATABASE_WRONG_TITLE",
                           "DATABASE_WRONG_VERSION",
                           "DATABASE_CREATE_FAIL",
                           "DATABASE_WRITE_FAIL"};
    for (int code = 0; code < 8; ++code)
        EXPECT_EQ(SYSTEM_DATABASE::errorName(code), names[code]);
    EXPECT_EQ(SYSTEM_DATABASE::errorName(8), "unknown error code (8)");
}

TEST_F(RegistryTest, CreateAndWriteFailuresKeepTheLastGoodFile) {
    SYSTEM_DATABASE db;
    const std::string nowhere = dir / "no-such-folder/BRELLOCK_QX42.DB7";
    EXPECT_EQ(db.create(nowhere), DATABASE_CREATE_FAIL);
    EXPECT_EQ(db.failureText(DATABASE_CREATE_FAIL, nowhere),
              "DATABASE_CREATE_FAIL\n" + nowhere +
                  ": cannot be created: No such file or directory");
    // A folder standing where the file should go cannot be replaced by it.
    const std::string folder = dir / "folder.DB7";
    std::filesystem::create_directory(folder);
    EXPECT_EQ(db.create(folder), DATABASE_WRITE_FAIL);
    EXPECT_FALSE(std::filesystem::exists(folder + ".new"));
    // A directory at the path is read as a registry that cannot be read.
    EXPECT_EQ(db.open(folder), DATABASE_CORRUPT);
    EXPECT_NE(db.failureText(DATABASE_CORRUPT, folder).find("is a folder"), std::string::npos);

    ASSERT_EQ(db.create(path), PASS);
    MachineInfo m = sampleMachine("LINE-01", "Left");
    int position = -1;
    ASSERT_TRUE(db.addMachine(m, &position));
    // Whatever is planted where a temporary file might go stands in no write's way.
    std::filesystem::create_directory(path + ".new");
    db.updateMachine(0, sampleMachine("LINE-01", "Right"));
    EXPECT_EQ(db.write(), PASS);
    EXPECT_TRUE(std::filesystem::is_directory(path + ".new"));
    const std::vector<uint8_t> good = readFile(path);
    // The disk refuses the next write (the file size limit, as a full disk
    // would): the registry keeps the last good file.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    db.updateMachine(0, sampleMachine("LINE-01", "Middle"));
    const int refused = db.write();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(refused, DATABASE_WRITE_FAIL);
    EXPECT_EQ(db.failureText(refused, path),
              "DATABASE_WRITE_FAIL\n" + path + ": cannot be written: File too large");
    EXPECT_EQ(readFile(path), good);
    EXPECT_TRUE(db.changed());
}

TEST_F(RegistryTest, ASeenMachineIsUpdatedInMemoryAndWrittenAtClose) {
    {
        SYSTEM_DATABASE db;
        ASSERT_EQ(db.create(path), PASS);
        MachineInfo m = sampleMachine("LINE-01", "Left");
        int position;
        ASSERT_TRUE(db.addMachine(m, &position));
        db.release();
    }
    const std::vector<uint8_t> before = readFile(path);

    SYSTEM_DATABASE db;
    ASSERT_EQ(db.open(path), PASS);
    MachineInfo renamed = sampleMachine("LINE-01", "Right");
    renamed.lastStoredLogNo = 500;
    int position = -1;
    ASSERT_TRUE(db.findMachine(renamed, &position));
    ASSERT_EQ(position, 0);
    db.updateMachine(position, renamed);
    EXPECT_EQ(readFile(path), before); // not before the close
    EXPECT_EQ(fieldText(db.entry(0).nickName, 131), "Right");

    db.release();
    const std::vector<uint8_t> after = readFile(path);
    ASSERT_EQ(after.size(), 9144u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[kEntry0 + 77])), "Right");
    EXPECT_EQ(after[kEntry0 + 324], 500 & 0xFF);
    EXPECT_EQ(after[kEntry0 + 325], 500 >> 8);
    EXPECT_EQ(after[kEntry0], 1);
}

TEST_F(RegistryTest, CloseWithoutChangesLeavesTheFileUntouched) {
    {
        SYSTEM_DATABASE db;
        ASSERT_EQ(db.create(path), PASS);
        MachineInfo m = sampleMachine("LINE-01", "Left");
        int position;
        ASSERT_TRUE(db.addMachine(m, &position));
    }
    const ino_t inode = inodeOf(path);
    const auto stamp = std::filesystem::last_write_time(path);
    struct Case {
        const char* what;
        std::function<void(SYSTEM_DATABASE&)> run;
    } cases[] = {
        {"no machine attached", [](SYSTEM_DATABASE&) {}},
        {"the same machine seen again unchanged",
         [](SYSTEM_DATABASE& db) {
             int position = -1;
             MachineInfo m = db.entry(0);
             ASSERT_TRUE(db.findMachine(m, &position));
             db.updateMachine(position, m);
         }},
    };
    for (const Case& c : cases) {
        SYSTEM_DATABASE db;
        ASSERT_EQ(db.open(path), PASS);
        c.run(db);
        EXPECT_FALSE(db.changed()) << c.what;
        db.release();
        // A write would have put a new file in place of the old one.
        EXPECT_EQ(inodeOf(path), inode) << c.what;
        EXPECT_EQ(std::filesystem::last_write_time(path), stamp) << c.what;
    }
}

TEST_F(RegistryTest, EightMachinesFitAndANinthIsRefused) {
    SYSTEM_DATABASE db;
    ASSERT_EQ(db.create(path), PASS);
    for (int i = 0; i < 8; ++i) {
        MachineInfo m = sampleMachine(format("M%d", i).c_str(), "");
        int position = -1;
        ASSERT_TRUE(db.addMachine(m, &position));
        EXPECT_EQ(position, i);
    }
    MachineInfo ninth = sampleMachine("M8", "");
    int position = -1;
    EXPECT_FALSE(db.addMachine(ninth, &position));
    EXPECT_EQ(ninth.lastStoredLogNo, 77); // untouched when not registered
    EXPECT_TRUE(db.findMachine(sampleMachine("M5", ""), &position));
    EXPECT_EQ(position, 5);

    SYSTEM_DATABASE reread;
    ASSERT_EQ(reread.open(path), PASS);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(fieldText(reread.entry(i).machineId, 64), format("M%d", i));
}

TEST_F(RegistryTest, AMachineWithoutIdIsRegisteredNotFoundInAFreeEntry) {
    SYSTEM_DATABASE db;
    ASSERT_EQ(db.create(path), PASS);
    MachineInfo noId = sampleMachine("", "");
    int position = -1;
    EXPECT_FALSE(db.findMachine(noId, &position));
    ASSERT_TRUE(db.addMachine(noId, &position));
    EXPECT_EQ(position, 0);
    EXPECT_TRUE(db.findMachine(noId, &position));
    EXPECT_EQ(position, 0);
}

TEST(RegistryEntries, OutOfRangeIndexesAreHarmless) {
    SYSTEM_DATABASE db;
    EXPECT_FALSE(db.isInUse(-1));
    EXPECT_FALSE(db.isInUse(8));
    const MachineInfo none = db.entry(8);
    EXPECT_EQ(none.deviceType, 0);
    db.updateMachine(8, sampleMachine("X", ""));
    db.updateMachine(-1, sampleMachine("X", ""));
    EXPECT_FALSE(db.changed());
    EXPECT_EQ(db.write(), DATABASE_WRITE_FAIL); // nothing opened: no file to replace
}

TEST(RegistryEntries, SerialisationRoundTripsEveryByte) {
    MachineInfo m = sampleMachine("LINE-01", "Left");
    for (size_t i = 0; i < sizeof m.reserved3; ++i)
        m.reserved3[i] = uint8_t(i * 7);
    uint8_t bytes[1128];
    serializeMachineInfo(m, bytes);
    MachineInfo back{};
    deserializeMachineInfo(bytes, back);
    EXPECT_EQ(std::memcmp(&back, &m, sizeof m), 0);
}

} // namespace

// While machines run, a registration is written on the worker: addMachine
// returns before the disk is waited for. A write the disk refuses there is
// written again at release, as one that failed at once would be.
TEST_F(RegistryTest, ARegistrationIsWrittenOnTheWorkerAndAFailedOneAgainAtRelease) {
    SyncWorker worker;
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    auto hold = [&] {
        worker.submit([&] {
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [&] { return go; });
            go = false;
            return 0;
        });
    };
    auto let = [&] {
        std::lock_guard<std::mutex> lock(m);
        go = true;
        cv.notify_all();
    };
    SYSTEM_DATABASE db;
    db.setWorker(&worker);
    ASSERT_EQ(db.create(path), PASS);
    hold(); // the disk is busy
    MachineInfo first = sampleMachine("LINE-01", "Left");
    int position = -1;
    ASSERT_TRUE(db.addMachine(first, &position));
    EXPECT_EQ(position, 0);
    SYSTEM_DATABASE onDisk;
    ASSERT_EQ(onDisk.open(path), PASS);
    EXPECT_FALSE(onDisk.isInUse(0)) << "not written while the disk is busy";
    let();
    db.waitForWrites();
    EXPECT_FALSE(db.changed());
    ASSERT_EQ(onDisk.open(path), PASS);
    EXPECT_STREQ(onDisk.entry(0).machineId, "LINE-01");

    // Its folder is gone while the second machine is written.
    const std::string folder = dir / "registry";
    std::filesystem::create_directory(folder);
    const std::string moved = folder + "/BRELLOCK_QX42.DB7";
    std::filesystem::rename(path, moved);
    SYSTEM_DATABASE away;
    away.setWorker(&worker);
    ASSERT_EQ(away.open(moved), PASS);
    std::filesystem::rename(folder, folder + ".gone");
    MachineInfo second = sampleMachine("LINE-02", "Right");
    ASSERT_TRUE(away.addMachine(second, &position));
    away.waitForWrites();
    EXPECT_TRUE(away.changed());
    std::filesystem::rename(folder + ".gone", folder);
    away.release();
    ASSERT_EQ(onDisk.open(moved), PASS);
    EXPECT_STREQ(onDisk.entry(1).machineId, "LINE-02");
}
