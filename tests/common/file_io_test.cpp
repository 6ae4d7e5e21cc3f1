// Reading the small files the program keeps: only regular files, only the
// lines asked for, never more than a bounded number of bytes. Writing them:
// whole or not at all, never through a planted link, never into a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "common/file_io.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

class FileIo : public ::testing::Test {
protected:
    fs::path write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return dir / name;
    }
    std::string read(const fs::path& p) const {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Whatever a write leaves in the folder besides the files named.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().find(".new-") != std::string::npos)
                out.push_back(e.path().filename().string());
        return out;
    }
    dupmon::test::TempDir tmp{"dupmon-fileio"};
    fs::path dir{tmp.path};
};

} // namespace

TEST_F(FileIo, LinesAreCutToTheirLengthAndTheirCount) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {}},
        {"one", {"one"}},
        {"one\n", {"one"}},
        {"one\r\ntwo \r\nthree\n", {"one", "two "}},
        {"\n\n", {"", ""}},
        {std::string(3000, 'a') + "\nsecond\n", {std::string(10, 'a'), "second"}},
        {std::string("a\0b\nc", 5), {std::string("a\0b", 3), "c"}},
    };
    for (const Case& c : cases) {
        const fs::path f = write("lines.txt", c.text);
        EXPECT_EQ(readTextLines(f, 2, 10), c.lines) << c.text.substr(0, 20);
    }
}

// A sparse file of 4 GB, a folder, a pipe: nothing is allocated for them,
// nothing waits, and the reader gives back what the first bytes hold.
TEST_F(FileIo, HugeFilesFoldersAndPipesCostNothing) {
    const fs::path huge = dir / "huge.txt";
    { std::ofstream(huge) << "QX42B Ver:1\n"; }
    fs::resize_file(huge, uint64_t(4) << 30);
    EXPECT_EQ(readTextLines(huge, 2).size(), 2u); // the first line and a line of NULs, cut
    EXPECT_EQ(readTextLines(huge, 2)[1].size(), 1023u);

    fs::create_directory(dir / "folder");
    ReadableFile folder = openRegularFile(dir / "folder");
    EXPECT_FALSE(folder);
    EXPECT_EQ(folder.problem, "is a folder, not a file");
    EXPECT_TRUE(readTextLines(dir / "folder", 2).empty());

    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    ReadableFile pipe = openRegularFile(dir / "pipe");
    EXPECT_FALSE(pipe);
    EXPECT_EQ(pipe.problem, "is not a regular file");
    EXPECT_TRUE(readTextLines(dir / "pipe", 2).empty());

    ReadableFile missing = openRegularFile(dir / "missing");
    EXPECT_TRUE(missing.missing);
    EXPECT_EQ(missing.problem, "does not exist");

    ReadableFile plain = openRegularFile(write("plain", "12345"));
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain.size, 5u);
}

// What is at the name decides: a regular file or nothing is replaced whole;
// a link, a folder or a pipe is refused at once and stays as it was; a link
// the operator chose is followed to its target.
TEST_F(FileIo, AWholeFileReplacesOnlyARegularFileOrNothing) {
    struct Case {
        const char* what;
        std::function<void(const fs::path& file)> make;
        LinkRule links;
        const char* problem; // nullptr: written
    } cases[] = {
        {"nothing", [](const fs::path&) {}, LinkRule::Refuse, nullptr},
        {"an older file", [](const fs::path& f) { std::ofstream(f) << "old bytes, longer\n"; },
         LinkRule::Refuse, nullptr},
        {"a link, refused",
         [this](const fs::path& f) {
             std::ofstream(dir / "target") << "kept\n";
             fs::create_symlink(dir / "target", f);
         },
         LinkRule::Refuse, "is a symbolic link; it is left as it is"},
        {"a link the operator chose",
         [this](const fs::path& f) {
             std::ofstream(dir / "target") << "old\n";
             fs::create_symlink(dir / "target", f);
         },
         LinkRule::Follow, nullptr},
        {"a pipe", [](const fs::path& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0); },
         LinkRule::Refuse, "is not a regular file"},
        {"a folder", [](const fs::path& f) { fs::create_directories(f / "inside"); },
         LinkRule::Follow, "is a folder, not a file"},
        {"a planted temporary name",
         [this](const fs::path& f) {
             std::ofstream(dir / "target") << "kept\n";
             fs::create_symlink(dir / "target", f.string() + ".new");
         },
         LinkRule::Refuse, nullptr},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        const fs::path file = dir / "position.par";
        c.make(file);
        const auto typeBefore = fs::symlink_status(file).type();
        const FileWrite w = writeWholeFile(file, "10 20 300 400 \n", c.links);
        EXPECT_EQ(w.ok, c.problem == nullptr) << c.what << ": " << w.problem;
        EXPECT_TRUE(leftovers().empty()) << c.what;
        if (c.problem) {
            EXPECT_EQ(w.problem, c.problem) << c.what;
            EXPECT_EQ(fs::symlink_status(file).type(), typeBefore) << c.what;
        } else {
            EXPECT_EQ(read(file), "10 20 300 400 \n") << c.what;
        }
        // A link's target changes only when the operator chose the link.
        if (fs::exists(dir / "target")) {
            EXPECT_EQ(read(dir / "target"),
                      c.links == LinkRule::Follow ? "10 20 300 400 \n" : "kept\n")
                << c.what;
        }
        if (c.links == LinkRule::Follow && c.problem == nullptr && fs::exists(dir / "target")) {
            EXPECT_TRUE(fs::is_symlink(file)) << c.what;
        }
    }
}

