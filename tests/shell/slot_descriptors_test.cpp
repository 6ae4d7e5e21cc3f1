// What the slots ask the event loop to watch: a link's descriptor only while
// its machine waits for an answer and its device is still there, so that
// nothing wakes the program for a link that has nothing to say.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sys/socket.h>
#include <unistd.h>

#include "shell/machine_slots.h"
#include "support/quiet_board.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// A device whose reports travel as packets over a socket: the host end is
// the link's descriptor, the test holds the controller's end.
class PacketDevice final : public HidDevice {
public:
    explicit PacketDevice(int fd) : fd_(fd) {}
    ~PacketDevice() override { ::close(fd_); }
    bool getAttributes(uint16_t& vid, uint16_t& pid) override {
        vid = 0x6C15;
        pid = 0x2001;
        return true;
    }
    WriteStatus write(const uint8_t* report) override {
        return ::send(fd_, report, kReportSize, MSG_NOSIGNAL) == ssize_t(kReportSize)
                   ? WriteStatus::Taken
                   : WriteStatus::Gone;
    }
    ReadStatus read(uint8_t* report) override {
        const ssize_t n = ::recv(fd_, report, kReportSize, MSG_DONTWAIT);
        if (n > 0)
            return ReadStatus::Report;
        return n < 0 && errno == EAGAIN ? ReadStatus::NoReport : ReadStatus::Gone;
    }
    int fd() const override { return fd_; }

private:
    int fd_;
};

struct PacketBackend final : HidBackend {
    int hostEnd = -1;
    std::vector<std::string> enumerate() override { return {"/dev/packet0"}; }
    std::unique_ptr<HidDevice> open(const std::string& path) override {
        if (path != "/dev/packet0" || hostEnd < 0)
            return nullptr;
        const int fd = hostEnd;
        hostEnd = -1;
        return std::make_unique<PacketDevice>(fd);
    }
};

bool contains(const std::vector<int>& v, int fd) {
    return std::find(v.begin(), v.end(), fd) != v.end();
}

} // namespace

TEST(SlotDescriptors, ALinkIsWatchedOnlyWhileItsMachineWaitsAndItsDeviceIsThere) {
    const dupmon::test::TempDir tmp("dupmon-slot-fds");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir / "DATABASE");
    fs::create_directories(dir / "DEBUG_SESSION");
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    PacketBackend backend;
    backend.hostEnd = ends[0];
    ManualClock clock;
    TestUi ui;
    QuietBoard board;
    {
        MachineSlots slots(backend, nullptr, clock, ui, board,
                           ShellPaths::under(dir, dir / "no-program"));
        for (int i = 0; i < 4; ++i)
            slots.Timer3Timer();
        ASSERT_NE(slots.link(0), nullptr);
        const int fd = slots.link(0)->fd();
        std::vector<int> known, wanted;

        // Identification waits two seconds first: nothing is asked, nothing is watched.
        slots.runDueWork();
        slots.descriptors(known, wanted);
        EXPECT_TRUE(contains(known, fd));
        EXPECT_FALSE(contains(wanted, fd));
        // An ended sync wakes the loop whatever the machines wait for.
        EXPECT_TRUE(contains(wanted, slots.syncWorker().wakeFd()));
        const uint32_t wait = slots.msUntilWork();
        EXPECT_GT(wait, 1000u);
        EXPECT_LE(wait, 2000u);

        // Once "A" is out, the answer is awaited on the descriptor.
        clock.advance(wait);
        slots.runDueWork();
        ASSERT_TRUE(slots.connection(0).engine().awaitingAnswer());
        slots.descriptors(known, wanted);
        EXPECT_TRUE(contains(wanted, fd));
        EXPECT_EQ(slots.msUntilWork(), 11000u); // the answer's time-out, and nothing sooner

        // The controller leaves: its end of file is read once, then not watched.
        ::close(ends[1]);
        slots.onReadable(fd);
        EXPECT_TRUE(slots.link(0)->deviceGone());
        slots.descriptors(known, wanted);
        EXPECT_TRUE(contains(known, fd));
        EXPECT_FALSE(contains(wanted, fd));
    }
}
