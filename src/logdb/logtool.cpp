// dupmon-logtool's commands other than export: the arguments checked, then
// info, print, csv, report, stats and verify on a log database or a report,
// a report's machine taken from the registry beside the database.
#include "logdb/logtool.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>

#include "common/byte_order.h"
#include "common/file_io.h"
#include "common/result_codes.h"
#include "common/text.h"
#include "logdb/log_database.h"
#include "logdb/log_record.h"
#include "logdb/log_stats.h"
#include "logdb/report.h"
#include "logdb/stats_output.h"
#include "logdb/text_builder.h"
#include "registry/system_database.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {

constexpr const char* kProgram = "dupmon-logtool";
constexpr const char* kUsage =
    "usage: dupmon-logtool COMMAND FILE [OPTION]...\n"
    "Reads the job-log databases that duplicator-monitor keeps, without a window.\n"
    "\n"
    "Commands:\n"
    "  info DB            check a log database; show its record count, first and last\n"
    "  print DB           print its records as report lines\n"
    "  csv DB             print its records as comma-separated values\n"
    "  report DB          write a sealed text report (needs --from, --to and --out)\n"
    "  stats DB           PASS/FAIL counts, yield, failing LBAs, copies per hour, run\n"
    "                     time and speed per port, day and function; marks the ports\n"
    "                     whose failures stand out (text, or --csv or --json)\n"
    "  verify FILE        check the seal of a report\n"
    "  export DB...       send log databases to a PostgreSQL server (needs --to URL)\n"
    "Options:\n"
    "  --from YYYY-MM-DD  the first day of records (print, csv, report, stats)\n"
    "  --to YYYY-MM-DD    the last day of records (print, csv, report, stats); for export the\n"
    "                     server: postgresql://USER@HOST:PORT/DATABASE\n"
    "  --out FILE         the report file to write (report)\n"
    "  --nickname TEXT    the machine's nickname in the report header (report)\n"
    "  --model TEXT       its model name (report)\n"
    "  --version TEXT     its firmware version (report)\n"
    "  --machine-id TEXT  its machine id (report; export: of the one DB given)\n"
    "  --ports N          its port count (report)\n"
    "  --device-type N    its device type (report)\n"
    "  --csv              stats as one CSV table, a row per machine, port, day, function\n"
    "  --json             stats as one JSON document\n"
    "  --help             print this help and exit\n"
    "The report header takes the machine from the registry beside DB when it knows\n"
    "it; the options above set or replace its fields.\n";
constexpr const char* kDatabaseSuffix = ".QX42.LOGDATA";
constexpr size_t kOutputChunk = 1 << 20;

// The machine registry beside the log databases.
constexpr const char* kRegistryFile = "BRELLOCK_QX42.DB7";

struct Failure {
    int status;
};

class Tool {
public:
    Tool(std::ostream& out, std::ostream& err, const Clock& clock)
        : out_(out), err_(err), clock_(clock) {}

    int run(const std::vector<std::string>& args);

private:
    // One-line message naming the subject and the problem; throws the status.
    [[noreturn]] void fail(int status, std::string_view subject, std::string_view problem) {
        err_ << kProgram << ": " << subject << ": " << problem << "\n";
        throw Failure{status};
    }
    [[noreturn]] void usage(std::string_view problem) {
        err_ << kProgram << ": " << problem << "\n" << kUsage;
        throw Failure{2};
    }

    void parseOptions(const std::vector<std::string>& args, size_t first,
                      std::initializer_list<std::string_view> allowed);
    std::optional<ReportDate> dateOption(std::string_view name);
    bool rangeOptions(ReportDate& start, ReportDate& end);
    LogRecordReader open(const std::string& path);
    int finish(const LogRecordReader& reader, const std::string& path);
    MachineInfo machineFor(const std::string& dbPath);
    void flush(std::string& chunk, bool force);

    int info(const std::string& path);
    int print(const std::string& path);
    int csv(const std::string& path);
    int report(const std::string& path);
    int verify(const std::string& path);
    int stats(const std::string& path, bool csv, bool json);

    std::ostream& out_;
    std::ostream& err_;
    const Clock& clock_;
    std::map<std::string, std::string, std::less<>> options_;
};

bool parseNumber(std::string_view text, long& value) {
    auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

std::optional<ReportDate> parseDate(std::string_view text) {
    long y, m, d;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
        !parseNumber(text.substr(0, 4), y) || !parseNumber(text.substr(5, 2), m) ||
        !parseNumber(text.substr(8, 2), d))
        return std::nullopt;
    static const int monthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 2000 || m < 1 || m > 12 || d < 1 || d > monthDays[m - 1])
        return std::nullopt;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (m == 2 && d == 29 && !leap)
        return std::nullopt;
    return ReportDate{uint16_t(y), uint16_t(m), uint16_t(d)};
}

