#pragma once
// Tests against the PostgreSQL server of this test run: one server for the
// whole run (started by the first test that needs one), one database per test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "export/export_records.h"
#include "export/pg_test_server.h"
#include "logdb/log_database.h"
#include "logdb/log_test_support.h"
#include "support/temp_dir.h"

namespace dupmon::test {

// The ```sql blocks of the section titled `section` ("## ...") of the README
// at `readme`.
inline std::vector<std::string> readmeSqlBlocks(const std::string& readme,
                                                const std::string& section) {
    std::ifstream in(readme);
    std::vector<std::string> queries;
    std::string line, block;
    bool inSection = false, inBlock = false;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0)
            inSection = line == section;
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

inline TestPostgres& testServer() {
    static TestPostgres server;
    static const bool started = server.start(std::filesystem::temp_directory_path());
    (void)started;
    return server;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TestPostgres::available())
            GTEST_SKIP() << "no PostgreSQL server binaries in " << TestPostgres::binDir()
                         << ": scripts/setup installs postgresql-15";
        TestPostgres& s = testServer();
        if (!s.running() && s.notHere())
            GTEST_SKIP() << s.problem();
        ASSERT_TRUE(s.running()) << s.problem();
        static int databases = 0;
        db = "t" + std::to_string(++databases);
        s.createDatabase(db);
        // Open to others, as a folder made by hand is: the server's own user
        // makes its tablespaces in here.
        std::filesystem::permissions(dir, std::filesystem::perms(0755));
        std::filesystem::create_directories(dir / "DATABASE");
    }

    TestPostgres& server() { return testServer(); }
    std::string url(const std::string& password = TestPostgres::kPassword) const {
        return testServer().url(db, password);
    }

    // The machine's log database in `workDir` (the test's folder unless given).
    std::filesystem::path databasePath(const std::string& machineId,
                                       std::filesystem::path workDir = {}) const {
        MachineInfo info{};
        copyField(info.machineId, sizeof info.machineId, machineId);
        return logDatabasePath((workDir.empty() ? dir : workDir) / "DATABASE", info);
    }
    // Appends records first .. first + count - 1 to the machine's local log
    // database (made when missing), as the monitor stores them.
    std::filesystem::path appendRecords(const std::string& machineId, uint32_t first,
                                        uint32_t count) {
        const std::filesystem::path path = databasePath(machineId);
        if (!std::filesystem::exists(path))
            createLogDatabase(path);
        std::ofstream out(path, std::ios::binary | std::ios::app);
        for (uint32_t k = 0; k < count; ++k) {
            const RecordBytes r = jobRecord(first + k, first + k);
            out.write(reinterpret_cast<const char*>(r.data()), 128);
        }
        return path;
    }

    // The log numbers the server holds for the machine, lowest first.
    std::vector<uint32_t> serverLogNumbers(const std::string& machineId) {
        std::vector<uint32_t> numbers;
        for (const auto& row :
             server().admin(db, "SELECT log_no FROM dupmon_job_record WHERE machine_id = '" +
                                    machineId + "' ORDER BY log_no"))
            numbers.push_back(uint32_t(std::stoull(row[0])));
        return numbers;
    }
    long serverCount() {
        const std::string v = server().value(db, "SELECT count(*) FROM dupmon_job_record");
        return v.empty() || !std::isdigit(static_cast<unsigned char>(v[0])) ? -1 : std::stol(v);
    }
    // Every row's raw bytes are the local database's record of its number.
    void expectRawEqualsLocal(const std::string& machineId,
                              const std::filesystem::path& workDir = {}) {
        const auto local = readLogDatabase(databasePath(machineId, workDir));
        ASSERT_EQ(local.result, PASS);
        const auto rows = server().admin(
            db, "SELECT log_no, encode(raw, 'hex') FROM dupmon_job_record WHERE machine_id = '" +
                    machineId + "' ORDER BY log_no");
        ASSERT_EQ(rows.size(), local.count) << machineId;
        for (uint32_t i = 0; i < local.count; ++i)
            ASSERT_EQ(rows[i][1], hexOf(local.record(i))) << machineId << " record " << i;
    }

    static std::vector<uint32_t> range(uint32_t first, uint32_t count) {
        std::vector<uint32_t> v(count);
        for (uint32_t k = 0; k < count; ++k)
            v[k] = first + k;
        return v;
    }

    std::string db;
    TempDir tmp{"dupmon_export"};
    std::filesystem::path dir{tmp.path};
};

} // namespace dupmon::test
