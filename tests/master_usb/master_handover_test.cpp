// The engine's master hand-over, release and mark-ports exchanges, over the
// real link on the virtual bus against a stand-in duplicator.
#include <gtest/gtest.h>

#include "sim/stand_in.h"
#include "support/engine_harness.h"

using namespace dupmon;

namespace {

struct Rig {
    EngineHarness h;
    std::shared_ptr<StandInController> s = StandInController::create("usb10", h.clock);
    Rig() {
        h.plug(s);
        h.runUntil([&] { return h.identified(); }, 20000);
        h.run(500);
        s->clearHistory();
    }
    std::vector<int> xSubs() const {
        std::vector<int> out;
        for (const HostFrame& f : s->hostFrames())
            if (f.kind == HostFrame::Command && f.letter == 'X')
                out.push_back(f.sub());
        return out;
    }
};

} // namespace

TEST(MasterHandOver, TakeAndReturn) {
    Rig r;
    const uint8_t identity[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    int result = -1;
    ASSERT_TRUE(r.h.engine.takeMasterUsbToPc(identity, &result));
    EXPECT_EQ(result, MASTER_TAKEN);
    EXPECT_EQ(r.xSubs(), (std::vector<int>{26, 27, 25}));
    const auto check = r.s->commands('X', 27);
    ASSERT_EQ(check.size(), 1u);
    EXPECT_EQ(check[0].params, (std::vector<uint8_t>{27, 0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_TRUE(r.s->machine().masterAtPc);
    EXPECT_EQ(r.s->machine().masterIdentity, (std::array<uint8_t, 4>{0xDE, 0xAD, 0xBE, 0xEF}));

    ASSERT_TRUE(r.h.engine.returnMasterUsbToDuplicator());
    EXPECT_EQ(r.xSubs(), (std::vector<int>{26, 27, 25, 28}));
    EXPECT_FALSE(r.s->machine().masterAtPc);
}

TEST(MasterHandOver, TakeOutcomes) {
    const uint8_t identity[4] = {1, 2, 3, 4};
    {
        Rig r; // no stick in the master port
        r.s->machine().removeMedium(0);
        int result = -1;
        ASSERT_TRUE(r.h.engine.takeMasterUsbToPc(identity, &result));
        EXPECT_EQ(result, MASTER_NOT_PRESENT);
        EXPECT_EQ(r.xSubs(), std::vector<int>{26});
    }
    {
        Rig r; // the stick refuses the identity
        r.s->machine().masterRejects = true;
        int result = -1;
        ASSERT_TRUE(r.h.engine.takeMasterUsbToPc(identity, &result));
        EXPECT_EQ(result, MASTER_REJECTED);
        EXPECT_EQ(r.xSubs(), (std::vector<int>{26, 27}));
        EXPECT_FALSE(r.s->machine().masterAtPc);
    }
    {
        Rig r; // the stick is pulled after the check: the switch is refused
        auto step = r.h.ui.onProcessEvents;
        r.h.ui.onProcessEvents = [&] {
            step();
            if (!r.s->commands('X', 27).empty() && r.s->machine().port(0).medium.present)
                r.s->machine().removeMedium(0);
        };
        int result = -1;
        ASSERT_TRUE(r.h.engine.takeMasterUsbToPc(identity, &result));
        EXPECT_EQ(result, MASTER_COMMAND_FAILED);
        EXPECT_EQ(r.xSubs(), (std::vector<int>{26, 27, 25}));
    }
    {
        Rig r; // a machine at work refuses at once, nothing is sent
        ASSERT_EQ(r.s->machine().startJob(FN_COPY, r.h.clock.tickMs()), JOB_STARTED);
        r.h.run(300);
        int result = -1;
        EXPECT_FALSE(r.h.engine.takeMasterUsbToPc(identity, &result));
        EXPECT_FALSE(r.h.engine.returnMasterUsbToDuplicator());
        EXPECT_FALSE(r.h.engine.markPorts(1));
        r.h.run(300);
        EXPECT_TRUE(r.xSubs().empty());
        EXPECT_TRUE(r.s->commands('W', 85).empty());
    }
}

TEST(MasterHandOver, UnplugDuringTheTakeEndsTheWait) {
    Rig r;
    const std::string path = r.h.bus.pluggedPaths().front();
    auto step = r.h.ui.onProcessEvents;
    r.h.ui.onProcessEvents = [&] {
        step();
        if (!r.s->commands('X', 26).empty() && r.s->plugged()) {
            r.h.bus.unplug(path);
            r.h.engine.disconnect();
        }
    };
    const uint8_t identity[4] = {9, 9, 9, 9};
    int result = -1;
    ASSERT_TRUE(r.h.engine.takeMasterUsbToPc(identity, &result));
    EXPECT_EQ(result, MASTER_COMMAND_FAILED);
}

TEST(MasterHandOver, MarkPortsSendsEachPortNumberAndReleaseSendsQ) {
    Rig r;
    const uint16_t ports[] = {3, 258, 10};
    std::copy(std::begin(ports), std::end(ports), r.h.engine.portList());
    ASSERT_TRUE(r.h.engine.markPorts(3));
    r.h.run(1000);
    const auto marks = r.s->commands('W', 85);
    ASSERT_EQ(marks.size(), 3u);
    EXPECT_EQ(marks[0].params, (std::vector<uint8_t>{85, 0, 0, 0, 3}));
    EXPECT_EQ(marks[1].params, (std::vector<uint8_t>{85, 0, 0, 1, 2})); // 258, high byte first
    EXPECT_EQ(marks[2].params, (std::vector<uint8_t>{85, 0, 0, 0, 10}));
    EXPECT_EQ(r.s->machine().markedPorts, (std::vector<uint16_t>{3, 258, 10}));
    EXPECT_TRUE(r.s->machine().port(2).marked);
    EXPECT_TRUE(r.s->machine().port(9).marked);

    // Release: W 81 goes out, no answer is awaited, and polling goes on.
    r.s->clearHistory();
    r.h.engine.requestRelease();
    r.h.run(1000);
    EXPECT_EQ(r.s->commands('W', 81).size(), 1u);
    EXPECT_FALSE(r.s->commands('B').empty());
}
