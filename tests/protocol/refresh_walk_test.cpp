// The full refresh walk that a machine window shown during a job starts: it
// must never hold back the operator's answer, and it reads the wire the way
// a user's session does (the virtual bus's trace).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "sim/stand_in.h"
#include "support/engine_harness.h"

using namespace dupmon;

namespace {

// One line of the bus's wire trace.
struct TraceLine {
    std::string kind; // "H", "C" or "EVENT"
    std::string text; // hex bytes, or the event
};

std::vector<TraceLine> readTrace(const std::string& trace) {
    std::vector<TraceLine> out;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string ms, kind;
        words >> ms >> kind;
        std::string rest;
        std::getline(words, rest);
        if (!rest.empty() && rest[0] == ' ')
            rest.erase(0, 1);
        out.push_back({kind, rest});
    }
    return out;
}

// The host's frames after the event `what`, in the order they went out.
std::vector<std::string> hostFramesAfter(const std::vector<TraceLine>& trace,
                                         const std::string& what) {
    std::vector<std::string> out;
    bool seen = false;
    for (const auto& l : trace) {
        if (l.kind == "EVENT" && l.text == what)
            seen = true;
        else if (seen && l.kind == "H")
            out.push_back(l.text);
    }
    return out;
}

const char* const kStatusPoll = "40 00 02 42 84";
const char* const kContinue = "40 00 03 57 0D A7";
const char* const kFinish = "40 00 03 57 0E A8";
const char* const kSetClock = "40 00 03 57 0C A6";

// A copy started from the engine, running until the engine has seen the
// machine write its targets.
void startCopyAndWaitForWork(EngineHarness& h) {
    ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
    h.run(300);
    h.engine.requestCopy();
    ASSERT_TRUE(h.runUntil(
        [&] { return h.engine.status().machineSubState == PHASE_WORKING && h.engine.deciding(); },
        60000));
}

// The host's frames up to the next status poll: what goes out within one pass.
std::vector<std::string> withinOnePass(const std::vector<std::string>& frames) {
    std::vector<std::string> out;
    for (const auto& f : frames) {
        if (f == kStatusPoll)
            break;
        out.push_back(f);
    }
    return out;
}

bool contains(const std::vector<std::string>& frames, const char* frame) {
    return std::find(frames.begin(), frames.end(), frame) != frames.end();
}

void showWindow(EngineHarness& h) {
    h.bus.traceEvent("window-open");
    h.engine.windowOpened();
    h.engine.refreshPortData();
}

} // namespace

TEST(RefreshWalk, TheAnswerToTheQuestionGoesOutWithinOnePassWhenTheWindowWasShownMidJob) {
    struct Case {
        const char* name;
        bool finish;
        const char* frame;
    } cases[] = {{"continue", false, kContinue}, {"finish", true, kFinish}};
    for (const auto& c : cases) {
        EngineHarness h;
        std::ostringstream trace;
        h.bus.setTrace(&trace);
        auto s = StandInController::create("usb10", h.clock);
        s->machine().speed = 4;
        h.plug(s);
        startCopyAndWaitForWork(h);
        showWindow(h);
        const size_t shownAt = h.statuses.size();

        // The window asks once the whole outcome is drawn, and posts the answer at once.
        int questions = 0;
        h.onStatusHook = [&](const EngineHarness::Status& st) {
            if (st.code != STATUS_OUTCOME ||
                st.block.firstIndex + st.block.count < h.info.maxDeviceQty)
                return;
            if (++questions > 1)
                return;
            h.bus.traceEvent(std::string("request ") + c.name);
            if (c.finish)
                h.engine.answerFinish();
            else
                h.engine.answerContinue();
        };
        ASSERT_TRUE(h.runUntil(
            [&] { return questions > 0 && s->machine().subState() != PHASE_RESULT; }, 120000))
            << c.name << ": the machine still waits for its operator";

        // The walk ran while the copy worked: blocks rendered by the running function.
        int walkBlocks = 0;
        for (size_t i = shownAt; i < h.statuses.size(); ++i)
            walkBlocks += h.statuses[i].code == STATUS_PORT_DATA;
        EXPECT_GT(walkBlocks, 0) << c.name;
        EXPECT_EQ(questions, 1) << c.name;

        const auto after =
            hostFramesAfter(readTrace(trace.str()), std::string("request ") + c.name);
        EXPECT_TRUE(contains(withinOnePass(after), c.frame))
            << c.name << ": the answer waited for another pass";
        EXPECT_EQ(s->commands('W', c.finish ? 14 : 13).size(), 1u) << c.name;
    }
}

TEST(RefreshWalk, ASetClockRequestDuringTheWalkIsSentBeforeTheNextPassEnds) {
    EngineHarness h;
    std::ostringstream trace;
    h.bus.setTrace(&trace);
    auto s = StandInController::create("usb10", h.clock);
    s->machine().speed = 0.5; // a long working phase
    h.plug(s);
    startCopyAndWaitForWork(h);
    showWindow(h);
    ASSERT_TRUE(h.runUntil([&] { return h.count(STATUS_PORT_DATA) >= 4; }, 20000));
    ASSERT_EQ(s->machine().subState(), PHASE_WORKING);

    h.bus.traceEvent("request set-clock");
    h.engine.setMachineClock();
    h.run(500);
    const auto after = hostFramesAfter(readTrace(trace.str()), "request set-clock");
    // The walk's own status poll may come first; the clock goes out right after it.
    int polls = 0;
    bool sent = false;
    for (const auto& f : after) {
        if (f == kSetClock) {
            sent = true;
            break;
        }
        polls += f == kStatusPoll;
    }
    EXPECT_TRUE(sent);
    EXPECT_LE(polls, 1) << "the clock waited for another pass";
    EXPECT_EQ(s->commands('W', 12).size(), 1u);
}

TEST(RefreshWalk, AMachineWithoutAJobLogIsNeverAskedForRecords) {
    EngineHarness h;
    auto s = StandInController::create("nolog8", h.clock);
    s->machine().speed = 4;
    h.plug(s, s->profile().productId);
    startCopyAndWaitForWork(h);
    showWindow(h);
    // Through the working phases, the outcome and back to standby.
    ASSERT_TRUE(h.runUntil([&] { return s->machine().state() == FN_STANDBY; }, 120000));
    h.run(2000);
    EXPECT_GT(h.count(STATUS_PORT_DATA), 0);
    EXPECT_GT(s->machine().logCount(), 0u) << "the machine wrote records of its own";
    EXPECT_TRUE(s->commands('W', 23).empty());
}