TEST_F(FileIo, AWholeFileKeepsItsPermissionsAndAFailedWriteKeepsTheOldFile) {
    const fs::path file = write("registry", "old");
    ::chmod(file.c_str(), 0640);
    ASSERT_TRUE(writeWholeFile(file, "new"));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // A write the disk refuses (the file size limit, as a full disk would).
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const FileWrite refused = writeWholeFile(file, std::string(1000, 'x'));
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.problem, "cannot be written: File too large");
    EXPECT_EQ(read(file), "new");
    EXPECT_TRUE(leftovers().empty());

    // Created only when nothing is there by then.
    WholeFileWriter w;
    ASSERT_TRUE(w.open(dir / "fresh"));
    ASSERT_TRUE(w.write("first"));
    write("fresh", "came first");
    EXPECT_FALSE(w.commit(false));
    EXPECT_EQ(w.problem(), "exists already");
    EXPECT_EQ(read(dir / "fresh"), "came first");
    EXPECT_TRUE(leftovers().empty());
}

// An append-only file opens at once or not at all: a pipe (with or without
// a reader), a folder or a planted link is refused and stays as it was.
TEST_F(FileIo, AnAppendFileIsARegularFileOrNothing) {
    const fs::path file = dir / "daily.txt";
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* problem;
    } cases[] = {
        {"nothing", [] {}, nullptr},
        {"a file", [&] { std::ofstream(file) << "line 1\n"; }, nullptr},
        {"a pipe", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }, "is not a regular file"},
        {"a folder", [&] { fs::create_directory(file); }, "is a folder, not a file"},
        {"a link",
         [&] {
             std::ofstream(dir / "target") << "kept\n";
             fs::create_symlink(dir / "target", file);
         },
         "is a symbolic link; it is left as it is"},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        c.make();
        AppendFile f = openAppendFile(file);
        EXPECT_EQ(bool(f), c.problem == nullptr) << c.what;
        if (c.problem) {
            EXPECT_EQ(f.problem, c.problem) << c.what;
            continue;
        }
        ASSERT_TRUE(appendWhole(f.fd.get(), "line 2\n")) << c.what;
        EXPECT_EQ(read(file).substr(read(file).size() - 7), "line 2\n") << c.what;
    }
    EXPECT_EQ(read(dir / "target"), "kept\n");

    // A pipe that has a reader opens, but is still no file to append to.
    fs::remove_all(dir);
    fs::create_directories(dir);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    UniqueFd reader(::open(file.c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_TRUE(reader);
    EXPECT_EQ(openAppendFile(file).problem, "is not a regular file");
}

// A line the disk takes only in part leaves no part behind.
TEST_F(FileIo, APartlyWrittenLineIsCutBack) {
    const fs::path file = write("daily.txt", "0000001 first line\n");
    AppendFile f = openAppendFile(file);
    ASSERT_TRUE(f);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 30;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool written = appendWhole(f.fd.get(), "0000002 second line\n");
    const int error = errno;
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_FALSE(written);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(read(file), "0000001 first line\n");
    ASSERT_TRUE(appendWhole(f.fd.get(), "0000002 second line\n"));
    EXPECT_EQ(read(file), "0000001 first line\n0000002 second line\n");
}
