#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "common/version.h"
#include "logdb/tform_show_log.h"
#include "machine_window/tform_continue_or_exit.h"
#include "registry/picture_archive.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "shell/panel_picture.h"
#include "shell/program_info.h"
#include "shell/text_windows.h"
#include "sim/stand_in.h"
#include "support/event_loop.h"
#include "support/layout_check.h"
#include "support/manual_board.h"
#include "support/temp_dir.h"
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
    dupmon::test::TempDir tmp{"dupmon-mw"};
    fs::path dir{tmp.path};
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

// The whole of a picture and its caption shows in the board's area, unscrolled.
bool pictureInView(TForm1& form, int k) {
    const QRect view = form.boardArea()->viewport()->rect();
    for (QWidget* w : {static_cast<QWidget*>(form.picture(k).image()),
                       static_cast<QWidget*>(form.picture(k).caption())}) {
        const QRect r(w->mapTo(form.boardArea()->viewport(), QPoint(0, 0)), w->size());
        if (!view.contains(r))
            return false;
    }
    return true;
}

TEST_F(MainWindowTest, TheBoardOpensShowingEveryMachineAndReflowsWhenResized) {
    ManualBoard b(dir,
                  {"usb10", "combo16", "cf8", "sd20", "microsd24", "panel121", "panel2", "old7"});
    TForm1& form = *b.form;
    ASSERT_EQ(form.picturesPlaced(), 8);
    QApplication::processEvents();
    const QRect free = form.screen()->availableGeometry();
    EXPECT_TRUE(free.contains(form.frameGeometry()));
    for (int k = 0; k < 8; ++k)
        EXPECT_TRUE(pictureInView(form, k)) << k;

    struct Case {
        int width;
        int perRow; // a picture goes on a row while its left edge + 150 stays inside
    };
    for (const Case c : {Case{1400, 7}, Case{600, 3}, Case{571, 3}, Case{570, 2}, Case{300, 1}}) {
        SCOPED_TRACE(c.width);
        form.resize(c.width, 500);
        QApplication::processEvents();
        for (int k = 0; k < 8; ++k) {
            EXPECT_EQ(form.picture(k).image()->pos(),
                      QPoint(20 + 200 * (k % c.perRow), 100 + 200 * (k / c.perRow)))
                << k;
            // The caption stays under its image.
            EXPECT_EQ(form.picture(k).caption()->y(),
                      form.picture(k).image()->geometry().bottom() + 1)
                << k;
        }
    }
    b.form->close();
}

// A program file carrying a picture archive whose images stand apart from
// anything the board draws: row r holds a CF panel of r + 1 ports.
fs::path programWithArchive(const fs::path& dir) {
    std::vector<PicturePair> pairs;
    for (size_t r = 0; r < kPictureTable.size(); ++r) {
        if (kPictureTable[r].deviceType == 15)
            continue;
        PicturePair p;
        p.deviceType = kPictureTable[r].deviceType;
        p.portCount = kPictureTable[r].portCount;
        p.onImage = drawPanelPicture(5, uint32_t(r + 1), true);
        p.offImage = drawPanelPicture(5, uint32_t(r + 1), false);
        pairs.push_back(std::move(p));
    }
    const std::vector<uint8_t> archive = buildPictureArchive(pairs);
    const fs::path program = dir / "program";
    std::ofstream out(program, std::ios::binary);
    out << "a program";
    out.write(reinterpret_cast<const char*>(archive.data()), std::streamsize(archive.size()));
    return program;
}

