// The monitor steps a machine only when its link has data or its own
// deadline comes. The commands a sync sends must not change for it: the same
// commands in the same order as when every engine is stepped every
// millisecond and every link read every 10 ms.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "shell/machine_slots.h"
#include "sim/sim_profiles.h"
#include "sim/stand_in.h"
#include "support/child_process.h"
#include "support/quiet_board.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

constexpr const char* kMachineId = "SEQ-1";
constexpr uint32_t kRecords = 25;

// One command as the controller saw it: "A", "W 17 00 00 01 f4", ... Data
// frames are "data" (the clock text in one of them changes with the time).
std::string describeCommand(const std::vector<uint8_t>& frame) {
    if (!frame.empty() && frame[0] == 0x23)
        return "data";
    if (frame.size() < 5 || frame[0] != 0x40)
        return "bad";
    std::string s(1, char(frame[3]));
    for (size_t i = 4; i + 1 < frame.size(); ++i)
        s += format(" %02x", frame[i]);
    return s;
}

// Everything up to the last log record request: what follows is idle
// polling, whose count depends on how long one waits.
std::vector<std::string> untilLastRecord(std::vector<std::string> v) {
    auto last = std::find_if(v.rbegin(), v.rend(),
                             [](const std::string& s) { return s.rfind("W 17", 0) == 0; });
    v.erase(last.base(), v.end());
    return v;
}

// A stand-in of the simulator's "usb10" profile with a job log, the slots
// on the virtual bus, and a folder for their files.
struct SlotsOnBus {
    fs::path dir;
    ManualClock clock;
    VirtualBus bus{clock};
    TestUi ui;
    QuietBoard board;
    std::shared_ptr<StandInController> machine;
    std::unique_ptr<MachineSlots> slots;

    explicit SlotsOnBus(const std::string& name) {
        dir = baseTemp() / ("dupmon-seq-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(dir);
        fs::create_directories(dir / "DATABASE");
        fs::create_directories(dir / "DEBUG_SESSION");
        bus.setWireTime(1);
        machine = std::make_shared<StandInController>(*findSimProfile("usb10"), clock, kMachineId);
        machine->machine().preloadLog(kRecords);
        bus.plug(machine, 0x6C15, machine->profile().productId);
        bus.poll();
        slots = std::make_unique<MachineSlots>(bus, &bus, clock, ui, board,
                                               ShellPaths::under(dir, dir / "no-program"));
        for (int i = 0; i < 4; ++i)
            slots->Timer3Timer();
    }
    ~SlotsOnBus() {
        slots.reset();
        fs::remove_all(dir);
    }
    bool synced() const { return machine->logNumbersAsked().size() >= kRecords; }
    std::vector<std::string> commands() const {
        std::vector<std::string> v;
        for (const HostFrame& f : machine->hostFrames())
            if (f.kind != HostFrame::Raw)
                v.push_back(describeCommand(f.bytes));
        return v;
    }
};

// The fixed beat: every engine stepped every millisecond, every waiting link
// read every 10 ms.
std::vector<std::string> syncOnTheFixedBeat() {
    SlotsOnBus s("beat");
    for (uint32_t ms = 1; ms < 120000 && !s.synced(); ++ms) {
        s.clock.advance(1);
        s.bus.pump();
        s.slots->pollWatcher();
        if (ms % 10 == 0)
            s.slots->Timer1Timer();
        for (int c = 0; c < MachineSlots::kSlotCount; ++c)
            if (s.slots->connection(c).connected())
                s.slots->connection(c).step();
    }
    EXPECT_TRUE(s.synced());
    return untilLastRecord(s.commands());
}

} // namespace

TEST(WireSequence, SlotsSteppedOnlyWhenDueSendWhatTheFixedBeatSends) {
    const std::vector<std::string> reference = syncOnTheFixedBeat();
    ASSERT_GT(reference.size(), size_t(kRecords));

    SlotsOnBus s("due");
    // The event loop in virtual time: sleep until the slots' own deadline or
    // the next report on the wire, whichever comes first.
    int wakeups = 0;
    auto runFor = [&](uint32_t ms, auto until) {
        const uint32_t end = s.clock.tickMs() + ms;
        int idleTurns = 0;
        while (!until() && static_cast<int32_t>(end - s.clock.tickMs()) > 0) {
            const uint32_t work = s.slots->msUntilWork();
            uint32_t wait = work, due = 0;
            // Reports already on the host's side wait for the link to read them.
            if (s.bus.nextDue(due) && static_cast<int32_t>(due - s.clock.tickMs()) > 0)
                wait = std::min(wait, due - s.clock.tickMs());
            wait = std::min(wait, end - s.clock.tickMs());
            // The bus moving reports is the machines' time, not the program's.
            wakeups += wait == work;
            idleTurns = wait == 0 ? idleTurns + 1 : 0;
            ASSERT_LT(idleTurns, 100) << "due now, again and again, with nothing done";
            s.clock.advance(wait);
            s.bus.pump();
            s.slots->runDueWork();
        }
    };
    runFor(120000, [&] { return s.synced(); });
    ASSERT_TRUE(s.synced());
    EXPECT_EQ(untilLastRecord(s.commands()), reference);

    // Synced and idle, ten polls a second: the program wakes for the poll and
    // to read the answer (a link without a descriptor is read every 10 ms).
    wakeups = 0;
    const size_t polls = s.machine->commands('B').size();
    runFor(10000, [] { return false; });
    const size_t idlePolls = s.machine->commands('B').size() - polls;
    EXPECT_GE(idlePolls, 99u);
    EXPECT_LE(idlePolls, 101u);
    // A few turns of slack: a log sync's end comes from its worker thread in
    // real time, and on a loaded machine it can add a turn of its own. A slot
    // that wakes when it has nothing to do wakes hundreds of times more.
    EXPECT_LE(wakeups, int(3 * idlePolls) + 10) << "the slots woke more often than their work asks";
}

TEST(WireSequence, TheHeadlessMonitorSendsTheSameCommandsOverTheSimulatorSocket) {
    const std::vector<std::string> reference = syncOnTheFixedBeat();
    const fs::path dir = freshRunFolder("dupmon-seq-e2e");
    const std::string socket = (dir / "sim.sock").string();
    const fs::path trace = dir / "wire.trace";
    Child sim({DUPMON_SIM, "--socket", socket, "--wire", "1", "--trace", trace.string(), "--plug",
               std::string("usb10,id=") + kMachineId + ",logs=" + std::to_string(kRecords)},
              dir / "sim.out", dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(socket); }, 10));
    Child monitor(
        {DUPMON_MONITOR, "--headless", "--simulator", socket, "--workdir", (dir / "work").string()},
        dir / "monitor.out", dir);
    ASSERT_TRUE(waitFor(
        [&] { return countOf(monitor.output(), "stored log record") >= int(kRecords); }, 60))
        << monitor.output();
    EXPECT_EQ(monitor.stop(), 0);
    sim.stop();

    // "<ms> H <hex bytes>": the frames the monitor sent.
    std::vector<std::string> sent;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string ms, dirWord;
        if (!(words >> ms >> dirWord) || dirWord != "H")
            continue;
        std::vector<uint8_t> frame;
        for (std::string b; words >> b;)
            frame.push_back(uint8_t(std::stoul(b, nullptr, 16)));
        sent.push_back(describeCommand(frame));
    }
    EXPECT_EQ(untilLastRecord(sent), reference);
    fs::remove_all(dir);
}
