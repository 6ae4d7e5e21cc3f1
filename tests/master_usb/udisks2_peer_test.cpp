// The udisks2 drive service against a small udisks2 of our own on a private
// bus (dbus-daemon started for the test): which methods it calls, on which
// objects, in which order, with which arguments, and what it does when a
// call fails.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "master_usb/external_runner.h"
#include "master_usb/udisks2_drives.h"
#include "shell/shell_test_files.h"

using namespace dupmon;
using shelltest::TempDir;
namespace fs = std::filesystem;

namespace {

const QString kRoot = "/org/freedesktop/UDisks2";
const QString kDisk = "/org/freedesktop/UDisks2/block_devices/sdb";
const QString kPart = "/org/freedesktop/UDisks2/block_devices/sdb1";
const QString kDriveObject = "/org/freedesktop/UDisks2/drives/SIM_Stick_0001";

std::string shortName(const QString& iface) {
    return iface.mid(iface.lastIndexOf('.') + 1).toStdString();
}

std::string argText(const QVariant& v) {
    if (v.metaType() == QMetaType::fromType<QString>())
        return v.toString().toStdString();
    if (v.metaType() == QMetaType::fromType<QDBusArgument>()) {
        QVariantMap m;
        v.value<QDBusArgument>() >> m;
        std::string s = "{";
        for (auto it = m.begin(); it != m.end(); ++it) {
            QVariant inner = it.value();
            std::string value = inner.metaType() == QMetaType::fromType<QStringList>()
                                    ? inner.toStringList().join(" ").toStdString()
                                    : inner.toString().toStdString();
            s += (s.size() > 1 ? "," : "") + it.key().toStdString() + "=" + value;
        }
        return s + "}";
    }
    return v.toString().toStdString();
}

// A udisks2 that knows one USB stick, sdb, with one old partition mounted by
// the desktop. It records every call as "Interface.Method object args...".
class FakeUDisks : public QDBusVirtualObject {
public:
    std::vector<std::string> calls;
    std::map<std::string, QString> errors; // "Interface.Method" -> error name
    QString version = "2.9.4";
    std::map<QString, QList<QByteArray>> mounts{{kPart, {QByteArray("/media/user/OLD\0", 16)}}};
    std::map<QString, QVariantMap> blocks; // Block properties after a format
    std::string sectorFile;
    // What the stick's partition holds: opened for writing with "rw", and
    // probed with blkid, as udisks2 probes a device, when asked to rescan.
    std::string partitionFile;
    // Manager.CanFormat's answers: type -> the mkfs it misses (empty: it has it).
    std::map<QString, QString> missingMkfs;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
        const std::string key = shortName(m.interface()) + "." + m.member().toStdString();
        std::string line = key + " " + m.path().toStdString();
        for (const QVariant& a : m.arguments())
            line += " " + argText(a);
        calls.push_back(line);
        auto e = errors.find(key);
        if (e != errors.end()) {
            c.send(m.createErrorReply(e->second, "refused by the test"));
            return true;
        }
        const QVariantList a = m.arguments();
        QVariantList out;
        if (key == "Properties.Get") {
            const QString iface = a.value(0).toString(), name = a.value(1).toString();
            QVariant v;
            if (name == "Version")
                v = version;
            else if (name == "MountPoints")
                v = QVariant::fromValue(mounts[m.path()]);
            else if (name == "Drive")
                v = QVariant::fromValue(QDBusObjectPath(kDriveObject));
            else if (name == "Offset")
                v = QVariant::fromValue(qulonglong(1048576));
            out << QVariant::fromValue(QDBusVariant(v));
        } else if (key == "Properties.GetAll") {
            out << blocks[m.path()];
        } else if (key == "Block.Format") {
            if (a.value(0).toString() != "dos") {
                QVariantMap opts;
                a.value(1).value<QDBusArgument>() >> opts;
                const bool fat16 = opts.value("mkfs-args").toStringList().contains("16");
                const QString type = a.value(0).toString();
                blocks[m.path()] = {
                    {"IdUsage", "filesystem"},
                    {"IdType", type},
                    {"IdVersion", type == "vfat" ? (fat16 ? "FAT16" : "FAT32") : QString("1.0")},
                    {"IdLabel", opts.value("label").toString()}};
            }
        } else if (key == "PartitionTable.CreatePartition") {
            out << QVariant::fromValue(QDBusObjectPath(m.path() + "1"));
        } else if (key == "Filesystem.Mount") {
            const QString where = "/media/test/" + blocks[m.path()].value("IdLabel").toString();
            mounts[m.path()] = {where.toUtf8() + QByteArray(1, '\0')};
            out << where;
        } else if (key == "Filesystem.Unmount") {
            mounts[m.path()].clear();
        } else if (key == "Block.OpenDevice" && a.value(0).toString() == "rw") {
            const int fd = ::open(partitionFile.c_str(), O_RDWR | O_CLOEXEC);
            out << QVariant::fromValue(QDBusUnixFileDescriptor(fd));
            ::close(fd);
        } else if (key == "Block.OpenDevice" || key == "Block.OpenForBackup") {
            const int fd = ::open(sectorFile.c_str(), O_RDONLY | O_CLOEXEC);
            out << QVariant::fromValue(QDBusUnixFileDescriptor(fd));
            ::close(fd);
        } else if (key == "Block.Rescan") {
            blocks[m.path()] = probe(partitionFile);
        } else if (key == "Manager.CanFormat") {
            const QString missing = missingMkfs[a.value(0).toString()];
            QDBusArgument answer;
            answer.beginStructure();
            answer << missing.isEmpty() << missing;
            answer.endStructure();
            out << QVariant::fromValue(answer);
        }
        QDBusMessage reply = m.createReply(out);
        c.send(reply);
        return true;
    }
    // The Block properties udisks2 would read from a device: blkid's.
    static QVariantMap probe(const std::string& path) {
        ServiceLog log;
        ExternalRunner run(log);
        run.setAllowed({"blkid"});
        const RunResult r = run.run("blkid", {"-p", "-o", "export", path}, 20000);
        QVariantMap props;
        std::istringstream in(r.output);
        for (std::string line; std::getline(in, line);) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            const QString value = QString::fromStdString(line.substr(eq + 1));
            const std::string k = line.substr(0, eq);
            if (k == "TYPE")
                props["IdType"] = value;
            else if (k == "VERSION")
                props["IdVersion"] = value;
            else if (k == "LABEL")
                props["IdLabel"] = value;
            else if (k == "USAGE")
                props["IdUsage"] = value;
        }
        return props;
    }
    // The calls after `from`, for one step at a time.
    std::vector<std::string> since(size_t from) const {
        return std::vector<std::string>(calls.begin() + long(from), calls.end());
    }
};