// RFC 4180: a field with a comma, quote or line break is quoted, quotes
// doubled. The field is the text from `mark` to the end of `out`, where it
// was just written; most fields need nothing.
void quoteCsvFieldFrom(std::string& out, size_t mark) {
    const std::string_view field(out.data() + mark, out.size() - mark);
    bool plain = true, quotes = false;
    for (char c : field) {
        plain &= c != ',' && c != '\r' && c != '\n';
        quotes |= c == '"';
    }
    if (plain && !quotes)
        return;
    if (!quotes) { // the common case, a comma: quoted where it stands
        out.insert(out.begin() + std::ptrdiff_t(mark), '"');
        out.push_back('"');
        return;
    }
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"')
            quoted.push_back('"');
        quoted.push_back(c);
    }
    quoted.push_back('"');
    out.replace(mark, std::string::npos, quoted);
}

// "is a folder, not a file (DATABASE_CORRUPT)", or the code's name alone.
std::string problemText(DatabaseResult result, const std::string& problem) {
    return problem.empty() ? errorName(result) : problem + " (" + errorName(result) + ")";
}

// The registry entry of the machine whose database this is, if the registry
// beside it knows the machine.
std::optional<MachineInfo> registeredMachine(const fs::path& dbPath) {
    SYSTEM_DATABASE registry;
    if (registry.open((dbPath.parent_path() / kRegistryFile).string()) != PASS)
        return std::nullopt;
    const std::string dbName = dbPath.filename().string();
    for (int i = 0; i < SYSTEM_DATABASE::entryCount(); ++i) {
        if (!registry.isInUse(i))
            continue;
        const MachineInfo info = registry.entry(i);
        if (machineFileName(fieldText(info.machineId, sizeof info.machineId)) + kDatabaseSuffix ==
            dbName)
            return info;
    }
    return std::nullopt;
}

int Tool::run(const std::vector<std::string>& args) {
    try {
        if (args.empty())
            usage("no command");
        const std::string& command = args[0];
        if (command == "--help" || command == "-h") {
            out_ << kUsage;
            return 0;
        }
        static const std::string_view commands[] = {"info",   "print",  "csv",
                                                    "report", "verify", "stats"};
        if (std::find(std::begin(commands), std::end(commands), command) == std::end(commands))
            usage("unknown command '" + command + "'");
        if (args.size() < 2 || args[1].starts_with("--"))
            usage("'" + command + "' needs a file");
        const std::string& path = args[1];
        if (command == "info") {
            parseOptions(args, 2, {});
            return info(path);
        }
        if (command == "print" || command == "csv") {
            parseOptions(args, 2, {"--from", "--to"});
            return command == "print" ? print(path) : csv(path);
        }
        if (command == "report") {
            parseOptions(args, 2,
                         {"--from", "--to", "--out", "--nickname", "--model", "--version",
                          "--machine-id", "--ports", "--device-type"});
            return report(path);
        }
        if (command == "stats") {
            // The two format switches take no value; the rest are pairs.
            std::vector<std::string> rest(args.begin(), args.begin() + 2);
            bool csv = false, json = false;
            for (size_t i = 2; i < args.size(); ++i) {
                if (args[i] == "--csv")
                    csv = true;
                else if (args[i] == "--json")
                    json = true;
                else
                    rest.push_back(args[i]);
            }
            if (csv && json)
                usage("stats prints --csv or --json, not both");
            parseOptions(rest, 2, {"--from", "--to"});
            return stats(path, csv, json);
        }
        parseOptions(args, 2, {});
        return verify(path);
    } catch (const Failure& f) {
        return f.status;
    }
}

void Tool::parseOptions(const std::vector<std::string>& args, size_t first,
                        std::initializer_list<std::string_view> allowed) {
    for (size_t i = first; i < args.size(); i += 2) {
        const std::string& name = args[i];
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
            usage("unexpected argument '" + name + "'");
        if (i + 1 >= args.size())
            usage("option '" + name + "' needs a value");
        options_[name] = args[i + 1];
    }
}

std::optional<ReportDate> Tool::dateOption(std::string_view name) {
    auto it = options_.find(name);
    if (it == options_.end())
        return std::nullopt;
    auto date = parseDate(it->second);
    if (!date)
        usage(std::string(name) + " '" + it->second + "' is not a date (YYYY-MM-DD)");
    return date;
}

