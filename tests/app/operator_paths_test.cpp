// What the operator does in a machine window, against stand-in machines on
// the virtual bus with the program's main window, on a manual clock: a
// refused read opens nothing, a refused write is told as not done, a silent
// machine is shown and asked nothing, a question closed without a button
// sends nothing, two questions at once both reach their machines, and the
// wire trace tells the operator's steps beside the frames.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <sstream>

#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/widget_support.h"
#include "settings/tform_change_machine_clock.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "sim/stand_in.h"
#include "support/manual_board.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

class OperatorPaths : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "operator_paths_test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }

    // One machine on the board, its window open and the machine standing by;
    // a waiting request's event loop moves the clock on.
    std::unique_ptr<ManualBoard> board(std::vector<std::string> profiles = {"usb10"},
                                       double speed = 20) {
        int made = 0;
        auto b = std::make_unique<ManualBoard>(
            dir, profiles, fs::path(), [speed, &made](StandInController& s) {
                s.machine().speed = speed;
                s.machine().machineId = "OP-" + std::to_string(++made);
            });
        b->form->showServiceItems(true);
        ManualBoard* raw = b.get();
        b->ui.onProcessEvents = [raw] { raw->run(1); };
        return b;
    }
    // The window of the machine whose id is `id`.
    static TFormMachine* windowOf(ManualBoard& b, const std::string& id) {
        for (int k = 0; k < b.form->picturesPlaced(); ++k) {
            MACHINE& m = b.form->machineSlots().connection(b.form->picture(k).connection());
            if (m.info().machineId == id)
                return b.openWindow(k);
        }
        return nullptr;
    }
    static void refuse(StandInController& s, SimFault kind, int sub) {
        SimFaultSpec spec;
        spec.kind = kind;
        spec.letter = 'W';
        spec.sub = sub;
        s.injectFault(spec);
    }
    // Runs until `done`, in steps of 100 ms, for at most `ms`.
    template <class F> static bool runUntil(ManualBoard& b, F done, int ms) {
        for (int t = 0; t < ms && !done(); t += 100)
            b.run(100);
        return done();
    }

    dupmon::test::TempDir tmp{"dupmon-op"};
    fs::path dir{tmp.path};
};

// Whether a host data frame follows the last command `sub` the machine got.
bool dataFrameAfter(const StandInController& s, int sub) {
    const auto& frames = s.hostFrames();
    bool after = false, data = false;
    for (const HostFrame& f : frames) {
        if (f.kind == HostFrame::Command && f.letter == 'W' && f.sub() == sub) {
            after = true;
            data = false;
        } else if (after && f.kind == HostFrame::Data) {
            data = true;
        }
    }
    return data;
}

} // namespace

TEST_F(OperatorPaths, ARefusedSetupReadOpensNoDialogAndWritesNothing) {
    auto b = board();
    StandInController& s = *b->machines[0];
    TFormMachine* w = b->openWindow(0);
    ASSERT_NE(w, nullptr);
    b->run(500);
    ASSERT_TRUE(w->IsStandby());
    refuse(s, SimFault::Refuse, 30);

    bool dialogShown = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            dialogShown = true;
            d->reject();
        }
    });
    watch.start(1);
    w->Item_SetupMachineParameter->trigger();
    b->run(3000);
    EXPECT_FALSE(dialogShown) << "a dialog of made-up values";
    ASSERT_EQ(b->ui.messages.size(), 1u);
    EXPECT_EQ(b->ui.messages[0].text.rfind("Can't Read Machine Setup !", 0), 0u);
    EXPECT_EQ(s.commands('W', 30).size(), 1u);
    EXPECT_TRUE(s.commands('W', 31).empty());
    EXPECT_EQ(s.machine().setupWrites, 0u);
    b->form->close();
}