class UDisks2PeerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "udisks2_peer_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
        qDBusRegisterMetaType<QList<QByteArray>>();
    }

    void SetUp() override {
        // A private bus.
        const std::string socket = tmp / "bus";
        std::ofstream(tmp / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << socket
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        const std::string config = "--config-file=" + tmp / "bus.conf";
        // The daemon prints its address once it accepts connections (the
        // socket file alone appears a moment before it listens).
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const std::string printAddress = "--print-address=" + std::to_string(ready[1]);
        daemon = ::fork();
        if (daemon == 0) {
            ::close(ready[0]);
            ::execl("/usr/bin/dbus-daemon", "dbus-daemon", config.c_str(), "--nofork",
                    printAddress.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        std::string printed;
        pollfd p{ready[0], POLLIN, 0};
        char ch = 0;
        while (printed.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 &&
               ::read(ready[0], &ch, 1) == 1)
            printed += ch;
        ::close(ready[0]);
        ASSERT_NE(printed.find('\n'), std::string::npos) << "dbus-daemon did not start";
        address = QString::fromStdString("unix:path=" + socket);
        server = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, "fake-udisks2"));
        ASSERT_TRUE(server->isConnected());
        ASSERT_TRUE(server->registerService("org.freedesktop.UDisks2"));
        ASSERT_TRUE(server->registerVirtualObject(kRoot, &fake, QDBusConnection::SubPath));
        client =
            std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "client"));
        ASSERT_TRUE(client->isConnected());

        // sysfs: one USB stick with one old partition.
        const fs::path sys = tmp / "sys";
        const fs::path dev = sys / "devices/pci0000:00/usb2/2-1/2-1:1.0/host6/6:0:0:0";
        fs::create_directories(dev / "block/sdb/sdb1");
        std::ofstream(dev / "block/sdb/size") << "7821312\n";
        std::ofstream(dev / "block/sdb/removable") << "0\n";
        std::ofstream(dev / "block/sdb/sdb1/partition") << "1\n";
        fs::create_directory_symlink(dev, dev / "block/sdb/device");
        fs::create_directories(sys / "block");
        fs::create_directory_symlink(dev / "block/sdb", sys / "block/sdb");
        service = std::make_unique<UDisks2Drives>(
            *client, BlockDevices(sys.string(), "/dev", tmp / "no-mountinfo"));

        // The first sector the stick's device gives.
        fake.sectorFile = tmp / "sector";
        std::vector<char> sector(512, 0);
        sector[128] = 0x12, sector[129] = 0x34, sector[130] = 0x56, sector[131] = 0x78;
        std::ofstream(fake.sectorFile, std::ios::binary).write(sector.data(), 512);
        fake.partitionFile = tmp / "sdb1.img";
        std::ofstream(fake.partitionFile, std::ios::binary).close();
        fs::resize_file(fake.partitionFile, 64 * 1048576);
        row.name = "sdb";
        row.device = "/dev/sdb";
        row.capacityMiB = 3819;
        row.valid = true;
    }

    void TearDown() override {
        service.reset();
        client.reset();
        server.reset();
        QDBusConnection::disconnectFromBus("client");
        QDBusConnection::disconnectFromBus("fake-udisks2");
        if (daemon > 0) {
            ::kill(daemon, SIGTERM);
            ::waitpid(daemon, nullptr, 0);
        }
    }

    // The service blocks on its calls: it runs on a helper thread, as under
    // the download flow, while this thread lets the fake udisks2 answer.
    template <class F> auto onHelper(F work) {
        auto result = std::async(std::launch::async, work);
        while (result.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
            QCoreApplication::processEvents();
        return result.get();
    }

    TempDir tmp;
    pid_t daemon = -1;
    QString address;
    FakeUDisks fake;
    std::unique_ptr<QDBusConnection> server, client;
    std::unique_ptr<UDisks2Drives> service;
    DriveRow row;
};

} // namespace

