// Sending rows to the record table through a staging table: COPY, a merge
// that skips rows already there, conflicts kept aside, and finding the rows
// a server refuses.
#include "export/record_table.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "export/export_row.h"

namespace dupmon {

namespace {

// Failed transactions spent on finding the rows to blame in one send.
constexpr int kBlameTries = 512;

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

// The staged rows whose key the record table holds with other bytes go to
// the conflict table (once), counted per machine.
const std::string& keepConflictsSql() {
    static const std::string sql = [] {
        std::string staged;
        const std::string_view columns = kRecordColumns;
        for (size_t at = 0; at < columns.size();) {
            const size_t comma = std::min(columns.find(", ", at), columns.size());
            staged +=
                (staged.empty() ? "s." : ", s.") + std::string(columns.substr(at, comma - at));
            at = comma + 2;
        }
        return "WITH kept AS (INSERT INTO dupmon_record_conflict (" + std::string(kRecordColumns) +
               ") SELECT " + staged +
               " FROM dupmon_staging s JOIN dupmon_job_record j ON j.machine_id = s.machine_id "
               "AND j.log_no = s.log_no WHERE j.raw <> s.raw ON CONFLICT DO NOTHING RETURNING "
               "machine_id) SELECT machine_id, count(*) FROM kept GROUP BY machine_id";
    }();
    return sql;
}

uint64_t lineCount(std::string_view rows) {
    return uint64_t(std::count(rows.begin(), rows.end(), '\n'));
}

// A temporary table lives as long as the connection; it is made at the
// first send, since a read-only server refuses to make it.
bool ensureStaging(PgSession& s) {
    if (s.stagingReady())
        return true;
    if (!s.exec("CREATE TEMP TABLE IF NOT EXISTS dupmon_staging "
                "(LIKE dupmon_job_record INCLUDING DEFAULTS) ON COMMIT DELETE ROWS"))
        return false;
    s.setStagingReady();
    return true;
}

// One transaction: rows into the staging table, then into the record table
// and, where the key is held with other bytes, the conflict table.
bool sendBatch(PgSession& s, const std::string& rows, SendResult& result) {
    if (!ensureStaging(s) || !s.exec("BEGIN"))
        return false;
    PgResult merged, kept;
    if (!s.copyIn(copySql().c_str(), rows) || !(merged = s.query(mergeSql().c_str())) ||
        !(kept = s.query(keepConflictsSql().c_str())) || !s.exec("COMMIT")) {
        // ROLLBACK leaves the session's problem as the failure set it.
        if (s.connected())
            s.exec("ROLLBACK");
        return false;
    }
    result.inserted += std::strtoull(PQcmdTuples(merged.get()), nullptr, 10);
    for (int i = 0; i < PQntuples(kept.get()); ++i)
        result.conflicts[PQgetvalue(kept.get(), i, 0)] +=
            std::strtoull(PQgetvalue(kept.get(), i, 1), nullptr, 10);
    return true;
}

class Sender {
public:
    explicit Sender(PgSession& s) : s_(s) {}

    SendResult send(const std::string& rows) {
        const uint64_t total = lineCount(rows);
        sendPart(rows, total);
        if (!result_.ok())
            result_.refused = total - written_;
        return result_;
    }

private:
    void refuse(uint64_t lines) {
        if (result_.refused == 0 && result_.refusal.empty()) {
            result_.refusalState = s_.sqlState();
            result_.refusal = refusalText(s_.sqlState(), s_.problem());
        }
        result_.refused += lines;
    }

    void sendPart(const std::string& rows, uint64_t lines) {
        if (sendBatch(s_, rows, result_)) {
            written_ += lines;
            return;
        }
        if (!s_.connected()) {
            result_.connectionLost = true;
            return;
        }
        if (!refusalOfRows(s_.sqlState())) {
            refuse(0);
            result_.serverRefused = true;
            return;
        }
        if (lines <= 1 || --tries_ <= 0) {
            refuse(lines);
            return;
        }
        // Halves at a line end.
        size_t middle = 0;
        for (uint64_t k = 0; k < lines / 2; ++k)
            middle = rows.find('\n', middle) + 1;
        sendPart(rows.substr(0, middle), lines / 2);
        if (result_.ok())
            sendPart(rows.substr(middle), lines - lines / 2);
    }

