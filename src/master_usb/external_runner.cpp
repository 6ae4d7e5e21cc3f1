// Running an allowed system program from an argument list in its own process
// group, with a time-out, its output captured, and each run logged.
#include "master_usb/external_runner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/file_io.h"
#include "common/text.h"

extern char** environ;

namespace dupmon {

namespace {

std::string firstLine(const std::string& s) {
    const std::string_view t = trimBlanks(s);
    const size_t end = t.find('\n');
    return std::string(t.substr(0, std::min<size_t>(end, 300)));
}

// An argument as a reader of the log can tell where it starts and ends.
std::string quoted(const std::string& a) {
    const bool plain = !a.empty() && std::all_of(a.begin(), a.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_-./=:,+@%", c);
    });
    if (plain)
        return a;
    std::string out(1, '\'');
    out += a;
    out += '\'';
    return out;
}

// SIGPIPE held off on this thread while a program's input is written: a
// write to a pipe whose reader has gone then fails with EPIPE. A SIGPIPE
// that the writes raised is taken back before the thread lets it through.
class SigpipeHold {
public:
    SigpipeHold() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
    }
    ~SigpipeHold() {
        if (!blocked_)
            return;
        if (!wasPending_) {
            const timespec zero{0, 0};
            while (::sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeHold(const SigpipeHold&) = delete;
    SigpipeHold& operator=(const SigpipeHold&) = delete;

private:
    sigset_t pipe_, old_;
    bool blocked_ = false;
    bool wasPending_ = false;
};

// Kills the program's whole group and collects the program. A program stuck
// in the kernel (a drive that stopped answering) may not die at once: it is
// waited for a little, then left unreaped.
void endGroup(pid_t pid, int& status) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL); // in case it left its group
    for (int i = 0; i < 200; ++i) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR))
            return;
        ::usleep(5000);
    }
}

} // namespace

std::string RunResult::cause() const {
    if (!started)
        return output.empty() ? "could not be started" : output;
    if (timedOut)
        return "did not finish in time, killed";
    if (cancelled)
        return "stopped: the work was given up";
    std::string text = format("exit %d", exitCode);
    if (inputRefused)
        text += " without reading all of its input";
    const std::string line = firstLine(output);
    if (!line.empty()) {
        text += ": ";
        text += line;
    }
    return text;
}

ExternalRunner::ExternalRunner(ServiceLog& log) : log_(log), allowed_(defaultPrograms()) {}

std::vector<std::string> ExternalRunner::defaultPrograms() {
    return {"sfdisk", "mkfs.fat", "mkfs.exfat", "mkfs.ntfs", "blkid",
            "mount",  "umount",   "sync",       "eject"};
}

