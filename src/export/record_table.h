#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "export/pg_session.h"

namespace dupmon {

// The tables on the server, made by the first program that finds them
// missing:
//   dupmon_schema      one row: the version of the tables below
//   dupmon_job_record  one row per job-log record, keyed by (machine_id, log_no)
// A program meets only tables of its own version: other versions are left
// alone, and nothing is sent to them.
constexpr int kExportSchemaVersion = 1;

struct SchemaCheck {
    bool ready = false;
    bool created = false;      // this session made the tables
    int serverVersion = 0;     // the version found, when it is another one
    bool otherVersion = false; // the tables are of another version
    std::string problem;       // why not ready, in words
};

// Creates the tables when missing (one program at a time, under an advisory
// lock), checks their version, and makes the session's staging table.
SchemaCheck prepareExportSession(PgSession& session);

struct SendResult {
    bool ok = false;       // the connection held: every row was written or refused
    uint64_t inserted = 0; // rows new on the server (the rest were there already)
    uint64_t refused = 0;  // rows the server would not take
    std::string refusal;   // why the first of them was refused
};

// Writes rows in COPY text form (appendCopyRow) through the staging table:
// a row whose (machine_id, log_no) is on the server already is left as it
// is, so a record sent twice counts once. When the server refuses the batch
// while the connection holds, each row is tried alone, so that one bad row
// never keeps the others out.
SendResult sendRecordRows(PgSession& session, const std::string& rows);

// Rows (as for sendRecordRows) of one machine, whose log numbers all lie
// from `lowest` to `highest`. When the server holds none of that range, the
// rows are copied straight into the record table, which is as fast as a
// plain COPY; else, or when a row of the range arrives meanwhile, they go as
// sendRecordRows sends them. The backfill of a new server takes the fast way.
SendResult sendMachineRows(PgSession& session, const std::string& rows,
                           const std::string& machineId, uint32_t lowest, uint32_t highest);

// The highest log number the server holds for the machine; nullopt when it
// holds none. False, with the session's problem set, when it cannot be asked.
bool serverHighestLogNo(PgSession& session, const std::string& machineId,
                        std::optional<uint32_t>& highest);

// The SQL that creates the tables (for the README and the tests).
const char* exportSchemaSql();

} // namespace dupmon
