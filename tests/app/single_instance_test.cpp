// The single-instance rule with real processes: two monitors never share a
// working folder or a bus; anything else runs side by side; a desktop start
// that meets a desktop program hands over to it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

enum class Second { Refused, HandedOver, RunsBeside };

struct Start {
    std::vector<std::string> options; // besides --workdir
    std::string folder;               // under the test's folder
};

struct Case {
    const char* name;
    Start first, second;
    Second expect;
    const char* message; // in the second start's output; SIM and DIR stand for the paths
};

// Bus options: none is the USB bus; SIM is the simulator's socket.
const Case kCases[] = {
    {"SameFolderTwice",
     {{"--headless", "--demo"}, "a"},
     {{"--headless", "--demo"}, "a"},
     Second::Refused,
     "the working folder DIR/a is in use by another duplicator-monitor"},
    {"SameFolderThroughALink",
     {{"--headless", "--demo"}, "a"},
     {{"--headless", "--demo"}, "link"},
     Second::Refused,
     "is in use by another duplicator-monitor (pid "},
    {"DesktopBesideACollectorInAnotherFolder",
     {{"--headless", "--demo"}, "a"},
     {{"--demo"}, "b"},
     Second::RunsBeside,
     ""},
    {"CollectorsInTwoFolders",
     {{"--headless", "--demo"}, "a"},
     {{"--headless", "--demo"}, "b"},
     Second::RunsBeside,
     ""},
    {"SameSimulatorFromTwoFolders",
     {{"--headless", "--simulator", "SIM"}, "a"},
     {{"--headless", "--simulator", "SIM"}, "b"},
     Second::Refused,
     "the simulator at SIM is in use"},
    {"CollectorOnASimulatorBesideOneOnTheUsbBus",
     {{"--headless"}, "a"},
     {{"--headless", "--simulator", "SIM"}, "b"},
     Second::RunsBeside,
     ""},
    {"TwoOnTheUsbBus",
     {{"--headless"}, "a"},
     {{"--headless"}, "b"},
     Second::Refused,
     "the USB bus is in use by another duplicator-monitor"},
    {"DesktopStartMeetsTheDesktopProgramOnTheUsbBus",
     {{}, "a"},
     {{}, "b"},
     Second::HandedOver,
     "brought it to the front"},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string substitute(std::string text, const fs::path& dir, const fs::path& sim) {
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"SIM", sim.string()}, {"DIR", dir.string()}}) {
        for (size_t p; (p = text.find(key)) != std::string::npos;)
            text.replace(p, key.size(), value);
    }
    return text;
}

class SingleInstanceRule : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "b");
        fs::create_directory_symlink(dir / "a", dir / "link");
        ::setenv("XDG_RUNTIME_DIR", makeRuntimeDir(dir).c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    std::unique_ptr<Child> start(const Start& s, const std::string& name) {
        std::vector<std::string> args{DUPMON_MONITOR};
        for (const auto& o : s.options)
            args.push_back(substitute(o, dir, sim));
        args.push_back("--workdir");
        args.push_back((dir / s.folder).string());
        return std::make_unique<Child>(args, dir / (name + ".out"), dir);
    }
    // The program has passed the single-instance rule once it made its folders.
    bool started(const Start& s) {
        return waitFor([&] { return fs::exists(dir / s.folder / "DATABASE"); }, 20);
    }

    dupmon::test::TempDir tmp{"dupmon-si"};
    fs::path dir{tmp.path};
    fs::path sim;
};

} // namespace

TEST_P(SingleInstanceRule, SecondStart) {
    const Case& c = GetParam();
    sim = dir / "sim.sock";
    std::unique_ptr<Child> simulator;
    auto onSimulator = [](const Start& s) {
        return std::find(s.options.begin(), s.options.end(), "SIM") != s.options.end();
    };
    if (onSimulator(c.first) || onSimulator(c.second)) {
        simulator = std::make_unique<Child>(
            std::vector<std::string>{DUPMON_SIM, "--socket", sim.string()}, dir / "sim.out", dir);
        ASSERT_TRUE(waitFor([&] { return fs::exists(sim); }, 10));
    }

    auto first = start(c.first, "first");
    ASSERT_TRUE(started(c.first)) << first->output();
    auto second = start(c.second, "second");
    switch (c.expect) {
    case Second::Refused:
        EXPECT_EQ(second->wait(20), 1) << second->output();
        break;
    case Second::HandedOver:
        EXPECT_EQ(second->wait(20), 0) << second->output();
        break;
    case Second::RunsBeside:
        ASSERT_TRUE(started(c.second)) << second->output();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(second->running()) << second->output();
        EXPECT_EQ(second->stop(), 0) << second->output();
        break;
    }
    EXPECT_NE(second->output().find(substitute(c.message, dir, sim)), std::string::npos)
        << second->output();
    if (c.expect != Second::RunsBeside) {
        EXPECT_NE(second->output().find("pid " + std::to_string(first->pid)), std::string::npos)
            << second->output();
    }
    EXPECT_TRUE(first->running()) << first->output();
    EXPECT_EQ(first->stop(), 0) << first->output();
}

INSTANTIATE_TEST_SUITE_P(Starts, SingleInstanceRule, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Without XDG_RUNTIME_DIR the lock files live in a folder of the temporary
// folder; one that is not this user's own and closed to others is refused
// with a message that names it, never taken as "already running".
TEST(SingleInstancePrivateFolder, AFolderAnotherUserMadeOrLeftOpenIsRefused) {
    const dupmon::test::TempDir tmp("dupmon-si-tmp");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir / "work");
    const fs::path runtime = dir / ("duplicator-monitor-" + std::to_string(::geteuid()));
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", dir.c_str(), 1);
    struct Variant {
        const char* name;
        mode_t mode;
        bool otherOwner;
        const char* why;
    } variants[] = {{"open to everyone", 0777, false, "is open to other users (mode 0777"},
                    {"made by another user", 0700, true, "belongs to user id 65534"}};
    for (const auto& v : variants) {
        SCOPED_TRACE(v.name);
        fs::remove_all(runtime);
        fs::create_directory(runtime);
        ::chmod(runtime.c_str(), v.mode);
        if (v.otherOwner && (::geteuid() != 0 || ::chown(runtime.c_str(), 65534, 65534) != 0)) {
            std::printf("skipped: giving a folder to another user needs root\n");
            continue;
        }
        Child monitor(
            {DUPMON_MONITOR, "--headless", "--demo", "--workdir", (dir / "work").string()},
            dir / "monitor.out", dir);
        EXPECT_EQ(monitor.wait(20), 1) << monitor.output();
        EXPECT_NE(monitor.output().find(runtime.string() + ": " + v.why), std::string::npos)
            << monitor.output();
        EXPECT_EQ(monitor.output().find("already running"), std::string::npos);
    }
    // Once the folder is the user's own and private again, the program runs.
    fs::remove_all(runtime);
    Child monitor({DUPMON_MONITOR, "--headless", "--demo", "--workdir", (dir / "work").string()},
                  dir / "monitor.out", dir);
    EXPECT_TRUE(waitFor([&] { return fs::exists(dir / "work" / "DATABASE"); }, 20))
        << monitor.output();
    EXPECT_EQ(monitor.stop(), 0) << monitor.output();
    struct stat st {};
    ASSERT_EQ(::lstat(runtime.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
