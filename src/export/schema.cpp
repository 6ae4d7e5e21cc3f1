// The export tables, views and their version steps, and checking or bringing
// a server's tables up to date when a session starts.
#include "export/schema.h"

#include <cstdlib>
#include <string_view>

namespace dupmon {

namespace {

// Taken while the tables are checked, made or brought up to date, so that
// two programs that meet the same server at once do not both change them.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7089925135312302385)";

constexpr SchemaStep kSteps[] = {
    {1, R"(CREATE TABLE dupmon_schema (
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
)"},
    // The PC that sent each row; a key held with other bytes kept beside;
    // per-machine date ranges read from the index alone (port, outcome and
    // function are what the per-port, per-day and per-function figures count).
    {2, R"(ALTER TABLE dupmon_job_record ADD COLUMN sent_by text;
COMMENT ON COLUMN dupmon_job_record.sent_by IS
    'host name of the PC that sent the row; NULL for rows sent before schema version 2';
CREATE INDEX dupmon_job_record_machine_recorded_at
    ON dupmon_job_record (machine_id, recorded_at) INCLUDE (port, outcome, function_no);
CREATE TABLE dupmon_record_conflict (
    LIKE dupmon_job_record INCLUDING DEFAULTS INCLUDING CONSTRAINTS,
    PRIMARY KEY (machine_id, log_no, raw)
);
COMMENT ON TABLE dupmon_record_conflict IS
    'records whose (machine_id, log_no) dupmon_job_record holds with other bytes';
)"},
    // The figures `dupmon-logtool stats` prints, as views: one row per job
    // with what the figures count, then per machine, port, day, function and
    // day and function. Counts as the result text decides; spreads are the
    // population's; yields are of finished (passed or failed) jobs.
    {3, R"(CREATE VIEW dupmon_job_figure AS
SELECT machine_id, log_no, sent_by, recorded_at,
       recorded_at::date AS day,
       extract(hour FROM recorded_at)::integer AS hour,
       port, function_no, function_name, outcome,
       CASE WHEN result LIKE 'FAIL(LBA:%' THEN substr(result, 10, length(result) - 10)::bigint
       END AS failing_lba,
       CASE WHEN outcome = 'pass' THEN run_time_seconds END AS pass_run_seconds,
       CASE WHEN outcome = 'pass' AND write_bytes_per_second > 0 THEN write_bytes_per_second
       END AS pass_write_bytes_per_second,
       CASE WHEN outcome = 'pass' AND read_bytes_per_second > 0 THEN read_bytes_per_second
       END AS pass_read_bytes_per_second
FROM dupmon_job_record;
COMMENT ON VIEW dupmon_job_figure IS
    'one row per job record with what the statistics count; day is NULL when the record has no real date';
CREATE VIEW dupmon_day_function_stats AS
SELECT machine_id, day, function_no, min(function_name) AS function_name,
       count(*) FILTER (WHERE outcome = 'pass') AS pass,
       count(*) FILTER (WHERE outcome = 'fail') AS fail,
       count(*) FILTER (WHERE outcome = 'abort') AS abort,
       count(*) FILTER (WHERE outcome = 'start') AS start
FROM dupmon_job_figure WHERE day IS NOT NULL
GROUP BY machine_id, day, function_no;
CREATE VIEW dupmon_day_stats AS
SELECT *, coalesce(100.0 * pass / nullif(pass + fail, 0), 0)::float8 AS yield_percent,
       coalesce(pass::float8 / nullif(working_hours, 0), 0) AS copies_per_hour
FROM (SELECT machine_id, day,
             count(*) FILTER (WHERE outcome = 'pass') AS pass,
             count(*) FILTER (WHERE outcome = 'fail') AS fail,
             count(*) FILTER (WHERE outcome = 'abort') AS abort,
             count(*) FILTER (WHERE outcome = 'start') AS start,
             count(DISTINCT hour) FILTER (WHERE outcome IN ('pass', 'fail')) AS working_hours
      FROM dupmon_job_figure WHERE day IS NOT NULL
      GROUP BY machine_id, day) d;
CREATE VIEW dupmon_port_stats AS
SELECT *, coalesce(100.0 * pass / nullif(pass + fail, 0), 0)::float8 AS yield_percent,
       coalesce(100.0 * fail / nullif(pass + fail, 0), 0)::float8 AS failure_percent
FROM (SELECT machine_id, port,
             count(*) FILTER (WHERE outcome = 'pass') AS pass,
             count(*) FILTER (WHERE outcome = 'fail') AS fail,
             count(*) FILTER (WHERE outcome = 'abort') AS abort,
             count(*) FILTER (WHERE outcome = 'start') AS start,
             count(failing_lba) AS failing_lba_count, avg(failing_lba)::float8 AS failing_lba_mean,
             stddev_pop(failing_lba::float8) AS failing_lba_sd,
             min(failing_lba) AS failing_lba_min, max(failing_lba) AS failing_lba_max,
             count(pass_run_seconds) AS run_seconds_count,
             avg(pass_run_seconds)::float8 AS run_seconds_mean,
             stddev_pop(pass_run_seconds::float8) AS run_seconds_sd,
             min(pass_run_seconds) AS run_seconds_min, max(pass_run_seconds) AS run_seconds_max
      FROM dupmon_job_figure
      GROUP BY machine_id, port) p;
CREATE VIEW dupmon_function_stats AS
SELECT *, coalesce(100.0 * pass / nullif(pass + fail, 0), 0)::float8 AS yield_percent
FROM (SELECT machine_id, function_no, min(function_name) AS function_name,
             count(*) FILTER (WHERE outcome = 'pass') AS pass,
             count(*) FILTER (WHERE outcome = 'fail') AS fail,
             count(*) FILTER (WHERE outcome = 'abort') AS abort,
             count(*) FILTER (WHERE outcome = 'start') AS start,
             count(pass_run_seconds) AS run_seconds_count,
             avg(pass_run_seconds)::float8 AS run_seconds_mean,
             stddev_pop(pass_run_seconds::float8) AS run_seconds_sd,
             count(pass_write_bytes_per_second) AS write_speed_count,
             avg(pass_write_bytes_per_second)::float8 AS write_bytes_per_second_mean,
             stddev_pop(pass_write_bytes_per_second::float8) AS write_bytes_per_second_sd,
             count(pass_read_bytes_per_second) AS read_speed_count,
             avg(pass_read_bytes_per_second)::float8 AS read_bytes_per_second_mean,
             stddev_pop(pass_read_bytes_per_second::float8) AS read_bytes_per_second_sd,
             count(failing_lba) AS failing_lba_count
      FROM dupmon_job_figure
      GROUP BY machine_id, function_no) f;
CREATE VIEW dupmon_machine_stats AS
SELECT *, coalesce(100.0 * pass / nullif(pass + fail, 0), 0)::float8 AS yield_percent,
       coalesce(pass::float8 / nullif(working_hours, 0), 0) AS copies_per_hour
FROM (SELECT machine_id, count(*) AS records,
             count(*) FILTER (WHERE outcome = 'pass') AS pass,
             count(*) FILTER (WHERE outcome = 'fail') AS fail,
             count(*) FILTER (WHERE outcome = 'abort') AS abort,
             count(*) FILTER (WHERE outcome = 'start') AS start,
             count(*) FILTER (WHERE day IS NULL) AS undated,
             min(day) AS first_day, max(day) AS last_day,
             (SELECT coalesce(sum(d.working_hours), 0) FROM dupmon_day_stats d
              WHERE d.machine_id = j.machine_id) AS working_hours,
             count(failing_lba) AS failing_lba_count, avg(failing_lba)::float8 AS failing_lba_mean,
             stddev_pop(failing_lba::float8) AS failing_lba_sd,
             min(failing_lba) AS failing_lba_min, max(failing_lba) AS failing_lba_max,
             count(pass_run_seconds) AS run_seconds_count,
             avg(pass_run_seconds)::float8 AS run_seconds_mean,
             stddev_pop(pass_run_seconds::float8) AS run_seconds_sd,
             min(pass_run_seconds) AS run_seconds_min, max(pass_run_seconds) AS run_seconds_max
      FROM dupmon_job_figure j
      GROUP BY machine_id) m;
)"},
};

} // namespace

std::span<const SchemaStep> exportSchemaSteps() {
    return kSteps;
}

int exportSchemaVersion() {
    return std::end(kSteps)[-1].version;
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
    int version = 0;
    if (std::string_view(PQgetvalue(found.get(), 0, 0)) == "t") {
        PgResult held = s.query("SELECT min(version), max(version) FROM dupmon_schema");
        if (!held)
            return fail();
        if (PQgetisnull(held.get(), 0, 0)) {
            c.problem = "the server's table dupmon_schema holds no version; nothing is sent to it";
            s.exec("ROLLBACK");
            return c;
        }
        const int low = std::atoi(PQgetvalue(held.get(), 0, 0));
        const int high = std::atoi(PQgetvalue(held.get(), 0, 1));
        if (low != high || high > exportSchemaVersion() || low < 1) {
            c.otherVersion = true;
            c.serverVersion = high > exportSchemaVersion() ? high : low;
            c.problem = "the server's job-log tables are of schema version " +
                        std::to_string(c.serverVersion) + ", this program writes version " +
                        std::to_string(exportSchemaVersion()) + "; nothing is sent to them";
            s.exec("ROLLBACK");
            return c;
        }
        version = high;
    }
    for (const SchemaStep& step : kSteps) {
        if (step.version <= version)
            continue;
        if (!s.exec(step.sql)) {
            c.problem = "cannot bring the server's job-log tables to schema version " +
                        std::to_string(step.version) + ": " + s.problem();
            if (s.connected())
                s.exec("ROLLBACK");
            return c;
        }
    }
    if (version == 0) {
        if (!s.query("INSERT INTO dupmon_schema (version) VALUES ($1)",
                     {std::to_string(exportSchemaVersion())}))
            return fail();
        c.created = true;
    } else if (version < exportSchemaVersion()) {
        if (!s.query("UPDATE dupmon_schema SET version = $1",
                     {std::to_string(exportSchemaVersion())}))
            return fail();
        c.upgradedFrom = version;
    }
    if (!s.exec("COMMIT"))
        return fail();
    c.ready = true;
    return c;
}

} // namespace dupmon
