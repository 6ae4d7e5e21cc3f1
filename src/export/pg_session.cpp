// One libpq connection: connecting to looked-up addresses within a time-out,
// statements, COPY, and one-line problems that never show a password.
#include "export/pg_session.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>

namespace dupmon {

PgSession::Failure PgSession::connect(const ServerUrl& server, int timeoutMs, int wakeFd,
                                      const NameResolver& resolver) {
    close();
    server_ = server;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // libpq would look the name up in the calling thread, where nothing can
    // end the wait: it gets the addresses instead, each with the name beside
    // it (for TLS and messages), tried in order.
    std::string hosts, addresses;
    if (const std::string host = hostToLookUp(server); !host.empty()) {
        std::vector<std::string> found;
        switch (lookUp(resolver ? resolver : NameResolver(systemResolve), host, timeoutMs, wakeFd,
                       found)) {
        case LookupEnd::Stopped:
            setProblem("stopped");
            return Failure::Stopped;
        case LookupEnd::TimedOut:
            setProblem(("no answer from the name service for \"" + host + "\" within " +
                        std::to_string(timeoutMs / 1000) + " s")
                           .c_str());
            return Failure::Unreachable;
        case LookupEnd::NotFound:
            break; // libpq looks again, and says why in its own words
        case LookupEnd::Found:
            for (const std::string& a : found) {
                if (!hosts.empty()) {
                    hosts.push_back(',');
                    addresses.push_back(',');
                }
                hosts.append(host);
                addresses.append(a);
            }
            break;
        }
    }
    // The URL comes after our defaults, so that it may set them otherwise;
    // the encoding comes after it: every text we send is UTF-8.
    const std::string seconds = std::to_string(std::max(1, timeoutMs / 1000));
    std::vector<const char*> keys = {
        "connect_timeout",  "application_name", "keepalives_idle", "keepalives_interval",
        "keepalives_count", "tcp_user_timeout", "dbname",          "client_encoding"};
    std::vector<const char*> values = {seconds.c_str(), "duplicator-monitor", "10",  "5", "3",
                                       "30000",         server.url.c_str(),   "UTF8"};
    if (!addresses.empty()) {
        keys.insert(keys.end(), {"host", "hostaddr"});
        values.insert(values.end(), {hosts.c_str(), addresses.c_str()});
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    conn_ = PQconnectStartParams(keys.data(), values.data(), 1);
    if (!conn_) {
        setProblem("out of memory");
        return Failure::Unreachable;
    }
    PostgresPollingStatusType state =
        PQstatus(conn_) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED) {
            setProblem(PQerrorMessage(conn_));
            const bool refused =
                PQconnectionNeedsPassword(conn_) || PQconnectionUsedPassword(conn_);
            close();
            return refused ? Failure::Refused : Failure::Unreachable;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fds[2] = {
            {PQsocket(conn_), short(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0},
            {wakeFd, POLLIN, 0}};
        const int n = left > 0 ? ::poll(fds, wakeFd >= 0 ? 2 : 1, int(left)) : 0;
        if (wakeFd >= 0 && n > 0 && (fds[1].revents & POLLIN)) {
            setProblem("stopped");
            close();
            return Failure::Stopped;
        }
        if (n == 0) {
            setProblem(("no answer within " + std::to_string(timeoutMs / 1000) + " s").c_str());
            close();
            return Failure::Unreachable;
        }
        if (n < 0 && errno != EINTR) {
            setProblem("cannot wait for the server");
            close();
            return Failure::Unreachable;
        }
        if (n > 0)
            state = PQconnectPoll(conn_);
    }
    // The server's warnings (a shutdown under way) are no business of the
    // program's output; failures come back as results.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    std::lock_guard lock(socketMutex_);
    socket_ = PQsocket(conn_);
    problem_.clear();
    return Failure::None;
}

void PgSession::close() {
    {
        std::lock_guard lock(socketMutex_);
        socket_ = -1;
    }
    if (conn_)
        PQfinish(conn_);
    conn_ = nullptr;
    stagingReady_ = false;
}

void PgSession::interrupt() {
    std::lock_guard lock(socketMutex_);
    if (socket_ >= 0)
        ::shutdown(socket_, SHUT_RDWR);
}

void PgSession::setProblem(const char* text, const PGresult* result) {
    problem_ = server_.redact(oneLine(text));
    if (problem_.empty())
        setProblem("no connection to the server");
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    sqlState_ = state ? state : "";
}

bool PgSession::check(PGresult* r, ExecStatusType expected) {
    PgResult result(r);
    if (r && PQresultStatus(r) == expected)
        return true;
    setProblem(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_), r);
    return false;
}

bool PgSession::exec(const char* sql) {
    if (!conn_) {
        setProblem("no connection to the server");
        return false;
    }
    return check(PQexec(conn_, sql), PGRES_COMMAND_OK);
}

PgResult PgSession::query(const char* sql, const std::vector<std::optional<std::string>>& params) {
    if (!conn_) {
        setProblem("no connection to the server");
        return nullptr;
    }
    std::vector<const char*> values;
    for (const auto& p : params)
        values.push_back(p ? p->c_str() : nullptr);
    PgResult r(
        PQexecParams(conn_, sql, int(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
    if (r &&
        (PQresultStatus(r.get()) == PGRES_TUPLES_OK || PQresultStatus(r.get()) == PGRES_COMMAND_OK))
        return r;
    setProblem(r ? PQresultErrorMessage(r.get()) : PQerrorMessage(conn_), r.get());
    return nullptr;
}

bool PgSession::copyIn(const char* copySql, const std::string& data) {
    if (!conn_) {
        setProblem("no connection to the server");
        return false;
    }
    if (!check(PQexec(conn_, copySql), PGRES_COPY_IN))
        return false;
    constexpr size_t kChunk = 1 << 20;
    bool sent = true;
    for (size_t at = 0; at < data.size() && sent; at += kChunk) {
        const size_t n = std::min(kChunk, data.size() - at);
        sent = PQputCopyData(conn_, data.data() + at, int(n)) == 1;
    }
    if (!sent) {
        setProblem(PQerrorMessage(conn_));
        return false;
    }
    if (PQputCopyEnd(conn_, nullptr) != 1) {
        setProblem(PQerrorMessage(conn_));
        return false;
    }
    bool ok = true;
    while (PGresult* r = PQgetResult(conn_)) {
        if (ok && PQresultStatus(r) != PGRES_COMMAND_OK) {
            setProblem(PQresultErrorMessage(r), r);
            ok = false;
        }
        PQclear(r);
        if (PQstatus(conn_) == CONNECTION_BAD)
            break;
    }
    return ok;
}

} // namespace dupmon
