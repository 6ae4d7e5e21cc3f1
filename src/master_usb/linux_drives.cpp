// The sysfs drive scan, the drive tools (sfdisk, mkfs, blkid, volume images),
// and the drive service that runs them as root where udisks2 is missing.
#include "master_usb/linux_drives.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "common/file_io.h"
#include "common/text.h"

namespace dupmon {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// SysfsDrives

void SysfsDrives::takeFixedDiskSnapshot() {
    fixed_.clear();
    std::string names;
    for (const BlockDisk& d : devices_.disks())
        if (!d.removable()) {
            fixed_.push_back(d.name);
            names += " " + d.name;
        }
    log_.add("drives: fixed disks left out:" + (names.empty() ? std::string(" none") : names));
}

std::vector<DriveRow> SysfsDrives::scan() {
    std::vector<DriveRow> rows;
    std::vector<std::string> leftOut;
    std::string offered;
    for (const BlockDisk& d : devices_.disks(&leftOut)) {
        if (std::find(fixed_.begin(), fixed_.end(), d.name) != fixed_.end()) {
            leftOut.push_back(d.name + ": fixed disk when the window was made");
            continue;
        }
        if (!d.removable()) {
            leftOut.push_back(d.name + ": not removable, not on USB, not hot-pluggable");
            continue;
        }
        DriveRow r;
        r.name = d.name;
        r.device = d.node;
        r.model = d.model;
        r.capacityMiB = d.sectors * 512 / 1048576;
        r.above2048 = r.capacityMiB > 2048;
        r.valid = d.sectors > 0;
        rows.push_back(r);
        offered += dupmon::format(
            " %s (%s, %s)", d.name.c_str(),
            r.valid ? dupmon::format("%llu MiB", (unsigned long long)r.capacityMiB).c_str()
                    : "no medium",
            d.model.empty() ? "no model name" : d.model.c_str());
    }
    std::string line = "drives: scan offers" + (offered.empty() ? std::string(" none") : offered);
    line += "; left out:";
    if (leftOut.empty())
        line += " none";
    for (size_t i = 0; i < leftOut.size(); ++i)
        line += (i ? ", " : " ") + leftOut[i];
    if (line != lastScanLine_) {
        lastScanLine_ = line;
        log_.add(line);
    }
    return rows;
}

// ---------------------------------------------------------------------------
// drive_tools

namespace drive_tools {

const char* partitionType(FileSystemKind fs) {
    switch (fs) {
    case FileSystemKind::Fat16:
        return "e";
    case FileSystemKind::Fat32:
        return "c";
    case FileSystemKind::ExFat:
    case FileSystemKind::Ntfs:
        return "7";
    }
    return "c";
}

bool writePartitionTable(const ExternalRunner& run, const std::string& target, uint64_t sizeMiB,
                         FileSystemKind fs, uint64_t diskSectors, std::string& cause) {
    constexpr uint64_t start = 2048; // 1 MiB, where every tool puts the first partition
    if (diskSectors <= start + 2048) {
        cause = "the drive is too small for a partition";
        return false;
    }
    uint64_t sectors = sizeMiB * 2048;
    if (sectors > diskSectors - start)
        sectors = diskSectors - start; // cut to what the drive holds
    const std::string script =
        format("label: dos\nstart=%llu, size=%llu, type=%s\n", (unsigned long long)start,
               (unsigned long long)sectors, partitionType(fs));
    const RunResult r = run.run(
        "sfdisk", {"--wipe", "always", "--wipe-partitions", "always", target}, 60000, script);
    if (!r.ok()) {
        cause = "sfdisk " + target + ": " + r.cause();
        return false;
    }
    return true;
}

bool makeFileSystem(const ExternalRunner& run, const std::string& target, FileSystemKind fs,
                    const std::string& label, std::string& cause, uint64_t offsetSectors,
                    uint64_t sizeSectors, uint64_t hiddenSectors) {
    struct stat st {};
    const bool file = ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    std::string program;
    std::vector<std::string> args;
    switch (fs) {
    case FileSystemKind::Fat16:
    case FileSystemKind::Fat32:
        program = "mkfs.fat";
        args = {"-F", fs == FileSystemKind::Fat16 ? "16" : "32"};
        if (!label.empty())
            args.insert(args.end(), {"-n", label});
        if (offsetSectors)
            args.insert(args.end(), {"--offset", std::to_string(offsetSectors)});
        if (hiddenSectors)
            args.insert(args.end(), {"-h", std::to_string(hiddenSectors)});
        args.push_back(target);
        if (sizeSectors)
            args.push_back(std::to_string(sizeSectors / 2)); // in KiB blocks
        break;
    case FileSystemKind::ExFat:
        program = "mkfs.exfat";
        if (!label.empty())
            args = {"-L", label};
        args.push_back(target);
        break;
    case FileSystemKind::Ntfs:
        program = "mkfs.ntfs";
        args = {"-Q"};
        if (!label.empty())
            args.insert(args.end(), {"-L", label});
        if (file)
            args.push_back("-F"); // an image file rather than a partition
        args.push_back(target);
        break;
    }
    const RunResult r = run.run(program, args, 300000);
    if (!r.ok()) {
        cause = program + " " + target + ": " + r.cause();
        return false;
    }
    return true;
}

std::string fileSystemNameOf(const std::string& type, const std::string& version) {
    if (type == "vfat")
        return version == "FAT32" ? "FAT32" : "FAT";
    std::string upper = type;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return upper;
}

bool probeVolume(const ExternalRunner& run, const std::string& target, std::string& label,
                 std::string& fileSystem, uint64_t offsetBytes) {
    std::vector<std::string> args = {"-p", "-o", "export"};
    if (offsetBytes)
        args.insert(args.end(), {"-O", std::to_string(offsetBytes)});
    args.push_back(target);
    const RunResult r = run.run("blkid", args, 20000);
    if (!r.ok())
        return false;
    std::map<std::string, std::string> v;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        // The export format escapes blanks and shell characters with a backslash.
        const std::string raw(cutLineEnd(line.substr(eq + 1)));
        std::string value;
        for (size_t i = 0; i < raw.size(); ++i)
            value += raw[i] == '\\' && i + 1 < raw.size() ? raw[++i] : raw[i];
        v[line.substr(0, eq)] = value;
    }
    if (v["TYPE"].empty() || v["USAGE"] == "other")
        return false;
    label = v["LABEL"];
    fileSystem = fileSystemNameOf(v["TYPE"], v["VERSION"]);
    return true;
}

bool writeVolumeImage(const std::string& image, int fd, const std::atomic<bool>* cancel,
                      std::string& cause) {
    const UniqueFd in(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) {
        cause = "open " + image + ": " + std::strerror(errno);
        return false;
    }
    // 1. Where the image's written parts end.
    off_t end = 0;
    for (off_t at = 0;;) {
        const off_t data = ::lseek(in.get(), at, SEEK_DATA);
        if (data < 0)
            break;
        const off_t hole = ::lseek(in.get(), data, SEEK_HOLE);
        if (hole <= data)
            break;
        end = hole;
        at = hole;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    bool ok = size > 0 && end <= size;
    if (!ok)
        cause = format("the partition (%lld bytes) cannot take the volume (%lld bytes)",
                       (long long)size, (long long)end);
    // 2. The image up to there, then 3. zeros over the partition's tail.
    std::vector<char> buffer(1 << 20);
    auto write = [&](off_t at, size_t n, bool fromImage) {
        if (fromImage) {
            const ssize_t got = ::pread(in.get(), buffer.data(), n, at);
            if (got != ssize_t(n)) {
                cause = "read " + image + ": " + (got < 0 ? std::strerror(errno) : "short read");
                return false;
            }
        }
        for (size_t done = 0; done < n;) {
            const ssize_t put = ::pwrite(fd, buffer.data() + done, n - done, at + off_t(done));
            if (put <= 0) {
                cause = std::string("write to the partition: ") +
                        (put < 0 ? std::strerror(errno) : "nothing written");
                return false;
            }
            done += size_t(put);
        }
        return true;
    };
    for (off_t at = 0; ok && at < end; at += off_t(buffer.size())) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            cause = "stopped: the work was given up";
            ok = false;
            break;
        }
        ok = write(at, size_t(std::min<off_t>(off_t(buffer.size()), end - at)), true);
    }
    if (ok) {
        const off_t tail = std::max(end, size - off_t(128 * 1024));
        std::fill(buffer.begin(), buffer.end(), 0);
        ok = tail >= size || write(tail, size_t(size - tail), false);
    }
    if (ok && ::fdatasync(fd) != 0) {
        cause = std::string("sync the partition: ") + std::strerror(errno);
        ok = false;
    }
    return ok;
}

