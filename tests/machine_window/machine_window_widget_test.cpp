// The machine window as real widgets on the offscreen platform: layout,
// captions, placement file, menus, refusals, dialogs, pictures.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "common/byte_order.h"
#include "common/text.h"
#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/tform_machine.h"
#include "machine_window/widget_support.h"
#include "protocol/command_machine.h"
#include "protocol/machine_names.h"
#include "protocol/machine_requests.h"
#include "settings/tform_change_machine_clock.h"
#include "settings/tform_change_setupvalue.h"
#include "settings/tform_nickname.h"
#include "support/event_loop.h"
#include "support/layout_check.h"
#include "support/temp_dir.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

struct RecordingRequests final : MachineRequests {
    std::vector<std::string> calls;
    bool clockReadable = true;
    void setNickname(const char* text) override {
        calls.push_back(std::string("nickname ") + text);
    }
    bool getMachineClock(char out[14]) override {
        calls.push_back("getClock");
        if (!clockReadable)
            return false;
        std::memcpy(out, "20260314080507", 14);
        return true;
    }
    void setMachineClock() override { calls.push_back("setClock"); }
    void requestCopy() override { calls.push_back("copy"); }
    void requestCompare() override { calls.push_back("compare"); }
    void requestCopyCompare() override { calls.push_back("copyCompare"); }
    void requestCopyWriteProtect() override { calls.push_back("copyWP"); }
    void requestCopyCompareWriteProtect() override { calls.push_back("copyCompareWP"); }
    void answerContinue() override { calls.push_back("continue"); }
    void answerFinish() override { calls.push_back("finish"); }
    bool answerPending() const override { return pending; }
    bool pending = false;
    void requestImageBank() override { calls.push_back("imageBank"); }
    bool getSetupParameters(uint8_t out[256]) override {
        calls.push_back("getSetup");
        if (!setupReadable)
            return false;
        std::memcpy(out, setup.data(), setup.size());
        return true;
    }
    bool setSetupParameters(const uint8_t block[256]) override {
        calls.push_back("setSetup");
        std::memcpy(setup.data(), block, setup.size());
        return true;
    }
    void requestDeviceInfo() override { calls.push_back("deviceInfo"); }
    void requestRelease() override { calls.push_back("release"); }
    bool markPorts(const uint16_t* ports, int count) override {
        std::string c = "mark";
        for (int i = 0; i < count; ++i)
            c += " " + std::to_string(ports[i]);
        calls.push_back(c);
        return true;
    }
    bool takeMasterUsbToPc(const uint8_t*, int*) override {
        calls.push_back("masterTake");
        return false;
    }
    bool returnMasterUsbToDuplicator() override {
        calls.push_back("masterReturn");
        return false;
    }
    const MachineInfo& info() const override { return machineInfo; }
    bool silent() const override { return false; }
    bool setupReadable = true;
    std::array<uint8_t, 256> setup{};
    MachineInfo machineInfo{};
};

using dupmon::test::TempDir;

MachineInfo machine(int ports, int machineType = 0, int perRow = 0, int perBoard = 8) {
    MachineInfo info{};
    info.maxDeviceQty = ports;
    info.machineType = uint8_t(machineType);
    info.portQty_per_Row = uint8_t(perRow);
    info.portQty_per_board = perBoard;
    info.support_LogRecord = 1;
    info.flag_feature_bit3 = 1;
    info.controller_version_MAJOR = 2;
    info.controller_version_SUB = 40;
    info.controller_version_MINOR = 7;
    copyField(info.machineId, sizeof info.machineId, "M-0042");
    copyField(info.modelName, sizeof info.modelName, "UB-16");
    copyField(info.version, sizeof info.version, "v2.40.7");
    return info;
}

// One window with everything it is given, on a manual clock.
struct Fixture {
    TempDir dir;
    ManualClock clock{{2026, 3, 15, 10, 0, 0, 0, 0}};
    TestUi ui;
    RecordingRequests requests;
    MachineInfo info;
    int displayRefreshes = 0;
    std::unique_ptr<TFormMachine> window;

    explicit Fixture(MachineInfo i) : info(i) { testApplication(); }
    TFormMachine& open() {
        window = std::make_unique<TFormMachine>(
            nullptr, [this](const MachineInfo&) { ++displayRefreshes; }, "Machine 1",
            dir.path / "M-0042.QX42.LOGDATA", dir.path, info, requests, ui, clock, dir.path);
        return *window;
    }
};

std::vector<uint8_t> statusBlock(uint8_t function, uint8_t phase = 0) {
    std::vector<uint8_t> b(28, 0);
    b[2] = function;
    b[3] = phase;
    return b;
}

QRect geometryOf(QWidget* w) {
    return w ? w->geometry() : QRect(-1, -1, -1, -1);
}

} // namespace

// --- layout ------------------------------------------------------------------

namespace {

// The port at a column and row of the grid, by its neighbours' positions.
struct PortAt {
    int index, column, row;
    const char* caption;
};

// Everything the window made lies in its group box, without overlaps, and
// the window fits the screen (the map scrolls).
void expectTidy(TFormMachine& w, const std::string& name) {
    EXPECT_TRUE(cleanLayout(&w, "machine_window_layout", name));
    const QRect box(QPoint(0, 0), w.GroupBox_Machine->size());
    for (QObject* o : w.GroupBox_Machine->children()) {
        auto* c = qobject_cast<QWidget*>(o);
        if (c && !c->isHidden()) {
            EXPECT_TRUE(box.contains(c->geometry())) << c->objectName().toStdString();
        }
    }
    EXPECT_EQ(w.Panel_Main->size(), w.GroupBox_Machine->size() + QSize(10, 10));
    EXPECT_EQ(w.GroupBox_Machine->pos(), QPoint(5, 5));
}

} // namespace

