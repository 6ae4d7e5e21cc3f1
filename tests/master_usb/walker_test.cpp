// The directory walker on real files in a temporary folder: counting,
// copying, the dot rule, replacement of protected targets, shrinking
// sources and the stop request. Also built with ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "master_usb/do_dir.h"
#include "shell/shell_test_files.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::TempDir;
using shelltest::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kBufferSize = 131072;

struct Walker {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kBufferSize);
    std::vector<uint8_t> second = std::vector<uint8_t>(kBufferSize);
    std::vector<int> pauses;
    DO_DIR walker;
    Walker() {
        walker.setSleep([this](int ms) { pauses.push_back(ms); });
        walker.setBuffers(buffer.data(), second.data(), kBufferSize);
    }
    void wait() {
        while (!walker.isIdle())
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    void count(const std::string& root) {
        ASSERT_TRUE(walker.startCount(root));
        wait();
    }
    void copy(const std::string& from, const std::string& to) {
        ASSERT_TRUE(walker.startCopy(from, to));
        wait();
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 7 + (i >> 9));
    return v;
}

bool makeSparse(const std::string& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::ftruncate(fd, off_t(size)) == 0;
    ::close(fd);
    return ok;
}

} // namespace

TEST(WalkerCount, CountsAsTheFlowNeedsThem) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, uint64_t>> files; // path -> size (sparse)
        std::vector<std::string> dirs;
        uint32_t dirsCounted, filesCounted;
        uint64_t bytes;
        uint32_t over2G, over4G;
    } cases[] = {
        {"empty root", {}, {}, 0, 0, 0, 0, 0},
        {"one directory with 76 and 12 bytes",
         {{"System Volume Information/IndexerVolumeGuid", 76},
          {"System Volume Information/WPSettings.dat", 12}},
         {"System Volume Information"},
         1,
         2,
         88,
         0,
         0},
        {"one byte under 2 GiB", {{"a.bin", DO_DIR::k2GiB - 1}}, {}, 0, 1, DO_DIR::k2GiB - 1, 0, 0},
        {"exactly 2 GiB", {{"a.bin", DO_DIR::k2GiB}}, {}, 0, 1, DO_DIR::k2GiB, 1, 0},
        {"one byte under 4 GiB", {{"a.bin", DO_DIR::k4GiB - 1}}, {}, 0, 1, DO_DIR::k4GiB - 1, 1, 0},
        {"exactly 4 GiB", {{"d/a.bin", DO_DIR::k4GiB}}, {"d"}, 1, 1, DO_DIR::k4GiB, 1, 1},
        {"nested directories",
         {{"a/b/c/x", 5}, {"a/y", 7}},
         {"a", "a/b", "a/b/c", "a/empty"},
         4,
         2,
         12,
         0,
         0},
    };
    for (const Case& c : cases) {
        TempDir tmp;
        for (const auto& d : c.dirs)
            fs::create_directories(tmp / d);
        for (const auto& [path, size] : c.files)
            ASSERT_TRUE(makeSparse(tmp / path, size)) << c.name;
        Walker w;
        w.count(tmp.path);
        EXPECT_FALSE(w.walker.hasFailed()) << c.name;
        EXPECT_EQ(w.walker.countedDirectories(), c.dirsCounted) << c.name;
        EXPECT_EQ(w.walker.countedFiles(), c.filesCounted) << c.name;
        EXPECT_EQ(w.walker.countedBytes(), c.bytes) << c.name;
        EXPECT_EQ(w.walker.countedFiles2GiB(), c.over2G) << c.name;
        EXPECT_EQ(w.walker.countedFiles4GiB(), c.over4G) << c.name;
    }
}

TEST(WalkerCount, AMissingRootOrAVanishedDirectoryFailsTheCount) {
    TempDir tmp;
    Walker w;
    w.count(tmp / "nothing-here");
    EXPECT_TRUE(w.walker.hasFailed());

    fs::create_directories(tmp / "src/gone");
    writeFile(tmp / "src/gone/f", pattern(10, 1));
    w.walker.setHook([&](DO_DIR::HookPoint p, const std::string& path) {
        if (p == DO_DIR::HookPoint::EntryStart && path == tmp / "src/gone")
            fs::remove_all(path);
    });
    w.count(tmp / "src");
    EXPECT_TRUE(w.walker.hasFailed());
    EXPECT_EQ(w.walker.failedSourceDirectory(), tmp / "src/gone");
}

