// The job-log figures: outcomes as the result text reads them, counts,
// yield, run time, speeds, failing LBAs and copies per hour over hand-made
// databases, and which ports stand out.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "logdb/log_database.h"
#include "logdb/log_record.h"
#include "logdb/log_stats.h"
#include "logdb/log_test_support.h"
#include "logdb/stand_out.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

// A record of one job: date and hour, port, function, result code.
RecordBytes jobRecord(uint32_t no, int y, int mo, int d, int h, uint16_t port, uint8_t function,
                      uint8_t result, uint8_t burnIn = 1) {
    RecordBytes r;
    r.job(no, y, mo, d, h, 10, 0, port).u8(14, function).u8(62, result).u8(63, burnIn);
    return r;
}

class StatsTest : public TempDirTest {
protected:
    std::filesystem::path db() const { return dir / "M.QX42.LOGDATA"; }
    void write(const std::vector<RecordBytes>& records) {
        ASSERT_TRUE(createLogDatabase(db()));
        std::vector<uint8_t> bytes;
        for (const auto& r : records)
            bytes.insert(bytes.end(), r.b.begin(), r.b.end());
        writeBytes(db(), bytes.data(), bytes.size(), true);
    }
    LogStats stats(bool ranged = false, ReportDate from = {}, ReportDate to = {}) {
        return computeLogStats(db(), ranged, from, to);
    }
};

TEST(RecordOutcome, FollowsTheResultTextRules) {
    struct Case {
        const char* name;
        uint8_t function, result, burnIn, detail;
        JobOutcome outcome;
        bool failingLba;
    } cases[] = {
        {"copy passed", 1, 0, 0, 0, JobOutcome::Pass, false},
        {"copy failed at a sector", 1, 2, 0, 0, JobOutcome::Fail, true},
        {"copy aborted", 5, 1, 0, 0, JobOutcome::Abort, false},
        {"low speed", 1, 2, 0, 81, JobOutcome::Fail, false},
        {"size not match", 1, 17, 0, 0, JobOutcome::Fail, false},
        {"bad device", 1, 48, 0, 0, JobOutcome::Fail, false},
        {"media check fails with its own code", 38, 1, 0, 0, JobOutcome::Fail, false},
        {"media check passes", 38, 0, 0, 0, JobOutcome::Pass, false},
        {"H5 test low write speed", 15, 65, 0, 0, JobOutcome::Fail, false},
        {"H5 test fails at a sector", 15, 7, 0, 0, JobOutcome::Fail, true},
        {"burn-in start", 22, 0, 0, 0, JobOutcome::Start, false},
        {"burn-in aborted", 22, 1, 3, 0, JobOutcome::Abort, false},
        {"burn-in write error", 23, 0, 2, 0, JobOutcome::Fail, false},
        {"burn-in odd status", 22, 0, 9, 0, JobOutcome::Fail, false},
        {"burn-in ended well", 22, 0, 1, 0, JobOutcome::Pass, false},
        {"burn-in ended failing", 22, 6, 1, 0, JobOutcome::Fail, true},
    };
    for (const auto& c : cases) {
        RecordBytes r;
        r.u8(14, c.function).u8(62, c.result).u8(63, c.burnIn).u8(17, c.detail);
        const RecordOutcome o = recordOutcome(r.data());
        EXPECT_EQ(o.outcome, c.outcome) << c.name;
        EXPECT_EQ(o.failingLba, c.failingLba) << c.name;
    }
}

// The export names each record's outcome from its result text; the figures
// must count it the same way whatever the record holds.
TEST(RecordOutcome, AgreesWithTheResultTextOverEveryCodeAndStatus) {
    const uint8_t functions[] = {0, 1, 4, 5, 14, 15, 16, 22, 23, 29, 32, 38, 84, 85, 200};
    const uint8_t details[] = {0, 34, 80, 81};
    for (uint8_t f : functions)
        for (int result = 0; result < 256; ++result)
            for (int burnIn = 0; burnIn < 8; ++burnIn)
                for (uint8_t detail : details) {
                    RecordBytes r;
                    r.u8(14, f).u8(62, uint8_t(result)).u8(63, uint8_t(burnIn)).u8(17, detail);
                    r.be32(40, 1234);
                    const std::string text = resultText(decodeLogRecord(r.data()));
                    const JobOutcome expected = text == "PASS"         ? JobOutcome::Pass
                                                : text == "User Abort" ? JobOutcome::Abort
                                                : text == "START"      ? JobOutcome::Start
                                                                       : JobOutcome::Fail;
                    const RecordOutcome o = recordOutcome(r.data());
                    ASSERT_EQ(o.outcome, expected) << text << " f" << int(f) << " r" << result;
                    ASSERT_EQ(o.failingLba, text.starts_with("FAIL(LBA:")) << text;
                }
}

