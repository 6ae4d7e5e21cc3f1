#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_set>

#include "common/file_io.h"
#include "logdb/log_database.h"
#include "protocol/machine_info.h"

namespace dupmon {

// The log database and the daily text file of one machine connection, held
// open while its records flow. Records go to the page cache as they come and
// reach the disk at sync(), which the connection calls at the end of each
// fetch pass and before the connection ends. The database's own record count
// is the truth: a record lost by a power cut after the last sync is fetched
// again at the next identification, and a torn record is cut before the
// next append.
//
// A database that fails its check is never written to: the store stays
// closed and says why in problem().
class LogStore {
public:
    LogStore() = default;
    ~LogStore();
    LogStore(const LogStore&) = delete;
    LogStore& operator=(const LogStore&) = delete;

    // Open and check at identification. Creates a missing database; checks
    // title and version; sets lastStoredLogNo from the last whole record.
    // PASS, DATABASE_CORRUPT (a folder, a header cut short, an I/O error),
    // DATABASE_WRONG_TITLE, DATABASE_WRONG_VERSION, DATABASE_CREATE_FAIL, or
    // DATABASE_WRITE_FAIL (the database can be read but not written, or
    // another connection holds it). Only PASS leaves the store open.
    // `dailyBase` is the folder in which the daily text folders are made.
    LogDatabaseCheck open(const std::filesystem::path& path, MachineInfo& info,
                          const std::filesystem::path& dailyBase);
    bool isOpen() const { return fd_ >= 0; }

    // Appends one whole record behind the last whole record, then its report
    // line to the daily text file, unless that file already holds the line
    // (a record fetched again after its database was cut). Nothing is stored, and no line written,
    // unless the store is open and the record is 128 bytes. A failed write
    // leaves no part of the record behind and closes the store.
    AppendedRecord append(const uint8_t* record, size_t length, MachineInfo& info);

    // Records appended since the last sync, while the store is open (a closed
    // store has nothing left to sync, so nobody waits to sync it).
    bool unsynced() const { return fd_ >= 0 && end_ != syncedEnd_; }
    struct SyncResult {
        bool ok = true;
        // After a failed sync: the newest record known to be on the disk, to
        // which lastStoredLogNo goes back so that the rest is fetched again.
        bool holdsRecords = false;
        int32_t lastStoredLogNo = 0;
    };
    // Brings what was appended to the disk (fdatasync of the database, then
    // of the daily file). A failure cuts the database back to what the last
    // sync made safe and closes the store.
    SyncResult sync();
    // Sync and close; the store can be opened again.
    void close();

    // What went wrong last, in words ("cannot be written: No space left on
    // device"); empty when nothing did.
    const std::string& problem() const { return problem_; }
    // What open mended, in words (a header cut short by an interrupted
    // creation is completed); empty when nothing.
    const std::string& note() const { return note_; }
    const std::filesystem::path& path() const { return path_; }
    // For tests and benchmarks: database bytes made safe by the last sync,
    // and how many syncs reached the disk.
    uint64_t syncedSize() const { return syncedEnd_; }
    uint64_t syncCount() const { return syncs_; }

private:
    LogDatabaseCheck fail(DatabaseResult result, std::string problem);
    bool completeHeader(const uint8_t* have, size_t got);
    void writeDailyLine(const MachineInfo& info, const LogRecord& r, const std::string& line);
    void readDailyLines(const std::filesystem::path& file);
    bool syncDaily();
    void closeDaily();

    int fd_ = -1;
    std::filesystem::path path_;
    std::filesystem::path dailyBase_;
    uint64_t end_ = 0;         // where the next record goes
    uint64_t fileSize_ = 0;    // may hold a torn record behind end_
    uint64_t syncedEnd_ = 0;   // bytes the last sync made safe
    bool syncedHolds_ = false; // the synced part holds a record
    int32_t syncedLogNo_ = 0;  // and this is its newest
    bool appendedHolds_ = false;
    int32_t appendedLogNo_ = 0; // the newest record appended
    uint64_t syncs_ = 0;
    std::string problem_;
    std::string note_;

    FilePtr daily_;
    std::filesystem::path dailyPath_;
    bool dailyUnsynced_ = false;
    std::unordered_set<size_t> dailyLines_; // hashes of the open daily file's lines
};

// One record through a store opened for it: appends behind the last whole
// record (a torn one is cut first) and writes the daily line once stored.
// Nothing is written to a database that fails its check.
AppendedRecord appendLogRecord(const std::filesystem::path& path, MachineInfo& info,
                               const uint8_t* record, size_t length,
                               const std::filesystem::path& baseDir);

} // namespace dupmon
