#pragma once
// A real PostgreSQL server for the tests and the benchmark, made in a
// temporary folder with initdb and run from the Debian packages' binaries
// (DUPMON_PG_BIN, or /usr/lib/postgresql/15/bin) on a free port of
// 127.0.0.1, its unix socket in the same folder. Root may not run the
// server, so a test run by root runs it as the user nobody, in a folder that
// user can enter (support/other_user.h). The server gets SIGINT when the
// process that started it ends, however it ends.
#include <libpq-fe.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/other_user.h"

namespace dupmon::test {

class TestPostgres {
public:
    static constexpr const char* kExporter = "exporter";
    static constexpr const char* kPassword = "right-password";

    static std::filesystem::path binDir() {
        const char* env = std::getenv("DUPMON_PG_BIN");
        return env && *env ? env : "/usr/lib/postgresql/15/bin";
    }

    // Makes and starts the server; false with problem() set (also when the
    // server binaries are missing: available() then tells so). notHere() is
    // true when the problem is this machine's, not the server's: no server
    // binaries, or none that the server's user can run, or no folder it can
    // enter.
    bool start(const std::filesystem::path& base) {
        if (!available()) {
            problem_ = "no PostgreSQL server binaries in " + binDir().string() +
                       " (scripts/setup installs postgresql-15)";
            notHere_ = true;
            return false;
        }
        user_ = ::geteuid() == 0 ? kNobody : uid_t(-1);
        if (user_ == uid_t(-1)) {
            dir_ = base / ("pg-" + std::to_string(::getpid()));
            std::filesystem::remove_all(dir_);
            std::filesystem::create_directories(dir_);
        } else {
            // `base` may be closed to the server's user (a private TMPDIR).
            if (const std::string no = cannotRun(user_, binDir() / "initdb"); !no.empty()) {
                problem_ = no;
                notHere_ = true;
                return false;
            }
            dir_ = folderUserCanEnter(user_, "dupmon-pg", problem_);
            if (dir_.empty()) {
                notHere_ = true;
                return false;
            }
            if (::chown(dir_.c_str(), user_, user_) != 0) {
                problem_ = "cannot hand " + dir_.string() + " to the server's user";
                return false;
            }
        }
        const std::vector<std::string> initdb = {(binDir() / "initdb").string(),
                                                 "-D",
                                                 (dir_ / "data").string(),
                                                 "-U",
                                                 "dupmon_admin",
                                                 "--auth-local=trust",
                                                 "--auth-host=scram-sha-256",
                                                 "--no-sync",
                                                 "--locale=C",
                                                 "-E",
                                                 "UTF8"};
        if (const int rc = run(initdb, dir_ / "initdb.log"); rc != 0) {
            problem_ =
                "initdb failed (exit " + std::to_string(rc) + "): " + slurp(dir_ / "initdb.log");
            return false;
        }
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = freePort();
            if (startServer())
                break;
        }
        if (!running()) {
            problem_ = "the server did not start: " + slurp(dir_ / "server.log");
            return false;
        }
        admin("postgres",
              std::string("CREATE ROLE ") + kExporter + " LOGIN PASSWORD '" + kPassword + "'");
        return true;
    }

