// The drive service over udisks2's D-Bus calls: volumes, partitions, formats
// (FAT through an image file before udisks2 2.10), mounts and ejects, each
// call logged.
#include "master_usb/udisks2_drives.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <thread>
#include <unistd.h>

#include "common/file_io.h"
#include "common/text.h"

namespace dupmon {

namespace {

const QString kService = "org.freedesktop.UDisks2";
const QString kBlock = "org.freedesktop.UDisks2.Block";
const QString kFilesystem = "org.freedesktop.UDisks2.Filesystem";
const QString kPartitionTable = "org.freedesktop.UDisks2.PartitionTable";
const QString kDrive = "org.freedesktop.UDisks2.Drive";
const QString kManager = "org.freedesktop.UDisks2.Manager";
const QString kProperties = "org.freedesktop.DBus.Properties";
constexpr int kQuick = 25000;
constexpr int kSlow = 300000;

std::string text(const QVariant& v);

std::string text(const QVariantMap& m) {
    std::string s = "{";
    for (auto it = m.begin(); it != m.end(); ++it) {
        if (s.size() > 1)
            s += ", ";
        s += it.key().toStdString() + ": " + text(it.value());
    }
    return s + "}";
}

std::string text(const QVariant& v) {
    if (v.canConvert<QDBusObjectPath>() && v.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return v.value<QDBusObjectPath>().path().toStdString();
    if (v.metaType() == QMetaType::fromType<QVariantMap>())
        return text(v.toMap());
    if (v.metaType() == QMetaType::fromType<QStringList>())
        return "[" + v.toStringList().join(", ").toStdString() + "]";
    if (v.metaType() == QMetaType::fromType<QDBusVariant>())
        return text(v.value<QDBusVariant>().variant());
    if (v.metaType() == QMetaType::fromType<QString>())
        return "'" + v.toString().toStdString() + "'";
    if (v.metaType() == QMetaType::fromType<QDBusArgument>())
        return "<" + v.value<QDBusArgument>().currentSignature().toStdString() + ">";
    return v.toString().toStdString();
}

// An "aay" of mount points, each a NUL-terminated byte string.
std::vector<std::string> byteStrings(const QVariant& v) {
    std::vector<std::string> out;
    QList<QByteArray> list;
    if (v.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument arg = v.value<QDBusArgument>();
        arg >> list;
    } else {
        list = v.value<QList<QByteArray>>();
    }
    for (QByteArray b : list) {
        while (!b.isEmpty() && b.back() == '\0')
            b.chop(1);
        out.emplace_back(b.constData(), size_t(b.size()));
    }
    return out;
}

} // namespace

UDisks2Drives::UDisks2Drives(QDBusConnection bus, BlockDevices devices)
    : SysfsDrives(std::move(devices)), bus_(std::move(bus)), runner_(log_) {
    qDBusRegisterMetaType<QList<QByteArray>>();
    runner_.setCancel(&cancel_);
}

bool UDisks2Drives::available(QDBusConnection bus) {
    if (!bus.isConnected() || !bus.interface())
        return false;
    if (bus.interface()->isServiceRegistered(kService).value())
        return true;
    const QStringList activatable = bus.interface()->activatableServiceNames().value();
    return activatable.contains(kService);
}

QString UDisks2Drives::blockObject(const std::string& node) {
    // udisks2 names its objects by the kernel name, every character outside
    // A-Z, a-z and 0-9 written as "_" and two hex digits.
    const std::string name = node.substr(node.rfind('/') + 1);
    QString path = "/org/freedesktop/UDisks2/block_devices/";
    for (unsigned char c : name) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            path += QChar(c);
        else
            path += QString::asprintf("_%02x", c);
    }
    return path;
}

bool UDisks2Drives::call(const QString& path, const QString& interface, const QString& method,
                         const QVariantList& args, int timeoutMs, QDBusMessage& reply,
                         std::string& cause) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, path, interface, method);
    m.setArguments(args);
    // Waited for here, on the drive worker, in short looks: a flow that
    // gives up does not wait for udisks2 to finish.
    QDBusPendingCall pending = bus_.asyncCall(m, timeoutMs);
    while (!pending.isFinished() && !cancelRequested())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!pending.isFinished()) {
        cause = "stopped: the work was given up";
        log_.add("dbus: " + interface.mid(interface.lastIndexOf('.') + 1).toStdString() + "." +
                 method.toStdString() + " " + path.toStdString() + " -> " + cause);
        reply = QDBusMessage::createError("org.freedesktop.DBus.Error.NoReply", "given up");
        return false;
    }
    reply = pending.reply();
    std::string line = "dbus: " + interface.mid(interface.lastIndexOf('.') + 1).toStdString() +
                       "." + method.toStdString() + " " + path.toStdString() + " (";
    for (int i = 0; i < args.size(); ++i)
        line += (i ? ", " : "") + text(args[i]);
    line += ") -> ";
    if (reply.type() == QDBusMessage::ErrorMessage) {
        cause = reply.errorName().toStdString() + ": " + reply.errorMessage().toStdString();
        log_.add(line + cause);
        return false;
    }
    std::string result;
    for (const QVariant& a : reply.arguments())
        result += (result.empty() ? "" : ", ") + text(a);
    log_.add(line + "ok" + (result.empty() ? "" : " " + result));
    return true;
}