TEST(WalkerCount, DotNamedDirectoriesAreSkippedOnlyAsTheFirstTwoEntriesOfAVolumeRoot) {
    TempDir tmp;
    fs::create_directories(tmp / ".Trash-1000/files");
    writeFile(tmp / ".Trash-1000/files/old", pattern(100, 2));
    fs::create_directories(tmp / "data");
    writeFile(tmp / "data/f", pattern(10, 3));

    Walker asRoot;
    asRoot.walker.setVolumeRootProbe([&](const std::string& dir) { return dir == tmp.path; });
    asRoot.count(tmp.path);
    // Two entries at a volume root are numbered 1 and 2: the dot-named one is passed over.
    EXPECT_EQ(asRoot.walker.countedDirectories(), 1u);
    EXPECT_EQ(asRoot.walker.countedBytes(), 10u);

    Walker asFolder;
    asFolder.walker.setVolumeRootProbe([](const std::string&) { return false; });
    asFolder.count(tmp.path);
    EXPECT_EQ(asFolder.walker.countedDirectories(), 3u);
    EXPECT_EQ(asFolder.walker.countedBytes(), 110u);
}

TEST(WalkerCount, TheFileSystemRootIsAVolumeRootAndAFolderIsNot) {
    TempDir tmp;
    EXPECT_TRUE(DO_DIR::isVolumeRoot("/"));
    EXPECT_FALSE(DO_DIR::isVolumeRoot(tmp.path));
}