TEST(BinomialTail, MatchesTheSumOfTheTerms) {
    // Exact sums of the probability terms, term by term.
    auto exact = [](uint64_t k, uint64_t n, double p) {
        double sum = 0;
        for (uint64_t i = k; i <= n; ++i)
            sum += std::exp(std::lgamma(double(n) + 1) - std::lgamma(double(i) + 1) -
                            std::lgamma(double(n - i) + 1) + double(i) * std::log(p) +
                            double(n - i) * std::log1p(-p));
        return sum;
    };
    struct Case {
        uint64_t k, n;
        double p;
    } cases[] = {{1, 1, 0.5},       {3, 10, 0.1},   {0, 10, 0.3},   {10, 10, 0.3},
                 {5, 100, 0.01},    {40, 200, 0.1}, {20, 200, 0.1}, {60, 1000, 0.05},
                 {2, 5000, 0.0002}, {7, 30, 0.9}};
    for (const auto& c : cases) {
        const double want = exact(c.k, c.n, c.p);
        EXPECT_NEAR(binomialUpperTail(c.k, c.n, c.p), want, 1e-9 + want * 1e-7)
            << c.k << " of " << c.n << " at " << c.p;
    }
    // A value worked out by hand: P(X >= 3) for 10 trials at 0.1 is
    // 1 - 0.9^10 - 10 * 0.1 * 0.9^9 - 45 * 0.01 * 0.9^8.
    EXPECT_NEAR(binomialUpperTail(3, 10, 0.1), 0.0701908264, 1e-9);
    EXPECT_EQ(binomialUpperTail(0, 10, 0.2), 1.0);
    EXPECT_EQ(binomialUpperTail(11, 10, 0.2), 0.0);
    EXPECT_EQ(binomialUpperTail(1, 10, 0.0), 0.0);
}

struct Range {
    bool ranged;
    ReportDate from, to;
};
constexpr Range kAllRecords{false, {}, {}};

struct Expected {
    uint64_t inRange, pass, fail, abort, start;
    double yield;
};