TEST(MachineWindowLayout, PortsFillTheGridInEachKindsOrder) {
    struct Case {
        const char* name;
        int ports, machineType, perRow, perBoard;
        int columns, rows;
        std::vector<PortAt> at;
    } cases[] = {
        {"16 ports, 8 per board",
         16,
         0,
         0,
         8,
         8,
         2,
         {{0, 0, 0, "#01"}, {7, 7, 0, "#08"}, {8, 0, 1, "#09"}, {15, 7, 1, "#16"}}},
        {"120 ports, 20 per row",
         120,
         0,
         20,
         8,
         20,
         6,
         {{0, 0, 0, "#01"}, {20, 0, 1, "#21"}, {99, 19, 4, "#100"}, {119, 19, 5, "#120"}}},
        // Eight ports per column fill all eight rows of the first columns,
        // although 29 ports would make six rows of five: every row is shown.
        {"kind 2, 30 ports",
         30,
         2,
         0,
         8,
         5,
         8,
         {{1, 0, 0, "#01"},
          {7, 0, 6, "#07"},
          {8, 0, 7, "#08"},
          {9, 1, 0, "#09"},
          {29, 3, 4, "#29"}}},
        {"kind 2, 41 ports",
         41,
         2,
         0,
         8,
         5,
         8,
         {{1, 0, 0, "#01"}, {9, 1, 0, "#09"}, {40, 4, 7, "#40"}}},
        // Nine ports besides the master port, columns filled from the right.
        {"kind 1, 9 ports",
         10,
         1,
         0,
         8,
         15,
         8,
         {{1, 14, 0, "#01"}, {8, 14, 7, "#08"}, {9, 13, 0, "#09"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f(machine(c.ports, c.machineType, c.perRow, c.perBoard));
        TFormMachine& w = f.open();
        ASSERT_TRUE(w.windowReady());
        EXPECT_EQ(w.layout().columns, c.columns);
        EXPECT_EQ(w.layout().rows, c.rows);
        ASSERT_EQ(int(w.GroupBox_Port.size()), c.ports);
        const bool panelKind = c.machineType != 0;
        // The grid's origin and pitch, from the first port of the grid.
        const int first = panelKind ? 1 : 0;
        const int column0 = w.layout().ports[first].column;
        QGroupBox* origin = w.GroupBox_Port[size_t(first)];
        ASSERT_NE(origin, nullptr);
        const QSize pitch = origin->size() + QSize(w.layout().portGapX, w.layout().portGapY);
        const QPoint zero = origin->pos() - QPoint(column0 * pitch.width(), 0);
        EXPECT_EQ(zero.x(), w.layout().portMargin);
        // The grid lies below the job panels.
        EXPECT_GT(zero.y(), w.Panel_JobInfo->geometry().bottom());
        for (const PortAt& p : c.at) {
            QGroupBox* box = w.GroupBox_Port[size_t(p.index)];
            ASSERT_NE(box, nullptr) << p.index;
            EXPECT_EQ(box->pos(), zero + QPoint(p.column * pitch.width(), p.row * pitch.height()))
                << "port " << p.index;
            EXPECT_EQ(box->title().toStdString(), p.caption);
        }
        if (panelKind) {
            // The master port sits apart, beside the job panels.
            QGroupBox* master = w.GroupBox_Port[0];
            ASSERT_NE(master, nullptr);
            EXPECT_EQ(master->title(), "#00");
            EXPECT_GT(master->x(), w.Panel_JobInfo->geometry().right());
            EXPECT_LT(master->y(), zero.y());
        }
        expectTidy(w, c.name);
    }
}

TEST(MachineWindowLayout, ControlsOfTheOrdinaryAndPanelKinds) {
    {
        Fixture f(machine(16));
        TFormMachine& w = f.open();
        const QRect fn = geometryOf(w.Edit_Function);
        EXPECT_EQ(fn.left(), 10);
        EXPECT_GE(fn.width(), 450);
        EXPECT_GE(fn.height(), 30);
        EXPECT_EQ(w.Edit_Function->text(), "JOB");
        EXPECT_EQ(w.Edit_Function->font().pointSize(), 24);
        EXPECT_TRUE(w.Edit_Function->font().bold());
        // The job panels: one beside the function field, one under it, ending together.
        const QRect info = geometryOf(w.Panel_JobInfo), time = geometryOf(w.Panel_JobTime);
        EXPECT_EQ(info.topLeft(), QPoint(fn.right() + 1 + 10, fn.top()));
        EXPECT_GE(info.width(), 400);
        EXPECT_GE(info.height(), 260);
        EXPECT_EQ(time.topLeft(), QPoint(fn.left(), fn.bottom() + 1 + 6));
        EXPECT_EQ(time.width(), fn.width());
        EXPECT_EQ(time.bottom(), info.bottom());
        // The log number beside them.
        EXPECT_GT(w.Label_Log->x(), info.right());
        EXPECT_EQ(w.Edit_LogNo->pos(),
                  QPoint(w.Label_Log->geometry().right() + 1 + 10, w.Label_Log->y()));
        EXPECT_GE(w.Edit_LogNo->width(), 80);
        EXPECT_EQ(w.Button_SaveScreen, nullptr);
        EXPECT_EQ(w.GroupBox_SourceImage, nullptr);
        // Two status lines, one under the other, in the form's fixed-width font.
        const QRect line1 = geometryOf(w.Edit_PortLine1[0]),
                    line2 = geometryOf(w.Edit_PortLine2[0]);
        EXPECT_EQ(line1.left(), 2);
        EXPECT_EQ(line2.topLeft(), QPoint(2, line1.bottom() + 1));
        EXPECT_EQ(line2.size(), line1.size());
        EXPECT_GE(line1.width(), 131);
        EXPECT_GE(line1.height(), 25);
        EXPECT_EQ(w.Edit_PortLine1[0]->font().pointSize(), 12);
        EXPECT_EQ(unevenCharacters(w.Edit_PortLine1[0]->font()), "");
        EXPECT_EQ(w.Label_Pass->text(), "PASS:");
        EXPECT_EQ(w.Label_Remaining->text(), "(0)");
        // The quantity field sits in its label's blanks, "(0)" after the label.
        QWidget* total = w.Edit_Total->parentWidget();
        EXPECT_EQ(total->objectName(), "Label_Total");
        EXPECT_EQ(static_cast<QLabel*>(total)->text(), "TOTAL:                 PCS");
        EXPECT_GT(w.Label_Remaining->x(), total->geometry().right());
        expectTidy(w, "ordinary_16");
    }
    {
        Fixture f(machine(9, 1));
        TFormMachine& w = f.open();
        const QRect fn = geometryOf(w.Edit_Function);
        EXPECT_GE(fn.width(), 400);
        EXPECT_GE(fn.height(), 24);
        EXPECT_EQ(w.Edit_Function->font().pointSize(), 20);
        ASSERT_NE(w.Button_SaveScreen, nullptr);
        EXPECT_EQ(w.Button_SaveScreen->text(), QString::fromUtf8("儲存畫面"));
        EXPECT_GE(w.Button_SaveScreen->width(), 160);
        EXPECT_GE(w.Button_SaveScreen->height(), fn.height() + 10);
        EXPECT_GT(w.Button_SaveScreen->x(), w.Panel_JobInfo->geometry().right());
        EXPECT_GE(w.Edit_PortLine1[1]->width(), 107);
        EXPECT_GE(w.Edit_PortLine1[1]->height(), 18);
        EXPECT_EQ(w.Edit_PortLine1[1]->font().pointSize(), 10);
        expectTidy(w, "kind1_9");
    }
}

TEST(MachineWindowLayout, KindOneShowsTheFirst121Ports) {
    Fixture f(machine(130, 1));
    TFormMachine& w = f.open();
    int created = 0;
    for (QGroupBox* box : w.GroupBox_Port)
        created += box != nullptr;
    EXPECT_EQ(created, 121);
    EXPECT_EQ(w.GroupBox_Port[121], nullptr);
    for (QGroupBox* box : w.GroupBox_Port) {
        if (box) {
            EXPECT_GE(box->x(), 0);
        }
    }
    // Port data for a port without a box is kept but never painted.
    w.OnStatus(STATUS_CLEAR_PORTS, nullptr);
    expectTidy(w, "kind1_130");
}

TEST(MachineWindowLayout, ImageBankBox) {
    MachineInfo info = machine(16);
    info.flag_support_one_Pellux_Device = 1;
    Fixture f(info);
    TFormMachine& w = f.open();
    ASSERT_NE(w.GroupBox_SourceImage, nullptr);
    // Beside the job panels, under the log number, wide enough for its grid and buttons.
    const QRect box = geometryOf(w.GroupBox_SourceImage);
    EXPECT_GT(box.left(), w.Panel_JobInfo->geometry().right());
    EXPECT_GT(box.top(), w.Edit_LogNo->geometry().bottom());
    EXPECT_GE(box.width(), 500);
    EXPECT_GE(box.height(), 200);
    EXPECT_EQ(w.GroupBox_SourceImage->title(), "Source Image");
    EXPECT_GE(w.StringGrid_Images->width(), 450);
    EXPECT_EQ(w.StringGrid_Images->columnCount(), 4);
    EXPECT_EQ(w.StringGrid_Images->rowCount(), 4) << "five rows with the heading";
    EXPECT_GT(w.Button_AddImage->x(), w.StringGrid_Images->geometry().right());
    EXPECT_GE(w.Button_AddImage->width(), 150);
    EXPECT_EQ(w.Button_DeleteImage->y(), w.Button_AddImage->geometry().bottom() + 1 + 5);
    EXPECT_EQ(w.Button_RenameImage->y(), w.Button_DeleteImage->geometry().bottom() + 1 + 5);
    // The ports below it all.
    EXPECT_GT(w.GroupBox_Port[0]->y(), box.bottom());

    uint8_t block[256] = {};
    auto put = [&](size_t off, uint32_t v) { std::memcpy(block + off, &v, 4); };
    put(92, 512);
    put(96, 6);
    put(104, 4194304); // 2 GiB per data bank
    put(108, 2);
    put(112, 5);
    w.showImageBankInfo(block);
    EXPECT_EQ(w.Label_FreeSpace->text(), "Free Space: 10.00GB");
    EXPECT_EQ(w.Label_ImageQty->text(), "Exist Image Qty: 4");
    EXPECT_EQ(w.StringGrid_Images->rowCount(), 6);
    expectTidy(w, "image_bank");
    put(96, 0);
    put(108, 0);
    w.showImageBankInfo(block);
    EXPECT_EQ(w.StringGrid_Images->rowCount(), 0) << "only the heading row";

    w.Button_AddImage->click();
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"imageBank"});
}

TEST(MachineWindowLayout, MoreThan256PortsBuildsTheMenuOnly) {
    Fixture f(machine(300));
    TFormMachine& w = f.open();
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0].text, "Wrong (totalPortQty > MAX_PORT_PER_MACHINE)");
    EXPECT_EQ(f.ui.messages[0].caption, "");
    EXPECT_EQ(w.Panel_Main, nullptr);
    EXPECT_FALSE(w.windowReady());
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_FALSE(w.IsStandby());
    w.CopyClick();
    EXPECT_TRUE(f.requests.calls.empty());
    EXPECT_TRUE(w.savePicture().empty());
}

