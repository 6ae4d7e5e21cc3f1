#include <gtest/gtest.h>

#include "protocol/engine_fixture.h"

using namespace dupmon;

namespace {

// The program steps an engine only when it can move: when an answer is on
// its link, or when the time it names has come. These tests hold the engine
// to the time it names: a step one millisecond earlier changes nothing, a
// step at that time moves it.
class EngineDeadlineTest : public EngineTest {
protected:
    struct Snapshot {
        int step;
        bool deciding;
        size_t commands, logs;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot snapshot() const {
        return {h.engine.decisionStep(), h.engine.deciding(), mc.commands.size(), h.logs.size()};
    }
    // Time passes and the bus carries what is due; the engine is not stepped.
    void pass(uint32_t ms) {
        for (uint32_t i = 0; i < ms; ++i) {
            h.clock.advance(1);
            h.bus.pump();
        }
    }
    void expectMovesOnlyAt(uint32_t expected) {
        ASSERT_EQ(h.engine.msUntilDue(), expected);
        ASSERT_GT(expected, 1u);
        pass(expected - 1);
        const Snapshot before = snapshot();
        EXPECT_EQ(h.engine.msUntilDue(), 1u);
        h.engine.step();
        pass(0);
        EXPECT_EQ(snapshot(), before) << "a step before the deadline moved the engine";
        pass(1);
        EXPECT_EQ(h.engine.msUntilDue(), 0u);
        h.engine.step();
        EXPECT_NE(snapshot(), before) << "a step at the deadline did not move the engine";
    }
    // Runs the program's cadence until the engine waits on its own.
    void runUntilWaiting() {
        ASSERT_TRUE(h.runUntil([&] {
            const uint32_t d = h.engine.msUntilDue();
            return d > 1 && d != COMMAND_MACHINE::kNoDeadline && !h.engine.awaitingAnswer();
        }));
    }
};

} // namespace

TEST_F(EngineDeadlineTest, IdentificationWaitsTwoWallClockSecondsAfterTheBind) {
    h.clock.advance(250); // the bind comes a quarter into a second
    h.plug(mc.device);
    h.engine.step(); // the start notes the second
    expectMovesOnlyAt(1750);
}

TEST_F(EngineDeadlineTest, ASilentControllerIsAskedAgainElevenSecondsAfterTheSend) {
    mc.dropAnswers = 1;
    h.plug(mc.device);
    ASSERT_TRUE(h.runUntil([&] { return h.engine.awaitingAnswer(); }));
    h.run(37); // the link was looked at now and then, and found nothing
    const uint32_t sinceSend = h.clock.tickMs() - h.engine.channel().lastSendTime();
    expectMovesOnlyAt(11000 - sinceSend);
    EXPECT_NE(h.logs.back().find("[Cmd Time Out]"), std::string::npos) << h.logs.back();
    pass(20);
    EXPECT_EQ(mc.countOf("A"), 2);
}

TEST_F(EngineDeadlineTest, IdleMachinesArePolledOnOneGridOfTheTickCount) {
    logCount = 0;
    identify();
    h.run(777);
    runUntilWaiting();
    EXPECT_EQ(h.engine.decisionStep(), COMMAND_MACHINE::TOP);
    const uint32_t toGrid = 100 - h.clock.tickMs() % 100;
    expectMovesOnlyAt(toGrid);
    pass(5);
    EXPECT_EQ(mc.commands.back().letter, 'B');
}

TEST_F(EngineDeadlineTest, AReleaseLetsTheMachineGoAboutATenthOfASecondLater) {
    logCount = 0;
    identify();
    h.run(500);
    h.engine.requestRelease();
    ASSERT_TRUE(h.runUntil([&] {
        return !h.engine.deciding() && !h.engine.awaitingAnswer() && h.engine.msUntilDue() > 1;
    }));
    const uint32_t left = h.engine.msUntilDue();
    EXPECT_LE(left, 101u);
    expectMovesOnlyAt(left);
    EXPECT_TRUE(h.engine.deciding());
    EXPECT_EQ(mc.countOf("W81"), 1);
}

TEST_F(EngineDeadlineTest, ARequestPostedToAWaitingMachineIsDueAtOnce) {
    logCount = 0;
    identify();
    h.run(500);
    runUntilWaiting();
    h.engine.requestCopy();
    EXPECT_EQ(h.engine.msUntilDue(), 0u);
    h.run(40);
    EXPECT_EQ(mc.countOf("W42"), 1);
}
