// Jobs on stand-in machines watched through a real machine window: the real
// engine over the real link on the virtual bus, a manual clock, and the
// window on Qt's offscreen platform, fed by the engine's status callback the
// way the machine connection feeds it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/tform_machine.h"
#include "machine_window/widget_support.h"
#include "sim/stand_in.h"
#include "support/engine_harness.h"
#include "support/layout_check.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

class JobRunWindow : public ::testing::Test {
protected:
    void SetUp() override { testApplication(); }
    void TearDown() override {
        h.onTick = nullptr;
        window.reset();
    }

    // Plugs a stand-in of `profile`, identifies it and opens its window.
    void open(const char* profile, double speed) {
        machine = StandInController::create(profile, h.clock);
        ASSERT_TRUE(machine);
        machine->machine().speed = speed;
        h.plug(machine, machine->profile().productId);
        ASSERT_TRUE(h.runUntil([&] { return h.identified(); }, 20000));
        h.run(300);
        window = std::make_unique<TFormMachine>(nullptr, nullptr, "Machine", dir / "m.LOGDATA", dir,
                                                h.info, &h.engine, h.ui, h.clock, dir);
        h.onStatusHook = [this](const EngineHarness::Status& s) {
            if (!window)
                return;
            window->OnStatus(s.code, s.data);
            if (window && window->board().lines(0).line2.colour == LineColour::Red)
                masterRed.push_back(window->board().lines(0).line2.text);
        };
        // Between steps the event loop runs: the window's question shows, and
        // the operator answers it.
        h.onTick = [this] {
            if (h.tick % 10 != 0)
                return;
            QApplication::processEvents();
            auto* dialog = qobject_cast<TForm_continue_or_exit*>(QApplication::activeModalWidget());
            if (policy && dialog && dialog->isVisible()) {
                ++questions;
                policy(dialog);
            }
        };
        COMMAND_MACHINE::setGlobalRefreshMark();
        h.engine.windowOpened();
        h.engine.refreshPortData();
        h.run(300);
    }

    // Answers every continue-or-finish question for as long as the test runs:
    // `policy` sees the dialog and clicks a button; the questions are counted.
    void answerQuestions(std::function<void(TForm_continue_or_exit*)> answer) {
        policy = std::move(answer);
    }
    void answerFinishWhenAsked() {
        answerQuestions([](TForm_continue_or_exit* d) { d->Button_finish->click(); });
    }

    // Runs a copy from the window's menu to its end, back in standby.
    void runCopy() {
        ASSERT_TRUE(window->IsStandby());
        window->CopyClick();
        ASSERT_TRUE(h.runUntil([&] { return machine->machine().state() != FN_STANDBY; }, 20000));
        ASSERT_TRUE(h.runUntil([&] { return machine->machine().state() == FN_STANDBY; }, 600000));
        h.run(500);
    }

    QString line(int port, int which) const {
        const auto& v = which == 1 ? window->Edit_PortLine1 : window->Edit_PortLine2;
        return v[size_t(port)] ? v[size_t(port)]->text() : QString();
    }

    EngineHarness h;
    std::shared_ptr<StandInController> machine;
    dupmon::test::TempDir tmp{"dupmon_jobrun"};
    fs::path dir{tmp.path};
    std::unique_ptr<TFormMachine> window;
    int questions = 0;
    std::function<void(TForm_continue_or_exit*)> policy;
    // The master port's line 2 each time a notification left it red.
    std::vector<std::string> masterRed;
};

} // namespace

TEST_F(JobRunWindow, PassAndFailLabelsFollowTheJob) {
    open("usb10", 8);
    MachineModel& m = machine->machine();
    SimMedium bad = m.defaultMedium(3);
    bad.bad = true;
    m.insertMedium(3, bad);
    EXPECT_EQ(window->Label_Pass->text().toStdString(), "PASS:");
    answerFinishWhenAsked();

    // While the targets are written, the labels already show this job's counts.
    window->CopyClick();
    ASSERT_TRUE(h.runUntil([&] { return m.subState() == PHASE_WORKING; }, 60000));
    h.run(200);
    EXPECT_EQ(window->Label_Pass->text().toStdString(), "PASS:  0 PCS");
    EXPECT_EQ(window->Label_Yield->text().toStdString(), "YIELD:  0%");
    ASSERT_TRUE(h.runUntil([&] { return m.state() == FN_STANDBY; }, 600000));
    h.run(500);

    EXPECT_EQ(questions, 1);
    EXPECT_EQ(m.passCount(), 8u);
    EXPECT_EQ(m.failCount(), 1u);
    EXPECT_EQ(window->Label_Pass->text().toStdString(), "PASS:  8 PCS");
    EXPECT_EQ(window->Label_Fail->text().toStdString(), "FAIL:  1 PCS");
    EXPECT_EQ(window->Label_FailureRate->text().toStdString(), "FAILURE RATE: 11.1%");
    EXPECT_EQ(window->Label_Yield->text().toStdString(), "YIELD: 88.9%");
}