// --- title, placement -------------------------------------------------------

TEST(MachineWindow, TitleAndCaption) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    // The title names the machine, so that the windows of several tell apart.
    EXPECT_EQ(w.windowTitle(), "UB-16 [M-0042] - Machine 1");
    EXPECT_EQ(w.GroupBox_Machine->title(), "UB-16(v2.40.7)");
}

TEST(MachineWindow, PlacementFileOfAnotherMachineIsIgnoredAndOverwritten) {
    Fixture f(machine(16));
    const fs::path par = f.dir.path / "M-0042.qz9.par";
    std::ofstream(par) << "M-0041 \n10 20 300 200 \n";
    TFormMachine& w = f.open();
    EXPECT_FALSE(w.placementLoaded());
    EXPECT_NE(w.size(), QSize(300, 200));
    w.close();
    std::ifstream in(par);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), format("M-0042 \n%d %d %d %d \n", w.y(), w.x(), w.width(), w.height()));
}

TEST(MachineWindow, OwnPlacementFileIsApplied) {
    Fixture f(machine(16));
    std::ofstream(f.dir.path / "M-0042.qz9.par") << "M-0042 \n40 30 700 500 \n";
    TFormMachine& w = f.open();
    EXPECT_TRUE(w.placementLoaded());
    EXPECT_EQ(w.pos(), QPoint(30, 40));
    EXPECT_EQ(w.size(), QSize(700, 500));
    // The map keeps its size and scrolls.
    EXPECT_GT(w.Panel_Main->width(), 700);
    EXPECT_GT(w.scrollArea->horizontalScrollBar()->maximum(), 0);
}

// --- menus ----------------------------------------------------------------------

TEST(MachineWindow, MenuVisibilityFollowsTheFeatureFlags) {
    struct {
        uint8_t bit3, bit4, log;
        bool getInfo, copy, copyWP, logData;
    } cases[] = {
        {1, 0, 1, false, true, false, true},
        {1, 1, 1, false, true, true, true},
        {0, 1, 0, true, false, false, false},
    };
    for (const auto& c : cases) {
        MachineInfo info = machine(16);
        info.flag_feature_bit3 = c.bit3;
        info.flag_feature_bit4 = c.bit4;
        info.support_LogRecord = c.log;
        Fixture f(info);
        TFormMachine& w = f.open();
        SCOPED_TRACE(int(c.bit3) * 10 + c.bit4);
        EXPECT_TRUE(w.Menu_Action->menuAction()->isVisible());
        EXPECT_EQ(w.Item_GetInfo->isVisible(), c.getInfo);
        EXPECT_EQ(w.Item_DownloadSourceFiles->isVisible(), c.copy);
        EXPECT_EQ(w.Item_Copy->isVisible(), c.copy);
        EXPECT_EQ(w.Item_CopyCompare->isVisible(), c.copy);
        EXPECT_EQ(w.Item_CopyWriteProtect->isVisible(), c.copyWP);
        EXPECT_EQ(w.Item_CopyCompareWriteProtect->isVisible(), c.copyWP);
        EXPECT_EQ(w.Menu_LogData->menuAction()->isVisible(), c.logData);
        EXPECT_EQ(w.Label_Log->isVisibleTo(&w), c.log == 1);
        EXPECT_FALSE(w.Menu_System->menuAction()->isVisible());
        EXPECT_FALSE(w.Item_NextJob->isVisible());
        EXPECT_FALSE(w.Item_CapacityCheck->isVisible());
        EXPECT_TRUE(w.Item_ChangeNickname->isVisible());
        EXPECT_FALSE(w.Item_ChangeMachineClock->isVisible());
        EXPECT_FALSE(w.Item_SetupMachineParameter->isVisible());
    }
}

TEST(MachineWindow, MenusAreEnabledInStandbyOnly) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    EXPECT_FALSE(w.Menu_Machine->menuAction()->isEnabled()) << "until the first status block";
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_TRUE(w.Menu_Machine->menuAction()->isEnabled());
    EXPECT_TRUE(w.Menu_Action->menuAction()->isEnabled());
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 4).data());
    EXPECT_FALSE(w.Menu_Machine->menuAction()->isEnabled());
    EXPECT_FALSE(w.Menu_LogData->menuAction()->isEnabled());
    EXPECT_FALSE(w.Menu_Action->menuAction()->isEnabled());
    EXPECT_EQ(w.Edit_Function->text(), "COPY");

    // A controller older than 2.8.8 keeps its job items disabled.
    MachineInfo old = machine(16);
    old.controller_version_SUB = 8;
    old.controller_version_MINOR = 7;
    Fixture g(old);
    TFormMachine& v = g.open();
    v.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_FALSE(v.Menu_Action->menuAction()->isEnabled());
    EXPECT_FALSE(v.Item_GetInfo->isEnabled());
}

