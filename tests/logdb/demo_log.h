#pragma once
// A stand-in duplicator's job log after a demo run: the stand-in runs copy
// jobs over a week from its own panel, one port failing more often than the
// others, then the real engine identifies it and fetches its log over the
// virtual bus, and the records go into a log database through the store the
// monitor uses.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "logdb/log_store.h"
#include "sim/stand_in.h"
#include "support/engine_harness.h"

namespace dupmon::test {

struct DemoPlan {
    const char* profile;
    uint16_t weakPort; // the port index (and the log's port number) that wears
    double weakRate;
    double usualRate; // of every other target port
    int days;
    int jobsPerDay;
    int roundsPerJob; // on machines that ask to continue
};

struct DemoLog {
    MachineInfo info{};
    std::filesystem::path database;
    uint32_t records = 0;
    uint32_t rounds = 0; // jobs as the log groups them: one a round of targets
};

inline DemoLog runDemo(const DemoPlan& plan, const std::filesystem::path& dir) {
    DemoLog out;
    EngineHarness h;
    h.clock.setLocalTime({2026, 12, 1, 7, 0, 0, 0, 2});
    auto device = StandInController::create(plan.profile, h.clock);
    EXPECT_TRUE(device) << plan.profile;
    if (!device)
        return out;
    MachineModel& m = device->machine();
    m.speed = 400;
    for (size_t p = 1; p < m.portCount(); ++p)
        m.setPortFailRate(p, p == plan.weakPort ? plan.weakRate : plan.usualRate);

    // The week of jobs, started at the machine's panel an hour and a half apart.
    const uint8_t functions[] = {1, 5};
    for (int day = 0; day < plan.days; ++day) {
        for (int job = 0; job < plan.jobsPerDay; ++job) {
            EXPECT_EQ(m.startJob(functions[job % 2], h.clock.tickMs()), JOB_STARTED);
            int round = 1;
            for (int ms = 0; ms < 3600000 && m.state() != FN_STANDBY; ms += 50) {
                h.clock.advance(50);
                m.tick(h.clock.tickMs());
                if (!m.waitingForAnswer())
                    continue;
                if (round < plan.roundsPerJob) {
                    m.answerContinue(h.clock.tickMs());
                    ++round;
                } else {
                    m.answerFinish(h.clock.tickMs());
                }
                ++out.rounds;
            }
            if (!m.profile().continueOrFinish())
                ++out.rounds;
            h.clock.advance(90 * 60 * 1000);
            m.tick(h.clock.tickMs());
        }
        h.clock.advance(24 * 3600 * 1000u - plan.jobsPerDay * 90 * 60 * 1000u);
        m.tick(h.clock.tickMs());
    }

    // The monitor meets the machine and fetches its log.
    h.plug(device, device->profile().productId);
    const uint32_t wanted = m.logCount();
    EXPECT_TRUE(h.runUntil([&] { return h.records.size() >= wanted; }, 3600000))
        << plan.profile << ": " << h.records.size() << " of " << wanted;
    out.info = h.info;
    out.database = logDatabasePath(dir, h.info);
    LogStore store;
    EXPECT_EQ(store.open(out.database, out.info, dir).result, PASS);
    for (const auto& r : h.records)
        EXPECT_TRUE(store.append(r.data(), r.size(), out.info).stored);
    store.close();
    out.records = uint32_t(h.records.size());
    return out;
}

} // namespace dupmon::test
