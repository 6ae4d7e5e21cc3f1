#pragma once
// A program of this project as a child process, for tests that run the real
// thing: its standard output and error go to one file, or stay the test's own.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
