// The LogData menu's figure windows over the job logs of stand-in machines
// (10 ports, 121 ports in a panel, an SD machine) after a demo week with one
// port failing more often: what they show, a click on a port, the range, the
// saved detail report, and pictures of each for review.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateEdit>
#include <QDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTableWidget>
#include <QTest>
#include <QThread>
#include <QTreeView>
#include <map>
#include <sstream>

#include "common/text.h"
#include "logdb/demo_log.h"
#include "logdb/log_test_support.h"
#include "logdb/logtool.h"
#include "logdb/tform_daily_report.h"
#include "logdb/tform_detail_report.h"
#include "logdb/tform_port_performance.h"
#include "machine_window/widget_support.h"
#include "support/layout_check.h"
#include "support/temp_dir.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

const DemoPlan kPlans[] = {
    {"usb10", 3, 0.35, 0.02, 7, 5, 3},
    {"panel121", 77, 0.30, 0.02, 7, 2, 2},
    {"sd20", 8, 0.35, 0.02, 7, 5, 1},
};

// The demo logs, made once for the whole program.
class Demos {
public:
    static const DemoLog& of(const DemoPlan& plan) {
        static Demos demos;
        auto it = demos.logs_.find(plan.profile);
        if (it == demos.logs_.end())
            it = demos.logs_.emplace(plan.profile, runDemo(plan, demos.dir_)).first;
        return it->second;
    }

private:
    Demos() = default;
    dupmon::test::TempDir tmp_{"dupmon_stats"};
    fs::path dir_{tmp_.path};
    std::map<std::string, DemoLog> logs_;
};

template <class Pred> bool waitUntil(Pred done, int limitMs = 60000) {
    for (int i = 0; i < limitMs && !done(); ++i) {
        QApplication::processEvents();
        QThread::msleep(1);
    }
    return done();
}

std::string captionOf(const MachineInfo& info) {
    return std::string(fieldText(info.modelName, sizeof info.modelName)) + "(" +
           std::string(fieldText(info.version, sizeof info.version)) + ")";
}

class StatsWindows : public ::testing::TestWithParam<DemoPlan> {
protected:
    void SetUp() override {
        testApplication();
        demo = &Demos::of(GetParam());
        ASSERT_GT(demo->records, 0u);
    }
    const DemoLog* demo = nullptr;
    ManualClock clock{LocalTime{2026, 12, 20, 9, 0, 0, 0, 0}};
    TestUi ui;
};

