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

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome run(const std::string& program, const std::string& args) {
    char tmpl[] = "/tmp/dupmon-help-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    ::close(fd);
    Outcome r;
    FILE* p = ::popen((program + " " + args + " 2>" + tmpl).c_str(), "r");
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, p))
        r.out.append(buf, n);
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(tmpl);
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    std::remove(tmpl);
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
    char tmpl[] = "/tmp/dupmon-title-XXXXXX";
    const int fd = ::mkstemp(tmpl);
    const std::string junk(640, 'Z');
    ASSERT_EQ(::write(fd, junk.data(), junk.size()), ssize_t(junk.size()));
    ::close(fd);
    const Outcome r = run(DUPMON_LOGTOOL, std::string("info ") + tmpl);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("database: ") + tmpl + "\ncheck: DATABASE_WRONG_TITLE\n");
    EXPECT_EQ(r.err.rfind(std::string("dupmon-logtool: ") + tmpl + ": ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("DATABASE_WRONG_TITLE"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    std::remove(tmpl);
}