    ~TestPostgres() {
        stopServer(false);
        std::error_code ec;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ec);
    }

    static bool available() { return ::access((binDir() / "initdb").c_str(), X_OK) == 0; }
    bool running() const { return pid_ > 0; }
    const std::string& problem() const { return problem_; }
    bool notHere() const { return notHere_; }
    int port() const { return port_; }

    // Starts the server again on its port, after stopServer().
    bool startServer() {
        if (pid_ > 0)
            return true;
        const std::vector<std::string> args = {(binDir() / "postgres").string(),
                                               "-D",
                                               (dir_ / "data").string(),
                                               "-p",
                                               std::to_string(port_),
                                               "-k",
                                               dir_.string(),
                                               "-c",
                                               "listen_addresses=127.0.0.1",
                                               "-c",
                                               "fsync=off",
                                               "-c",
                                               "full_page_writes=off"};
        pid_ = spawn(args, dir_ / "server.log", true);
        const std::string conninfo = adminConninfo("postgres");
        for (int i = 0; i < 600; ++i) {
            if (PQping(conninfo.c_str()) == PQPING_OK)
                return true;
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        stopServer(true);
        return false;
    }
    // Immediate: as if the server's machine lost its power (its clients'
    // connections drop at once); else a fast shutdown.
    void stopServer(bool immediate) {
        if (pid_ <= 0)
            return;
        ::kill(pid_, immediate ? SIGQUIT : SIGINT);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // A database of its own for a test, owned by the exporter's role.
    void createDatabase(const std::string& name) {
        admin("postgres", "CREATE DATABASE " + name + " OWNER " + kExporter);
    }
    std::string url(const std::string& database, const std::string& password = kPassword) const {
        return std::string("postgresql://") + kExporter + ":" + password +
               "@127.0.0.1:" + std::to_string(port_) + "/" + database;
    }
    std::string adminConninfo(const std::string& database) const {
        return "host=" + dir_.string() + " port=" + std::to_string(port_) +
               " user=dupmon_admin dbname=" + database;
    }
    // Rows of a query run as the server's administrator, each a vector of
    // texts ("" for NULL); a failed statement is one row with the message.
    std::vector<std::vector<std::string>> admin(const std::string& database,
                                                const std::string& sql) const {
        std::vector<std::vector<std::string>> rows;
        PGconn* c = PQconnectdb(adminConninfo(database).c_str());
        if (PQstatus(c) != CONNECTION_OK) {
            rows.push_back({std::string("ERROR ") + PQerrorMessage(c)});
            PQfinish(c);
            return rows;
        }
        PGresult* r = PQexec(c, sql.c_str());
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            rows.push_back({std::string("ERROR ") + PQresultErrorMessage(r)});
        } else {
            for (int i = 0; i < PQntuples(r); ++i) {
                rows.emplace_back();
                for (int k = 0; k < PQnfields(r); ++k)
                    rows.back().push_back(PQgetvalue(r, i, k));
            }
        }
        PQclear(r);
        PQfinish(c);
        return rows;
    }
    // The one value of a one-row, one-column query.
    std::string value(const std::string& database, const std::string& sql) const {
        const auto rows = admin(database, sql);
        return rows.empty() || rows[0].empty() ? "" : rows[0][0];
    }

private:
    static int freePort() {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(s);
        return port;
    }
    static std::string slurp(const std::filesystem::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Starts a server program as the server's user, output to `log`.
    pid_t spawn(const std::vector<std::string>& args, const std::filesystem::path& log,
                bool endWithUs) const {
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid != 0)
            return pid;
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        // What stops the child before the server program runs goes into its log.
        auto fail = [](const char* what, int code) {
            const std::string line = std::string(what) + ": " + std::strerror(errno) + "\n";
            [[maybe_unused]] auto n = ::write(2, line.data(), line.size());
            ::_exit(code);
        };
        if (user_ != uid_t(-1) && (::setgid(user_) != 0 || ::setuid(user_) != 0))
            fail("cannot become the server's user", 125);
        // After the user change, which clears it: the server ends with its test.
        if (endWithUs && (::prctl(PR_SET_PDEATHSIG, SIGINT) != 0 || ::getppid() != parent))
            ::_exit(126);
        if (::chdir(dir_.c_str()) != 0)
            fail(("cannot enter " + dir_.string()).c_str(), 126);
        ::setenv("LC_ALL", "C", 1);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        fail(("cannot run " + args[0]).c_str(), 127);
        return -1;
    }
    int run(const std::vector<std::string>& args, const std::filesystem::path& log) const {
        const pid_t pid = spawn(args, log, false);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::filesystem::path dir_;
    uid_t user_ = uid_t(-1);
    int port_ = 0;
    pid_t pid_ = -1;
    std::string problem_;
    bool notHere_ = false;
};

} // namespace dupmon::test
