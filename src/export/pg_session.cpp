#include "export/pg_session.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>

namespace dupmon {

namespace {

struct ConninfoFree {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};

// The URL with its password (between "user:" and "@") masked, for a URL
// libpq could not read.
std::string maskedUrl(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return url;
    const size_t start = scheme + 3;
    const size_t end = std::min(url.find_first_of("/?", start), url.size());
    const size_t at = url.rfind('@', end);
    if (at == std::string::npos || at < start)
        return url;
    const size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at)
        return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

} // namespace

std::string oneLine(const char* message) {
    std::string out;
    bool pendingBreak = false;
    for (const char* p = message ? message : ""; *p; ++p) {
        if (*p == '\n' || *p == '\r') {
            pendingBreak = true;
            continue;
        }
        if (pendingBreak && (*p == '\t' || *p == ' ')) {
            // An indented continuation line goes on after one blank.
            while (p[1] == '\t' || p[1] == ' ')
                ++p;
            out += ' ';
            pendingBreak = false;
            continue;
        }
        if (pendingBreak && !out.empty())
            out += "; ";
        pendingBreak = false;
        out += *p;
    }
    return out;
}

ServerUrl checkServerUrl(const std::string& url) {
    ServerUrl s;
    s.url = url;
    s.shown = maskedUrl(url);
    if (url.rfind("postgresql://", 0) != 0 && url.rfind("postgres://", 0) != 0) {
        s.problem = "not a PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE)";
        return s;
    }
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, ConninfoFree> options(PQconninfoParse(url.c_str(), &error));
    if (!options) {
        s.problem = error ? oneLine(error) : "libpq cannot read it";
        PQfreemem(error);
        return s;
    }
    std::string user, host, port, dbname;
    for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
        const std::string value = o->val ? o->val : "";
        const std::string_view key = o->keyword;
        if (key == "user")
            user = value;
        else if (key == "host")
            host = value;
        else if (key == "port")
            port = value;
        else if (key == "dbname")
            dbname = value;
    }
    for (char c : port)
        if ((c < '0' || c > '9') && c != ',') {
            s.problem = "the port '" + port + "' is not a number";
            return s;
        }
    s.shown = "postgresql://" + (user.empty() ? "" : user + "@") + host +
              (port.empty() ? "" : ":" + port) + "/" + dbname;
    return s;
}

PgSession::Failure PgSession::connect(const ServerUrl& server, int timeoutMs, int wakeFd) {
    close();
    // The URL comes after our defaults, so that it may set them otherwise;
    // the encoding comes after it: every text we send is UTF-8.
    const char* keys[] = {"connect_timeout",
                          "application_name",
                          "keepalives_idle",
                          "keepalives_interval",
                          "keepalives_count",
                          "tcp_user_timeout",
                          "dbname",
                          "client_encoding",
                          nullptr};
    const std::string seconds = std::to_string(std::max(1, timeoutMs / 1000));
    const char* values[] = {seconds.c_str(), "duplicator-monitor", "10",   "5",    "3",
                            "30000",         server.url.c_str(),   "UTF8", nullptr};
    conn_ = PQconnectStartParams(keys, values, 1);
    if (!conn_) {
        problem_ = "out of memory";
        return Failure::Unreachable;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
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
            problem_ = "stopped";
            close();
            return Failure::Stopped;
        }
        if (n == 0) {
            problem_ = "no answer within " + std::to_string(timeoutMs / 1000) + " s";
            close();
            return Failure::Unreachable;
        }
        if (n < 0 && errno != EINTR) {
            problem_ = "cannot wait for the server";
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
}

void PgSession::interrupt() {
    std::lock_guard lock(socketMutex_);
    if (socket_ >= 0)
        ::shutdown(socket_, SHUT_RDWR);
}

void PgSession::setProblem(const char* text) {
    problem_ = oneLine(text);
    if (problem_.empty())
        problem_ = "no connection to the server";
}

bool PgSession::check(PGresult* r, ExecStatusType expected) {
    PgResult result(r);
    if (r && PQresultStatus(r) == expected)
        return true;
    setProblem(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
    return false;
}

bool PgSession::exec(const char* sql) {
    if (!conn_) {
        problem_ = "no connection to the server";
        return false;
    }
    return check(PQexec(conn_, sql), PGRES_COMMAND_OK);
}

PgResult PgSession::query(const char* sql, const std::vector<std::optional<std::string>>& params) {
    if (!conn_) {
        problem_ = "no connection to the server";
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
    setProblem(r ? PQresultErrorMessage(r.get()) : PQerrorMessage(conn_));
    return nullptr;
}

bool PgSession::copyIn(const char* copySql, const std::string& data) {
    if (!conn_) {
        problem_ = "no connection to the server";
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
            setProblem(PQresultErrorMessage(r));
            ok = false;
        }
        PQclear(r);
        if (PQstatus(conn_) == CONNECTION_BAD)
            break;
    }
    return ok;
}

} // namespace dupmon
