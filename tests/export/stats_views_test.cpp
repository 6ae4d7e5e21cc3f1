// The server's statistics views over an export of log databases give the
// figures `dupmon-logtool stats` computes from the same databases, and so
// do the README's queries of its section on figures.
#include <cmath>
#include <fstream>
#include <sstream>

#include "export/export_records.h"
#include "export/log_export_tool.h"
#include "export/server_fixture.h"
#include "logdb/log_stats.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

// Job `i` of a machine of mixed work: copies, compares, media checks, burn-ins
// (started, ended, failed), CRC64 jobs and the media check's own codes, with
// failures of every kind, some on a record with no real date.
RecordBytes mixedRecord(uint32_t i, uint32_t seed) {
    static const uint8_t functions[] = {1, 4, 5, 6, 9, 14, 22, 29, 38, 84, 23, 15};
    static const uint8_t results[] = {0, 0, 0, 0, 0, 1, 7, 17, 48, 64, 38, 3};
    static const uint8_t burnIns[] = {0, 1, 2, 6};
    const uint32_t k = i * 2654435761u + seed;
    const bool undated = i % 97 == 5;
    RecordBytes r;
    r.job(i, 2026, undated ? 13 : int(1 + k % 3), int(1 + (k >> 3) % 28), int((k >> 8) % 24),
          int(k % 60), 0, uint16_t(1 + (k >> 13) % 10));
    const uint8_t function = functions[(k >> 17) % std::size(functions)];
    // Port 7 fails more often than the others.
    const uint8_t result =
        (1 + (k >> 13) % 10 == 7 && k % 3 == 0) ? 7 : results[(k >> 20) % std::size(results)];
    r.u8(14, function)
        .u8(62, result)
        .u8(63, burnIns[(k >> 24) % std::size(burnIns)])
        .u8(17, i % 50 == 9 ? 80 : 0)
        .be32(40, k % 1000000007u)
        .be32(44, k % 3 ? 40960 + k % 1000 : 0)
        .be32(48, 20480 + k % 777)
        .be32(52, 30 + k % 5000)
        .be16(56, uint16_t(60 + k % 900))
        .be16(58, uint16_t(20 + k % 300));
    return r;
}

bool near(double a, double b) {
    return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(b));
}

std::string day(ReportDate d) {
    char s[32];
    std::snprintf(s, sizeof s, "%04u-%02u-%02u", unsigned(d.year), unsigned(d.month),
                  unsigned(d.day));
    return s;
}

// A spread as the view gives it: count, mean, sd (NULL when none).
void expectSpread(const std::vector<std::string>& row, size_t at, const Spread& s,
                  const std::string& what) {
    EXPECT_EQ(std::stoull(row[at]), s.n) << what;
    if (s.n == 0) {
        EXPECT_EQ(row[at + 1], "") << what;
        return;
    }
    EXPECT_TRUE(near(std::stod(row[at + 1]), s.mean)) << what << " mean " << row[at + 1];
    EXPECT_TRUE(near(std::stod(row[at + 2]), s.sd()))
        << what << " sd " << row[at + 2] << " " << s.sd();
}

std::string counts(const OutcomeCounts& c) {
    return std::to_string(c.pass) + " " + std::to_string(c.fail) + " " + std::to_string(c.abort) +
           " " + std::to_string(c.start);
}

std::string counts(const std::vector<std::string>& row, size_t at) {
    return row[at] + " " + row[at + 1] + " " + row[at + 2] + " " + row[at + 3];
}

} // namespace

class StatsViews : public ServerTest {
protected:
    void writeDatabase(const std::string& id, uint32_t records, uint32_t seed) {
        const std::filesystem::path path = databasePath(id);
        ASSERT_TRUE(createLogDatabase(path));
        std::ofstream out(path, std::ios::binary | std::ios::app);
        for (uint32_t i = 0; i < records; ++i)
            out.write(reinterpret_cast<const char*>(mixedRecord(i, seed).data()), 128);
    }
    void exportAll() {
        std::vector<std::string> args = {"export"};
        for (const char* id : {"SU10-000001", "SU10-000002"})
            args.push_back(databasePath(id).string());
        args.insert(args.end(), {"--to", url()});
        std::ostringstream out, err;
        ASSERT_EQ(runLogExport(args, out, err, false), 0) << err.str();
    }
    auto rows(const std::string& sql) { return server().admin(db, sql); }
};

