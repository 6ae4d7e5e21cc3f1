#pragma once
// The detail report: a range of a machine's job log grouped by job, with
// each job's start, function, media size, ports, PASS/FAIL and run time,
// as a table and as text and CSV files.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "logdb/log_stats.h"
#include "machine_window/port_status_board.h"
#include "protocol/machine_info.h"

namespace dupmon {

// A job ends its targets' records at about the same time. Records that
// follow each other in the log belong to one job while they are of the same
// function, each names a port the job has not named yet, and they started
// (their time less their elapsed time) within this many seconds of the job's
// first record.
constexpr int64_t kSameJobSeconds = 120;

struct JobGroup {
    uint32_t firstIndex = 0, lastIndex = 0; // record slots in the database
    uint32_t firstNo = 0, lastNo = 0;       // log numbers as stored
    uint32_t records = 0;                   // of the range, from first to last slot
    uint8_t function = 0;
    std::string functionText; // of its first record, as the log viewer shows it
    bool dated = false;
    int64_t started = 0, ended = 0;            // machine clock, seconds from 2000-01-01
    uint32_t minCapacity = 0, maxCapacity = 0; // sectors
    uint16_t sectorSize = 0;                   // of the first record
    std::vector<uint16_t> ports;               // in the order logged
    OutcomeCounts counts;
    uint32_t longestRun = 0; // seconds
};

struct JobReport {
    DatabaseResult result = PASS;
    std::string problem;
    bool cancelled = false;
    bool ranged = false;
    ReportDate from, to;
    uint64_t records = 0, inRange = 0;
    OutcomeCounts counts;
    std::vector<JobGroup> jobs; // in log order
};
JobReport groupJobs(const std::filesystem::path& database, bool ranged, ReportDate from,
                    ReportDate to, const std::atomic<bool>* cancel = nullptr);

// "2026-12-10 08:05:00" of a time in seconds from 2000-01-01.
std::string clockText(int64_t seconds);
// The ports with the machine window's captions, runs joined: "#02-#10, #12".
std::string portListText(const std::vector<uint16_t>& ports, LayoutKind kind);
// "7.2GB", or "3.6GB-7.2GB" when the job had media of several sizes.
std::string mediaSizeText(const JobGroup& job);

// The files Save as Text and Save as CSV write. `machine` names the machine
// as its window does.
std::string jobReportText(const JobReport& report, const MachineInfo& info,
                          const std::string& machine);
constexpr const char* kJobReportCsvHeader =
    "job,started_at,ended_at,function_number,function,media_size,ports,records,pass,fail,"
    "user_abort,burn_in_start,yield_percent,longest_run_seconds,first_no,last_no";
std::string jobReportCsv(const JobReport& report, const MachineInfo& info);

// Writes a whole file beside `file`, syncs it and puts it in its place, so a
// failed save leaves the file as it was. False with `problem` in words.
bool saveWholeFile(const std::filesystem::path& file, const std::string& contents,
                   std::string& problem);

} // namespace dupmon
