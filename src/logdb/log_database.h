#pragma once
// The log database of one machine, the file every job-log record is stored
// in: its layout, its checks and its readers.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "common/file_io.h"
#include "common/result_codes.h"
#include "logdb/log_record.h"
#include "protocol/machine_info.h"

namespace dupmon {

// The log database of one machine: a 512-byte header, then the job-log
// records in arrival order, 128 bytes each, exactly as the controller sent
// them. Every operation opens the file, works and closes it.
//
// offset size content
//    0   120  title: 100 fixed characters (the last six blanks), NUL, zeros
//  120    24  version: "2.01.10.03" and ten blanks, NUL, zeros
//  144     4  0 (never read)
//  148     4  0 (never read)
//  152   360  zeros
//  512 128·n  record k at 512 + 128·k
constexpr size_t kLogHeaderSize = 512;
constexpr size_t kLogTitleSize = 100;
constexpr size_t kLogVersionOffset = 120;
constexpr size_t kLogVersionSize = 20;
// Written at creation and compared on every open: it must never change.
inline constexpr char kLogDatabaseTitle[kLogTitleSize + 1] =
    "DUPLICATOR MONITOR JOB LOG DATABASE - 128-BYTE JOB-LOG RECORDS AFTER A 512-BYTE HEADER"
    "              ";
inline constexpr char kLogDatabaseVersion[kLogVersionSize + 1] = "2.01.10.03          ";
static_assert(std::string_view(kLogDatabaseTitle).size() == kLogTitleSize);
static_assert(std::string_view(kLogDatabaseTitle).substr(kLogTitleSize - 6) == "      ");
static_assert(std::string_view(kLogDatabaseVersion).size() == kLogVersionSize);

// "<databaseDir>/<machineId>.QX42.LOGDATA", the machine id made safe as a file name.
std::filesystem::path logDatabasePath(const std::filesystem::path& databaseDir,
                                      const MachineInfo& info);

// PASS, DATABASE_CORRUPT (fewer than 512 bytes), DATABASE_WRONG_TITLE or
// DATABASE_WRONG_VERSION for the first `got` bytes of a database.
DatabaseResult checkLogHeader(const uint8_t* header, size_t got);
// What is wrong with a header that check refused, in words.
const char* logHeaderProblem(DatabaseResult result);

// Writes a new file holding the header only, whole or not at all; false
// (with errno) when it cannot be written. With `replace` false a file that
// is at the path by then is kept, and the result is false with EEXIST.
bool createLogDatabase(const std::filesystem::path& path, bool replace = true);
// The 512 header bytes of a new database.
void logDatabaseHeader(uint8_t* header512);

// Where the stored records of a database end. A crash can leave the file
// longer than what reached it (the size on the disk, the bytes not): whole
// slots of zeros at its end, written or sparse, and part of a slot. Neither
// is a record: a record carries its date, so it is never all zeros, and log
// number 0 is never read from an empty slot. Every reader stops at the last
// record; the store cuts the rest before its next append.
struct StoredRecords {
    uint64_t count = 0;     // records before the damaged tail
    uint64_t zeroSlots = 0; // whole slots of zeros behind them
    uint64_t tornBytes = 0; // bytes of a slot cut short at the very end
    int error = 0;          // a read failed (the counts are then not known)

    uint64_t end() const { return kLogHeaderSize + count * kLogRecordSize; }
    uint64_t damagedBytes() const { return zeroSlots * kLogRecordSize + tornBytes; }
    // The damaged tail in words ("its last 640 bytes hold only zeros (5
    // record slots)"); empty when there is none.
    std::string damage() const;
};
// Looks at the slots of a database of `size` bytes from its end: a hole is
// skipped without being read, slots of written zeros are read back to the
// last record. The descriptor's file position is left as it was.
StoredRecords scanStoredRecords(int fd, uint64_t size);

struct LogDatabaseCheck {
    DatabaseResult result = PASS;
    // At least one whole record is stored. Log number 0 is a real record, so
    // lastStoredLogNo == 0 alone cannot say that nothing is stored yet.
    bool holdsRecords = false;
};

// Open and check at identification: creates a missing file, checks title
// and version, and on PASS sets lastStoredLogNo from the last whole record
// (0 when there is none). Returns PASS, DATABASE_CORRUPT,
// DATABASE_WRONG_TITLE, DATABASE_WRONG_VERSION or DATABASE_CREATE_FAIL.
LogDatabaseCheck checkLogDatabase(const std::filesystem::path& path, MachineInfo& info);

struct AppendedRecord {
    // The record reached the database file; only then lastStoredLogNo moved,
    // so a record that was not stored is fetched again later.
    bool stored = false;
    // The record's report line (no line end); empty unless stored.
    std::string reportLine;
};

// The daily text file that a record of this date goes to.
std::filesystem::path dailyLogPath(const std::filesystem::path& baseDir, const MachineInfo& info,
                                   int year, int month, int day);

// The record area of a whole database, as readers load it.
struct LogDatabaseContents {
    DatabaseResult result = DATABASE_NOT_EXIST;
    std::unique_ptr<uint8_t[]> records; // count whole records; a torn tail is not counted
    uint32_t count = 0;

    const uint8_t* record(uint32_t i) const { return records.get() + size_t(i) * kLogRecordSize; }
};

// Read whole database: PASS, DATABASE_NOT_EXIST, MEMORY_NOT_ENOUGH_FOR_DATABASE,
// DATABASE_CORRUPT, DATABASE_WRONG_TITLE or DATABASE_WRONG_VERSION.
LogDatabaseContents readLogDatabase(const std::filesystem::path& path);

// Reads the 512-byte header of a file opened for reading and checks title and
// version: PASS, DATABASE_CORRUPT (short), DATABASE_WRONG_TITLE or DATABASE_WRONG_VERSION.
DatabaseResult checkLogHeader(std::FILE* f);

// Reads the records of a database in order, a chunk at a time, for readers
// that need each record once (the log tool's print and csv).
class LogRecordReader {
public:
    // The checks and codes of readLogDatabase.
    DatabaseResult open(const std::filesystem::path& path);
    uint32_t count() const { return count_; }
    // The next whole record, or nullptr after the last one or when the file
    // could not be read (failed() then tells).
    const uint8_t* next();
    bool failed() const { return failed_; }
    // What open found wrong, in words ("is a folder, not a file").
    const std::string& problem() const { return problem_; }

private:
    FilePtr file_;
    std::unique_ptr<uint8_t[]> chunk_;
    size_t chunkRecords_ = 0, position_ = 0;
    uint32_t count_ = 0, remaining_ = 0;
    bool failed_ = false;
    std::string problem_;
};

// Header check, record count and the first and last records, without
// loading the file (for the log tool's info).
struct LogDatabaseSummary {
    DatabaseResult result = DATABASE_NOT_EXIST;
    std::string problem; // in words, when result is not PASS
    uint64_t fileSize = 0;
    uint32_t count = 0;
    StoredRecords stored; // with the damaged tail, if any
    uint8_t first[kLogRecordSize] = {};
    uint8_t last[kLogRecordSize] = {};
};
LogDatabaseSummary summarizeLogDatabase(const std::filesystem::path& path);

} // namespace dupmon
