// Every file the program reads, in every bad shape a user's disk can hand it:
// missing, empty, truncated, huge, of another title or version, unreadable,
// a folder, a pipe, a tail of zeros (written or sparse). Each case runs in a
// child process under a time limit and (outside the sanitizer build) a
// memory limit, so a crash, a hang or an allocation of the file's size shows
// as such. The expected outcome is what the program makes of the file: the
// message it gives, or what it falls back to. A file is never written over,
// except where completing it is the expected repair, and then what it held
// is kept.
//
// To add a file: write a Reader (its place, a good file's bytes, a file of
// another title or version when it has one, and what the program makes of
// it as one line of text) and its expected outcome for each shape.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bad_files_support.h"
#include "common/byte_order.h"
#include "common/position_file.h"
#include "common/result_codes.h"
#include "common/text.h"
#include "devinfo/get_device_info.h"
#include "logdb/log_database.h"
#include "logdb/log_store.h"
#include "logdb/log_tail.h"
#include "logdb/log_viewer.h"
#include "machine_window/window_texts.h"
#include "master_usb/download_flow.h"
#include "registry/picture_archive.h"
#include "registry/system_database.h"
#include "shell/window_position.h"
#include "sim/simulated_drives.h"
#include "support/test_ui.h"

using namespace dupmon;
using namespace dupmon::badfiles;
namespace fs = std::filesystem;