// --- jobs -----------------------------------------------------------------------

TEST(MachineWindow, JobItemsPostTheirRequestOnlyInStandby) {
    struct {
        void (TFormMachine::*click)();
        const char* request;
    } cases[] = {
        {&TFormMachine::CopyClick, "copy"},
        {&TFormMachine::CompareClick, "compare"},
        {&TFormMachine::CopyCompareClick, "copyCompare"},
        {&TFormMachine::CopyWriteProtectClick, "copyWP"},
        {&TFormMachine::CopyCompareWriteProtectClick, "copyCompareWP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        Fixture f(machine(16));
        TFormMachine& w = f.open();
        w.OnStatus(STATUS_MACHINE, statusBlock(5, 4).data()); // a job runs
        (w.*c.click)();
        ASSERT_EQ(f.ui.messages.size(), 1u);
        EXPECT_EQ(f.ui.messages[0].text, "Machine Doesn't in Standby !");
        EXPECT_EQ(f.ui.messages[0].caption, "Can't Execute this function");
        EXPECT_TRUE(f.requests.calls.empty());

        w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
        (w.*c.click)();
        EXPECT_EQ(f.requests.calls, std::vector<std::string>{c.request});
        EXPECT_EQ(f.ui.messages.size(), 1u);
    }
}

TEST(MachineWindow, CopyMenuItemWhileBusyIsRefused) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 4).data());
    w.Item_Copy->trigger();
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0].text, "Machine Doesn't in Standby !");
    EXPECT_EQ(f.ui.messages[0].caption, "Can't Execute this function");
    EXPECT_TRUE(f.requests.calls.empty());
}

TEST(MachineWindow, ToolItemsAreHooksBehindTheStandbyCheck) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    int getInfo = 0, download = 0;
    std::string logCaption;
    w.openGetInfo = [&] { ++getInfo; };
    w.openDownloadSource = [&] { ++download; };
    w.openLogWindow = [&](const std::string& caption) { logCaption = caption; };
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 4).data());
    w.GetInfoClick();
    w.DownloadSourceFilesClick();
    EXPECT_EQ(f.ui.messages.size(), 2u);
    EXPECT_EQ(getInfo + download, 0);
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    w.GetInfoClick();
    w.DownloadSourceFilesClick();
    w.OpenLogWindowClick();
    EXPECT_EQ(getInfo, 1);
    EXPECT_EQ(download, 1);
    EXPECT_EQ(logCaption, "UB-16(v2.40.7)");
}

TEST(MachineWindow, ToolItemsWithoutTheirWindowSaySoInsteadOfDoingNothing) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    w.GetInfoClick();
    w.DownloadSourceFilesClick();
    w.OpenLogWindowClick();
    ASSERT_EQ(f.ui.messages.size(), 3u);
    for (const auto& m : f.ui.messages) {
        EXPECT_EQ(m.caption, "Notice");
        EXPECT_NE(m.text.find("is not available"), std::string::npos) << m.text;
    }
    EXPECT_TRUE(f.requests.calls.empty());
}

// --- setup parameters ----------------------------------------------------------

namespace {

std::array<uint8_t, 256> someSetup() {
    std::array<uint8_t, 256> b;
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = uint8_t(i * 7 + 3);
    // The radio groups hold values their items stand for.
    b[102] = 1;
    b[104] = 0;
    b[146] = 1;
    b[149] = 0; // no tolerance limit
    b[153] = 0;
    b[162] = 0; // burn loop
    b[209] = 1;
    b[220] = 1; // "Slowest Mode"
    return b;
}

} // namespace

TEST(MachineWindow, SetupChangeGoesBackToTheMachineWithEveryOtherByte) {
    Fixture f(machine(16));
    f.requests.setup = someSetup();
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    QString shown;
    whenModal([&](QWidget* d) {
        auto* dialog = qobject_cast<TForm_change_setupValue*>(d);
        ASSERT_NE(dialog, nullptr);
        shown = dialog->combo(SETUP_WORKING_MODE)->currentText();
        dialog->combo(SETUP_WORKING_MODE)->setCurrentIndex(3); // "Faster Mode"
        dialog->Button_OK->click();
    });
    w.Item_SetupMachineParameter->trigger();
    EXPECT_EQ(shown, "Slowest Mode");
    EXPECT_EQ(f.requests.calls, (std::vector<std::string>{"getSetup", "setSetup"}));
    std::array<uint8_t, 256> expected = someSetup();
    expected[220] = 3;
    EXPECT_EQ(f.requests.setup, expected);
    EXPECT_TRUE(f.ui.messages.empty());

    // The same dialog serves the next time, loaded afresh.
    TForm_change_setupValue* first = w.setupDialog;
    whenModal([&](QWidget* d) {
        shown = static_cast<TForm_change_setupValue*>(d)->combo(SETUP_WORKING_MODE)->currentText();
        static_cast<TForm_change_setupValue*>(d)->Button_Abort->click();
    });
    w.SetupMachineParameterClick();
    EXPECT_EQ(w.setupDialog, first);
    EXPECT_EQ(shown, "Faster Mode");
    EXPECT_EQ(f.requests.calls.back(), "getSetup"); // aborted: nothing sent
}

TEST(MachineWindow, SetupChangeRefusedOrAborted) {
    Fixture f(machine(16));
    f.requests.setup = someSetup();
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());

    // The machine cannot give its block while busy: nothing happens, no message.
    f.requests.setupReadable = false;
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 4).data());
    w.SetupMachineParameterClick();
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"getSetup"});
    EXPECT_EQ(w.setupDialog, nullptr);
    EXPECT_TRUE(f.ui.messages.empty());
    // In standby it refused or did not answer: said so, and still no dialog.
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    w.SetupMachineParameterClick();
    EXPECT_EQ(w.setupDialog, nullptr);
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0].text.rfind("Can't Read Machine Setup !", 0), 0u);
    EXPECT_EQ(f.ui.messages[0].caption, "ERROR !");
    f.ui.messages.clear();

    // A job starts while the dialog is open: the change is refused.
    f.requests.setupReadable = true;
    f.requests.calls.clear();
    whenModal([&](QWidget* d) {
        w.OnStatus(STATUS_MACHINE, statusBlock(1, 4).data());
        static_cast<TForm_change_setupValue*>(d)->Button_OK->click();
    });
    w.SetupMachineParameterClick();
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"getSetup"});
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0].text, "Machine Doesn't in Standby !");
    EXPECT_EQ(f.ui.messages[0].caption, "Abort Setting");
    EXPECT_EQ(f.requests.setup, someSetup());
}

// --- device information ----------------------------------------------------------

namespace {

struct RecordingSink final : DeviceInfoResultSink {
    std::set<uint32_t> seen;
    std::vector<std::string> results;
    bool checkSerial(uint32_t n) override { return !seen.insert(n).second; }
    void showResult(const std::string& text) override { results.push_back(text); }
};

// An SD block of three cards, the third repeating the first's serial number.
std::vector<uint8_t> sdBlock() {
    std::vector<uint8_t> b(8 + 3 * 48, 0);
    writeBE16(b.data(), 3);
    writeBE16(b.data() + 2, 48);
    b[4] = 2;
    const uint32_t serials[] = {500, 600, 500};
    for (int j = 0; j < 3; ++j) {
        uint8_t* r = b.data() + 8 + j * 48;
        r[0] = 3;
        r[1] = 1;
        writeBE32(r + 8, 7741440);
        writeBE32(r + 28, serials[j]);
        writeBE16(r + 46, 512);
    }
    b.resize(160, 0); // whole 32-byte blocks, as the engine hands them on
    return b;
}

} // namespace

