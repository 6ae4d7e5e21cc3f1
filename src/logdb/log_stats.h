#pragma once
// Figures of a machine's job log over a range of days: PASS and FAIL counts,
// yield, failing LBAs, copies per working hour, run time and speed; per port
// (with the ports whose failures stand out), per day and per function.
// Streamed: a few MB whatever the size of the log database.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/result_codes.h"
#include "logdb/report.h"

namespace dupmon {

// What a record says of its job, as its result text does: "PASS", "User
// Abort", "START" (a burn-in began) or a failure of any kind.
enum class JobOutcome : uint8_t { Pass, Fail, Abort, Start };

struct RecordOutcome {
    JobOutcome outcome = JobOutcome::Pass;
    // The failure names a sector ("FAIL(LBA:n)"): its error address counts
    // among the failing LBAs.
    bool failingLba = false;
};
RecordOutcome recordOutcome(const uint8_t* record128);

// The date and time of a record are a real date (the clock of a machine
// that was never set may give none). Records without one belong to no day.
bool hasRealDate(const uint8_t* record128);

struct OutcomeCounts {
    uint64_t pass = 0, fail = 0, abort = 0, start = 0;

    uint64_t finished() const { return pass + fail; }
    // Percent of finished jobs that passed (the machine window's YIELD) and
    // that failed; 0 when none finished.
    double yieldPercent() const {
        return finished() ? 100.0 * double(pass) / double(finished()) : 0;
    }
    double failurePercent() const {
        return finished() ? 100.0 * double(fail) / double(finished()) : 0;
    }
    void add(JobOutcome o);
};

// Count, mean, population standard deviation, least and greatest of a
// figure, kept without the values (Welford's method).
struct Spread {
    uint64_t n = 0;
    double mean = 0, m2 = 0, min = 0, max = 0;

    void add(double v);
    double sd() const;
};

struct PortFigures {
    uint16_t port = 0; // as the log records it
    OutcomeCounts counts;
    Spread failingLba; // error addresses of its LBA failures
    Spread runSeconds; // of its passed jobs
    bool standsOut = false;
    double pValue = 1.0;     // Holm-adjusted p-value of the stand-out test
    double othersRate = 0.0; // failure rate of the other ports, 0 to 1
};

struct FunctionFigures {
    uint8_t function = 0;
    OutcomeCounts counts;
    Spread runSeconds;       // of its passed jobs
    Spread writeBytesPerSec; // of its passed jobs that give a write speed
    Spread readBytesPerSec;  // likewise for the read speed
    Spread failingLba;
};

struct DayFunctionCounts {
    uint8_t function = 0;
    OutcomeCounts counts;
};

struct DayFigures {
    ReportDate day;
    OutcomeCounts counts;
    uint32_t workingHours = 0;                // clock hours of the day that hold a finished job
    std::vector<DayFunctionCounts> functions; // by function number
    double copiesPerHour() const {
        return workingHours ? double(counts.pass) / double(workingHours) : 0;
    }
};

struct LogStats {
    DatabaseResult result = PASS;
    std::string problem; // why the database could not be read, in words
    bool cancelled = false;

    bool ranged = false; // without a range every record counts, dated or not
    ReportDate from, to;
    uint64_t records = 0; // in the database
    uint64_t inRange = 0; // of them, counted below
    uint64_t undated = 0; // counted, but with no real date (no range given)
    OutcomeCounts counts;
    uint64_t workingHours = 0;
    Spread failingLba;
    Spread runSeconds;
    bool anyDated = false;
    ReportDate firstDay, lastDay; // of the dated records counted

    std::vector<PortFigures> ports;         // by port number, those with records
    std::vector<DayFigures> days;           // by date, those with records
    std::vector<FunctionFigures> functions; // by function number, those with records

    double copiesPerHour() const {
        return workingHours ? double(counts.pass) / double(workingHours) : 0;
    }
    // The ports that stand out (their port numbers).
    std::vector<uint16_t> standOutPorts() const;
};

// Adds records one at a time; finish() sorts the figures and judges the ports.
class LogStatsBuilder {
public:
    LogStatsBuilder();
    // Every record of the range counts when `ranged` is false.
    LogStatsBuilder(bool ranged, ReportDate from, ReportDate to);
    // Counts one record of the database (skipped when out of the range).
    void add(const uint8_t* record128);
    LogStats finish();

private:
    struct DayTally {
        OutcomeCounts counts;
        uint32_t hours = 0; // bit h: hour h holds a finished job
        std::vector<DayFunctionCounts> functions;
    };
    DayTally& dayOf(uint32_t key);

    LogStats stats_;
    std::vector<PortFigures> ports_;             // indexed by port number, the usual ones
    std::map<uint16_t, PortFigures> extraPorts_; // port numbers past the table
    std::vector<FunctionFigures> functions_;     // indexed by function number
    std::map<uint32_t, DayTally> days_;          // by year << 16 | month << 8 | day
    uint32_t lastDayKey_ = UINT32_MAX;
    DayTally* lastDay_ = nullptr;
};

// The figures of a log database, read a chunk at a time. `cancel`, when
// given, ends the reading early (the result then says cancelled).
LogStats computeLogStats(const std::filesystem::path& database, bool ranged, ReportDate from,
                         ReportDate to, const std::atomic<bool>* cancel = nullptr);

// "2026-12-10"
std::string dayText(ReportDate d);
// Days from 2000-01-01 (negative before it), and back.
int64_t daysFrom2000(ReportDate d);
ReportDate dateFrom2000(int64_t days);

} // namespace dupmon
