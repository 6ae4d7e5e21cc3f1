// A working folder the program cannot write: both the headless and the
// desktop program say which folder and end, instead of throwing or hanging.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/child_process.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// Root may write anywhere: the program then runs as an ordinary user.
constexpr uid_t kOtherUser = 65534;

// The monitor in `cwd` as a user who cannot write there; stdout and stderr to `out`.
pid_t startAsUser(const std::vector<std::string>& args, const fs::path& out, const fs::path& cwd) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        FILE* f = std::fopen(out.c_str(), "w");
        ::dup2(::fileno(f), 1);
        ::dup2(::fileno(f), 2);
        if (::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        if (::geteuid() == 0 && (::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0))
            ::_exit(125);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Exit status, -2 for a signal, -1 when it did not end within `seconds`.
int waitExit(pid_t pid, int seconds) {
    int status = 0;
    for (int i = 0; i < seconds * 20; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        ::usleep(50000);
    }
    return -1;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ReadOnlyWorkingFolder : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("dupmon-ro-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "work");
        const fs::path runtime = makeRuntimeDir(dir);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(runtime.c_str(), kOtherUser, kOtherUser), 0);
        }
        ::chmod(dir.c_str(), 0755);
        ::chmod((dir / "work").c_str(), 0555);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    void TearDown() override {
        ::chmod((dir / "work").c_str(), 0755);
        fs::remove_all(dir);
    }
    fs::path dir;
};

} // namespace

TEST_F(ReadOnlyWorkingFolder, TheHeadlessProgramNamesTheFolderAndEndsWithAnError) {
    const pid_t pid =
        startAsUser({DUPMON_MONITOR, "--headless", "--demo", "--workdir", (dir / "work").string()},
                    dir / "out.txt", dir);
    const int status = waitExit(pid, 20);
    const std::string out = slurp(dir / "out.txt");
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(
        out.find("the folder " + (dir / "work").string() + " cannot be written: Permission denied"),
        std::string::npos)
        << out;
    EXPECT_TRUE(fs::is_empty(dir / "work"));
    if (status == -1)
        ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
}

// The desktop program says the same on standard error and in a box; it does
// not hang: a stop ends it at once.
TEST_F(ReadOnlyWorkingFolder, TheDesktopProgramNamesTheFolderAndCanBeStopped) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const pid_t pid = startAsUser({DUPMON_MONITOR, "--demo", "--workdir", (dir / "work").string()},
                                  dir / "out.txt", dir);
    const std::string expected =
        "the folder " + (dir / "work").string() + " cannot be written: Permission denied";
    const bool said =
        waitFor([&] { return slurp(dir / "out.txt").find(expected) != std::string::npos; }, 20);
    ::kill(pid, SIGTERM);
    const int status = waitExit(pid, 10);
    EXPECT_TRUE(said) << slurp(dir / "out.txt");
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "still running after SIGTERM";
    if (status == -1)
        ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(fs::is_empty(dir / "work"));
}