TEST(MachineWindow, DeviceInformationIsComposedMarkedAndHandedOn) {
    MachineInfo info = machine(16);
    info.deviceType = 10;
    Fixture f(info);
    TFormMachine& w = f.open();
    RecordingSink sink;
    w.deviceInfoSink = &sink;
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    const std::vector<uint8_t> block = sdBlock();
    const DeviceInfoBlock b{block.data(), uint32_t(block.size())};
    w.OnStatus(STATUS_DEVICE_INFO, &b);
    ASSERT_EQ(sink.results.size(), 1u);
    EXPECT_EQ(sink.results[0], w.deviceInfoText());
    const std::string& text = sink.results[0];
    const size_t third = text.find("\r\n  3  3.69GB(7741440)");
    ASSERT_NE(third, std::string::npos) << text;
    const size_t warning = text.find(" ===> WARNING !  Repeat Serial Number !\r\n", third);
    ASSERT_NE(warning, std::string::npos);
    EXPECT_EQ(text.find("WARNING"), warning + 6); // on the third line only
    EXPECT_EQ(sink.seen, (std::set<uint32_t>{500, 600}));
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"mark 3"});
    EXPECT_EQ(w.Edit_Function->text(), "STANDBY");

    // Another machine kind: no check, no marks.
    MachineInfo usb = machine(16);
    usb.deviceType = 2;
    Fixture g(usb);
    TFormMachine& v = g.open();
    RecordingSink other;
    v.deviceInfoSink = &other;
    v.OnStatus(STATUS_DEVICE_INFO, &b);
    ASSERT_EQ(other.results.size(), 1u);
    EXPECT_TRUE(other.seen.empty());
    EXPECT_TRUE(g.requests.calls.empty());
}

// --- nickname and clock ---------------------------------------------------------

TEST(MachineWindow, NicknameConfirmedAfterAJobStartedIsAborted) {
    Fixture f(machine(16));
    copyField(f.info.nickName, sizeof f.info.nickName, "Old name");
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    whenModal([&](QWidget* dialog) {
        auto* d = qobject_cast<TForm_nickname*>(dialog);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->Edit_nickname->text(), "Old name");
        d->Edit_nickname->setText("New name");
        // The machine starts a job while the operator types.
        w.OnStatus(STATUS_MACHINE, statusBlock(1, 1).data());
        d->Button_OK->click();
    });
    w.ChangeNicknameClick();
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0].text, "Machine Doesn't in Standby !");
    EXPECT_EQ(f.ui.messages[0].caption, "Abort Setting");
    EXPECT_STREQ(f.info.nickName, "Old name");
    EXPECT_TRUE(f.requests.calls.empty());
    EXPECT_EQ(f.displayRefreshes, 0);
}

TEST(MachineWindow, NicknameChangeRenamesTheWindowAndTheMachine) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    std::string logCaption;
    w.logWindowCaptionChanged = [&](const std::string& c) { logCaption = c; };
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());

    // Cancel changes nothing.
    whenModal([](QWidget* d) {
        static_cast<TForm_nickname*>(d)->Edit_nickname->setText("Ignored");
        static_cast<TForm_nickname*>(d)->Button_Cancel->click();
    });
    w.ChangeNicknameClick();
    EXPECT_STREQ(f.info.nickName, "");
    EXPECT_TRUE(f.requests.calls.empty());

    // The dialog takes 50 characters at most.
    const std::string longName = std::string(50, 'N') + "tail";
    whenModal([&](QWidget* d) {
        static_cast<TForm_nickname*>(d)->Edit_nickname->setText(QString::fromStdString(longName));
        static_cast<TForm_nickname*>(d)->Button_OK->click();
    });
    w.ChangeNicknameClick();
    const std::string fifty(50, 'N');
    EXPECT_EQ(std::string(f.info.nickName), fifty);
    EXPECT_EQ(w.GroupBox_Machine->title().toStdString(), fifty + "(v2.40.7)");
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"nickname " + fifty});
    EXPECT_EQ(f.displayRefreshes, 1);
    EXPECT_EQ(logCaption, fifty + "(v2.40.7)");
    EXPECT_EQ(w.windowTitle().toStdString(), fifty + " [M-0042] - Machine 1");
    EXPECT_TRUE(f.ui.messages.empty());
}

TEST(MachineWindow, ClockChangeShowsBothClocksAndSynchronises) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());

    // A refused clock read opens no dialog, and says why.
    f.requests.clockReadable = false;
    w.ChangeMachineClockClick();
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"getClock"});
    EXPECT_FALSE(w.clockDialog()->isVisible());
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0].text.rfind("Can't Read Machine Clock !", 0), 0u);
    f.ui.messages.clear();

    f.requests.clockReadable = true;
    f.requests.calls.clear();
    QString machineClock, computerClock;
    whenModal([&](QWidget* d) {
        auto* dialog = static_cast<TForm_changeMachineClock*>(d);
        machineClock = dialog->Edit_machineClock->text();
        computerClock = dialog->Edit_computerClock->text();
        dialog->Button_synchronize->click();
    });
    w.ChangeMachineClockClick();
    EXPECT_EQ(machineClock, "2026-03-14 08:05:07");
    EXPECT_EQ(computerClock, "2026-03-15 10:00:00");
    EXPECT_EQ(f.requests.calls, (std::vector<std::string>{"getClock", "setClock"}));

    // Abort, or a job started meanwhile, sends nothing.
    f.requests.calls.clear();
    whenModal([](QWidget* d) { static_cast<TForm_changeMachineClock*>(d)->Button_abort->click(); });
    w.ChangeMachineClockClick();
    whenModal([&](QWidget* d) {
        w.OnStatus(STATUS_MACHINE, statusBlock(4, 1).data());
        static_cast<TForm_changeMachineClock*>(d)->Button_synchronize->click();
    });
    w.ChangeMachineClockClick();
    EXPECT_EQ(f.requests.calls, (std::vector<std::string>{"getClock", "getClock"}));
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0].caption, "Abort Setting");
}

TEST(MachineWindow, EveryDialogOfTheWindowNamesItsMachine) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    struct Case {
        const char* title;
        std::function<void()> open;
    };
    const Case cases[] = {
        {"Nickname", [&] { w.ChangeNicknameClick(); }},
        {"Change Machine Clock", [&] { w.ChangeMachineClockClick(); }},
        {"Setup Machine Parameter", [&] { w.SetupMachineParameterClick(); }},
    };
    auto titles = [&](const std::string& name) {
        for (const Case& c : cases) {
            std::string shown;
            whenModal([&](QWidget* d) {
                shown = d->windowTitle().toStdString();
                static_cast<QDialog*>(d)->reject();
            });
            c.open();
            EXPECT_EQ(shown, std::string(c.title) + " - " + name);
        }
        EXPECT_EQ(w.continueDialog()->windowTitle().toStdString(), "Waiting - " + name);
    };
    titles("UB-16 [M-0042]");
    // A new nickname names the dialogs from then on.
    whenModal([](QWidget* d) {
        static_cast<TForm_nickname*>(d)->Edit_nickname->setText("Back room");
        static_cast<TForm_nickname*>(d)->Button_OK->click();
    });
    w.ChangeNicknameClick();
    titles("Back room [M-0042]");
}

