#pragma once
// Tests that run something as another user: root may write anywhere and may
// not run a PostgreSQL server, so a test run by root starts the program or
// the server as the user nobody. That user must be able to reach what it
// runs and the folder it works in, wherever TMPDIR points (a private 0700
// folder is common): these helpers find such a folder, or say why there is
// none, so that a test can skip with the reason instead of failing blind.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "support/temp_dir.h"

namespace dupmon::test {

// The user a test run by root hands its program or server to.
constexpr uid_t kNobody = 65534;

// Runs `check` in a child process as `user` (and the group of the same
// number); true when it returns true. False also when the child cannot
// become that user.
inline bool asUser(uid_t user, const std::function<bool()>& check) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(user) != 0 || ::setuid(user) != 0)
            ::_exit(2);
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Empty when `user` may enter `folder` (every folder on the way to it);
// otherwise why not.
inline std::string cannotEnter(uid_t user, const std::filesystem::path& folder) {
    if (asUser(user, [&] { return ::access(folder.c_str(), X_OK) == 0; }))
        return {};
    return "user " + std::to_string(user) + " cannot enter " + folder.string();
}

// Empty when `user` may run `program`; otherwise why not.
inline std::string cannotRun(uid_t user, const std::filesystem::path& program) {
    if (asUser(user, [&] { return ::access(program.c_str(), X_OK) == 0; }))
        return {};
    return "user " + std::to_string(user) + " cannot run " + program.string() +
           " (a folder on its way is closed to other users)";
}

// A fresh folder (mode 0755, owned by the caller) that `user` may enter: made
// under the temporary folder when that user can reach it, else under /tmp,
// /var/tmp or /dev/shm. Empty, with `problem` saying why, when there is none.
inline std::filesystem::path folderUserCanEnter(uid_t user, const std::string& name,
                                                std::string& problem) {
    std::error_code ec;
    std::vector<std::filesystem::path> bases{std::filesystem::temp_directory_path(ec), "/tmp",
                                             "/var/tmp", "/dev/shm"};
    std::string tried;
    for (const auto& base : bases) {
        if (base.empty())
            continue;
        TempDir dir(base, name);
        if (!dir)
            continue;
        ::chmod(dir.path.c_str(), 0755);
        if (cannotEnter(user, dir.path).empty())
            return dir.release();
        tried += (tried.empty() ? "" : ", ") + base.string();
    }
    problem = "no temporary folder that user " + std::to_string(user) + " can enter (tried " +
              tried + ")";
    return {};
}

} // namespace dupmon::test