namespace {

enum class Shape {
    Missing,
    Empty,
    Truncated,
    Huge,
    OtherTitle,
    OtherVersion,
    Unreadable,
    Folder,
    Pipe,
    ZeroTail,  // the good bytes, then record slots of written zeros
    SparseTail // the good bytes, then a sparse stretch of record slots
};

const char* shapeName(Shape s) {
    switch (s) {
    case Shape::Missing:
        return "missing";
    case Shape::Empty:
        return "empty";
    case Shape::Truncated:
        return "truncated";
    case Shape::Huge:
        return "huge";
    case Shape::OtherTitle:
        return "another title";
    case Shape::OtherVersion:
        return "another version";
    case Shape::Unreadable:
        return "unreadable";
    case Shape::Folder:
        return "a folder";
    case Shape::Pipe:
        return "a pipe";
    case Shape::ZeroTail:
        return "a tail of zeros";
    case Shape::SparseTail:
        return "a sparse tail";
    }
    return "?";
}

constexpr std::array kShapes = {Shape::Missing,    Shape::Empty,      Shape::Truncated,
                                Shape::Huge,       Shape::OtherTitle, Shape::OtherVersion,
                                Shape::Unreadable, Shape::Folder,     Shape::Pipe,
                                Shape::ZeroTail,   Shape::SparseTail};

// A huge file: the good bytes, then a sparse stretch to 4 GB.
constexpr uint64_t kHugeSize = uint64_t(4) << 30;

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

struct Expectation {
    const char* outcome;    // a piece of the outcome line; nullptr: the shape does not apply
    bool completes = false; // the repair writes the rest of the file, keeping what it held
};

struct Reader {
    const char* name;
    // The file's place under the working folder.
    fs::path file;
    std::function<Bytes()> good;
    std::function<Bytes()> otherTitle;   // may be empty when the shape does not apply
    std::function<Bytes()> otherVersion; // likewise
    // Runs in the child: what the program makes of the file, as one line.
    std::function<std::string(const fs::path& work, const fs::path& file)> read;
    // When the huge shape puts the good bytes at the end instead of the start.
    bool hugeKeepsGoodBytesAtEnd = false;
    std::map<Shape, Expectation> expect;
};

// --- the files -------------------------------------------------------------

Bytes registryFile() {
    Bytes f(kRegistryFileSize, 0);
    std::memcpy(f.data(), kRegistryTitle, kRegistryTitleSize);
    std::memcpy(f.data() + kRegistryTitleSize, kRegistryVersion, kRegistryVersionSize);
    MachineInfo m = sampleMachine();
    m.entryInUse = 1;
    serializeMachineInfo(m, f.data() + 120);
    return f;
}

Bytes logDatabaseFile() {
    Bytes f(kLogHeaderSize);
    logDatabaseHeader(f.data());
    for (uint32_t n = 0; n < 3; ++n) {
        uint8_t r[kLogRecordSize] = {};
        writeBE32(r, 70 + n);
        r[4] = 26, r[5] = 3, r[6] = 15;
        f.insert(f.end(), r, r + sizeof r);
    }
    return f;
}

Bytes logDatabaseOtherTitle() {
    Bytes f = logDatabaseFile();
    f[0] = 'X';
    return f;
}

Bytes logDatabaseOtherVersion() {
    Bytes f = logDatabaseFile();
    f[125] = '7';
    return f;
}

Bytes pictureProgramFile() {
    PicturePair pair;
    pair.deviceType = 2;
    pair.portCount = 10;
    pair.onImage = {'B', 'M', 1, 2, 3};
    pair.offImage = {'B', 'M', 4, 5, 6};
    Bytes program = text("\x7F"
                         "ELF program bytes before the archive");
    const Bytes archive = buildPictureArchive({pair});
    program.insert(program.end(), archive.begin(), archive.end());
    return program;
}

std::string registryOutcome(const fs::path&, const fs::path& file) {
    SYSTEM_DATABASE db;
    int code = db.open(file.string());
    if (code == DATABASE_NOT_EXIST) {
        code = db.create(file.string());
        if (code == PASS)
            return "created";
    }
    if (code != PASS)
        return db.failureText(code, file.string());
    int machines = 0;
    for (int i = 0; i < db.entryCount(); ++i)
        machines += db.isInUse(i);
    return (db.repairNote().empty() ? "opened, " : "repaired: " + db.repairNote() + ", ") +
           std::to_string(machines) + " machines";
}

std::string logStoreOutcome(const fs::path& work, const fs::path& file) {
    MachineInfo info = sampleMachine();
    LogStore store;
    const LogDatabaseCheck check = store.open(file, info, work);
    if (check.result != PASS)
        return errorName(check.result) + ": " + store.problem();
    return "opened, last " + std::to_string(info.lastStoredLogNo) +
           (store.note().empty() ? "" : ", " + store.note());
}

std::string logToolOutcome(const fs::path&, const fs::path& file) {
    const LogDatabaseSummary s = summarizeLogDatabase(file);
    if (s.result != PASS)
        return errorName(s.result) + ": " + s.problem;
    return "records " + std::to_string(s.count) +
           (s.stored.damagedBytes() ? ", damaged: " + s.stored.damage() : "");
}

std::string positionOutcome(const fs::path&, const fs::path& file) {
    const auto r = readWindowPosition(file);
    return r ? format("position %d %d %d %d", r->top, r->left, r->width, r->height) : "default";
}

std::string placementOutcome(const fs::path&, const fs::path& file) {
    const auto p = readPositionFile(file, "M-1");
    if (!p)
        return "default";
    return format("placement %d %d %d %d", p->top, p->left, p->width, p->height);
}

std::string pictureOutcome(const fs::path& work, const fs::path& file) {
    PictureStore store;
    const PictureStore::Source source = store.loadPictures(file.string(), work.string());
    if (source == PictureStore::Source::Archive)
        return "archive";
    return std::string("loose files (") + archiveStatusName(store.archiveStatus()) + ")";
}

std::string deviceInfoOutcome(const fs::path& work, const fs::path&) {
    ManualClock clock;
    TestUi ui;
    GetDeviceInfoCore core(work, clock, ui);
    core.create(1920, 1080);
    const DeviceInfoParameters& p = core.startParameters();
    std::string out = p.placementRead
                          ? format("placement %d %d %d %d", p.top, p.left, p.width, p.height)
                          : "no placement";
    out += ", append [" + core.appendPath() + "], check [" + core.checkIdPath() + "], ids " +
           std::to_string(core.checkIds().size());
    for (const auto& m : ui.messages)
        out += ", box: " + m.text;
    return out;
}

std::string logViewerOutcome(const fs::path&, const fs::path& file) {
    const LogDatabaseTail tail = readLogDatabaseTail(file, 5000);
    if (tail.result != PASS)
        return logViewerLoadMessage(tail.result);
    return "rows " + std::to_string(tail.count) + " of " + std::to_string(tail.total);
}

std::string logViewerPositionOutcome(const fs::path&, const fs::path& file) {
    const auto p = readPositionFile(file, "M-1");
    return p ? format("position %d %d %d %d", p->top, p->left, p->width, p->height) : "default";
}

std::string downloadOutcome(const fs::path& work, const fs::path&) {
    SimulatedDrives drives(work / "drives");
    TestUi ui;
    ManualClock clock;
    DownloadFlow flow(drives, ui, clock, work);
    if (!flow.create())
        return "not created";
    const DownloadParameters& p = flow.parameters();
    return (p.top ? format("placement %d %d %d %d", *p.top, *p.left, *p.width, *p.height)
                  : std::string("no placement")) +
           format(", job %d, label [%s], source [%s]", p.job, p.label.c_str(),
                  p.sourceDirectory.c_str());
}

// The check-ID file the parameter file names.
std::string checkIdOutcome(const fs::path& work, const fs::path& file) {
    std::ofstream(work / kDeviceInfoParameterFile)
        << formatDeviceInfoParameters("p", 30, 40, 500, 400, "", file.string());
    return deviceInfoOutcome(work, file);
}

std::vector<Reader> readers() {
    const Bytes position = text("QX42B(USB,SD,CF) Ver:1.0.0 2026-12-10 notice\n10 20 800 600 \n");
    return {
        {"registry",
         "DATABASE/BRELLOCK_QX42.DB7",
         registryFile,
         [] {
             Bytes f = registryFile();
             f[5] ^= 0x20;
             return f;
         },
         [] {
             Bytes f = registryFile();
             f[110] = '9';
             return f;
         },
         registryOutcome,
         false,
         {{Shape::Missing, {"created"}},
          {Shape::Empty, {"repaired: The machine registry", true}},
          {Shape::Truncated, {"was 4572 bytes long instead of 9144", true}},
          {Shape::Huge, {"opened, 1 machines"}},
          {Shape::OtherTitle,
           {"DATABASE_WRONG_TITLE\n{file}: its title is not the machine registry's"}},
          {Shape::OtherVersion, {"DATABASE_WRONG_VERSION\n{file}: its version is not 2.01.10.02"}},
          {Shape::Unreadable, {"DATABASE_CORRUPT\n{file}: cannot be read: Input/output error"}},
          {Shape::Folder, {"DATABASE_CORRUPT\n{file}: is a folder, not a file"}},
          {Shape::Pipe, {"DATABASE_CORRUPT\n{file}: is not a regular file"}}}},
        {"log database, as the connection keeps it",
         "DATABASE/M-1.QX42.LOGDATA",
         logDatabaseFile,
         logDatabaseOtherTitle,
         logDatabaseOtherVersion,
         logStoreOutcome,
         false,
         {{Shape::Missing, {"opened, last 0"}},
          {Shape::Empty,
           {"opened, last 0, its header was 0 bytes long and has been completed", true}},
          {Shape::Truncated, {"opened, last 0, its header was 448 bytes long", true}},
          // The sparse stretch holds no record: never log number 0 from it.
          {Shape::Huge,
           {"opened, last 72, its last 4294966400 bytes hold only zeros (33554425 record slots), "
            "as an interrupted write leaves them; they are cut before the next record is stored"}},
          {Shape::OtherTitle, {"DATABASE_WRONG_TITLE: its title is not a job-log database's"}},
          {Shape::OtherVersion, {"DATABASE_WRONG_VERSION: its version is not 2.01.10.03"}},
          // The stand-in for an unreadable file is a link, which the store,
          // writing the file, does not follow.
          {Shape::Unreadable, {"DATABASE_WRITE_FAIL: is a symbolic link; it is left as it is"}},
          {Shape::Folder, {"DATABASE_CORRUPT: is a folder, not a file"}},
          {Shape::Pipe, {"DATABASE_CORRUPT: is not a regular file"}},
          {Shape::ZeroTail,
           {"opened, last 72, its last 512 bytes hold only zeros (4 record slots), as an "
            "interrupted write leaves them; they are cut before the next record is stored"}},
          {Shape::SparseTail,
           {"opened, last 72, its last 512 bytes hold only zeros (4 record slots), as an "
            "interrupted write leaves them; they are cut before the next record is stored"}}}},
        {"log database, as the log tool reads it",
         "DATABASE/M-1.QX42.LOGDATA",
         logDatabaseFile,
         logDatabaseOtherTitle,
         logDatabaseOtherVersion,
         logToolOutcome,
         false,
         {{Shape::Missing, {"DATABASE_NOT_EXIST: does not exist"}},
          {Shape::Empty, {"DATABASE_CORRUPT: its 512-byte header is cut short"}},
          {Shape::Truncated, {"DATABASE_CORRUPT: its 512-byte header is cut short"}},
          {Shape::Huge,
           {"records 3, damaged: its last 4294966400 bytes hold only zeros (33554425 record "
            "slots)"}},
          {Shape::OtherTitle, {"DATABASE_WRONG_TITLE: its title is not a job-log database's"}},
          {Shape::OtherVersion, {"DATABASE_WRONG_VERSION: its version is not 2.01.10.03"}},
          {Shape::Unreadable, {"DATABASE_CORRUPT: cannot be read: Input/output error"}},
          {Shape::Folder, {"DATABASE_CORRUPT: is a folder, not a file"}},
          {Shape::Pipe, {"DATABASE_CORRUPT: is not a regular file"}},
          {Shape::ZeroTail,
           {"records 3, damaged: its last 512 bytes hold only zeros (4 record "
            "slots)"}},
          {Shape::SparseTail,
           {"records 3, damaged: its last 512 bytes hold only zeros (4 "
            "record slots)"}}}},
        {"main window position file",
         "brellock_linker.QZ9",
         [position] { return position; },
         [] { return text("\x89PNG\r\n\x1A\nnot a position file at all\n"); },
         {},
         positionOutcome,
         false,
         {{Shape::Missing, {"default"}},
          {Shape::Empty, {"default"}},
          {Shape::Truncated, {"default"}},
          {Shape::Huge, {"position 10 20 800 600"}},
          {Shape::OtherTitle, {"default"}},
          {Shape::Unreadable, {"default"}},
          {Shape::Folder, {"default"}},
          {Shape::Pipe, {"default"}}}},
        {"machine window placement file",
         "DATABASE/M-1.qz9.par",
         [] { return text("M-1 \n100 50 1150 368 \n"); },
         [] { return text("M-2 \n100 50 1150 368 \n"); }, // another machine's
         {},
         placementOutcome,
         false,
         {{Shape::Missing, {"default"}},
          {Shape::Empty, {"default"}},
          {Shape::Truncated, {"default"}},
          {Shape::Huge, {"placement 100 50 1150 368"}},
          {Shape::OtherTitle, {"default"}},
          {Shape::Unreadable, {"default"}},
          {Shape::Folder, {"default"}},
          {Shape::Pipe, {"default"}}}},
        {"picture archive at the end of the program file",
         "program",
         pictureProgramFile,
         [] {
             Bytes f = pictureProgramFile();
             f[f.size() - 44] = 'X'; // the tail's text
             return f;
         },
         {},
         pictureOutcome,
         true,
         {{Shape::Missing, {"loose files (program file unreadable)"}},
          {Shape::Empty, {"loose files (no archive tail)"}},
          {Shape::Truncated, {"loose files (no archive tail)"}},
          {Shape::Huge, {"archive"}},
          {Shape::OtherTitle, {"loose files (no archive tail)"}},
          // The stand-in for an unreadable file tells its size as 0.
          {Shape::Unreadable, {"loose files (no archive tail)"}},
          {Shape::Folder, {"loose files (program file unreadable)"}},
          {Shape::Pipe, {"loose files (program file unreadable)"}}}},
        {"device information parameter file",
         kDeviceInfoParameterFile,
         [] { return text("/x/QX42_GetDeviceInfo_para.def\n30 40 500 400 \n/x/append.txt\n \n"); },
         [] { return text("\x01\x02\x03 binary\x00\xFF\n\n"); },
         {},
         deviceInfoOutcome,
         false,
         {{Shape::Missing, {"no placement, append [], check [], ids 0"}},
          {Shape::Empty, {"no placement, append [], check [], ids 0"}},
          {Shape::Truncated, {"no placement, append [], check [], ids 0"}},
          {Shape::Huge, {"placement 30 40 500 400, append [/x/append.txt], check [], ids 0"}},
          {Shape::OtherTitle, {"no placement, append [], check [], ids 0"}},
          {Shape::Unreadable, {"no placement, append [], check [], ids 0"}},
          {Shape::Folder, {"no placement, append [], check [], ids 0"}},
          {Shape::Pipe, {"no placement, append [], check [], ids 0"}}}},
        {"log database, as the log viewer reads its tail",
         "DATABASE/M-1.QX42.LOGDATA",
         logDatabaseFile,
         logDatabaseOtherTitle,
         logDatabaseOtherVersion,
         logViewerOutcome,
         false,
         {{Shape::Missing, {"DATABASE_NOT_EXIST"}},
          {Shape::Empty, {"DATABASE_CORRUPT"}},
          {Shape::Truncated, {"DATABASE_CORRUPT"}},
          {Shape::Huge, {"rows 3 of 3"}},
          {Shape::OtherTitle, {"DATABASE_WRONG_TITLE"}},
          {Shape::OtherVersion, {"DATABASE_WRONG_VERSION"}},
          {Shape::Unreadable, {"DATABASE_CORRUPT"}},
          // What cannot be opened as a file is "not there" to the viewer.
          {Shape::Folder, {"DATABASE_NOT_EXIST"}},
          {Shape::Pipe, {"DATABASE_NOT_EXIST"}},
          {Shape::ZeroTail, {"rows 3 of 3"}},
          {Shape::SparseTail, {"rows 3 of 3"}}}},
        {"log viewer position file",
         "DATABASE/M-1.qz9.log.par",
         [] { return text("M-1 \n5 6 700 500 \n"); },
         [] { return text("M-2 \n5 6 700 500 \n"); },
         {},
         logViewerPositionOutcome,
         false,
         {{Shape::Missing, {"default"}},
          {Shape::Empty, {"default"}},
          {Shape::Truncated, {"default"}},
          {Shape::Huge, {"position 5 6 700 500"}},
          {Shape::OtherTitle, {"default"}},
          {Shape::Unreadable, {"default"}},
          {Shape::Folder, {"default"}},
          {Shape::Pipe, {"default"}}}},
        {"download source parameter file",
         kDownloadParameterFile,
         [] { return text("7 8 640 480 \n2\n1\nMASTER\n2F0078000000\n"); },
         [] {
             return text("\x7F"
                         "ELF\x02\x01\n\n");
         },
         {},
         downloadOutcome,
         false,
         {{Shape::Missing, {"no placement, job 0, label [], source []"}},
          {Shape::Empty, {"no placement, job 0, label [], source []"}},
          {Shape::Truncated, {"placement 7 8 640 480, job 2, label [M], source []"}},
          {Shape::Huge, {"placement 7 8 640 480, job 2, label [MASTER], source [/x"}},
          {Shape::OtherTitle, {"no placement, job 0, label [], source []"}},
          {Shape::Unreadable, {"no placement, job 0, label [], source []"}},
          {Shape::Folder, {"no placement, job 0, label [], source []"}},
          {Shape::Pipe, {"no placement, job 0, label [], source []"}}}},
        {"check-ID file",
         "ids.txt",
         [] { return text("1001\n1002\n1003\n"); },
         [] {
             return text("\x7F"
                         "ELF\x02\x01 not a list of serial numbers\n");
         },
         {},
         checkIdOutcome,
         false,
         {{Shape::Missing, {"ids 0"}},
          {Shape::Empty, {"ids 0"}},
          {Shape::Truncated, {"ids 2"}}, // "1001" and the cut "10"
          {Shape::Huge, {"ids 3, box: The check ID file holds more than 100000"}},
          {Shape::OtherTitle, {"ids 0"}},
          {Shape::Unreadable, {"ids 0"}},
          {Shape::Folder, {"ids 0"}},
          {Shape::Pipe, {"ids 0"}}}},
    };
}

// --- running one case ------------------------------------------------------

void writeBytes(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

Bytes readHead(const fs::path& p, size_t n) {
    Bytes b(n);
    std::ifstream in(p, std::ios::binary);
    in.read(reinterpret_cast<char*>(b.data()), std::streamsize(n));
    b.resize(size_t(in.gcount()));
    return b;
}

// Puts the shape at `file`; false when the shape does not apply to the reader.
bool makeShape(const Reader& r, Shape s, const fs::path& file) {
    fs::create_directories(file.parent_path());
    switch (s) {
    case Shape::Missing:
        return true;
    case Shape::Empty:
        writeBytes(file, {});
        return true;
    case Shape::Truncated: {
        Bytes b = r.good();
        b.resize(b.size() / 2);
        writeBytes(file, b);
        return true;
    }
    case Shape::Huge: {
        const Bytes b = r.good();
        if (r.hugeKeepsGoodBytesAtEnd) {
            writeBytes(file, {});
            fs::resize_file(file, kHugeSize - b.size());
            std::ofstream(file, std::ios::binary | std::ios::app)
                .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
        } else {
            writeBytes(file, b);
            fs::resize_file(file, kHugeSize);
        }
        return true;
    }
    case Shape::OtherTitle:
        if (!r.otherTitle)
            return false;
        writeBytes(file, r.otherTitle());
        return true;
    case Shape::OtherVersion:
        if (!r.otherVersion)
            return false;
        writeBytes(file, r.otherVersion());
        return true;
    case Shape::Unreadable:
        // Reading the start of a process's memory fails with an I/O error,
        // also for root, whom no permission keeps out.
        fs::create_symlink("/proc/self/mem", file);
        return true;
    case Shape::Folder:
        fs::create_directories(file / "inside");
        return true;
    case Shape::Pipe:
        return ::mkfifo(file.c_str(), 0600) == 0;
    case Shape::ZeroTail: {
        Bytes b = r.good();
        b.resize(b.size() + 4 * 128, 0);
        writeBytes(file, b);
        return true;
    }
    case Shape::SparseTail: {
        const Bytes b = r.good();
        writeBytes(file, b);
        fs::resize_file(file, b.size() + 4 * 128);
        return true;
    }
    }
    return false;
}

} // namespace

TEST_F(BadFiles, EveryFileInEveryShapeGivesItsMessageAndIsNeverWrittenOver) {
    for (const Reader& reader : readers()) {
        for (Shape shape : kShapes) {
            const auto e = reader.expect.find(shape);
            const std::string what = std::string(reader.name) + ", " + shapeName(shape);
            if (e == reader.expect.end() || !e->second.outcome)
                continue;
            fs::remove_all(dir);
            const fs::path work = dir / "work";
            fs::create_directories(work);
            const fs::path file = work / reader.file;
            if (!makeShape(reader, shape, file))
                continue;
            const auto typeBefore = fs::symlink_status(file).type();
            const bool regular = typeBefore == fs::file_type::regular;
            const uint64_t sizeBefore = regular ? fs::file_size(file) : 0;
            const Bytes headBefore = regular ? readHead(file, 1 << 16) : Bytes();

            const CaseResult got = runIsolated([&] { return reader.read(work, file); },
                                               shape == Shape::Huge ? 30 : 10);
            EXPECT_EQ(got.failure, "") << what;
            const std::string expected = substitute(e->second.outcome, file);
            EXPECT_NE(got.outcome.find(expected), std::string::npos)
                << what << "\n  expected: " << expected << "\n  got:      " << got.outcome;

            // Never written over: the same kind of thing at the path, and a
            // file holds what it held (a completed one at least that).
            EXPECT_EQ(fs::symlink_status(file).type() == typeBefore || shape == Shape::Missing,
                      true)
                << what;
            if (regular) {
                const uint64_t sizeAfter = fs::file_size(file);
                if (e->second.completes)
                    EXPECT_GE(sizeAfter, sizeBefore) << what;
                else
                    EXPECT_EQ(sizeAfter, sizeBefore) << what;
                const Bytes headAfter = readHead(file, headBefore.size());
                EXPECT_EQ(headAfter, headBefore) << what;
            }
        }
    }
}
