#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include "machine_window/tform_continue_or_exit.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "sim/stand_in.h"
#include "support/event_loop.h"
#include "support/layout_check.h"
#include "support/manual_board.h"
#include "support/test_ui.h"

using namespace dupmon;
using dupmon::test::spin;
namespace fs = std::filesystem;

// fontconfig keeps its cache for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "main_window_test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("dupmon-mw-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

void saveShot(QWidget* w, const char* name) {
    if (const char* out = std::getenv("DUPMON_SCREENSHOT_DIR"))
        w->grab().save(QString::fromStdString((fs::path(out) / name).string()));
}

} // namespace

TEST_F(MainWindowTest, PicturesFillRowsOfThreeOnA600PixelWindow) {
    ManualClock clock;
    VirtualBus bus(clock);
    TestUi ui;
    std::vector<std::shared_ptr<StandInController>> machines;
    for (const char* p : {"usb10", "combo16", "cf8", "microsd24"}) {
        machines.push_back(StandInController::create(p, clock));
        bus.plug(machines.back(), 0x6C15, machines.back()->profile().productId);
    }
    TForm1 form(bus, &bus, clock, ui, dir, dir / "no-program");
    form.resize(600, 350);
    MachineSlots& board = form.machineSlots();
    for (int i = 0; i < 4; ++i)
        board.Timer3Timer();
    for (int ms = 0; ms < 5000; ++ms) {
        clock.advance(1);
        bus.pump();
        board.Timer1Timer();
        board.Timer2Timer();
    }
    ASSERT_EQ(form.picturesPlaced(), 4);
    std::set<std::pair<int, int>> at;
    for (int k = 0; k < 4; ++k)
        at.insert({form.picture(k).image()->x(), form.picture(k).image()->y()});
    EXPECT_EQ(at, (std::set<std::pair<int, int>>{{20, 100}, {220, 100}, {420, 100}, {20, 300}}));
    for (int k = 0; k < 4; ++k)
        EXPECT_TRUE(form.picture(k).isOn()) << k;
    EXPECT_EQ(form.windowTitle().toStdString().rfind("QX42B(USB,SD,CF) v", 0), 0u);

    // Unplugged: its picture goes "off" and stays on the board.
    bus.unplug(bus.pluggedPaths()[0]);
    for (int ms = 0; ms < 50; ++ms) {
        clock.advance(1);
        bus.pump();
        board.pollWatcher();
        board.Timer1Timer();
        board.Timer2Timer();
    }
    int off = 0;
    for (int k = 0; k < 4; ++k)
        off += !form.picture(k).isOn();
    EXPECT_EQ(off, 1);
    EXPECT_EQ(form.picturesPlaced(), 4);
    form.close();
    EXPECT_TRUE(fs::exists(dir / "brellock_linker.QZ9"));
}

TEST_F(MainWindowTest, AJobStartedFromTheMachineWindowShowsItsPhasesAndAsksToFinish) {
    const Clock& clock = SystemClock::instance();
    VirtualBus bus(clock);
    TestUi ui;
    ui.onProcessEvents = [] { QApplication::processEvents(QEventLoop::AllEvents, 5); };
    auto machine = StandInController::create("usb10", clock);
    machine->machine().speed = 8;
    bus.plug(machine, 0x6C15, machine->profile().productId);
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&] { bus.pump(); });
    pump.start(1);

    COMMAND_MACHINE::setGlobalRefreshMark();
    TForm1 form(bus, &bus, clock, ui, dir, dir / "no-program");
    form.show();
    ASSERT_TRUE(spin([&] { return form.picturesPlaced() == 1 && form.picture(0).isOn(); }, 15000));
    saveShot(&form, "main-window.png");

    form.machineSlots().pictureClick(0);
    MACHINE& m = form.machineSlots().connection(form.picture(0).connection());
    auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window());
    ASSERT_NE(adapter, nullptr);
    TFormMachine* w = adapter->window();
    ASSERT_TRUE(spin([&] { return w->IsStandby(); }, 5000));

    // The question comes at the end of the job: answer Finish.
    bool asked = false;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<TForm_continue_or_exit*>(QApplication::activeModalWidget())) {
            asked = true;
            d->Button_finish->click();
        }
    });
    answer.start(50);

    w->CopyClick();
    std::set<std::string> seen;
    bool shot = false;
    ASSERT_TRUE(spin(
        [&] {
            for (size_t i = 1; i < w->Edit_PortLine2.size(); ++i)
                if (w->Edit_PortLine2[i])
                    seen.insert(w->Edit_PortLine2[i]->text().left(4).toStdString());
            if (!shot && (seen.count("Writ") || seen.count("Comp"))) {
                shot = true;
                saveShot(w, "machine-window-mid-job.png");
            }
            return asked && w->IsStandby();
        },
        60000))
        << "lines seen: " << seen.size();
    EXPECT_TRUE(seen.count("Writ") || seen.count("Read") || seen.count("Comp"));
    EXPECT_TRUE(seen.count("PASS"));
    EXPECT_EQ(machine->commands('W', 42).size(), 1u);
    EXPECT_EQ(machine->commands('W', 14).size(), 1u);
    form.close();
}