TEST_P(StatsWindows, PerformanceByPortMarksTheWornPortOnTheMachinesOwnMap) {
    const DemoPlan& plan = GetParam();
    TFormPortPerformance w(nullptr, demo->info, captionOf(demo->info), demo->database, ui, clock);
    w.show();
    ASSERT_TRUE(waitUntil([&] { return w.stats().has_value(); }));
    const LogStats& s = *w.stats();

    // The whole demo week is the first range: a week up to the newest record.
    EXPECT_EQ(dayText(w.from()), "2026-12-01");
    EXPECT_EQ(dayText(w.to()), "2026-12-07");
    EXPECT_EQ(s.inRange, demo->records);
    EXPECT_NE(w.Label_machine->text().toStdString().find(captionOf(demo->info) +
                                                         ", 2026-12-01 to 2026-12-07 (7 days)"),
              std::string::npos)
        << w.Label_machine->text().toStdString();
    EXPECT_NE(w.windowTitle().toStdString().find(
                  std::string(fieldText(demo->info.machineId, sizeof demo->info.machineId))),
              std::string::npos);

    // Every port of the map, in the window's numbering; only the worn one marked.
    const PortChart& chart = w.Chart->chart();
    const LayoutKind kind = layoutKindOf(demo->info);
    ASSERT_EQ(chart.cells.size(), size_t(demo->info.maxDeviceQty));
    EXPECT_EQ(chart.hasApart, kind != LayoutKind::Ordinary);
    EXPECT_TRUE(chart.outside.empty());
    for (const PortCell& c : chart.cells) {
        EXPECT_EQ(c.caption, portCaption(c.index, kind));
        EXPECT_EQ(c.standsOut, c.index == plan.weakPort) << c.caption;
        const auto p = std::find_if(s.ports.begin(), s.ports.end(),
                                    [&](const PortFigures& f) { return f.port == c.index; });
        if (p == s.ports.end()) {
            EXPECT_EQ(c.counts.finished(), 0u) << c.caption;
            EXPECT_EQ(c.rgb, kNoJobsRgb) << c.caption;
            continue;
        }
        EXPECT_EQ(c.counts.pass, p->counts.pass) << c.caption;
        EXPECT_EQ(c.counts.fail, p->counts.fail) << c.caption;
        EXPECT_EQ(c.rgb, failureRgb(p->counts)) << c.caption;
    }
    const auto weak = std::find_if(chart.cells.begin(), chart.cells.end(),
                                   [&](const PortCell& c) { return c.index == plan.weakPort; });
    ASSERT_NE(weak, chart.cells.end());
    EXPECT_GE(weak->counts.failurePercent(), 10.0);
    EXPECT_EQ(s.standOutPorts(), std::vector<uint16_t>{plan.weakPort});
    // The master port of a copy machine holds no job of its own.
    EXPECT_EQ(chart.cells[0].counts.finished(), 0u);
    EXPECT_NE(w.Label_status->text().toStdString().find("Stands out: " + weak->caption + "."),
              std::string::npos)
        << w.Label_status->text().toStdString();
    // Port #01 is in view when the window opens, wherever the map puts it.
    const auto one = std::find_if(chart.cells.begin(), chart.cells.end(),
                                  [](const PortCell& c) { return c.index == 1; });
    ASSERT_NE(one, chart.cells.end());
    QWidget* viewport = w.ScrollBox_chart->viewport();
    const QRect oneShown(w.Chart->mapTo(viewport, w.Chart->cellRect(*one).topLeft()),
                         w.Chart->cellRect(*one).size());
    EXPECT_TRUE(viewport->rect().contains(oneShown)) << one->caption;
    writeScreenshot(&w, "stats", std::string(plan.profile) + "-performance-by-port");

    // A click on the worn port lists its failures.
    const QRect box = w.Chart->cellRect(*weak);
    EXPECT_EQ(w.Chart->cellAt(box.center()), &*weak);
    QTest::mouseClick(w.Chart, Qt::LeftButton, {}, box.center());
    ASSERT_TRUE(waitUntil([&] { return w.failuresWindow() && w.failuresWindow()->isVisible(); }));
    EXPECT_EQ(uint64_t(w.Table_failures->rowCount()), weak->counts.fail);
    EXPECT_NE(w.failuresWindow()->windowTitle().toStdString().find(weak->caption),
              std::string::npos);
    for (int row = 0; row < w.Table_failures->rowCount(); ++row)
        ASSERT_EQ(w.Table_failures->item(row, 2)->text().left(5), "FAIL(") << row;
    writeScreenshot(w.failuresWindow(), "stats", std::string(plan.profile) + "-port-failures");
}

