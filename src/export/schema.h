// The export's tables on the server and the steps that make them: a new
// server takes every step, an older one the steps it lacks, one program at a
// time under an advisory lock.
#pragma once
#include <span>
#include <string>

#include "export/pg_session.h"

namespace dupmon {

// One version step of the tables. Step 1 made the tables of version 1; a
// server of version N takes steps N+1 .. the last on its next connection,
// so a new server has exactly the tables an old one has after its steps.
// To change the tables, append a step (never edit one that has shipped):
// its SQL runs in the same transaction as the version's update, and a
// column added to dupmon_job_record goes to dupmon_record_conflict too.
struct SchemaStep {
    int version;
    const char* sql;
};
std::span<const SchemaStep> exportSchemaSteps();

// The version this program writes: the last step's.
int exportSchemaVersion();

struct SchemaCheck {
    bool ready = false;
    bool created = false;      // this session made the tables
    int upgradedFrom = 0;      // the version this session brought up to date; 0 when none
    int serverVersion = 0;     // the version found, when it is another one
    bool otherVersion = false; // the tables are of a later version: nothing is sent to them
    std::string problem;       // why not ready, in words
};

// Makes the tables when missing and takes the steps an older server lacks
// (one program at a time, under an advisory lock); refuses tables of a later
// version. Only reads when the tables are up to date, so that a read-only
// server can still be compared with the local logs.
SchemaCheck prepareExportSession(PgSession& session);

} // namespace dupmon