TEST_F(UDisks2PeerTest, PreparesAStickCallByCall) {
    EXPECT_TRUE(onHelper([&] { return UDisks2Drives::available(*client); }));
    std::string cause;

    // The scan finds the USB stick from sysfs.
    service->takeFixedDiskSnapshot();
    const auto rows = service->scan();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].name, "sdb");
    EXPECT_EQ(rows[0].capacityMiB, 3819u);

    // The first sector, through a descriptor udisks2 opens.
    uint8_t sector[512] = {};
    ASSERT_TRUE(onHelper([&] { return service->readFirstSector(row, sector, cause); })) << cause;
    EXPECT_EQ(sector[128], 0x12);
    EXPECT_EQ(sector[131], 0x78);
    EXPECT_EQ(fake.calls.back(), "Block.OpenDevice " + kDisk.toStdString() + " r {}");

    // Partition: the desktop's mount goes first, then a new table and one partition.
    size_t mark = fake.calls.size();
    ASSERT_TRUE(onHelper([&] {
        return service->partition(row, 3809, FileSystemKind::Fat32, cause);
    })) << cause;
    const std::string part = kPart.toStdString(), disk = kDisk.toStdString();
    EXPECT_EQ(fake.since(mark),
              (std::vector<std::string>{
                  "Properties.Get " + part + " org.freedesktop.UDisks2.Filesystem MountPoints",
                  "Filesystem.Unmount " + part + " {}",
                  "Block.Format " + disk + " dos {}",
                  "PartitionTable.CreatePartition " + disk + " 1048576 3994025984 0x0c  {}",
              }));

    // Format with the label; udisks2 2.9 takes no mkfs arguments, so the
    // FAT32 volume is made here and written through udisks2's descriptor.
    mark = fake.calls.size();
    ASSERT_TRUE(onHelper([&] {
        return service->format(row, FileSystemKind::Fat32, "MASTER", cause);
    })) << cause;
    EXPECT_EQ(fake.since(mark),
              (std::vector<std::string>{
                  "Properties.Get " + part + " org.freedesktop.UDisks2.Filesystem MountPoints",
                  "Properties.Get /org/freedesktop/UDisks2/Manager "
                  "org.freedesktop.UDisks2.Manager Version",
                  "Block.OpenDevice " + part + " rw {}",
                  "Properties.Get " + part + " org.freedesktop.UDisks2.Partition Offset",
                  "Block.Rescan " + part + " {}",
              }));

    std::string label, fileSystem;
    ASSERT_TRUE(onHelper([&] { return service->volumeInformation(row, label, fileSystem); }));
    EXPECT_EQ(label, "MASTER");
    EXPECT_EQ(fileSystem, "FAT32");

    std::string root;
    ASSERT_TRUE(onHelper([&] { return service->mountRoot(row, root, cause); })) << cause;
    EXPECT_EQ(root, "/media/test/MASTER");
    EXPECT_EQ(fake.calls.back(), "Filesystem.Mount " + part + " {}");
    // Asked again, the mounted volume's folder comes back without a new mount.
    mark = fake.calls.size();
    ASSERT_TRUE(onHelper([&] { return service->mountRoot(row, root, cause); }));
    EXPECT_EQ(fake.since(mark).size(), 1u);

    // Eject: unmount, then power off the drive the block belongs to.
    mark = fake.calls.size();
    ASSERT_TRUE(onHelper([&] { return service->eject(row, cause); })) << cause;
    EXPECT_EQ(fake.since(mark),
              (std::vector<std::string>{
                  "Properties.Get " + part + " org.freedesktop.UDisks2.Filesystem MountPoints",
                  "Filesystem.Unmount " + part + " {}",
                  "Properties.Get " + disk + " org.freedesktop.UDisks2.Block Drive",
                  "Drive.PowerOff " + kDriveObject.toStdString() + " {}",
              }));

    // Every call is in the service's log, with its arguments and result.
    bool mkfsLogged = false, errorFree = true;
    for (const auto& l : service->log().take()) {
        mkfsLogged |= l.rfind("run: mkfs.fat -F 32 -n MASTER -h 2048 ", 0) == 0 &&
                      l.find("-> exit 0") != std::string::npos;
        errorFree &= l.find("Error") == std::string::npos;
    }
    EXPECT_TRUE(mkfsLogged);
    EXPECT_TRUE(errorFree);
}

