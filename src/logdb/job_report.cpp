// Grouping a range of job-log records into jobs for the detail report, and
// writing the report as text or CSV.
#include "logdb/job_report.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "common/byte_order.h"
#include "common/file_io.h"
#include "common/text.h"
#include "logdb/log_database.h"
#include "logdb/log_record.h"
#include "logdb/stats_output.h"
#include "machine_window/port_map_layout.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {

// A machine that reports an elapsed time of more than a week gives no usable
// start: its record's own time is taken instead.
constexpr uint32_t kLongestElapsed = 7 * 24 * 3600;

int64_t recordSeconds(const uint8_t* r) {
    const ReportDate day{uint16_t(2000 + r[4]), r[5], r[6]};
    return daysFrom2000(day) * 86400 + r[7] * 3600 + r[8] * 60 + r[9];
}

std::string yieldText(const OutcomeCounts& c) {
    return c.finished() ? format("%.1f%%", c.yieldPercent()) : "-";
}

} // namespace

std::string clockText(int64_t seconds) {
    const int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    const int64_t rest = seconds - days * 86400;
    return dayText(dateFrom2000(days)) +
           format(" %02d:%02d:%02d", int(rest / 3600), int(rest / 60 % 60), int(rest % 60));
}

std::string portListText(const std::vector<uint16_t>& ports, LayoutKind kind) {
    std::vector<uint16_t> sorted = ports;
    std::sort(sorted.begin(), sorted.end());
    std::string out;
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1)
            ++j;
        if (!out.empty())
            out += ", ";
        out += portCaption(sorted[i], kind);
        if (j > i)
            out += "-" + portCaption(sorted[j], kind);
        i = j + 1;
    }
    return out;
}

std::string mediaSizeText(const JobGroup& job) {
    const std::string low = sizeText(job.minCapacity, job.sectorSize);
    if (job.minCapacity == job.maxCapacity)
        return low;
    return low + "-" + sizeText(job.maxCapacity, job.sectorSize);
}

JobReport groupJobs(const fs::path& database, bool ranged, ReportDate from, ReportDate to,
                    const std::atomic<bool>* cancel) {
    JobReport report;
    report.ranged = ranged;
    report.from = from;
    report.to = to;
    LogRecordReader reader;
    report.result = reader.open(database);
    report.problem = reader.problem();
    if (report.result != PASS)
        return report;
    std::vector<bool> named(65536, false); // ports the open job has named
    JobGroup* job = nullptr;
    auto closeJob = [&] {
        if (job)
            for (uint16_t p : job->ports)
                named[p] = false;
        job = nullptr;
    };
    uint32_t index = 0, sinceCheck = 0;
    for (const uint8_t* r; (r = reader.next()); ++index) {
        if (cancel && ++sinceCheck == 16384) {
            sinceCheck = 0;
            if (cancel->load(std::memory_order_relaxed)) {
                report.cancelled = true;
                break;
            }
        }
        ++report.records;
        const bool dated = hasRealDate(r);
        if (ranged && (!dated || !isInReportRange(r, from, to)))
            continue;
        ++report.inRange;
        const uint8_t function = r[14];
        const uint16_t port = readBE16(r + 80);
        const uint32_t elapsed = readBE32(r + 52);
        const int64_t at = dated ? recordSeconds(r) : 0;
        const int64_t started = elapsed <= kLongestElapsed ? at - elapsed : at;
        const bool sameJob = job && job->function == function && job->dated == dated &&
                             !named[port] &&
                             (!dated || (started >= job->started - kSameJobSeconds &&
                                         started <= job->started + kSameJobSeconds));
        if (!sameJob) {
            closeJob();
            report.jobs.emplace_back();
            job = &report.jobs.back();
            job->firstIndex = index;
            job->firstNo = readBE32(r);
            job->function = function;
            job->functionText = functionText(decodeLogRecord(r));
            job->dated = dated;
            job->started = job->ended = started;
            job->minCapacity = job->maxCapacity = readBE32(r + 24);
            job->sectorSize = readBE16(r + 82);
        }
        job->lastIndex = index;
        job->lastNo = readBE32(r);
        ++job->records;
        named[port] = true;
        job->ports.push_back(port);
        job->started = std::min(job->started, started);
        job->ended = std::max(job->ended, at);
        const uint32_t capacity = readBE32(r + 24);
        job->minCapacity = std::min(job->minCapacity, capacity);
        job->maxCapacity = std::max(job->maxCapacity, capacity);
        const RecordOutcome o = recordOutcome(r);
        job->counts.add(o.outcome);
        report.counts.add(o.outcome);
        job->longestRun = std::max(job->longestRun, runTime(decodeLogRecord(r)));
    }
    if (reader.failed()) {
        report.result = DATABASE_CORRUPT;
        report.problem = "it could not be read to its end";
    }
    return report;
}

