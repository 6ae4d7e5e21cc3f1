#pragma once
// Where a connected machine's job-log records are stored: its log database
// and daily text files, kept open while records flow and synced in batches.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/file_io.h"
#include "common/sync_worker.h"
#include "logdb/log_database.h"
#include "protocol/machine_info.h"

namespace dupmon {

// The log database and the daily text file of one machine connection, held
// open while its records flow. Records go to the page cache as they come and
// reach the disk at a sync, which the connection starts at the end of each
// fetch pass and which runs on the sync worker. The database's own record
// count is the truth: a record lost by a power cut after the last sync is
// fetched again at the next identification, and a damaged tail (a torn
// record, slots of zeros) is cut before the next append.
//
// Each record's daily line is written before the record, in one write: a
// kill between the two leaves the line and no record, and the record fetched
// again finds its line there and writes none. So every stored record has
// exactly one whole line, and a line torn by a crash is cut when its file is
// opened again. The daily files are synced before the database, so a record
// a sync made safe has its line on the disk too.
//
// A database that fails its check is never written to: the store stays
// closed and says why in problem(). A database removed or replaced while
// open (its folder deleted or moved) is noticed before the next append or
// sync: the store closes instead of writing into a deleted file.
class LogStore {
public:
    LogStore() = default;
    ~LogStore();
    LogStore(const LogStore&) = delete;
    LogStore& operator=(const LogStore&) = delete;

    // Where syncs run; without one (the tools) a sync runs in the caller.
    void setSyncWorker(SyncWorker* worker) { worker_ = worker; }

    // Open and check at identification. Creates a missing database; checks
    // title and version; sets lastStoredLogNo from the last record.
    // PASS, DATABASE_CORRUPT (a folder, a header cut short, an I/O error),
    // DATABASE_WRONG_TITLE, DATABASE_WRONG_VERSION, DATABASE_CREATE_FAIL, or
    // DATABASE_WRITE_FAIL (the database can be read but not written, or
    // another connection holds it). Only PASS leaves the store open.
    // `dailyBase` is the folder in which the daily text folders are made.
    LogDatabaseCheck open(const std::filesystem::path& path, MachineInfo& info,
                          const std::filesystem::path& dailyBase);
    bool isOpen() const { return bool(fd_); }

    // Writes the record's report line to the daily text file (unless that
    // file holds it already: a record fetched again), then appends the
    // record behind the last record. Nothing is written unless the store is
    // open, still in place, and the record is 128 bytes. A failed write
    // leaves no part of the record behind and closes the store.
    AppendedRecord append(const uint8_t* record, size_t length, MachineInfo& info);

    // Records appended that no finished sync has made safe.
    bool unsynced() const { return isOpen() && end_ != syncedEnd_; }
    struct SyncResult {
        bool ok = true;
        // The newest record known to be on the disk; after a failed sync
        // lastStoredLogNo goes back to it, so that the rest is fetched again.
        bool holdsRecords = false;
        int32_t lastStoredLogNo = 0;
    };
    // Starts bringing what was appended to the disk (the daily files, then
    // the database): on the worker, or at once without one. One sync runs
    // at a time; false when one runs or nothing waits, or when the database
    // is found removed (the store is then closed).
    bool startSync();
    bool syncRunning() const { return bool(running_); }
    // The running sync has ended: finishSync() takes its outcome.
    bool syncEnded() const { return running_ && running_->done; }
    // The ended sync's outcome. Its records count as synced only now; a
    // failure cuts the database back to what the last good sync made safe
    // and closes the store.
    SyncResult finishSync();
    // Starts a sync and waits for it (tools and tests).
    SyncResult sync();
    // Closes; what was appended still goes to the disk (on the worker, which
    // the store does not wait for). The store can be opened again.
    void close();

    // What went wrong last, in words ("cannot be written: No space left on
    // device"), and its result code; empty and PASS when nothing did.
    const std::string& problem() const { return problem_; }
    DatabaseResult failure() const { return failure_; }
    // What the store mended since the last takeNote() (a header cut short by
    // an interrupted creation completed, a damaged tail to cut, a torn daily
    // line cut), in words; empty when nothing.
    const std::string& note() const { return note_; }
    std::string takeNote() { return std::exchange(note_, std::string()); }
    const std::filesystem::path& path() const { return path_; }
    // For tests and benchmarks: database bytes made safe by the last sync,
    // and how many syncs reached the disk.
    uint64_t syncedSize() const { return syncedEnd_; }
    uint64_t syncCount() const { return syncs_; }

private:
    LogDatabaseCheck fail(DatabaseResult result, std::string problem);
    void addNote(const std::string& note);
    bool completeHeader(const uint8_t* have, size_t got);
    // False, with the store closed and the problem said, when the database
    // at the path is no longer the file the store writes.
    bool stillInPlace();
    void shut();
    void writeDailyLine(const MachineInfo& info, const LogRecord& r, const std::string& line);
    void openDaily(const std::filesystem::path& file);
    void retireDaily();

    SyncWorker* worker_ = nullptr;
    UniqueFd fd_;
    std::filesystem::path path_;
    std::filesystem::path dailyBase_;
    uint64_t end_ = 0;         // where the next record goes
    uint64_t fileSize_ = 0;    // may hold a damaged tail behind end_
    uint64_t syncedEnd_ = 0;   // bytes the last finished sync made safe
    bool syncedHolds_ = false; // the synced part holds a record
    int32_t syncedLogNo_ = 0;  // and this is its newest
    bool appendedHolds_ = false;
    int32_t appendedLogNo_ = 0; // the newest record appended
    // The running sync: what it covers, and its ticket.
    std::shared_ptr<const SyncWorker::Ticket> running_;
    uint64_t runningEnd_ = 0;
    bool runningHolds_ = false;
    int32_t runningLogNo_ = 0;
    uint64_t syncs_ = 0;
    std::string problem_;
    DatabaseResult failure_ = PASS;
    std::string note_;

    // The daily file lines go to now, the lines it holds (hashes), and the
    // files left since the last sync that still hold unsynced lines.
    UniqueFd daily_;
    std::filesystem::path dailyPath_;
    bool dailyUnsynced_ = false;
    std::unordered_set<size_t> dailyLines_;
    std::vector<UniqueFd> dailyToSync_;
};

// One record through a store opened for it: appends behind the last record
// (a damaged tail is cut first) and writes the daily line. Nothing is
// written to a database that fails its check.
AppendedRecord appendLogRecord(const std::filesystem::path& path, MachineInfo& info,
                               const uint8_t* record, size_t length,
                               const std::filesystem::path& baseDir);

} // namespace dupmon
