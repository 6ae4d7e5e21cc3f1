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
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
        } else if (key == "Block.OpenDevice" || key == "Block.OpenForBackup") {
            const int fd = ::open(sectorFile.c_str(), O_RDONLY | O_CLOEXEC);
            out << QVariant::fromValue(QDBusUnixFileDescriptor(fd));
            ::close(fd);
        }
        QDBusMessage reply = m.createReply(out);
        c.send(reply);
        return true;
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
        const std::string socket = tmp.path + "/bus";
        std::ofstream(tmp.path + "/bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:path="
            << socket
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
               "<allow own=\"*\"/></policy></busconfig>\n";
        const std::string config = "--config-file=" + tmp.path + "/bus.conf";
        daemon = ::fork();
        if (daemon == 0) {
            ::execl("/usr/bin/dbus-daemon", "dbus-daemon", config.c_str(), "--nofork",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 200 && !fs::exists(socket); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(fs::exists(socket)) << "dbus-daemon did not start";
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
        const fs::path sys = tmp.path + "/sys";
        const fs::path dev = sys / "devices/pci0000:00/usb2/2-1/2-1:1.0/host6/6:0:0:0";
        fs::create_directories(dev / "block/sdb/sdb1");
        std::ofstream(dev / "block/sdb/size") << "7821312\n";
        std::ofstream(dev / "block/sdb/removable") << "0\n";
        std::ofstream(dev / "block/sdb/sdb1/partition") << "1\n";
        fs::create_directory_symlink(dev, dev / "block/sdb/device");
        fs::create_directories(sys / "block");
        fs::create_directory_symlink(dev / "block/sdb", sys / "block/sdb");
        service = std::make_unique<UDisks2Drives>(
            *client, BlockDevices(sys.string(), "/dev", tmp.path + "/no-mountinfo"));

        // The first sector the stick's device gives.
        fake.sectorFile = tmp.path + "/sector";
        std::vector<char> sector(512, 0);
        sector[128] = 0x12, sector[129] = 0x34, sector[130] = 0x56, sector[131] = 0x78;
        std::ofstream(fake.sectorFile, std::ios::binary).write(sector.data(), 512);
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

    // Format with the label; udisks2 2.9 takes no mkfs arguments.
    mark = fake.calls.size();
    ASSERT_TRUE(onHelper([&] {
        return service->format(row, FileSystemKind::Fat32, "MASTER", cause);
    })) << cause;
    EXPECT_EQ(fake.since(mark).back(), "Block.Format " + part + " vfat {label=MASTER}");

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
    bool formatLogged = false, errorFree = true;
    for (const auto& l : service->log().take()) {
        formatLogged |= l == "dbus: Block.Format " + part + " ('vfat', {label: 'MASTER'}) -> ok";
        errorFree &= l.find("Error") == std::string::npos;
    }
    EXPECT_TRUE(formatLogged);
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

    // FAT16 needs mkfs arguments: refused before anything with udisks2 2.9,
    // passed as -F 16 from 2.10 on.
    EXPECT_FALSE(onHelper([&] { return service->canFormat(FileSystemKind::Fat16, cause); }));
    EXPECT_NE(cause.find("udisks2 2.10"), std::string::npos);
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
