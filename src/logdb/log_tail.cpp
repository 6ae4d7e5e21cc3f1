// Reading a page of whole records from the end of a log database, or from
// before a given record, with one seek.
#include "logdb/log_tail.h"

#include <algorithm>
#include <new>

#include "common/file_io.h"
#include "logdb/log_database.h"

namespace dupmon {

LogDatabaseTail readLogDatabaseTail(const std::filesystem::path& path, uint32_t maxRecords) {
    return readLogDatabasePage(path, UINT64_MAX, maxRecords);
}

LogDatabaseTail readLogDatabasePage(const std::filesystem::path& path, uint64_t end,
                                    uint32_t maxRecords) {
    LogDatabaseTail tail;
    // A folder or a pipe at the path is no database: reading it could wait forever.
    ReadableFile db = openRegularFile(path);
    if (!db)
        return tail; // DATABASE_NOT_EXIST
    std::FILE* f = db.file.get();
    tail.result = checkLogHeader(f);
    if (tail.result != PASS)
        return tail;
    const StoredRecords stored = scanStoredRecords(fileno(f), db.size);
    if (stored.error) {
        tail.result = DATABASE_CORRUPT;
        return tail;
    }
    tail.total = stored.count;
    end = std::min(end, tail.total);
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(end, maxRecords));
    tail.first = end - count;
    const size_t bytes = size_t(count) * kLogRecordSize;
    tail.records.reset(new (std::nothrow) uint8_t[bytes ? bytes : 1]);
    if (!tail.records) {
        tail.result = MEMORY_NOT_ENOUGH_FOR_DATABASE;
        return tail;
    }
    if (!seekTo(f, kLogHeaderSize + tail.first * kLogRecordSize) ||
        std::fread(tail.records.get(), 1, bytes, f) != bytes) {
        tail.records.reset();
        tail.result = DATABASE_CORRUPT;
        return tail;
    }
    tail.count = count;
    return tail;
}

} // namespace dupmon
