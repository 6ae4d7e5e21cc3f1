// Any file at the database path is checked, read whole, summarized and
// streamed without crashing, and all readers agree on the record count.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "logdb/log_database.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/fuzz_logdb_" + std::to_string(getpid()) + ".QX42.LOGDATA";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    // An odd first byte puts the rest behind a valid header, so the record
    // area and torn tails get explored, not only foreign headers.
    if (size > 0 && (data[0] & 1)) {
        uint8_t header[dupmon::kLogHeaderSize] = {};
        std::memcpy(header, dupmon::kLogDatabaseTitle, dupmon::kLogTitleSize);
        std::memcpy(header + dupmon::kLogVersionOffset, dupmon::kLogDatabaseVersion,
                    dupmon::kLogVersionSize);
        std::fwrite(header, 1, sizeof header, f);
        ++data;
        --size;
    }
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    dupmon::MachineInfo info{};
    dupmon::LogDatabaseCheck check = dupmon::checkLogDatabase(path, info);
    dupmon::LogDatabaseContents contents = dupmon::readLogDatabase(path);
    dupmon::LogDatabaseSummary summary = dupmon::summarizeLogDatabase(path);
    dupmon::LogRecordReader reader;
    uint32_t streamed = 0;
    if (reader.open(path) == dupmon::PASS)
        while (reader.next())
            ++streamed;
    if (contents.result == dupmon::PASS &&
        (summary.count != contents.count || streamed != contents.count ||
         check.holdsRecords != (contents.count > 0)))
        __builtin_trap();
    std::remove(path.c_str());
    return 0;
}