TEST_F(OperatorPaths, ARefusedClockWriteIsToldAsNotDone) {
    auto b = board();
    StandInController& s = *b->machines[0];
    TFormMachine* w = b->openWindow(0);
    ASSERT_NE(w, nullptr);
    b->run(500);
    const size_t writesBefore = s.commands('W', 12).size(); // the identification's
    refuse(s, SimFault::Refuse, 12);
    whenModal(
        [](QWidget* d) { static_cast<TForm_changeMachineClock*>(d)->Button_synchronize->click(); });
    w->Item_ChangeMachineClock->trigger();
    b->run(1000);
    EXPECT_EQ(s.commands('W', 12).size(), writesBefore + 1);
    EXPECT_FALSE(dataFrameAfter(s, 12)) << "the clock digits after a refusal";
    ASSERT_EQ(b->ui.messages.size(), 1u);
    EXPECT_EQ(b->ui.messages[0].text, "Can't Set Machine Clock !\n\nThe machine refused it: its "
                                      "clock was not set to the PC's time.");
    EXPECT_EQ(b->ui.messages[0].caption, "ERROR !");
    EXPECT_TRUE(w->statusBar()->currentMessage().isEmpty());

    // Its data frame refused: the same, with the digits sent and not taken.
    b->ui.messages.clear();
    refuse(s, SimFault::RefuseData, 12);
    whenModal(
        [](QWidget* d) { static_cast<TForm_changeMachineClock*>(d)->Button_synchronize->click(); });
    w->Item_ChangeMachineClock->trigger();
    b->run(1000);
    EXPECT_TRUE(dataFrameAfter(s, 12));
    ASSERT_EQ(b->ui.messages.size(), 1u);
    EXPECT_EQ(b->ui.messages[0].text.rfind("Can't Set Machine Clock !", 0), 0u);
    b->form->close();
}

TEST_F(OperatorPaths, ASilentMachineIsShownAndACopyAskedMeanwhileNeverReachesIt) {
    auto b = board();
    StandInController& s = *b->machines[0];
    TFormMachine* w = b->openWindow(0);
    ASSERT_NE(w, nullptr);
    b->run(500);
    s.injectFault(SimFault::DropAnswer, 1000000);
    // Clicked while the machine is not yet known to be silent: posted...
    b->run(5000);
    w->Item_Copy->trigger();
    EXPECT_TRUE(b->ui.messages.empty());
    b->run(5400);
    EXPECT_FALSE(w->silent());
    // ...and dropped once the answer's time-out has passed.
    b->run(1000);
    EXPECT_TRUE(w->silent());
    EXPECT_TRUE(w->Label_Silent->isVisible());
    EXPECT_EQ(b->form->picture(0).activity(), MachineActivity::Silent);
    // Clicked while it is shown silent: refused, with a message.
    w->Item_Copy->trigger();
    ASSERT_EQ(b->ui.messages.size(), 1u);
    EXPECT_EQ(b->ui.messages[0].text,
              "The machine does not answer: nothing is sent to it until it answers again.");

    // It answers again: shown ready, and neither Copy ever reaches it.
    s.clearFaults();
    ASSERT_TRUE(runUntil(
        *b, [&] { return !w->silent(); }, 15000));
    EXPECT_FALSE(w->Label_Silent->isVisible());
    EXPECT_EQ(b->form->picture(0).activity(), MachineActivity::Idle);
    b->run(5000);
    EXPECT_TRUE(s.commands('W', 42).empty());
    EXPECT_EQ(s.machine().state(), FN_STANDBY);
    b->form->close();
}

TEST_F(OperatorPaths, AWindowOpenedOnASilentMachineSaysSoAtOnce) {
    auto b = board();
    b->machines[0]->injectFault(SimFault::DropAnswer, 1000000);
    b->run(11500);
    EXPECT_EQ(b->form->picture(0).activity(), MachineActivity::Silent);
    TFormMachine* w = b->openWindow(0);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->silent());
    EXPECT_FALSE(w->Label_Silent->isHidden());
    b->form->close();
}

TEST_F(OperatorPaths, AQuestionClosedWithoutAButtonSendsNothingOnAnyShowing) {
    auto b = board();
    StandInController& s = *b->machines[0];
    TFormMachine* w = b->openWindow(0);
    ASSERT_NE(w, nullptr);
    b->run(500);
    int asked = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* d = qobject_cast<TForm_continue_or_exit*>(QApplication::activeModalWidget());
        if (!d)
            return;
        // Continue on the first showing, the close box on the second.
        if (++asked == 1)
            d->Button_continue->click();
        else
            d->close();
    });
    answer.start(1);
    w->Item_Copy->trigger();
    ASSERT_TRUE(runUntil(
        *b, [&] { return asked == 2; }, 600000));
    b->run(20000);
    EXPECT_EQ(asked, 2) << "asked again without a new job end";
    EXPECT_EQ(s.commands('W', 13).size(), 1u);
    EXPECT_TRUE(s.commands('W', 14).empty());
    EXPECT_TRUE(s.machine().waitingForAnswer());
    EXPECT_TRUE(w->Panel_Question->isVisible());
    b->form->close();
}

