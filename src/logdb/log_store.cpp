#include "logdb/log_store.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "common/byte_order.h"
#include "common/text.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {

// Reads up to n bytes at `at`: the count read, or -1 with errno set.
ssize_t readAt(int fd, void* out, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r =
            ::pread(fd, static_cast<uint8_t*>(out) + done, n - done, static_cast<off_t>(at + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            break;
        done += size_t(r);
    }
    return ssize_t(done);
}

// Writes all n bytes at `at`; false with errno set.
bool writeAt(int fd, const void* data, size_t n, uint64_t at) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pwrite(fd, static_cast<const uint8_t*>(data) + done, n - done,
                                   static_cast<off_t>(at + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return false;
        if (r == 0) {
            errno = ENOSPC;
            return false;
        }
        done += size_t(r);
    }
    return true;
}

std::string because(const char* what, int error) {
    return std::string(what) + ": " + errorText(error);
}

} // namespace

bool LogStore::completeHeader(const uint8_t* have, size_t got) {
    uint8_t header[kLogHeaderSize];
    logDatabaseHeader(header);
    return std::memcmp(have, header, got) == 0 && writeAt(fd_, header, sizeof header, 0) &&
           ::fdatasync(fd_) == 0;
}

LogStore::~LogStore() {
    close();
}

LogDatabaseCheck LogStore::fail(DatabaseResult result, std::string problem) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    problem_ = std::move(problem);
    LogDatabaseCheck check;
    check.result = result;
    return check;
}

LogDatabaseCheck LogStore::open(const fs::path& path, MachineInfo& info,
                                const fs::path& dailyBase) {
    close();
    path_ = path;
    dailyBase_ = dailyBase;
    problem_.clear();
    note_.clear();
    // 1. Open for reading and appending; a missing database is created with
    //    its header. Non-blocking open, so a pipe at the path cannot hang us.
    const int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    fd_ = ::open(path.c_str(), flags);
    if (fd_ < 0 && (errno == ENOENT || errno == ENOTDIR)) {
        if (!createLogDatabase(path))
            return fail(DATABASE_CREATE_FAIL, because("cannot be created", errno));
        fd_ = ::open(path.c_str(), flags);
    }
    if (fd_ < 0) {
        const int error = errno;
        if (error == EISDIR)
            return fail(DATABASE_CORRUPT, "is a folder, not a file");
        if (error == ENOENT || error == ENOTDIR)
            return fail(DATABASE_CREATE_FAIL, because("cannot be created", error));
        // Readable but not writable (read-only file or file system): records
        // could not be kept, so none are fetched.
        if (::access(path.c_str(), R_OK) == 0)
            return fail(DATABASE_WRITE_FAIL, because("cannot be written", error));
        return fail(DATABASE_CORRUPT, because("cannot be opened", error));
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return fail(DATABASE_CORRUPT, because("cannot be read", errno));
    if (!S_ISREG(st.st_mode))
        return fail(DATABASE_CORRUPT, "is not a regular file");
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    // One writer per database: a second machine reporting the same id must
    // not merge its log into this one.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0)
        return fail(DATABASE_WRITE_FAIL, "is being written by another connection or program");

    // 2.-4. Header, title, version.
    uint8_t header[kLogHeaderSize];
    const ssize_t got = readAt(fd_, header, sizeof header, 0);
    if (got < 0)
        return fail(DATABASE_CORRUPT, because("cannot be read", errno));
    DatabaseResult headerCheck = checkLogHeader(header, size_t(got));
    if (headerCheck == DATABASE_CORRUPT && size_t(st.st_size) == size_t(got) &&
        completeHeader(header, size_t(got))) {
        // An interrupted creation leaves a piece of our own header and no
        // record: completing it loses nothing.
        note_ = "its header was " + std::to_string(got) + " bytes long and has been completed";
        st.st_size = off_t(kLogHeaderSize);
        headerCheck = PASS;
    }
    if (headerCheck != PASS)
        return fail(headerCheck, logHeaderProblem(headerCheck));

    // 5.-6. The newest stored record is the last whole slot; a torn record
    //    behind it is cut before the next append.
    LogDatabaseCheck check;
    fileSize_ = uint64_t(st.st_size);
    const uint64_t count = (fileSize_ - kLogHeaderSize) / kLogRecordSize;
    end_ = kLogHeaderSize + count * kLogRecordSize;
    info.lastStoredLogNo = 0;
    if (count > 0) {
        uint8_t last[kLogRecordSize];
        const ssize_t n = readAt(fd_, last, sizeof last, end_ - kLogRecordSize);
        if (n != ssize_t(sizeof last))
            return fail(DATABASE_CORRUPT,
                        because("its last record cannot be read", n < 0 ? errno : EIO));
        info.lastStoredLogNo = static_cast<int32_t>(readBE32(last));
        check.holdsRecords = true;
    }
    syncedEnd_ = end_;
    syncedHolds_ = appendedHolds_ = check.holdsRecords;
    syncedLogNo_ = appendedLogNo_ = info.lastStoredLogNo;
    return check;
}

AppendedRecord LogStore::append(const uint8_t* record, size_t length, MachineInfo& info) {
    AppendedRecord appended;
    // Anything but a whole record would shift every record after it.
    if (fd_ < 0 || !record || length != kLogRecordSize)
        return appended;
    if (fileSize_ != end_) {
        if (::ftruncate(fd_, off_t(end_)) != 0) {
            problem_ = because("its torn last record cannot be cut", errno);
            close();
            return appended;
        }
        fileSize_ = end_;
    }
    if (!writeAt(fd_, record, kLogRecordSize, end_)) {
        problem_ = because("cannot be written", errno);
        // Leave no part of the record behind.
        [[maybe_unused]] int ignored = ::ftruncate(fd_, off_t(end_));
        close();
        return appended;
    }
    end_ += kLogRecordSize;
    fileSize_ = end_;
    appended.stored = true;
    info.lastStoredLogNo = appendedLogNo_ = static_cast<int32_t>(readBE32(record));
    appendedHolds_ = true;
    // The daily line follows the stored record, once.
    LogRecord r = decodeLogRecord(record);
    appended.reportLine = reportLine(r);
    writeDailyLine(info, r, appended.reportLine);
    return appended;
}

void LogStore::writeDailyLine(const MachineInfo& info, const LogRecord& r,
                              const std::string& line) {
    const fs::path file = dailyLogPath(dailyBase_, info, r.year + 2000, r.month, r.day);
    if (!daily_ || file != dailyPath_) {
        closeDaily();
        std::error_code ec;
        fs::create_directory(file.parent_path(), ec); // an existing folder is no error
        readDailyLines(file);
        daily_ = openFile(file, "a");
        dailyPath_ = daily_ ? file : fs::path();
        if (!daily_)
            return; // a daily file that cannot be opened is skipped
    }
    // A record fetched again (its database was cut, or lost its tail in a
    // power cut) already has its line: each line is written once.
    if (!dailyLines_.insert(std::hash<std::string_view>()(line)).second)
        return;
    std::fwrite(line.data(), 1, line.size(), daily_.get());
    std::fputc('\n', daily_.get());
    dailyUnsynced_ = true;
}

void LogStore::readDailyLines(const fs::path& file) {
    dailyLines_.clear();
    ReadableFile in = openRegularFile(file);
    if (!in)
        return;
    // A day's file is small; of an unusually large one the end is enough.
    constexpr uint64_t kLookBack = 16u << 20;
    if (in.size > kLookBack && !seekTo(in.file.get(), in.size - kLookBack))
        return;
    std::string pending;
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in.file.get())) > 0;) {
        pending.append(chunk, n);
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
            dailyLines_.insert(std::hash<std::string_view>()(
                cutLineEnd(std::string_view(pending).substr(start, end - start + 1))));
        pending.erase(0, start);
    }
}