QVariant UDisks2Drives::property(const QString& path, const QString& interface,
                                 const QString& name) {
    QDBusMessage reply;
    std::string cause;
    if (!call(path, kProperties, "Get", {interface, name}, kQuick, reply, cause) ||
        reply.arguments().isEmpty())
        return {};
    return reply.arguments().front().value<QDBusVariant>().variant();
}

std::vector<std::string> UDisks2Drives::mountPointsOf(const QString& path) {
    return byteStrings(property(path, kFilesystem, "MountPoints"));
}

bool UDisks2Drives::unmount(const QString& path, std::string& cause) {
    if (mountPointsOf(path).empty())
        return true;
    QDBusMessage reply;
    return call(path, kFilesystem, "Unmount", {QVariantMap{}}, kQuick * 2, reply, cause);
}

bool UDisks2Drives::versionAtLeast(int major, int minor) {
    const QStringList v =
        property("/org/freedesktop/UDisks2/Manager", kManager, "Version").toString().split('.');
    if (v.size() < 2)
        return false;
    const int a = v[0].toInt(), b = v[1].toInt();
    return a > major || (a == major && b >= minor);
}

QString UDisks2Drives::volumeObject(const DriveRow& row) {
    {
        std::lock_guard<std::mutex> lock(partitionsMutex_);
        auto it = partitions_.find(row.name);
        if (it != partitions_.end())
            return it->second;
    }
    return blockObject(BlockDevices::partitionNode(row.device, 1));
}

bool UDisks2Drives::canFormat(FileSystemKind fs, std::string& cause) {
    const bool fat = fs == FileSystemKind::Fat16 || fs == FileSystemKind::Fat32;
    if (fat && !versionAtLeast(2, 10)) {
        // Made here (see the class): mkfs.fat must be on this PC.
        const std::string missing = drive_tools::missingTool(runner_, {"mkfs.fat"});
        if (!missing.empty()) {
            cause = missing + ": the stick cannot be formatted on this PC.";
            return false;
        }
        return true;
    }
    // udisks2 runs its own mkfs: it says whether it has it.
    const QString type = fat ? "vfat" : fs == FileSystemKind::ExFat ? "exfat" : "ntfs";
    QDBusMessage reply;
    std::string error;
    if (!call("/org/freedesktop/UDisks2/Manager", kManager, "CanFormat", {type}, kQuick, reply,
              error) ||
        reply.arguments().isEmpty())
        return true; // an udisks2 that cannot be asked: its format will say
    bool available = true;
    QString tool;
    const QDBusArgument answer = reply.arguments().front().value<QDBusArgument>();
    answer.beginStructure();
    answer >> available >> tool;
    answer.endStructure();
    if (available)
        return true;
    cause = dupmon::format(
        "udisks2 cannot make %s volumes on this PC: %s is not installed (package %s).",
        type.toStdString().c_str(), tool.toStdString().c_str(),
        drive_tools::toolPackage(tool == "mkfs.vfat" ? "mkfs.fat" : tool.toStdString()));
    return false;
}

bool UDisks2Drives::volumeInformation(const DriveRow& row, std::string& label,
                                      std::string& fileSystem) {
    QDBusMessage reply;
    std::string cause;
    if (!call(volumeObject(row), kProperties, "GetAll", {kBlock}, kQuick, reply, cause) ||
        reply.arguments().isEmpty())
        return false;
    QVariantMap props;
    const QVariant v = reply.arguments().front();
    if (v.metaType() == QMetaType::fromType<QDBusArgument>())
        v.value<QDBusArgument>() >> props;
    else
        props = v.toMap();
    if (props.value("IdUsage").toString() != "filesystem")
        return false;
    label = props.value("IdLabel").toString().toStdString();
    fileSystem = drive_tools::fileSystemNameOf(props.value("IdType").toString().toStdString(),
                                               props.value("IdVersion").toString().toStdString());
    return true;
}

