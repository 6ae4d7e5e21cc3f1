// Every window of the program, drawn on the offscreen platform as a user
// would see it: the board with 1, 8 and 10 machines, the machine window of
// every stand-in kind standing by and in the middle of a job, the dialogs and
// the tool windows. Each is checked for controls that overlap or lie outside
// what can be seen, for a window larger than the screen's free area, and a
// machine window for port #01 and the job panels in view; its picture is
// written to
//   <screenshot dir>/every_window_<width>x<height>[_scale2]/<name>.png
// The test runs on a 1280 x 800 and a 1920 x 1080 screen, and on a
// 2560 x 1600 one at QT_SCALE_FACTOR=2.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "devinfo/tform_action_getdeviceinfo.h"
#include "logdb/tform_report.h"
#include "logdb/tform_show_log.h"
#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/widget_support.h"
#include "master_usb/tform2.h"
#include "master_usb/tform_download_source.h"
#include "settings/tform_change_machine_clock.h"
#include "settings/tform_change_setupvalue.h"
#include "settings/tform_nickname.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "shell/text_windows.h"
#include "sim/sim_profiles.h"
#include "sim/simulated_drives.h"
#include "sim/stand_in.h"
#include "support/event_loop.h"
#include "support/layout_check.h"
#include "support/manual_board.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// Each screen's pictures go to a folder of their own.
std::string folder() {
    testApplication();
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize pixels = screen->size() * screen->devicePixelRatio();
    std::string name =
        "every_window_" + std::to_string(pixels.width()) + "x" + std::to_string(pixels.height());
    const char* scale = std::getenv("QT_SCALE_FACTOR");
    if (scale && std::string(scale) != "1")
        name += "_scale" + std::string(scale);
    return name;
}

using dupmon::test::TempDir;

// The program over stand-ins that run jobs fast and keep a job log; this
// test program carries the machine pictures, as the real one does.
struct Program {
    QApplication& app = testApplication();
    TempDir dir;
    ManualBoard board;
    ManualClock& clock = board.clock;
    TestUi& ui = board.ui;
    std::vector<std::shared_ptr<StandInController>>& machines = board.machines;
    std::unique_ptr<TForm1>& form = board.form;

    explicit Program(const std::vector<std::string>& profiles)
        : board(dir.path, profiles, fs::read_symlink("/proc/self/exe"), [](StandInController& s) {
              s.machine().speed = 20;
              if (s.profile().jobLog)
                  s.machine().preloadLog(12); // rows for the log viewer
          }) {}
    ~Program() {
        ui.answerYes = true;
        form->close();
    }
    void run(int ms) { board.run(ms); }
    TFormMachine* openWindow(int picture) { return board.openWindow(picture); }
};

// A target port (not the master's "Reading...") showing its progress.
bool midJob(TFormMachine* w) {
    for (size_t i = 1; i < w->Edit_PortLine2.size(); ++i) {
        const QLineEdit* e = w->Edit_PortLine2[i];
        if (e && (e->text().startsWith("Write ") || e->text().startsWith("Comp ") ||
                  e->text().startsWith("Read ")))
            return true;
    }
    return false;
}

class EveryMachineWindow : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryMachineWindow, StandingByAndMidJob) {
    const std::string profile = GetParam();
    Program p({profile});
    ASSERT_EQ(p.form->picturesPlaced(), 1);
    ASSERT_TRUE(p.form->picture(0).isOn());
    TFormMachine* w = p.openWindow(0);
    ASSERT_NE(w, nullptr);
    p.run(500);
    ASSERT_TRUE(w->IsStandby());
    EXPECT_TRUE(cleanLayout(w, folder(), "machine_" + profile + "_standby"));
    // Opened where port #01 and the job panels show, however wide the map.
    ASSERT_NE(w->firstPortBox(), nullptr);
    EXPECT_EQ(w->firstPortBox()->title(), "#01");
    EXPECT_TRUE(wholeInView(w->firstPortBox()));
    EXPECT_TRUE(wholeInView(w->Edit_Function));
    EXPECT_TRUE(wholeInView(w->Panel_JobInfo));
    EXPECT_TRUE(wholeInView(w->Panel_JobTime));
    // A map that fits the screen's width beside its scroll bar never scrolls sideways.
    const int besideBar = w->content->width() + (w->frameGeometry().width() - w->width()) +
                          w->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, w);
    if (besideBar <= w->screen()->availableGeometry().width()) {
        EXPECT_EQ(w->scrollArea->horizontalScrollBar()->maximum(), 0) << profile;
    }

    // A copy started at the machine's panel; the question at its end is
    // answered by the stand-in's operator.
    p.machines[0]->machine().insertMedium(0, p.machines[0]->machine().defaultMedium(0));
    ASSERT_EQ(p.machines[0]->machine().startJob(1, p.clock.tickMs()), JOB_STARTED);
    for (int i = 0; i < 300 && !midJob(w); ++i)
        p.run(100);
    ASSERT_TRUE(midJob(w)) << "no port shows a copy in progress";
    EXPECT_TRUE(cleanLayout(w, folder(), "machine_" + profile + "_mid_job"));
}