TEST_F(UDisks2PeerTest, FailuresNameTheCallAndOlderVersionsAreMet) {
    std::string cause;
    // A refused format comes back with udisks2's error.
    fake.errors["Block.Format"] = "org.freedesktop.UDisks2.Error.Failed";
    EXPECT_FALSE(onHelper([&] { return service->format(row, FileSystemKind::ExFat, "", cause); }));
    EXPECT_EQ(cause, "org.freedesktop.UDisks2.Error.Failed: refused by the test");
    bool logged = false;
    for (const auto& l : service->log().take())
        logged |= l.find("dbus: Block.Format " + kPart.toStdString() +
                         " ('exfat', {}) -> "
                         "org.freedesktop.UDisks2.Error.Failed") == 0;
    EXPECT_TRUE(logged);
    fake.errors.clear();

    // No OpenDevice (udisks2 before 2.7.3): the backup descriptor serves.
    fake.errors["Block.OpenDevice"] = "org.freedesktop.DBus.Error.UnknownMethod";
    uint8_t sector[512] = {};
    EXPECT_TRUE(onHelper([&] { return service->readFirstSector(row, sector, cause); })) << cause;
    EXPECT_EQ(fake.calls.back(), "Block.OpenForBackup " + kDisk.toStdString() + " {}");
    EXPECT_EQ(sector[129], 0x34);
    // Not authorised: the read fails with the reason.
    fake.errors["Block.OpenForBackup"] = "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain";
    EXPECT_FALSE(onHelper([&] { return service->readFirstSector(row, sector, cause); }));
    EXPECT_NE(cause.find("NotAuthorizedCanObtain"), std::string::npos);
    fake.errors.clear();

    // A drive that cannot be powered off is ejected.
    fake.errors["Drive.PowerOff"] = "org.freedesktop.UDisks2.Error.Failed";
    EXPECT_TRUE(onHelper([&] { return service->eject(row, cause); }));
    EXPECT_EQ(fake.calls.back(), "Drive.Eject " + kDriveObject.toStdString() + " {}");
    fake.errors.clear();

    // A partition step that fails stops before the partition is made.
    fake.errors["Block.Format"] = "org.freedesktop.UDisks2.Error.DeviceBusy";
    const size_t mark = fake.calls.size();
    EXPECT_FALSE(
        onHelper([&] { return service->partition(row, 100, FileSystemKind::Ntfs, cause); }));
    for (const auto& c : fake.since(mark))
        EXPECT_EQ(c.find("CreatePartition"), std::string::npos);
    fake.errors.clear();

    // udisks2 says which mkfs it misses: the format is refused before
    // anything is touched, naming the package.
    fake.missingMkfs["exfat"] = "mkfs.exfat";
    EXPECT_FALSE(onHelper([&] { return service->canFormat(FileSystemKind::ExFat, cause); }));
    EXPECT_EQ(cause, "udisks2 cannot make exfat volumes on this PC: mkfs.exfat is not installed "
                     "(package exfatprogs).");
    EXPECT_TRUE(onHelper([&] { return service->canFormat(FileSystemKind::Ntfs, cause); }));
    // FAT and FAT32 are made here with udisks2 2.9 (mkfs.fat is here), and
    // passed to udisks2's mkfs as -F 16 or -F 32 from 2.10 on.
    EXPECT_TRUE(onHelper([&] { return service->canFormat(FileSystemKind::Fat16, cause); }));
    fake.version = "2.10.1";
    EXPECT_TRUE(onHelper([&] { return service->canFormat(FileSystemKind::Fat16, cause); }));
    EXPECT_TRUE(
        onHelper([&] { return service->format(row, FileSystemKind::Fat16, "M16", cause); }));
    EXPECT_EQ(fake.calls.back(),
              "Block.Format " + kPart.toStdString() + " vfat {label=M16,mkfs-args=-F 16}");
    std::string label, fileSystem;
    ASSERT_TRUE(onHelper([&] { return service->volumeInformation(row, label, fileSystem); }));
    EXPECT_EQ(fileSystem, "FAT");
}