bool UDisks2Drives::readFirstSector(const DriveRow& row, uint8_t out[512], std::string& cause) {
    const QString disk = blockObject(row.device);
    QDBusMessage reply;
    bool ok = call(disk, kBlock, "OpenDevice", {QString("r"), QVariantMap{}}, kSlow, reply, cause);
    if (!ok && reply.errorName() == "org.freedesktop.DBus.Error.UnknownMethod")
        ok = call(disk, kBlock, "OpenForBackup", {QVariantMap{}}, kSlow, reply, cause);
    if (!ok || reply.arguments().isEmpty()) {
        if (ok)
            cause = "no file descriptor in the answer";
        return false;
    }
    const QDBusUnixFileDescriptor fd = reply.arguments().front().value<QDBusUnixFileDescriptor>();
    if (!fd.isValid()) {
        cause = "no file descriptor in the answer";
        return false;
    }
    const ssize_t n = ::pread(fd.fileDescriptor(), out, 512, 0);
    if (n != 512) {
        cause = "read " + row.device + ": " + (n < 0 ? std::strerror(errno) : "short read");
        return false;
    }
    return true;
}

bool UDisks2Drives::partition(const DriveRow& row, uint64_t sizeMiB, FileSystemKind fs,
                              std::string& cause) {
    // 1. Nothing of the stick stays mounted (a desktop may have mounted it).
    for (const std::string& node : devices_.partitionNodes(row.name))
        if (!unmount(blockObject(node), cause))
            return false;
    // 2. A new, empty DOS table.
    const QString disk = blockObject(row.device);
    QDBusMessage reply;
    if (!call(disk, kBlock, "Format", {QString("dos"), QVariantMap{}}, kSlow, reply, cause))
        return false;
    // 3. One primary partition from 1 MiB on, cut to what the drive holds.
    uint64_t bytes = sizeMiB * 1048576;
    const uint64_t capacity = row.capacityMiB * 1048576;
    if (capacity > 2 * 1048576 && bytes > capacity - 1048576)
        bytes = capacity - 1048576;
    const QString type = QString("0x0") + drive_tools::partitionType(fs);
    if (!call(disk, kPartitionTable, "CreatePartition",
              {QVariant::fromValue(qulonglong(1048576)), QVariant::fromValue(qulonglong(bytes)),
               type, QString(), QVariantMap{}},
              kSlow, reply, cause))
        return false;
    if (reply.arguments().isEmpty()) {
        cause = "CreatePartition gave no partition";
        return false;
    }
    const QString created = reply.arguments().front().value<QDBusObjectPath>().path();
    std::lock_guard<std::mutex> lock(partitionsMutex_);
    partitions_[row.name] = created;
    return true;
}

bool UDisks2Drives::format(const DriveRow& row, FileSystemKind fs, const std::string& label,
                           std::string& cause) {
    const QString part = volumeObject(row);
    // A desktop may have mounted the fresh partition: raw work needs it unmounted.
    if (!unmount(part, cause))
        return false;
    QVariantMap options;
    if (!label.empty())
        options["label"] = QString::fromStdString(label);
    QString type = "vfat";
    if (fs == FileSystemKind::ExFat)
        type = "exfat";
    else if (fs == FileSystemKind::Ntfs)
        type = "ntfs";
    else if (versionAtLeast(2, 10))
        options["mkfs-args"] = QStringList{"-F", fs == FileSystemKind::Fat16 ? "16" : "32"};
    else
        return formatThroughDescriptor(row, part, fs, label, cause);
    QDBusMessage reply;
    return call(part, kBlock, "Format", {type, options}, kSlow, reply, cause);
}

