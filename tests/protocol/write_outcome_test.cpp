// Every write to a machine ends with what the machine answered: refusals on
// the wire stop what they should stop, a "ready for data" that answers a
// re-sent command is not the data's answer, and a machine that stops
// answering has its requests refused and dropped rather than kept for later.
#include <gtest/gtest.h>

#include <sstream>

#include "protocol/engine_fixture.h"
#include "sim/stand_in.h"

using namespace dupmon;

namespace {

struct TraceFrame {
    bool fromHost;
    std::vector<uint8_t> bytes;
};

// The frames of a wire trace ("<ms> H|C <hex>"), without comments and events.
std::vector<TraceFrame> framesOf(const std::string& trace) {
    std::vector<TraceFrame> frames;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        std::string ms, dir;
        l >> ms >> dir;
        if (dir != "H" && dir != "C")
            continue;
        TraceFrame f{dir == "H", {}};
        std::string hex;
        while (l >> hex)
            f.bytes.push_back(uint8_t(std::stoul(hex, nullptr, 16)));
        frames.push_back(std::move(f));
    }
    return frames;
}

bool isCommand(const TraceFrame& f, char letter, int sub) {
    return f.fromHost && f.bytes.size() >= 6 && f.bytes[0] == 0x40 && f.bytes[3] == letter &&
           f.bytes[4] == sub;
}

// Captures every write outcome the engine reports.
struct Outcomes {
    std::vector<WriteOutcome> seen;
    void attach(EngineHarness& h) {
        h.onStatusHook = [this](const EngineHarness::Status& s) {
            if (s.code == STATUS_WRITE_RESULT)
                seen.push_back(*static_cast<const WriteOutcome*>(s.data));
        };
    }
};

} // namespace