TEST_P(StatsWindows, DailyReportShowsEachDaysYieldAndJobsPerFunction) {
    const DemoPlan& plan = GetParam();
    TFormDailyReport w(nullptr, demo->info, captionOf(demo->info), demo->database, ui, clock);
    w.show();
    ASSERT_TRUE(waitUntil([&] { return w.stats().has_value(); }));
    const LogStats& s = *w.stats();
    ASSERT_EQ(s.days.size(), size_t(plan.days));
    ASSERT_EQ(w.Table_days->rowCount(), plan.days);
    // Columns: the day's figures, then PASS/FAIL of copy and copy+compare.
    ASSERT_EQ(w.Table_days->columnCount(), 9);
    EXPECT_EQ(w.Table_days->horizontalHeaderItem(7)->text(), "COPY PASS/FAIL");
    EXPECT_EQ(w.Table_days->horizontalHeaderItem(8)->text(), "COPY+COMPARE PASS/FAIL");
    uint64_t pass = 0, fail = 0;
    for (int row = 0; row < plan.days; ++row) {
        const DayFigures& d = s.days[size_t(row)];
        EXPECT_EQ(w.Table_days->item(row, 0)->text().toStdString(), dayText(d.day));
        pass += w.Table_days->item(row, 2)->text().toULongLong();
        fail += w.Table_days->item(row, 3)->text().toULongLong();
        // Per function, the day's counts add up.
        uint64_t functionPass = 0;
        for (int column : {7, 8})
            functionPass += w.Table_days->item(row, column)->text().split('/')[0].toULongLong();
        EXPECT_EQ(functionPass, d.counts.pass);
        // The bars: the yield in proportion, the passed jobs against the scale.
        const QRect yield = w.Chart->yieldBar(d.day);
        EXPECT_NEAR(double(yield.height()), d.counts.yieldPercent() * 1.5, 1.0) << row;
        EXPECT_FALSE(w.Chart->passBar(d.day).isEmpty());
    }
    EXPECT_EQ(pass, s.counts.pass);
    EXPECT_EQ(fail, s.counts.fail);
    const DayFigures& a = s.days.front();
    const DayFigures& b = s.days.back();
    EXPECT_NEAR(double(w.Chart->passBar(a.day).height()) / w.Chart->passBar(b.day).height(),
                double(a.counts.pass) / double(b.counts.pass), 0.05);
    writeScreenshot(&w, "stats", std::string(plan.profile) + "-daily-report");

    // Another range: one day, named in the window.
    w.DateEdit_from->setDate(QDate(2026, 12, 3));
    w.DateEdit_to->setDate(QDate(2026, 12, 3));
    QTest::mouseClick(w.Button_show, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !w.busy() && w.stats()->days.size() == 1; }));
    EXPECT_EQ(dayText(w.stats()->days[0].day), "2026-12-03");
    EXPECT_NE(w.Label_machine->text().toStdString().find("2026-12-03 to 2026-12-03 (1 day)"),
              std::string::npos);
    // A range whose end lies before its start is refused.
    w.DateEdit_from->setDate(QDate(2026, 12, 5));
    QTest::mouseClick(w.Button_show, Qt::LeftButton);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].text, "Illegal Date !");
}

TEST_P(StatsWindows, DetailReportGroupsTheRecordsByJobAndSavesThem) {
    const DemoPlan& plan = GetParam();
    TFormDetailReport w(nullptr, demo->info, captionOf(demo->info), demo->database, ui, clock);
    w.show();
    ASSERT_TRUE(waitUntil([&] { return w.model().rowCount() > 0 && !w.busy(); }));
    const JobReport& r = w.model().report();
    // One job a round of targets, holding every target port once.
    ASSERT_EQ(r.jobs.size(), demo->rounds);
    uint64_t records = 0;
    for (const JobGroup& j : r.jobs) {
        records += j.records;
        EXPECT_EQ(j.ports.size(), j.records);
        EXPECT_TRUE(j.function == 1 || j.function == 5);
        EXPECT_TRUE(j.dated);
        EXPECT_LE(j.started, j.ended);
    }
    EXPECT_EQ(records, demo->records);
    const LayoutKind kind = layoutKindOf(demo->info);
    const QModelIndex first = w.model().index(0, 5);
    EXPECT_EQ(w.model().data(first).toString().toStdString(),
              portCaption(1, kind) + "-" + portCaption(demo->info.maxDeviceQty - 1, kind));
    // A job opens onto its records.
    const QModelIndex job = w.model().index(0, 0);
    ASSERT_EQ(uint32_t(w.model().rowCount(job)), r.jobs[0].records);
    w.Tree_jobs->expand(job);
    const QModelIndex record = w.model().index(0, 5, job);
    EXPECT_EQ(w.model().data(record).toString().toStdString(),
              portCaption(r.jobs[0].ports[0], kind));
    EXPECT_TRUE(w.model().data(w.model().index(0, 0, job)).toString().startsWith("No. "));
    writeScreenshot(&w, "stats", std::string(plan.profile) + "-detail-report");

    // Saved as CSV and as text: a line a job after the heading.
    const dupmon::test::TempDir tmp("dupmon-detail");
    const fs::path& dir = tmp.path;
    ASSERT_TRUE(w.saveCsv(dir / "jobs.csv"));
    ASSERT_TRUE(w.saveText(dir / "jobs.txt"));
    const std::string csv = readText(dir / "jobs.csv");
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), kJobReportCsvHeader);
    EXPECT_EQ(size_t(std::count(csv.begin(), csv.end(), '\n')), r.jobs.size() + 1);
    const std::string text = readText(dir / "jobs.txt");
    EXPECT_NE(text.find("Machine: " + captionOf(demo->info)), std::string::npos);
    EXPECT_NE(text.find("Range: 2026-12-01 to 2026-12-07\n"), std::string::npos);
    EXPECT_EQ(size_t(std::count(text.begin(), text.end(), '\n')), r.jobs.size() + 6);
    // A file that cannot be written says so and leaves nothing behind.
    EXPECT_FALSE(w.saveCsv(dir / "no-folder" / "jobs.csv"));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0].caption, "Error");
}

