#pragma once
// What the stand-in machine's source files share: the job-log entry the
// record encoder writes, and the seconds count that the machine clock and
// the preloaded log step through.
#include <cstdint>

#include "common/clock.h"
#include "sim/machine_model.h"

namespace dupmon::machine_parts {

// Seconds since 1970-01-01 of a local time, and back.
int64_t epochSeconds(const LocalTime& t);
LocalTime fromEpochSeconds(int64_t s);

inline uint32_t low32(uint64_t v) {
    return static_cast<uint32_t>(v);
}

// One job-log record's own fields; the medium in the port supplies the rest.
struct LogEntry {
    uint32_t number = 0;
    LocalTime when;
    uint8_t function = 0;
    uint8_t detail = 0;
    uint8_t area = 0;
    uint8_t result = 0;
    uint8_t burnStatus = 0;
    uint32_t dataSize = 0;
    uint32_t sizeMB = 0;
    uint32_t errorAddr = 0;
    uint32_t readSpeed = 0;
    uint32_t writeSpeed = 0;
    uint32_t elapsed = 0;
    uint16_t copyTime = 0;
    uint16_t compareTime = 0;
    uint32_t loop = 0;
    uint32_t readLoop = 0;
    uint32_t errorCount = 0;
    uint16_t port = 0;
};

// Encodes a job-log record (MachineModel::kLogRecordSize bytes).
void writeLogRecord(uint8_t* r, const LogEntry& e, const SimMedium& m);

} // namespace dupmon::machine_parts
