#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "hidlink/hidraw_backend.h"
#include "hidlink/usbhidioc.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// A socket pair of packets stands in for the hidraw node: like the node, each
// read takes exactly one report, and the far end can vanish.
struct NodePair {
    int host = -1;   // handed to HidrawDevice
    int device = -1; // the device's side, kept by the test
    NodePair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0)
            host = fds[0], device = fds[1];
    }
    ~NodePair() { closeDevice(); }
    void closeDevice() {
        if (device >= 0)
            ::close(device);
        device = -1;
    }
    void send(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(::write(device, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // One report the host wrote, waiting up to `ms` for its writer thread; -1: none came.
    ssize_t receive(uint8_t* buffer, size_t size, int ms = 5000) const {
        pollfd p{device, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return -1;
        return ::recv(device, buffer, size, MSG_DONTWAIT);
    }
};

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

std::vector<uint8_t> seq(size_t n, uint8_t first = 1) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// Writing to a vanished socket says EPIPE; a hidraw node never raises SIGPIPE.
void ignoreSigpipe() {
    std::signal(SIGPIPE, SIG_IGN);
}

// Counts the entries of the kernel's own list of hidraw devices.
size_t hidrawClassEntries() {
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator("/sys/class/hidraw", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// Gives a HidrawDevice fixed ids, since a socket has none to report.
class FixedIdDevice final : public HidDevice {
public:
    explicit FixedIdDevice(int fd) : inner_(fd) {}
    bool getAttributes(uint16_t& v, uint16_t& p) override {
        v = CUsbhidioc::kVendorId, p = CUsbhidioc::kProductIds[0];
        return true;
    }
    WriteStatus write(const uint8_t* r) override { return inner_.write(r); }
    bool writePending() const override { return inner_.writePending(); }
    int writeFd() const override { return inner_.writeFd(); }
    ReadStatus read(uint8_t* r) override { return inner_.read(r); }
    int fd() const override { return inner_.fd(); }

private:
    HidrawDevice inner_;
};

class SocketBackend final : public HidBackend {
public:
    explicit SocketBackend(int fd) : fd_(fd) {}
    std::vector<std::string> enumerate() override { return {"/dev/hidraw-standin"}; }
    std::unique_ptr<HidDevice> open(const std::string&) override {
        return std::make_unique<FixedIdDevice>(fd_);
    }

private:
    int fd_;
};

} // namespace

TEST(HidrawBackend, EnumerationListsWhatTheKernelLists) {
    const std::vector<std::string> paths = enumerateHidraw();
    // This machine has no USB: the list is empty, and that is not a failure.
    EXPECT_EQ(paths.size(), hidrawClassEntries());
    for (const auto& p : paths)
        EXPECT_EQ(p.rfind("/dev/hidraw", 0), 0u) << p;

    HidrawBackend backend;
    backend.memberIndex = 0;
    CUsbhidioc link(backend);
    if (paths.empty()) {
        EXPECT_FALSE(link.openFirstMatching(CUsbhidioc::kVendorId, CUsbhidioc::kProductIds[0]));
        EXPECT_FALSE(link.isOpen());
    }
    EXPECT_LE(backend.memberIndex, paths.size());
}

TEST(HidrawBackend, PathsThatAreNotHidrawNodesFailCleanly) {
    const dupmon::test::TempDir tmp("dupmon-hidraw");
    ASSERT_TRUE(tmp);
    const fs::path& dir = tmp.path;
    const fs::path regular = dir / "hidraw0";
    std::ofstream(regular) << "not a device\n";
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const std::string cases[] = {
        (dir / "missing").string(), // does not exist
        "/dev/null",                // a character device, but not hidraw
        regular.string(),           // a regular file
        fifo.string(),              // a pipe
        dir.string(),               // a directory
        "",
    };
    HidrawBackend backend;
    for (const auto& path : cases) {
        EXPECT_EQ(backend.open(path), nullptr) << path;
        CUsbhidioc link(backend);
        EXPECT_FALSE(link.openByPath(path, CUsbhidioc::kVendorId, CUsbhidioc::kProductIds[0]))
            << path;
        EXPECT_FALSE(link.isOpen());
        EXPECT_STREQ(link.devicePath(), "");
    }
}

TEST(HidrawDevice, ReportsReadAreLaidOutAsSixtyFiveBytes) {
    struct Case {
        const char* what;
        std::vector<uint8_t> sent;
        std::vector<uint8_t> expected; // the whole 65-byte report
    };
    std::vector<uint8_t> unnumbered(65, 0), shortOne(65, 0), numbered = seq(65, 0x40);
    const auto payload = seq(64);
    std::copy(payload.begin(), payload.end(), unnumbered.begin() + 1);
    shortOne[1] = 0x00, shortOne[2] = 0x01, shortOne[3] = 0x01, shortOne[4] = 0x02;
    shortOne[5] = 0xAB, shortOne[6] = 0xCD;
    const Case cases[] = {
        {"unnumbered 64 bytes go to offset 1", payload, unnumbered},
        {"short read, rest zero", {0x00, 0x01, 0x01, 0x02, 0xAB, 0xCD}, shortOne},
        {"numbered 65 bytes keep their id", numbered, numbered},
    };
    NodePair pair;
    ASSERT_GE(pair.host, 0);
    HidrawDevice dev(pair.host);
    EXPECT_EQ(dev.fd(), pair.host);
    uint8_t report[kReportSize];
    for (const auto& c : cases) {
        pair.send(c.sent);
        std::memset(report, 0xEE, sizeof report);
        ASSERT_EQ(dev.read(report), ReadStatus::Report) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(report, report + kReportSize), c.expected) << c.what;
    }
    EXPECT_EQ(dev.read(report), ReadStatus::NoReport);
    pair.closeDevice();
    EXPECT_EQ(dev.read(report), ReadStatus::Gone);
}

TEST(HidrawDevice, ClosedPipeReadsAsGone) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    HidrawDevice dev(fds[0]);
    uint8_t report[kReportSize];
    EXPECT_EQ(dev.read(report), ReadStatus::NoReport);
    const auto payload = seq(64);
    ASSERT_EQ(::write(fds[1], payload.data(), payload.size()), 64);
    ASSERT_EQ(dev.read(report), ReadStatus::Report);
    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(std::vector<uint8_t>(report + 1, report + 65), payload);
    ::close(fds[1]);
    EXPECT_EQ(dev.read(report), ReadStatus::Gone);
}

// A write to a hidraw node waits in the kernel until the device takes the
// report; the device's own thread waits for it, so write() never does.
TEST(HidrawDevice, WritesReportsWholeAndInOrderOnItsOwnThreadWithoutWaiting) {
    ignoreSigpipe();
    NodePair pair;
    ASSERT_GE(pair.host, 0);
    // As little room as the kernel gives: a device that reads nothing refuses soon.
    const int small = 1;
    ASSERT_EQ(::setsockopt(pair.host, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    auto dev = std::make_unique<HidrawDevice>(pair.host);
    uint16_t vid = 1, pid = 2;
    EXPECT_FALSE(dev->getAttributes(vid, pid)); // a socket is no HID device
    ASSERT_GE(dev->writeFd(), 0);

    // 1. Taken, and written whole by the thread.
    const auto first = seq(65, 0);
    ASSERT_EQ(dev->write(first.data()), WriteStatus::Taken);
    uint8_t got[128];
    ASSERT_EQ(pair.receive(got, sizeof got), 65);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 65), first);

    // 2. The device reads nothing: reports are taken one at a time until the
    // node's room is used up, then write() says Busy, and keeps saying it
    // while the thread waits for room.
    auto fillUntilStuck = [&dev](int tag) {
        std::vector<std::vector<uint8_t>> sent;
        int busy = 0;
        for (int i = 0; i < 200 && busy < 5; ++i) {
            std::vector<uint8_t> r(65, 0);
            r[1] = uint8_t(tag), r[2] = uint8_t(i), r[64] = uint8_t(~i);
            switch (dev->write(r.data())) {
            case WriteStatus::Taken:
                sent.push_back(r);
                busy = 0;
                break;
            case WriteStatus::Busy:
                ++busy;
                readable(dev->writeFd(), 100); // done with the last one, or stuck
                break;
            case WriteStatus::Gone:
                ADD_FAILURE() << "gone while the device is there";
                return sent;
            }
        }
        EXPECT_EQ(busy, 5);
        EXPECT_TRUE(dev->writePending());
        return sent;
    };
    const auto sent = fillUntilStuck(1);
    ASSERT_GE(sent.size(), 2u);

    // 3. The device reads again: every report arrives whole, in order, and
    // the write descriptor says the device may be offered the next one.
    for (const auto& r : sent) {
        ASSERT_EQ(pair.receive(got, sizeof got), 65);
        EXPECT_EQ(std::vector<uint8_t>(got, got + 65), r);
    }
    EXPECT_TRUE(readable(dev->writeFd(), 5000));
    EXPECT_FALSE(dev->writePending());
    EXPECT_EQ(dev->write(first.data()), WriteStatus::Taken);
    ASSERT_EQ(pair.receive(got, sizeof got), 65);
    readable(dev->writeFd(), 5000);

    // 4. A device closed while its thread waits for room ends at once.
    fillUntilStuck(2);
    dev.reset();

    // 5. Once the far end is gone, writes fail for good.
    NodePair gone;
    HidrawDevice orphan(gone.host);
    gone.closeDevice();
    WriteStatus last = WriteStatus::Taken;
    for (int i = 0; i < 3; ++i) {
        last = orphan.write(first.data());
        if (last == WriteStatus::Gone)
            break;
        readable(orphan.writeFd(), 2000);
    }
    EXPECT_EQ(last, WriteStatus::Gone);
    EXPECT_EQ(orphan.write(first.data()), WriteStatus::Gone);
}

// A node opened by path is opened by the device's own thread (opening a
// hidraw node can wait in the kernel): the ids come from sysfs meanwhile,
// reports wait for the node, and a node that cannot be opened, or turns out
// to be another device, fails every write.
TEST(HidrawDevice, OpensItsNodeOnItsOwnThread) {
    struct stat null {
    }, zero{};
    ASSERT_EQ(::stat("/dev/null", &null), 0);
    ASSERT_EQ(::stat("/dev/zero", &zero), 0);
    struct Case {
        const char* what;
        const char* path;
        dev_t device;
        bool opens;
    } cases[] = {
        {"the node it was told", "/dev/null", null.st_rdev, true},
        {"another device at the path", "/dev/null", zero.st_rdev, false},
        {"no node at all", "/dev/no-such-hidraw", null.st_rdev, false},
    };
    const auto report = seq(65, 0);
    for (const auto& c : cases) {
        HidrawDevice dev(c.path, c.device, CUsbhidioc::kVendorId, 0x2001);
        uint16_t vid = 0, pid = 0;
        ASSERT_TRUE(dev.getAttributes(vid, pid)) << c.what;
        EXPECT_EQ(vid, CUsbhidioc::kVendorId);
        EXPECT_EQ(pid, 0x2001);
        // Handed over while the node may still be opening: written once it is
        // open, or dropped; a node that could not be opened may already say so.
        const WriteStatus first = dev.write(report.data());
        if (c.opens)
            EXPECT_EQ(first, WriteStatus::Taken) << c.what;
        else
            EXPECT_NE(first, WriteStatus::Busy) << c.what;
        for (int i = 0; i < 100 && dev.writePending(); ++i) {
            uint64_t signals;
            [[maybe_unused]] auto n = ::read(dev.writeFd(), &signals, sizeof signals);
            readable(dev.writeFd(), 50);
        }
        EXPECT_FALSE(dev.writePending()) << c.what;
        EXPECT_EQ(dev.fd() >= 0, c.opens) << c.what;
        EXPECT_EQ(dev.write(report.data()), c.opens ? WriteStatus::Taken : WriteStatus::Gone)
            << c.what;
        uint8_t got[kReportSize];
        // /dev/null reads as the end of a file: a device that is gone.
        EXPECT_EQ(dev.read(got), ReadStatus::Gone) << c.what;
    }
}

// The link above the backend sees the frame the controller sent, although
// hidraw hands each of its reports over without the report-id byte.
TEST(HidrawDevice, LinkJoinsUnnumberedReportsAndNoticesTheDeviceVanish) {
    ignoreSigpipe();
    NodePair pair;
    ASSERT_GE(pair.host, 0);
    SocketBackend backend(pair.host);
    CUsbhidioc link(backend);
    ASSERT_TRUE(link.openFirstMatching(CUsbhidioc::kVendorId, CUsbhidioc::kProductIds[0]));
    EXPECT_EQ(link.fd(), pair.host);

    const uint8_t cmd[] = {0x40, 0x00, 0x02, 0x41, 0x83}; // "A"
    link.sendFrame(5, cmd);
    uint8_t out[128];
    ASSERT_EQ(pair.receive(out, sizeof out), 65);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 10),
              std::vector<uint8_t>({0x00, 0x43, 0x01, 0x01, 0x05, 0x40, 0x00, 0x02, 0x41, 0x83}));

    // 127 bytes in three 64-byte reports: marker, count, index, data length, data.
    const auto frame = seq(127);
    for (int i = 1; i <= 3; ++i) {
        std::vector<uint8_t> r(64, 0);
        const int n = i < 3 ? 60 : 7;
        r[0] = 0x43, r[1] = 3, r[2] = uint8_t(i), r[3] = uint8_t(n);
        std::copy_n(frame.begin() + (i - 1) * 60, n, r.begin() + 4);
        pair.send(r);
    }
    link.pollInput();
    uint8_t dst[CUsbhidioc::kRxBufferSize];
    int len = 0;
    ASSERT_TRUE(link.takeFrame(&len, dst));
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + len), frame);

    link.sendFrame(5, cmd);
    pair.closeDevice();
    link.pollInput();
    EXPECT_TRUE(link.deviceGone());
    EXPECT_FALSE(link.frameReady());
}
