// A machine's log from the program's windows, as an operator reaches it:
// LogData > OpenLogWindow in the machine window, with rows that arrive as a
// job's records are stored; the picture of a machine that is off, which
// opens the viewer modally; and a report saved from there.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCalendarWidget>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

#include "common/byte_order.h"
#include "logdb/log_database.h"
#include "logdb/tform_daily_report.h"
#include "logdb/tform_detail_report.h"
#include "logdb/tform_port_performance.h"
#include "logdb/tform_report.h"
#include "logdb/tform_show_log.h"
#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/widget_support.h"
#include "settings/tform_nickname.h"
#include "shell/machine_window_view.h"
#include "shell/main_window.h"
#include "sim/stand_in.h"
#include "support/event_loop.h"
#include "support/layout_check.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

// Runs `fn` once a modal window of type W is the active one.
template <class W> void whenModalOf(std::function<void(W*)> fn) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            fn(w);
        }
    });
    timer->start();
}

void pick(QDateEdit* picker, QDate date) {
    QCalendarWidget* calendar = picker->calendarWidget();
    calendar->window()->show();
    calendar->setSelectedDate(date);
    emit calendar->activated(date);
    calendar->window()->hide();
}

uint32_t storedRecords(const fs::path& db) {
    return summarizeLogDatabase(db).count;
}

class LogWindowsInTheProgram : public ::testing::Test {
protected:
    void SetUp() override {
        testApplication();
        ui.onProcessEvents = [] { QApplication::processEvents(QEventLoop::AllEvents, 5); };
        machine = StandInController::create("usb10", clock);
        machine->machine().speed = 64;
        machine->machine().preloadLog(30);
        bus.plug(machine, 0x6C15, machine->profile().productId);
        QObject::connect(&pump, &QTimer::timeout, [this] { bus.pump(); });
        pump.start(1);
        COMMAND_MACHINE::setGlobalRefreshMark();
        form = std::make_unique<TForm1>(bus, &bus, clock, ui, dir, dir / "no-program");
        form->show();
    }
    void TearDown() override {
        form->close();
        // Closing lets the machine windows go with deleteLater; the program's
        // loop would delete them before the connections that own their
        // records are gone, so this one does too.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        form.reset();
    }
    // The machine is on the board and every record it holds is stored.
    bool synced() {
        if (form->picturesPlaced() != 1 || !form->picture(0).isOn())
            return false;
        const fs::path db = dir / "DATABASE" / (std::string(machineId()) + ".QX42.LOGDATA");
        return fs::exists(db) && storedRecords(db) == 30;
    }
    std::string machineId() { return machine->machine().machineId; }

    const Clock& clock = SystemClock::instance();
    VirtualBus bus{clock};
    TestUi ui;
    std::shared_ptr<StandInController> machine;
    QTimer pump;
    dupmon::test::TempDir tmp{"dupmon-logwin"};
    fs::path dir{tmp.path};
    std::unique_ptr<TForm1> form;
};

} // namespace

