#pragma once
// What the tests of bad files share: a sample machine, one case run in a
// child process under a time limit (and, outside the sanitizer build, a
// memory limit), and a scratch folder.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "common/text.h"
#include "protocol/machine_info.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace dupmon::badfiles {

namespace fs = std::filesystem;

inline MachineInfo sampleMachine() {
    MachineInfo m{};
    m.deviceType = 2;
    m.support_LogRecord = 1;
    copyField(m.machineId, sizeof m.machineId, "M-1");
    copyField(m.modelName, sizeof m.modelName, "UB10");
    copyField(m.nickName, sizeof m.nickName, "Left");
    m.maxDeviceQty = 10;
    return m;
}

struct CaseResult {
    std::string outcome;
    std::string failure; // "crashed (signal N)", "did not end within N s"
};

// Runs `read` in a child process: a crash or a hang cannot take the test with it.
inline CaseResult runIsolated(const std::function<std::string()>& read, int seconds) {
    const ChildWork child = runInChild(read, seconds, [] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // Reading a 4 GB file into memory must fail here, not pass unnoticed.
        struct rlimit mem {};
        mem.rlim_cur = mem.rlim_max = rlim_t(1) << 30;
        ::setrlimit(RLIMIT_AS, &mem);
#endif
        return true;
    });
    if (child.status == -1 && !child.timedOut)
        return {"", "no child process"};
    CaseResult r;
    r.outcome = child.text;
    if (child.timedOut)
        r.failure = "did not end within " + std::to_string(seconds) + " s";
    const int status = child.status;
    if (r.failure.empty() && WIFSIGNALED(status))
        r.failure = "crashed (signal " + std::to_string(WTERMSIG(status)) + ")";
    else if (r.failure.empty() && WIFEXITED(status) && WEXITSTATUS(status) != 0)
        r.failure = "ended with status " + std::to_string(WEXITSTATUS(status));
    return r;
}

inline std::string substitute(std::string s, const fs::path& file) {
    for (size_t at; (at = s.find("{file}")) != std::string::npos;)
        s.replace(at, 6, file.string());
    return s;
}

class BadFiles : public ::testing::Test {
protected:
    test::TempDir tmp{"dupmon-badfiles"};
    fs::path dir{tmp.path};
};

} // namespace dupmon::badfiles
