// The runner of system programs and the disk list from sysfs: what may run,
// time-outs, output and the log; which disks count as removable.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "master_usb/block_devices.h"
#include "master_usb/external_runner.h"
#include "master_usb/linux_drives.h"
#include "shell/shell_test_files.h"

using namespace dupmon;
using shelltest::TempDir;
namespace fs = std::filesystem;

namespace {

bool logHas(ServiceLog& log, const std::string& part) {
    for (const auto& l : log.take())
        if (l.find(part) != std::string::npos)
            return true;
    return false;
}

void put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

// The sysfs scan alone; the drive operations are not used here.
struct SysfsDrivesProbe final : SysfsDrives {
    using SysfsDrives::SysfsDrives;
    bool volumeInformation(const DriveRow&, std::string&, std::string&) override { return false; }
    bool readFirstSector(const DriveRow&, uint8_t*, std::string&) override { return false; }
    bool partition(const DriveRow&, uint64_t, FileSystemKind, std::string&) override {
        return false;
    }
    bool format(const DriveRow&, FileSystemKind, const std::string&, std::string&) override {
        return false;
    }
    bool mountRoot(const DriveRow&, std::string&, std::string&) override { return false; }
    bool flush(const DriveRow&, std::string&) override { return false; }
    bool release(const DriveRow&, std::string&) override { return false; }
    bool eject(const DriveRow&, std::string&) override { return false; }
};

} // namespace

TEST(ExternalRunner, RunsOnlyListedProgramsFromTheSystemFolders) {
    ServiceLog log;
    ExternalRunner run(log);
    EXPECT_FALSE(run.locate("sfdisk").empty());
    EXPECT_TRUE(run.locate("sh").empty());               // not on the list
    EXPECT_TRUE(run.locate("/usr/sbin/sfdisk").empty()); // names only, no paths
    const RunResult r = run.run("bash", {"-c", "echo hi"}, 1000);
    EXPECT_FALSE(r.started);
    EXPECT_NE(r.cause().find("not installed or not allowed"), std::string::npos);
    EXPECT_TRUE(logHas(log, "run: bash -c 'echo hi' -> bash is not installed or not allowed"));
}

TEST(ExternalRunner, ArgumentsInputOutputExitAndTimeOut) {
    ServiceLog log;
    ExternalRunner run(log);
    run.setAllowed({"cat", "sleep", "false", "printf"});
    // Arguments go as they are: no shell sees them.
    const RunResult p = run.run("printf", {"%s|", "a b", "$HOME", ";rm -rf /"}, 5000);
    EXPECT_TRUE(p.ok());
    EXPECT_EQ(p.output, "a b|$HOME|;rm -rf /|");
    const RunResult c = run.run("cat", {}, 5000, "label: dos\nstart=2048\n");
    EXPECT_EQ(c.output, "label: dos\nstart=2048\n");
    const RunResult f = run.run("false", {}, 5000);
    EXPECT_TRUE(f.started);
    EXPECT_EQ(f.exitCode, 1);
    EXPECT_EQ(f.cause(), "exit 1");
    const RunResult s = run.run("sleep", {"20"}, 300);
    EXPECT_TRUE(s.timedOut);
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.cause(), "did not finish in time, killed");
    const auto lines = log.take();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("run: printf '%s|' 'a b' '$HOME' ';rm -rf /' -> exit 0 (", 0), 0u)
        << lines[0];
    EXPECT_NE(lines[1].find("<<< 'label: dos"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("-> exit 1"), std::string::npos);
    EXPECT_NE(lines[3].find("run: sleep 20 -> did not finish in time, killed"), std::string::npos);
}

// Whether a process is gone (or only a zombie waiting to be collected).
bool processGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

