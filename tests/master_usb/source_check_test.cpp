// The source folder's check before the master stick is touched: what it
// counts, what it leaves out as the copy does, and every folder or file the
// copy could not read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "master_usb/source_check.h"
#include "shell/shell_test_files.h"
#include "support/child_process.h"
#include "support/other_user.h"

using namespace dupmon;
using shelltest::TempDir;
using shelltest::writeFile;
namespace fs = std::filesystem;

namespace {

std::string problemName(SourceProblem p) {
    switch (p) {
    case SourceProblem::None:
        return "none";
    case SourceProblem::NotChosen:
        return "not chosen";
    case SourceProblem::Missing:
        return "missing";
    case SourceProblem::NotAFolder:
        return "not a folder";
    case SourceProblem::Unreadable:
        return "unreadable";
    case SourceProblem::Empty:
        return "empty";
    case SourceProblem::Stopped:
        return "stopped";
    }
    return "?";
}

// The check as an ordinary user makes it: permissions mean nothing to root,
// so as root the check runs in a child that has become "nobody".
std::string checkAsUser(const std::string& root) {
    auto check = [&] {
        SourceSummary s;
        std::string detail;
        const SourceProblem p = checkSourceTree(root, s, detail);
        return problemName(p) + " | " + detail;
    };
    if (::geteuid() != 0)
        return check();
    return runInChild(check, 60,
                      [] { return ::setgid(test::kNobody) == 0 && ::setuid(test::kNobody) == 0; })
        .text;
}

} // namespace

TEST(SourceCheck, CountsWhatTheCopyTakesAndLeavesOutWhatItLeavesOut) {
    TempDir tmp;
    const std::string src = tmp / "src";
    fs::create_directories(src + "/a/b");
    writeFile(src + "/top.bin", std::vector<uint8_t>(1000, 1));
    writeFile(src + "/a/b/deep.bin", std::vector<uint8_t>(24, 2));
    fs::create_directories(tmp / "outside");
    writeFile(tmp / "outside/linked.bin", std::vector<uint8_t>(7, 3));
    fs::create_symlink(tmp / "outside/linked.bin", src + "/link-to-file");
    fs::create_directory_symlink(tmp / "outside", src + "/link-to-folder");
    fs::create_symlink(tmp / "nowhere", src + "/dangling");
    ASSERT_EQ(::mkfifo((src + "/pipe").c_str(), 0644), 0); // would hang an open for reading
    const int fd = ::open((src + "/huge.img").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 4294967296), 0);
    ::close(fd);

    SourceSummary s;
    std::string detail;
    EXPECT_EQ(checkSourceTree(src, s, detail), SourceProblem::None) << detail;
    EXPECT_EQ(s.files, 4u); // top, deep, the linked file, huge
    EXPECT_EQ(s.directories, 2u);
    EXPECT_EQ(s.bytes, 1000u + 24 + 7 + 4294967296ull);
    EXPECT_EQ(s.files4GiB, 1u);
    EXPECT_EQ(s.first4GiB, src + "/huge.img");

    std::atomic<bool> stop{true};
    EXPECT_EQ(checkSourceTree(src, s, detail, &stop), SourceProblem::Stopped);
}

TEST(SourceCheck, EveryProblemIsNamedWithItsPath) {
    // The user who checks must be able to reach the tree at all: as root the
    // tree goes where "nobody" can enter, whatever TMPDIR is.
    TempDir tmp;
    std::string t = tmp.path;
    if (::geteuid() == 0) {
        std::string problem;
        const fs::path dir = test::folderUserCanEnter(test::kNobody, "dupmon-source", problem);
        if (dir.empty())
            GTEST_SKIP() << problem;
        t = dir.string();
    }
    ::chmod(t.c_str(), 0755);
    fs::create_directories(t + "/empty/sub");
    fs::create_directories(t + "/closed-folder/inner");
    writeFile(t + "/closed-folder/ok.bin", {1});
    writeFile(t + "/closed-folder/inner/x.bin", {1});
    ::chmod((t + "/closed-folder").c_str(), 0755);
    ::chmod((t + "/closed-folder/inner").c_str(), 0);
    fs::create_directories(t + "/closed-file");
    writeFile(t + "/closed-file/secret.bin", {1, 2});
    ::chmod((t + "/closed-file").c_str(), 0755);
    ::chmod((t + "/closed-file/secret.bin").c_str(), 0);
    writeFile(t + "/plain.txt", {1});
    struct Case {
        std::string root;
        std::string expected;
    } cases[] = {
        {"", "not chosen | No source folder is chosen: choose one with Select Target Directory."},
        {t + "/none", "missing | cannot find " + t + "/none: No such file or directory"},
        {t + "/plain.txt", "not a folder | " + t + "/plain.txt is not a folder."},
        {t + "/empty",
         "empty | " + t + "/empty holds no files: the master stick would be left empty."},
        {t + "/closed-folder",
         "unreadable | cannot list " + t + "/closed-folder/inner: Permission denied"},
        {t + "/closed-file",
         "unreadable | cannot read " + t + "/closed-file/secret.bin: Permission denied"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(checkAsUser(c.root), c.expected) << c.root;
    ::chmod((t + "/closed-folder/inner").c_str(), 0755);
    if (t != tmp.path)
        fs::remove_all(t);
}
