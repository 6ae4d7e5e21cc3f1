// The detail report's jobs: which records make one job, the texts of its
// ports, times and media, and the files it is saved to.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "logdb/job_report.h"
#include "logdb/log_database.h"
#include "logdb/log_test_support.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

// A job's record: the time it was logged, its port, function, elapsed
// seconds and result.
RecordBytes jobEnd(uint32_t no, int day, int h, int mi, int s, uint16_t port, uint8_t function,
                   uint32_t elapsed, uint8_t result = 0) {
    RecordBytes r;
    r.job(no, 2026, 6, day, h, mi, s, port).u8(14, function).be32(52, elapsed).u8(62, result);
    r.be32(24, 2097152);
    return r;
}

class JobReportTest : public TempDirTest {
protected:
    std::filesystem::path db() const { return dir / "J.QX42.LOGDATA"; }
    void write(const std::vector<RecordBytes>& records) {
        ASSERT_TRUE(createLogDatabase(db()));
        for (const auto& r : records)
            writeBytes(db(), r.data(), 128, true);
    }
};

TEST_F(JobReportTest, RecordsMakeOneJobWhileTheyStartedTogetherOnNewPorts) {
    struct Case {
        const char* name;
        std::vector<RecordBytes> records;
        std::vector<uint32_t> jobSizes;
    };
    const Case cases[] = {
        {"one round of three ports",
         {jobEnd(0, 1, 8, 10, 0, 1, 1, 600), jobEnd(1, 1, 8, 10, 0, 2, 1, 600),
          jobEnd(2, 1, 8, 10, 5, 3, 1, 605)},
         {3}},
        {"a port again starts the next round",
         {jobEnd(0, 1, 8, 10, 0, 1, 1, 600), jobEnd(1, 1, 8, 10, 0, 2, 1, 600),
          jobEnd(2, 1, 8, 12, 0, 1, 1, 100), jobEnd(3, 1, 8, 12, 0, 2, 1, 100)},
         {2, 2}},
        {"another function is another job",
         {jobEnd(0, 1, 8, 10, 0, 1, 1, 600), jobEnd(1, 1, 8, 10, 0, 2, 5, 600)},
         {1, 1}},
        {"a slow port ends later but started with the others",
         {jobEnd(0, 1, 8, 10, 0, 1, 1, 600), jobEnd(1, 1, 8, 25, 0, 2, 1, 1500)},
         {2}},
        {"started more than two minutes apart",
         {jobEnd(0, 1, 8, 10, 0, 1, 1, 600), jobEnd(1, 1, 8, 12, 1, 2, 1, 600)},
         {1, 1}},
        {"records without a real date go together on new ports",
         {jobEnd(0, 40, 8, 0, 0, 1, 1, 5), jobEnd(1, 40, 8, 0, 0, 2, 1, 5),
          jobEnd(2, 1, 8, 0, 0, 3, 1, 5)},
         {2, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write(c.records);
        const JobReport r = groupJobs(db(), false, {}, {});
        ASSERT_EQ(r.result, PASS);
        std::vector<uint32_t> sizes;
        for (const JobGroup& j : r.jobs)
            sizes.push_back(j.records);
        EXPECT_EQ(sizes, c.jobSizes);
    }
}

TEST_F(JobReportTest, AJobSaysWhenWhatWhereAndHowItWent) {
    RecordBytes small = jobEnd(2, 3, 9, 30, 0, 4, 5, 90, 2);
    small.be32(24, 1048576).be16(56, 50).be16(58, 40); // 512 MB, copy 50 s + compare 40 s
    write({jobEnd(0, 2, 23, 59, 0, 9, 1, 10), jobEnd(1, 3, 9, 30, 0, 2, 5, 120),
           jobEnd(3, 3, 9, 30, 0, 3, 5, 100), small});
    const JobReport all = groupJobs(db(), false, {}, {});
    ASSERT_EQ(all.jobs.size(), 2u);
    // The range leaves the job of the 2nd out.
    const JobReport r = groupJobs(db(), true, {2026, 6, 3}, {2026, 6, 3});
    ASSERT_EQ(r.jobs.size(), 1u);
    EXPECT_EQ(r.records, 4u);
    EXPECT_EQ(r.inRange, 3u);
    const JobGroup& j = r.jobs[0];
    EXPECT_EQ(j.records, 3u);
    EXPECT_EQ(clockText(j.started), "2026-06-03 09:28:00"); // 09:30 less 120 s
    EXPECT_EQ(clockText(j.ended), "2026-06-03 09:30:00");
    EXPECT_EQ(j.counts.pass, 2u);
    EXPECT_EQ(j.counts.fail, 1u);
    EXPECT_EQ(j.longestRun, 90u);
    EXPECT_EQ(mediaSizeText(j), "512.0MB-1024.0MB");
    EXPECT_EQ(portListText(j.ports, LayoutKind::Ordinary), "#03-#05");
    EXPECT_EQ(portListText({7, 1, 2, 3, 9, 10}, LayoutKind::Kind1), "#01-#03, #07, #09-#10");
    EXPECT_EQ(clockText(0), "2000-01-01 00:00:00");

    const MachineInfo info = machine("LINE-2", "UB-10", "J-1");
    EXPECT_EQ(jobReportCsv(r, info),
              std::string(kJobReportCsvHeader) +
                  "\r\n1,2026-06-03 09:28:00,2026-06-03 09:30:00,5,\"COPY+COMPARE(DATA,0KB)\","
                  "512.0MB-1024.0MB,#03-#05,3,2,1,0,0,66.67,90,2,3\r\n");
    const std::string text = jobReportText(r, info, "LINE-2(v1)");
    EXPECT_EQ(text.substr(0, text.find("\n\n")),
              "Detail Report\nMachine: LINE-2(v1)  Machine ID: J-1\nRange: 2026-06-03 to "
              "2026-06-03\nJobs: 1  Records: 3  PASS: 2  FAIL: 1  Yield: 66.7%");
}

TEST_F(JobReportTest, ASaveThatFailsLeavesTheOldFile) {
    const auto file = dir / "jobs.csv";
    std::string problem;
    ASSERT_TRUE(saveWholeFile(file, "first\n", problem)) << problem;
    EXPECT_EQ(readText(file), "first\n");
    ASSERT_TRUE(saveWholeFile(file, "second\n", problem));
    EXPECT_EQ(readText(file), "second\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "jobs.csv.new"));
    EXPECT_FALSE(saveWholeFile(dir / "none" / "jobs.csv", "x", problem));
    EXPECT_NE(problem.find("cannot be created"), std::string::npos) << problem;
    // A planted link where the fresh file goes is replaced, never followed.
    std::filesystem::create_symlink(dir / "target", dir / "jobs.csv.new");
    ASSERT_TRUE(saveWholeFile(file, "third\n", problem)) << problem;
    EXPECT_FALSE(std::filesystem::exists(dir / "target"));
    EXPECT_EQ(readText(file), "third\n");
}

} // namespace
