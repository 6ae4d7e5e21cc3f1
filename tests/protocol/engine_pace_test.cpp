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
    ASSERT_GE(h.logs.size(), 2u);
    EXPECT_NE(h.logs[h.logs.size() - 2].find("[Cmd Time Out]"), std::string::npos);
    EXPECT_TRUE(h.engine.silent()) << h.logs.back();
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

TEST_F(EngineTest, TheNextRecordIsAskedForBeforeTheLastOneIsStored) {
    // What had gone out on the link when each record was handed over for storing.
    struct Seen {
        uint32_t record;
        char lastLetter;
        uint32_t lastAsked; // the log number of the last W 23 sent
        bool awaiting;
    };
    std::vector<Seen> seen;
    std::pair<EngineHarness*, std::vector<Seen>*> context{&h, &seen};
    identify();
    h.engine.setLogRecordCallback(
        [](void* u, int, const uint8_t* r) {
            auto* t = static_cast<std::pair<EngineHarness*, std::vector<Seen>*>*>(u);
            const FrameChannel& ch = t->first->engine.channel();
            t->second->push_back({readBE32(r), char(ch.lastCommand()[3]),
                                  readBE32(ch.lastCommand() + 5),
                                  t->first->engine.awaitingAnswer()});
            EngineHarness::onRecord(t->first, 128, r);
        },
        &context);
    ASSERT_TRUE(h.runUntil([&] { return seen.size() >= 6; }));
    // Two records a pass: the first of each pair arrives with the second already asked for.
    for (size_t i = 0; i + 1 < 6; i += 2) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].record, 500 + i);
        EXPECT_EQ(seen[i].lastLetter, 'W');
        EXPECT_EQ(seen[i].lastAsked, 501 + i);
        EXPECT_TRUE(seen[i].awaiting);
        // The last of a pass ends it: the status poll comes after the record is stored.
        EXPECT_EQ(seen[i + 1].record, 501 + i);
        EXPECT_FALSE(seen[i + 1].awaiting);
    }
    EXPECT_EQ(logNumbersAsked(), (std::vector<uint32_t>{500, 501, 502, 503, 504, 505}));
}
