#include "logdb/log_database.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>
#include <system_error>

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

// Whole record slots behind the header of a file of this size.
uint64_t wholeRecords(uint64_t size) {
    return size > kLogHeaderSize ? (size - kLogHeaderSize) / kLogRecordSize : 0;
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

bool createLogDatabase(const fs::path& path) {
    uint8_t header[kLogHeaderSize];
    logDatabaseHeader(header);
    FilePtr f = openFile(path, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(header, 1, sizeof header, f.get()) == sizeof header;
    return std::fclose(f.release()) == 0 && ok;
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
    // 5.-6. The newest stored record is the last whole slot. A file with a
    // header and only a torn record holds no record: its number stays 0.
    info.lastStoredLogNo = 0;
    std::error_code ec;
    uint64_t size = fs::file_size(path, ec);
    if (ec) {
        check.result = DATABASE_CORRUPT;
        return check;
    }
    uint64_t count = wholeRecords(size);
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
    uint64_t count = 0; // whole records
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
    c.count = wholeRecords(c.size);
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
