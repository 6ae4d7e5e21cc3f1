// The demo keeps running by itself: a stand-in whose machine window is not
// open answers its own continue-or-finish question at its panel.
#include <gtest/gtest.h>

#include <QApplication>
#include <filesystem>
#include <set>

#include "app/demo.h"
#include "machine_window/widget_support.h"
#include "shell/main_window.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

struct DemoRun {
    QApplication& app = testApplication(); // before the demo's timers
    dupmon::test::TempDir tmp{"dupmon-demo"};
    fs::path dir{tmp.path};
    ManualClock clock;
    TestUi ui;
    DemoMachines demo{clock};
    std::unique_ptr<TForm1> form;
    uint32_t longestWaitMs = 0;
    std::set<std::string> waited; // machines that asked to continue or finish
    std::set<std::string> ended;  // machines whose job log grew: a job ended
    std::map<std::string, uint32_t> logCounts;
    std::map<std::string, uint32_t> waitingSince;

    DemoRun() {
        form =
            std::make_unique<TForm1>(demo.bus(), &demo.bus(), clock, ui, dir, dir / "no-program");
        demo.setAnsweredAtPc(
            [this](const std::string& id) { return form->machineWindowShown(id); });
        for (int i = 0; i < 4; ++i)
            form->machineSlots().Timer3Timer();
    }
    ~DemoRun() {
        form->close();
        form.reset();
    }

    // Runs the demo, its stand-ins and the board on the manual clock.
    void run(uint32_t ms) {
        MachineSlots& board = form->machineSlots();
        for (uint32_t t = 0; t < ms; ++t) {
            clock.advance(1);
            demo.bus().pump();
            board.pollWatcher();
            board.Timer1Timer();
            board.Timer2Timer();
            if (clock.tickMs() % 1000 == 0) {
                demo.tick();
                watch();
            }
        }
    }

    void watch() {
        for (const auto& s : demo.machines()) {
            const MachineModel& m = s->machine();
            auto [count, first] = logCounts.emplace(m.machineId, m.logCount());
            if (!first && m.logCount() > count->second)
                ended.insert(m.machineId);
            count->second = m.logCount();
            if (!m.waitingForAnswer()) {
                waitingSince.erase(m.machineId);
                continue;
            }
            waited.insert(m.machineId);
            auto [it, fresh] = waitingSince.emplace(m.machineId, clock.tickMs());
            longestWaitMs = std::max(longestWaitMs, clock.tickMs() - it->second);
        }
    }
};

TEST(Demo, TenMinutesWithoutWindowsLeaveNoMachineWaiting) {
    DemoRun run;
    const uint32_t before = run.clock.tickMs();
    run.run(10 * 60 * 1000);
    EXPECT_EQ(run.clock.tickMs() - before, 600000u);
    ASSERT_EQ(run.form->picturesPlaced(), 3);

    // Jobs did end in that time (the SD machine, whose jobs start at its own
    // panel, asks no question), and every question was answered at the panel soon.
    EXPECT_GE(run.ended.size(), 2u);
    EXPECT_GE(run.waited.size(), 1u);
    EXPECT_LE(run.longestWaitMs, DemoMachines::kPanelAnswerMs + 1000);
    for (const auto& s : run.demo.machines()) {
        const MachineModel& m = s->machine();
        EXPECT_FALSE(m.waitingForAnswer() && run.clock.tickMs() - run.waitingSince[m.machineId] >
                                                 DemoMachines::kPanelAnswerMs + 1000)
            << m.machineId;
    }
    // The finished jobs reached the log databases.
    int logs = 0;
    for (const auto& e : fs::directory_iterator(run.dir / "DATABASE"))
        logs += e.path().extension() == ".LOGDATA";
    EXPECT_EQ(logs, 3);
}

TEST(Demo, AMachineWhoseWindowIsOpenWaitsForTheOperatorAtThePc) {
    DemoRun run;
    run.run(5000);
    ASSERT_EQ(run.form->picturesPlaced(), 3);
    MachineModel& m = run.demo.machines()[0]->machine();
    bool windowOpen = true;
    run.demo.setAnsweredAtPc(
        [&](const std::string& id) { return windowOpen && id == m.machineId; });
    m.speed = 50;
    ASSERT_EQ(m.startJob(1, run.clock.tickMs()), JOB_STARTED);
    run.run(60000);
    ASSERT_TRUE(m.waitingForAnswer());
    run.run(3 * DemoMachines::kPanelAnswerMs);
    EXPECT_TRUE(m.waitingForAnswer()) << "answered at the panel while the window was open";

    // Once the window is closed, the panel answers after the usual wait.
    windowOpen = false;
    run.run(DemoMachines::kPanelAnswerMs + 2000);
    EXPECT_FALSE(m.waitingForAnswer());
}

} // namespace