TEST_F(LogWindowsInTheProgram, OpenLogWindowShowsTheLogAndRowsArriveWithTheJob) {
    ASSERT_TRUE(
        spin([&] { return form->picturesPlaced() == 1 && form->picture(0).isOn(); }, 15000));
    MACHINE& m = form->machineSlots().connection(form->picture(0).connection());
    ASSERT_TRUE(spin([&] { return storedRecords(m.logDatabasePath()) == 30; }, 15000));
    form->machineSlots().pictureClick(0);
    auto* adapter = dynamic_cast<MachineWindowAdapter*>(m.window());
    ASSERT_NE(adapter, nullptr);
    TFormMachine* w = adapter->window();
    ASSERT_TRUE(spin([&] { return w->IsStandby(); }, 5000));
    ASSERT_TRUE(w->Menu_LogData->menuAction()->isVisible());

    w->Item_OpenLogWindow->trigger();
    auto* viewer = w->findChild<TForm_ShowLog*>();
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_FALSE(viewer->isModal());
    EXPECT_EQ(viewer->GroupBox->title().toStdString(), w->windowTitleText());
    EXPECT_EQ(viewer->StringGrid->model()->rowCount(), 30);
    EXPECT_EQ(viewer->database(), m.logDatabasePath());

    // A job: its records reach the database and, as they are stored, the grid.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<TForm_continue_or_exit*>(QApplication::activeModalWidget()))
            d->Button_finish->click();
    });
    answer.start(50);
    w->CopyClick();
    ASSERT_TRUE(
        spin([&] { return storedRecords(m.logDatabasePath()) > 30 && w->IsStandby(); }, 60000));
    ASSERT_TRUE(spin(
        [&] {
            return viewer->StringGrid->model()->rowCount() ==
                   int(storedRecords(m.logDatabasePath()));
        },
        5000));
    const LogDatabaseContents all = readLogDatabase(m.logDatabasePath());
    ASSERT_EQ(all.result, PASS);
    for (uint32_t i = 0; i < all.count; ++i)
        EXPECT_EQ(viewer->StringGrid->model()->index(int(i), 0).data().toString(),
                  QString::asprintf("%05u", readBE32(all.record(i)) + 1))
            << i;
    EXPECT_TRUE(cleanLayout(viewer, "log_viewer", "from-machine-window"));

    // The machine's new name reaches the open viewer's caption.
    whenModalOf<TForm_nickname>([](TForm_nickname* d) {
        d->Edit_nickname->setText("LINE-7");
        d->Button_OK->click();
    });
    w->ChangeNicknameClick();
    EXPECT_EQ(viewer->GroupBox->title(), "LINE-7(v3.12.5)");

    // Closed and opened again: the same viewer, still complete.
    viewer->close();
    w->Item_OpenLogWindow->trigger();
    EXPECT_EQ(w->findChildren<TForm_ShowLog*>().size(), 1);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(LogWindowsInTheProgram, TheFigureWindowsOpenFromTheLogDataMenuAndNameTheirMachine) {
    ASSERT_TRUE(
        spin([&] { return form->picturesPlaced() == 1 && form->picture(0).isOn(); }, 15000));
    MACHINE& m = form->machineSlots().connection(form->picture(0).connection());
    ASSERT_TRUE(spin([&] { return storedRecords(m.logDatabasePath()) == 30; }, 15000));
    form->machineSlots().pictureClick(0);
    TFormMachine* w = dynamic_cast<MachineWindowAdapter*>(m.window())->window();
    for (QAction* item :
         {w->Item_ShowDetailReport, w->Item_ShowDailyReport, w->Item_ShowPerformanceByPort})
        EXPECT_TRUE(item->isVisible()) << item->text().toStdString();

    w->Item_ShowPerformanceByPort->trigger();
    w->Item_ShowDailyReport->trigger();
    w->Item_ShowDetailReport->trigger();
    auto* ports = w->findChild<TFormPortPerformance*>();
    auto* daily = w->findChild<TFormDailyReport*>();
    auto* detail = w->findChild<TFormDetailReport*>();
    ASSERT_TRUE(ports && daily && detail);
    for (StatsWindow* f : std::initializer_list<StatsWindow*>{ports, daily, detail}) {
        EXPECT_TRUE(f->isVisible());
        EXPECT_NE(f->windowTitle().toStdString().find(machineId()), std::string::npos);
        EXPECT_EQ(f->database(), m.logDatabasePath());
    }
    // The 30 records of the stand-in's past are the week up to the newest.
    ASSERT_TRUE(spin([&] { return ports->stats().has_value(); }, 10000));
    EXPECT_EQ(ports->stats()->inRange, 30u);
    EXPECT_NE(ports->Label_machine->text().toStdString().find(w->windowTitleText() + ", "),
              std::string::npos);

    // A new name reaches them; a second opening shows the same window again.
    whenModalOf<TForm_nickname>([](TForm_nickname* d) {
        d->Edit_nickname->setText("LINE-9");
        d->Button_OK->click();
    });
    w->ChangeNicknameClick();
    EXPECT_EQ(daily->caption(), "LINE-9(v3.12.5)");
    EXPECT_NE(daily->windowTitle().toStdString().find("LINE-9 [" + machineId() + "]"),
              std::string::npos);
    daily->close();
    w->Item_ShowDailyReport->trigger();
    EXPECT_EQ(w->findChildren<TFormDailyReport*>().size(), 1);
    EXPECT_TRUE(daily->isVisible());
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(LogWindowsInTheProgram, APictureThatIsOffOpensTheViewerModallyAndAReportIsSaved) {
    ASSERT_TRUE(spin([&] { return synced(); }, 20000));
    bus.unplug(bus.pluggedPaths()[0]);
    ASSERT_TRUE(spin([&] { return !form->picture(0).isOn(); }, 5000));
    const fs::path db = dir / "DATABASE" / (machineId() + ".QX42.LOGDATA");
    const fs::path reportFile = dir / "usb10-report.txt";

    bool viewerSeen = false, reportSeen = false;
    whenModalOf<TForm_ShowLog>([&](TForm_ShowLog* viewer) {
        viewerSeen = true;
        EXPECT_EQ(viewer->windowModality(), Qt::ApplicationModal);
        EXPECT_EQ(viewer->database(), db);
        EXPECT_EQ(viewer->GroupBox->title(), "SIM USB Tower 10(v3.12.5)");
        EXPECT_EQ(viewer->StringGrid->model()->rowCount(), 30);
        EXPECT_TRUE(cleanLayout(viewer, "log_viewer", "machine-off"));
        whenModalOf<TFormReport>([&](TFormReport* report) {
            reportSeen = true;
            const QDate today = QDate::currentDate();
            pick(report->DateTimePicker_start, today.addDays(-2));
            pick(report->DateTimePicker_end, today.addDays(1));
            report->chooseSaveFile = [&] { return std::optional(reportFile); };
            report->Button_saveToFile->click();
            EXPECT_TRUE(cleanLayout(report, "report", "machine-off"));
            report->Button_exit->click();
        });
        viewer->Item_SaveToTextFile->trigger();
        viewer->close();
    });
    form->machineSlots().pictureClick(0);
    EXPECT_TRUE(viewerSeen);
    EXPECT_TRUE(reportSeen);
    // Released when closed; its position is kept for the next time.
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(fs::exists(dir / "DATABASE" / (machineId() + ".qz9.log.par")));
    EXPECT_TRUE(ui.messages.empty());

    ASSERT_TRUE(fs::exists(reportFile));
    const std::string cmd = std::string(DUPMON_LOGTOOL) + " verify " + reportFile.string() + " >" +
                            (dir / "verify.txt").string() + " 2>&1";
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
