// Storing a machine's records as they arrive: checks at identification,
// appends with their daily line, syncs on the sync worker, and the cut of a
// damaged tail.
#include "logdb/log_store.h"

#include <algorithm>
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

size_t lineHash(std::string_view line) {
    return std::hash<std::string_view>()(cutLineEnd(line));
}

UniqueFd duplicate(const UniqueFd& fd) {
    return UniqueFd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
}

} // namespace

bool LogStore::completeHeader(const uint8_t* have, size_t got) {
    uint8_t header[kLogHeaderSize];
    logDatabaseHeader(header);
    return std::memcmp(have, header, got) == 0 && writeAt(fd_.get(), header, sizeof header, 0) &&
           ::fdatasync(fd_.get()) == 0;
}

LogStore::~LogStore() {
    close();
}

void LogStore::addNote(const std::string& note) {
    note_ += (note_.empty() ? "" : "; ") + note;
}

LogDatabaseCheck LogStore::fail(DatabaseResult result, std::string problem) {
    shut();
    problem_ = std::move(problem);
    failure_ = result;
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
    failure_ = PASS;
    note_.clear();
    // 1. Open for reading and appending; a missing database is created with
    //    its header. Non-blocking open, so a pipe at the path cannot hang us;
    //    a link planted at its name is not followed.
    const int flags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW;
    fd_.reset(::open(path.c_str(), flags));
    if (!fd_ && (errno == ENOENT || errno == ENOTDIR)) {
        // A database that appeared meanwhile is never replaced.
        if (!createLogDatabase(path, false) && errno != EEXIST)
            return fail(DATABASE_CREATE_FAIL, because("cannot be created", errno));
        fd_.reset(::open(path.c_str(), flags));
    }
    if (!fd_) {
        const int error = errno;
        if (error == EISDIR)
            return fail(DATABASE_CORRUPT, "is a folder, not a file");
        if (error == ELOOP)
            return fail(DATABASE_WRITE_FAIL, "is a symbolic link; it is left as it is");
        if (error == ENOENT || error == ENOTDIR)
            return fail(DATABASE_CREATE_FAIL, because("cannot be created", error));
        // Readable but not writable (read-only file or file system): records
        // could not be kept, so none are fetched.
        if (::access(path.c_str(), R_OK) == 0)
            return fail(DATABASE_WRITE_FAIL, because("cannot be written", error));
        return fail(DATABASE_CORRUPT, because("cannot be opened", error));
    }
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0)
        return fail(DATABASE_CORRUPT, because("cannot be read", errno));
    if (!S_ISREG(st.st_mode))
        return fail(DATABASE_CORRUPT, "is not a regular file");
    ::fcntl(fd_.get(), F_SETFL, ::fcntl(fd_.get(), F_GETFL) & ~O_NONBLOCK);
    // One writer per database: a second machine reporting the same id must
    // not merge its log into this one.
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0)
        return fail(DATABASE_WRITE_FAIL, "is being written by another connection or program");

    // 2.-4. Header, title, version.
    uint8_t header[kLogHeaderSize];
    const ssize_t got = readAt(fd_.get(), header, sizeof header, 0);
    if (got < 0)
        return fail(DATABASE_CORRUPT, because("cannot be read", errno));
    DatabaseResult headerCheck = checkLogHeader(header, size_t(got));
    if (headerCheck == DATABASE_CORRUPT && size_t(st.st_size) == size_t(got) &&
        completeHeader(header, size_t(got))) {
        // An interrupted creation leaves a piece of our own header and no
        // record: completing it loses nothing.
        addNote("its header was " + std::to_string(got) + " bytes long and has been completed");
        st.st_size = off_t(kLogHeaderSize);
        headerCheck = PASS;
    }
    if (headerCheck != PASS)
        return fail(headerCheck, logHeaderProblem(headerCheck));

    // 5.-6. The newest stored record is the last slot that holds one; a
    //    damaged tail behind it is cut before the next append.
    LogDatabaseCheck check;
    fileSize_ = uint64_t(st.st_size);
    const StoredRecords stored = scanStoredRecords(fd_.get(), fileSize_);
    if (stored.error)
        return fail(DATABASE_CORRUPT, because("its last record cannot be read", stored.error));
    end_ = stored.end();
    if (stored.damagedBytes() > 0)
        addNote(stored.damage() + "; they are cut before the next record is stored");
    info.lastStoredLogNo = 0;
    if (stored.count > 0) {
        uint8_t last[kLogRecordSize];
        const ssize_t n = readAt(fd_.get(), last, sizeof last, end_ - kLogRecordSize);
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

bool LogStore::stillInPlace() {
    struct stat mine {};
    struct stat there {};
    std::string why;
    if (::fstat(fd_.get(), &mine) != 0)
        why = because("cannot be looked at", errno);
    else if (::stat(path_.c_str(), &there) == 0) {
        if (there.st_dev != mine.st_dev || there.st_ino != mine.st_ino)
            why = "was replaced by another file while job-log records were stored in it";
    } else if (errno != ENOENT && errno != ENOTDIR)
        why = because("cannot be found", errno);
    else if (mine.st_nlink == 0)
        why = "was removed while job-log records were stored in it";
    else
        why = "was moved away (or its folder was) while job-log records were stored in it";
    if (why.empty())
        return true;
    problem_ = why + "; nothing more is stored until it can be opened again";
    failure_ = DATABASE_NOT_EXIST;
    shut();
    return false;
}

AppendedRecord LogStore::append(const uint8_t* record, size_t length, MachineInfo& info) {
    AppendedRecord appended;
    // Anything but a whole record would shift every record after it.
    if (!fd_ || !record || length != kLogRecordSize || !stillInPlace())
        return appended;
    // The line first: a record is never stored without it.
    const LogRecord r = decodeLogRecord(record);
    std::string line = reportLine(r);
    writeDailyLine(info, r, line);
    if (fileSize_ != end_) {
        if (::ftruncate(fd_.get(), off_t(end_)) != 0) {
            problem_ = because("its damaged tail cannot be cut", errno);
            failure_ = DATABASE_WRITE_FAIL;
            close();
            return appended;
        }
        fileSize_ = end_;
    }
    if (!writeAt(fd_.get(), record, kLogRecordSize, end_)) {
        problem_ = because("cannot be written", errno);
        failure_ = DATABASE_WRITE_FAIL;
        // Leave no part of the record behind.
        [[maybe_unused]] int ignored = ::ftruncate(fd_.get(), off_t(end_));
        close();
        return appended;
    }
    end_ += kLogRecordSize;
    fileSize_ = end_;
    appended.stored = true;
    appended.reportLine = std::move(line);
    info.lastStoredLogNo = appendedLogNo_ = static_cast<int32_t>(readBE32(record));
    appendedHolds_ = true;
    return appended;
}

void LogStore::writeDailyLine(const MachineInfo& info, const LogRecord& r,
                              const std::string& line) {
    const fs::path file = dailyLogPath(dailyBase_, info, r.year + 2000, r.month, r.day);
    if (!daily_ || file != dailyPath_)
        openDaily(file);
    if (!daily_)
        return; // a daily file that cannot be opened is skipped
    // A record fetched again (its database was cut, or lost its tail in a
    // power cut, or its line was written just before a kill) already has
    // its line: each line is written once.
    const size_t hash = lineHash(line);
    if (dailyLines_.count(hash))
        return;
    if (appendWhole(daily_.get(), line + "\n")) {
        dailyLines_.insert(hash);
        dailyUnsynced_ = true;
    }
}

void LogStore::openDaily(const fs::path& file) {
    retireDaily();
    std::error_code ec;
    fs::create_directory(file.parent_path(), ec); // an existing folder is no error
    AppendFile f = openAppendFile(file, LinkRule::Refuse, true);
    if (!f)
        return;
    struct stat st {};
    if (::fstat(f.fd.get(), &st) != 0)
        return;
    // The lines it holds. A day's file is small; of an unusually large one
    // the end is enough.
    constexpr uint64_t kLookBack = 16u << 20;
    const uint64_t size = uint64_t(st.st_size);
    const uint64_t from = size > kLookBack ? size - kLookBack : 0;
    uint64_t lineStart = from;
    uint64_t lastLineEnd = from; // just after the last line feed seen
    bool sawLineEnd = false;
    std::string pending;
    char chunk[65536];
    for (uint64_t at = from; at < size;) {
        const ssize_t n =
            readAt(f.fd.get(), chunk, std::min<uint64_t>(sizeof chunk, size - at), at);
        if (n <= 0)
            return; // unreadable: skipped as one that cannot be opened
        pending.append(chunk, size_t(n));
        at += uint64_t(n);
        size_t start = 0;
        for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
            // Of a file read from its middle, the first piece is no whole line.
            if (lineStart != from || from == 0)
                dailyLines_.insert(
                    lineHash(std::string_view(pending).substr(start, end - start + 1)));
            lineStart = lastLineEnd = at - pending.size() + end + 1;
            sawLineEnd = true;
        }
        pending.erase(0, start);
    }
    // A line cut short by a crash would have the next line glued to it.
    if (size > lastLineEnd && (sawLineEnd || from == 0)) {
        if (::ftruncate(f.fd.get(), off_t(lastLineEnd)) != 0)
            return;
        addNote(file.string() + ": its last " + std::to_string(size - lastLineEnd) +
                " bytes were a line cut short and have been cut");
    }
    daily_ = std::move(f.fd);
    dailyPath_ = file;
}

