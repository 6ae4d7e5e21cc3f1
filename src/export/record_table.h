// Rows into the server's record table: a record sent twice counts once, a
// record whose key the server holds with other bytes is kept beside it, and
// a refusal says whether the rows or the server's own state is the cause.
//   dupmon_job_record       one row per job-log record, keyed by (machine_id, log_no)
//   dupmon_record_conflict  records whose key dupmon_job_record holds with other bytes
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "export/pg_session.h"
#include "export/schema.h"

namespace dupmon {

struct SendResult {
    bool connectionLost = false;
    // The server took none of the rows for a cause of its own (disk full,
    // read-only, no permission): no row is to blame, all stay owed.
    bool serverRefused = false;
    uint64_t inserted = 0;    // rows new in dupmon_job_record (the others were there already)
    uint64_t refused = 0;     // rows not taken (each refused alone, or all when serverRefused)
    std::string refusal;      // why, in words ("disk full (could not extend file ...)")
    std::string refusalState; // the SQLSTATE of the refusal
    // Per machine: rows whose key the server holds with other bytes, newly
    // kept in dupmon_record_conflict.
    std::map<std::string, uint64_t> conflicts;

    // The connection held and the server did not refuse as a whole.
    bool ok() const { return !connectionLost && !serverRefused; }
    // Every row is on the server now (or kept as a conflict).
    bool complete() const { return ok() && refused == 0; }
    uint64_t newConflicts() const;
};

// Whether a refusal with this SQLSTATE is the rows' fault (a value or a
// rule of the site's own that they break), not the server's state.
bool refusalOfRows(const std::string& sqlState);
// The cause of a refusal in a few words, with the server's message.
std::string refusalText(const std::string& sqlState, const std::string& problem);

// Writes rows in COPY text form (appendCopyRow) through the session's
// staging table, in one transaction. When the rows are refused for what
// they hold, the batch is halved until the rows to blame are found, so
// that one bad row never keeps the others out (within a budget of tries;
// the rest count as refused and stay owed).
SendResult sendRecordRows(PgSession& session, const std::string& rows);

// Rows whose keys the server is known to lack: copied straight into the
// record table, as fast as a plain COPY. When a row arrived meanwhile, or
// the rows are refused, they go as sendRecordRows sends them.
SendResult sendAbsentRows(PgSession& session, const std::string& rows);

// Rows of one machine whose log numbers lie from `lowest` to `highest`:
// straight when the server holds none of that range, else as sendRecordRows.
SendResult sendMachineRows(PgSession& session, const std::string& rows,
                           const std::string& machineId, uint32_t lowest, uint32_t highest);

} // namespace dupmon