TEST_F(StatsViews, GiveTheFiguresTheLogToolComputesFromTheSameDatabases) {
    writeDatabase("SU10-000001", 3000, 11);
    writeDatabase("SU10-000002", 400, 5);
    exportAll();

    for (const char* id : {"SU10-000001", "SU10-000002"}) {
        SCOPED_TRACE(id);
        const LogStats s = computeLogStats(databasePath(id), false, {}, {});
        ASSERT_EQ(s.result, PASS) << s.problem;
        ASSERT_GT(s.undated, 0u);
        ASSERT_GT(s.counts.start, 0u);
        ASSERT_GT(s.failingLba.n, 0u);
        ASSERT_LT(s.failingLba.n, s.counts.fail) << "failures with and without a sector";
        const std::string where = std::string(" WHERE machine_id = '") + id + "'";

        const auto m = rows("SELECT records, pass, fail, abort, start, undated, first_day, "
                            "last_day, working_hours, failing_lba_count, failing_lba_mean, "
                            "failing_lba_sd, run_seconds_count, run_seconds_mean, run_seconds_sd, "
                            "failing_lba_min, failing_lba_max, run_seconds_min, run_seconds_max, "
                            "yield_percent, copies_per_hour FROM dupmon_machine_stats" +
                            where);
        ASSERT_EQ(m.size(), 1u);
        const auto& r = m[0];
        EXPECT_EQ(std::stoull(r[0]), s.inRange);
        EXPECT_EQ(counts(r, 1), counts(s.counts));
        EXPECT_EQ(std::stoull(r[5]), s.undated);
        EXPECT_EQ(r[6], day(s.firstDay));
        EXPECT_EQ(r[7], day(s.lastDay));
        EXPECT_EQ(std::stoull(r[8]), s.workingHours);
        expectSpread(r, 9, s.failingLba, "failing LBA");
        expectSpread(r, 12, s.runSeconds, "run time");
        EXPECT_EQ(std::stod(r[15]), s.failingLba.min);
        EXPECT_EQ(std::stod(r[16]), s.failingLba.max);
        EXPECT_EQ(std::stod(r[17]), s.runSeconds.min);
        EXPECT_EQ(std::stod(r[18]), s.runSeconds.max);
        EXPECT_TRUE(near(std::stod(r[19]), s.counts.yieldPercent())) << r[19];
        EXPECT_TRUE(near(std::stod(r[20]), s.copiesPerHour())) << r[20];

        const auto ports = rows("SELECT port, pass, fail, abort, start, failing_lba_count, "
                                "failing_lba_mean, failing_lba_sd, run_seconds_count, "
                                "run_seconds_mean, run_seconds_sd, failure_percent FROM "
                                "dupmon_port_stats" +
                                where + " ORDER BY port");
        ASSERT_EQ(ports.size(), s.ports.size());
        for (size_t i = 0; i < ports.size(); ++i) {
            const PortFigures& p = s.ports[i];
            const std::string what = "port " + std::to_string(p.port);
            EXPECT_EQ(std::stoi(ports[i][0]), p.port);
            EXPECT_EQ(counts(ports[i], 1), counts(p.counts)) << what;
            expectSpread(ports[i], 5, p.failingLba, what + " failing LBA");
            expectSpread(ports[i], 8, p.runSeconds, what + " run time");
            EXPECT_TRUE(near(std::stod(ports[i][11]), p.counts.failurePercent())) << what;
        }

        const auto days = rows("SELECT day, pass, fail, abort, start, working_hours, "
                               "copies_per_hour FROM dupmon_day_stats" +
                               where + " ORDER BY day");
        ASSERT_EQ(days.size(), s.days.size());
        for (size_t i = 0; i < days.size(); ++i) {
            const DayFigures& d = s.days[i];
            EXPECT_EQ(days[i][0], day(d.day));
            EXPECT_EQ(counts(days[i], 1), counts(d.counts)) << days[i][0];
            EXPECT_EQ(std::stoul(days[i][5]), d.workingHours) << days[i][0];
            EXPECT_TRUE(near(std::stod(days[i][6]), d.copiesPerHour())) << days[i][0];
        }

        const auto dayFunctions = rows("SELECT day, function_no, pass, fail, abort, start FROM "
                                       "dupmon_day_function_stats" +
                                       where + " ORDER BY day, function_no");
        size_t at = 0;
        for (const DayFigures& d : s.days)
            for (const DayFunctionCounts& f : d.functions) {
                ASSERT_LT(at, dayFunctions.size());
                const auto& row = dayFunctions[at++];
                EXPECT_EQ(row[0] + " " + row[1], day(d.day) + " " + std::to_string(f.function));
                EXPECT_EQ(counts(row, 2), counts(f.counts)) << row[0] << " " << row[1];
            }
        EXPECT_EQ(at, dayFunctions.size());

        const auto functions =
            rows("SELECT function_no, pass, fail, abort, start, run_seconds_count, "
                 "run_seconds_mean, run_seconds_sd, write_speed_count, "
                 "write_bytes_per_second_mean, write_bytes_per_second_sd, read_speed_count, "
                 "read_bytes_per_second_mean, read_bytes_per_second_sd, failing_lba_count FROM "
                 "dupmon_function_stats" +
                 where + " ORDER BY function_no");
        ASSERT_EQ(functions.size(), s.functions.size());
        for (size_t i = 0; i < functions.size(); ++i) {
            const FunctionFigures& f = s.functions[i];
            const std::string what = "function " + std::to_string(f.function);
            const auto& row = functions[i];
            EXPECT_EQ(std::stoi(row[0]), f.function);
            EXPECT_EQ(counts(row, 1), counts(f.counts)) << what;
            expectSpread(row, 5, f.runSeconds, what + " run time");
            expectSpread(row, 8, f.writeBytesPerSec, what + " write speed");
            expectSpread(row, 11, f.readBytesPerSec, what + " read speed");
            EXPECT_EQ(std::stoull(row[14]), f.failingLba.n) << what;
        }
    }

    // The README's figures for one machine and a range of days, as the log
    // tool gives them with --from and --to.
    const std::vector<std::string> queries =
        readmeSqlBlocks(DUPMON_SOURCE_DIR "/README.md", "## Job-log figures in PostgreSQL");
    ASSERT_EQ(queries.size(), 2u) << "per port of one machine in a range, per day with yield";
    const ReportDate from{2026, 2, 1}, to{2026, 2, 14};
    const LogStats s = computeLogStats(databasePath("SU10-000001"), true, from, to);
    ASSERT_GT(s.inRange, 0u);
    const auto ports = rows(queries[0]);
    ASSERT_EQ(ports.size(), s.ports.size()) << (ports.empty() ? "" : ports[0][0]);
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(std::stoi(ports[i][0]), s.ports[i].port);
        EXPECT_EQ(ports[i][1] + " " + ports[i][2], std::to_string(s.ports[i].counts.pass) + " " +
                                                       std::to_string(s.ports[i].counts.fail));
        EXPECT_TRUE(near(std::stod(ports[i][3]), s.ports[i].counts.failurePercent()));
    }
    const auto days = rows(queries[1]);
    ASSERT_EQ(days.size(), s.days.size()) << (days.empty() ? "" : days[0][0]);
    for (size_t i = 0; i < days.size(); ++i) {
        EXPECT_EQ(days[i][0], day(s.days[i].day));
        EXPECT_EQ(std::stoull(days[i][1]), s.days[i].counts.pass);
        EXPECT_EQ(std::stoull(days[i][2]), s.days[i].counts.fail);
        EXPECT_TRUE(near(std::stod(days[i][3]), s.days[i].counts.yieldPercent()));
        EXPECT_TRUE(near(std::stod(days[i][4]), s.days[i].copiesPerHour()));
    }
}