// Returns false when no range was given (every record counts).
bool Tool::rangeOptions(ReportDate& start, ReportDate& end) {
    auto from = dateOption("--from");
    auto to = dateOption("--to");
    start = from.value_or(ReportDate{0, 0, 0});
    end = to.value_or(ReportDate{UINT16_MAX, UINT16_MAX, UINT16_MAX});
    if (!isLegalReportRange(start, end))
        usage("--from lies after --to");
    return from || to;
}

LogRecordReader Tool::open(const std::string& path) {
    LogRecordReader reader;
    if (DatabaseResult result = reader.open(path); result != PASS)
        fail(1, path, problemText(result, reader.problem()));
    return reader;
}

// A file that could not be read to its end is reported after what was printed.
int Tool::finish(const LogRecordReader& reader, const std::string& path) {
    if (reader.failed())
        fail(1, path, errorName(DATABASE_CORRUPT));
    return 0;
}

MachineInfo Tool::machineFor(const std::string& dbPath) {
    MachineInfo info{};
    if (auto known = registeredMachine(dbPath)) {
        info = *known;
    } else {
        std::string name = fs::path(dbPath).filename().string();
        if (name.ends_with(kDatabaseSuffix))
            name.resize(name.size() - std::strlen(kDatabaseSuffix));
        copyField(info.machineId, sizeof info.machineId, machineIdFromFileName(name));
    }
    auto text = [&](std::string_view option, char* field, size_t size) {
        if (auto it = options_.find(option); it != options_.end())
            copyField(field, size, it->second);
    };
    text("--nickname", info.nickName, sizeof info.nickName);
    text("--model", info.modelName, sizeof info.modelName);
    text("--version", info.version, sizeof info.version);
    text("--machine-id", info.machineId, sizeof info.machineId);
    auto number = [&](std::string_view option, long low, long high) -> std::optional<long> {
        auto it = options_.find(option);
        if (it == options_.end())
            return std::nullopt;
        long v;
        if (!parseNumber(it->second, v) || v < low || v > high)
            usage(std::string(option) + " '" + it->second + "' is not a number from " +
                  std::to_string(low) + " to " + std::to_string(high));
        return v;
    };
    if (auto v = number("--ports", 0, INT32_MAX))
        info.maxDeviceQty = static_cast<int32_t>(*v);
    if (auto v = number("--device-type", 0, 255))
        info.deviceType = static_cast<uint8_t>(*v);
    return info;
}

void Tool::flush(std::string& chunk, bool force) {
    if (chunk.size() >= kOutputChunk || (force && !chunk.empty())) {
        out_.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        chunk.clear();
    }
}

std::string recordSummary(const uint8_t* raw) {
    LogRecord r = decodeLogRecord(raw);
    return format("%u (No. %07u) %04u-%02u-%02u %02u:%02u:%02u", r.logNo, r.logNo + 1,
                  r.year + 2000u, unsigned(r.month), unsigned(r.day), unsigned(r.hour),
                  unsigned(r.minute), unsigned(r.second));
}

int Tool::info(const std::string& path) {
    LogDatabaseSummary s = summarizeLogDatabase(path);
    out_ << "database: " << path << "\n";
    // A damaged tail (a torn record, slots of zeros) holds no record; the
    // monitor cuts it at its next sync of the machine.
    const bool damaged = s.result == PASS && s.stored.damagedBytes() > 0;
    out_ << "check: " << (damaged ? "DAMAGED TAIL" : errorName(s.result)) << "\n";
    if (s.result != PASS)
        fail(1, path, problemText(s.result, s.problem));
    out_ << "records: " << s.count << "\n";
    if (s.count > 0) {
        out_ << "first: " << recordSummary(s.first) << "\n";
        out_ << "last: " << recordSummary(s.last) << "\n";
    }
    if (damaged) {
        out_ << "damaged: " << s.stored.damage() << "; they are no records\n";
        out_ << "next sync: cuts them, then stores the records "
             << (s.count > 0 ? format("after No. %07u", decodeLogRecord(s.last).logNo + 1u)
                             : std::string("of the machine's whole job log"))
             << " behind the " << (s.count > 0 ? "last record" : "header") << "\n";
    }
    return 0;
}

int Tool::print(const std::string& path) {
    ReportDate start, end;
    bool ranged = rangeOptions(start, end);
    LogRecordReader reader = open(path);
    std::string chunk;
    chunk.reserve(kOutputChunk + 4096);
    while (const uint8_t* raw = reader.next()) {
        if (ranged && !isInReportRange(raw, start, end))
            continue;
        appendReportLine(chunk, decodeLogRecord(raw));
        chunk.push_back('\n');
        flush(chunk, false);
    }
    flush(chunk, true);
    return finish(reader, path);
}