void LogStore::retireDaily() {
    if (daily_ && dailyUnsynced_)
        dailyToSync_.push_back(std::move(daily_));
    daily_.reset();
    dailyUnsynced_ = false;
    dailyPath_.clear();
    dailyLines_.clear();
}

bool LogStore::startSync() {
    if (!fd_ || running_ || end_ == syncedEnd_ || !stillInPlace())
        return false;
    // The daily files first: a record the database sync makes safe has its
    // line on the disk already.
    std::vector<SyncWorker::File> files;
    for (UniqueFd& d : dailyToSync_)
        files.push_back({std::move(d), false});
    dailyToSync_.clear();
    if (daily_ && dailyUnsynced_)
        files.push_back({duplicate(daily_), false});
    dailyUnsynced_ = false;
    files.push_back({duplicate(fd_), true});
    runningEnd_ = end_;
    runningHolds_ = appendedHolds_;
    runningLogNo_ = appendedLogNo_;
    if (worker_) {
        running_ = worker_->submit(std::move(files));
        return true;
    }
    auto ticket = std::make_shared<SyncWorker::Ticket>();
    for (const SyncWorker::File& f : files) {
        const int error = f.fd ? SyncWorker::syncToDisk(f.fd.get()) : EBADF;
        if (error != 0 && f.counts && ticket->error == 0)
            ticket->error = error;
    }
    ticket->done = true;
    running_ = std::move(ticket);
    return true;
}

