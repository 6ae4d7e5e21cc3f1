#include "export/record_table.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "export/export_row.h"

namespace dupmon {

namespace {

// Taken while the tables are checked and made, so that two programs that
// meet an empty server at once do not both make them.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7089925135312302385)";

constexpr const char* kSchemaSql = R"(CREATE TABLE dupmon_schema (
    version    integer     NOT NULL,
    created_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE dupmon_job_record (
    machine_id             text     NOT NULL,
    log_no                 bigint   NOT NULL CHECK (log_no BETWEEN 0 AND 4294967295),
    recorded_at            timestamp,
    port                   integer  NOT NULL,
    function_no            smallint NOT NULL,
    function_name          text     NOT NULL,
    function_text          text     NOT NULL,
    result_code            smallint NOT NULL,
    result                 text     NOT NULL,
    outcome                text     NOT NULL CHECK (outcome IN ('pass', 'fail', 'abort', 'start')),
    capacity_sectors       bigint   NOT NULL,
    data_sectors           bigint   NOT NULL,
    sector_size            integer  NOT NULL,
    capacity_bytes         bigint   NOT NULL,
    read_bytes_per_second  bigint,
    write_bytes_per_second bigint,
    run_time_seconds       integer  NOT NULL,
    target                 text     NOT NULL,
    raw                    bytea    NOT NULL CHECK (octet_length(raw) = 128),
    exported_at            timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (machine_id, log_no)
);
CREATE INDEX dupmon_job_record_recorded_at ON dupmon_job_record (recorded_at);
)";

const std::string& copySql() {
    static const std::string sql =
        "COPY dupmon_staging (" + std::string(kRecordColumns) + ") FROM STDIN";
    return sql;
}

const std::string& mergeSql() {
    static const std::string sql = "INSERT INTO dupmon_job_record (" + std::string(kRecordColumns) +
                                   ") SELECT " + std::string(kRecordColumns) +
                                   " FROM dupmon_staging ON CONFLICT DO NOTHING";
    return sql;
}

// One transaction: rows into the staging table, then into the record table.
bool sendBatch(PgSession& s, const std::string& rows, uint64_t& inserted) {
    if (!s.exec("BEGIN"))
        return false;
    PgResult merged;
    if (!s.copyIn(copySql().c_str(), rows) || !(merged = s.query(mergeSql().c_str()))) {
        // ROLLBACK leaves the session's problem as the failure set it.
        if (s.connected())
            s.exec("ROLLBACK");
        return false;
    }
    inserted = std::strtoull(PQcmdTuples(merged.get()), nullptr, 10);
    return s.exec("COMMIT");
}

} // namespace

const char* exportSchemaSql() {
    return kSchemaSql;
}

SchemaCheck prepareExportSession(PgSession& s) {
    SchemaCheck c;
    auto fail = [&] {
        c.problem = s.problem();
        if (s.connected())
            s.exec("ROLLBACK");
        return c;
    };
    if (!s.exec("BEGIN") || !s.query(kSchemaLock))
        return fail();
    PgResult found = s.query("SELECT to_regclass('dupmon_schema') IS NOT NULL");
    if (!found)
        return fail();
    if (std::string_view(PQgetvalue(found.get(), 0, 0)) != "t") {
        if (!s.exec(kSchemaSql) || !s.query("INSERT INTO dupmon_schema (version) VALUES ($1)",
                                            {std::to_string(kExportSchemaVersion)}))
            return fail();
        c.created = true;
    } else {
        PgResult version = s.query("SELECT min(version), max(version) FROM dupmon_schema");
        if (!version)
            return fail();
        if (PQgetisnull(version.get(), 0, 0)) {
            c.problem = "the server's table dupmon_schema holds no version; nothing is sent to it";
            s.exec("ROLLBACK");
            return c;
        }
        const int low = std::atoi(PQgetvalue(version.get(), 0, 0));
        const int high = std::atoi(PQgetvalue(version.get(), 0, 1));
        if (low != kExportSchemaVersion || high != kExportSchemaVersion) {
            c.otherVersion = true;
            c.serverVersion = low != kExportSchemaVersion ? low : high;
            c.problem = "the server's job-log tables are of schema version " +
                        std::to_string(c.serverVersion) + ", this program writes version " +
                        std::to_string(kExportSchemaVersion) + "; nothing is sent to them";
            s.exec("ROLLBACK");
            return c;
        }
    }
    if (!s.exec("COMMIT"))
        return fail();
    // Rows pass through a table of this session only, emptied at each commit.
    if (!s.exec("CREATE TEMP TABLE IF NOT EXISTS dupmon_staging "
                "(LIKE dupmon_job_record INCLUDING DEFAULTS) ON COMMIT DELETE ROWS")) {
        c.problem = s.problem();
        return c;
    }
    c.ready = true;
    return c;
}

SendResult sendRecordRows(PgSession& s, const std::string& rows) {
    SendResult result;
    if (rows.empty()) {
        result.ok = true;
        return result;
    }
    if (sendBatch(s, rows, result.inserted)) {
        result.ok = true;
        return result;
    }
    if (!s.connected())
        return result;
    // The server refused something in the batch: each row alone.
    result.inserted = 0;
    for (size_t at = 0; at < rows.size();) {
        const size_t end = rows.find('\n', at);
        const size_t next = end == std::string::npos ? rows.size() : end + 1;
        uint64_t one = 0;
        if (sendBatch(s, rows.substr(at, next - at), one)) {
            result.inserted += one;
        } else {
            if (!s.connected())
                return result;
            if (result.refused++ == 0)
                result.refusal = s.problem();
        }
        at = next;
    }
    result.ok = true;
    return result;
}

SendResult sendMachineRows(PgSession& s, const std::string& rows, const std::string& machineId,
                           uint32_t lowest, uint32_t highest) {
    static const std::string copyStraight =
        "COPY dupmon_job_record (" + std::string(kRecordColumns) + ") FROM STDIN";
    if (rows.empty() || !s.exec("BEGIN"))
        return sendRecordRows(s, rows);
    PgResult held =
        s.query("SELECT 1 FROM dupmon_job_record WHERE machine_id = $1 AND log_no "
                "BETWEEN $2 AND $3 LIMIT 1",
                {serverText(machineId), std::to_string(lowest), std::to_string(highest)});
    if (held && PQntuples(held.get()) == 0 && s.copyIn(copyStraight.c_str(), rows) &&
        s.exec("COMMIT")) {
        SendResult result;
        result.ok = true;
        result.inserted = uint64_t(std::count(rows.begin(), rows.end(), '\n'));
        return result;
    }
    if (s.connected())
        s.exec("ROLLBACK");
    return sendRecordRows(s, rows);
}

bool serverHighestLogNo(PgSession& s, const std::string& machineId,
                        std::optional<uint32_t>& highest) {
    PgResult r = s.query("SELECT max(log_no) FROM dupmon_job_record WHERE machine_id = $1",
                         {serverText(machineId)});
    if (!r)
        return false;
    highest.reset();
    if (!PQgetisnull(r.get(), 0, 0))
        highest = uint32_t(std::strtoull(PQgetvalue(r.get(), 0, 0), nullptr, 10));
    return true;
}

} // namespace dupmon
