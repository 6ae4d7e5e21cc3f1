// The drive tools on a real disk image: the partition table sfdisk writes,
// each file system mkfs makes, a tree copied onto it by the walker through a
// FUSE mount, then checked by fsck, blkid and a second reader (mtools,
// ntfscat). No loop device is used.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <unistd.h>

#include "common/byte_order.h"
#include "master_usb/do_dir.h"
#include "master_usb/linux_drives.h"
#include "shell/shell_test_files.h"

using namespace dupmon;
using shelltest::readFile;
using shelltest::TempDir;
using shelltest::writeFile;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMiB = 1048576;

bool sparseFile(const std::string& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::ftruncate(fd, off_t(size)) == 0;
    ::close(fd);
    return ok;
}

// Copies `length` bytes from one file at one offset into another at another.
bool copyRange(const std::string& from, uint64_t fromOffset, const std::string& to,
               uint64_t toOffset, uint64_t length) {
    const int in = ::open(from.c_str(), O_RDONLY);
    const int out = ::open(to.c_str(), O_RDWR | O_CREAT, 0644);
    bool ok = in >= 0 && out >= 0;
    std::vector<char> buffer(kMiB);
    for (uint64_t done = 0; ok && done < length;) {
        const size_t n = size_t(std::min<uint64_t>(buffer.size(), length - done));
        ok = ::pread(in, buffer.data(), n, off_t(fromOffset + done)) == ssize_t(n) &&
             ::pwrite(out, buffer.data(), n, off_t(toOffset + done)) == ssize_t(n);
        done += n;
    }
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ::close(out);
    return ok;
}

std::vector<uint8_t> content(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(seed + i * 13 + (i >> 10));
    return v;
}

// Whether a process still holds the file open (a FUSE daemon that has not
// finished writing after its unmount).
bool heldOpen(const std::string& path) {
    std::error_code ec;
    const fs::path wanted = fs::canonical(path, ec);
    for (const auto& proc : fs::directory_iterator("/proc", ec)) {
        const std::string pid = proc.path().filename().string();
        if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0])))
            continue;
        std::error_code e2;
        for (const auto& fd : fs::directory_iterator(proc.path() / "fd", e2)) {
            std::error_code e3;
            if (fs::read_symlink(fd.path(), e3) == wanted)
                return true;
        }
    }
    return false;
}

struct TreeFile {
    std::string path;
    std::vector<uint8_t> bytes;
};

std::vector<TreeFile> sourceTree(const std::string& root) {
    std::vector<TreeFile> files = {
        {"readme.txt", content(1500, 1)},         {"IMAGES/disk.bin", content(300000, 2)},
        {"IMAGES/deep/note.txt", content(76, 3)}, {"empty.dat", {}},
        {"setup/data/x.cfg", content(131072, 4)}, // exactly one buffer load
    };
    for (const auto& f : files) {
        fs::create_directories(fs::path(root + "/" + f.path).parent_path());
        writeFile(root + "/" + f.path, f.bytes);
    }
    fs::create_directories(root + "/empty-dir");
    return files;
}

struct Case {
    FileSystemKind fs;
    const char* label;
    const char* name; // as the volume reports it
    const char* type; // partition type byte
};

} // namespace

class DiskImage : public ::testing::TestWithParam<Case> {};

