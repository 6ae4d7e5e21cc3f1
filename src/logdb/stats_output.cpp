// Writing the job-log figures as the stats command's text summary, CSV table
// or JSON document, and the rule by which a port stands out.
#include "logdb/stats_output.h"

#include "common/text.h"
#include "logdb/log_record.h"
#include "logdb/stand_out.h"

namespace dupmon {

std::string standOutRule() {
    return format("A port stands out when its failures are unlikely at the failure rate of the "
                  "machine's other ports (one-sided binomial test, p below %g after Holm's "
                  "correction over the ports that finished jobs; the other ports' rate taken as "
                  "(failures + 1) / (jobs + 2)) and its failure rate is at least %g times theirs.",
                  kStandOutAlpha, kStandOutRatio);
}

namespace {

constexpr double kMiB = 1048576.0;

std::string num(double v, int decimals) {
    return format("%.*f", decimals, v);
}

// A p-value: small ones in exponent form.
std::string pText(double p) {
    return p >= 0.001 || p == 0 ? format("%.4f", p) : format("%.2e", p);
}

std::string spreadOrBlank(const Spread& s, double scale, int decimals, bool mean) {
    if (s.n == 0)
        return "";
    return num((mean ? s.mean : s.sd()) / scale, decimals);
}

// --- CSV ---

struct CsvRow {
    std::string scope, day, port, function, name;
    const OutcomeCounts* counts = nullptr;
    std::string hours, perHour;
    const Spread* run = nullptr;
    const Spread* write = nullptr;
    const Spread* read = nullptr;
    const Spread* lba = nullptr;
    std::string standsOut, pValue;
};

void appendCsvRow(std::string& out, const CsvRow& r) {
    const OutcomeCounts& c = *r.counts;
    static const Spread none;
    const Spread& run = r.run ? *r.run : none;
    const Spread& write = r.write ? *r.write : none;
    const Spread& read = r.read ? *r.read : none;
    const Spread& lba = r.lba ? *r.lba : none;
    out += r.scope + "," + r.day + "," + r.port + "," + r.function + "," + csvField(r.name) + ",";
    out += format("%llu,%llu,%llu,%llu,", (unsigned long long)c.pass, (unsigned long long)c.fail,
                  (unsigned long long)c.abort, (unsigned long long)c.start);
    out += (c.finished() ? num(c.yieldPercent(), 2) : "") + ",";
    out += r.hours + "," + r.perHour + ",";
    out += spreadOrBlank(run, 1, 2, true) + "," + spreadOrBlank(run, 1, 2, false) + ",";
    out += spreadOrBlank(write, kMiB, 3, true) + "," + spreadOrBlank(write, kMiB, 3, false) + ",";
    out += spreadOrBlank(read, kMiB, 3, true) + "," + spreadOrBlank(read, kMiB, 3, false) + ",";
    out += (r.lba ? std::to_string(lba.n) : "") + ",";
    if (lba.n)
        out += format("%.0f,%.0f,%.1f,%.1f", lba.min, lba.max, lba.mean, lba.sd());
    else
        out += ",,,";
    out += "," + r.standsOut + "," + r.pValue + "\r\n";
}

// --- JSON ---

std::string jsonString(const std::string& s) {
    std::string q = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += char(c);
        } else if (c < 0x20) {
            q += format("\\u%04x", c);
        } else {
            q += char(c);
        }
    }
    return q + "\"";
}

std::string jsonCounts(const OutcomeCounts& c) {
    return format("\"pass\": %llu, \"fail\": %llu, \"abort\": %llu, \"start\": %llu, "
                  "\"yield_percent\": %s",
                  (unsigned long long)c.pass, (unsigned long long)c.fail,
                  (unsigned long long)c.abort, (unsigned long long)c.start,
                  c.finished() ? num(c.yieldPercent(), 4).c_str() : "null");
}

std::string jsonSpread(const Spread& s) {
    if (s.n == 0)
        return "{\"n\": 0}";
    return format("{\"n\": %llu, \"mean\": %.6f, \"sd\": %.6f, \"min\": %.17g, \"max\": %.17g}",
                  (unsigned long long)s.n, s.mean, s.sd(), s.min, s.max);
}

// --- text ---

std::string lbaText(const Spread& s) {
    if (s.n == 0)
        return "-";
    return format("%.0f..%.0f mean %.0f sd %.0f", s.min, s.max, s.mean, s.sd());
}

std::string speedText(const Spread& s) {
    if (s.n == 0)
        return "-";
    return format("%.2f sd %.2f", s.mean / kMiB, s.sd() / kMiB);
}

std::string runText(const Spread& s) {
    if (s.n == 0)
        return "-";
    return format("%.1f sd %.1f", s.mean, s.sd());
}

// A range given by one end only runs from the first or to the last record.
bool openEnd(ReportDate d) {
    return d.year == 0 || d.year == UINT16_MAX;
}

