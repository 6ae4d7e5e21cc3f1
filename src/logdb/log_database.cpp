// The log database file: creating it, checking its header, finding where a
// crash left its records, reading it whole or record by record, and the paths
// of its daily text files.
#include "logdb/log_database.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "common/byte_order.h"
#include "common/file_io.h"
#include "common/text.h"
#include "logdb/large_buffer.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {

// Reads and checks the 512-byte header at the start of an open file.
DatabaseResult checkHeader(std::FILE* f, std::string* problem = nullptr) {
    uint8_t header[kLogHeaderSize];
    errno = 0;
    const size_t got = std::fread(header, 1, sizeof header, f);
    if (got < sizeof header && std::ferror(f)) {
        if (problem)
            *problem = "cannot be read: " + errorText(errno != 0 ? errno : EIO);
        return DATABASE_CORRUPT;
    }
    const DatabaseResult result = checkLogHeader(header, got);
    if (problem && result != PASS)
        *problem = logHeaderProblem(result);
    return result;
}

bool readRecordAt(std::FILE* f, uint64_t index, uint8_t* out) {
    return seekTo(f, kLogHeaderSize + index * kLogRecordSize) &&
           std::fread(out, 1, kLogRecordSize, f) == kLogRecordSize;
}

std::string dailyFolderName(const MachineInfo& info) {
    std::string_view nick = fieldText(info.nickName, sizeof info.nickName);
    if (!nick.empty())
        return safeFileName(nick);
    return safeFileName(fieldText(info.modelName, sizeof info.modelName)) + "(" +
           machineFileName(fieldText(info.machineId, sizeof info.machineId)) + ")";
}

} // namespace

DatabaseResult checkLogHeader(const uint8_t* header, size_t got) {
    if (got < kLogHeaderSize)
        return DATABASE_CORRUPT;
    if (std::memcmp(header, kLogDatabaseTitle, kLogTitleSize) != 0)
        return DATABASE_WRONG_TITLE;
    if (std::memcmp(header + kLogVersionOffset, kLogDatabaseVersion, kLogVersionSize) != 0)
        return DATABASE_WRONG_VERSION;
    return PASS;
}

const char* logHeaderProblem(DatabaseResult result) {
    switch (result) {
    case DATABASE_CORRUPT:
        return "its 512-byte header is cut short";
    case DATABASE_WRONG_TITLE:
        return "its title is not a job-log database's";
    case DATABASE_WRONG_VERSION:
        return "its version is not 2.01.10.03";
    default:
        return "";
    }
}

fs::path logDatabasePath(const fs::path& databaseDir, const MachineInfo& info) {
    return databaseDir /
           (machineFileName(fieldText(info.machineId, sizeof info.machineId)) + ".QX42.LOGDATA");
}

void logDatabaseHeader(uint8_t* header) {
    std::memset(header, 0, kLogHeaderSize);
    std::memcpy(header, kLogDatabaseTitle, sizeof kLogDatabaseTitle);
    std::memcpy(header + kLogVersionOffset, kLogDatabaseVersion, sizeof kLogDatabaseVersion);
}

bool createLogDatabase(const fs::path& path, bool replace) {
    uint8_t header[kLogHeaderSize];
    logDatabaseHeader(header);
    WholeFileWriter out;
    return out.open(path) && out.write(header, sizeof header) && out.commit(replace);
}

namespace {

// The end of the last stretch of data before `end`, as the file system tells
// it: a sparse tail is never read. `end` when the system cannot tell.
uint64_t lastDataEnd(int fd, uint64_t start, uint64_t end) {
    uint64_t last = start;
    for (off_t at = off_t(start);;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            return errno == ENXIO ? last : end;
        if (uint64_t(data) >= end)
            return last;
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0)
            return end;
        last = std::min<uint64_t>(uint64_t(hole), end);
        if (last >= end)
            return last;
        at = hole;
    }
}

bool allZero(const uint8_t* p, size_t n) {
    return p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0;
}

} // namespace

