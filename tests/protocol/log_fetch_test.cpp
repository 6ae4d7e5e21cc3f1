// Job-log sync against stand-ins whose log numbers run past 0xFFFFFFFF: the
// local copy must hold every record of the machine exactly once, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/stand_in.h"
#include "support/engine_harness.h"

using namespace dupmon;

namespace {

// Every record the machine holds, oldest first, as it would answer W 23.
std::vector<std::vector<uint8_t>> machineLog(const MachineModel& m) {
    std::vector<std::vector<uint8_t>> out;
    for (uint32_t k = 0; k < m.logCount(); ++k) {
        std::vector<uint8_t> r(MachineModel::kLogRecordSize);
        EXPECT_TRUE(m.logRecord(m.logFirstNo() + k, r.data()));
        out.push_back(std::move(r));
    }
    return out;
}

// The first log numbers of a record list, for a failure message.
std::string numbers(const std::vector<std::vector<uint8_t>>& records) {
    std::string s;
    for (size_t i = 0; i < records.size() && i < 40; ++i)
        s += std::to_string(readBE32(records[i].data())) + " ";
    return s;
}

} // namespace

TEST(LogFetch, ARangeThatWrapsPastTheLargestNumberIsSyncedOnceAndInOrder) {
    struct Case {
        const char* name;
        uint32_t first;
        uint32_t count;
    } cases[] = {
        {"3000 records from 0xFFFFF830", 0xFFFFF830u, 3000},
        {"the last number before the wrap is the first", 0xFFFFFFFFu, 5},
        {"ends exactly on 0xFFFFFFFF", 0xFFFFFFF0u, 16},
        {"an odd count across the wrap", 0xFFFFFFFDu, 7},
    };
    for (const auto& c : cases) {
        EngineHarness h;
        auto s = StandInController::create("usb10", h.clock);
        s->machine().preloadLog(c.count);
        s->machine().setLogFirstNo(c.first);
        h.plug(s);
        ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000)) << c.name;
        ASSERT_TRUE(h.runUntil([&] { return h.records.size() >= c.count; }, 600000))
            << c.name << ": " << h.records.size() << " records";
        h.run(3000); // nothing more may come
        const auto expected = machineLog(s->machine());
        ASSERT_EQ(expected.size(), c.count) << c.name;
        EXPECT_EQ(h.records.size(), c.count) << c.name;
        EXPECT_TRUE(h.records == expected) << c.name << ": got " << numbers(h.records);
        std::vector<uint32_t> asked = s->logNumbersAsked(), wanted;
        for (uint32_t k = 0; k < c.count; ++k)
            wanted.push_back(c.first + k);
        EXPECT_EQ(asked, wanted) << c.name << ": each number asked once";
    }
}

TEST(LogFetch, AWrappedRangeKeepsGrowingWhileAJobRunsWithTheWindowOpen) {
    EngineHarness h;
    auto s = StandInController::create("usb10", h.clock);
    MachineModel& m = s->machine();
    m.speed = 8;
    m.preloadLog(40);
    m.setLogFirstNo(0xFFFFFFF0u);
    h.plug(s);
    ASSERT_TRUE(h.runUntil([&] { return h.records.size() >= 40; }, 120000));
    // Two jobs with the window open: the busy steps and the refresh walk fetch
    // the new records past the wrap.
    h.engine.windowOpened();
    h.onStatusHook = [&](const EngineHarness::Status& st) {
        if (st.code == STATUS_OUTCOME &&
            st.block.firstIndex + st.block.count >= h.info.maxDeviceQty)
            h.engine.answerFinish();
    };
    for (int job = 0; job < 2; ++job) {
        h.engine.refreshPortData();
        h.engine.requestCopy();
        ASSERT_TRUE(h.runUntil([&] { return m.state() != FN_STANDBY; }, 20000));
        ASSERT_TRUE(h.runUntil([&] { return m.state() == FN_STANDBY; }, 300000)) << "job " << job;
    }
    ASSERT_GT(m.logCount(), 40u);
    ASSERT_TRUE(h.runUntil([&] { return h.records.size() >= m.logCount(); }, 60000));
    h.run(3000);
    EXPECT_TRUE(h.records == machineLog(m)) << numbers(h.records);
    const auto asked = s->logNumbersAsked();
    EXPECT_EQ(asked.size(), m.logCount()) << "each number asked once";
}

TEST(LogFetch, OldRecordsDroppedByTheMachineAreSkippedAcrossTheWrap) {
    // The machine keeps 20 records; the host has stored up to one it no longer holds.
    EngineHarness h;
    auto s = StandInController::create("usb10", h.clock);
    MachineModel& m = s->machine();
    m.preloadLog(20);
    m.setLogFirstNo(0xFFFFFFFAu); // 0xFFFFFFFA .. 13
    h.plug(s);
    ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
    h.info.lastStoredLogNo = int32_t(0xFFFFFFF0u); // older than the oldest the machine holds
    h.engine.setStoredRecords(true);
    ASSERT_TRUE(h.runUntil([&] { return h.records.size() >= 20; }, 60000));
    h.run(2000);
    EXPECT_TRUE(h.records == machineLog(m)) << numbers(h.records);
    EXPECT_EQ(s->logNumbersAsked().front(), 0xFFFFFFFAu);
}