std::string ExternalRunner::locate(const std::string& name) const {
    if (name.find('/') != std::string::npos ||
        std::find(allowed_.begin(), allowed_.end(), name) == allowed_.end())
        return {};
    for (const auto& folder : folders_) {
        const std::string path = folder + "/" + name;
        if (::access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

RunResult ExternalRunner::run(const std::string& name, const std::vector<std::string>& args,
                              uint32_t timeoutMs, const std::string& input) const {
    RunResult r;
    std::string line = "run: " + name;
    for (const auto& a : args)
        (line += ' ') += quoted(a);
    if (!input.empty())
        (line += " <<< ") += quoted(std::string(cutLineEnd(input)));
    const auto start = std::chrono::steady_clock::now();
    auto finishLog = [&] {
        const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
        std::string out = std::string(trimBlanks(r.output));
        for (char& c : out)
            if (c == '\n' || c == '\r')
                c = '|';
        if (out.size() > 400) {
            out.resize(400);
            out += "...";
        }
        std::string entry = line;
        entry += " -> ";
        entry += r.ok() ? std::string("exit 0") : r.cause();
        entry += format(" (%ld ms)", ms);
        if (!out.empty()) {
            entry += " [";
            entry += out;
            entry += ']';
        }
        log_.add(std::move(entry));
    };

    const std::string path = locate(name);
    if (path.empty()) {
        r.output = name + " is not installed or not allowed";
        finishLog();
        return r;
    }
    // The program's input and output pipes: [0] the end read, [1] the end written.
    UniqueFd in[2], out[2];
    auto makePipe = [&](UniqueFd(&ends)[2]) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            r.output = format("no pipe for %s: %s", name.c_str(), std::strerror(errno));
            return false;
        }
        ends[0].reset(fds[0]);
        ends[1].reset(fds[1]);
        return true;
    };
    if (!makePipe(in) || !makePipe(out)) {
        finishLog();
        return r;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0].get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out[1].get(), 1);
    posix_spawn_file_actions_adddup2(&actions, out[1].get(), 2);
    // A group of its own, so that a time-out reaches whatever the program
    // started; the signals as a fresh program expects them, whatever this
    // thread blocks or the monitor ignores.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // A fixed, plain environment: messages in English, nothing inherited
    // that could change what the tool does.
    static char lang[] = "LC_ALL=C";
    static char pathVar[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    std::vector<char*> env = {lang, pathVar};
    for (const auto& e : extraEnv_)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    in[0].reset();
    out[1].reset();
    if (rc != 0) {
        in[1].reset();
        out[0].reset();
        r.output = format("%s could not be started: %s", name.c_str(), std::strerror(rc));
        finishLog();
        return r;
    }
    r.started = true;

    // The input goes in as the program takes it, within the time-out; a
    // program that has gone away gives EPIPE here instead of a SIGPIPE.
    const SigpipeHold hold;
    UniqueFd& inFd = in[1];
    size_t written = 0;
    if (input.empty())
        inFd.reset();
    else
        ::fcntl(inFd.get(), F_SETFL, O_NONBLOCK);
    auto closeInput = [&] { inFd.reset(); };
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    int status = 0;
    bool exited = false;
    bool outputOpen = true;
    auto takeOutput = [&](ssize_t n) {
        if (n > 0 && r.output.size() < outputLimit_)
            r.output.append(buffer, std::min<size_t>(size_t(n), outputLimit_ - r.output.size()));
    };
    // Until the program exits: a helper it leaves behind (a FUSE daemon)
    // may keep the output open, so its end is not waited for.
    while (!exited) {
        const bool cancelled = cancel_ && cancel_->load(std::memory_order_relaxed);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (cancelled || left <= 0) {
            (cancelled ? r.cancelled : r.timedOut) = true;
            closeInput();
            endGroup(pid, status);
            break;
        }
        pollfd p[2];
        nfds_t n = 0;
        if (outputOpen)
            p[n++] = {out[0].get(), POLLIN, 0};
        if (inFd)
            p[n++] = {inFd.get(), POLLOUT, 0};
        const int wait = int(std::min<long>(left, 50));
        if (n == 0)
            ::usleep(useconds_t(std::min(wait, 10)) * 1000);
        else if (::poll(p, n, wait) > 0) {
            for (nfds_t i = 0; i < n; ++i) {
                if (!p[i].revents)
                    continue;
                if (p[i].fd == out[0].get()) {
                    const ssize_t got = ::read(out[0].get(), buffer, sizeof buffer);
                    if (got == 0)
                        outputOpen = false;
                    takeOutput(got);
                } else {
                    const ssize_t put =
                        ::write(inFd.get(), input.data() + written, input.size() - written);
                    if (put > 0)
                        written += size_t(put);
                    else if (put < 0 && errno != EAGAIN && errno != EINTR)
                        r.inputRefused = true; // EPIPE: it closed its input
                    if (r.inputRefused || written == input.size())
                        closeInput();
                }
            }
        }
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        exited = w == pid;
    }
    if (inFd) {
        r.inputRefused = true; // it ended before taking all of it
        closeInput();
    }
    // What is left in the pipe.
    if (outputOpen) {
        ::fcntl(out[0].get(), F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = ::read(out[0].get(), buffer, sizeof buffer)) > 0;)
            takeOutput(n);
    }
    out[0].reset();
    if (!r.timedOut && !r.cancelled && WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    finishLog();
    return r;
}

} // namespace dupmon
