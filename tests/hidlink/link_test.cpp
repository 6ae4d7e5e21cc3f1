#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "hidlink/usbhidioc.h"
#include "sim/scripted_device.h"
#include "sim/virtual_bus.h"

using namespace dupmon;

namespace {

class LinkTest : public ::testing::Test {
protected:
    LinkTest() : bus(clock), link(bus) {
        bus.setWireTime(0);
        device = std::make_shared<ScriptedDevice>();
        path = bus.plug(device, 0x6C15, 0x2001);
        bus.memberIndex = 0;
        EXPECT_TRUE(link.openFirstMatching(0x6C15, 0x2001));
    }
    ManualClock clock;
    VirtualBus bus;
    CUsbhidioc link;
    std::shared_ptr<ScriptedDevice> device;
    std::string path;
};

std::vector<uint8_t> seq(size_t n) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), uint8_t(1));
    return v;
}

} // namespace

TEST_F(LinkTest, CutsFramesIntoReports) {
    struct Case {
        size_t length;
        std::vector<int> dataLengths;
    } cases[] = {{59, {59}}, {60, {60, 0}}, {120, {60, 60, 0}}, {0, {0}}, {127, {60, 60, 7}}};
    for (const auto& c : cases) {
        device->reports.clear();
        auto frame = seq(c.length);
        EXPECT_TRUE(link.sendFrame(int(c.length), frame.data()));
        ASSERT_EQ(device->reports.size(), c.dataLengths.size()) << c.length;
        for (size_t i = 0; i < c.dataLengths.size(); ++i) {
            const auto& r = device->reports[i];
            EXPECT_EQ(r[0], 0);
            EXPECT_EQ(r[1], 0x43);
            EXPECT_EQ(r[2], c.dataLengths.size());
            EXPECT_EQ(r[3], i + 1);
            EXPECT_EQ(r[4], c.dataLengths[i]);
            for (int k = 0; k < c.dataLengths[i]; ++k)
                EXPECT_EQ(r[5 + k], frame[i * 60 + k]);
            for (int k = 5 + c.dataLengths[i]; k < 65; ++k)
                EXPECT_EQ(r[k], 0);
        }
        EXPECT_TRUE(link.awaitingReply());
    }
}

TEST_F(LinkTest, JoinsInputReportsIntoOneFrameTakenOnce) {
    uint8_t dst[8192];
    int len = -7;
    EXPECT_FALSE(link.takeFrame(&len, dst));
    EXPECT_EQ(len, -7); // untouched

    const uint8_t cmd[] = {0x40, 0, 2, 'A', 0x83};
    link.sendFrame(5, cmd);
    device->sendFrame(seq(127), clock.tickMs());
    link.pollInput();
    EXPECT_TRUE(link.frameReady());
    ASSERT_TRUE(link.takeFrame(&len, dst));
    EXPECT_EQ(len, 127);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 127), seq(127));
    EXPECT_FALSE(link.awaitingReply());
    EXPECT_FALSE(link.takeFrame(&len, dst));
}

TEST_F(LinkTest, FrameNotTakenBeforeTheNextSendIsDiscarded) {
    const uint8_t cmd[] = {0x40, 0, 2, 'A', 0x83};
    link.sendFrame(5, cmd);
    device->sendFrame(seq(10), clock.tickMs());
    link.pollInput();
    ASSERT_TRUE(link.frameReady());
    link.sendFrame(5, cmd);
    uint8_t dst[8192];
    int len = 0;
    EXPECT_FALSE(link.takeFrame(&len, dst));
    device->sendFrame(seq(4), clock.tickMs());
    link.pollInput();
    EXPECT_TRUE(link.takeFrame(&len, dst));
    EXPECT_EQ(len, 4);
}

TEST_F(LinkTest, ReportsThatCannotBePlacedAreDroppedWithoutAFrame) {
    const uint8_t data[60] = {0xEE};
    struct Case {
        uint8_t count, index, n;
    } cases[] = {{0, 0, 5}, {1, 1, 61}, {200, 140, 60}, {3, 0, 10}};
    for (const auto& c : cases) {
        device->sendFragment(c.count, c.index, data, c.n, clock.tickMs());
        link.pollInput();
        EXPECT_FALSE(link.frameReady()) << int(c.index);
        EXPECT_EQ(link.pendingLength(), 0);
    }
    // The link still works afterwards.
    device->sendFrame(seq(8), clock.tickMs());
    link.pollInput();
    EXPECT_TRUE(link.frameReady());
}

TEST_F(LinkTest, TheTailOfAnAnswerWhoseStartWentElsewhereMakesNoFrame) {
    const uint8_t cmd[] = {0x40, 0, 2, 'A', 0x83};
    link.sendFrame(5, cmd);
    // Fragments 2 and 3 of an answer whose first fragment an earlier reader took.
    const auto old = seq(127);
    device->sendFragment(3, 2, old.data() + 60, 60, clock.tickMs());
    device->sendFragment(3, 3, old.data() + 120, 7, clock.tickMs());
    // A fragment of another count in the middle of a frame ends that frame too.
    device->sendFragment(2, 1, old.data(), 60, clock.tickMs());
    device->sendFragment(4, 2, old.data(), 60, clock.tickMs());
    link.pollInput();
    EXPECT_FALSE(link.frameReady());
    // The answer itself, in order, is joined whole.
    device->sendFrame(seq(70), clock.tickMs());
    link.pollInput();
    uint8_t dst[8192];
    int len = 0;
    ASSERT_TRUE(link.takeFrame(&len, dst));
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + len), seq(70));
}