TEST_F(JobRunWindow, A121PortMachineAsksOncePerJobEndWithEveryPortDrawn) {
    open("panel121", 8);
    ASSERT_EQ(h.info.maxDeviceQty, 121);
    // The last port the map shows.
    int lastShown = -1;
    for (size_t i = 0; i < window->Edit_PortLine2.size(); ++i)
        if (window->Edit_PortLine2[i])
            lastShown = int(i);
    ASSERT_GT(lastShown, 100);

    // First job end: Continue, so the machine copies a second round; then Finish.
    std::vector<std::string> lastPortAtQuestion, texts;
    answerQuestions([&](TForm_continue_or_exit* dialog) {
        lastPortAtQuestion.push_back(line(lastShown, 2).toStdString());
        texts.push_back(dialog->Label_question->text().toStdString());
        EXPECT_EQ(dialog->windowTitle().toStdString(), "Waiting - SIM Panel 121 [SP121-000001]");
        EXPECT_EQ(dialog->Button_continue->text().toStdString(), "Continue");
        EXPECT_EQ(dialog->Button_finish->text().toStdString(), "Finish");
        if (questions == 1) {
            // Its own controls fit (where it opens follows the machine window).
            dialog->move(20, 20);
            EXPECT_TRUE(cleanLayout(dialog, "continue_or_finish", "panel121"));
            dialog->Button_continue->click();
        } else {
            dialog->Button_finish->click();
        }
    });
    runCopy();
    h.run(3000);

    EXPECT_EQ(questions, 2) << "one question per job end";
    EXPECT_EQ(machine->commands('W', 13).size(), 1u);
    EXPECT_EQ(machine->commands('W', 14).size(), 1u);
    EXPECT_EQ(machine->machine().passCount(), 2u * 120u);
    for (const auto& l : lastPortAtQuestion)
        EXPECT_EQ(l.rfind("PASS", 0), 0u) << "the last port was drawn before the question: " << l;
    for (const auto& t : texts)
        EXPECT_EQ(t, "SIM Panel 121 (" + machine->machine().machineId +
                         ") asks: Continue runs the job again on new targets, Finish ends it.");
}

TEST_F(JobRunWindow, AGoodCopyShowsItsMasterGreenAtTheOutcome) {
    // The outcome comes as code 24 from the busy steps, and as port data
    // rendered by the running function when the window is shown again then.
    open("usb10", 8);
    MachineModel& m = machine->machine();
    std::vector<std::pair<std::string, LineColour>> master;
    auto seeMaster = [&] {
        master.emplace_back(line(0, 2).toStdString(), window->board().lines(0).line2.colour);
    };
    // The first question is closed without an answer: the machine keeps waiting.
    answerQuestions([&](TForm_continue_or_exit* dialog) {
        seeMaster();
        if (questions == 1)
            dialog->reject();
        else
            dialog->Button_finish->click();
    });
    ASSERT_TRUE(window->IsStandby());
    window->CopyClick();
    ASSERT_TRUE(h.runUntil([&] { return questions == 1; }, 600000));
    h.run(500);
    ASSERT_TRUE(m.waitingForAnswer());
    // Shown again while the machine waits: every port drawn once more by the copy's rules.
    const int blocks = h.count(STATUS_PORT_DATA);
    h.engine.refreshPortData();
    ASSERT_TRUE(h.runUntil([&] { return h.count(STATUS_PORT_DATA) > blocks; }, 5000));
    h.run(500);
    seeMaster();
    h.engine.answerContinue();
    ASSERT_TRUE(h.runUntil([&] { return m.state() == FN_STANDBY; }, 600000));
    ASSERT_EQ(questions, 2);
    ASSERT_EQ(master.size(), 3u);
    for (const auto& [text, colour] : master) {
        EXPECT_EQ(text.rfind("PASS", 0), 0u) << text;
        EXPECT_EQ(colour, LineColour::Green) << text;
    }
    EXPECT_TRUE(masterRed.empty()) << "first red master: " << masterRed.front();
}
