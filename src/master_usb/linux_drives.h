#pragma once
// The Linux drive services' shared scan, the tools that partition and format a
// stick, and the service that runs those tools as root.
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "master_usb/block_devices.h"
#include "master_usb/drive_service.h"
#include "master_usb/external_runner.h"

namespace dupmon {

// The PC's removable disks from sysfs: a disk that is removable, on the USB
// transport or below a hot-pluggable port, and that was not a fixed disk
// when the snapshot was taken. Both Linux drive services scan this way; the
// debug line of a scan names each disk offered and each one left out, with
// the reason.
class SysfsDrives : public DriveService {
public:
    explicit SysfsDrives(BlockDevices devices) : devices_(std::move(devices)) {}
    void takeFixedDiskSnapshot() override;
    std::vector<DriveRow> scan() override;
    BlockDevices& devices() { return devices_; }

protected:
    BlockDevices devices_;
    std::vector<std::string> fixed_;
    std::string lastScanLine_; // a scan's debug line is written when it changes
};

// Building blocks of the drive tools, usable on a disk or on an image file.
namespace drive_tools {
// The partition type byte that suits a file system: 0e FAT16, 0c FAT32, 07 exFAT and NTFS.
const char* partitionType(FileSystemKind fs);
// A new DOS table with one primary partition from 1 MiB on, of sizeMiB or
// what the disk holds (diskSectors in 512-byte units).
bool writePartitionTable(const ExternalRunner& run, const std::string& target, uint64_t sizeMiB,
                         FileSystemKind fs, uint64_t diskSectors, std::string& cause);
// A quick format. FAT takes the volume at offsetSectors within target when
// given (with its size in sectors), and writes hiddenSectors (where the
// partition starts on its disk) into its boot sector when given; the others
// take the whole target.
bool makeFileSystem(const ExternalRunner& run, const std::string& target, FileSystemKind fs,
                    const std::string& label, std::string& cause, uint64_t offsetSectors = 0,
                    uint64_t sizeSectors = 0, uint64_t hiddenSectors = 0);
// Writes a volume made in an image file onto a descriptor of its partition:
// the image from its start to the end of its last written part (the gaps as
// zeros, so that no older signature survives between them), then zeros over
// the partition's last 128 KiB. The data area, which mkfs never writes, is
// left as it is, as mkfs leaves it on a device. Ends early once `cancel` is set.
bool writeVolumeImage(const std::string& image, int fd, const std::atomic<bool>* cancel,
                      std::string& cause);
// The Debian package that brings a drive tool ("sfdisk" -> "fdisk").
const char* toolPackage(const std::string& tool);
// "mkfs.fat is not installed (package dosfstools)" for the first tool of
// the list that is missing; empty when all are there.
std::string missingTool(const ExternalRunner& run, const std::vector<std::string>& tools);
// The volume's label and file-system name ("FAT", "FAT32", "EXFAT", "NTFS",
// or the type in upper case); false when no file system is found.
bool probeVolume(const ExternalRunner& run, const std::string& target, std::string& label,
                 std::string& fileSystem, uint64_t offsetBytes = 0);
// The name a volume reports, from the type and version a prober gives.
std::string fileSystemNameOf(const std::string& type, const std::string& version);
bool readFirstSector(const std::string& node, uint8_t out[512], std::string& cause);
// syncfs on the folder's file system.
bool syncFolder(ServiceLog& log, const std::string& folder, std::string& cause);
} // namespace drive_tools

// The drives through the system tools, for a PC without udisks2 where the
// program runs as root: sfdisk, mkfs.fat, mkfs.exfat, mkfs.ntfs, blkid,
// mount, umount, sync and eject.
class ToolDrives final : public SysfsDrives {
public:
    explicit ToolDrives(BlockDevices devices = BlockDevices(),
                        std::string mountBase = "/run/dupmon-master");
    ExternalRunner& runner() { return runner_; }

    bool canFormat(FileSystemKind fs, std::string& cause) override;
    bool volumeInformation(const DriveRow& row, std::string& label,
                           std::string& fileSystem) override;
    bool readFirstSector(const DriveRow& row, uint8_t out[512], std::string& cause) override;
    bool partition(const DriveRow& row, uint64_t sizeMiB, FileSystemKind fs,
                   std::string& cause) override;
    bool format(const DriveRow& row, FileSystemKind fs, const std::string& label,
                std::string& cause) override;
    bool mountRoot(const DriveRow& row, std::string& root, std::string& cause) override;
    bool flush(const DriveRow& row, std::string& cause) override;
    bool release(const DriveRow& row, std::string& cause) override;
    bool eject(const DriveRow& row, std::string& cause) override;

private:
    bool unmountNode(const std::string& node, std::string& cause);
    std::string volumeNode(const DriveRow& row) const;

    ExternalRunner runner_;
    std::string mountBase_;
};

} // namespace dupmon
