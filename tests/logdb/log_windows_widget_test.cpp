// The log viewer and report windows on Qt's offscreen platform: what the
// grid shows, the position file, live rows, the report window's messages
// and a report saved through its save dialog, checked by the log tool.
#include <gtest/gtest.h>

#include <QAction>
#include <QCalendarWidget>
#include <QDateEdit>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <cstdlib>
#include <sys/wait.h>

#include "common/text.h"
#include "log_test_support.h"
#include "logdb/log_database.h"
#include "logdb/tform_report.h"
#include "logdb/tform_show_log.h"
#include "machine_window/widget_support.h"
#include "support/layout_check.h"
#include "support/test_ui.h"

using namespace dupmon;
using namespace dupmon::test;
namespace fs = std::filesystem;

namespace {

RecordBytes usbCopy(uint32_t logNo, int day) {
    RecordBytes r;
    r.job(logNo, 2026, 3, day, 9, 5, logNo % 60, uint16_t(logNo % 10 + 1))
        .u8(14, logNo % 2 ? 1 : 5)
        .be32(24, 15728640)
        .be32(32, 2097152)
        .be16(56, 61)
        .be16(58, 40)
        .u8(13, 1)
        .be16(64, 0x0781)
        .be16(66, 0x5567)
        .bytes(88, "4C530001230518113593");
    if (logNo % 7 == 3)
        r.u8(62, 2).be32(40, 123456);
    return r;
}

QString cell(QTableView* grid, int row, int column) {
    return grid->model()->index(row, column).data().toString();
}

class LogWindows : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        testApplication();
        info = machine("LINE-01", "UB-16", "A1B2C3", 2, "v2.40.7", 10);
        db = logDatabasePath(dir, info);
    }
    void writeDatabase(uint32_t count, int firstDay = 15) {
        ASSERT_TRUE(createLogDatabase(db));
        std::vector<uint8_t> bytes;
        for (uint32_t i = 0; i < count; ++i) {
            RecordBytes r = usbCopy(i, firstDay + int(i * 3 / std::max<uint32_t>(count, 1)));
            bytes.insert(bytes.end(), r.b.begin(), r.b.end());
        }
        writeBytes(db, bytes.data(), bytes.size(), true);
    }
    // The grid's last row lies whole inside its viewport.
    static bool lastRowInView(TForm_ShowLog& v) {
        const int rows = v.StringGrid->model()->rowCount();
        const QRect last = v.StringGrid->visualRect(v.StringGrid->model()->index(rows - 1, 0));
        return last.isValid() && v.StringGrid->viewport()->rect().contains(last);
    }
    MachineInfo info;
    fs::path db;
    TestUi ui;
    ManualClock clock;
};

} // namespace

TEST_F(LogWindows, ViewerOf10001RecordsShowsTheNewest10000) {
    writeDatabase(10001);
    TForm_ShowLog viewer(nullptr, info, "LINE-01(v2.40.7)", db, dir, ui, nullptr);
    viewer.show();
    QApplication::processEvents();
    EXPECT_EQ(viewer.windowTitle(), "LOG Data - LINE-01 [A1B2C3]");
    QTableView* grid = viewer.StringGrid;
    ASSERT_EQ(grid->model()->rowCount(), 10000);
    EXPECT_EQ(grid->model()->columnCount(), 8);
    EXPECT_EQ(cell(grid, 0, 0), "00002");
    EXPECT_EQ(cell(grid, 9999, 0), "10001");
    for (int r = 0; r < 10000; ++r)
        ASSERT_NE(cell(grid, r, 0), "00001") << r;
    EXPECT_EQ(cell(grid, 9999, 7), "0781h 5567h [4C530001230518113593]");
    EXPECT_EQ(unevenCharacters(grid->font()), "") << "the rows' columns do not line up";
    const char* headers[] = {"  No.",
                             "Date-Time",
                             "Port",
                             "Result",
                             "Function",
                             "RUN Time",
                             "Capacity(Sector)",
                             "VID-PID-Serial No."};
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(grid->model()->headerData(c, Qt::Horizontal).toString(), headers[c]);
        // The column's own width at least, and wide enough for what it shows.
        const int width = grid->horizontalHeader()->sectionSize(c);
        EXPECT_GE(width, LogViewerRows::width(c));
        EXPECT_LT(grid->horizontalHeader()->fontMetrics().horizontalAdvance(headers[c]), width);
        if (*LogViewerRows::widestText(c)) {
            for (int r = 9980; r < 10000; ++r)
                EXPECT_LT(grid->fontMetrics().horizontalAdvance(cell(grid, r, c)), width - 6)
                    << c << "/" << r;
        }
    }
    EXPECT_TRUE(ui.messages.empty());
    // Newest at the bottom, and in view.
    EXPECT_TRUE(lastRowInView(viewer));
    EXPECT_GT(grid->verticalScrollBar()->value(), 9900);
    EXPECT_TRUE(cleanLayout(&viewer, "log_viewer", "10000-rows"));
}