TEST_P(DiskImage, PartitionFormatCopyAndCheck) {
    const Case c = GetParam();
    TempDir tmp;
    ServiceLog log;
    ExternalRunner run(log);
    ExternalRunner check(log);
    check.setAllowed({"fsck.fat", "fsck.exfat", "ntfsfix", "mcopy", "ntfscat", "fusefat", "ntfs-3g",
                      "umount", "blkid"});
    check.setOutputLimit(4 * kMiB);
    // The FUSE FAT writer keeps only the clean-shutdown bit in the second FAT
    // entry, which fsck.fat accepts and mtools refuses unless told.
    check.addEnvironment("MTOOLS_SKIP_CHECK=1");
    const std::string disk = tmp / "disk.img";
    const std::string part = tmp / "part.img";
    const uint64_t diskSectors = 80 * kMiB / 512;
    ASSERT_TRUE(sparseFile(disk, 80 * kMiB));

    // 1. The table: one primary partition at 1 MiB of 64 MiB, with the type.
    std::string cause;
    ASSERT_TRUE(drive_tools::writePartitionTable(run, disk, 64, c.fs, diskSectors, cause)) << cause;
    const auto mbr = readFile(disk);
    ASSERT_GE(mbr.size(), 512u);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    EXPECT_EQ(mbr[446 + 4], uint8_t(std::stoi(c.type, nullptr, 16)));
    EXPECT_EQ(readLE32(&mbr[446 + 8]), 2048u);
    EXPECT_EQ(readLE32(&mbr[446 + 12]), 64u * 2048);
    EXPECT_EQ(mbr[462 + 4], 0); // no second partition

    // A partition asked larger than the drive is cut to fit.
    ASSERT_TRUE(sparseFile(tmp / "small.img", 20 * kMiB));
    ASSERT_TRUE(
        drive_tools::writePartitionTable(run, tmp / "small.img", 64, c.fs, 20 * 2048, cause));
    EXPECT_EQ(readLE32(&readFile(tmp / "small.img")[446 + 12]), 20u * 2048 - 2048);

    // 2. The file system: FAT inside the disk image at the partition's
    // offset; the others on the partition's own image, placed into the disk.
    const bool fat = c.fs == FileSystemKind::Fat16 || c.fs == FileSystemKind::Fat32;
    if (fat) {
        ASSERT_TRUE(drive_tools::makeFileSystem(run, disk, c.fs, c.label, cause, 2048, 64 * 2048))
            << cause;
        ASSERT_TRUE(copyRange(disk, kMiB, part, 0, 64 * kMiB));
    } else {
        ASSERT_TRUE(sparseFile(part, 64 * kMiB));
        ASSERT_TRUE(drive_tools::makeFileSystem(run, part, c.fs, c.label, cause)) << cause;
        ASSERT_TRUE(copyRange(part, 0, disk, kMiB, 64 * kMiB));
    }
    std::string label, name;
    ASSERT_TRUE(drive_tools::probeVolume(run, disk, label, name, kMiB));
    EXPECT_EQ(label, c.label);
    EXPECT_EQ(name, c.name);
    EXPECT_FALSE(drive_tools::probeVolume(run, disk, label, name)); // only a table at 0

    // 3. The walker copies a tree onto the volume through a FUSE mount.
    const std::string src = tmp / "src";
    const auto files = sourceTree(src);
    const std::string mnt = tmp / "mnt";
    fs::create_directories(mnt);
    RunResult mounted;
    if (fat)
        mounted = check.run("fusefat", {"-o", "rw+", part, mnt}, 20000);
    else if (c.fs == FileSystemKind::Ntfs)
        mounted = check.run("ntfs-3g", {part, mnt}, 20000);
    if (mounted.ok()) {
        std::vector<uint8_t> buffer(131072), second(131072);
        DO_DIR walker;
        walker.setBuffers(buffer.data(), second.data(), uint32_t(buffer.size()));
        if (c.fs == FileSystemKind::Ntfs) {
            // The fresh volume counts as empty, as the format check needs it.
            // (The FUSE FAT driver lists the volume label as a file, which the
            // kernel's driver does not, so FAT is not counted here.)
            EXPECT_TRUE(DO_DIR::isVolumeRoot(mnt));
            ASSERT_TRUE(walker.startCount(mnt));
            while (!walker.isIdle())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_EQ(walker.countedFiles(), 0u);
            EXPECT_EQ(walker.countedBytes(), 0u);
            EXPECT_LE(walker.countedDirectories(), 1u);
        }
        ASSERT_TRUE(walker.startCopy(src, mnt));
        while (!walker.isIdle())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(walker.hasFailed()) << walker.failedSourceDirectory();
        EXPECT_EQ(walker.copiedFiles(), files.size());
        std::string flushCause;
        EXPECT_TRUE(drive_tools::syncFolder(log, mnt, flushCause)) << flushCause;
        EXPECT_TRUE(check.run("umount", {mnt}, 20000).ok());
        for (int i = 0; i < 100 && heldOpen(part); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(heldOpen(part));
    } else {
        // exFAT has no FUSE writer here; a FUSE mount may also be refused.
        std::printf("  (no FUSE mount of the %s volume: %s; format checked only)\n", c.name,
                    mounted.started ? mounted.cause().c_str() : "no FUSE tool for it");
    }

    // 4. fsck finds the volume clean.
    RunResult fsck;
    {
        if (fat)
            fsck = check.run("fsck.fat", {"-n", part}, 20000);
        else if (c.fs == FileSystemKind::ExFat)
            fsck = check.run("fsck.exfat", {"-n", part}, 20000);
        else
            fsck = check.run("ntfsfix", {"-n", part}, 20000);
    }
    EXPECT_TRUE(fsck.ok()) << fsck.output;

    // 5. Every file's bytes, read back by another reader.
    if (mounted.ok()) {
        for (const auto& f : files) {
            RunResult back;
            if (fat)
                back = check.run("mcopy", {"-n", "-i", part, "::/" + f.path, "-"}, 20000);
            else
                back = check.run("ntfscat", {part, "/" + f.path}, 20000);
            ASSERT_TRUE(back.ok()) << f.path << ": " << back.output;
            EXPECT_EQ(std::vector<uint8_t>(back.output.begin(), back.output.end()), f.bytes)
                << f.path;
        }
    }
    // Every program ran through the runner and is in the log.
    const auto lines = log.take();
    bool sfdisk = false, mkfs = false;
    for (const auto& l : lines) {
        sfdisk |= l.rfind("run: sfdisk --wipe always --wipe-partitions always " + disk, 0) == 0;
        mkfs |= l.rfind("run: mkfs.", 0) == 0 && l.find("-> exit 0") != std::string::npos;
    }
    EXPECT_TRUE(sfdisk);
    EXPECT_TRUE(mkfs);
}

INSTANTIATE_TEST_SUITE_P(EachFormat, DiskImage,
                         ::testing::Values(Case{FileSystemKind::Fat16, "MASTER16", "FAT", "0e"},
                                           Case{FileSystemKind::Fat32, "MASTER32", "FAT32", "0c"},
                                           Case{FileSystemKind::ExFat, "MasterX", "EXFAT", "07"},
                                           Case{FileSystemKind::Ntfs, "Master NTFS", "NTFS", "07"}),
                         [](const auto& info) { return std::string(info.param.name); });
