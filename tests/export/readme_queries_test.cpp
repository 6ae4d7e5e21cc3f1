// The example queries of the README, run against records of known ports,
// days and results: what they answer is counted here from the records.
#include <fstream>
#include <map>

#include "export/export_row.h"
#include "export/record_table.h"
#include "export/schema.h"
#include "export/server_fixture.h"

using namespace dupmon;
using namespace dupmon::test;

namespace {

// The ```sql blocks of the README's section on PostgreSQL.
std::vector<std::string> readmeQueries() {
    std::ifstream in(std::string(DUPMON_SOURCE_DIR) + "/README.md");
    std::vector<std::string> queries;
    std::string line, block;
    bool inSection = false, inBlock = false;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0)
            inSection = line == "## Job records in PostgreSQL";
        if (!inSection)
            continue;
        if (line == "```sql") {
            inBlock = true;
            block.clear();
        } else if (inBlock && line == "```") {
            inBlock = false;
            queries.push_back(block);
        } else if (inBlock) {
            block += line + "\n";
        }
    }
    return queries;
}

} // namespace

class ReadmeQueries : public ServerTest {};

TEST_F(ReadmeQueries, AnswerWhatTheRecordsHold) {
    const std::vector<std::string> queries = readmeQueries();
    ASSERT_EQ(queries.size(), 4u) << "yield per machine per day, failures by port, failures by "
                                     "port of one machine in a week, records per hour";

    PgSession s;
    ASSERT_EQ(s.connect(checkServerUrl(url()), 10000), PgSession::Failure::None);
    ASSERT_TRUE(prepareExportSession(s).ready);
    // jobRecord(n, k): day 1 + k % 28 of May 2024, hour k % 24, port 1 + k % 16,
    // failed when k % 7 == 3.
    const std::map<std::string, uint32_t> machines = {{"M1", 600}, {"M2", 250}};
    std::map<std::pair<std::string, int>, std::pair<int, int>> byDay; // passed, failed
    std::map<std::pair<std::string, int>, int> failuresByPort;
    std::map<int, int> firstWeekFailuresOfM1; // by port
    std::map<int, int> firstDayByHour;
    std::string rows;
    for (const auto& [id, count] : machines) {
        for (uint32_t k = 0; k < count; ++k) {
            appendCopyRow(rows, id, jobRecord(k, k).data());
            const bool failed = k % 7 == 3;
            auto& day = byDay[{id, int(1 + k % 28)}];
            (failed ? day.second : day.first)++;
            if (failed)
                failuresByPort[{id, int(1 + k % 16)}]++;
            if (failed && id == "M1" && 1 + k % 28 <= 7)
                firstWeekFailuresOfM1[int(1 + k % 16)]++;
            if (1 + k % 28 == 1)
                firstDayByHour[int(k % 24)]++;
        }
    }
    ASSERT_TRUE(sendRecordRows(s, rows).complete()) << s.problem();

    const auto yield = server().admin(db, queries[0]);
    ASSERT_EQ(yield.size(), byDay.size()) << yield[0][0];
    for (const auto& row : yield) {
        ASSERT_EQ(row.size(), 5u);
        const auto& expected = byDay.at({row[0], std::stoi(row[1].substr(8, 2))});
        EXPECT_EQ(row[1].substr(0, 8), "2024-05-");
        EXPECT_EQ(std::stoi(row[2]), expected.first) << row[0] << " " << row[1];
        EXPECT_EQ(std::stoi(row[3]), expected.second) << row[0] << " " << row[1];
        EXPECT_NEAR(std::stod(row[4]), 100.0 * expected.first / (expected.first + expected.second),
                    0.005);
    }

    const auto failures = server().admin(db, queries[1]);
    ASSERT_EQ(failures.size(), failuresByPort.size()) << failures[0][0];
    int previous = INT32_MAX;
    for (const auto& row : failures) {
        const int n = std::stoi(row[2]);
        EXPECT_EQ(n, failuresByPort.at({row[0], std::stoi(row[1])}));
        EXPECT_LE(n, previous) << "most failures first";
        previous = n;
    }

    const auto week = server().admin(db, queries[2]);
    ASSERT_EQ(week.size(), firstWeekFailuresOfM1.size()) << week[0][0];
    for (const auto& row : week)
        EXPECT_EQ(std::stoi(row[1]), firstWeekFailuresOfM1.at(std::stoi(row[0]))) << row[0];

    const auto perHour = server().admin(db, queries[3]);
    ASSERT_EQ(perHour.size(), firstDayByHour.size()) << perHour[0][0];
    for (const auto& row : perHour) {
        ASSERT_EQ(row[0].substr(0, 11), "2024-05-01 ");
        EXPECT_EQ(std::stoi(row[1]), firstDayByHour.at(std::stoi(row[0].substr(11, 2))));
    }
}