TEST_F(LogWindows, ARecordArrivingWhileTheViewerIsOpenAddsARow) {
    writeDatabase(40);
    TForm_ShowLog viewer(nullptr, info, "LINE-01(v2.40.7)", db, dir, ui, nullptr);
    viewer.resize(900, 300);
    viewer.show();
    QApplication::processEvents();
    ASSERT_EQ(viewer.StringGrid->model()->rowCount(), 40);
    ASSERT_LT(viewer.visibleRowCount(), 40); // the grid must scroll to show a new row
    for (uint32_t n = 40; n < 43; ++n) {
        RecordBytes r = usbCopy(n, 20);
        viewer.AddRecord(r.data());
        QApplication::processEvents();
        ASSERT_EQ(viewer.StringGrid->model()->rowCount(), int(n) + 1);
        EXPECT_EQ(cell(viewer.StringGrid, int(n), 0), QString::asprintf("%05u", n + 1));
        EXPECT_EQ(cell(viewer.StringGrid, int(n), 1),
                  "2026-03-20 09:05:" + QString::asprintf("%02u", n % 60));
        EXPECT_TRUE(lastRowInView(viewer)) << n;
    }
    copyField(info.nickName, sizeof info.nickName, "RENAMED");
    viewer.SetCaption("RENAMED(v2.40.7)");
    EXPECT_EQ(viewer.GroupBox->title(), "RENAMED(v2.40.7)");
    EXPECT_EQ(viewer.windowTitle(), "LOG Data - RENAMED [A1B2C3]");
    EXPECT_TRUE(cleanLayout(&viewer, "log_viewer", "live-rows"));
}

