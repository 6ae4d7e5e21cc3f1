// Counting a job log's figures record by record: outcomes, run times, speeds
// and failing LBAs per port, per day and per function.
#include "logdb/log_stats.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "common/byte_order.h"
#include "common/clock.h"
#include "common/text.h"
#include "logdb/log_database.h"
#include "logdb/stand_out.h"

namespace dupmon {

namespace {

// Record offsets read here (the layout is in log_record.h).
constexpr size_t kYear = 4, kMonth = 5, kDay = 6, kHour = 7, kMinute = 8, kSecond = 9;
constexpr size_t kFunction = 14, kDetail = 17, kErrorAddress = 40, kReadSpeed = 44;
constexpr size_t kWriteSpeed = 48, kElapsed = 52, kCopyTime = 56, kCompareTime = 58;
constexpr size_t kResult = 62, kBurnInStatus = 63, kPort = 80, kSectorSize = 82;

// Its speed fields hold a CRC64, not speeds.
constexpr uint8_t kFunctionCrc64 = 29;
// Ports below this are counted in a table; others (only a damaged record
// names one) in a map, so memory stays small whatever a record says.
constexpr size_t kTablePorts = 256;

bool isBurnIn(uint8_t f) {
    return f == 22 || f == 23;
}

bool isMediaTest(uint8_t f) {
    return f == 14 || f == 15 || f == 32;
}

// The run time of a record, as runTime() gives it from the decoded record.
uint32_t runSeconds(const uint8_t* r) {
    switch (r[kFunction]) {
    case 1:
    case 6:
    case 84:
        return readBE16(r + kCopyTime);
    case 4:
    case 9:
        return readBE16(r + kCompareTime);
    case 5:
    case 10:
    case 85:
        return uint32_t(readBE16(r + kCopyTime)) + readBE16(r + kCompareTime);
    default:
        return readBE32(r + kElapsed);
    }
}

uint32_t dayKey(uint16_t year, uint8_t month, uint8_t day) {
    return uint32_t(year) << 16 | uint32_t(month) << 8 | day;
}

ReportDate dayOfKey(uint32_t key) {
    return ReportDate{uint16_t(key >> 16), uint16_t(key >> 8 & 0xFF), uint16_t(key & 0xFF)};
}

} // namespace

RecordOutcome recordOutcome(const uint8_t* r) {
    const uint8_t function = r[kFunction], result = r[kResult], burnIn = r[kBurnInStatus];
    // The rules of the result text, in its order.
    if (function == 38)
        return {result == 0 ? JobOutcome::Pass : JobOutcome::Fail, false};
    if (isBurnIn(function)) {
        if (burnIn == 0)
            return {JobOutcome::Start, false};
        if (result == 1)
            return {JobOutcome::Abort, false};
        if (burnIn >= 2)
            return {JobOutcome::Fail, false};
    }
    if (result == 0)
        return {JobOutcome::Pass, false};
    if (result == 1)
        return {JobOutcome::Abort, false};
    const uint8_t detail = r[kDetail];
    if (detail == 80 || detail == 81 || result == 17 || result == 48)
        return {JobOutcome::Fail, false};
    if (isMediaTest(function) && (result == 64 || result == 65 || result == 38 || result == 39))
        return {JobOutcome::Fail, false};
    return {JobOutcome::Fail, true};
}

bool hasRealDate(const uint8_t* r) {
    static const uint8_t monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const uint8_t month = r[kMonth], day = r[kDay];
    if (month < 1 || month > 12 || day < 1 || r[kHour] > 23 || r[kMinute] > 59 || r[kSecond] > 59)
        return false;
    const int year = 2000 + r[kYear];
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= monthDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

void OutcomeCounts::add(JobOutcome o) {
    switch (o) {
    case JobOutcome::Pass:
        ++pass;
        break;
    case JobOutcome::Fail:
        ++fail;
        break;
    case JobOutcome::Abort:
        ++abort;
        break;
    case JobOutcome::Start:
        ++start;
        break;
    }
}

void Spread::add(double v) {
    if (n == 0) {
        min = max = v;
    } else {
        min = std::min(min, v);
        max = std::max(max, v);
    }
    ++n;
    const double delta = v - mean;
    mean += delta / double(n);
    m2 += delta * (v - mean);
}

double Spread::sd() const {
    return n ? std::sqrt(std::max(0.0, m2 / double(n))) : 0;
}

std::vector<uint16_t> LogStats::standOutPorts() const {
    std::vector<uint16_t> v;
    for (const auto& p : ports)
        if (p.standsOut)
            v.push_back(p.port);
    return v;
}

std::string dayText(ReportDate d) {
    return format("%04u-%02u-%02u", unsigned(d.year), unsigned(d.month), unsigned(d.day));
}

int64_t daysFrom2000(ReportDate d) {
    return daysFromCivil(d.year, d.month, d.day) - daysFromCivil(2000, 1, 1);
}

ReportDate dateFrom2000(int64_t days) {
    int y = 0, m = 0, d = 0;
    civilFromDays(days + daysFromCivil(2000, 1, 1), y, m, d);
    return ReportDate{uint16_t(y), uint16_t(m), uint16_t(d)};
}

LogStatsBuilder::LogStatsBuilder() : LogStatsBuilder(false, {}, {}) {}

LogStatsBuilder::LogStatsBuilder(bool ranged, ReportDate from, ReportDate to)
    : ports_(kTablePorts), functions_(256) {
    stats_.ranged = ranged;
    stats_.from = from;
    stats_.to = to;
    for (size_t i = 0; i < ports_.size(); ++i)
        ports_[i].port = uint16_t(i);
    for (size_t i = 0; i < functions_.size(); ++i)
        functions_[i].function = uint8_t(i);
}

LogStatsBuilder::DayTally& LogStatsBuilder::dayOf(uint32_t key) {
    // Records come mostly in date order: the day of the one before is the
    // usual answer.
    if (key != lastDayKey_) {
        lastDay_ = &days_[key];
        lastDayKey_ = key;
    }
    return *lastDay_;
}

void LogStatsBuilder::add(const uint8_t* r) {
    ++stats_.records;
    const bool dated = hasRealDate(r);
    if (stats_.ranged && (!dated || !isInReportRange(r, stats_.from, stats_.to)))
        return;
    ++stats_.inRange;
    const RecordOutcome o = recordOutcome(r);
    const uint8_t function = r[kFunction];
    const uint16_t port = readBE16(r + kPort);
    stats_.counts.add(o.outcome);

    PortFigures& p = port < kTablePorts ? ports_[port] : extraPorts_[port];
    p.port = port;
    FunctionFigures& f = functions_[function];
    p.counts.add(o.outcome);
    f.counts.add(o.outcome);
    if (o.failingLba) {
        const double lba = readBE32(r + kErrorAddress);
        stats_.failingLba.add(lba);
        p.failingLba.add(lba);
        f.failingLba.add(lba);
    }
    if (o.outcome == JobOutcome::Pass) {
        const double seconds = runSeconds(r);
        stats_.runSeconds.add(seconds);
        p.runSeconds.add(seconds);
        f.runSeconds.add(seconds);
        if (function != kFunctionCrc64) {
            const uint64_t sectorSize = readBE16(r + kSectorSize);
            const uint64_t write = readBE32(r + kWriteSpeed) * sectorSize;
            const uint64_t read = readBE32(r + kReadSpeed) * sectorSize;
            if (write > 0)
                f.writeBytesPerSec.add(double(write));
            if (read > 0)
                f.readBytesPerSec.add(double(read));
        }
    }

    if (!dated) {
        ++stats_.undated;
        return;
    }
    const uint32_t key = dayKey(uint16_t(2000 + r[kYear]), r[kMonth], r[kDay]);
    DayTally& d = dayOf(key);
    d.counts.add(o.outcome);
    if (o.outcome == JobOutcome::Pass || o.outcome == JobOutcome::Fail)
        d.hours |= 1u << r[kHour];
    auto it = std::find_if(d.functions.begin(), d.functions.end(),
                           [&](const DayFunctionCounts& c) { return c.function == function; });
    if (it == d.functions.end()) {
        d.functions.push_back({function, {}});
        it = d.functions.end() - 1;
    }
    it->counts.add(o.outcome);
}

LogStats LogStatsBuilder::finish() {
    LogStats s = std::move(stats_);
    auto used = [](const OutcomeCounts& c) { return c.pass + c.fail + c.abort + c.start > 0; };
    for (auto& p : ports_)
        if (used(p.counts))
            s.ports.push_back(p);
    for (auto& [port, p] : extraPorts_)
        s.ports.push_back(p);
    for (auto& f : functions_)
        if (used(f.counts))
            s.functions.push_back(f);
    for (auto& [key, tally] : days_) {
        DayFigures d;
        d.day = dayOfKey(key);
        d.counts = tally.counts;
        d.workingHours = uint32_t(std::popcount(tally.hours));
        d.functions = tally.functions;
        std::sort(d.functions.begin(), d.functions.end(),
                  [](const auto& a, const auto& b) { return a.function < b.function; });
        s.workingHours += d.workingHours;
        s.days.push_back(std::move(d));
    }
    if (!s.days.empty()) {
        s.anyDated = true;
        s.firstDay = s.days.front().day;
        s.lastDay = s.days.back().day;
    }

    std::vector<PortTally> tallies;
    tallies.reserve(s.ports.size());
    for (const auto& p : s.ports)
        tallies.push_back({p.counts.finished(), p.counts.fail});
    const std::vector<StandOutVerdict> verdicts = judgePorts(tallies);
    for (size_t i = 0; i < s.ports.size(); ++i) {
        s.ports[i].standsOut = verdicts[i].standsOut;
        s.ports[i].pValue = verdicts[i].pValue;
        s.ports[i].othersRate = verdicts[i].othersRate;
    }

    // Ready for another run.
    *this = LogStatsBuilder(s.ranged, s.from, s.to);
    return s;
}

LogStats computeLogStats(const std::filesystem::path& database, bool ranged, ReportDate from,
                         ReportDate to, const std::atomic<bool>* cancel) {
    LogStatsBuilder builder(ranged, from, to);
    LogRecordReader reader;
    if (DatabaseResult result = reader.open(database); result != PASS) {
        LogStats s = builder.finish();
        s.result = result;
        s.problem = reader.problem();
        return s;
    }
    uint32_t sinceCheck = 0;
    bool cancelled = false;
    while (const uint8_t* r = reader.next()) {
        builder.add(r);
        if (cancel && ++sinceCheck == 65536) {
            sinceCheck = 0;
            if (cancel->load(std::memory_order_relaxed)) {
                cancelled = true;
                break;
            }
        }
    }
    LogStats s = builder.finish();
    s.cancelled = cancelled;
    if (reader.failed()) {
        s.result = DATABASE_CORRUPT;
        s.problem = "it could not be read to its end";
    }
    return s;
}

} // namespace dupmon