int Tool::csv(const std::string& path) {
    ReportDate start, end;
    bool ranged = rangeOptions(start, end);
    LogRecordReader reader = open(path);
    MachineInfo machine = machineFor(path);
    static const char* const rawHeaders[] = {
        "log_number",  "date_time",        "port_number", "function_number",
        "result_code", "capacity_sectors", "sector_size", "run_time_seconds"};
    std::string chunk;
    chunk.reserve(kOutputChunk + 4096);
    for (int c = 0; c < kLogViewerColumns; ++c) {
        const size_t mark = chunk.size();
        chunk += logViewerHeader(c, machine.deviceType);
        quoteCsvFieldFrom(chunk, mark);
        chunk.push_back(',');
    }
    for (const char* h : rawHeaders)
        chunk.append(h).push_back(',');
    chunk.back() = '\r';
    chunk.push_back('\n');
    while (const uint8_t* raw = reader.next()) {
        if (ranged && !isInReportRange(raw, start, end))
            continue;
        const LogRecord r = decodeLogRecord(raw);
        // The viewer's columns, then the raw fields:
        // "%u,%04u-%02u-%02uT%02u:%02u:%02u,%u,%u,%u,%u,%u,%u\r\n"
        for (int c = 0; c < kLogViewerColumns; ++c) {
            const size_t mark = chunk.size();
            appendLogViewerColumn(chunk, r, c);
            quoteCsvFieldFrom(chunk, mark);
            chunk.push_back(',');
        }
        TextBuilder t(chunk);
        t.dec(r.logNo).chr(',').dec(r.year + 2000u, 4).chr('-').dec(r.month, 2).chr('-');
        t.dec(r.day, 2).chr('T').dec(r.hour, 2).chr(':').dec(r.minute, 2).chr(':');
        t.dec(r.second, 2).chr(',').dec(r.port).chr(',').dec(r.function).chr(',');
        t.dec(r.resultCode).chr(',').dec(r.capacity).chr(',').dec(r.sectorSize).chr(',');
        t.dec(runTime(r)).str("\r\n");
        flush(chunk, false);
    }
    flush(chunk, true);
    return finish(reader, path);
}

int Tool::report(const std::string& path) {
    auto start = dateOption("--from");
    auto end = dateOption("--to");
    auto outIt = options_.find("--out");
    if (!start || !end || outIt == options_.end())
        usage("report needs --from, --to and --out");
    if (!isLegalReportRange(*start, *end))
        fail(2, path, kIllegalDateMessage.text);
    MachineInfo machine = machineFor(path);
    const std::string& file = outIt->second;
    const StreamedReport r = writeSealedReport(path, machine, *start, *end, clock_, file);
    if (r.status == ReportStatus::ReadFailed)
        fail(1, path, problemText(r.readResult, r.problem));
    switch (r.save) {
    case ReportSaveStatus::Saved:
        break;
    case ReportSaveStatus::NoContents:
        fail(1, path, "the database holds no records: " + std::string(kNoContentsMessage.text));
    case ReportSaveStatus::CantCreateFile:
        fail(1, file, kCantCreateFileMessage.text);
    case ReportSaveStatus::MemoryNotEnough:
        fail(1, file, kMemoryNotEnoughMessage.text);
    }
    out_ << file << ": " << r.linesInRange << " of " << r.records << " records\n";
    return 0;
}

int Tool::verify(const std::string& path) {
    std::string problem;
    const SealCheck check = verifySealedFile(path, &problem);
    if (!check.sealFound)
        fail(1, path, problem.empty() ? "no seal found" : problem);
    out_ << "content length: " << check.contentLength << " (seal at " << check.sealOffset << ")\n";
    out_ << format("CRC: %08X (computed %08X)\n", check.storedCrc, check.computedCrc);
    out_ << "seal: " << (check.valid ? "OK" : "MISMATCH") << "\n";
    return check.valid ? 0 : 1;
}

int Tool::stats(const std::string& path, bool csv, bool json) {
    ReportDate start, end;
    const bool ranged = rangeOptions(start, end);
    const LogStats s = computeLogStats(path, ranged, start, end);
    // Figures of part of a file would mislead: none are printed then.
    if (s.result != PASS)
        fail(1, path, problemText(s.result, s.problem));
    out_ << (csv ? statsCsv(s) : json ? statsJson(s, path) : statsText(s, path));
    return 0;
}

} // namespace

int runLogTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const Clock& clock) {
    Tool tool(out, err, clock);
    return tool.run(args);
}

} // namespace dupmon