TEST(WalkerCopy, CopiesTheTreeWithTimesAndPermissions) {
    TempDir tmp;
    fs::create_directories(tmp / "src/sub/deeper");
    fs::create_directories(tmp / "src/empty");
    fs::create_directories(tmp / "dst");
    const auto big = pattern(3 * kBufferSize + 17, 9); // several buffer loads
    writeFile(tmp / "src/big.bin", big);
    writeFile(tmp / "src/sub/a.txt", pattern(76, 1));
    writeFile(tmp / "src/sub/deeper/b.txt", pattern(12, 2));
    writeFile(tmp / "src/zero", {});
    ::chmod((tmp / "src/sub/a.txt").c_str(), 0444);
    const struct timespec times[2] = {{1600000000, 0}, {1500000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "src/big.bin").c_str(), times, 0), 0);

    Walker w;
    w.copy(tmp / "src", tmp / "dst");
    EXPECT_FALSE(w.walker.hasFailed());
    EXPECT_EQ(w.walker.copiedFiles(), 4u);
    EXPECT_EQ(w.walker.copiedDirectories(), 3u);
    EXPECT_EQ(w.walker.copiedBytes(), big.size() + 76 + 12);
    // Times first: reading the copy back moves its access time.
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "dst/big.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
    EXPECT_EQ(readFile(tmp / "dst/big.bin"), big);
    EXPECT_EQ(readFile(tmp / "dst/sub/a.txt"), pattern(76, 1));
    EXPECT_EQ(readFile(tmp / "dst/sub/deeper/b.txt"), pattern(12, 2));
    EXPECT_TRUE(fs::is_regular_file(tmp / "dst/zero"));
    EXPECT_TRUE(fs::is_directory(tmp / "dst/empty"));
    ASSERT_EQ(::stat((tmp / "dst/sub/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_TRUE(w.pauses.empty());
}

TEST(WalkerCopy, AReadOnlyTargetIsReplacedAndAPlainOneOverwrittenInPlace) {
    TempDir tmp;
    fs::create_directories(tmp / "src");
    fs::create_directories(tmp / "dst");
    writeFile(tmp / "src/ro.txt", pattern(500, 4));
    writeFile(tmp / "src/plain.txt", pattern(300, 5));
    writeFile(tmp / "dst/ro.txt", pattern(9000, 6));
    writeFile(tmp / "dst/plain.txt", pattern(9000, 7));
    ::chmod((tmp / "dst/ro.txt").c_str(), 0444);
    struct stat before {};
    ASSERT_EQ(::stat((tmp / "dst/plain.txt").c_str(), &before), 0);
    struct stat roBefore {};
    ASSERT_EQ(::stat((tmp / "dst/ro.txt").c_str(), &roBefore), 0);
    // Keep the old inode alive so that a new file cannot reuse its number.
    const int holdOld = ::open((tmp / "dst/ro.txt").c_str(), O_RDONLY);

    Walker w;
    w.copy(tmp / "src", tmp / "dst");
    ::close(holdOld);
    EXPECT_FALSE(w.walker.hasFailed());
    EXPECT_EQ(readFile(tmp / "dst/ro.txt"), pattern(500, 4));
    EXPECT_EQ(readFile(tmp / "dst/plain.txt"), pattern(300, 5));
    struct stat after {};
    ASSERT_EQ(::stat((tmp / "dst/plain.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(::stat((tmp / "dst/ro.txt").c_str(), &after), 0);
    EXPECT_NE(after.st_ino, roBefore.st_ino);
}

TEST(WalkerCopy, ASourceThatShrinksFailsAndItsPartialTargetIsDeleted) {
    TempDir tmp;
    fs::create_directories(tmp / "src");
    fs::create_directories(tmp / "dst");
    writeFile(tmp / "src/shrinks.bin", pattern(5 * kBufferSize, 8));
    Walker w;
    w.walker.setHook([&](DO_DIR::HookPoint p, const std::string& path) {
        if (p == DO_DIR::HookPoint::SourceOpened) {
            ASSERT_EQ(::truncate(path.c_str(), 2 * kBufferSize + 5), 0);
        }
    });
    w.copy(tmp / "src", tmp / "dst");
    EXPECT_TRUE(w.walker.hasFailed());
    EXPECT_FALSE(fs::exists(tmp / "dst/shrinks.bin"));
    EXPECT_EQ(w.walker.copiedFiles(), 0u);
    EXPECT_EQ(w.walker.failedSourceDirectory(), tmp / "src");
    EXPECT_EQ(w.walker.failedTargetDirectory(), tmp / "dst");
    EXPECT_EQ(w.walker.copyTargetRoot(), tmp / "dst");
    EXPECT_EQ(w.pauses, std::vector<int>{500});
}

TEST(WalkerCopy, ATargetDirectoryThatCannotBeMadeIsRecorded) {
    TempDir tmp;
    fs::create_directories(tmp / "src/sub");
    writeFile(tmp / "src/sub/f", pattern(3, 1));
    Walker w;
    w.copy(tmp / "src", tmp / "no/such/target");
    EXPECT_TRUE(w.walker.hasFailed());
    EXPECT_EQ(w.walker.uncreatedDirectory(), tmp / "no/such/target/sub");
}

TEST(WalkerCopy, AnUnreadableSourceDirectoryIsPassedOverWithoutError) {
    TempDir tmp;
    fs::create_directories(tmp / "src/gone");
    fs::create_directories(tmp / "dst");
    writeFile(tmp / "src/gone/f", pattern(3, 1));
    writeFile(tmp / "src/kept", pattern(4, 1));
    Walker w;
    w.walker.setHook([&](DO_DIR::HookPoint p, const std::string& path) {
        if (p == DO_DIR::HookPoint::EntryStart && path == tmp / "src/gone")
            fs::remove_all(path);
    });
    w.copy(tmp / "src", tmp / "dst");
    EXPECT_FALSE(w.walker.hasFailed());
    EXPECT_EQ(readFile(tmp / "dst/kept"), pattern(4, 1));
}

TEST(WalkerCopy, StopBetweenEntriesEndsCleanlyStopDuringAFileFailsIt) {
    TempDir tmp;
    fs::create_directories(tmp / "src");
    fs::create_directories(tmp / "dst");
    for (const char* name : {"one", "two", "three"})
        writeFile(tmp / (std::string("src/") + name), pattern(3 * kBufferSize, 3));

    Walker between;
    between.walker.setHook([&](DO_DIR::HookPoint p, const std::string&) {
        if (p == DO_DIR::HookPoint::EntryDone)
            between.walker.setStopRequest(true);
    });
    between.copy(tmp / "src", tmp / "dst");
    EXPECT_FALSE(between.walker.hasFailed());
    EXPECT_EQ(between.walker.copiedFiles(), 1u);
    EXPECT_EQ(between.walker.copiedBytes(), 3 * kBufferSize);

    fs::remove_all(tmp / "dst");
    fs::create_directories(tmp / "dst");
    Walker during;
    std::string stoppedIn;
    during.walker.setHook([&](DO_DIR::HookPoint p, const std::string& path) {
        if (p == DO_DIR::HookPoint::SourceOpened && stoppedIn.empty()) {
            stoppedIn = path;
            during.walker.setStopRequest(true);
        }
    });
    during.copy(tmp / "src", tmp / "dst");
    EXPECT_TRUE(during.walker.hasFailed());
    EXPECT_EQ(during.walker.copiedFiles(), 0u);
    // One load (a buffer, or a kernel copy) of the first file, then the stop.
    EXPECT_GT(during.walker.copiedBytes(), 0u);
    EXPECT_LE(during.walker.copiedBytes(), 3 * kBufferSize);
    EXPECT_FALSE(fs::exists(tmp / "dst" / fs::path(stoppedIn).filename()));
    EXPECT_TRUE(fs::is_empty(tmp / "dst"));
}

TEST(WalkerThreads, TheGuiThreadPollsAndStopsARunningCopy) {
    // Many small files so that the copy runs a while; the polling thread
    // reads every counter and flag while the walker writes them.
    TempDir tmp;
    fs::create_directories(tmp / "dst");
    for (int d = 0; d < 8; ++d) {
        fs::create_directories(tmp / ("src/d" + std::to_string(d)));
        for (int f = 0; f < 40; ++f)
            writeFile(tmp / ("src/d" + std::to_string(d) + "/f" + std::to_string(f)),
                      pattern(size_t(100 + f * 37), uint8_t(f)));
    }
    Walker w;
    w.count(tmp / "src");
    EXPECT_EQ(w.walker.countedFiles(), 320u);
    const uint64_t total = w.walker.countedBytes();

    ASSERT_TRUE(w.walker.startCopy(tmp / "src", tmp / "dst"));
    uint64_t lastBytes = 0;
    bool sawProgressGoBack = false;
    while (!w.walker.isIdle()) {
        const uint64_t b = w.walker.copiedBytes();
        sawProgressGoBack |= b < lastBytes;
        lastBytes = b;
        (void)w.walker.copiedFiles();
        (void)w.walker.copiedDirectories();
        (void)w.walker.hasFailed();
    }
    EXPECT_FALSE(sawProgressGoBack);
    EXPECT_FALSE(w.walker.hasFailed());
    EXPECT_EQ(w.walker.copiedBytes(), total);
    EXPECT_EQ(w.walker.copiedFiles(), 320u);

    // A stop set by this thread while the copy runs ends it after the entry
    // in hand; the walker waits at its tenth file until it sees the stop.
    fs::remove_all(tmp / "dst");
    fs::create_directories(tmp / "dst");
    w.walker.setHook([&](DO_DIR::HookPoint p, const std::string&) {
        if (p == DO_DIR::HookPoint::EntryDone && w.walker.copiedFiles() == 10)
            while (!w.walker.stopRequested())
                std::this_thread::yield();
    });
    ASSERT_TRUE(w.walker.startCopy(tmp / "src", tmp / "dst"));
    while (w.walker.copiedFiles() < 10)
        std::this_thread::yield();
    w.walker.setStopRequest(true);
    w.wait();
    EXPECT_FALSE(w.walker.hasFailed());
    EXPECT_EQ(w.walker.copiedFiles(), 10u);
}

TEST(WalkerThreads, AStopEndsACountToo) {
    // The program ending during a count of a large source is not held by it.
    TempDir tmp;
    fs::create_directories(tmp / "src");
    for (int i = 0; i < 50; ++i)
        writeFile(tmp / ("src/f" + std::to_string(i)), pattern(10, uint8_t(i)));
    Walker w;
    w.walker.setHook([&](DO_DIR::HookPoint, const std::string&) {
        if (w.walker.countedFiles() == 5)
            while (!w.walker.stopRequested())
                std::this_thread::yield();
    });
    ASSERT_TRUE(w.walker.startCount(tmp / "src"));
    while (w.walker.countedFiles() < 5)
        std::this_thread::yield();
    w.walker.setStopRequest(true);
    w.wait();
    EXPECT_EQ(w.walker.countedFiles(), 6u); // the entry in hand, and no further
}

TEST(WalkerThreads, AJobCannotStartWhileOneRuns) {
    TempDir tmp;
    fs::create_directories(tmp / "src");
    writeFile(tmp / "src/f", pattern(10, 1));
    Walker w;
    std::atomic<bool> release{false};
    w.walker.setHook([&](DO_DIR::HookPoint, const std::string&) {
        while (!release.load())
            std::this_thread::yield();
    });
    ASSERT_TRUE(w.walker.startCount(tmp / "src"));
    EXPECT_FALSE(w.walker.startCount(tmp / "src"));
    EXPECT_FALSE(w.walker.startCopy(tmp / "src", tmp / "dst"));
    release = true;
    w.wait();
    EXPECT_EQ(w.walker.countedFiles(), 1u);
}
