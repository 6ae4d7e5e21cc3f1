// Reading the small files the program keeps: only regular files, only the
// lines asked for, never more than a bounded number of bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/file_io.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

class FileIo : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("dupmon-fileio-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return dir / name;
    }
    fs::path dir;
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