TEST(MachineWindow, TheClockSyncSaysWhenTheMachinesClockIsSet) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    // The clock every identification sets is not the operator's business.
    const WriteOutcome done{MachineWrite::Clock, WriteResult::Done, 0};
    w.OnStatus(STATUS_WRITE_RESULT, &done);
    EXPECT_TRUE(f.ui.messages.empty());

    whenModal(
        [](QWidget* d) { static_cast<TForm_changeMachineClock*>(d)->Button_synchronize->click(); });
    w.ChangeMachineClockClick();
    ASSERT_EQ(f.requests.calls, (std::vector<std::string>{"getClock", "setClock"}));
    EXPECT_TRUE(f.ui.messages.empty()); // posted, not yet done
    EXPECT_EQ(w.statusBar()->currentMessage(), "Setting the machine clock to the PC's time...");
    w.OnStatus(STATUS_WRITE_RESULT, &done);
    ASSERT_EQ(f.ui.messages.size(), 1u);
    EXPECT_EQ(f.ui.messages[0].text,
              "The machine clock of UB-16 [M-0042] was set to the PC's time, 2026-03-15 10:00:00.");
    EXPECT_EQ(f.ui.messages[0].caption, "Message");
    EXPECT_EQ(w.statusBar()->currentMessage().toStdString(), f.ui.messages[0].text);
    w.OnStatus(STATUS_WRITE_RESULT, &done); // the next identification's
    EXPECT_EQ(f.ui.messages.size(), 1u);
}

// --- status painting and the question -------------------------------------------

TEST(MachineWindow, PortLinesAndLabelsPaintWhatTheBoardDecided) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 4).data());
    EXPECT_EQ(w.Edit_PortLine1[3]->palette().color(QPalette::Base), QColor(100, 100, 100))
        << "a starting job blanks the ports";

    std::vector<uint8_t> rec(114, 0);
    writeBE64(rec.data() + 8, 1000 * 2048);
    writeBE64(rec.data() + 16, 250 * 2048);
    writeBE32(rec.data() + 80, 2048);
    rec[96] = 3;
    PortDataBlock block{1, 3, 1, rec.data()};
    w.OnStatus(STATUS_PORT_DATA, &block);
    EXPECT_EQ(w.Edit_PortLine1[3]->text(), "       1000M");
    EXPECT_EQ(w.Edit_PortLine2[3]->text(), "Write   250M");
    EXPECT_EQ(w.Edit_PortLine2[3]->palette().color(QPalette::Base), QColor(0xA6, 0xCA, 0xF0));

    w.Edit_Total->setText("10");
    // Summary: function 1, 3 passes, 1 fail (CRC from Python's binascii.crc_hqx).
    const uint8_t summary[26] = {0x23, 0x00, 0x1A, 0x00, 0x07, 0x01, 0x06, 0,   0,
                                 0,    0,    0,    0,    0,    0,    0,    0,   0,
                                 0,    0x03, 0,    0,    0,    0x01, 0xA8, 0x11};
    w.OnStatus(STATUS_JOB_SUMMARY, summary);
    EXPECT_EQ(w.Label_Pass->text(), "PASS:  3 PCS");
    EXPECT_EQ(w.Label_FailureRate->text(), "FAILURE RATE: 25.0%");
    EXPECT_EQ(w.Label_Yield->text(), "YIELD: 75.0%");
    EXPECT_EQ(w.Label_Remaining->text(), "(6)");
    EXPECT_EQ(w.Label_Remaining->palette().color(QPalette::WindowText), QColor(0, 0, 255));

    // A click on the job title starts a new sheet.
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w.Edit_JobTitle, &press);
    EXPECT_TRUE(w.Edit_Total->text().isEmpty());

    w.SetLogNumber(501);
    EXPECT_EQ(w.Edit_LogNo->text(), "501");
}

namespace {

// The outcome of ports 1..3, the last block of a 4-port machine.
struct OutcomeBlock {
    std::vector<uint8_t> rec = std::vector<uint8_t>(3 * 114, 0);
    PortDataBlock block{1, 1, 3, nullptr};
    OutcomeBlock() {
        rec[96] = 5;
        block.records = rec.data();
    }
};

bool questionOpen() {
    return qobject_cast<TForm_continue_or_exit*>(QApplication::activeModalWidget()) != nullptr;
}

} // namespace

TEST(MachineWindow, ContinueOrFinishQuestion) {
    Fixture f(machine(4));
    TFormMachine& w = f.open();
    w.show();
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    OutcomeBlock outcome;

    // Asked once the engine's step has returned, modal to its machine window only.
    QString seenLine;
    bool inStep = false;
    whenModal([&](QWidget* d) {
        auto* q = qobject_cast<TForm_continue_or_exit*>(d);
        ASSERT_NE(q, nullptr);
        EXPECT_FALSE(inStep);
        // The dialog's title, and which machine asks.
        EXPECT_EQ(q->windowTitle().toStdString(), "Waiting - " + machineNameAndId(f.info));
        EXPECT_EQ(q->windowModality(), Qt::WindowModal);
        seenLine = w.Edit_PortLine2[1]->text();
        q->Button_continue->click();
    });
    inStep = true;
    w.OnStatus(STATUS_OUTCOME, &outcome.block);
    inStep = false;
    EXPECT_TRUE(f.requests.calls.empty());
    ASSERT_TRUE(test::spin([&] { return !f.requests.calls.empty(); }, 2000));
    EXPECT_EQ(seenLine, "PASS !") << "the outcome is painted before the question";
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"continue"});

    whenModal([](QWidget* d) { static_cast<TForm_continue_or_exit*>(d)->Button_finishClick(); });
    w.OnStatus(STATUS_OUTCOME, &outcome.block);
    ASSERT_TRUE(test::spin([&] { return f.requests.calls.size() == 2; }, 2000));
    // Closed without a button: no answer at all, not the earlier showing's.
    whenModal([](QWidget* d) { static_cast<QDialog*>(d)->reject(); });
    w.OnStatus(STATUS_OUTCOME, &outcome.block);
    ASSERT_TRUE(test::spin([&] { return w.Panel_Question->isVisible(); }, 2000));
    EXPECT_EQ(f.requests.calls, (std::vector<std::string>{"continue", "finish"}));

    // A machine without the feature is never asked.
    MachineInfo info = machine(4);
    info.flag_feature_bit3 = 0;
    Fixture g(info);
    TFormMachine& v = g.open();
    for (int i = 0; i < 3; ++i)
        v.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    v.OnStatus(STATUS_OUTCOME, &outcome.block);
    test::spin([] { return questionOpen(); }, 200);
    EXPECT_FALSE(questionOpen());
    EXPECT_TRUE(g.requests.calls.empty());
}