TEST_F(MainWindowTest, ThePictureShowsWhenTheMachineWorksAndWhenItWaitsForTheOperator) {
    ManualClock clock;
    VirtualBus bus(clock);
    TestUi ui;
    auto machine = StandInController::create("usb10", clock);
    machine->machine().speed = 20;
    bus.plug(machine, 0x6C15, machine->profile().productId);
    TForm1 form(bus, &bus, clock, ui, dir, dir / "no-program");
    MachineSlots& board = form.machineSlots();
    for (int i = 0; i < 4; ++i)
        board.Timer3Timer();
    std::vector<MachineActivity> seen;
    auto run = [&](int ms, std::function<bool()> until) {
        for (int t = 0; t < ms && !until(); ++t) {
            clock.advance(1);
            bus.pump();
            board.Timer1Timer();
            board.Timer2Timer();
            if (form.picturesPlaced() == 1 && form.picture(0).isOn() &&
                (seen.empty() || seen.back() != form.picture(0).activity()))
                seen.push_back(form.picture(0).activity());
        }
        return until();
    };
    ASSERT_TRUE(run(5000, [&] { return form.picturesPlaced() == 1 && form.picture(0).isOn(); }));
    MACHINE_DISPLAY_ICON& picture = form.picture(0);
    EXPECT_EQ(picture.activity(), MachineActivity::Idle);

    // A job started at the machine's own panel, nobody at the PC.
    MachineModel& m = machine->machine();
    ASSERT_EQ(m.startJob(1, clock.tickMs()), JOB_STARTED);
    ASSERT_TRUE(run(2000, [&] { return picture.activity() == MachineActivity::Working; }));
    ASSERT_TRUE(run(120000, [&] { return picture.activity() == MachineActivity::Waiting; }));
    EXPECT_TRUE(m.waitingForAnswer());
    // The light stays on WAIT as long as the machine waits.
    run(30000, [] { return false; });
    EXPECT_EQ(picture.activity(), MachineActivity::Waiting);

    m.answerFinish(clock.tickMs());
    ASSERT_TRUE(run(20000, [&] { return picture.activity() == MachineActivity::Idle; }));
    // Finishing takes the machine a moment of work before it stands by.
    EXPECT_EQ(seen, (std::vector<MachineActivity>{
                        MachineActivity::Idle, MachineActivity::Working, MachineActivity::Waiting,
                        MachineActivity::Working, MachineActivity::Idle}));

    // Unplugged, the picture goes off; plugged in again it is on and ready.
    const std::string path = bus.pluggedPaths()[0];
    bus.unplug(path);
    run(100, [] { return false; });
    for (int i = 0; i < 5; ++i)
        board.pollWatcher();
    EXPECT_FALSE(picture.isOn());
    form.close();
}

