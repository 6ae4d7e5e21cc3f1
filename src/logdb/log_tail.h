#pragma once
// Pages of a log database read from its end, so that the log viewer opens at
// once on a long job log.
#include <cstdint>
#include <filesystem>
#include <memory>

#include "common/result_codes.h"
#include "logdb/log_record.h"

namespace dupmon {

// The newest records of a log database, read from the end of the file: the
// log viewer shows only the last few thousand and must open at once however
// long the log has grown.
struct LogDatabaseTail {
    DatabaseResult result = DATABASE_NOT_EXIST;
    std::unique_ptr<uint8_t[]> records; // `count` whole records, oldest first
    uint32_t count = 0;
    uint64_t total = 0; // records in the file; a damaged tail is not counted
    uint64_t first = 0; // index in the file of the first record read

    const uint8_t* record(uint32_t i) const { return records.get() + size_t(i) * kLogRecordSize; }
};

// The checks and codes of readLogDatabase (PASS, DATABASE_NOT_EXIST,
// MEMORY_NOT_ENOUGH_FOR_DATABASE, DATABASE_CORRUPT, DATABASE_WRONG_TITLE,
// DATABASE_WRONG_VERSION), but only the last `maxRecords` whole records are
// read, after one seek past the older ones.
LogDatabaseTail readLogDatabaseTail(const std::filesystem::path& path, uint32_t maxRecords);
// The same for the `maxRecords` whole records that end before record index
// `end` of the file (an `end` past the last record counts from the last):
// older records read a page at a time.
LogDatabaseTail readLogDatabasePage(const std::filesystem::path& path, uint64_t end,
                                    uint32_t maxRecords);

} // namespace dupmon