TEST_F(MainWindowTest, EveryMachineKindShowsAPictureOfItsOwnKindAndPortCount) {
    // Four kinds the picture table has rows for, four it has none for.
    const std::vector<std::string> kinds = {"usb10", "combo16", "cf8",      "microsd24",
                                            "sd20",  "old7",    "panel121", "panel2"};
    ManualBoard b(dir, kinds, programWithArchive(dir));
    ASSERT_EQ(b.form->picturesPlaced(), 8);
    for (const std::string& path : b.bus.pluggedPaths())
        b.bus.unplug(path);
    b.run(200);
    std::set<std::vector<uint8_t>> seen;
    for (int k = 0; k < 8; ++k) {
        MACHINE_DISPLAY_ICON& picture = b.form->picture(k);
        ASSERT_FALSE(picture.isOn());
        const MachineInfo entry = b.form->machineSlots().registry().entryAt(k);
        SCOPED_TRACE(entry.modelName);
        const int row = pictureRow(entry);
        const uint32_t ports = uint32_t(entry.maxDeviceQty);
        // The table's picture where it has a row; else one drawn for this kind and count.
        const std::vector<uint8_t> expected =
            row != 0 ? drawPanelPicture(5, uint32_t(row + 1), false)
                     : drawPanelPicture(entry.deviceType, ports, false);
        EXPECT_EQ(picture.image()->pixmap().toImage(), transparentPixmap(expected).toImage());
        if (row == 0) {
            EXPECT_NE(panelKindName(entry.deviceType), nullptr);
            EXPECT_NE(expected, drawPanelPicture(0, 10, false, true)); // not the generic one
        }
        seen.insert(expected);
    }
    EXPECT_EQ(seen.size(), 8u); // eight kinds, eight pictures
    b.form->close();
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

TEST_F(MainWindowTest, NewMachineWindowsCascadeOnTheScreen) {
    ManualBoard b(dir, {"usb10", "cf8", "nolog8"});
    std::vector<QRect> frames;
    for (int k = 0; k < 3; ++k) {
        TFormMachine* w = b.openWindow(k);
        ASSERT_NE(w, nullptr);
        QApplication::processEvents();
        EXPECT_TRUE(w->screen()->availableGeometry().contains(w->frameGeometry())) << k;
        for (const QRect& before : frames)
            EXPECT_NE(w->frameGeometry().topLeft(), before.topLeft()) << k;
        frames.push_back(w->frameGeometry());
    }
    b.form->close();
}

TEST_F(MainWindowTest, AMachinePluggedInAgainTakesOverItsWindow) {
    ManualBoard b(dir, {"panel121"});
    TFormMachine* w = b.openWindow(0);
    ASSERT_NE(w, nullptr);
    QApplication::processEvents();
    w->setGeometry(40, 50, 700, 500);
    QApplication::processEvents();
    const QRect where = w->geometry();
    const std::string id = b.machines[0]->machine().machineId;

    b.bus.unplug(b.bus.pluggedPaths()[0]);
    b.run(200);
    QApplication::processEvents();
    ASSERT_EQ(b.form->unpluggedWindows(), std::vector<TFormMachine*>{w});
    QPointer<TFormMachine> stale(w);

    // Back: its live window opens at once, where the operator had it, and
    // the one that said "unplugged" is gone.
    b.bus.plug(b.machines[0], 0x6C15, b.machines[0]->profile().productId);
    b.run(5000);
    ASSERT_TRUE(b.form->picture(0).isOn());
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(stale.isNull());
    EXPECT_TRUE(b.form->unpluggedWindows().empty());
    EXPECT_TRUE(b.form->machineWindowShown(id));
    int windows = 0;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* m = qobject_cast<TFormMachine*>(top); m && m->isVisible()) {
            ++windows;
            EXPECT_FALSE(m->unplugged());
            EXPECT_EQ(m->geometry(), where);
        }
    EXPECT_EQ(windows, 1);
    b.form->close();
}

TEST_F(MainWindowTest, AnUnpluggedMachinesLogOnScreenIsNotOpenedTwiceAndEscClosesIt) {
    ManualBoard b(dir, {"usb10"});
    TFormMachine* w = b.openWindow(0);
    ASSERT_NE(w, nullptr);
    w->OpenLogWindowClick();
    auto openViewers = [] {
        std::vector<TForm_ShowLog*> v;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* l = qobject_cast<TForm_ShowLog*>(top); l && l->isVisible())
                v.push_back(l);
        return v;
    };
    ASSERT_EQ(openViewers().size(), 1u);
    TForm_ShowLog* viewer = openViewers()[0];
    b.bus.unplug(b.bus.pluggedPaths()[0]);
    b.run(200);
    QApplication::processEvents();
    ASSERT_FALSE(b.form->picture(0).isOn());

    // The picture of the machine that is off: its log is already on screen.
    int modal = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        for (TForm_ShowLog* v : openViewers())
            if (v != viewer) {
                ++modal;
                v->close();
            }
    });
    closer.start(20);
    b.form->machineSlots().pictureClick(0);
    closer.stop();
    EXPECT_EQ(modal, 0);
    EXPECT_EQ(openViewers(), std::vector<TForm_ShowLog*>{viewer});

    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(viewer->StringGrid, &esc);
    EXPECT_FALSE(viewer->isVisible());
    b.form->close();
}

TEST_F(MainWindowTest, TheImageBankBoxShowsTheImagesItHoldsAndDeleteAndRenameSayWhy) {
    ManualBoard b(dir, {"bank10"});
    MachineModel& m = b.machines[0]->machine();
    TFormMachine* w = b.openWindow(0);
    ASSERT_NE(w, nullptr);
    b.run(500);
    ASSERT_TRUE(w->IsStandby());
    w->Button_AddImage->click();
    b.run(2000);
    std::vector<QString> stored;
    for (uint32_t place = 0; place < m.maxImageQty; ++place)
        if (m.images[place])
            stored.push_back(QString::asprintf("Image %03u", place + 1));
    ASSERT_GT(stored.size(), 1u);
    EXPECT_EQ(w->Label_ImageQty->text(), QString("Exist Image Qty: %1").arg(stored.size()));
    QTableWidget* grid = w->StringGrid_Images;
    ASSERT_EQ(grid->rowCount(), int(m.maxImageQty));
    for (int row = 0; row < grid->rowCount(); ++row) {
        const QTableWidgetItem* name = grid->item(row, 0);
        if (size_t(row) < stored.size()) {
            ASSERT_NE(name, nullptr) << row;
            EXPECT_EQ(name->text(), stored[size_t(row)]);
        } else {
            EXPECT_TRUE(!name || name->text().isEmpty()) << row;
        }
    }

    for (QPushButton* button : {w->Button_DeleteImage, w->Button_RenameImage}) {
        const size_t before = b.ui.messages.size();
        button->click();
        ASSERT_EQ(b.ui.messages.size(), before + 1) << button->text().toStdString();
        EXPECT_EQ(b.ui.messages.back().caption, "Notice");
        EXPECT_EQ(b.ui.messages.back().text.rfind(button->text().toStdString() + ": ", 0), 0u);
        EXPECT_NE(b.ui.messages.back().text.find(m.machineId), std::string::npos);
    }
    EXPECT_TRUE(cleanLayout(w, "machine_window", "image_bank"));
    b.form->close();
}