// A machine that stops taking reports is let go as an unplugged one is, and
// its window says what happened instead.
TEST_F(MainWindowTest, AMachineThatTakesNoReportsGoesOffAndItsWindowSaysWhy) {
    ManualBoard b(dir, {"usb10", "cf8"});
    TFormMachine* w = b.openWindow(0);
    ASSERT_NE(w, nullptr);
    const std::string id = b.machines[0]->machine().machineId;
    b.run(500);
    SimFaultSpec stall;
    stall.kind = SimFault::Stall;
    b.machines[0]->injectFault(stall);
    b.run(10000);
    EXPECT_TRUE(b.form->picture(0).isOn());
    b.run(2000);
    QApplication::processEvents();
    EXPECT_FALSE(b.form->picture(0).isOn());
    EXPECT_TRUE(b.form->picture(1).isOn());
    ASSERT_EQ(b.form->unpluggedWindows(), std::vector<TFormMachine*>{w});
    EXPECT_EQ(w->windowTitle().toStdString().rfind("Not answering - ", 0), 0u);
    EXPECT_NE(w->Label_Unplugged->text().toStdString().find("stopped taking the program's "
                                                            "commands: " +
                                                            id),
              std::string::npos);
    EXPECT_FALSE(w->menuBar()->isEnabled());
}

TEST_F(MainWindowTest, AnUnpluggedMachinesOpenWindowStaysAndSaysSo) {
    ManualBoard b(dir, {"usb10", "cf8"});
    ASSERT_EQ(b.form->picturesPlaced(), 2);
    TFormMachine* w = b.openWindow(0);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(w->isVisible());
    const std::string id = b.machines[0]->machine().machineId;
    EXPECT_NE(w->windowTitle().toStdString().find(id), std::string::npos);
    EXPECT_FALSE(w->Label_Unplugged->isVisible());
    b.run(500);

    b.bus.unplug(b.bus.pluggedPaths()[0]);
    b.run(200);
    QApplication::processEvents();
    ASSERT_FALSE(b.form->picture(0).isOn());
    // Still on screen, saying what happened, taking no orders.
    ASSERT_EQ(b.form->unpluggedWindows(), std::vector<TFormMachine*>{w});
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->unplugged());
    EXPECT_EQ(w->windowTitle().toStdString().rfind("Unplugged - ", 0), 0u);
    EXPECT_NE(w->windowTitle().toStdString().find(id), std::string::npos);
    EXPECT_TRUE(w->Label_Unplugged->isVisible());
    EXPECT_NE(w->Label_Unplugged->text().toStdString().find(id), std::string::npos);
    EXPECT_FALSE(w->menuBar()->isEnabled());
    EXPECT_TRUE(cleanLayout(w, "machine_window", "unplugged"));

    // A window that was not on screen goes quietly.
    TFormMachine* hidden = b.openWindow(1);
    ASSERT_NE(hidden, nullptr);
    QPointer<TFormMachine> hiddenAlive(hidden);
    hidden->close();
    b.bus.unplug(b.bus.pluggedPaths()[0]);
    b.run(200);
    QApplication::processEvents();
    EXPECT_EQ(b.form->unpluggedWindows().size(), 1u);
    EXPECT_TRUE(hiddenAlive.isNull() || !hiddenAlive->isVisible());

    // Closed by the operator, it is gone.
    QPointer<TFormMachine> alive(w);
    w->close();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
    EXPECT_TRUE(b.form->unpluggedWindows().empty());
    b.form->close();
}

TEST_F(MainWindowTest, ClosingAnIdleBoardAsksNothing) {
    ManualBoard b(dir, {"usb10"});
    ASSERT_TRUE(b.form->picture(0).isOn());
    // Idle: closes without a question.
    b.form->close();
    EXPECT_TRUE(b.ui.questions.empty());
    EXPECT_FALSE(b.form->isVisible());
}

TEST_F(MainWindowTest, ClosingWhileAJobRunsAsksAndStaysOnNo) {
    ManualBoard b(dir, {"usb10"});
    MachineModel& m = b.machines[0]->machine();
    ASSERT_EQ(m.startJob(1, b.clock.tickMs()), JOB_STARTED);
    b.run(1000);
    b.ui.answerYes = false;
    b.form->close();
    ASSERT_EQ(b.ui.questions.size(), 1u);
    EXPECT_NE(b.ui.questions[0].text.find(m.machineId), std::string::npos);
    EXPECT_NE(b.ui.questions[0].text.find("A job is running"), std::string::npos);
    EXPECT_TRUE(b.form->isVisible());
    // The machines are still followed.
    b.run(1000);
    EXPECT_TRUE(b.form->picture(0).isOn());

    b.ui.answerYes = true;
    b.form->close();
    EXPECT_EQ(b.ui.questions.size(), 2u);
    EXPECT_FALSE(b.form->isVisible());
    EXPECT_TRUE(fs::exists(dir / "brellock_linker.QZ9"));
}

