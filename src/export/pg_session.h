#pragma once
// One connection to the export's PostgreSQL server, whose blocking calls
// another thread can cut off.
#include <libpq-fe.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "export/name_lookup.h"
#include "export/server_url.h"

namespace dupmon {

struct PgResultClear {
    void operator()(PGresult* r) const { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, PgResultClear>;

// One connection to the server through libpq. Calls block the calling
// thread (never the program's engines: the export runs on its own thread);
// interrupt() from any other thread makes a blocked call fail at once.
class PgSession {
public:
    PgSession() = default;
    ~PgSession() { close(); }
    PgSession(const PgSession&) = delete;
    PgSession& operator=(const PgSession&) = delete;

    enum class Failure { None, Unreachable, Refused, Stopped };
    // Connects within `timeoutMs`. The wait ends early, with Stopped, when
    // `wakeFd` (if not -1) becomes readable, whatever it waits for: the name
    // service (asked through `resolver`, the system's when empty) or the
    // server. Refused: the server answered but wants a password that was
    // not given or not right.
    Failure connect(const ServerUrl& server, int timeoutMs, int wakeFd = -1,
                    const NameResolver& resolver = {});
    bool connected() const { return conn_ && PQstatus(conn_) == CONNECTION_OK; }
    void close();
    // Thread-safe: ends a call under way (the connection is then lost).
    void interrupt();

    // One statement without parameters; false, with problem() set, on failure.
    bool exec(const char* sql);
    // A statement with text parameters; null with problem() set on failure.
    PgResult query(const char* sql, const std::vector<std::optional<std::string>>& params = {});
    // COPY ... FROM STDIN with `data` in COPY's text format.
    bool copyIn(const char* copySql, const std::string& data);

    // The last failure in one line ("server closed the connection unexpectedly"),
    // never with the server's password.
    const std::string& problem() const { return problem_; }
    // The server's SQLSTATE of the last failed statement ("53100"); empty when
    // the failure had none (a lost connection).
    const std::string& sqlState() const { return sqlState_; }
    PGconn* raw() { return conn_; }
    // Whether this connection made its staging table (a temporary table
    // lives as long as its connection).
    bool stagingReady() const { return stagingReady_; }
    void setStagingReady() { stagingReady_ = true; }

private:
    bool check(PGresult* r, ExecStatusType expected);
    void setProblem(const char* text, const PGresult* result = nullptr);

    PGconn* conn_ = nullptr;
    std::mutex socketMutex_; // guards socket_ against interrupt() while closing
    int socket_ = -1;
    std::string problem_;
    std::string sqlState_;
    bool stagingReady_ = false;
    ServerUrl server_; // for the secrets that no message may show
};

} // namespace dupmon
