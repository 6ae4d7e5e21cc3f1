// Ten stand-in machines, one program: the real machine slots, connections,
// engines, links and log databases on the virtual bus, with a manual clock.
// While the machines run jobs and the program syncs their logs, random
// answers are spoiled (wrong check, wrong length, wrong start byte, dropped,
// late, garbage) and machines are unplugged and plugged in again. In the end
// every machine's log database holds its log, record for record.
//
// DUPMON_SOAK_SECONDS (machine time, default 40) and DUPMON_SOAK_SEED make a
// longer or another run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "hidlink/usbhidioc.h"
#include "logdb/log_database.h"
#include "shell/machine_slots.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"
#include "support/quiet_board.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

uint32_t envNumber(const char* name, uint32_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? uint32_t(std::strtoul(v, nullptr, 10)) : fallback;
}

struct Machine {
    std::shared_ptr<StandInController> device;
    std::string path; // empty while unplugged
    uint32_t plugAgainAt = 0;
};

} // namespace

TEST(FaultSoak, TenMachinesWithRandomFaultsAndUnplugsLoseAndDoubleNothing) {
    const uint32_t seconds = envNumber("DUPMON_SOAK_SECONDS", 40);
    const uint32_t seed = envNumber("DUPMON_SOAK_SEED", 20260315);
    std::printf("soak: %u s of machine time, seed %u\n", seconds, seed);
    std::mt19937 rng(seed);
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
    auto pick = [&](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); };

    const dupmon::test::TempDir tmp("dupmon-soak");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir / "DATABASE"); // made by the main window at start
    fs::create_directories(dir / "DEBUG_SESSION");
    ManualClock clock;
    VirtualBus bus(clock);
    TestUi ui;
    QuietBoard board;

    const char* profiles[] = {"usb10",  "combo16", "microsd24", "cf8",    "sd20",
                              "panel2", "old7",    "narrow7",   "bank10", "usb10"};
    std::vector<Machine> machines;
    for (int i = 0; i < 10; ++i) {
        Machine m;
        m.device = StandInController::create(profiles[i], clock, "SOAK-" + std::to_string(i));
        ASSERT_TRUE(m.device);
        MachineModel& model = m.device->machine();
        model.speed = 30;
        model.preloadLog(40 + pick(80));
        // Two of them number their log across 0xFFFFFFFF.
        model.setLogFirstNo(i % 5 == 1 ? 0xFFFFFFFFu - pick(60) : pick(100000));
        m.path = bus.plug(m.device, CUsbhidioc::kVendorId, m.device->profile().productId);
        machines.push_back(std::move(m));
    }

    auto slots = std::make_unique<MachineSlots>(bus, &bus, clock, ui, board,
                                                ShellPaths::under(dir, dir / "no-program"));
    for (int i = 0; i < 4; ++i)
        slots->Timer3Timer();
    bus.poll(); // what discovery found is not news

    // One turn of the program's loop, as its timers run it: the clock jumps
    // to the next moment the program has work (an engine's deadline, a link
    // to read, a plug to notice) or a report reaches a machine, but never
    // more than `limit` ms on. `ms` is the machine time since the start.
    uint32_t ms = 0, turns = 0;
    auto step = [&](uint32_t limit) {
        ++turns;
        uint32_t wait = std::min(limit, slots->msUntilWork());
        uint32_t due = 0;
        if (bus.nextToDevice(due))
            wait = std::min<uint32_t>(wait, std::max<int32_t>(int32_t(due - clock.tickMs()), 0));
        wait = std::max<uint32_t>(wait, 1);
        clock.advance(wait);
        ms += wait;
        bus.pump();
        slots->runDueWork();
    };
    auto runFor = [&](uint32_t span) {
        for (const uint32_t end = ms + span; ms < end;)
            step(end - ms);
    };
    const SimFault kinds[] = {SimFault::WrongCheck, SimFault::WrongLength, SimFault::WrongStart,
                              SimFault::DropAnswer, SimFault::LateAnswer,  SimFault::Garbage,
                              SimFault::Unplug};
    int faults = 0, unplugs = 0, jobs = 0;
    while (ms < seconds * 1000) {
        // The test's next move: every 50 ms, or a machine due back on the bus.
        uint32_t limit = 50 - ms % 50;
        for (const Machine& m : machines)
            if (m.path.empty())
                limit = std::min<uint32_t>(
                    limit, std::max<int32_t>(int32_t(m.plugAgainAt - clock.tickMs()), 1));
        step(limit);
        const uint32_t now = clock.tickMs();
        for (Machine& m : machines) {
            if (!m.device->plugged() && !m.path.empty()) {
                m.path.clear(); // it pulled its own plug (fault "unplug")
                m.plugAgainAt = now + 500 + pick(3000);
            }
            if (m.path.empty() && int32_t(now - m.plugAgainAt) >= 0)
                m.path = bus.plug(m.device, CUsbhidioc::kVendorId, m.device->profile().productId);
        }
        if (ms % 50 == 0 && chance(0.5)) {
            Machine& m = machines[pick(10)];
            SimFaultSpec f;
            f.kind = kinds[pick(std::size(kinds))];
            f.times = 1 + int(pick(2));
            f.delayMs = 20 + pick(13000);
            m.device->injectFault(f);
            ++faults;
        }
        if (ms % 1000 == 0 && chance(0.3)) {
            Machine& m = machines[pick(10)];
            if (!m.path.empty()) {
                bus.unplug(m.path);
                m.path.clear();
                m.plugAgainAt = now + 200 + pick(4000);
                ++unplugs;
            }
        }
        if (ms % 500 == 0) {
            // The operators at the machines' panels: start copies, finish them.
            for (Machine& m : machines) {
                MachineModel& model = m.device->machine();
                if (model.waitingForAnswer() && chance(0.5))
                    model.answerFinish(now);
                else if (model.state() == FN_STANDBY && chance(0.05) &&
                         model.startJob(FN_COPY, now) == JOB_STARTED)
                    ++jobs;
            }
        }
    }
    std::printf("soak: %d faults asked for, %d unplugs, %d jobs in %u turns of the loop\n", faults,
                unplugs, jobs, turns);

    // Calm: no more faults, every machine plugged, every job finished.
    for (Machine& m : machines) {
        m.device->clearFaults();
        if (m.path.empty() || !m.device->plugged())
            m.path = bus.plug(m.device, CUsbhidioc::kVendorId, m.device->profile().productId);
    }
    auto path = [&](const Machine& m) {
        MachineInfo info{};
        std::snprintf(info.machineId, sizeof info.machineId, "%s",
                      m.device->machine().machineId.c_str());
        return logDatabasePath(dir / "DATABASE", info);
    };
    auto synced = [&] {
        for (const Machine& m : machines) {
            const MachineModel& model = m.device->machine();
            if (model.state() != FN_STANDBY)
                return false;
            const auto db = readLogDatabase(path(m));
            if (db.result != PASS || db.count < model.logCount())
                return false;
        }
        return true;
    };
    bool done = false;
    for (const uint32_t end = ms + 600000; ms < end && !done;) {
        step(std::min(500 - ms % 500, end - ms));
        if (ms % 500 == 0)
            for (Machine& m : machines)
                if (m.device->machine().waitingForAnswer())
                    m.device->machine().answerFinish(clock.tickMs());
        if (ms % 1000 == 0)
            done = synced();
    }
    EXPECT_TRUE(done) << "the databases did not catch up";
    runFor(200); // nothing more may come

    uint32_t total = 0;
    for (const Machine& m : machines) {
        const MachineModel& model = m.device->machine();
        SCOPED_TRACE(model.machineId);
        const auto db = readLogDatabase(path(m));
        ASSERT_EQ(db.result, PASS);
        ASSERT_EQ(db.count, model.logCount());
        for (uint32_t k = 0; k < db.count; ++k) {
            uint8_t expected[MachineModel::kLogRecordSize];
            ASSERT_TRUE(model.logRecord(model.logFirstNo() + k, expected));
            ASSERT_EQ(std::memcmp(db.record(k), expected, sizeof expected), 0)
                << "record " << k << " holds number " << readBE32(db.record(k)) << ", not "
                << readBE32(expected);
        }
        total += db.count;
    }
    int committed = 0;
    for (const Machine& m : machines)
        committed += m.device->faultsCommitted();
    std::printf("soak: %u records in ten databases, each exactly once; %d answers spoiled\n", total,
                committed);
    EXPECT_GT(committed, 100);
    EXPECT_GT(unplugs, 5);
    slots.reset();
}