StoredRecords scanStoredRecords(int fd, uint64_t size) {
    StoredRecords s;
    if (size <= kLogHeaderSize)
        return s;
    const uint64_t slots = (size - kLogHeaderSize) / kLogRecordSize;
    s.tornBytes = (size - kLogHeaderSize) % kLogRecordSize;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    // 1. A hole at the end holds nothing.
    const uint64_t dataEnd =
        lastDataEnd(fd, kLogHeaderSize, kLogHeaderSize + slots * kLogRecordSize);
    uint64_t left =
        std::min(slots, (dataEnd - kLogHeaderSize + kLogRecordSize - 1) / kLogRecordSize);
    // 2. Written zeros are read back to the last record.
    constexpr uint64_t kChunkSlots = 256;
    uint8_t chunk[kChunkSlots * kLogRecordSize];
    s.count = 0;
    while (left > 0) {
        const uint64_t n = std::min(left, kChunkSlots);
        const uint64_t at = kLogHeaderSize + (left - n) * kLogRecordSize;
        const size_t bytes = size_t(n * kLogRecordSize);
        size_t got = 0;
        while (got < bytes) {
            const ssize_t r = ::pread(fd, chunk + got, bytes - got, off_t(at + got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                s.error = r < 0 ? errno : EIO;
                break;
            }
            got += size_t(r);
        }
        if (s.error)
            break;
        uint64_t k = n;
        while (k > 0 && allZero(chunk + (k - 1) * kLogRecordSize, kLogRecordSize))
            --k;
        if (k > 0) {
            s.count = left - n + k;
            break;
        }
        left -= n;
    }
    s.zeroSlots = slots - s.count;
    if (position >= 0)
        ::lseek(fd, position, SEEK_SET);
    return s;
}

std::string StoredRecords::damage() const {
    if (damagedBytes() == 0)
        return "";
    std::string what = "its last " + std::to_string(damagedBytes()) + " bytes ";
    if (tornBytes == 0)
        what += "hold only zeros (" + std::to_string(zeroSlots) + " record slots)";
    else if (zeroSlots == 0)
        what += "are a record cut short";
    else
        what += "are no records: " + std::to_string(zeroSlots) +
                " record slots of zeros and a record cut short";
    return what + ", as an interrupted write leaves them";
}

LogDatabaseCheck checkLogDatabase(const fs::path& path, MachineInfo& info) {
    LogDatabaseCheck check;
    // 1. A missing database is created silently.
    FilePtr f = openFile(path, "rb");
    if (!f) {
        if (!createLogDatabase(path) || !(f = openFile(path, "rb"))) {
            check.result = DATABASE_CREATE_FAIL;
            return check;
        }
    }
    // 2.-4. Header, title, version.
    check.result = checkHeader(f.get());
    if (check.result != PASS)
        return check;
    // 5.-6. The newest stored record is the last whole slot that holds one.
    //    A file with a header and only a torn record holds no record: its
    //    number stays 0.
    info.lastStoredLogNo = 0;
    std::error_code ec;
    uint64_t size = fs::file_size(path, ec);
    if (ec) {
        check.result = DATABASE_CORRUPT;
        return check;
    }
    const StoredRecords stored = scanStoredRecords(fileno(f.get()), size);
    if (stored.error) {
        check.result = DATABASE_CORRUPT;
        return check;
    }
    const uint64_t count = stored.count;
    if (count > 0) {
        uint8_t last[kLogRecordSize];
        if (!readRecordAt(f.get(), count - 1, last)) {
            check.result = DATABASE_CORRUPT;
            return check;
        }
        info.lastStoredLogNo = static_cast<int32_t>(readBE32(last));
        check.holdsRecords = true;
    }
    return check;
}

fs::path dailyLogPath(const fs::path& baseDir, const MachineInfo& info, int year, int month,
                      int day) {
    std::string nick = safeFileName(fieldText(info.nickName, sizeof info.nickName));
    return baseDir / dailyFolderName(info) /
           (nick + format("(%d-%02d-%02d).txt", year, month, day));
}

namespace {

// An open database whose header passed the checks, with its size.
struct CheckedFile {
    FilePtr file;
    DatabaseResult result = DATABASE_NOT_EXIST;
    std::string problem; // in words, when result is not PASS
    uint64_t size = 0;
    uint64_t count = 0; // whole records before a damaged tail
    StoredRecords stored;
};

CheckedFile openChecked(const fs::path& path) {
    CheckedFile c;
    ReadableFile in = openRegularFile(path);
    if (!in) {
        // Only a missing file is "not there"; a folder or a pipe is there
        // but is no database.
        c.result = in.missing ? DATABASE_NOT_EXIST : DATABASE_CORRUPT;
        c.problem = in.problem;
        return c;
    }
    c.file = std::move(in.file);
    c.size = in.size;
    c.result = checkHeader(c.file.get(), &c.problem);
    if (c.result != PASS)
        return c;
    c.stored = scanStoredRecords(fileno(c.file.get()), c.size);
    if (c.stored.error) {
        c.result = DATABASE_CORRUPT;
        c.problem = "cannot be read: " + errorText(c.stored.error);
        return c;
    }
    c.count = c.stored.count;
    if (c.count > UINT32_MAX) {
        c.result = MEMORY_NOT_ENOUGH_FOR_DATABASE;
        c.problem = "it holds more than 4294967295 records";
    }
    return c;
}

} // namespace

LogDatabaseContents readLogDatabase(const fs::path& path) {
    LogDatabaseContents contents;
    CheckedFile db = openChecked(path);
    contents.result = db.result;
    if (db.result != PASS)
        return contents;
    size_t bytes = static_cast<size_t>(db.count * kLogRecordSize);
    contents.records.reset(new (std::nothrow) uint8_t[bytes ? bytes : 1]);
    if (!contents.records) {
        contents.result = MEMORY_NOT_ENOUGH_FOR_DATABASE;
        return contents;
    }
    adviseLargeBuffer(contents.records.get(), bytes);
    if (std::fread(contents.records.get(), 1, bytes, db.file.get()) != bytes) {
        contents.records.reset();
        contents.result = DATABASE_CORRUPT;
        return contents;
    }
    contents.count = static_cast<uint32_t>(db.count);
    return contents;
}

DatabaseResult LogRecordReader::open(const fs::path& path) {
    CheckedFile db = openChecked(path);
    problem_ = db.problem;
    if (db.result != PASS)
        return db.result;
    file_ = std::move(db.file);
    count_ = remaining_ = static_cast<uint32_t>(db.count);
    chunkRecords_ = position_ = 0;
    failed_ = false;
    return PASS;
}

const uint8_t* LogRecordReader::next() {
    constexpr size_t kChunkRecords = 4096; // 512 KB
    if (position_ == chunkRecords_) {
        if (remaining_ == 0 || !file_)
            return nullptr;
        if (!chunk_)
            chunk_.reset(new uint8_t[kChunkRecords * kLogRecordSize]);
        size_t want = std::min<size_t>(kChunkRecords, remaining_);
        if (std::fread(chunk_.get(), kLogRecordSize, want, file_.get()) != want) {
            failed_ = true;
            file_.reset();
            return nullptr;
        }
        remaining_ -= static_cast<uint32_t>(want);
        chunkRecords_ = want;
        position_ = 0;
    }
    return chunk_.get() + position_++ * kLogRecordSize;
}

DatabaseResult checkLogHeader(std::FILE* f) {
    return checkHeader(f);
}

LogDatabaseSummary summarizeLogDatabase(const fs::path& path) {
    LogDatabaseSummary summary;
    CheckedFile db = openChecked(path);
    summary.result = db.result;
    summary.problem = db.problem;
    summary.fileSize = db.size;
    summary.stored = db.stored;
    if (db.result != PASS)
        return summary;
    if (db.count > 0 && (!readRecordAt(db.file.get(), 0, summary.first) ||
                         !readRecordAt(db.file.get(), db.count - 1, summary.last))) {
        summary.result = DATABASE_CORRUPT;
        return summary;
    }
    summary.count = static_cast<uint32_t>(db.count);
    return summary;
}

} // namespace dupmon