    PgSession& s_;
    SendResult result_;
    uint64_t written_ = 0; // lines written or found there already
    int tries_ = kBlameTries;
};

} // namespace

uint64_t SendResult::newConflicts() const {
    uint64_t n = 0;
    for (const auto& [machine, count] : conflicts)
        n += count;
    return n;
}

bool refusalOfRows(const std::string& sqlState) {
    // 22: a value the server cannot take; 23: a constraint; P0: a site's
    // trigger that raised an error.
    return sqlState.rfind("22", 0) == 0 || sqlState.rfind("23", 0) == 0 ||
           sqlState.rfind("P0", 0) == 0;
}

std::string refusalText(const std::string& sqlState, const std::string& problem) {
    static const struct {
        const char* state;
        const char* text;
    } kCauses[] = {
        {"53100", "disk full"},
        {"53200", "the server is out of memory"},
        {"53300", "the server has too many connections"},
        {"53400", "a limit of the server's configuration"},
        {"25006", "the server is read-only"},
        {"42501", "no permission to write the tables"},
        {"57014", "a statement was cancelled"},
        {"55P03", "a table is locked"},
        {"40001", "a conflict with another writer"},
        {"40P01", "a conflict with another writer"},
        {"58030", "the server's disk failed"},
    };
    std::string cause = refusalOfRows(sqlState) ? "the server refused them" : "the server refused";
    for (const auto& c : kCauses)
        if (sqlState == c.state)
            cause = c.text;
    std::string_view message = problem;
    if (message.rfind("ERROR:", 0) == 0) {
        message.remove_prefix(6);
        while (!message.empty() && message.front() == ' ')
            message.remove_prefix(1);
    }
    return message.empty() ? cause : cause + " (" + std::string(message) + ")";
}

SendResult sendRecordRows(PgSession& s, const std::string& rows) {
    if (rows.empty())
        return {};
    return Sender(s).send(rows);
}

SendResult sendAbsentRows(PgSession& s, const std::string& rows) {
    static const std::string copyStraight =
        "COPY dupmon_job_record (" + std::string(kRecordColumns) + ") FROM STDIN";
    SendResult result;
    if (rows.empty())
        return result;
    if (s.exec("BEGIN") && s.copyIn(copyStraight.c_str(), rows) && s.exec("COMMIT")) {
        result.inserted = lineCount(rows);
        return result;
    }
    if (!s.connected()) {
        result.connectionLost = true;
        result.refused = lineCount(rows);
        return result;
    }
    s.exec("ROLLBACK");
    // 23505: a row of the same key arrived meanwhile.
    if (s.sqlState() == "23505" || refusalOfRows(s.sqlState()))
        return sendRecordRows(s, rows);
    result.serverRefused = true;
    result.refused = lineCount(rows);
    result.refusalState = s.sqlState();
    result.refusal = refusalText(s.sqlState(), s.problem());
    return result;
}

SendResult sendMachineRows(PgSession& s, const std::string& rows, const std::string& machineId,
                           uint32_t lowest, uint32_t highest) {
    if (rows.empty())
        return {};
    PgResult held =
        s.query("SELECT 1 FROM dupmon_job_record WHERE machine_id = $1 AND log_no "
                "BETWEEN $2 AND $3 LIMIT 1",
                {serverText(machineId), std::to_string(lowest), std::to_string(highest)});
    if (!held) {
        SendResult lost;
        lost.connectionLost = !s.connected();
        lost.serverRefused = s.connected();
        lost.refused = lineCount(rows);
        lost.refusalState = s.sqlState();
        lost.refusal = refusalText(s.sqlState(), s.problem());
        return lost;
    }
    return PQntuples(held.get()) == 0 ? sendAbsentRows(s, rows) : sendRecordRows(s, rows);
}

} // namespace dupmon