LogStore::SyncResult LogStore::finishSync() {
    SyncResult result;
    if (syncEnded()) {
        const int error = running_->error;
        running_.reset();
        if (error == 0) {
            ++syncs_;
            syncedEnd_ = runningEnd_;
            syncedHolds_ = runningHolds_;
            syncedLogNo_ = runningLogNo_;
        } else if (fd_) {
            // What was appended since the last good sync may not be on the
            // disk: cut it and fetch it again rather than trust it.
            problem_ = because("cannot be brought to the disk", error);
            failure_ = DATABASE_WRITE_FAIL;
            [[maybe_unused]] int ignored = ::ftruncate(fd_.get(), off_t(syncedEnd_));
            result.ok = false;
            shut();
        }
    }
    result.holdsRecords = syncedHolds_;
    result.lastStoredLogNo = syncedLogNo_;
    return result;
}

LogStore::SyncResult LogStore::sync() {
    SyncResult result;
    result.holdsRecords = syncedHolds_;
    result.lastStoredLogNo = syncedLogNo_;
    // A sync already running may cover only part of what waits.
    for (int round = 0; round < 2; ++round) {
        if (!running_ && !startSync())
            break;
        if (worker_)
            worker_->wait(running_);
        result = finishSync();
        if (!result.ok)
            break;
    }
    return result;
}

void LogStore::shut() {
    running_.reset();
    if (fd_)
        ::flock(fd_.get(), LOCK_UN);
    fd_.reset();
    retireDaily();
    dailyToSync_.clear();
}

void LogStore::close() {
    if (fd_ && end_ != syncedEnd_) {
        // The rest goes to the disk; its outcome no longer decides anything
        // here: after a reopen the records are read back from the file.
        running_.reset();
        if (startSync() && !worker_ && running_->error == 0) {
            ++syncs_;
            syncedEnd_ = runningEnd_;
        }
    }
    shut();
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
