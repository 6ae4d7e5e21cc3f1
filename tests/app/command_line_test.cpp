// Command lines as a user types them, run with the real programs: each
// example of the man pages and the README, and each way a start can go
// wrong, with its exit status and the first words it says. A program that
// starts as it should keeps running until it is stopped like Ctrl-C.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// Stands for "started, kept running, and ended with status 0 when stopped".
constexpr int kRuns = -100;

struct Case {
    const char* source;            // where the command line comes from, or what it tries
    std::vector<std::string> args; // DIR is the test's folder; a leading ~ is HOME, as in a shell
    const char* cwd;               // under DIR
    int exit;                      // exit status, or kRuns
    std::string says;              // the start of its first line of output; "" for nothing
    // Environment for this run: "NAME=value" sets, "NAME" unsets.
    std::vector<std::string> env = {};
    const char* to = nullptr; // standard output into this file of cwd ("> FILE" in a shell)
};

class CommandLines : public ::testing::Test {
protected:
    void SetUp() override {
        dir = freshRunFolder("dupmon-cmdline");
        home = dir / "home";
        fs::create_directories(home);
        fs::create_directories(dir / "srv");
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("XDG_DATA_HOME");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    void TearDown() override {
        sim.reset();
        fs::remove_all(dir);
    }

    std::string expand(std::string text) const {
        if (text.rfind("~", 0) == 0)
            text = home.string() + text.substr(1);
        for (size_t at; (at = text.find("DIR")) != std::string::npos;)
            text.replace(at, 3, dir.string());
        return text;
    }

    // Runs the case; its exit status (kRuns when it ran until stopped) and output.
    std::pair<int, std::string> run(const Case& c) {
        const fs::path cwd = dir / c.cwd;
        fs::create_directories(cwd);
        const fs::path out = dir / "out.txt";
        std::vector<std::string> args;
        for (const std::string& a : c.args)
            args.push_back(expand(a));
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (const std::string& e : c.env) {
                const size_t eq = e.find('=');
                if (eq == std::string::npos)
                    ::unsetenv(e.c_str());
                else
                    ::setenv(e.substr(0, eq).c_str(), expand(e.substr(eq + 1)).c_str(), 1);
            }
            FILE* f = std::fopen(out.c_str(), "w");
            if (!f || ::chdir(cwd.c_str()) != 0)
                ::_exit(126);
            ::dup2(::fileno(f), 1);
            ::dup2(::fileno(f), 2);
            if (c.to) {
                FILE* t = std::fopen(c.to, "w");
                if (!t)
                    ::_exit(126);
                ::dup2(::fileno(t), 1);
            }
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        // A program that runs says its first line at once (the headless one),
        // or says nothing (the desktop one): two seconds tell which it does.
        const std::string expected = expand(c.says);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 400 && !ended; ++i) {
            ended = ::waitpid(pid, &status, WNOHANG) == pid;
            if (!ended && c.exit == kRuns && i >= 40 &&
                (expected.empty() || slurp(out).find(expected) != std::string::npos))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        int code = -1;
        if (ended) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, &status, 0);
            code = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? kRuns
                   : WIFEXITED(status)                           ? WEXITSTATUS(status)
                                                                 : 128 + WTERMSIG(status);
        }
        return {code, slurp(out)};
    }

    // The program's own lines ("duplicator-monitor: ...", the headless lines),
    // not what Qt's platform plugin may print.
    static std::string firstLine(const std::string& out) {
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            if (line.rfind("This plugin", 0) != 0 && line.rfind("QStandardPaths", 0) != 0)
                return line;
        return {};
    }
    static std::string slurp(const fs::path& p) {
        std::ifstream in(p);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    void check(const Case& c) {
        std::string shown = c.source;
        for (const std::string& a : c.args)
            shown += " " + a;
        SCOPED_TRACE(shown);
        const auto [code, out] = run(c);
        EXPECT_EQ(code, c.exit) << out;
        const std::string first = firstLine(out);
        const std::string says = expand(c.says);
        if (says.empty()) {
            EXPECT_EQ(first, "") << out;
        } else {
            EXPECT_EQ(first.rfind(says, 0), 0u) << out;
        }
        // Said in one line, ended: no abort, no second line of the same.
        if (c.exit == 1 || c.exit == 2) {
            EXPECT_LE(countOf(out, "duplicator-monitor: "), 2) << out;
        }
    }

    fs::path dir, home;
    std::unique_ptr<Child> sim;
};

