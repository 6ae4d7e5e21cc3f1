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

#include "support/child_process.h"
#include "support/other_user.h"

using namespace dupmon;
using test::kNobody;
namespace fs = std::filesystem;

namespace {

// The user the program runs as: root may write anywhere, so a test run by
// root starts it as an ordinary user.
uid_t programUser() {
    return ::geteuid() == 0 ? kNobody : Child::kSameUser;
}

// Exit status, -2 for a signal, -1 when it did not end within `seconds`
// (the child is then killed when `child` goes).
int waitExit(Child& child, int seconds) {
    int status = 0;
    for (int i = 0; i < seconds * 20; ++i) {
        if (::waitpid(child.pid, &status, WNOHANG) == child.pid) {
            child.pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
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
        if (::geteuid() != 0) {
            dir = fs::temp_directory_path() / ("dupmon-ro-" + std::to_string(::getpid()));
            fs::remove_all(dir);
        } else {
            // The program's user must reach the program and its folders.
            if (const std::string no = test::cannotRun(kNobody, DUPMON_MONITOR); !no.empty())
                GTEST_SKIP() << no;
            std::string problem;
            dir = test::folderUserCanEnter(kNobody, "dupmon-ro", problem);
            if (dir.empty())
                GTEST_SKIP() << problem;
        }
        fs::create_directories(dir / "work");
        const fs::path runtime = makeRuntimeDir(dir);
        if (::geteuid() == 0) {
            ASSERT_EQ(::chown(runtime.c_str(), kNobody, kNobody), 0);
        }
        ::chmod(dir.c_str(), 0755);
        ::chmod((dir / "work").c_str(), 0555);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    void TearDown() override {
        if (dir.empty())
            return;
        ::chmod((dir / "work").c_str(), 0755);
        fs::remove_all(dir);
    }
    fs::path dir;
};

} // namespace

TEST_F(ReadOnlyWorkingFolder, TheHeadlessProgramNamesTheFolderAndEndsWithAnError) {
    Child monitor({DUPMON_MONITOR, "--headless", "--demo", "--workdir", (dir / "work").string()},
                  dir / "out.txt", dir, programUser());
    const int status = waitExit(monitor, 20);
    const std::string out = slurp(dir / "out.txt");
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(
        out.find("the folder " + (dir / "work").string() + " cannot be written: Permission denied"),
        std::string::npos)
        << out;
    EXPECT_TRUE(fs::is_empty(dir / "work"));
}

// The desktop program says the same on standard error and in a box; it does
// not hang: a stop ends it at once.
TEST_F(ReadOnlyWorkingFolder, TheDesktopProgramNamesTheFolderAndCanBeStopped) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    Child monitor({DUPMON_MONITOR, "--demo", "--workdir", (dir / "work").string()}, dir / "out.txt",
                  dir, programUser());
    const std::string expected =
        "the folder " + (dir / "work").string() + " cannot be written: Permission denied";
    const bool said =
        waitFor([&] { return slurp(dir / "out.txt").find(expected) != std::string::npos; }, 20);
    ::kill(monitor.pid, SIGTERM);
    const int status = waitExit(monitor, 10);
    EXPECT_TRUE(said) << slurp(dir / "out.txt");
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "still running after SIGTERM";
    EXPECT_TRUE(fs::is_empty(dir / "work"));
}