TEST(ExternalRunner, AProgramThatLeavesItsInputUnreadCannotEndOrHangTheMonitor) {
    ServiceLog log;
    ExternalRunner run(log);
    run.setAllowed({"true", "head", "sleep"});
    // More than a pipe holds: the writes meet a closed pipe (EPIPE, and a
    // SIGPIPE that would end this process if it were let through).
    const std::string script(1 << 20, 'x');
    struct Case {
        const char* name;
        std::vector<std::string> args;
        uint32_t timeoutMs;
        bool timedOut;
        size_t output;
    } cases[] = {
        {"true", {}, 20000, false, 0},            // exits without reading a byte
        {"head", {"-c", "10"}, 20000, false, 10}, // reads a little, then exits
        {"sleep", {"30"}, 300, true, 0},          // never reads and never ends
    };
    for (const Case& c : cases) {
        const RunResult r = run.run(c.name, c.args, c.timeoutMs, script);
        EXPECT_TRUE(r.started) << c.name;
        EXPECT_EQ(r.timedOut, c.timedOut) << c.name;
        EXPECT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.output.size(), c.output) << c.name;
        if (!c.timedOut) {
            EXPECT_TRUE(r.inputRefused) << c.name;
            EXPECT_EQ(r.exitCode, 0) << c.name;
            EXPECT_EQ(r.cause().rfind("exit 0 without reading all of its input", 0), 0u)
                << r.cause();
        }
    }
    // The thread's signal mask is as it was, and no SIGPIPE waits for it.
    sigset_t mask, pending;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(ExternalRunner, TimeOutAndCancelEndTheWholeProcessGroup) {
    ServiceLog log;
    ExternalRunner run(log);
    run.setAllowed({"sh"});
    // The program starts a helper and waits for it; the helper's number is
    // the first line of the output.
    const std::vector<std::string> args = {"-c", "sleep 30 & echo $!; wait"};
    const RunResult timed = run.run("sh", args, 400);
    EXPECT_TRUE(timed.timedOut);
    const pid_t helper = pid_t(std::stol(timed.output));
    for (int i = 0; i < 200 && !processGone(helper); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(processGone(helper)) << helper;

    std::atomic<bool> cancel{false};
    run.setCancel(&cancel);
    std::thread giveUp([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel = true;
    });
    const RunResult stopped = run.run("sh", args, 60000);
    giveUp.join();
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_FALSE(stopped.timedOut);
    EXPECT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.cause(), "stopped: the work was given up");
    const pid_t helper2 = pid_t(std::stol(stopped.output));
    for (int i = 0; i < 200 && !processGone(helper2); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(processGone(helper2)) << helper2;
}

TEST(BlockDevices, RemovableDisksFromSysfs) {
    TempDir tmp;
    const fs::path sys = tmp / "sys";
    struct Disk {
        const char* name;
        const char* device; // below sys/devices
        const char* removable;
        const char* size;
        const char* portRemovable; // written in the device's parent, "" for none
        const char* type;
    } disks[] = {
        {"sda", "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "0", "500118192", "",
         "0"},
        {"sdb", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "0",
         "15633408", "", "0"},
        {"sdc", "pci0000:00/0000:00:14.0/0000:01:00.0/card/host7/target7:0:0/7:0:0:0", "1", "0", "",
         "0"},
        {"sdd", "platform/bay/host8/target8:0:0/8:0:0:0", "0", "7821312", "removable", "0"},
        {"sr0", "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0", "1", "2097151", "", "5"},
        {"mmcblk0", "platform/mmc/mmc0/mmc0:0001", "0", "3842048", "", ""},
    };
    for (const Disk& d : disks) {
        const fs::path dev = sys / "devices" / d.device;
        fs::create_directories(dev);
        if (*d.type)
            put(dev / "type", d.type);
        if (*d.portRemovable)
            put(dev.parent_path().parent_path() / "removable", d.portRemovable);
        const fs::path blockDir = dev / "block" / d.name;
        put(blockDir / "removable", d.removable);
        put(blockDir / "size", d.size);
        fs::create_directory_symlink(dev, blockDir / "device");
        fs::create_directories(sys / "block");
        fs::create_directory_symlink(blockDir, sys / "block" / d.name);
    }
    put(sys / "devices" / disks[1].device / "vendor", "SanDisk ");
    put(sys / "devices" / disks[1].device / "model", "Cruzer Blade    ");
    put(sys / "devices" / disks[5].device / "name", "SD16G");
    // A partition of sdb and a loop disk without a device.
    fs::create_directories(sys / "block/sdb/sdb1");
    put(sys / "block/sdb/sdb1/partition", "1");
    fs::create_directories(sys / "block/loop0");
    put(sys / "block/loop0/size", "100");

    BlockDevices devices(sys.string(), "/dev", tmp / "mountinfo");
    std::vector<std::string> names;
    for (const BlockDisk& d : devices.disks())
        names.push_back(d.name + (d.removable() ? "+" : "-"));
    // sda fixed (SATA); sdb a USB disk that says fixed; sdc a card reader
    // without a card; sdd under a hot-pluggable port; sr0 and loop0 left out.
    EXPECT_EQ(names, (std::vector<std::string>{"mmcblk0-", "sda-", "sdb+", "sdc+", "sdd+"}));
    EXPECT_EQ(devices.partitionNodes("sdb"), std::vector<std::string>{"/dev/sdb1"});
    EXPECT_EQ(BlockDevices::partitionNode("/dev/sdb", 1), "/dev/sdb1");
    EXPECT_EQ(BlockDevices::partitionNode("/dev/mmcblk0", 1), "/dev/mmcblk0p1");
    EXPECT_EQ(BlockDevices::partitionNode("/dev/nvme0n1", 1), "/dev/nvme0n1p1");

    // The scan: fixed disks of the snapshot never show; a card reader
    // without a card shows as a row that is not valid.
    SysfsDrivesProbe probe(devices);
    probe.takeFixedDiskSnapshot();
    std::vector<std::string> rows;
    for (const DriveRow& r : probe.scan())
        rows.push_back(r.valid ? r.name + ':' + std::to_string(r.capacityMiB) : r.name + ":-");
    EXPECT_EQ(rows, (std::vector<std::string>{"sdb:7633", "sdc:-", "sdd:3819"}));
    EXPECT_EQ(probe.scan().front().model, "SanDisk Cruzer Blade");
    // The debug line names each disk offered and each one left out, with
    // the reason, once for as long as nothing changes.
    const auto lines = probe.log().take();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "drives: fixed disks left out: mmcblk0 sda");
    EXPECT_EQ(lines[1], "drives: scan offers sdb (7633 MiB, SanDisk Cruzer Blade) sdc (no medium, "
                        "no model name) sdd (3819 MiB, no model name); left out: loop0: virtual "
                        "disk, sr0: optical drive, mmcblk0: fixed disk when the window was made, "
                        "sda: fixed disk when the window was made");

    // Mount points, with the blanks mountinfo escapes.
    std::ofstream(tmp / "mountinfo")
        << "36 25 8:17 / /media/user/MY\\040STICK rw,nosuid - vfat /dev/sdb1 rw\n"
        << "37 25 8:1 / / rw - ext4 /dev/sda1 rw\n";
    EXPECT_EQ(devices.mountPoints("/dev/sdb1"), std::vector<std::string>{"/media/user/MY STICK"});
    EXPECT_TRUE(devices.mountPoints("/dev/sdb").empty());
}