// Two machines end their rounds together: both are asked, each in its own
// window. The first is answered Continue and runs its whole next round, and
// is asked again, while the second's question stays open; every machine is
// polled all the while, and each answer reaches its own machine.
TEST_F(OperatorPaths, TwoQuestionsAtOnceAreBothAskedAndBothAnswersArrive) {
    auto b = board({"usb10", "usb10"});
    StandInController& first = *b->machines[0];
    StandInController& second = *b->machines[1];
    TFormMachine* a = windowOf(*b, first.machine().machineId);
    TFormMachine* c = windowOf(*b, second.machine().machineId);
    ASSERT_TRUE(a && c);
    b->run(500);
    auto open = [](TFormMachine* w) { return w->continueDialog()->isVisible(); };
    a->Item_Copy->trigger();
    c->Item_Copy->trigger();
    ASSERT_TRUE(runUntil(
        *b, [&] { return open(a) && open(c); }, 600000));

    a->continueDialog()->Button_continue->click();
    const size_t pollsFirst = first.commands('B').size();
    const size_t pollsSecond = second.commands('B').size();
    const uint32_t passes = first.machine().passCount();
    ASSERT_TRUE(runUntil(
        *b, [&] { return !open(a); }, 1000));
    ASSERT_TRUE(runUntil(
        *b, [&] { return open(a); }, 600000))
        << "the first machine's next round";
    EXPECT_TRUE(open(c)) << "the second question stayed open";
    EXPECT_GT(first.machine().passCount(), passes);
    EXPECT_GT(first.commands('B').size(), pollsFirst + 50);
    EXPECT_GT(second.commands('B').size(), pollsSecond + 50) << "polled under its own question";

    c->continueDialog()->Button_finish->click();
    a->continueDialog()->Button_finish->click();
    ASSERT_TRUE(runUntil(
        *b, [&] { return a->IsStandby() && c->IsStandby(); }, 60000));
    EXPECT_EQ(first.commands('W', 13).size(), 1u);
    EXPECT_EQ(first.commands('W', 14).size(), 1u);
    EXPECT_TRUE(second.commands('W', 13).empty());
    EXPECT_EQ(second.commands('W', 14).size(), 1u);
    EXPECT_EQ(first.machine().state(), FN_STANDBY);
    EXPECT_EQ(second.machine().state(), FN_STANDBY);
    b->form->close();
}

// A session's wire trace, as dupmon-sim --trace writes it, tells the window
// and the requests beside the frames they caused or did not.
TEST_F(OperatorPaths, TheWireTraceTellsWindowsAndRequests) {
    auto b = board();
    std::ostringstream trace;
    b->bus.setTrace(&trace);
    const std::string path = b->bus.pluggedPaths().at(0);
    StandInController& s = *b->machines[0];
    TFormMachine* w = b->openWindow(0);
    ASSERT_NE(w, nullptr);
    b->run(500);
    w->Item_Copy->trigger();
    b->run(300);
    w->Item_Copy->trigger(); // busy now
    b->run(300);
    w->close();
    b->run(100);
    b->bus.setTrace(nullptr);

    // The events in order, and the job command right after its request.
    std::vector<std::string> events;
    std::istringstream in(trace.str());
    std::string line;
    bool copyFrameAfterRequest = false;
    while (std::getline(in, line)) {
        const size_t at = line.find(" EVENT ");
        if (at != std::string::npos) {
            events.push_back(line.substr(at + 7));
            continue;
        }
        if (line.find(" H 40 00 03 57 2A ") != std::string::npos)
            copyFrameAfterRequest = !events.empty() && events.back() == "request copy " + path;
    }
    EXPECT_EQ(events,
              (std::vector<std::string>{"window-open " + path, "request copy " + path,
                                        "request copy refused " + path, "window-closed " + path}))
        << trace.str();
    EXPECT_TRUE(copyFrameAfterRequest) << trace.str();
    EXPECT_EQ(s.commands('W', 42).size(), 1u);
    b->form->close();
}