TEST(MachineWindow, AMachineWaitingWithoutAQuestionIsAskedOnce) {
    // The sub-state change that brings the question was not seen (it ended
    // and began again between two polls): the second poll that finds the
    // machine waiting, with no answer on its way, asks.
    Fixture f(machine(4));
    TFormMachine& w = f.open();
    w.show();
    int asked = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* q = qobject_cast<TForm_continue_or_exit*>(QApplication::activeModalWidget())) {
            ++asked;
            q->Button_finish->click();
        }
    });
    answer.start(1);
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    test::spin([] { return false; }, 50);
    EXPECT_EQ(asked, 0) << "one poll is not yet a question left out";
    // An answer on its way asks nothing.
    f.requests.pending = true;
    for (int i = 0; i < 3; ++i)
        w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    test::spin([] { return false; }, 50);
    EXPECT_EQ(asked, 0);
    f.requests.pending = false;
    for (int i = 0; i < 5; ++i)
        w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    ASSERT_TRUE(test::spin([&] { return asked == 1; }, 2000));
    test::spin([] { return false; }, 50);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"finish"});
}

TEST(MachineWindow, AQuestionClosedWithoutAnyAnswerStaysAnswerableFromTheWindow) {
    Fixture f(machine(4));
    TFormMachine& w = f.open();
    w.show();
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    OutcomeBlock outcome;
    EXPECT_FALSE(w.Panel_Question->isVisible());
    auto askAndClose = [&](std::function<void(QWidget*)> close) {
        whenModal(std::move(close));
        w.OnStatus(STATUS_OUTCOME, &outcome.block);
        return test::spin([&] { return w.Panel_Question->isVisible(); }, 2000);
    };

    // Esc on the first showing: there is no earlier answer to post.
    ASSERT_TRUE(askAndClose([](QWidget* d) { static_cast<QDialog*>(d)->reject(); }));
    EXPECT_TRUE(f.requests.calls.empty());
    EXPECT_NE(w.Label_Question->text().indexOf("M-0042"), -1);
    // Further status blocks of the same wait keep it, and ask no second question.
    for (int i = 0; i < 3; ++i)
        w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    test::spin([] { return questionOpen(); }, 100);
    EXPECT_FALSE(questionOpen());
    EXPECT_TRUE(w.Panel_Question->isVisible());
    EXPECT_TRUE(cleanLayout(&w, "machine_window", "question_bar"));

    w.Button_QuestionFinish->click();
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"finish"});
    EXPECT_FALSE(w.Panel_Question->isVisible());

    // The next job's end, closed with the close box after an answered showing:
    // still no answer, the bar again, answered Continue.
    w.OnStatus(STATUS_MACHINE, statusBlock(0, 0).data());
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    ASSERT_TRUE(askAndClose([](QWidget* d) { d->close(); }));
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"finish"});
    w.Button_QuestionContinue->click();
    EXPECT_EQ(f.requests.calls, (std::vector<std::string>{"finish", "continue"}));

    // Answered at the machine's panel instead: the bar goes by itself.
    w.OnStatus(STATUS_MACHINE, statusBlock(0, 0).data());
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    ASSERT_TRUE(askAndClose([](QWidget* d) { static_cast<QDialog*>(d)->reject(); }));
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 10).data());
    EXPECT_FALSE(w.Panel_Question->isVisible());
    // And so does an open question.
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    whenModal([&](QWidget*) { w.OnStatus(STATUS_MACHINE, statusBlock(1, 10).data()); });
    w.OnStatus(STATUS_OUTCOME, &outcome.block);
    test::spin([] { return questionOpen(); }, 500);
    ASSERT_TRUE(test::spin([] { return !questionOpen(); }, 2000));
    EXPECT_FALSE(w.Panel_Question->isVisible());
    EXPECT_EQ(f.requests.calls.size(), 2u);
}

TEST(MachineWindow, WindowDestroyedWhileAskingIsLeftAlone) {
    // The machine is unplugged while the question is open: the connection
    // destroys the window, and the question with it.
    Fixture f(machine(4));
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    OutcomeBlock outcome;
    whenModal([&](QWidget*) { f.window.reset(); });
    w.OnStatus(STATUS_OUTCOME, &outcome.block);
    ASSERT_TRUE(test::spin([&] { return f.window == nullptr; }, 2000));
    test::spin([] { return false; }, 50);
    EXPECT_TRUE(f.requests.calls.empty());
}

TEST(MachineWindow, ASilentMachineIsShownAndEveryRequestRefused) {
    Fixture f(machine(4));
    TFormMachine& w = f.open();
    w.show();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    const bool on = true, off = false;
    w.OnStatus(STATUS_SILENCE, &on);
    EXPECT_TRUE(w.silent());
    ASSERT_TRUE(w.Label_Silent->isVisible());
    EXPECT_NE(w.Label_Silent->text().indexOf("10:00:00"), -1)
        << w.Label_Silent->text().toStdString();

    // Every way of asking something of it says no, opens nothing and posts nothing.
    const std::vector<std::pair<const char*, std::function<void()>>> actions = {
        {"Copy", [&] { w.CopyClick(); }},
        {"Compare", [&] { w.CompareClick(); }},
        {"Nickname", [&] { w.ChangeNicknameClick(); }},
        {"Clock", [&] { w.ChangeMachineClockClick(); }},
        {"Setup", [&] { w.SetupMachineParameterClick(); }},
        {"Image", [&] { w.Button_AddImageClick(); }},
    };
    for (const auto& [name, act] : actions) {
        f.ui.messages.clear();
        act();
        ASSERT_EQ(f.ui.messages.size(), 1u) << name;
        EXPECT_EQ(f.ui.messages[0].text,
                  "The machine does not answer: nothing is sent to it until it answers again.")
            << name;
    }
    EXPECT_TRUE(f.requests.calls.empty());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    // Answering again: the notice goes, and requests go through.
    w.OnStatus(STATUS_SILENCE, &off);
    EXPECT_FALSE(w.Label_Silent->isVisible());
    w.CopyClick();
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"copy"});
}