const char* toolPackage(const std::string& tool) {
    static const std::map<std::string, const char*> packages = {
        {"sfdisk", "fdisk"},      {"mkfs.fat", "dosfstools"}, {"mkfs.exfat", "exfatprogs"},
        {"mkfs.ntfs", "ntfs-3g"}, {"blkid", "util-linux"},    {"mount", "mount"},
        {"umount", "mount"},      {"eject", "eject"},         {"sync", "coreutils"},
    };
    auto it = packages.find(tool);
    return it == packages.end() ? "?" : it->second;
}

std::string missingTool(const ExternalRunner& run, const std::vector<std::string>& tools) {
    for (const std::string& tool : tools)
        if (run.locate(tool).empty())
            return tool + " is not installed (package " + toolPackage(tool) + ")";
    return {};
}

bool readFirstSector(const std::string& node, uint8_t out[512], std::string& cause) {
    UniqueFd fd(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        cause = "open " + node + ": " + std::strerror(errno);
        return false;
    }
    const ssize_t n = ::pread(fd.get(), out, 512, 0);
    const int err = errno;
    fd.reset();
    if (n != 512) {
        cause = "read " + node + ": " + (n < 0 ? std::strerror(err) : "short read");
        return false;
    }
    return true;
}

bool syncFolder(ServiceLog& log, const std::string& folder, std::string& cause) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool ok = fd && ::syncfs(fd.get()) == 0;
    if (!ok)
        cause = "syncfs " + folder + ": " + std::strerror(errno);
    fd.reset();
    log.add("syncfs " + folder + " -> " + (ok ? std::string("ok") : cause));
    return ok;
}

} // namespace drive_tools

