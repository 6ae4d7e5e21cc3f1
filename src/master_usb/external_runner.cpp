#include "master_usb/external_runner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

} // namespace

std::string RunResult::cause() const {
    if (!started)
        return output.empty() ? "could not be started" : output;
    if (timedOut)
        return "did not finish in time, killed";
    std::string text = format("exit %d", exitCode);
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
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
        return r;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return r;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
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
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        r.output = format("%s could not be started: %s", name.c_str(), std::strerror(rc));
        finishLog();
        return r;
    }
    r.started = true;
    // Input first (small scripts), then the output until the program ends.
    for (size_t done = 0; done < input.size();) {
        const ssize_t n = ::write(in[1], input.data() + done, input.size() - done);
        if (n <= 0 && errno != EINTR)
            break;
        if (n > 0)
            done += size_t(n);
    }
    ::close(in[1]);
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    int status = 0;
    bool exited = false;
    bool outputOpen = true;
    // Until the program exits: a helper it leaves behind (a FUSE daemon)
    // may keep the output open, so its end is not waited for.
    while (!exited) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            r.timedOut = true;
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        if (outputOpen) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, int(std::min<long>(left, 50))) > 0) {
                const ssize_t n = ::read(out[0], buffer, sizeof buffer);
                if (n == 0)
                    outputOpen = false;
                else if (n > 0 && r.output.size() < outputLimit_)
                    r.output.append(buffer,
                                    std::min<size_t>(size_t(n), outputLimit_ - r.output.size()));
            }
        } else {
            ::usleep(10000);
        }
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        exited = w == pid;
    }
    // What is left in the pipe.
    if (outputOpen) {
        ::fcntl(out[0], F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
            if (r.output.size() < outputLimit_)
                r.output.append(buffer,
                                std::min<size_t>(size_t(n), outputLimit_ - r.output.size()));
    }
    ::close(out[0]);
    if (!r.timedOut && WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    finishLog();
    return r;
}

} // namespace dupmon