TEST_F(LinkTest, ReportsWaitingBeforeASendAreNotTakenForItsAnswer) {
    // An answer that came after its sender stopped waiting, never read.
    device->sendFrame(seq(133), clock.tickMs());
    const uint8_t cmd[] = {0x40, 0, 2, 'A', 0x83};
    link.sendFrame(5, cmd);
    link.pollInput();
    EXPECT_FALSE(link.frameReady());
    device->sendFrame(seq(64), clock.tickMs());
    link.pollInput();
    uint8_t dst[8192];
    int len = 0;
    ASSERT_TRUE(link.takeFrame(&len, dst));
    EXPECT_EQ(len, 64);
}

// A device that stops taking reports holds nothing up: the link keeps what
// it refused, and offers it again, in order. A frame it started is finished
// before any other; one it never started gives way to the next.
TEST_F(LinkTest, ReportsADeviceRefusesWaitInOrderAndFramesLeaveWhole) {
    const auto big = seq(150); // three reports
    const std::vector<uint8_t> first = {0x40, 0, 2, 'A', 0x83};
    const std::vector<uint8_t> second = {0x40, 0, 3, 'W', 1, 0x9B};
    struct Case {
        const char* what;
        int takes; // reports the device takes before it stops
        std::vector<std::vector<uint8_t>> sent;
        std::vector<bool> allTakenBefore; // what sendFrame said for each
        std::vector<std::vector<uint8_t>> arrived;
    } cases[] = {
        {"stopped inside a frame: its rest goes first, the untouched frame gives way",
         1,
         {big, first, second},
         {true, false, false},
         {big, second}},
        {"stopped before any report of the frame", 0, {first, second}, {true, false}, {second}},
        {"stopped right after a whole frame",
         3,
         {big, first, second},
         {true, true, false},
         {big, second}},
    };
    for (const auto& c : cases) {
        device->frames.clear();
        device->reports.clear();
        device->takeLimit = c.takes;
        for (size_t i = 0; i < c.sent.size(); ++i)
            EXPECT_EQ(link.sendFrame(int(c.sent[i].size()), c.sent[i].data()),
                      bool(c.allTakenBefore[i]))
                << c.what << ", frame " << i;
        EXPECT_TRUE(link.outputWaiting()) << c.what;
        EXPECT_FALSE(link.outputTaken()) << c.what;
        link.flushOutput(); // still stopped: nothing moves
        EXPECT_EQ(device->reports.size(), size_t(c.takes)) << c.what;

        device->takeLimit = -1;
        link.flushOutput();
        EXPECT_TRUE(link.outputTaken()) << c.what;
        EXPECT_EQ(device->frames, c.arrived) << c.what;
        // Every frame went out with its fragment indexes in order.
        int expected = 1;
        for (const auto& r : device->reports) {
            EXPECT_EQ(r[3], expected) << c.what;
            expected = r[3] == r[2] ? 1 : expected + 1;
        }
        EXPECT_EQ(expected, 1) << c.what << ": a frame was left unfinished";
    }
}

TEST_F(LinkTest, RawReportHasNoFragmentHeader) {
    const uint8_t r = 'R';
    EXPECT_TRUE(link.sendRawReport(1, &r));
    ASSERT_EQ(device->reports.size(), 1u);
    EXPECT_EQ(device->reports[0][0], 0);
    EXPECT_EQ(device->reports[0][1], 'R');
    EXPECT_EQ(device->reports[0][2], 0);
}

TEST(LinkEnumeration, SharedIndexOpensEachMatchingDeviceOnce) {
    ManualClock clock;
    VirtualBus bus(clock);
    bus.plug(std::make_shared<ScriptedDevice>(), 0x6C15, 0x2001);
    bus.plug(std::make_shared<ScriptedDevice>(), 0x1234, 0x2001); // another maker's device
    bus.plug(std::make_shared<ScriptedDevice>(), 0x6C15, 0x2001);
    bus.memberIndex = 0;
    CUsbhidioc a(bus), b(bus), c(bus);
    ASSERT_TRUE(a.openFirstMatching(0x6C15, 0x2001));
    ASSERT_TRUE(b.openFirstMatching(0x6C15, 0x2001));
    EXPECT_FALSE(c.openFirstMatching(0x6C15, 0x2001));
    EXPECT_STREQ(a.devicePath(), bus.pluggedPaths()[0].c_str());
    EXPECT_STREQ(b.devicePath(), bus.pluggedPaths()[2].c_str());
    EXPECT_FALSE(c.isOpen());
    c.close(); // never opened: releases nothing
    EXPECT_FALSE(c.openByPath(bus.pluggedPaths()[1], 0x6C15, 0x2001));
    EXPECT_TRUE(c.openByPath(bus.pluggedPaths()[2], 0x6C15, 0x2001));
}

TEST(LinkEnumeration, UnpluggedDeviceReadsAsGone) {
    ManualClock clock;
    VirtualBus bus(clock);
    auto path = bus.plug(std::make_shared<ScriptedDevice>(), 0x6C15, 0x3001);
    CUsbhidioc link(bus);
    ASSERT_TRUE(link.openByPath(path, 0x6C15, 0x3001));
    const uint8_t cmd[] = {0x40, 0, 2, 'B', 0x84};
    link.sendFrame(5, cmd);
    bus.unplug(path);
    link.pollInput();
    EXPECT_TRUE(link.deviceGone());
    EXPECT_FALSE(link.frameReady());
}
