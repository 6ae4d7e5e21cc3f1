// Every program's --help: printed on standard output, each option on a line
// of its own, exit status 0; a wrong option is named on standard error with
// exit status 2.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome run(const std::string& program, const std::string& args) {
    const dupmon::test::TempDir tmp("dupmon-help");
    const std::string errors = tmp / "stderr";
    Outcome r;
    int status = -1;
    r.out = dupmon::commandOutput(program + " " + args + " 2>" + errors, &status);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(errors);
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    return r;
}

int linesStartingWith(const std::string& text, const std::string& start) {
    int n = 0;
    size_t p = 0;
    for (size_t nl; (nl = text.find('\n', p)) != std::string::npos; p = nl + 1)
        n += text.compare(p, start.size(), start) == 0;
    return n;
}

struct Program {
    const char* path;
    std::vector<std::string> options; // each with its own help line
    const char* wrong;                // an argument it refuses
    const char* refusal;
};

const Program kPrograms[] = {
    {DUPMON_MONITOR,
     {"--demo", "--simulator", "--headless", "--workdir", "--user-data", "--export", "--help",
      "--version"},
     "--workdir",
     "duplicator-monitor: option --workdir needs a value"},
    {DUPMON_SIM,
     {"--socket", "--plug", "--wire", "--trace ", "--trace-dir", "--profiles", "--help"},
     "--socket",
     "dupmon-sim: option --socket needs a value"},
    {DUPMON_LOGTOOL,
     {"--from", "--to", "--out", "--nickname", "--model", "--version", "--machine-id", "--ports",
      "--device-type", "--csv", "--json", "--help"},
     "frobnicate",
     "dupmon-logtool: unknown command 'frobnicate'"},
};

} // namespace

TEST(ProgramHelp, EveryProgramListsEachOptionOnItsOwnLineOnStandardOutput) {
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.path);
        for (const char* form : {"--help", "-h"}) {
            const Outcome r = run(p.path, form);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.out.rfind("usage: ", 0), 0u) << r.out;
            for (const std::string& option : p.options)
                EXPECT_EQ(linesStartingWith(r.out, "  " + option), 1) << option << "\n" << r.out;
        }
        const Outcome wrong = run(p.path, p.wrong);
        EXPECT_EQ(wrong.status, 2);
        EXPECT_EQ(wrong.out, "");
        EXPECT_EQ(wrong.err.rfind(p.refusal, 0), 0u) << wrong.err;
        EXPECT_EQ(wrong.err.back(), '\n');
    }
}

// A database of another title: the report names it, every line is ended, and
// the error names the file and the problem.
TEST(ProgramHelp, TheLogToolEndsEveryLineAndNamesTheFileOfAnError) {
    const dupmon::test::TempDir tmp("dupmon-title");
    const std::string file = tmp / "other-title";
    std::ofstream(file, std::ios::binary) << std::string(640, 'Z');
    const Outcome r = run(DUPMON_LOGTOOL, "info " + file);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "database: " + file + "\ncheck: DATABASE_WRONG_TITLE\n");
    EXPECT_EQ(r.err.rfind("dupmon-logtool: " + file + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("DATABASE_WRONG_TITLE"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
}
