// Any 128 bytes a controller might send as a job-log record decode into
// texts without reading outside the record; any bytes checked as a sealed
// report are judged without reading outside them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "logdb/log_record.h"
#include "logdb/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t record[dupmon::kLogRecordSize] = {};
    std::memcpy(record, data, size < sizeof record ? size : sizeof record);
    dupmon::LogRecord r = dupmon::decodeLogRecord(record);
    std::string line = dupmon::reportLine(r);
    auto columns = dupmon::logViewerColumns(r);
    if (line.size() > 1024 || columns[7].size() > 1024)
        __builtin_trap(); // a line must fit the report's line buffer
    dupmon::verifySeal(data, size);
    return 0;
}