const std::vector<std::string> kNoDisplay = {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"};

} // namespace

TEST_F(CommandLines, TheMonitorsExamplesAndMistakes) {
    // The simulator of the examples, on a socket of the test's own.
    sim = std::make_unique<Child>(std::vector<std::string>{DUPMON_SIM, "--socket",
                                                           (dir / "sim.sock").string(), "--plug",
                                                           "usb10,logs=500", "--plug", "cf8"},
                                  dir / "sim.out", dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "sim.sock"); }, 10)) << sim->output();
    { std::ofstream(dir / "a-file") << "not a folder\n"; }
    const Case cases[] = {
        // duplicator-monitor(1), EXAMPLES, and the README's ways to start it.
        {"man: try without hardware",
         {DUPMON_MONITOR, "--demo", "--workdir", "~/dupmon-demo"},
         "",
         kRuns,
         ""},
        // /srv/duplicators, with the test's own folder for /srv.
        {"man: collect without a display",
         {DUPMON_MONITOR, "--headless", "--workdir", "DIR/srv/duplicators"},
         "",
         kRuns,
         "running headless: watching the duplicators on the USB bus, files in DIR/srv/duplicators"},
        {"README: the USB bus", {DUPMON_MONITOR}, "", kRuns, ""},
        {"README: headless on the USB bus",
         {DUPMON_MONITOR, "--headless"},
         "cwd",
         kRuns,
         "running headless: watching the duplicators on the USB bus, files in DIR/cwd"},
        {"README: attach to dupmon-sim",
         {DUPMON_MONITOR, "--simulator", "DIR/sim.sock"},
         "cwd",
         kRuns,
         ""},
        {"README: the menu's way", {DUPMON_MONITOR, "--user-data"}, "", kRuns, ""},
        {"dupmon-sim(1): attach in a folder of its own",
         {DUPMON_MONITOR, "--simulator", "DIR/sim.sock", "--workdir", "~/sim-run"},
         "",
         kRuns,
         ""},
        {"--help", {DUPMON_MONITOR, "--help"}, "", 0, "usage: duplicator-monitor"},
        {"--version", {DUPMON_MONITOR, "--version"}, "", 0, "Duplicator Monitor "},
        {"demo, headless",
         {DUPMON_MONITOR, "--headless", "--demo", "--workdir", "w"},
         "",
         kRuns,
         "running headless: watching the stand-in machines inside the program"},
        // A relative path in an option is the current folder's.
        {"relative socket",
         {DUPMON_MONITOR, "--headless", "--simulator", "sim.sock", "--workdir", "w2"},
         "",
         kRuns,
         "running headless: watching the stand-in machines of dupmon-sim at DIR/sim.sock"},
        {"relative socket, nobody there",
         {DUPMON_MONITOR, "--headless", "--simulator", "none.sock"},
         "",
         1,
         "duplicator-monitor: no simulator answers at DIR/none.sock"},
        // Folder problems: exit 1.
        {"workdir whose parent is missing",
         {DUPMON_MONITOR, "--headless", "--demo", "--workdir", "DIR/no/such/folder"},
         "",
         1,
         "duplicator-monitor: cannot make the folder DIR/no/such/folder: its parent DIR/no/such "
         "is not a folder"},
        {"workdir ending in a slash",
         {DUPMON_MONITOR, "--headless", "--demo", "--workdir", "DIR/slashed/"},
         "",
         kRuns,
         "running headless: watching the stand-in machines inside the program, files in "
         "DIR/slashed"},
        {"workdir that is a file",
         {DUPMON_MONITOR, "--headless", "--demo", "--workdir", "DIR/a-file"},
         "",
         1,
         "duplicator-monitor: DIR/a-file is not a folder"},
        {"user data under a file",
         {DUPMON_MONITOR, "--headless", "--user-data"},
         "",
         1,
         "duplicator-monitor: DIR/a-file/duplicator-monitor: cannot make the folder",
         {"XDG_DATA_HOME=DIR/a-file"}},
        // No display: one line, exit 1, before Qt would abort.
        {"no display",
         {DUPMON_MONITOR},
         "",
         1,
         "duplicator-monitor: no display: use --headless or set DISPLAY",
         kNoDisplay},
        {"no display, demo",
         {DUPMON_MONITOR, "--demo", "--workdir", "w3"},
         "",
         1,
         "duplicator-monitor: no display: use --headless or set DISPLAY",
         kNoDisplay},
        {"a display nothing serves",
         {DUPMON_MONITOR, "--demo"},
         "",
         1,
         "duplicator-monitor: no display at :4093: use --headless or set DISPLAY",
         {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY=:4093"}},
        {"no display needed headless",
         {DUPMON_MONITOR, "--headless", "--demo", "--workdir", "w4"},
         "",
         kRuns,
         "running headless: watching the stand-in machines inside the program",
         kNoDisplay},
        // Wrong options: exit 2.
        {"unknown option",
         {DUPMON_MONITOR, "--frobnicate"},
         "",
         2,
         "duplicator-monitor: unknown option --frobnicate"},
        {"missing value",
         {DUPMON_MONITOR, "--workdir"},
         "",
         2,
         "duplicator-monitor: option --workdir needs a value"},
    };
    for (const Case& c : cases)
        check(c);
    // Made when missing, for this user only.
    for (const fs::path& made :
         {home / "dupmon-demo", dir / "srv" / "duplicators", home / "sim-run", dir / "slashed",
          home / ".local" / "share" / "duplicator-monitor"}) {
        struct stat st {};
        ASSERT_EQ(::stat(made.c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_mode & 0777, 0700u) << made;
        EXPECT_TRUE(fs::exists(made / "DATABASE")) << made;
    }
    EXPECT_FALSE(fs::exists(dir / "no"));
    EXPECT_FALSE(fs::exists(dir / "cwd" / "sim.sock"));
}

// The examples of dupmon-sim(1) and dupmon-logtool(1), one after the other
// as a user would try them: the logs a simulator's machines hold reach a
// database, which the log tool then reads, exports as CSV and seals.
TEST_F(CommandLines, TheSimulatorAndLogToolExamplesWorkInTurn) {
    const std::string socket = (dir / "sim.sock").string();
    sim = std::make_unique<Child>(std::vector<std::string>{DUPMON_SIM, "--socket", socket, "--plug",
                                                           "usb10,logs=500", "--plug", "cf8"},
                                  dir / "sim.out", dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(socket); }, 10)) << sim->output();
    {
        // The records flow into the working folder while the monitor runs.
        Child monitor({DUPMON_MONITOR, "--headless", "--simulator", socket, "--workdir",
                       (dir / "work").string()},
                      dir / "monitor.out", dir);
        ASSERT_TRUE(
            waitFor([&] { return countOf(monitor.output(), "stored log record") >= 500; }, 120))
            << monitor.output();
        EXPECT_EQ(monitor.stop(), 0) << monitor.output();
    }
    const std::string db = "DATABASE/SU10-000001.QX42.LOGDATA";
    const Case cases[] = {
        {"dupmon-sim(1)",
         {DUPMON_SIM, "--socket", "DIR/sim.sock", "ctl", "job", "SU10-000001", "copy"},
         "work",
         0,
         "ok"},
        {"README",
         {DUPMON_SIM, "--socket", "DIR/sim.sock", "ctl", "setup", "SU10-000001"},
         "work",
         0,
         "ok"},
        {"README",
         {DUPMON_SIM, "--socket", "DIR/sim.sock", "ctl", "devinfo", "SU10-000001"},
         "work",
         0,
         "ok"},
        {"dupmon-logtool(1)", {DUPMON_LOGTOOL, "info", db}, "work", 0, "database: " + db},
        {"dupmon-logtool(1)",
         {DUPMON_LOGTOOL, "csv", db, "--from", "2026-03-01"},
         "work",
         0,
         "",
         {},
         "march.csv"},
        {"dupmon-logtool(1)",
         {DUPMON_LOGTOOL, "report", db, "--from", "2026-03-01", "--to", "2026-03-31", "--out",
          "march.txt"},
         "work",
         0,
         "march.txt: "},
        // Exit status 0: the seal holds.
        {"dupmon-logtool(1)",
         {DUPMON_LOGTOOL, "verify", "march.txt"},
         "work",
         0,
         "content length: "},
    };
    for (const Case& c : cases)
        check(c);
    // What the examples wrote: the records as CSV, and the sealed report.
    EXPECT_GT(countOf(slurp(dir / "work" / "march.csv"), "\n"), 1);
    EXPECT_TRUE(fs::exists(dir / "work" / "march.txt"));
}