std::string rangeText(const LogStats& s) {
    if (!s.ranged)
        return "all records";
    return (openEnd(s.from) ? "the first record" : dayText(s.from)) + " to " +
           (openEnd(s.to) ? "the last record" : dayText(s.to));
}

std::string jsonDay(ReportDate d) {
    return openEnd(d) ? "null" : "\"" + dayText(d) + "\"";
}

} // namespace

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"')
            q += '"';
        q += c;
    }
    return q + "\"";
}

std::string functionLabel(uint8_t function) {
    const char* name = functionName(function);
    return name ? name : format("Function(%d)", function);
}

std::string statsCsv(const LogStats& s) {
    std::string out = std::string(kStatsCsvHeader) + "\r\n";
    CsvRow m;
    m.scope = "machine";
    m.counts = &s.counts;
    m.hours = std::to_string(s.workingHours);
    m.perHour = s.workingHours ? num(s.copiesPerHour(), 2) : "";
    m.run = &s.runSeconds;
    m.lba = &s.failingLba;
    appendCsvRow(out, m);
    for (const auto& p : s.ports) {
        CsvRow r;
        r.scope = "port";
        r.port = std::to_string(p.port);
        r.counts = &p.counts;
        r.run = &p.runSeconds;
        r.lba = &p.failingLba;
        r.standsOut = p.standsOut ? "1" : "0";
        r.pValue = pText(p.pValue);
        appendCsvRow(out, r);
    }
    for (const auto& d : s.days) {
        CsvRow r;
        r.scope = "day";
        r.day = dayText(d.day);
        r.counts = &d.counts;
        r.hours = std::to_string(d.workingHours);
        r.perHour = d.workingHours ? num(d.copiesPerHour(), 2) : "";
        appendCsvRow(out, r);
    }
    for (const auto& f : s.functions) {
        CsvRow r;
        r.scope = "function";
        r.function = std::to_string(f.function);
        r.name = functionLabel(f.function);
        r.counts = &f.counts;
        r.run = &f.runSeconds;
        r.write = &f.writeBytesPerSec;
        r.read = &f.readBytesPerSec;
        r.lba = &f.failingLba;
        appendCsvRow(out, r);
    }
    for (const auto& d : s.days) {
        for (const auto& f : d.functions) {
            CsvRow r;
            r.scope = "day_function";
            r.day = dayText(d.day);
            r.function = std::to_string(f.function);
            r.name = functionLabel(f.function);
            r.counts = &f.counts;
            appendCsvRow(out, r);
        }
    }
    return out;
}

std::string statsJson(const LogStats& s, const std::string& database) {
    std::string o = "{\n";
    o += "  \"database\": " + jsonString(database) + ",\n";
    o += "  \"range\": " +
         (s.ranged ? "{\"from\": " + jsonDay(s.from) + ", \"to\": " + jsonDay(s.to) + "}"
                   : std::string("null")) +
         ",\n";
    o += format("  \"records\": %llu,\n  \"in_range\": %llu,\n  \"undated\": %llu,\n",
                (unsigned long long)s.records, (unsigned long long)s.inRange,
                (unsigned long long)s.undated);
    o += "  \"machine\": {" + jsonCounts(s.counts) +
         format(", \"working_hours\": %llu, \"copies_per_hour\": %s",
                (unsigned long long)s.workingHours,
                s.workingHours ? num(s.copiesPerHour(), 4).c_str() : "null") +
         ", \"run_seconds\": " + jsonSpread(s.runSeconds) +
         ", \"failing_lba\": " + jsonSpread(s.failingLba) + "},\n";
    o += "  \"ports\": [";
    for (size_t i = 0; i < s.ports.size(); ++i) {
        const PortFigures& p = s.ports[i];
        o += (i ? ",\n    " : "\n    ") + format("{\"port\": %u, ", unsigned(p.port)) +
             jsonCounts(p.counts) + ", \"run_seconds\": " + jsonSpread(p.runSeconds) +
             ", \"failing_lba\": " + jsonSpread(p.failingLba) +
             format(", \"stands_out\": %s, \"p_value\": %.6g, \"others_failure_rate\": %.6g}",
                    p.standsOut ? "true" : "false", p.pValue, p.othersRate);
    }
    o += s.ports.empty() ? "],\n" : "\n  ],\n";
    o += "  \"days\": [";
    for (size_t i = 0; i < s.days.size(); ++i) {
        const DayFigures& d = s.days[i];
        o += (i ? ",\n    " : "\n    ") + format("{\"day\": \"%s\", ", dayText(d.day).c_str()) +
             jsonCounts(d.counts) +
             format(", \"working_hours\": %u, \"copies_per_hour\": %s, \"functions\": [",
                    d.workingHours, d.workingHours ? num(d.copiesPerHour(), 4).c_str() : "null");
        for (size_t k = 0; k < d.functions.size(); ++k)
            o += (k ? ", " : "") +
                 format("{\"function\": %u, \"name\": ", unsigned(d.functions[k].function)) +
                 jsonString(functionLabel(d.functions[k].function)) + ", " +
                 jsonCounts(d.functions[k].counts) + "}";
        o += "]}";
    }
    o += s.days.empty() ? "],\n" : "\n  ],\n";
    o += "  \"functions\": [";
    for (size_t i = 0; i < s.functions.size(); ++i) {
        const FunctionFigures& f = s.functions[i];
        o += (i ? ",\n    " : "\n    ") +
             format("{\"function\": %u, \"name\": ", unsigned(f.function)) +
             jsonString(functionLabel(f.function)) + ", " + jsonCounts(f.counts) +
             ", \"run_seconds\": " + jsonSpread(f.runSeconds) +
             ", \"write_bytes_per_second\": " + jsonSpread(f.writeBytesPerSec) +
             ", \"read_bytes_per_second\": " + jsonSpread(f.readBytesPerSec) +
             ", \"failing_lba\": " + jsonSpread(f.failingLba) + "}";
    }
    o += s.functions.empty() ? "],\n" : "\n  ],\n";
    o += "  \"stand_out_rule\": " + jsonString(standOutRule()) + "\n}\n";
    return o;
}