TEST_F(MainWindowTest, AnEmptyBoardSaysHowToAttachAMachine) {
    ManualBoard b(dir, {});
    ASSERT_EQ(b.form->picturesPlaced(), 0);
    QLabel* notice = b.form->noMachineNotice();
    ASSERT_TRUE(notice->isVisible());
    EXPECT_NE(notice->text().indexOf("Plug"), -1);
    EXPECT_NE(notice->text().indexOf("--demo"), -1);

    // A machine arrives: the notice goes; it leaves: the notice is back, clear of its picture.
    auto m = StandInController::create("usb10", b.clock);
    const std::string path = b.bus.plug(m, 0x6C15, m->profile().productId);
    b.run(5000);
    ASSERT_TRUE(b.form->picture(0).isOn());
    EXPECT_FALSE(notice->isVisible());
    b.bus.unplug(path);
    b.run(200);
    EXPECT_TRUE(notice->isVisible());
    EXPECT_FALSE(notice->geometry().intersects(b.form->picture(0).image()->geometry()));
    EXPECT_FALSE(notice->geometry().intersects(b.form->picture(0).caption()->geometry()));
    b.form->close();
}

TEST_F(MainWindowTest, AQuestionClosedWithEscIsAnsweredLaterFromTheMachineWindow) {
    ManualBoard b(dir, {"usb10"});
    MachineModel& m = b.machines[0]->machine();
    m.speed = 20;
    TFormMachine* w = b.openWindow(0);
    ASSERT_NE(w, nullptr);
    b.run(500);
    ASSERT_TRUE(w->IsStandby());

    int asked = 0;
    QTimer esc;
    QObject::connect(&esc, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<TForm_continue_or_exit*>(QApplication::activeModalWidget())) {
            ++asked;
            d->reject();
        }
    });
    esc.start(1);
    w->CopyClick();
    for (int i = 0; i < 600 && !(asked && w->Panel_Question->isVisible()); ++i)
        b.run(200);
    ASSERT_EQ(asked, 1);
    // The machine still waits, and the window still offers the answer.
    b.run(20000);
    EXPECT_TRUE(m.waitingForAnswer());
    ASSERT_TRUE(w->Panel_Question->isVisible());
    EXPECT_EQ(b.form->picture(0).activity(), MachineActivity::Waiting);

    w->Button_QuestionFinish->click();
    for (int i = 0; i < 100 && !w->IsStandby(); ++i)
        b.run(200);
    EXPECT_FALSE(m.waitingForAnswer());
    EXPECT_TRUE(w->IsStandby());
    EXPECT_FALSE(w->Panel_Question->isVisible());
    EXPECT_EQ(b.machines[0]->commands('W', 14).size(), 1u); // Finish, sent once
    EXPECT_EQ(asked, 1);
    b.form->close();
}

// The export's lines (an outage, its end) stay on the board's status bar
// until the next one, clear of the pictures.
TEST_F(MainWindowTest, TheExportsLatestLineStaysInTheStatusBar) {
    ManualBoard b(dir, {});
    b.form->show();
    auto m = StandInController::create("usb10", b.clock);
    b.bus.plug(m, 0x6C15, m->profile().productId);
    b.run(5000);
    ASSERT_TRUE(b.form->picture(0).isOn());
    const std::string outage =
        "PostgreSQL export to postgresql://collector@db.example/site stopped: the server "
        "cannot be reached; job-log records are collected locally and sent when the server "
        "takes them";
    b.form->showExportLine(outage);
    auto* bar = b.form->findChild<QStatusBar*>();
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->currentMessage().toStdString(), outage);
    EXPECT_EQ(bar->toolTip().toStdString(), outage);
    b.run(3000); // status polls and board updates do not take it away
    EXPECT_EQ(bar->currentMessage().toStdString(), outage);
    EXPECT_TRUE(cleanLayout(b.form.get(), "main_window", "export_line"));
    const std::string back = "PostgreSQL export to postgresql://collector@db.example/site: the "
                             "server takes records again; sent 12 records it lacked";
    b.form->showExportLine(back);
    EXPECT_EQ(bar->currentMessage().toStdString(), back);
    b.form->close();
}