std::string jobReportText(const JobReport& report, const MachineInfo& info,
                          const std::string& machine) {
    const LayoutKind kind = layoutKindOf(info);
    std::string o = "Detail Report\n";
    o += "Machine: " + machine +
         "  Machine ID: " + std::string(fieldText(info.machineId, sizeof info.machineId)) + "\n";
    o += "Range: " +
         (report.ranged ? dayText(report.from) + " to " + dayText(report.to) : "all records") +
         "\n";
    const OutcomeCounts& c = report.counts;
    o += format("Jobs: %zu  Records: %llu  PASS: %llu  FAIL: %llu  Yield: %s\n\n",
                report.jobs.size(), (unsigned long long)report.inRange, (unsigned long long)c.pass,
                (unsigned long long)c.fail, yieldText(c).c_str());
    o += "    Job  Start                End                  Function                           "
         "Media size        Ports                       Recs   PASS   FAIL  Abort   Yield  "
         "Longest run\n";
    for (size_t i = 0; i < report.jobs.size(); ++i) {
        const JobGroup& j = report.jobs[i];
        o += format("%7zu  %-19s  %-19s  %-35s %-17s %-26s %5u %6llu %6llu %6llu %7s  %s\n", i + 1,
                    j.dated ? clockText(j.started).c_str() : "-",
                    j.dated ? clockText(j.ended).c_str() : "-", j.functionText.c_str(),
                    mediaSizeText(j).c_str(), portListText(j.ports, kind).c_str(), j.records,
                    (unsigned long long)j.counts.pass, (unsigned long long)j.counts.fail,
                    (unsigned long long)j.counts.abort, yieldText(j.counts).c_str(),
                    timeText(j.longestRun).c_str());
    }
    return o;
}

std::string jobReportCsv(const JobReport& report, const MachineInfo& info) {
    const LayoutKind kind = layoutKindOf(info);
    std::string o = std::string(kJobReportCsvHeader) + "\r\n";
    for (size_t i = 0; i < report.jobs.size(); ++i) {
        const JobGroup& j = report.jobs[i];
        o += format("%zu,%s,%s,%u,", i + 1, j.dated ? clockText(j.started).c_str() : "",
                    j.dated ? clockText(j.ended).c_str() : "", unsigned(j.function));
        o += csvField(j.functionText) + "," + csvField(mediaSizeText(j)) + "," +
             csvField(portListText(j.ports, kind)) + ",";
        o += format("%u,%llu,%llu,%llu,%llu,%s,%u,%u,%u\r\n", j.records,
                    (unsigned long long)j.counts.pass, (unsigned long long)j.counts.fail,
                    (unsigned long long)j.counts.abort, (unsigned long long)j.counts.start,
                    j.counts.finished() ? format("%.2f", j.counts.yieldPercent()).c_str() : "",
                    j.longestRun, j.firstNo + 1, j.lastNo + 1);
    }
    return o;
}

bool saveWholeFile(const fs::path& file, const std::string& contents, std::string& problem) {
    const fs::path fresh = file.string() + ".new";
    std::error_code ec;
    fs::remove(fresh, ec);
    UniqueFd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) {
        problem = "cannot be created: " + errorText(errno);
        return false;
    }
    int error = 0;
    for (size_t done = 0; done < contents.size() && !error;) {
        const ssize_t n = ::write(fd.get(), contents.data() + done, contents.size() - done);
        if (n > 0)
            done += size_t(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? EIO : errno;
    }
    if (!error && ::fsync(fd.get()) != 0)
        error = errno;
    if (fd.close() != 0 && !error)
        error = errno;
    if (!error && std::rename(fresh.c_str(), file.c_str()) != 0)
        error = errno;
    if (error) {
        problem = "cannot be written: " + errorText(error);
        fs::remove(fresh, ec);
        return false;
    }
    // The folder's entry, too, reaches the disk.
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    if (const UniqueFd dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)})
        ::fsync(dir.get());
    return true;
}

} // namespace dupmon
