// A machine that stops taking the program's reports, among machines that
// sync: it holds nobody up, is let go once its engine's answer time runs out,
// and the others' records keep arriving all along.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "common/text.h"
#include "shell/machine_slots.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

struct Board final : BoardView {
    int placed = 0;
    std::map<int, bool> on;
    std::vector<std::string> lines;
    int placePicture(const MachineInfo&) override { return placed++; }
    void showOn(int p, int) override { on[p] = true; }
    void showOff(int p, int) override { on[p] = false; }
    bool isOn(int p) const override { return on.count(p) && on.at(p); }
    int pictureConnection(int) const override { return -1; }
    void setCaption(int, const MachineInfo&) override {}
    void enableWorkTimers() override {}
    void stopStartupTimer() override {}
    void closeMainWindow() override {}
    void report(const std::string& line) override { lines.push_back(line); }
    bool said(const std::string& start) const {
        for (const auto& l : lines)
            if (l.rfind(start, 0) == 0)
                return true;
        return false;
    }
};

std::string fileText(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(StalledMachine, IsLetGoAfterTheAnswerTimeOutWhileTheOthersKeepSyncing) {
    const dupmon::test::TempDir tmp("dupmon-stall");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir / "DATABASE");
    fs::create_directories(dir / "DEBUG_SESSION");
    ManualClock clock;
    VirtualBus bus(clock);
    TestUi ui;
    Board board;
    std::vector<std::shared_ptr<StandInController>> machines;
    for (int k = 0; k < 4; ++k) {
        machines.push_back(StandInController::create("usb10", clock, "STALL-" + std::to_string(k)));
        machines.back()->machine().preloadLog(20000);
        bus.plug(machines.back(), 0x6C15, machines.back()->profile().productId);
    }
    {
        MachineSlots slots(bus, &bus, clock, ui, board, ShellPaths::under(dir, dir / "no-program"));
        std::map<std::string, int> stored;
        for (int c = 0; c < MachineSlots::kSlotCount; ++c) {
            MACHINE& m = slots.connection(c);
            m.setSyncInterval(1000);
            m.setRecordHook([&stored, &m](uint32_t, bool ok) {
                if (ok)
                    ++stored[m.info().machineId];
            });
        }
        for (int i = 0; i < 4; ++i)
            slots.Timer3Timer();
        bus.poll();
        // What the program's event loop does, one millisecond at a time.
        auto run = [&](int ms) {
            for (int t = 0; t < ms; ++t) {
                clock.advance(1);
                bus.pump();
                slots.pollWatcher();
                slots.runDueWork();
            }
        };
        auto counts = [&] {
            std::vector<int> v;
            for (int k = 0; k < 4; ++k)
                v.push_back(stored["STALL-" + std::to_string(k)]);
            return v;
        };
        auto fewest = [&] {
            const std::vector<int> v = counts();
            return *std::min_element(v.begin(), v.end());
        };
        for (int waited = 0; waited < 20000 && fewest() < 20; waited += 100)
            run(100);
        ASSERT_GE(counts()[0], 20);
        MACHINE* stalled = nullptr;
        for (int c = 0; c < MachineSlots::kSlotCount; ++c)
            if (std::string(slots.connection(c).info().machineId) == "STALL-0")
                stalled = &slots.connection(c);
        ASSERT_NE(stalled, nullptr);
        const int slot = stalled->slot();
        const int picture = stalled->pictureIndex();
        EXPECT_TRUE(board.isOn(picture));

        // 1. STALL-0 stops taking reports.
        SimFaultSpec stall;
        stall.kind = SimFault::Stall;
        machines[0]->injectFault(stall);
        const std::vector<int> atStall = counts();
        const size_t framesAtStall = machines[0]->hostFrames().size();

        // 2. Until its answer time runs out it stays, and the others sync on.
        run(10500);
        const std::vector<int> beforeTimeOut = counts();
        EXPECT_FALSE(board.said("lost slot"));
        EXPECT_TRUE(stalled->connected());
        EXPECT_LE(beforeTimeOut[0], atStall[0] + 1); // at most an answer already on its way
        for (int k = 1; k < 4; ++k)
            EXPECT_GE(beforeTimeOut[size_t(k)], atStall[size_t(k)] + 500) << "machine " << k;

        // 3. Then it is let go, as an unplugged machine is, and the board says why.
        run(1500);
        EXPECT_TRUE(board.said(format("lost slot %d /dev/virtual/hidraw0: the machine took no "
                                      "report for 11 s",
                                      slot)))
            << (board.lines.empty() ? "" : board.lines.back());
        EXPECT_FALSE(stalled->connected());
        EXPECT_FALSE(board.isOn(picture));
        EXPECT_EQ(slots.link(slot), nullptr);
        EXPECT_NE(fileText(stalled->debugFilePath()).find("[Link Time Out]"), std::string::npos);

        // 4. The others never stopped; the stalled machine got no frame, and no
        // broken one, after it stopped taking reports.
        run(3000);
        const std::vector<int> after = counts();
        for (int k = 1; k < 4; ++k)
            EXPECT_GE(after[size_t(k)], beforeTimeOut[size_t(k)] + 150) << "machine " << k;
        EXPECT_EQ(machines[0]->hostFrames().size(), framesAtStall);
        for (const HostFrame& f : machines[0]->hostFrames())
            EXPECT_NE(f.kind, HostFrame::Bad);
    }
}
