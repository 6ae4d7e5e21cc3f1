#pragma once
// One job-log record as a row of the server's record table, and the COPY
// lines that carry such rows to the server.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dupmon {

// One job-log record as a row of the server's record table: the machine id
// and log number that key it, the fields an operator reads (date and time,
// port, function, result, sizes, speeds, target) decoded the way the log
// viewer shows them, and the 128 bytes exactly as stored.
struct ExportRow {
    std::string machineId;
    uint32_t logNo = 0;
    // "YYYY-MM-DD HH:MM:SS" on the machine's clock; empty when the record's
    // date and time are no real date (the column is then NULL).
    std::string recordedAt;
    uint16_t port = 0;
    uint8_t functionNo = 0;
    std::string functionName; // the function table's name, or "Function(N)"
    std::string functionText; // with area and size, as the viewer's function column
    uint8_t resultCode = 0;
    std::string result;  // as the viewer's result column ("PASS", "FAIL(LBA:7)")
    std::string outcome; // "pass", "fail", "abort" (by the user) or "start" (a burn-in began)
    uint32_t capacitySectors = 0;
    uint32_t dataSectors = 0;
    uint16_t sectorSize = 0;
    uint64_t capacityBytes = 0;
    // Bytes per second; none for a CRC64 job, whose speed fields hold the CRC.
    std::optional<uint64_t> readBytesPerSecond;
    std::optional<uint64_t> writeBytesPerSecond;
    uint32_t runTimeSeconds = 0;
    // USB ids and serial, SD/MMC card id or CF identification, as the log
    // viewer shows them; a burn-in's loops and errors instead where it has them.
    std::string target;
};

// The record table's columns in the order appendCopyRow writes them.
inline constexpr std::string_view kRecordColumns =
    "machine_id, log_no, recorded_at, port, function_no, function_name, function_text, "
    "result_code, result, outcome, capacity_sectors, data_sectors, sector_size, capacity_bytes, "
    "read_bytes_per_second, write_bytes_per_second, run_time_seconds, target, raw, sent_by";

ExportRow exportRow(std::string_view machineId, const uint8_t* record128);

// Appends the record as one line of COPY's text format (tab-separated,
// backslash escapes, \N for NULL, the raw bytes as bytea hex), sent by the
// PC named `sentBy` (NULL when empty).
void appendCopyRow(std::string& out, std::string_view machineId, const uint8_t* record128,
                   std::string_view sentBy = {});

// The name this PC's rows carry in sent_by: its host name.
std::string thisPcName();

struct LogNumberRange {
    uint32_t lowest = 0, highest = 0;
};
// Appends `count` records (128 bytes each, one after the other) of one
// machine as COPY lines; returns the range their log numbers lie in.
LogNumberRange appendMachineRows(std::string& out, std::string_view machineId,
                                 const uint8_t* records, uint32_t count,
                                 std::string_view sentBy = {});

// Text a server of UTF-8 encoding takes: valid UTF-8 is kept, a byte that is
// not part of a valid sequence becomes U+FFFD, and NUL becomes U+FFFD too.
// Device-supplied texts (serials, identification) may hold any byte.
std::string serverText(std::string_view bytes);

} // namespace dupmon