std::vector<std::string> profileNames() {
    std::vector<std::string> names;
    for (const SimProfile& p : simProfiles())
        names.push_back(p.name);
    return names;
}

INSTANTIATE_TEST_SUITE_P(Profiles, EveryMachineWindow, ::testing::ValuesIn(profileNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

// Boards of one, eight (every registry entry) and ten machines (two of them
// find no entry and get no picture).
TEST(EveryWindow, TheBoard) {
    const std::vector<std::string> kinds = {"usb10",    "combo16", "cf8",  "sd20",   "microsd24",
                                            "panel121", "panel2",  "old7", "bank10", "nolog8"};
    for (size_t count : {1u, 8u, 10u}) {
        SCOPED_TRACE(count);
        Program p(std::vector<std::string>(kinds.begin(), kinds.begin() + long(count)));
        EXPECT_EQ(p.form->picturesPlaced(), int(std::min<size_t>(count, 8)));
        EXPECT_TRUE(cleanLayout(p.form.get(), folder(), "board_" + std::to_string(count)));
    }
    // An empty board says how to attach a machine.
    Program empty({});
    EXPECT_TRUE(empty.form->noMachineNotice()->isVisible());
    EXPECT_TRUE(cleanLayout(empty.form.get(), folder(), "board_empty"));
}

TEST(EveryWindow, DialogsOfTheMachineWindow) {
    Program p({"usb10"});
    TFormMachine* w = p.openWindow(0);
    ASSERT_NE(w, nullptr);
    w->nicknameDialog()->Edit_nickname->setText("Back room, second shelf");
    EXPECT_TRUE(cleanLayout(w->nicknameDialog(), folder(), "nickname"));
    w->nicknameDialog()->hide();
    w->clockDialog()->Edit_machineClock->setText("2026-03-14 08:05:07");
    w->clockDialog()->Edit_computerClock->setText("2026-03-15 10:00:00");
    EXPECT_TRUE(cleanLayout(w->clockDialog(), folder(), "machine_clock"));
    w->clockDialog()->hide();
    w->continueDialog()->setQuestion(
        "SIM USB Tower 10 (SU10-000001) asks: Continue runs the job again on new targets, "
        "Finish ends it.");
    EXPECT_TRUE(cleanLayout(w->continueDialog(), folder(), "continue_or_finish"));
    w->continueDialog()->hide();
}

TEST(EveryWindow, LogViewerAndReport) {
    Program p({"usb10"});
    MACHINE& m = p.form->machineSlots().connection(p.form->picture(0).connection());
    p.run(3000); // the stand-in's job log reaches the database
    TFormReport report(p.ui, p.clock);
    EXPECT_TRUE(cleanLayout(&report, folder(), "report"));
    report.hide();
    TForm_ShowLog viewer(nullptr, m.info(), "SIM USB Tower 10(v3.12.5)", m.logDatabasePath(),
                         m.databaseDir(), p.ui, &report);
    EXPECT_TRUE(cleanLayout(&viewer, folder(), "log_viewer"));
}

TEST(EveryWindow, SystemAboutAndHelp) {
    Program p({"usb10"});
    p.form->Item_About->trigger();
    ASSERT_NE(p.form->aboutWindow(), nullptr);
    EXPECT_TRUE(cleanLayout(p.form->aboutWindow(), folder(), "about"));
    p.form->aboutWindow()->hide();
    p.form->Item_Help->trigger(); // this test program's build tree has the manual page
    HelpWindow* help = p.form->helpWindow();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(test::spin([&] { return !help->reading(); }, 20000));
    EXPECT_NE(help->text().find("NAME"), std::string::npos) << help->text();
    EXPECT_TRUE(cleanLayout(help, folder(), "help"));
    help->hide();
}

TEST(EveryWindow, DownloadAndProgress) {
    Program p({"usb10"});
    SimulatedDrives drives(p.dir.path / "SimulatedDrives");
    drives.addMachine(p.machines[0]);
    p.form->installDownloadWindow(drives, p.ui, p.clock);
    TForm_DownloadSource* download = p.form->downloadWindow();
    ASSERT_NE(download, nullptr);
    EXPECT_TRUE(cleanLayout(download, folder(), "download_source"));
    download->hide();
    TForm2 progress;
    EXPECT_TRUE(cleanLayout(&progress, folder(), "progress"));
}

} // namespace

TEST(EveryWindow, SetupParametersAndDeviceInformation) {
    Program p({"usb10"});
    TForm_change_setupValue& setup = p.form->setupDialog();
    setup.loadBlock(p.machines[0]->machine().setup.data());
    EXPECT_TRUE(cleanLayout(&setup, folder(), "setup_parameters"));
    setup.hide();
    TFormAction_GetDeviceInfo& info = p.form->getDeviceInfoWindow();
    EXPECT_TRUE(cleanLayout(&info, folder(), "device_information"));
    info.hide();
}