// ---------------------------------------------------------------------------
// ToolDrives

ToolDrives::ToolDrives(BlockDevices devices, std::string mountBase)
    : SysfsDrives(std::move(devices)), runner_(log_), mountBase_(std::move(mountBase)) {
    runner_.setCancel(&cancel_);
}

bool ToolDrives::canFormat(FileSystemKind fs, std::string& cause) {
    if (::geteuid() != 0) {
        cause = "The drives cannot be prepared: no udisks2 service answers on the system bus, "
                "and without it the drive tools need root rights.";
        return false;
    }
    const char* program = fs == FileSystemKind::ExFat  ? "mkfs.exfat"
                          : fs == FileSystemKind::Ntfs ? "mkfs.ntfs"
                                                       : "mkfs.fat";
    // Every tool of the path, before anything is asked of the machine.
    const std::string missing = drive_tools::missingTool(
        runner_, {"sfdisk", program, "blkid", "mount", "umount", "sync", "eject"});
    if (!missing.empty()) {
        cause = missing + ": the stick cannot be prepared on this PC.";
        return false;
    }
    return true;
}

std::string ToolDrives::volumeNode(const DriveRow& row) const {
    return BlockDevices::partitionNode(row.device, 1);
}

bool ToolDrives::unmountNode(const std::string& node, std::string& cause) {
    for (const std::string& mp : devices_.mountPoints(node)) {
        const RunResult r = runner_.run("umount", {mp}, 60000);
        if (!r.ok()) {
            cause = "umount " + mp + ": " + r.cause();
            return false;
        }
    }
    return true;
}