bool LogStore::syncDaily() {
    if (!daily_ || !dailyUnsynced_)
        return true;
    dailyUnsynced_ = false;
    return std::fflush(daily_.get()) == 0 && ::fdatasync(fileno(daily_.get())) == 0;
}

void LogStore::closeDaily() {
    syncDaily(); // a daily file that cannot be written is skipped without a message
    daily_.reset();
    dailyPath_.clear();
}

LogStore::SyncResult LogStore::sync() {
    SyncResult result;
    if (fd_ < 0)
        return result;
    if (end_ != syncedEnd_) {
        if (::fdatasync(fd_) != 0) {
            // What was appended since the last sync may not be on the disk:
            // cut it and fetch it again rather than trust it.
            problem_ = because("cannot be brought to the disk", errno);
            [[maybe_unused]] int ignored = ::ftruncate(fd_, off_t(syncedEnd_));
            result.ok = false;
            result.holdsRecords = syncedHolds_;
            result.lastStoredLogNo = syncedLogNo_;
            closeDaily();
            ::close(fd_);
            fd_ = -1;
            return result;
        }
        ++syncs_;
        syncedEnd_ = end_;
        syncedHolds_ = appendedHolds_;
        syncedLogNo_ = appendedLogNo_;
    }
    syncDaily();
    result.holdsRecords = syncedHolds_;
    result.lastStoredLogNo = syncedLogNo_;
    return result;
}

void LogStore::close() {
    if (fd_ >= 0) {
        if (end_ != syncedEnd_ && ::fdatasync(fd_) == 0) {
            ++syncs_;
            syncedEnd_ = end_;
        }
        ::close(fd_); // also lets go of the lock
        fd_ = -1;
    }
    closeDaily();
}

AppendedRecord appendLogRecord(const fs::path& path, MachineInfo& info, const uint8_t* record,
                               size_t length, const fs::path& baseDir) {
    LogStore store;
    MachineInfo checked = info; // the caller's lastStoredLogNo moves only with a stored record
    if (store.open(path, checked, baseDir).result != PASS)
        return {};
    return store.append(record, length, info);
}

} // namespace dupmon