TEST(MachineWindow, WritesTheMachineRefusedAreToldAndUndone) {
    Fixture f(machine(4));
    copyField(f.info.nickName, sizeof f.info.nickName, "Old name");
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    struct Case {
        WriteResult result;
        const char* why;
    } cases[] = {{WriteResult::Refused, "The machine refused it"},
                 {WriteResult::NoAnswer, "The machine did not answer"},
                 {WriteResult::NotSent, "The machine does not answer"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        f.ui.messages.clear();
        whenModal([](QWidget* d) {
            static_cast<TForm_nickname*>(d)->Edit_nickname->setText("New name");
            static_cast<TForm_nickname*>(d)->Button_OK->click();
        });
        w.ChangeNicknameClick();
        EXPECT_STREQ(f.info.nickName, "New name");
        const WriteOutcome nickname{MachineWrite::Nickname, c.result, 0x01};
        w.OnStatus(STATUS_WRITE_RESULT, &nickname);
        EXPECT_STREQ(f.info.nickName, "Old name") << "the name the machine still has";
        EXPECT_EQ(w.GroupBox_Machine->title().toStdString(), "Old name(v2.40.7)");
        ASSERT_EQ(f.ui.messages.size(), 1u);
        EXPECT_EQ(f.ui.messages[0].text, std::string("Can't Set Nickname !\n\n") + c.why +
                                             ": the machine keeps the name \"Old name\".");

        f.ui.messages.clear();
        whenModal([](QWidget* d) {
            static_cast<TForm_changeMachineClock*>(d)->Button_synchronize->click();
        });
        w.ChangeMachineClockClick();
        const WriteOutcome clock{MachineWrite::Clock, c.result, 0x01};
        w.OnStatus(STATUS_WRITE_RESULT, &clock);
        ASSERT_EQ(f.ui.messages.size(), 1u);
        EXPECT_EQ(f.ui.messages[0].text, std::string("Can't Set Machine Clock !\n\n") + c.why +
                                             ": its clock was not set to the PC's time.");
        EXPECT_EQ(f.ui.messages[0].caption, "ERROR !");
    }
    // Done: said in the status bar, and the name stays.
    f.ui.messages.clear();
    whenModal([](QWidget* d) {
        static_cast<TForm_nickname*>(d)->Edit_nickname->setText("Taken");
        static_cast<TForm_nickname*>(d)->Button_OK->click();
    });
    w.ChangeNicknameClick();
    const WriteOutcome done{MachineWrite::Nickname, WriteResult::Done, 0};
    w.OnStatus(STATUS_WRITE_RESULT, &done);
    EXPECT_STREQ(f.info.nickName, "Taken");
    EXPECT_TRUE(f.ui.messages.empty());
    EXPECT_EQ(w.statusBar()->currentMessage(), "The machine took the name \"Taken\".");
    // An outcome of a write this window did not ask for (the identification's
    // clock) tells nothing.
    const WriteOutcome unasked{MachineWrite::Clock, WriteResult::Refused, 0x01};
    w.OnStatus(STATUS_WRITE_RESULT, &unasked);
    EXPECT_TRUE(f.ui.messages.empty());
}

// --- picture ----------------------------------------------------------------------

namespace {

// Width and height of a JPEG file as djpeg decodes it.
bool djpegSize(const fs::path& file, int& width, int& height) {
    const std::string cmd = "djpeg -pnm '" + file.string() + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return false;
    char magic[3] = {};
    const int n = std::fscanf(p, "%2s %d %d", magic, &width, &height);
    // Read the pixels too, so djpeg decodes the whole image.
    long bytes = 0;
    while (std::fgetc(p) != EOF)
        ++bytes;
    const int status = pclose(p);
    return n == 3 && std::string(magic) == "P6" && status == 0 && bytes >= long(width) * height * 3;
}

} // namespace

TEST(MachineWindow, SavedPictureDecodesWithThePanelSize) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    const fs::path file = w.savePicture();
    const fs::path expected = f.dir.path / "SavePicture/2026/2026-03/20260315-100000.jpg";
    ASSERT_EQ(file, expected);
    int width = 0, height = 0;
    ASSERT_TRUE(djpegSize(file, width, height));
    const QSize panel = w.Panel_Main->size();
    EXPECT_EQ(width, panel.width());
    EXPECT_EQ(height, panel.height());

    // The still copy of the port area sits below the live panel.
    ASSERT_NE(w.Image_Still, nullptr);
    EXPECT_TRUE(w.Image_Still->isVisibleTo(&w));
    EXPECT_EQ(geometryOf(w.Image_Still),
              QRect(0, panel.height() + 15, panel.width(), panel.height() - 80));

    // A second picture in the same second replaces the first.
    std::ofstream(file, std::ios::trunc) << "not a picture";
    EXPECT_EQ(w.savePicture(), expected);
    EXPECT_TRUE(djpegSize(file, width, height));
}

TEST(MachineWindow, ProbeSensorReleaseSavesAPicture) {
    MachineInfo info = machine(16);
    info.flag_support_probe_machine_sensor = 1;
    Fixture f(info);
    TFormMachine& w = f.open();
    std::vector<uint8_t> pressed = statusBlock(0);
    pressed[5] = 0x08;
    w.OnStatus(STATUS_MACHINE, pressed.data());
    f.clock.advance(2000);
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_TRUE(fs::exists(f.dir.path / "SavePicture/2026/2026-03/20260315-100002.jpg"));
}

TEST(MachineWindow, PictureFolderThatCannotBeMadeFailsQuietly) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    std::ofstream(f.dir.path / "SavePicture") << "a file where the folder should be";
    EXPECT_TRUE(w.savePicture().empty());
    EXPECT_TRUE(f.ui.messages.empty());
}

// A pipe where the picture goes: nothing waits for a reader, and the pipe
// stays as it was (the picture is made in memory and written whole).
TEST(MachineWindow, APipeWhereThePictureGoesHoldsNothingUp) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    const fs::path file = f.dir.path / "SavePicture/2026/2026-03/20260315-100000.jpg";
    fs::create_directories(file.parent_path());
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_TRUE(w.savePicture().empty());
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(file)));
    EXPECT_TRUE(f.ui.messages.empty());
}

TEST(MachineWindow, TheSaveScreenButtonSaysWhereThePictureWent) {
    Fixture f(machine(41, 2));
    TFormMachine& w = f.open();
    ASSERT_NE(w.Button_SaveScreen, nullptr);
    // Its caption is Chinese; the pointer resting on it says what it does.
    EXPECT_EQ(w.Button_SaveScreen->toolTip(),
              "Save a picture of this window (JPEG, in the SavePicture folder of the working "
              "folder)");
    w.Button_SaveScreen->click();
    const fs::path expected = f.dir.path / "SavePicture/2026/2026-03/20260315-100000.jpg";
    EXPECT_TRUE(fs::exists(expected));
    EXPECT_EQ(w.statusBar()->currentMessage().toStdString(),
              "Picture saved to " + expected.string());
    EXPECT_TRUE(f.ui.messages.empty()); // a note in the window, no box that waits

    // When it cannot be written, the note says so and where it should have gone.
    fs::remove_all(f.dir.path / "SavePicture");
    std::ofstream(f.dir.path / "SavePicture") << "a file where the folder should be";
    f.clock.advance(1000);
    w.Button_SaveScreen->click();
    const std::string note = w.statusBar()->currentMessage().toStdString();
    EXPECT_EQ(note.rfind("The picture could not be saved in ", 0), 0u) << note;
    EXPECT_NE(note.find((f.dir.path / "SavePicture").string()), std::string::npos) << note;
}

TEST(MachineWindow, MenusWorkFromTheKeyboard) {
    Fixture f(machine(16));
    TFormMachine& w = f.open();
    w.OnStatus(STATUS_MACHINE, statusBlock(0).data()); // standing by: the menus are enabled
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    // Alt+A opens Action, C chooses Copy.
    QTest::keyClick(&w, Qt::Key_A, Qt::AltModifier);
    ASSERT_EQ(QApplication::activePopupWidget(), w.Menu_Action);
    QTest::keyClick(w.Menu_Action, Qt::Key_C);
    EXPECT_EQ(f.requests.calls, std::vector<std::string>{"copy"});
    // Alt+M opens Machine, N changes the nickname.
    QTest::keyClick(&w, Qt::Key_M, Qt::AltModifier);
    ASSERT_EQ(QApplication::activePopupWidget(), w.Menu_Machine);
    bool asked = false;
    whenModal([&](QWidget* d) {
        asked = d == w.nicknameDialog();
        static_cast<QDialog*>(d)->reject();
    });
    QTest::keyClick(w.Menu_Machine, Qt::Key_N);
    EXPECT_TRUE(asked);
}
