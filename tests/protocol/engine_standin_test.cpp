#include <gtest/gtest.h>

#include <set>

#include "sim/sim_profiles.h"
#include "sim/stand_in.h"
#include "support/engine_harness.h"

using namespace dupmon;

namespace {

std::shared_ptr<StandInController> standIn(EngineHarness& h, const char* profile) {
    auto s = StandInController::create(profile, h.clock);
    EXPECT_TRUE(s) << profile;
    return s;
}

} // namespace

TEST(EngineAgainstStandIns, IdentifiesEveryProfile) {
    for (const SimProfile& p : simProfiles()) {
        EngineHarness h;
        auto s = standIn(h, p.name.c_str());
        h.plug(s, p.productId);
        ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000)) << p.name;
        const MachineInfo& m = h.info;
        EXPECT_EQ(std::string(m.modelName), p.modelName) << p.name;
        EXPECT_EQ(std::string(m.version), p.version) << p.name;
        EXPECT_EQ(m.maxDeviceQty, p.ports) << p.name;
        EXPECT_EQ(m.deviceType, p.deviceType) << p.name;
        EXPECT_EQ(m.machineType, p.machineType) << p.name;
        EXPECT_EQ(m.boardQty, p.boardQty) << p.name;
        EXPECT_EQ(bool(m.wideCounters), p.wideLayout()) << p.name;
        EXPECT_EQ(m.support_LogRecord, p.jobLog ? 1 : 0) << p.name;
        EXPECT_EQ(m.flag_support_one_Pellux_Device, p.imageBank() ? 1 : 0) << p.name;
        EXPECT_EQ(std::string(m.machineId), s->machine().machineId) << p.name;
        if (p.machineType == 1) {
            EXPECT_EQ(m.portQty_per_Row, 8);
            EXPECT_EQ(m.portQty_per_board, 8);
        }
        if (!p.jobLog) {
            EXPECT_TRUE(s->commands('W', 22).empty()) << p.name;
            EXPECT_TRUE(s->commands('W', 21).empty()) << p.name;
        }
    }
}

TEST(EngineAgainstStandIns, EveryInjectedFaultIsLoggedAndTheJobLogStaysWhole) {
    struct Case {
        SimFault fault;
        const char* logged;
    } cases[] = {
        {SimFault::WrongCheck, "[Wrong CheckSUM]"},
        {SimFault::WrongLength, "[Wrong Data come in Length]"},
        {SimFault::WrongStart, "[Wrong Data come in]"},
        {SimFault::DropAnswer, "[Cmd Time Out]"},
        {SimFault::Garbage, nullptr},
        {SimFault::LateAnswer, nullptr},
    };
    for (const auto& c : cases) {
        EngineHarness h;
        auto s = standIn(h, "usb10");
        s->machine().preloadLog(30);
        s->machine().setLogFirstNo(1000);
        h.plug(s);
        ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
        SimFaultSpec spec;
        spec.kind = c.fault;
        spec.times = 2;
        spec.delayMs = 12000;
        spec.letter = 'W';
        spec.sub = 23;
        s->injectFault(spec);
        ASSERT_TRUE(h.runUntil([&] { return h.records.size() >= 30; }, 120000))
            << simFaultName(c.fault) << " got " << h.records.size();
        h.run(3000);
        std::vector<uint32_t> numbers;
        for (const auto& r : h.records)
            numbers.push_back(readBE32(r.data()));
        std::vector<uint32_t> expected;
        for (uint32_t n = 1000; n < 1030; ++n)
            expected.push_back(n);
        EXPECT_EQ(numbers, expected) << simFaultName(c.fault);
        EXPECT_EQ(s->faultsPending(), 0) << simFaultName(c.fault);
        if (c.logged) {
            bool seen = false;
            for (const auto& l : h.logs)
                seen |= l.find(c.logged) != std::string::npos;
            EXPECT_TRUE(seen) << simFaultName(c.fault);
        }
    }
}

TEST(EngineAgainstStandIns, WrongCrcOnKind11PortDataIsAskedAgain) {
    EngineHarness h;
    auto s = standIn(h, "usb10");
    h.plug(s);
    ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
    h.engine.windowOpened();
    SimFaultSpec spec;
    spec.kind = SimFault::WrongCheck;
    spec.letter = 'E';
    spec.sub = 11;
    s->injectFault(spec);
    // Setting write protection runs over kind-11 records.
    ASSERT_EQ(s->machine().startJob(80, h.clock.tickMs()), JOB_STARTED);
    h.engine.refreshPortData();
    h.run(8000);
    bool seen = false;
    for (const auto& l : h.logs)
        seen |= l.find("[Wrong CRC32] CMD:E,cmd[4]=11") != std::string::npos;
    EXPECT_TRUE(seen);
}

TEST(EngineAgainstStandIns, UnplugDuringAWaitingRequestEndsTheWait) {
    EngineHarness h;
    auto s = standIn(h, "usb10");
    const std::string path = h.plug(s);
    ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
    h.run(200);
    SimFaultSpec spec;
    spec.kind = SimFault::DropAnswer;
    spec.times = 100;
    spec.letter = 'W';
    spec.sub = 30;
    s->injectFault(spec);
    int passes = 0;
    h.ui.onProcessEvents = [&] {
        h.run(1);
        if (++passes == 3000) {
            h.bus.unplug(path);
            h.engine.disconnect(); // what the slots do on the removal notice
        }
    };
    uint8_t block[256];
    EXPECT_FALSE(h.engine.getSetupParameters(block));
    EXPECT_GE(passes, 3000);
}

TEST(EngineAgainstStandIns, AJobFromTheWindowRunsToItsLogRecords) {
    EngineHarness h;
    auto s = standIn(h, "usb10");
    h.plug(s);
    ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
    h.run(500);
    h.engine.windowOpened();
    const size_t before = h.records.size();
    h.engine.requestCopy();
    // The stand-in asks continue-or-finish at the end: answer Finish when the outcome shows.
    bool asked = false;
    ASSERT_TRUE(h.runUntil(
        [&] {
            if (!asked && h.count(STATUS_OUTCOME) > 0) {
                asked = true;
                h.engine.answerFinish();
            }
            return h.records.size() > before && h.engine.isIdle() && asked;
        },
        600000));
    EXPECT_GT(h.count(STATUS_SOURCE) + h.count(STATUS_TARGETS), 0);
    EXPECT_GT(h.count(STATUS_WORKING), 0);
    EXPECT_EQ(s->commands('W', 42).size(), 1u);
}

// The connection is reused for whatever machine is plugged in next: an action
// the operator asked of a machine that was unplugged before it went out must
// not start on the next one.
TEST(EngineAgainstStandIns, RequestsOfAnUnpluggedMachineDoNotReachTheNextOne) {
    EngineHarness h;
    auto first = standIn(h, "usb10");
    const std::string path = h.plug(first);
    ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
    h.run(500);
    h.engine.requestCopy();
    h.engine.requestCompare();
    h.engine.answerFinish();
    h.engine.requestRelease();
    h.engine.disconnect();
    h.link.close();
    ASSERT_TRUE(h.bus.unplug(path));

    auto next = standIn(h, "usb10");
    h.events.clear();
    h.plug(next);
    ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
    h.run(3000);
    EXPECT_TRUE(first->commands('W', 42).empty());
    for (int sub : {42, 43, 14, 81})
        EXPECT_TRUE(next->commands('W', sub).empty()) << "W " << sub;
    EXPECT_EQ(next->machine().state(), 0);
}