TEST(DriveTools, VolumeNamesAsTheFlowComparesThem) {
    EXPECT_EQ(drive_tools::fileSystemNameOf("vfat", "FAT16"), "FAT");
    EXPECT_EQ(drive_tools::fileSystemNameOf("vfat", "FAT12"), "FAT");
    EXPECT_EQ(drive_tools::fileSystemNameOf("vfat", "FAT32"), "FAT32");
    EXPECT_EQ(drive_tools::fileSystemNameOf("exfat", "1.0"), "EXFAT");
    EXPECT_EQ(drive_tools::fileSystemNameOf("ntfs", ""), "NTFS");
    EXPECT_EQ(drive_tools::fileSystemNameOf("ext4", "1.0"), "EXT4");
}

TEST(DriveTools, EveryToolOfThePathIsCheckedBeforeItIsOffered) {
    TempDir tmp;
    ToolDrives tools(BlockDevices(tmp / "sys", "/dev", tmp / "mountinfo"));
    std::string cause;
    if (::geteuid() != 0) {
        EXPECT_FALSE(tools.canFormat(FileSystemKind::Fat32, cause));
        EXPECT_NE(cause.find("need root rights"), std::string::npos) << cause;
        return;
    }
    // A folder of the system's tools, one left out at a time.
    const std::vector<std::string> path = {"sfdisk", "mkfs.fat", "blkid", "mount",
                                           "umount", "sync",     "eject"};
    const std::vector<std::string> packages = {"fdisk", "dosfstools", "util-linux", "mount",
                                               "mount", "coreutils",  "eject"};
    for (size_t leftOut = 0; leftOut <= path.size(); ++leftOut) {
        const fs::path bin = tmp / "bin" + std::to_string(leftOut);
        fs::create_directories(bin);
        for (size_t i = 0; i < path.size(); ++i)
            if (i != leftOut)
                fs::create_symlink(tools.runner().locate(path[i]), bin / path[i]);
        ExternalRunner& runner = tools.runner();
        runner.setSearchFolders({bin.string()});
        const bool ok = tools.canFormat(FileSystemKind::Fat32, cause);
        if (leftOut == path.size()) {
            EXPECT_TRUE(ok) << cause;
        } else {
            EXPECT_FALSE(ok) << path[leftOut];
            EXPECT_EQ(cause, path[leftOut] + " is not installed (package " + packages[leftOut] +
                                 "): the stick cannot be prepared on this PC.");
        }
        runner.setSearchFolders({"/usr/sbin", "/usr/bin", "/sbin", "/bin"});
    }
}