TEST_F(LogWindows, TheViewerSaysHowManyRecordsThereAreAndShowsTheOlderOnes) {
    writeDatabase(10005);
    TForm_ShowLog viewer(nullptr, info, "LINE-01(v2.40.7)", db, dir, ui, nullptr);
    viewer.show();
    QApplication::processEvents();
    QTableView* grid = viewer.StringGrid;
    ASSERT_EQ(grid->model()->rowCount(), 10000);
    EXPECT_TRUE(viewer.Label_Records->isVisible());
    EXPECT_TRUE(viewer.Label_Records->text().startsWith("The newest 10,000 of 10,005 records"))
        << viewer.Label_Records->text().toStdString();
    EXPECT_TRUE(viewer.Label_Records->text().contains("Show Older Records"));
    EXPECT_TRUE(viewer.Item_ShowOlderRecords->isEnabled());
    EXPECT_FALSE(viewer.Item_ShowNewerRecords->isEnabled());
    EXPECT_TRUE(cleanLayout(&viewer, "log_viewer", "newest-of-more"));

    // File > Show Older Records: the five records before, oldest at the top.
    viewer.Item_ShowOlderRecords->trigger();
    QApplication::processEvents();
    ASSERT_EQ(grid->model()->rowCount(), 5);
    EXPECT_EQ(cell(grid, 0, 0), "00001");
    EXPECT_EQ(cell(grid, 4, 0), "00005");
    EXPECT_EQ(viewer.Label_Records->text(), "Records 1 to 5 of 10,005");
    EXPECT_FALSE(viewer.Item_ShowOlderRecords->isEnabled());
    EXPECT_TRUE(viewer.Item_ShowNewerRecords->isEnabled());
    EXPECT_TRUE(cleanLayout(&viewer, "log_viewer", "older-page"));

    // A record arriving meanwhile is counted, and the page stays as it is.
    RecordBytes r = usbCopy(10005, 20);
    writeBytes(db, r.data(), r.b.size(), true);
    viewer.AddRecord(r.data());
    EXPECT_EQ(grid->model()->rowCount(), 5);
    EXPECT_EQ(viewer.Label_Records->text(), "Records 1 to 5 of 10,006");

    // Forward a page at a time: the page after the one shown, then the
    // newest, the new record among them.
    viewer.Item_ShowNewerRecords->trigger();
    QApplication::processEvents();
    ASSERT_EQ(grid->model()->rowCount(), 10000);
    EXPECT_EQ(cell(grid, 0, 0), "00006");
    EXPECT_EQ(viewer.Label_Records->text().left(27), "Records 6 to 10,005 of 10,0");
    viewer.Item_ShowNewerRecords->trigger();
    QApplication::processEvents();
    ASSERT_EQ(grid->model()->rowCount(), 10000);
    EXPECT_FALSE(viewer.Item_ShowNewerRecords->isEnabled());
    EXPECT_EQ(cell(grid, 9999, 0), "10006");
    EXPECT_TRUE(lastRowInView(viewer));
    EXPECT_TRUE(viewer.Label_Records->text().startsWith("The newest 10,000 of 10,006 records"));
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(LogWindows, OnlyThisMachinesParameterFileMovesTheViewer) {
    writeDatabase(3);
    const fs::path par = dir / "A1B2C3.qz9.log.par";
    struct {
        const char* name;
        std::string text;
        bool applies;
    } cases[] = {
        {"another machine's file", "Z9Y8X7 \n40 30 640 320 \n", false},
        {"this machine's file", "A1B2C3 \n40 30 640 320 \n", true},
    };
    for (const auto& c : cases) {
        writeBytes(par, c.text.data(), c.text.size());
        QRect shown;
        {
            TForm_ShowLog viewer(nullptr, info, "LINE-01", db, dir, ui, nullptr);
            EXPECT_EQ(viewer.positionApplied(), c.applies) << c.name;
            shown = QRect(viewer.x(), viewer.y(), viewer.width(), viewer.height());
            if (c.applies)
                EXPECT_EQ(shown, QRect(30, 40, 640, 320)) << c.name;
            else
                EXPECT_NE(shown.size(), QSize(640, 320)) << c.name;
        }
        // Destroy writes this machine's file, whoever wrote it before.
        EXPECT_EQ(readText(par),
                  "A1B2C3 \n" + QString::asprintf("%d %d %d %d \n", shown.y(), shown.x(),
                                                  shown.width(), shown.height())
                                    .toStdString())
            << c.name;
    }
}

TEST_F(LogWindows, APositionSavedOnALargerScreenIsBroughtOntoThisOne) {
    writeDatabase(3);
    const std::string text = "A1B2C3 \n3000 2500 2400 1600 \n";
    writeBytes(dir / "A1B2C3.qz9.log.par", text.data(), text.size());
    TForm_ShowLog viewer(nullptr, info, "LINE-01", db, dir, ui, nullptr);
    EXPECT_TRUE(viewer.positionApplied());
    EXPECT_TRUE(cleanLayout(&viewer, "log_viewer", "saved-on-a-larger-screen"));
    EXPECT_TRUE(viewer.screen()->availableGeometry().contains(viewer.frameGeometry()));
}

TEST_F(LogWindows, AModalViewerEndsWhenClosedOrHidden) {
    writeDatabase(3);
    for (bool byClose : {true, false}) {
        TForm_ShowLog viewer(nullptr, info, "LINE-01", db, dir, ui, nullptr);
        bool wasModal = false;
        whenModal([&](QWidget* w) {
            wasModal = w == &viewer;
            if (byClose)
                viewer.close();
            else
                viewer.hide(); // as when the program takes its windows down
        });
        viewer.showModal(); // returns only once the viewer is gone
        EXPECT_TRUE(wasModal) << byClose;
        EXPECT_FALSE(viewer.isVisible());
    }
}

TEST_F(LogWindows, LoadFailuresAndMachinesWithoutALog) {
    struct {
        const char* name;
        std::string file; // empty: none
        int supportLogRecord;
        std::vector<std::string> messages;
    } cases[] = {
        {"no database", "", 1, {"DATABASE_NOT_EXIST / Message"}},
        {"another program's file", std::string(600, 'x'), 1, {"DATABASE_WRONG_TITLE / Message"}},
        {"machine without a job log", "", 0, {}},
    };
    for (const auto& c : cases) {
        fs::remove(db);
        if (!c.file.empty())
            writeBytes(db, c.file.data(), c.file.size());
        info.support_LogRecord = uint8_t(c.supportLogRecord);
        ui.messages.clear();
        TForm_ShowLog viewer(nullptr, info, "LINE-01", db, dir, ui, nullptr);
        std::vector<std::string> seen;
        for (const auto& m : ui.messages)
            seen.push_back(m.text + " / " + m.caption);
        EXPECT_EQ(seen, c.messages) << c.name;
        EXPECT_EQ(viewer.StringGrid->model()->rowCount(), 0) << c.name;
        EXPECT_EQ(viewer.StringGrid->model()->headerData(0, Qt::Horizontal).toString(), "  No.");
    }
}

namespace {

// Picks a date in a picker the way an operator does: through its calendar,
// whose closing builds the report.
void pick(QDateEdit* picker, QDate date) {
    QCalendarWidget* calendar = picker->calendarWidget();
    QWidget* popup = calendar->window();
    popup->show();
    calendar->setSelectedDate(date);
    emit calendar->activated(date); // a double click or Enter on the day
    popup->hide();
}

std::vector<std::string> texts(const TestUi& ui) {
    std::vector<std::string> out;
    for (const auto& m : ui.messages)
        out.push_back(m.text + " / " + m.caption);
    return out;
}

int runLogTool(const std::string& args, const fs::path& out) {
    const std::string cmd =
        std::string(DUPMON_LOGTOOL) + " " + args + " >" + out.string() + " 2>&1";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(LogWindows, ReportWindowBuildsWhenACalendarClosesAndSavesASealedFile) {
    writeDatabase(30); // days 15 to 17
    TFormReport report(ui, clock);
    EXPECT_EQ(report.windowTitle(), "Report");
    EXPECT_EQ(report.DateTimePicker_start->date(), QDate(2026, 3, 15)); // today, by the clock
    EXPECT_EQ(report.DateTimePicker_end->date(), QDate(2026, 3, 15));
    report.setSource(db, info);
    EXPECT_EQ(report.windowTitle(), "Report - LINE-01 [A1B2C3]");
    report.show();
    // The window opens on the report of the dates it shows: today's records.
    const QString today = report.Memo1->toPlainText();
    EXPECT_TRUE(today.contains("  Machine ID: A1B2C3"));
    EXPECT_EQ(today.count("0781h 5567h"), 10); // day 15 of the 30 records
    EXPECT_TRUE(report.Button_build->isVisible());
    EXPECT_EQ(unevenCharacters(report.Memo1->font()), "") << "the report's columns do not line up";

    pick(report.DateTimePicker_start, QDate(2026, 3, 16));
    EXPECT_EQ(texts(ui), std::vector<std::string>{"Illegal Date ! / Error"});
    EXPECT_EQ(report.Memo1->toPlainText(), today);
    pick(report.DateTimePicker_end, QDate(2026, 3, 17));
    EXPECT_EQ(ui.messages.size(), 1u);
    const QString memo = report.Memo1->toPlainText();
    EXPECT_TRUE(memo.contains("  Machine ID: A1B2C3"));
    EXPECT_TRUE(memo.contains("startNo Date: 2026-3-16") ||
                memo.contains("startNo Date: 2026-03-16"));
    EXPECT_EQ(memo.count("0781h 5567h"), 20); // days 16 and 17 of the 30 records
    EXPECT_FALSE(memo.contains("2026-03-15 09:05"));

    // Save to File through the save dialog.
    const fs::path file = dir / "line-01 report";
    bool dialogSeen = false;
    whenModal([&](QWidget* w) {
        auto* d = qobject_cast<QFileDialog*>(w);
        if (!d)
            return;
        dialogSeen = true;
        EXPECT_EQ(d->defaultSuffix(), "txt");
        EXPECT_EQ(d->nameFilters(), QStringList{"Text files (*.txt)"});
        d->selectFile(QString::fromStdString(file.string()));
        static_cast<QDialog*>(d)->accept(); // as the Save button does
    });
    report.Button_saveToFile->click();
    EXPECT_TRUE(dialogSeen);
    EXPECT_EQ(ui.messages.size(), 1u);
    const fs::path saved = fs::path(file.string() + ".txt");
    ASSERT_TRUE(fs::exists(saved));
    const std::string bytes = readText(saved);
    EXPECT_EQ(bytes.substr(0, report.model().memo().size() - 1),
              report.model().memo().substr(0, report.model().memo().size() - 1));
    EXPECT_EQ(runLogTool("verify \"" + saved.string() + "\"", dir / "verify.txt"), 0)
        << readText(dir / "verify.txt");
    EXPECT_NE(readText(dir / "verify.txt").find("seal: OK"), std::string::npos);
    EXPECT_TRUE(cleanLayout(&report, "report", "three-days"));

    // A cancelled dialog saves nothing and says nothing.
    fs::remove(saved);
    whenModal([](QWidget* w) {
        if (auto* d = qobject_cast<QFileDialog*>(w))
            d->reject();
    });
    report.Button_saveToFile->click();
    EXPECT_FALSE(fs::exists(saved));
    EXPECT_EQ(ui.messages.size(), 1u);

    // A file that cannot be created.
    report.chooseSaveFile = [&] { return std::optional(dir / "no such folder" / "r.txt"); };
    report.Button_saveToFile->click();
    EXPECT_EQ(texts(ui).back(), "Can't Create File ! / ERROR !");
}

TEST_F(LogWindows, EmptyDatabaseAndUnreadableDatabaseGiveTheirMessages) {
    ASSERT_TRUE(createLogDatabase(db));
    TFormReport report(ui, clock);
    report.chooseSaveFile = [&] { return std::optional(dir / "never.txt"); };
    report.setSource(db, info);
    report.show();
    pick(report.DateTimePicker_start, QDate(2026, 3, 1));
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(report.Memo1->toPlainText().isEmpty());
    report.Button_saveToFile->click();
    EXPECT_EQ(texts(ui), std::vector<std::string>{"no contents need to be saved ! / ERROR !"});
    EXPECT_FALSE(fs::exists(dir / "never.txt"));

    report.setSource(dir / "gone.QX42.LOGDATA", info);
    pick(report.DateTimePicker_end, QDate(2026, 3, 31));
    EXPECT_EQ(texts(ui).back(), "Read Log File FAIL ! / Error");
}

TEST_F(LogWindows, SaveToTextFileShowsTheReportWindowForThisMachine) {
    writeDatabase(5);
    TFormReport report(ui, clock);
    TForm_ShowLog viewer(nullptr, info, "LINE-01(v2.40.7)", db, dir, ui, &report);
    viewer.show();
    EXPECT_EQ(viewer.Menu_File->title().remove('&'), "File");
    EXPECT_EQ(viewer.Item_SaveToTextFile->text().remove('&'), "SaveToTextFile");
    bool shown = false;
    whenModal([&](QWidget* w) {
        shown = w == &report;
        EXPECT_EQ(report.model().databasePath(), db);
        EXPECT_STREQ(report.model().machine().machineId, "A1B2C3");
        report.Button_exit->click();
    });
    viewer.Item_SaveToTextFile->trigger();
    EXPECT_TRUE(shown);
    EXPECT_FALSE(report.isVisible());
}

TEST_F(LogWindows, TheReportWindowOpenedForASecondMachineNeverShowsOrSavesTheFirstOnes) {
    writeDatabase(12); // LINE-01, A1B2C3
    const MachineInfo second = machine("", "CF-8", "CF0001", 5);
    const fs::path secondDb = logDatabasePath(dir, second);
    ASSERT_TRUE(createLogDatabase(secondDb));
    for (uint32_t n = 0; n < 3; ++n) {
        RecordBytes r;
        r.job(n, 2026, 3, 15, 10, 0, 0, 1).u8(14, 1).be32(24, 2048).be32(32, 2048);
        writeBytes(secondDb, r.data(), 128, true);
    }
    TFormReport report(ui, clock);
    TForm_ShowLog first(nullptr, info, "LINE-01(v2.40.7)", db, dir, ui, &report);
    TForm_ShowLog other(nullptr, second, "CF-8(v2.40.7)", secondDb, dir, ui, &report);

    QString firstMemo;
    whenModal([&](QWidget*) {
        firstMemo = report.Memo1->toPlainText();
        EXPECT_EQ(report.windowTitle(), "Report - LINE-01 [A1B2C3]");
        report.Button_exit->click();
    });
    first.Item_SaveToTextFile->trigger();
    ASSERT_TRUE(firstMemo.contains("A1B2C3"));

    const fs::path file = dir / "second.txt";
    report.chooseSaveFile = [&] { return std::optional(file); };
    QString secondMemo;
    whenModal([&](QWidget*) {
        secondMemo = report.Memo1->toPlainText();
        EXPECT_EQ(report.windowTitle(), "Report - CF-8 [CF0001]");
        report.Button_saveToFile->click();
        report.Button_exit->click();
    });
    other.Item_SaveToTextFile->trigger();
    EXPECT_TRUE(secondMemo.contains("  Machine ID: CF0001"));
    EXPECT_FALSE(secondMemo.contains("A1B2C3"));
    EXPECT_FALSE(secondMemo.contains("LINE-01"));
    const std::string saved = readText(file);
    EXPECT_NE(saved.find("CF0001"), std::string::npos);
    EXPECT_EQ(saved.find("A1B2C3"), std::string::npos);
    EXPECT_TRUE(ui.messages.empty());
}