TEST(RefusedWrites, EachRefusalIsReportedAndStopsWhatFollowsItOnTheWire) {
    struct Case {
        const char* name;
        SimFault fault;
        int sub;
        std::function<void(EngineHarness&, StandInController&)> act;
        // The outcome reported, when the case is a write.
        bool write;
        MachineWrite what;
        const char* message; // the box shown, or nullptr
    } cases[] = {
        {"setup read", SimFault::Refuse, 30,
         [](EngineHarness& h, StandInController&) {
             uint8_t block[256];
             EXPECT_FALSE(h.engine.getSetupParameters(block)) << "a refused read is no block";
         },
         false, MachineWrite::Setup, nullptr},
        {"clock write", SimFault::Refuse, 12,
         [](EngineHarness& h, StandInController&) { h.engine.setMachineClock(); }, true,
         MachineWrite::Clock, nullptr},
        {"clock data", SimFault::RefuseData, 12,
         [](EngineHarness& h, StandInController&) { h.engine.setMachineClock(); }, true,
         MachineWrite::Clock, nullptr},
        {"nickname write", SimFault::Refuse, 5,
         [](EngineHarness& h, StandInController&) { h.engine.setNickname("Not Taken"); }, true,
         MachineWrite::Nickname, nullptr},
        {"nickname data", SimFault::RefuseData, 5,
         [](EngineHarness& h, StandInController&) { h.engine.setNickname("Not Taken"); }, true,
         MachineWrite::Nickname, nullptr},
        {"setup write", SimFault::Refuse, 31,
         [](EngineHarness& h, StandInController& s) {
             EXPECT_TRUE(h.engine.setSetupParameters(s.machine().setup.data()));
         },
         true, MachineWrite::Setup, "Can't Set Machine !"},
        {"setup data", SimFault::RefuseData, 31,
         [](EngineHarness& h, StandInController& s) {
             EXPECT_TRUE(h.engine.setSetupParameters(s.machine().setup.data()));
         },
         true, MachineWrite::Setup, "Can't Set Machine !"},
        {"device information", SimFault::Refuse, 61,
         [](EngineHarness& h, StandInController&) { h.engine.requestDeviceInfo(); }, false,
         MachineWrite::Setup, "Command Error !"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness h;
        auto s = StandInController::create("usb10", h.clock);
        const std::string nickname = s->machine().nickname;
        h.plug(s);
        ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
        h.run(500);
        Outcomes outcomes;
        outcomes.attach(h);
        std::ostringstream trace;
        h.bus.setTrace(&trace);
        SimFaultSpec spec;
        spec.kind = c.fault;
        spec.letter = 'W';
        spec.sub = c.sub;
        s->injectFault(spec);
        c.act(h, *s);
        h.run(2000);
        h.bus.setTrace(nullptr);
        EXPECT_EQ(s->faultsCommitted(), 1);

        // On the wire: the refused command, its refusal, and none of what it would have led to.
        const auto frames = framesOf(trace.str());
        size_t at = 0;
        while (at < frames.size() && !isCommand(frames[at], 'W', c.sub))
            ++at;
        ASSERT_LT(at + 1, frames.size()) << trace.str();
        const size_t refusal = c.fault == SimFault::Refuse ? at + 1 : at + 3;
        ASSERT_LT(refusal, frames.size()) << trace.str();
        EXPECT_FALSE(frames[refusal].fromHost);
        EXPECT_EQ(frames[refusal].bytes[3], 0x01) << trace.str();
        for (size_t i = refusal + 1; i < frames.size(); ++i) {
            EXPECT_FALSE(frames[i].fromHost && frames[i].bytes[0] == 0x23)
                << "a data frame after the refusal, frame " << i << "\n"
                << trace.str();
            EXPECT_FALSE(isCommand(frames[i], 'W', 31)) << "a setup write\n" << trace.str();
            EXPECT_FALSE(isCommand(frames[i], 'W', c.sub)) << "asked again\n" << trace.str();
        }

        // Told as not done, and nothing changed in the machine.
        if (c.write) {
            ASSERT_EQ(outcomes.seen.size(), 1u);
            EXPECT_EQ(outcomes.seen[0].what, c.what);
            EXPECT_EQ(outcomes.seen[0].result, WriteResult::Refused);
            EXPECT_EQ(outcomes.seen[0].answer, 0x01);
        } else {
            EXPECT_TRUE(outcomes.seen.empty());
        }
        EXPECT_EQ(s->machine().nickname, nickname);
        EXPECT_EQ(s->machine().setupWrites, 0u);
        if (c.what == MachineWrite::Clock && c.write) {
            EXPECT_EQ(std::count(h.events.begin(), h.events.end(), int(EVENT_CLOCK_SET)), 0);
            EXPECT_EQ(std::count(h.events.begin(), h.events.end(), int(EVENT_CLOCK_NOT_SET)), 1);
        }
        if (c.message) {
            ASSERT_EQ(h.ui.messages.size(), 1u);
            EXPECT_EQ(h.ui.messages[0].text, c.message);
        } else {
            EXPECT_TRUE(h.ui.messages.empty());
        }
        if (c.sub == 61) {
            EXPECT_EQ(h.count(STATUS_DEVICE_INFO_FAILED), 1);
        }
    }
}

// A data frame whose answer was lost: 11 s later the command goes again, and
// its "ready for data" brings the data frame again; only the data's own
// answer makes the write done.
TEST_F(EngineTest, AReadyForDataAfterATimeOutSendsTheDataAgain) {
    identify();
    h.run(300);
    Outcomes outcomes;
    outcomes.attach(h);
    mc.handlers["W12"] = [](const MiniController::Command&, uint8_t& r) {
        r = 0x41;
        return std::vector<uint8_t>{};
    };
    int dataFrames = 0;
    mc.handlers["data"] = [&](const MiniController::Command&, uint8_t& r) {
        if (++dataFrames == 1)
            mc.dropAnswers = 1; // the first data frame's answer is lost
        r = 0;
        return std::vector<uint8_t>{};
    };
    const size_t events = h.events.size();
    h.engine.setMachineClock();
    h.run(10000);
    EXPECT_TRUE(outcomes.seen.empty()) << "nothing is known before the time-out";
    EXPECT_EQ(h.events.size(), events);
    h.run(2000);
    EXPECT_EQ(mc.countOf("W12"), 2);
    EXPECT_EQ(dataFrames, 2);
    ASSERT_EQ(outcomes.seen.size(), 1u);
    EXPECT_EQ(outcomes.seen[0].result, WriteResult::Done);
    EXPECT_EQ(std::count(h.events.begin(), h.events.end(), int(EVENT_CLOCK_SET)), 1);
    EXPECT_FALSE(h.engine.silent());
}

// A machine that stops answering in the middle of a nickname write: the
// write is reported as not answered, a Copy asked for before the silence is
// dropped, one asked for during it is refused, and neither reaches the
// machine once it answers again.
TEST_F(EngineTest, ASilentMachineHasItsWriteFailedAndItsRequestsDropped) {
    identify();
    h.run(300);
    Outcomes outcomes;
    std::vector<bool> silence;
    h.onStatusHook = [&](const EngineHarness::Status& s) {
        if (s.code == STATUS_WRITE_RESULT)
            outcomes.seen.push_back(*static_cast<const WriteOutcome*>(s.data));
        if (s.code == STATUS_SILENCE)
            silence.push_back(*static_cast<const bool*>(s.data));
    };
    mc.handlers["W5"] = [](const MiniController::Command&, uint8_t& r) {
        r = 0x41;
        return std::vector<uint8_t>{};
    };
    bool mute = false;
    // Silent from the nickname's data frame on, which goes unanswered too.
    mc.handlers["data"] = [&](const MiniController::Command&, uint8_t&) {
        mute = true;
        mc.dropAnswers = 1;
        return std::vector<uint8_t>{};
    };
    auto& device = *mc.device;
    const auto responder = device.responder;
    device.responder = [&, responder](ScriptedDevice& d, const std::vector<uint8_t>& f,
                                      uint32_t t) {
        if (!mute)
            responder(d, f, t);
    };
    h.engine.setNickname("Gone Quiet");
    h.engine.requestCopy(); // waits for the nickname write
    ASSERT_TRUE(h.runUntil([&] { return mute; }, 1000));
    h.run(11100);
    ASSERT_EQ(silence, std::vector<bool>{true}) << "silent once the time-out fired";
    EXPECT_TRUE(h.engine.silent());
    EXPECT_TRUE(outcomes.seen.empty()) << "the re-sent W 5 may still be answered";
    h.engine.requestCopy();
    h.engine.answerContinue();
    EXPECT_FALSE(h.engine.answerPending());
    uint8_t block[256] = {};
    EXPECT_FALSE(h.engine.setSetupParameters(block));
    h.run(11000);
    ASSERT_EQ(outcomes.seen.size(), 1u);
    EXPECT_EQ(outcomes.seen[0].what, MachineWrite::Nickname);
    EXPECT_EQ(outcomes.seen[0].result, WriteResult::NoAnswer);

    // Back again: the status poll is answered, and nothing asked earlier follows.
    mute = false;
    ASSERT_TRUE(h.runUntil([&] { return !h.engine.silent(); }, 12000));
    EXPECT_EQ(silence, (std::vector<bool>{true, false}));
    h.run(2000);
    EXPECT_EQ(mc.countOf("W42"), 0);
    EXPECT_EQ(mc.countOf("W13"), 0);
    EXPECT_EQ(mc.countOf("W31"), 0);
    EXPECT_TRUE(h.logged("Not sent, since the machine does not answer: Copy"));
}