bool ToolDrives::volumeInformation(const DriveRow& row, std::string& label,
                                   std::string& fileSystem) {
    return drive_tools::probeVolume(runner_, volumeNode(row), label, fileSystem);
}

bool ToolDrives::readFirstSector(const DriveRow& row, uint8_t out[512], std::string& cause) {
    const bool ok = drive_tools::readFirstSector(row.device, out, cause);
    log_.add("read first sector of " + row.device + " -> " + (ok ? std::string("ok") : cause));
    return ok;
}

bool ToolDrives::partition(const DriveRow& row, uint64_t sizeMiB, FileSystemKind fs,
                           std::string& cause) {
    // 1. Nothing of the stick stays mounted (a desktop may have mounted it).
    for (const std::string& node : devices_.partitionNodes(row.name))
        if (!unmountNode(node, cause))
            return false;
    if (!unmountNode(row.device, cause))
        return false;
    // 2. The new table.
    uint64_t sectors = 0;
    for (const BlockDisk& d : devices_.disks())
        if (d.name == row.name)
            sectors = d.sectors;
    if (!drive_tools::writePartitionTable(runner_, row.device, sizeMiB, fs, sectors, cause))
        return false;
    // 3. Wait for the partition node.
    const std::string node = volumeNode(row);
    for (int i = 0; i < 100 && !cancelRequested(); ++i) {
        struct stat st {};
        if (::stat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    cause = node + " did not appear after the partition was made";
    return false;
}

bool ToolDrives::format(const DriveRow& row, FileSystemKind fs, const std::string& label,
                        std::string& cause) {
    const std::string node = volumeNode(row);
    if (!unmountNode(node, cause))
        return false;
    return drive_tools::makeFileSystem(runner_, node, fs, label, cause);
}

bool ToolDrives::mountRoot(const DriveRow& row, std::string& root, std::string& cause) {
    const std::string node = volumeNode(row);
    const auto mounted = devices_.mountPoints(node);
    if (!mounted.empty()) {
        root = mounted.front();
        return true;
    }
    std::string label, fileSystem;
    if (!drive_tools::probeVolume(runner_, node, label, fileSystem)) {
        cause = "no file system on " + node;
        return false;
    }
    const std::string type = fileSystem == "NTFS"    ? "ntfs-3g"
                             : fileSystem == "EXFAT" ? "exfat"
                                                     : "vfat";
    const std::string dir = mountBase_ + "/" + row.name;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        cause = "cannot make " + dir + ": " + ec.message();
        return false;
    }
    const RunResult r = runner_.run("mount", {"-t", type, node, dir}, 60000);
    if (!r.ok()) {
        cause = "mount " + node + ": " + r.cause();
        return false;
    }
    root = dir;
    return true;
}

bool ToolDrives::flush(const DriveRow& row, std::string& cause) {
    const auto mounted = devices_.mountPoints(volumeNode(row));
    if (mounted.empty()) {
        cause = "the volume is not mounted";
        return false;
    }
    return drive_tools::syncFolder(log_, mounted.front(), cause);
}

bool ToolDrives::release(const DriveRow& row, std::string& cause) {
    return unmountNode(volumeNode(row), cause);
}

bool ToolDrives::eject(const DriveRow& row, std::string& cause) {
    for (const std::string& node : devices_.partitionNodes(row.name))
        if (!unmountNode(node, cause))
            return false;
    runner_.run("sync", {}, 120000);
    const RunResult r = runner_.run("eject", {row.device}, 60000);
    if (!r.ok()) {
        cause = "eject " + row.device + ": " + r.cause();
        return false;
    }
    return true;
}

} // namespace dupmon