// The log tool's JSON figures are those the windows show.
TEST_P(StatsWindows, TheLogToolGivesTheSameFigures) {
    const DemoPlan& plan = GetParam();
    std::ostringstream out, err;
    ASSERT_EQ(runLogTool({"stats", demo->database.string(), "--json", "--from", "2026-12-01",
                          "--to", "2026-12-07"},
                         out, err, clock),
              0)
        << err.str();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(out.str()), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    const LogStats s = computeLogStats(demo->database, true, {2026, 12, 1}, {2026, 12, 7});
    const QJsonObject machine = doc["machine"].toObject();
    EXPECT_EQ(uint64_t(machine["pass"].toInteger()), s.counts.pass);
    EXPECT_EQ(uint64_t(machine["fail"].toInteger()), s.counts.fail);
    const QJsonArray ports = doc["ports"].toArray();
    ASSERT_EQ(size_t(ports.size()), s.ports.size());
    for (const QJsonValue& p : ports)
        EXPECT_EQ(p["stands_out"].toBool(), p["port"].toInt() == plan.weakPort);
    EXPECT_EQ(size_t(doc["days"].toArray().size()), size_t(plan.days));
}

// A database that cannot be read: each window says why, and shows nothing.
TEST(StatsWindowsOfABadDatabase, SayWhyTheyShowNothing) {
    testApplication();
    ManualClock clock{LocalTime{2026, 12, 20, 9, 0, 0, 0, 0}};
    TestUi ui;
    const MachineInfo info = machine("NICK", "MODEL", "BAD-1");
    const fs::path missing = "/nonexistent/BAD-1.QX42.LOGDATA";
    TFormPortPerformance ports(nullptr, info, "NICK(v1)", missing, ui, clock);
    TFormDailyReport daily(nullptr, info, "NICK(v1)", missing, ui, clock);
    TFormDetailReport detail(nullptr, info, "NICK(v1)", missing, ui, clock);
    for (StatsWindow* w : std::initializer_list<StatsWindow*>{&ports, &daily, &detail}) {
        ASSERT_TRUE(waitUntil([&] { return w->ranged() && !w->busy(); }));
        EXPECT_EQ(w->Label_status->text().toStdString(),
                  "The job log cannot be read: DATABASE_NOT_EXIST (does not exist)");
        // Without records the range is the week up to today.
        EXPECT_EQ(dayText(w->to()), "2026-12-20");
        EXPECT_EQ(dayText(w->from()), "2026-12-14");
    }
    EXPECT_FALSE(ports.stats().has_value());
    EXPECT_FALSE(daily.stats().has_value());
    EXPECT_EQ(detail.model().rowCount(), 0);
    EXPECT_TRUE(ui.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(StandIns, StatsWindows, ::testing::ValuesIn(kPlans),
                         [](const auto& info) { return std::string(info.param.profile); });

} // namespace
