#pragma once
// The drive service for an ordinary desktop user: every change to a stick
// goes through udisks2 on the system bus.
#include <QDBusConnection>
#include <QString>
#include <QVariantMap>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "master_usb/linux_drives.h"

class QDBusMessage;

namespace dupmon {

// The drives through udisks2 on the system bus, so that an ordinary desktop
// user can prepare a stick (reading its first sector asks for the
// administrator once, as udisks2's rules say). The disks are found in sysfs;
// every change is a udisks2 call, logged with its arguments and result.
//
// FAT and FAT32 are what was asked for on every udisks2: before 2.10 udisks2
// takes no mkfs options and mkfs.fat picks FAT16 or FAT32 by size, so the
// volume is made here, in an image file, and written to the partition
// through a descriptor udisks2 opens for this user.
class UDisks2Drives final : public SysfsDrives {
public:
    UDisks2Drives(QDBusConnection bus, BlockDevices devices = BlockDevices());
    // udisks2 answers (or can be started) on this bus.
    static bool available(QDBusConnection bus);
    // The udisks2 object of a block device node: /org/freedesktop/UDisks2/block_devices/sdb.
    static QString blockObject(const std::string& node);

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
    // One method call, logged; false with the D-Bus error as cause.
    bool call(const QString& path, const QString& interface, const QString& method,
              const QVariantList& args, int timeoutMs, QDBusMessage& reply, std::string& cause);
    QVariant property(const QString& path, const QString& interface, const QString& name);
    bool formatThroughDescriptor(const DriveRow& row, const QString& part, FileSystemKind fs,
                                 const std::string& label, std::string& cause);
    std::vector<std::string> mountPointsOf(const QString& path);
    bool unmount(const QString& path, std::string& cause);
    QString volumeObject(const DriveRow& row);
    bool versionAtLeast(int major, int minor);

    QDBusConnection bus_;
    ExternalRunner runner_; // mkfs.fat for the FAT volumes made here
    std::mutex partitionsMutex_;
    std::map<std::string, QString> partitions_; // drive name -> partition object
};

// The drive service of this PC: udisks2 where the system bus has it, the
// system tools otherwise (which need root rights).
std::unique_ptr<DriveService> makePcDrives();

} // namespace dupmon