TEST_F(StatsTest, CountsAndYieldOverHandMadeDatabases) {
    struct Case {
        const char* name;
        std::vector<RecordBytes> records;
        Range range;
        Expected want;
        std::vector<std::string> days; // in order
        size_t ports;
    };
    const Case cases[] = {
        {"an empty database", {}, kAllRecords, {0, 0, 0, 0, 0, 0}, {}, 0},
        {"a database of one record",
         {jobRecord(0, 2026, 3, 4, 9, 1, 1, 0)},
         kAllRecords,
         {1, 1, 0, 0, 0, 100},
         {"2026-03-04"},
         1},
        {"every outcome",
         {jobRecord(0, 2026, 3, 4, 9, 1, 1, 0), jobRecord(1, 2026, 3, 4, 9, 2, 1, 2),
          jobRecord(2, 2026, 3, 4, 9, 3, 1, 0), jobRecord(3, 2026, 3, 4, 9, 4, 5, 1),
          jobRecord(4, 2026, 3, 4, 9, 5, 22, 0, 0), jobRecord(5, 2026, 3, 4, 9, 6, 1, 0)},
         kAllRecords,
         {6, 3, 1, 1, 1, 75},
         {"2026-03-04"},
         6},
        {"records whose dates are out of order",
         {jobRecord(0, 2026, 3, 6, 9, 1, 1, 0), jobRecord(1, 2026, 3, 4, 9, 1, 1, 2),
          jobRecord(2, 2026, 3, 5, 9, 1, 1, 0), jobRecord(3, 2026, 3, 4, 10, 2, 1, 0)},
         kAllRecords,
         {4, 3, 1, 0, 0, 75},
         {"2026-03-04", "2026-03-05", "2026-03-06"},
         2},
        {"a range that holds none of them",
         {jobRecord(0, 2026, 3, 6, 9, 1, 1, 0), jobRecord(1, 2026, 3, 4, 9, 1, 1, 2)},
         {true, {2026, 4, 1}, {2026, 4, 30}},
         {0, 0, 0, 0, 0, 0},
         {},
         0},
        {"a range whose ends count",
         {jobRecord(0, 2026, 3, 3, 23, 1, 1, 2), jobRecord(1, 2026, 3, 4, 0, 1, 1, 0),
          jobRecord(2, 2026, 3, 5, 23, 2, 1, 2), jobRecord(3, 2026, 3, 6, 0, 2, 1, 0)},
         {true, {2026, 3, 4}, {2026, 3, 5}},
         {2, 1, 1, 0, 0, 50},
         {"2026-03-04", "2026-03-05"},
         2},
        {"records without a real date count only without a range",
         {jobRecord(0, 2026, 13, 4, 9, 1, 1, 0), jobRecord(1, 2026, 2, 30, 9, 1, 1, 0),
          jobRecord(2, 2026, 3, 4, 9, 1, 1, 2)},
         kAllRecords,
         {3, 2, 1, 0, 0, 200.0 / 3},
         {"2026-03-04"},
         1},
        {"the same in a range",
         {jobRecord(0, 2026, 13, 4, 9, 1, 1, 0), jobRecord(1, 2026, 2, 30, 9, 1, 1, 0),
          jobRecord(2, 2026, 3, 4, 9, 1, 1, 2)},
         {true, {2026, 1, 1}, {2026, 12, 31}},
         {1, 0, 1, 0, 0, 0},
         {"2026-03-04"},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(c.records);
        const LogStats s = stats(c.range.ranged, c.range.from, c.range.to);
        ASSERT_EQ(s.result, PASS);
        EXPECT_EQ(s.records, c.records.size());
        EXPECT_EQ(s.inRange, c.want.inRange);
        EXPECT_EQ(s.counts.pass, c.want.pass);
        EXPECT_EQ(s.counts.fail, c.want.fail);
        EXPECT_EQ(s.counts.abort, c.want.abort);
        EXPECT_EQ(s.counts.start, c.want.start);
        EXPECT_NEAR(s.counts.yieldPercent(), c.want.yield, 1e-9);
        std::vector<std::string> days;
        for (const auto& d : s.days)
            days.push_back(dayText(d.day));
        EXPECT_EQ(days, c.days);
        EXPECT_EQ(s.ports.size(), c.ports);
        EXPECT_TRUE(s.standOutPorts().empty());
    }
}

TEST_F(StatsTest, PerPortDayAndFunctionFigures) {
    // Port 3: two copies passed in 100 s and 140 s at 20 MB/s write, one
    // failure at LBA 1000. Port 4: a copy+compare passed in 300 + 100 s, one
    // failure at LBA 5000 on the next day, and a CRC64 whose speed fields
    // hold a CRC.
    auto copy = [](uint32_t no, int day, int hour, uint16_t port, uint8_t result, uint16_t copyS,
                   uint32_t lba) {
        RecordBytes r = jobRecord(no, 2026, 5, day, hour, port, 1, result);
        r.be16(56, copyS).be32(48, 40960).be32(44, 61440).be32(40, lba);
        return r;
    };
    RecordBytes both = jobRecord(3, 2026, 5, 1, 11, 4, 5, 0);
    both.be16(56, 300).be16(58, 100).be32(48, 20480).be32(44, 40960);
    RecordBytes crc = jobRecord(5, 2026, 5, 2, 8, 4, 29, 0);
    crc.be32(52, 50).be32(44, 0xDEADBEEF).be32(48, 0x12345678);
    write({copy(0, 1, 9, 3, 0, 100, 0), copy(1, 1, 9, 3, 0, 140, 0), copy(2, 1, 10, 3, 2, 10, 1000),
           both, jobRecord(4, 2026, 5, 2, 8, 4, 5, 3).be32(40, 5000), crc});
    const LogStats s = stats();
    ASSERT_EQ(s.ports.size(), 2u);
    const PortFigures& p3 = s.ports[0];
    EXPECT_EQ(p3.port, 3);
    EXPECT_EQ(p3.counts.pass, 2u);
    EXPECT_EQ(p3.counts.fail, 1u);
    EXPECT_NEAR(p3.counts.yieldPercent(), 200.0 / 3, 1e-9);
    EXPECT_EQ(p3.runSeconds.n, 2u);
    EXPECT_DOUBLE_EQ(p3.runSeconds.mean, 120);
    EXPECT_DOUBLE_EQ(p3.runSeconds.sd(), 20);
    EXPECT_EQ(p3.failingLba.n, 1u);
    EXPECT_DOUBLE_EQ(p3.failingLba.min, 1000);
    const PortFigures& p4 = s.ports[1];
    EXPECT_EQ(p4.port, 4);
    EXPECT_EQ(p4.counts.pass, 2u);
    EXPECT_EQ(p4.counts.fail, 1u);
    EXPECT_DOUBLE_EQ(p4.runSeconds.mean, (400 + 50) / 2.0);

    // The machine: LBAs 1000 and 5000, working hours 9, 10 and 11 of the
    // first day and 8 of the second.
    EXPECT_EQ(s.failingLba.n, 2u);
    EXPECT_DOUBLE_EQ(s.failingLba.min, 1000);
    EXPECT_DOUBLE_EQ(s.failingLba.max, 5000);
    EXPECT_DOUBLE_EQ(s.failingLba.mean, 3000);
    EXPECT_DOUBLE_EQ(s.failingLba.sd(), 2000);
    EXPECT_EQ(s.workingHours, 4u);
    EXPECT_DOUBLE_EQ(s.copiesPerHour(), 4.0 / 4);
    ASSERT_EQ(s.days.size(), 2u);
    EXPECT_EQ(s.days[0].workingHours, 3u);
    EXPECT_EQ(s.days[0].counts.pass, 3u);
    EXPECT_EQ(s.days[1].workingHours, 1u);
    ASSERT_EQ(s.days[1].functions.size(), 2u);
    EXPECT_EQ(s.days[1].functions[0].function, 5);
    EXPECT_EQ(s.days[1].functions[0].counts.fail, 1u);
    EXPECT_EQ(s.days[1].functions[1].function, 29);
    EXPECT_EQ(s.days[1].functions[1].counts.pass, 1u);

    // Functions: write speeds of passed copies only, in bytes per second
    // (40960 sectors of 512 bytes = 20 MiB/s); none from the CRC64.
    ASSERT_EQ(s.functions.size(), 3u);
    const FunctionFigures& f1 = s.functions[0];
    EXPECT_EQ(f1.function, 1);
    EXPECT_EQ(f1.writeBytesPerSec.n, 2u);
    EXPECT_DOUBLE_EQ(f1.writeBytesPerSec.mean, 20.0 * 1048576);
    EXPECT_DOUBLE_EQ(f1.readBytesPerSec.mean, 30.0 * 1048576);
    const FunctionFigures& f5 = s.functions[1];
    EXPECT_DOUBLE_EQ(f5.runSeconds.mean, 400);
    EXPECT_EQ(f5.counts.fail, 1u);
    const FunctionFigures& f29 = s.functions[2];
    EXPECT_EQ(f29.function, 29);
    EXPECT_EQ(f29.writeBytesPerSec.n, 0u);
    EXPECT_EQ(f29.readBytesPerSec.n, 0u);
    EXPECT_DOUBLE_EQ(f29.runSeconds.mean, 50);
}

TEST_F(StatsTest, RunTimeIsTheOneTheLogViewerShows) {
    // Whatever the function, the figure's run time is runTime() of the record.
    for (int f : {1, 4, 5, 6, 9, 10, 16, 22, 84, 85, 99}) {
        RecordBytes r = jobRecord(0, 2026, 1, 1, 1, 1, uint8_t(f), 0, 1);
        r.be16(56, 70).be16(58, 30).be32(52, 1234);
        LogStatsBuilder b;
        b.add(r.data());
        const LogStats s = b.finish();
        ASSERT_EQ(s.runSeconds.n, 1u) << f;
        EXPECT_EQ(s.runSeconds.mean, runTime(decodeLogRecord(r.data()))) << f;
    }
}

// A machine's job log in memory: `jobs` finished jobs on each port, each
// failing with its port's probability.
LogStats simulatedMachine(const std::vector<double>& failRates, int jobs, uint32_t seed) {
    std::mt19937 random(seed);
    LogStatsBuilder b;
    uint32_t no = 0;
    for (int j = 0; j < jobs; ++j)
        for (size_t port = 0; port < failRates.size(); ++port) {
            const bool fails = std::bernoulli_distribution(failRates[port])(random);
            const RecordBytes r =
                jobRecord(no++, 2026, 6, 1 + j % 28, j % 24, uint16_t(port + 1), 1, fails ? 2 : 0);
            b.add(r.data());
        }
    return b.finish();
}

TEST(StandOut, AWornPortIsFound) {
    struct Case {
        const char* name;
        size_t ports;
        double rate;
        size_t worn;
        double wornRate;
        int jobs;
    } cases[] = {
        {"10 ports, one at 20% beside 2%", 10, 0.02, 4, 0.20, 200},
        {"121 ports, one at 15% beside 3%", 121, 0.03, 77, 0.15, 300},
        {"20 ports that never fail, one at 10%", 20, 0.0, 1, 0.10, 150},
        {"8 ports at 5%, one at 40% over a short log", 8, 0.05, 7, 0.40, 40},
    };
    for (const auto& c : cases) {
        for (uint32_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
            std::vector<double> rates(c.ports, c.rate);
            rates[c.worn] = c.wornRate;
            const LogStats s = simulatedMachine(rates, c.jobs, seed);
            EXPECT_EQ(s.standOutPorts(), std::vector<uint16_t>{uint16_t(c.worn + 1)});
        }
    }
}

TEST(StandOut, AHealthyMachineHasNoPortMarked) {
    struct Case {
        const char* name;
        size_t ports;
        double rate;
        int jobs;
    } cases[] = {
        {"10 ports at 5%", 10, 0.05, 300},
        {"121 ports at 3%", 121, 0.03, 200},
        {"24 ports at 20%", 24, 0.20, 100},
        {"10 ports that never fail", 10, 0.0, 100},
        {"10 ports at 1% over a long log", 10, 0.01, 20000},
    };
    for (const auto& c : cases)
        for (uint32_t seed = 1; seed <= 5; ++seed) {
            SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
            const LogStats s = simulatedMachine(std::vector<double>(c.ports, c.rate), c.jobs, seed);
            EXPECT_TRUE(s.standOutPorts().empty());
        }
}

TEST(StandOut, SmallCountsAndSmallDifferencesAreNotMarked) {
    struct Case {
        const char* name;
        std::vector<PortTally> ports;
    } cases[] = {
        {"one failure beside ports that never failed", {{100, 1}, {100, 0}, {100, 0}, {100, 0}}},
        {"a single port", {{100, 60}}},
        {"a significant but small difference", {{100000, 6000}, {100000, 5000}, {100000, 5000}}},
        {"no finished jobs", {{0, 0}, {0, 0}}},
    };
    for (const auto& c : cases) {
        const auto verdicts = judgePorts(c.ports);
        for (size_t i = 0; i < verdicts.size(); ++i)
            EXPECT_FALSE(verdicts[i].standsOut) << c.name << ", port " << i;
    }
    // The difference that is both unlikely and large is marked.
    const auto marked = judgePorts({{100000, 9000}, {100000, 5000}, {100000, 5000}});
    EXPECT_TRUE(marked[0].standsOut);
    EXPECT_NEAR(marked[0].othersRate, 0.05, 1e-12);
}

TEST_F(StatsTest, ABadFileSaysWhy) {
    const LogStats missing = computeLogStats(dir / "none.QX42.LOGDATA", false, {}, {});
    EXPECT_EQ(missing.result, DATABASE_NOT_EXIST);
    writeBytes(db(), "not a database", 14);
    EXPECT_EQ(stats().result, DATABASE_CORRUPT);
}

TEST_F(StatsTest, ACancelledRunStopsEarly) {
    std::vector<RecordBytes> records;
    for (uint32_t i = 0; i < 140000; ++i)
        records.push_back(jobRecord(i, 2026, 1, 1, 1, 1, 1, 0));
    write(records);
    std::atomic<bool> cancel{true};
    const LogStats s = computeLogStats(db(), false, {}, {}, &cancel);
    EXPECT_TRUE(s.cancelled);
    EXPECT_LT(s.inRange, records.size());
}

} // namespace