TEST_F(MainWindowTest, SystemAboutSaysTheVersionTheWorkingFolderAndWhereFilesGo) {
    ManualBoard b(dir, {});
    QMenu* system = b.form->menuBar()->actions().at(0)->menu();
    ASSERT_NE(system, nullptr);
    std::vector<std::string> items;
    for (QAction* a : system->actions())
        if (!a->isSeparator())
            items.push_back(a->text().remove('&').toStdString());
    EXPECT_EQ(items, (std::vector<std::string>{"About", "Help", "Exit"}));

    b.form->Item_About->trigger();
    TextWindow* about = b.form->aboutWindow();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());
    EXPECT_EQ(about->windowTitle(), "About Duplicator Monitor");
    const std::string text = about->text();
    for (const std::string& part :
         {std::string("Version ") + kProgramVersion, std::string(kBuildDate), dir.string(),
          std::string("DATABASE/BRELLOCK_QX42.DB7"),
          std::string("DATABASE/<machine id>.QX42.LOGDATA"),
          std::string("DEBUG_SESSION/<machine id>(YYYYMM).txt"), std::string("SavePicture/"),
          std::string("brellock_linker.QZ9"), std::string("QX42_GetDeviceInfo_para.def"),
          std::string("brellock_QX42B_window_parameter.par"), std::string("postgresql_export.par")})
        EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
    EXPECT_TRUE(cleanLayout(about, "main_window", "about"));
    b.form->close();
}

TEST_F(MainWindowTest, HelpShowsTheInstalledManualOrElseTheReadme) {
    // An installed layout: <prefix>/bin/program, <prefix>/share/man/man1/...
    const fs::path program = dir / "bin" / "duplicator-monitor";
    const fs::path man = dir / "share" / "man" / "man1" / "duplicator-monitor.1";
    fs::create_directories(man.parent_path());
    fs::create_directories(program.parent_path());
    std::ofstream(man) << ".TH DUPLICATOR-MONITOR 1\n.SH NAME\nduplicator-monitor \\- THE "
                          "TEST MANUAL\n.SH DESCRIPTION\nWatches duplicators.\n";
    ASSERT_EQ(std::system(("gzip -9n " + man.string()).c_str()), 0);
    const fs::path readme = dir / "README.md";
    std::ofstream(readme) << "# Duplicator Monitor\nThe test README.\n";

    struct Case {
        const char* name;
        std::vector<fs::path> manuals, readmes;
        fs::path source;      // what the text comes from; empty: nothing found
        std::string contains; // in the text
    };
    const fs::path empty = dir / "empty.1";
    std::ofstream(empty).flush();
    const Case cases[] = {
        {"the installed manual page",
         manualCandidates(program),
         {readme},
         fs::path(man.string() + ".gz"),
         "THE TEST MANUAL"},
        {"no manual page: the README", {dir / "none.1.gz"}, {readme}, readme, "The test README."},
        {"a manual page man shows nothing of: the README, and why",
         {empty},
         {readme},
         readme,
         "could not be shown"},
        {"neither: where it looked",
         {dir / "none.1.gz"},
         {dir / "none.md"},
         {},
         (dir / "none.md").string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HelpWindow help;
        help.showManual(c.manuals, c.readmes);
        EXPECT_TRUE(help.isVisible());
        ASSERT_TRUE(spin([&] { return !help.reading(); }, 20000));
        EXPECT_EQ(help.source(), c.source);
        EXPECT_NE(help.text().find(c.contains), std::string::npos) << help.text();
        EXPECT_EQ(help.text().find('\b'), std::string::npos);
    }

    // System > Help of a program installed there finds its manual page.
    ManualBoard b(dir, {}, program);
    b.form->Item_Help->trigger();
    HelpWindow* help = b.form->helpWindow();
    ASSERT_NE(help, nullptr);
    ASSERT_TRUE(spin([&] { return !help->reading(); }, 20000));
    EXPECT_EQ(help->source(), fs::path(man.string() + ".gz"));
    EXPECT_TRUE(cleanLayout(help, "main_window", "help"));
    b.form->close();

    EXPECT_EQ(plainManText("b\bbo\bol\bld\bd _\bu_\bn"), "bold un");
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
