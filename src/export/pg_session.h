#pragma once
#include <libpq-fe.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace dupmon {

struct PgResultClear {
    void operator()(PGresult* r) const { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, PgResultClear>;

// Where the job-log records go: a PostgreSQL connection URL as the user gave
// it, and the same without its password for every message.
struct ServerUrl {
    std::string url;
    std::string shown;   // "postgresql://user@host:port/database"
    std::string problem; // why the URL cannot be used; empty when it can
    bool usable() const { return problem.empty(); }
};
// Checks that `url` is a postgresql:// (or postgres://) URL that libpq reads.
ServerUrl checkServerUrl(const std::string& url);

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
    // `wakeFd` (if not -1) becomes readable. Refused: the server answered but
    // wants a password that was not given or not right.
    Failure connect(const ServerUrl& server, int timeoutMs, int wakeFd = -1);
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

    // The last failure in one line ("server closed the connection unexpectedly").
    const std::string& problem() const { return problem_; }
    PGconn* raw() { return conn_; }

private:
    bool check(PGresult* r, ExecStatusType expected);
    void setProblem(const char* text);

    PGconn* conn_ = nullptr;
    std::mutex socketMutex_; // guards socket_ against interrupt() while closing
    int socket_ = -1;
    std::string problem_;
};

// libpq's message in one line: line ends and indents become "; " and blanks.
std::string oneLine(const char* message);

} // namespace dupmon
