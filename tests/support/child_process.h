#pragma once
// A program of this project as a child process, for tests that run the real
// thing: its standard output and error go to one file, or stay the test's own.
// Also a piece of the test itself in a child process, for work that may
// crash or hang, or that must run as another user.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace dupmon {

struct Child {
    pid_t pid = -1;
    std::filesystem::path out;

    static constexpr uid_t kSameUser = uid_t(-1);

    // args[0] is the program's path. Without `outFile` the child writes
    // where the test does; without `cwd` it starts in the test's folder.
    // With `user`, the child runs as that user (and group of the same
    // number): a test run by root can meet a folder it may not write.
    Child(const std::vector<std::string>& args, const std::filesystem::path& outFile,
          const std::filesystem::path& cwd, uid_t user = kSameUser)
        : out(outFile) {
        pid = ::fork();
        if (pid == 0) {
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
                ::_exit(126);
            if (!outFile.empty()) {
                FILE* f = std::fopen(outFile.c_str(), "w");
                ::dup2(::fileno(f), 1);
                ::dup2(::fileno(f), 2);
            }
            if (user != kSameUser && (::setgid(user) != 0 || ::setuid(user) != 0))
                ::_exit(125);
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    explicit Child(const std::vector<std::string>& args) : Child(args, {}, {}) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    std::string output() const {
        std::ifstream in(out);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool running() const { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }
    // Waits for the child to end by itself; its exit status, or -1.
    int wait(int seconds) {
        int status = 0;
        for (int i = 0; i < seconds * 20 && pid > 0; ++i) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }
    // Ends the child as a user's Ctrl-C would (or with `sig`); its exit status, or -1.
    int stop(int sig = SIGTERM) {
        if (pid <= 0)
            return -1;
        ::kill(pid, sig);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

template <class F> bool waitFor(F done, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

// The machine's temporary folder, taken once: the tests then point TMPDIR at
// their own folder.
inline std::filesystem::path baseTemp() {
    static const std::filesystem::path base = std::filesystem::temp_directory_path();
    return base;
}

// How often `what` occurs in `text` (lines of a child's output).
inline int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// A folder only this user may enter, for the monitor's lock files and sockets
// (XDG_RUNTIME_DIR), so that a test never meets a monitor running elsewhere.
inline std::filesystem::path makeRuntimeDir(const std::filesystem::path& under) {
    const std::filesystem::path dir = under / "runtime";
    std::filesystem::create_directories(dir);
    ::chmod(dir.c_str(), 0700);
    return dir;
}

// A fresh folder for one run of the programs, with "work" in it for the
// monitor, TMPDIR pointing into it and a private runtime folder.
inline std::filesystem::path freshRunFolder(const std::string& name) {
    const std::filesystem::path dir = baseTemp() / (name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "work");
    ::setenv("TMPDIR", dir.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", makeRuntimeDir(dir).c_str(), 1);
    return dir;
}

// What a piece of work in a child process gave back, and how the child ended.
struct ChildWork {
    std::string text;      // what the work returned, as far as it came back
    int status = -1;       // as waitpid gives it; -1 when no child ran
    bool timedOut = false; // killed after the time it had
};

// Runs `work` in a child process and hands back the text it returns, so that
// a crash, a hang or a memory limit cannot take the test with it. `prepare`
// runs first in the child (a user to become, a limit to set); when it says
// no, the child ends with status 2. Work that throws ends with status 3 and
// its text says so. A child still running after `seconds` is killed.
inline ChildWork runInChild(const std::function<std::string()>& work, int seconds,
                            const std::function<bool()>& prepare = {}) {
    ChildWork r;
    int fds[2];
    if (::pipe(fds) != 0)
        return r;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return r;
    }
    if (pid == 0) {
        ::close(fds[0]);
        if (prepare && !prepare())
            ::_exit(2);
        std::string out;
        int status = 0;
        try {
            out = work();
        } catch (const std::exception& e) {
            out = std::string("threw: ") + e.what();
            status = 3;
        }
        [[maybe_unused]] ssize_t n = ::write(fds[1], out.data(), out.size());
        ::_exit(status);
    }
    ::close(fds[1]);
    const auto start = std::chrono::steady_clock::now();
    char buf[4096];
    for (;;) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        const int left =
            seconds * 1000 -
            int(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            r.timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            continue;
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        r.text.append(buf, size_t(n));
    }
    ::close(fds[0]);
    ::waitpid(pid, &r.status, 0);
    return r;
}

// What a shell command prints on its standard output; with `status`, how it
// ended (as waitpid says, -1 when it could not be started).
inline std::string commandOutput(const std::string& command, int* status = nullptr) {
    std::string out;
    int ended = -1;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[512];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        ended = ::pclose(p);
    }
    if (status)
        *status = ended;
    return out;
}

} // namespace dupmon