// Debian 12 has udisks2 2.9.4, whose format runs "mkfs.vfat -I -n LABEL" and
// so gets FAT16 on a stick under about 512 MiB. A 256 MiB stick asked for
// FAT32 through the service comes out FAT32.
TEST_F(UDisks2PeerTest, A256MiBStickAskedForFat32ReadsBackAsFat32) {
    ServiceLog log;
    ExternalRunner run(log);
    run.setAllowed({"mkfs.fat", "blkid", "fsck.fat", "sfdisk"});
    const uint64_t stickMiB = 256, partMiB = stickMiB - 10; // FORMAT FAT32
    const std::string disk = tmp / "stick.img";
    std::ofstream(disk, std::ios::binary).close();
    fs::resize_file(disk, stickMiB * 1048576);
    std::string cause;
    ASSERT_TRUE(drive_tools::writePartitionTable(run, disk, partMiB, FileSystemKind::Fat32,
                                                 stickMiB * 2048, cause))
        << cause;
    fs::resize_file(fake.partitionFile, partMiB * 1048576);

    // What udisks2 2.9.4 would make of it: FAT16.
    ASSERT_TRUE(run.run("mkfs.fat", {"-I", "-n", "MASTER", fake.partitionFile}, 60000).ok());
    std::string label, name;
    ASSERT_TRUE(drive_tools::probeVolume(run, fake.partitionFile, label, name));
    EXPECT_EQ(name, "FAT");

    // Through the service: FAT32, with the label, in the partition.
    ASSERT_EQ(fake.version, "2.9.4");
    ASSERT_TRUE(onHelper([&] { return service->canFormat(FileSystemKind::Fat32, cause); }));
    ASSERT_TRUE(onHelper([&] {
        return service->format(row, FileSystemKind::Fat32, "MASTER", cause);
    })) << cause;
    std::string fileSystem;
    ASSERT_TRUE(onHelper([&] { return service->volumeInformation(row, label, fileSystem); }));
    EXPECT_EQ(fileSystem, "FAT32"); // as udisks2 probes it after the rescan

    // Placed into the stick's image at the partition: blkid there, fsck.fat clean.
    {
        std::ifstream in(fake.partitionFile, std::ios::binary);
        std::fstream out(disk, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(1048576);
        std::vector<char> buffer(1 << 20);
        while (in.read(buffer.data(), long(buffer.size())) || in.gcount() > 0)
            out.write(buffer.data(), in.gcount());
    }
    const RunResult blkid = run.run("blkid", {"-p", "-O", "1048576", "-o", "export", disk}, 20000);
    EXPECT_NE(blkid.output.find("TYPE=vfat"), std::string::npos) << blkid.output;
    EXPECT_NE(blkid.output.find("VERSION=FAT32"), std::string::npos) << blkid.output;
    EXPECT_NE(blkid.output.find("LABEL=MASTER"), std::string::npos) << blkid.output;
    const RunResult fsck = run.run("fsck.fat", {"-n", fake.partitionFile}, 60000);
    EXPECT_TRUE(fsck.ok()) << fsck.output;
    // The boot sector says where the partition starts (sectors before it).
    std::ifstream boot(fake.partitionFile, std::ios::binary);
    uint8_t sector[512] = {};
    boot.read(reinterpret_cast<char*>(sector), 512);
    EXPECT_EQ(sector[28] | sector[29] << 8 | sector[30] << 16 | uint32_t(sector[31]) << 24, 2048u);
}