bool UDisks2Drives::formatThroughDescriptor(const DriveRow& row, const QString& part,
                                            FileSystemKind fs, const std::string& label,
                                            std::string& cause) {
    (void)row;
    // 1. The partition, opened for this user by udisks2 (asking for the
    // administrator as its rules say); an udisks2 before 2.7.3 opens it
    // for a restore.
    QDBusMessage reply;
    bool ok = call(part, kBlock, "OpenDevice", {QString("rw"), QVariantMap{}}, kSlow, reply, cause);
    if (!ok && reply.errorName() == "org.freedesktop.DBus.Error.UnknownMethod")
        ok = call(part, kBlock, "OpenForRestore", {QVariantMap{}}, kSlow, reply, cause);
    if (!ok)
        return false;
    const QDBusUnixFileDescriptor fd =
        reply.arguments().isEmpty() ? QDBusUnixFileDescriptor()
                                    : reply.arguments().front().value<QDBusUnixFileDescriptor>();
    if (!fd.isValid()) {
        cause = "no file descriptor in the answer";
        return false;
    }
    const off_t size = ::lseek(fd.fileDescriptor(), 0, SEEK_END);
    if (size <= 0) {
        cause = "the partition's size cannot be read";
        return false;
    }
    // 2. The volume, made in an image file of the partition's size (sparse:
    // it takes the space of the FAT tables only). The boot sector says where
    // the partition starts, as mkfs.fat writes it on a device.
    std::string folder = (std::filesystem::temp_directory_path() / "dupmon-fat-XXXXXX").string();
    if (!::mkdtemp(folder.data())) {
        cause = "no temporary folder for the volume: " + std::string(std::strerror(errno));
        return false;
    }
    const std::string image = folder + "/volume.img";
    {
        const UniqueFd made(::open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        ok = made && ::ftruncate(made.get(), size) == 0;
        if (!ok)
            cause = "the volume's image cannot be made: " + std::string(std::strerror(errno));
    }
    const qulonglong offset =
        property(part, "org.freedesktop.UDisks2.Partition", "Offset").toULongLong();
    ok = ok && drive_tools::makeFileSystem(runner_, image, fs, label, cause, 0, 0,
                                           offset ? offset / 512 : 2048);
    // 3. Onto the partition, through udisks2's descriptor.
    ok = ok && drive_tools::writeVolumeImage(image, fd.fileDescriptor(), &cancel_, cause);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    log_.add(dupmon::format("wrote the %s volume made in %s to %s -> %s",
                            fs == FileSystemKind::Fat16 ? "FAT" : "FAT32", image.c_str(),
                            part.toStdString().c_str(), ok ? "ok" : cause.c_str()));
    if (!ok)
        return false;
    // 4. udisks2 reads the new volume (a close after writing also makes
    // udev look again; this is for a system where it does not).
    std::string rescan;
    call(part, kBlock, "Rescan", {QVariantMap{}}, kQuick, reply, rescan);
    return true;
}

bool UDisks2Drives::mountRoot(const DriveRow& row, std::string& root, std::string& cause) {
    const QString part = volumeObject(row);
    const auto mounted = mountPointsOf(part);
    if (!mounted.empty()) {
        root = mounted.front();
        return true;
    }
    QDBusMessage reply;
    if (!call(part, kFilesystem, "Mount", {QVariantMap{}}, kSlow, reply, cause))
        return false;
    if (reply.arguments().isEmpty()) {
        cause = "Mount gave no folder";
        return false;
    }
    root = reply.arguments().front().toString().toStdString();
    return true;
}

bool UDisks2Drives::flush(const DriveRow& row, std::string& cause) {
    const auto mounted = mountPointsOf(volumeObject(row));
    if (mounted.empty()) {
        cause = "the volume is not mounted";
        return false;
    }
    return drive_tools::syncFolder(log_, mounted.front(), cause);
}

bool UDisks2Drives::release(const DriveRow& row, std::string& cause) {
    return unmount(volumeObject(row), cause);
}

bool UDisks2Drives::eject(const DriveRow& row, std::string& cause) {
    for (const std::string& node : devices_.partitionNodes(row.name))
        if (!unmount(blockObject(node), cause))
            return false;
    const QString drive =
        property(blockObject(row.device), kBlock, "Drive").value<QDBusObjectPath>().path();
    if (drive.isEmpty() || drive == "/") {
        cause = "udisks2 knows no drive for " + row.device;
        return false;
    }
    QDBusMessage reply;
    if (call(drive, kDrive, "PowerOff", {QVariantMap{}}, kSlow, reply, cause))
        return true;
    // Not every bus can cut the power: eject the medium instead.
    return call(drive, kDrive, "Eject", {QVariantMap{}}, kSlow, reply, cause);
}

std::unique_ptr<DriveService> makePcDrives() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (UDisks2Drives::available(bus))
        return std::make_unique<UDisks2Drives>(bus);
    return std::make_unique<ToolDrives>();
}

} // namespace dupmon