std::string statsText(const LogStats& s, const std::string& database) {
    std::string o;
    o += "database: " + database + "\n";
    o += "range: " + rangeText(s) + "\n";
    o += format("records: %llu in range of %llu", (unsigned long long)s.inRange,
                (unsigned long long)s.records);
    if (s.undated)
        o += format(" (%llu without a real date)", (unsigned long long)s.undated);
    o += "\n";
    if (s.anyDated)
        o += "days with records: " + dayText(s.firstDay) + " to " + dayText(s.lastDay) +
             format(" (%zu)\n", s.days.size());
    const OutcomeCounts& c = s.counts;
    o += format("pass %llu  fail %llu  user abort %llu  burn-in start %llu\n",
                (unsigned long long)c.pass, (unsigned long long)c.fail, (unsigned long long)c.abort,
                (unsigned long long)c.start);
    o += format("yield %.2f%%  failure rate %.2f%%\n", c.yieldPercent(), c.failurePercent());
    o += format("working hours %llu  copies per hour %.2f\n", (unsigned long long)s.workingHours,
                s.copiesPerHour());
    o += "run time of passed jobs (s): " + runText(s.runSeconds) + "\n";
    o += "failing LBAs: " + lbaText(s.failingLba) + "\n";
    const auto standing = s.standOutPorts();
    o += "ports that stand out: ";
    if (standing.empty())
        o += "none";
    for (size_t i = 0; i < standing.size(); ++i)
        o += (i ? ", " : "") + std::to_string(standing[i]);
    o += "\n";

    o += "\nport   pass   fail  abort   yield%  failure%  p-value    run s (pass)      failing "
         "LBAs\n";
    for (const auto& p : s.ports)
        o += format("%4u %6llu %6llu %6llu %8.2f %9.2f  %-9s  %-16s  %s%s\n", unsigned(p.port),
                    (unsigned long long)p.counts.pass, (unsigned long long)p.counts.fail,
                    (unsigned long long)p.counts.abort, p.counts.yieldPercent(),
                    p.counts.failurePercent(), pText(p.pValue).c_str(),
                    runText(p.runSeconds).c_str(), lbaText(p.failingLba).c_str(),
                    p.standsOut ? "  << stands out" : "");

    o += "\nday          pass   fail  abort   yield%  hours  copies/h  functions\n";
    for (const auto& d : s.days) {
        std::string functions;
        for (const auto& f : d.functions)
            functions += format(
                "%s%s %llu/%llu", functions.empty() ? "" : ", ", functionLabel(f.function).c_str(),
                (unsigned long long)f.counts.pass, (unsigned long long)f.counts.fail);
        o += format("%s %6llu %6llu %6llu %8.2f %6u %9.2f  %s\n", dayText(d.day).c_str(),
                    (unsigned long long)d.counts.pass, (unsigned long long)d.counts.fail,
                    (unsigned long long)d.counts.abort, d.counts.yieldPercent(), d.workingHours,
                    d.copiesPerHour(), functions.c_str());
    }

    o += "\nfunction                       pass   fail  abort   yield%  run s (pass)      "
         "write MB/s     read MB/s\n";
    for (const auto& f : s.functions)
        o += format("%3u %-25s %6llu %6llu %6llu %8.2f  %-16s  %-13s  %s\n", unsigned(f.function),
                    functionLabel(f.function).c_str(), (unsigned long long)f.counts.pass,
                    (unsigned long long)f.counts.fail, (unsigned long long)f.counts.abort,
                    f.counts.yieldPercent(), runText(f.runSeconds).c_str(),
                    speedText(f.writeBytesPerSec).c_str(), speedText(f.readBytesPerSec).c_str());
    o += "\n";
    o += standOutRule() + "\n";
    return o;
}

} // namespace dupmon
