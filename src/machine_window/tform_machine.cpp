#include "machine_window/tform_machine.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOption>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <cstring>

#include "common/fixed_pitch_font.h"
#include "common/text.h"
#include "machine_window/jpeg_writer.h"
#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/window_texts.h"
#include "protocol/command_machine.h"
#include "protocol/machine_activity.h"
#include "protocol/machine_names.h"
#include "settings/tform_change_machine_clock.h"
#include "settings/tform_change_setupvalue.h"
#include "settings/tform_nickname.h"

namespace dupmon {

namespace {

const char kNotInStandby[] = "Machine Doesn't in Standby !";
const char kNotAnswering[] =
    "The machine does not answer: nothing is sent to it until it answers again.";
const char kJobRefusal[] = "Can't Execute this function";
const char kSettingRefusal[] = "Abort Setting";

// Windows colour values are 0xBBGGRR.
QColor bgr(uint32_t v) {
    return QColor(int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF));
}
const uint32_t kSilver = 0xC0C0C0;
const uint32_t kBlue = 0xFF0000;
const uint32_t kRed = 0x0000FF;
const uint32_t kCream = 0xF0FBFF;

QColor systemWindowColour() {
    return QApplication::palette().color(QPalette::Base);
}
// The window-frame system colour of a current desktop.
QColor systemWindowFrameColour() {
    return QColor(100, 100, 100);
}

QColor lineColour(LineColour c) {
    switch (c) {
    case LineColour::Window:
        return systemWindowColour();
    case LineColour::WindowFrame:
        return systemWindowFrameColour();
    default:
        return bgr(lineColourValue(c));
    }
}

// The windows were drawn for two families a Linux desktop rarely has: the
// style hint lets the font system pick the closest kind it has, and the
// fixed-pitch one is checked to be fixed pitch, since its texts are columns.
QFont namedFont(const char* family, int points, bool bold = false) {
    if (std::strcmp(family, "Courier New") == 0)
        return fixedPitchFont(family, points, bold);
    QFont f(family);
    f.setPointSize(points);
    f.setBold(bold);
    if (std::strcmp(family, "Book Antiqua") == 0)
        f.setStyleHint(QFont::Serif);
    return f;
}

QFont sizedFont(int points) {
    QFont f = QApplication::font();
    f.setPointSize(points);
    return f;
}

void setBackground(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

void setBase(QLineEdit* e, const QColor& c) {
    if (e->palette().color(QPalette::Base) == c)
        return;
    QPalette p = e->palette();
    p.setColor(QPalette::Base, c);
    e->setPalette(p);
}

void setTextColour(QWidget* w, const QColor& c) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, c);
    p.setColor(QPalette::Text, c);
    p.setColor(QPalette::ButtonText, c);
    w->setPalette(p);
}

QFrame* panel(QWidget* parent, int left, int top, int width, int height) {
    auto* f = new QFrame(parent);
    f->setFrameStyle(QFrame::Panel | QFrame::Raised);
    f->setGeometry(left, top, width, height);
    return f;
}

// Labels grow to fit their text, as auto-sized labels do.
QLabel* label(QWidget* parent, const char* name, const QString& text, int left, int top, int width,
              int height, const QFont& font) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setFont(font);
    l->setGeometry(left, top, std::max(width, l->sizeHint().width()), height);
    return l;
}

QLineEdit* edit(QWidget* parent, const char* name, const QString& text, int left, int top,
                int width, int height, const QFont& font, bool readOnly) {
    auto* e = new QLineEdit(text, parent);
    e->setObjectName(name);
    e->setFont(font);
    e->setGeometry(left, top, width, height);
    e->setReadOnly(readOnly);
    if (readOnly)
        e->setFocusPolicy(Qt::NoFocus);
    return e;
}

// The size a line edit needs to show `text` whole in its font, as the edit
// itself reckons it (its frame, inner margins and text margins).
QSize editSizeFor(const QLineEdit* e, const QString& text) {
    const QFontMetrics fm = e->fontMetrics();
    const QMargins tm = e->textMargins();
    QStyleOptionFrame opt;
    opt.initFrom(e);
    opt.lineWidth = e->hasFrame() ? e->style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
    return e->style()->sizeFromContents(
        QStyle::CT_LineEdit, &opt,
        QSize(fm.horizontalAdvance(text) + 2 * 2 + tm.left() + tm.right(),
              fm.height() + 2 * 1 + tm.top() + tm.bottom()),
        e);
}

// Where a group box's inside starts below its title, in its own font.
int groupBoxContentTop(const QGroupBox* g) {
    QStyleOptionGroupBox opt;
    opt.initFrom(g);
    opt.text = g->title();
    opt.lineWidth = 1;
    opt.textAlignment = g->alignment();
    opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label =
        g->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, g);
    return label.bottom() + 1;
}

int textWidth(const QFont& font, const QString& text) {
    return QFontMetrics(font).horizontalAdvance(text);
}

// Used when the window is given no engine: every request is refused.
class NoRequests final : public MachineRequests {
public:
    void setNickname(const char*) override {}
    bool getMachineClock(char*) override { return false; }
    void setMachineClock() override {}
    void requestCopy() override {}
    void requestCompare() override {}
    void requestCopyCompare() override {}
    void requestCopyWriteProtect() override {}
    void requestCopyCompareWriteProtect() override {}
    void answerContinue() override {}
    void answerFinish() override {}
    bool answerPending() const override { return false; }
    void requestImageBank() override {}
    bool getSetupParameters(uint8_t*) override { return false; }
    bool setSetupParameters(const uint8_t*) override { return false; }
    void requestDeviceInfo() override {}
    void requestRelease() override {}
    bool markPorts(const uint16_t*, int) override { return false; }
};

std::unique_ptr<MachineRequests> requestsFor(COMMAND_MACHINE* engine) {
    if (engine)
        return std::make_unique<CommandMachineRequests>(*engine);
    return std::make_unique<NoRequests>();
}

} // namespace

TFormMachine::TFormMachine(QWidget* owner, DisplayRefresh displayRefresh,
                           const std::string& caption, std::filesystem::path logDatabasePath,
                           std::filesystem::path dataDir, MachineInfo& info,
                           COMMAND_MACHINE* engine, UiServices& ui, const Clock& clock,
                           std::filesystem::path workDir)
    : QMainWindow(owner), ownRequests_(requestsFor(engine)), requests_(*ownRequests_),
      displayRefresh_(std::move(displayRefresh)), logDatabasePath_(std::move(logDatabasePath)),
      dataDir_(std::move(dataDir)), info_(info), ui_(ui), clock_(clock),
      workDir_(std::move(workDir)), board_(info) {
    construct(caption);
}

TFormMachine::TFormMachine(QWidget* owner, DisplayRefresh displayRefresh,
                           const std::string& caption, std::filesystem::path logDatabasePath,
                           std::filesystem::path dataDir, MachineInfo& info,
                           MachineRequests& requests, UiServices& ui, const Clock& clock,
                           std::filesystem::path workDir)
    : QMainWindow(owner), requests_(requests), displayRefresh_(std::move(displayRefresh)),
      logDatabasePath_(std::move(logDatabasePath)), dataDir_(std::move(dataDir)), info_(info),
      ui_(ui), clock_(clock), workDir_(std::move(workDir)), board_(info) {
    construct(caption);
}

TFormMachine::~TFormMachine() {
    // The question goes with the window: its closing must not reach a window
    // that is no longer whole.
    QObject::disconnect(continueDialog_, nullptr, this, nullptr);
    savePlacement();
}

void TFormMachine::construct(const std::string& caption) {
    setObjectName("FormMachine");
    // 1. The form as its resource gives it, the dialogs it shows, and its state.
    resize(723, 437);
    move(957, 125);
    createMenus();
    continueDialog_ = new TForm_continue_or_exit(this);
    nicknameDialog_ = new TForm_nickname(this);
    clockDialog_ = new TForm_changeMachineClock(this);
    nameDialogs();
    windowTitle_ = machineWindowTitle(info_);
    parFilePath_ = placementFilePath(dataDir_, info_);
    caption_ = caption;
    machineId_ = std::string(fieldText(info_.machineId, sizeof info_.machineId));

    board_.savePictureRequested = [this] {
        sync();
        savePicture();
    };
    board_.continueOrFinishNeeded = [this] { askContinueOrFinish(); };
    connect(continueDialog_, &QDialog::finished, this, [this] { onQuestionClosed(); });
    board_.deviceInfoReceived = [this](const DeviceInfoBlock& block) { onDeviceInfo(block); };

    // 2. Placement file.
    WindowPlacement p;
    if (loadPlacement(parFilePath_, machineId_, p)) {
        move(p.left, p.top);
        resize(p.width, p.height);
        placementLoaded_ = true;
    }
    // 3. Port map.
    buildPortMap();
    // 4. Caption, with the machine's name in front.
    updateCaption();
    // 5. Menus.
    applyMenuVisibility();
}

void TFormMachine::createMenus() {
    // Every menu and item has its own underlined letter, for the keyboard.
    QMenuBar* bar = menuBar();
    Menu_Machine = bar->addMenu("&Machine");
    Item_ChangeNickname = Menu_Machine->addAction("Change &Nickname");
    Item_ChangeMachineClock = Menu_Machine->addAction("Change Machine &Clock");
    Item_SetupMachineParameter = Menu_Machine->addAction("&Setup Machine Parameter");
    Item_ChangeMachineClock->setVisible(false);
    Item_SetupMachineParameter->setVisible(false);

    Menu_LogData = bar->addMenu("&LogData");
    Item_OpenLogWindow = Menu_LogData->addAction("&OpenLogWindow");
    Item_ShowDetailReport = Menu_LogData->addAction("Show &Detail Report");
    Item_ShowDailyReport = Menu_LogData->addAction("Show D&aily Report");
    Item_ShowPerformanceByPort = Menu_LogData->addAction("Show &Performance by PORT");

    Menu_System = bar->addMenu("S&ystem");

    Menu_Action = bar->addMenu("&Action");
    Item_GetInfo = Menu_Action->addAction("Get &Info");
    Item_DownloadSourceFiles = Menu_Action->addAction("&Download Source Files");
    Item_Copy = Menu_Action->addAction("&Copy");
    Item_Compare = Menu_Action->addAction("Co&mpare");
    Item_CopyCompare = Menu_Action->addAction("Copy+Com&pare");
    Item_CopyWriteProtect = Menu_Action->addAction("Copy+&WriteProtect");
    Item_CopyCompareWriteProtect = Menu_Action->addAction("Copy+Compare+W&riteProtect");
    Item_CapacityCheck = Menu_Action->addAction("Capacity C&heck");
    Item_SendFiles = Menu_Action->addAction("S&end Files");

    Item_NextJob = bar->addAction("&Next Job");

    connect(Item_ChangeNickname, &QAction::triggered, this, [this] { ChangeNicknameClick(); });
    connect(Item_ChangeMachineClock, &QAction::triggered, this,
            [this] { ChangeMachineClockClick(); });
    connect(Item_SetupMachineParameter, &QAction::triggered, this,
            [this] { SetupMachineParameterClick(); });
    connect(Item_OpenLogWindow, &QAction::triggered, this, [this] { OpenLogWindowClick(); });
    connect(Item_ShowDetailReport, &QAction::triggered, this, [this] { ShowDetailReportClick(); });
    connect(Item_ShowDailyReport, &QAction::triggered, this, [this] { ShowDailyReportClick(); });
    connect(Item_ShowPerformanceByPort, &QAction::triggered, this,
            [this] { ShowPerformanceByPortClick(); });
    connect(Item_GetInfo, &QAction::triggered, this, [this] { GetInfoClick(); });
    connect(Item_DownloadSourceFiles, &QAction::triggered, this,
            [this] { DownloadSourceFilesClick(); });
    connect(Item_Copy, &QAction::triggered, this, [this] { CopyClick(); });
    connect(Item_Compare, &QAction::triggered, this, [this] { CompareClick(); });
    connect(Item_CopyCompare, &QAction::triggered, this, [this] { CopyCompareClick(); });
    connect(Item_CopyWriteProtect, &QAction::triggered, this, [this] { CopyWriteProtectClick(); });
    connect(Item_CopyCompareWriteProtect, &QAction::triggered, this,
            [this] { CopyCompareWriteProtectClick(); });
}

void TFormMachine::applyMenuVisibility() {
    Menu_LogData->menuAction()->setVisible(info_.support_LogRecord == 1);
    for (QAction* a : {Menu_System->menuAction(), Menu_Action->menuAction(), Item_GetInfo,
                       Item_DownloadSourceFiles, Item_Copy, Item_Compare, Item_CopyCompare,
                       Item_CopyWriteProtect, Item_CopyCompareWriteProtect, Item_CapacityCheck,
                       Item_SendFiles, Item_NextJob})
        a->setVisible(false);
    Menu_Action->menuAction()->setVisible(true);
    if (info_.flag_feature_bit3 == 1) {
        for (QAction* a : {Item_DownloadSourceFiles, Item_Copy, Item_Compare, Item_CopyCompare})
            a->setVisible(true);
        if (info_.flag_feature_bit4 == 1) {
            Item_CopyWriteProtect->setVisible(true);
            Item_CopyCompareWriteProtect->setVisible(true);
        }
    } else {
        Item_GetInfo->setVisible(true);
    }
}

void TFormMachine::buildPortMap() {
    layout_ = computePortMap(info_);
    const PortMapLayout& L = layout_;
    // 2. The window holds at most 256 ports.
    if (L.tooManyPorts) {
        ui_.messageBox("Wrong (totalPortQty > MAX_PORT_PER_MACHINE)", "");
        return;
    }
    // 7, 12. Panel and group box, in a view that scrolls when the window is smaller.
    scrollArea = new QScrollArea(this);
    scrollArea->setFrameShape(QFrame::NoFrame);
    content = new QWidget;
    Panel_Main = panel(content, 0, 0, 1, 1);
    Panel_Main->setObjectName("Panel_Main");
    GroupBox_Machine = new QGroupBox(QString::fromStdString(windowTitle_), Panel_Main);
    GroupBox_Machine->setObjectName("GroupBox_Machine");
    GroupBox_Machine->setFont(namedFont("Courier New", 12));

    // 8. Every size comes from the fonts the desktop really has, with the
    // first drawing's sizes as the least: nothing overlaps, no text is cut.
    // The function field and the job panels first, the rest beside them,
    // the port grid below.
    const bool panelKind = L.kind != LayoutKind::Ordinary;
    const int top = std::max(30, groupBoxContentTop(GroupBox_Machine) + 8);
    Edit_Function = edit(GroupBox_Machine, "Edit_Function", "JOB", 10, top, L.jobWidth, L.jobHeight,
                         namedFont("Book Antiqua", L.functionFontSize, true), true);
    setTextColour(Edit_Function, bgr(kBlue));
    {
        int widest = editSizeFor(Edit_Function, "COPY+COMPARE(P. WP)").width();
        for (int code = 0; code < 256; ++code)
            widest = std::max(
                widest,
                editSizeFor(Edit_Function, QString::fromStdString(functionName(code))).width());
        Edit_Function->resize(std::max(L.jobWidth, widest),
                              std::max(L.jobHeight, Edit_Function->minimumSizeHint().height()));
    }
    buildJobPanels();

    // Beside the job panels, one under the other: the log number, the
    // save-screen button and the master port, the image bank.
    const QRect info = Panel_JobInfo->geometry();
    const int besideLeft = info.right() + 1 + 10;
    int besideTop = top;
    int besideRight = info.right() + 1;
    const QFont bookAntiqua12 = namedFont("Book Antiqua", 12);
    Label_Log =
        label(GroupBox_Machine, "Label_Log", "Log:", besideLeft, besideTop, 50, 16, bookAntiqua12);
    Edit_LogNo = edit(GroupBox_Machine, "Edit_LogNo", " ", 0, besideTop, 80, 16,
                      namedFont("Book Antiqua", 16), true);
    setTextColour(Edit_LogNo, bgr(kBlue));
    {
        const QSize number = editSizeFor(Edit_LogNo, "4294967295");
        const int rowHeight = std::max({16, Label_Log->sizeHint().height(), number.height()});
        Label_Log->setGeometry(besideLeft, besideTop, Label_Log->width(), rowHeight);
        Edit_LogNo->setGeometry(Label_Log->geometry().right() + 1 + 10, besideTop,
                                std::max(80, number.width()), rowHeight);
    }
    const bool logKept = info_.support_LogRecord == 1;
    Label_Log->setVisible(logKept);
    Edit_LogNo->setVisible(logKept);
    if (logKept) {
        besideTop = Edit_LogNo->geometry().bottom() + 1 + 10;
        besideRight = std::max(besideRight, Edit_LogNo->geometry().right() + 1);
    }
    if (panelKind) {
        // 儲存畫面 ("save screen")
        Button_SaveScreen =
            new QPushButton(QString::fromUtf8("\u5132\u5b58\u756b\u9762"), GroupBox_Machine);
        Button_SaveScreen->setObjectName("Button_SaveScreen");
        Button_SaveScreen->setToolTip("Save a picture of this window (JPEG, in the "
                                      "SavePicture folder of the working folder)");
        Button_SaveScreen->setFont(sizedFont(14));
        setTextColour(Button_SaveScreen, bgr(kRed));
        Button_SaveScreen->setGeometry(
            besideLeft, besideTop, std::max(160, Button_SaveScreen->sizeHint().width()),
            std::max(Edit_Function->height() + 10, Button_SaveScreen->sizeHint().height()));
        connect(Button_SaveScreen, &QPushButton::clicked, this,
                [this] { Button_SaveScreenClick(); });
        besideTop = Button_SaveScreen->geometry().bottom() + 1 + 10;
        besideRight = std::max(besideRight, Button_SaveScreen->geometry().right() + 1);
    }

    // The port boxes take their size from their font; the master port of
    // the panel kinds goes beside the function field, below the button.
    buildPorts();
    if (panelKind && !GroupBox_Port.empty() && GroupBox_Port[0]) {
        GroupBox_Port[0]->move(besideLeft, besideTop);
        besideRight = std::max(besideRight, GroupBox_Port[0]->geometry().right() + 1);
        besideTop = GroupBox_Port[0]->geometry().bottom() + 1;
    }
    if (L.hasImageBank) {
        // Last in the column beside the job panels.
        buildSourceImageBox(besideLeft, besideTop);
        besideRight = std::max(besideRight, GroupBox_SourceImage->geometry().right() + 1);
        besideTop = GroupBox_SourceImage->geometry().bottom() + 1;
    }
    const int headerRight = besideRight;
    const int headerBottom =
        std::max({info.bottom() + 1, Panel_JobTime->geometry().bottom() + 1, besideTop});

    // The grid below, and the sizes of the group box and the panel.
    PortMapMetrics metrics;
    metrics.portWidth = portBoxSize_.width();
    metrics.portHeight = portBoxSize_.height();
    metrics.headerWidth = std::max(headerRight + 10, GroupBox_Machine->sizeHint().width());
    metrics.headerHeight = headerBottom;
    const PortMapGeometry g = L.place(metrics);
    for (int i = 0; i < int(GroupBox_Port.size()); ++i)
        if (GroupBox_Port[size_t(i)] && !L.ports[i].apart)
            GroupBox_Port[size_t(i)]->move(L.portLeft(i, metrics), L.portTop(i, metrics, g));
    alignHeaderWithFirstPort(g.mapWidth - L.portMargin - headerRight);
    GroupBox_Machine->setGeometry(5, 5, g.groupBoxWidth, g.groupBoxHeight);
    Panel_Main->resize(g.panelWidth, g.panelHeight);

    // 11. Job items follow the controller's version (visibility is set again afterwards).
    Menu_Action->menuAction()->setVisible(board_.actionsAllowed());
    Menu_Action->menuAction()->setEnabled(board_.actionsAllowed());
    Item_GetInfo->setEnabled(board_.actionsAllowed());

    content->resize(Panel_Main->size());
    scrollArea->setWidget(content);
    // The port map, under a notice that shows only once the machine is unplugged.
    auto* central = new QWidget;
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    Label_Unplugged = new QLabel(central);
    Label_Unplugged->setObjectName("Label_Unplugged");
    Label_Unplugged->setWordWrap(true);
    Label_Unplugged->setMargin(6);
    Label_Unplugged->setAutoFillBackground(true);
    setBackground(Label_Unplugged, QColor(255, 236, 150));
    Label_Unplugged->hide();
    column->addWidget(Label_Unplugged);
    Label_Silent = new QLabel(central);
    Label_Silent->setObjectName("Label_Silent");
    Label_Silent->setWordWrap(true);
    Label_Silent->setMargin(6);
    Label_Silent->setAutoFillBackground(true);
    setBackground(Label_Silent, QColor(255, 190, 190));
    Label_Silent->hide();
    column->addWidget(Label_Silent);
    Panel_Question = new QFrame(central);
    Panel_Question->setObjectName("Panel_Question");
    Panel_Question->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
    setBackground(Panel_Question, QColor(255, 214, 170));
    Label_Question = new QLabel(Panel_Question);
    Label_Question->setObjectName("Label_Question");
    Label_Question->setWordWrap(true);
    Button_QuestionContinue = new QPushButton("Continue", Panel_Question);
    Button_QuestionContinue->setObjectName("Button_QuestionContinue");
    Button_QuestionFinish = new QPushButton("Finish", Panel_Question);
    Button_QuestionFinish->setObjectName("Button_QuestionFinish");
    auto* bar = new QHBoxLayout(Panel_Question);
    bar->addWidget(Label_Question, 1);
    bar->addWidget(Button_QuestionContinue);
    bar->addWidget(Button_QuestionFinish);
    connect(Button_QuestionContinue, &QPushButton::clicked, this, [this] { postAnswer(true); });
    connect(Button_QuestionFinish, &QPushButton::clicked, this, [this] { postAnswer(false); });
    Panel_Question->hide();
    column->addWidget(Panel_Question);
    column->addWidget(scrollArea, 1);
    setCentralWidget(central);

    // 6. The size the window needs, cut to the screen it opens on (the
    // port map scrolls), centred there unless its placement was kept.
    statusBar();
    fitToScreen();

    // 13. Colours; the Machine menu waits for the first status block.
    resetColours();
    Menu_Machine->menuAction()->setEnabled(false);
    windowReady_ = true;
}

void TFormMachine::fitToScreen() {
    // The frame the desktop puts around the window, once it has one; before
    // that, room for a usual title bar and border. The window's position is
    // its frame's; its size is the inside's.
    QMargins m(4, 30, 4, 4);
    if (windowHandle() && !windowHandle()->frameMargins().isNull())
        m = windowHandle()->frameMargins();
    const QRect free = screen() ? screen()->availableGeometry() : QRect(0, 0, 1024, 768);
    QSize inside = size();
    const bool byContent = !placementLoaded_ && !isVisible();
    if (byContent)
        inside = QSize(Panel_Main->width(), Panel_Main->height() + menuBar()->sizeHint().height() +
                                                statusBar()->sizeHint().height());
    if (byContent) {
        // A map taller than the screen scrolls: room for the scroll bar
        // beside it, so that no second bar is needed below it.
        const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
        const QSize need = inside.grownBy(m);
        if (need.height() > free.height())
            inside.rwidth() += bar;
        if (need.width() > free.width())
            inside.rheight() += bar;
    }
    QRect frame(pos(), inside.grownBy(m));
    frame.setWidth(std::min(frame.width(), free.width()));
    frame.setHeight(std::min(frame.height(), free.height()));
    if (byContent)
        frame.moveTopLeft(QPoint(free.left() + centredPosition(frame.width(), free.width()),
                                 free.top() + centredPosition(frame.height(), free.height())));
    // A placement kept from a larger screen still opens wholly on this one.
    frame.moveLeft(std::clamp(frame.left(), free.left(), free.right() + 1 - frame.width()));
    frame.moveTop(std::clamp(frame.top(), free.top(), free.bottom() + 1 - frame.height()));
    resize(frame.size().shrunkBy(m));
    move(frame.topLeft());
}

void TFormMachine::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Now that the desktop has framed the window, keep the frame on the screen too.
    const QRect screenArea = screen() ? screen()->availableGeometry() : QRect();
    if (Panel_Main && screenArea.isValid() && !screenArea.contains(frameGeometry()))
        fitToScreen();
    if (!shownOnce_) {
        shownOnce_ = true;
        showFirstPortAndJob();
    }
}

void TFormMachine::buildJobPanels() {
    const QRect fn = Edit_Function->geometry();
    const QFont book = namedFont("Book Antiqua", 12);
    const QFont courier = namedFont("Courier New", 12);

    // Rows 30 apart, or as far as the font's fields need.
    Panel_JobInfo = panel(GroupBox_Machine, fn.right() + 1 + 10, fn.top(), 400, 260);
    Panel_JobInfo->setObjectName("Panel_JobInfo");
    QWidget* p = Panel_JobInfo;
    Edit_JobTitle = edit(p, "Edit_JobTitle", "", 0, 0, 250, 20, book, false);
    const int fieldHeight = std::max(20, Edit_JobTitle->minimumSizeHint().height());
    const int rowHeight = std::max({16, QFontMetrics(book).height(), fieldHeight});
    const int pitch = std::max(30, rowHeight + 4);
    auto row = [&](int n) { return 10 + n * pitch; };
    QLabel* title = label(p, "Label_JobTitle", "JOB TITLE:", 10, row(0), 100, rowHeight, book);
    Edit_JobTitle->setGeometry(title->geometry().right() + 1 + 10, row(0), 250, fieldHeight);
    setTextColour(Edit_JobTitle, bgr(kBlue));
    Edit_JobTitle->installEventFilter(this);
    label(p, "Label_MediaSize", "MEDIA SIZE:", 10, row(1), 300, rowHeight, book);
    label(p, "Label_DataSize", "DATA SIZE:", 10, row(2), 300, rowHeight, book);
    // The quantity field sits in the blanks of its label, between "TOTAL:" and "PCS".
    const QString totalText = "TOTAL:                 PCS";
    QLabel* total = label(p, "Label_Total", totalText, 10, row(3), 0, rowHeight, book);
    const int blanksFrom = textWidth(book, "TOTAL: ");
    const int blanksTo = textWidth(book, "TOTAL:                ");
    Edit_Total = edit(total, "Edit_Total", "", blanksFrom, (rowHeight - fieldHeight) / 2,
                      std::max(50, blanksTo - blanksFrom), fieldHeight, book, false);
    total->resize(std::max(total->width(), Edit_Total->geometry().right() + 1), rowHeight);
    setTextColour(Edit_Total, bgr(kBlue));
    connect(Edit_Total, &QLineEdit::textChanged, this,
            [this](const QString& t) { board_.setTotalText(t.toStdString()); });
    Label_Remaining = label(p, "Label_Remaining", "(0)", total->geometry().right() + 1 + 10, row(3),
                            100, rowHeight, book);
    setTextColour(Label_Remaining, bgr(kBlue));
    Label_Pass = label(p, "Label_Pass", "PASS:", 10, row(4), 100, rowHeight, book);
    Label_Fail = label(p, "Label_Fail", "FAIL:", 10, row(5), 100, rowHeight, book);
    Label_FailureRate =
        label(p, "Label_FailureRate", "FAILURE RATE:", 10, row(6), 100, rowHeight, book);
    Label_Yield = label(p, "Label_Yield", "YIELD:", 10, row(7), 100, rowHeight, book);
    // Wide enough for what the job's counts write into the labels later.
    int infoWidth = std::max({400, Edit_JobTitle->geometry().right() + 1 + 10,
                              Label_Remaining->x() + textWidth(book, "(999999)") + 10,
                              10 + textWidth(book, "FAILURE RATE: 100.0%") + 10,
                              10 + textWidth(book, "PASS:  4294967295 PCS") + 10});
    for (QObject* o : p->children())
        if (auto* w = qobject_cast<QWidget*>(o))
            infoWidth = std::max(infoWidth, w->geometry().right() + 1 + 10);
    const int infoHeight = std::max(260, row(8));

    // Under the function field, as wide, down to the bottom of the other panel.
    const int timeTop = fn.bottom() + 1 + 6;
    Panel_JobTime = panel(GroupBox_Machine, fn.left(), timeTop, fn.width(), 10);
    Panel_JobTime->setObjectName("Panel_JobTime");
    p = Panel_JobTime;
    label(p, "Label_JobStart", "JOB START:", 10, row(0), 100, rowHeight, courier);
    label(p, "Label_JobEnd", "JOB END:", 10, row(1), 100, rowHeight, courier);
    label(p, "Label_TotalTime", "TOTAL TIME:", 10, row(2), 100, rowHeight, courier);
    label(p, "Label_TimePerCopy", "TIME PER COPY:", 10, row(3), 100, rowHeight, courier);
    QLabel* op = label(p, "Label_Operator", "OPERATOR:", 10, row(4), 100, rowHeight, book);
    Edit_Operator = edit(p, "Edit_Operator", "", op->geometry().right() + 1 + 10, row(4), 250,
                         fieldHeight, book, false);
    setTextColour(Edit_Operator, bgr(kBlue));
    int timeWidth = fn.width();
    for (QObject* o : p->children())
        if (auto* w = qobject_cast<QWidget*>(o))
            timeWidth = std::max(timeWidth, w->geometry().right() + 1 + 10);
    // The function field and this panel share their width; both panels end on one line.
    Edit_Function->resize(timeWidth, fn.height());
    const int bottom = std::max(fn.top() + infoHeight, timeTop + row(5));
    Panel_JobTime->setGeometry(fn.left(), timeTop, timeWidth, bottom - timeTop);
    Panel_JobInfo->setGeometry(fn.left() + timeWidth + 10, fn.top(), infoWidth, bottom - fn.top());
}

void TFormMachine::buildSourceImageBox(int left, int top) {
    GroupBox_SourceImage = new QGroupBox("Source Image", GroupBox_Machine);
    GroupBox_SourceImage->setObjectName("GroupBox_SourceImage");
    GroupBox_SourceImage->setFont(sizedFont(12));
    setBackground(GroupBox_SourceImage, bgr(kCream));

    QWidget* box = GroupBox_SourceImage;
    const QFont courier = namedFont("Courier New", 12);
    const int rowHeight = std::max(16, QFontMetrics(courier).height());
    const int first = std::max(20, groupBoxContentTop(GroupBox_SourceImage) + 2);
    // Wide enough for the figures written into them later.
    const int labelWidth = std::max(200, textWidth(courier, "Exist Image Qty: 4294967295") + 4);
    Label_FreeSpace =
        label(box, "Label_FreeSpace", "Free Space:", 10, first, labelWidth, rowHeight, courier);
    Label_ImageQty = label(box, "Label_ImageQty", "Exist Image Qty:", 10, first + rowHeight + 4,
                           labelWidth, rowHeight, courier);

    StringGrid_Images = new QTableWidget(4, 4, box);
    StringGrid_Images->setObjectName("StringGrid_Images");
    StringGrid_Images->setFont(sizedFont(12));
    StringGrid_Images->setHorizontalHeaderLabels({"Name", "Capacity", "Data Size", "Last Addr"});
    StringGrid_Images->verticalHeader()->setVisible(false); // no fixed column
    const int gridRow = std::max(20, StringGrid_Images->fontMetrics().height() + 4);
    StringGrid_Images->verticalHeader()->setDefaultSectionSize(gridRow);
    StringGrid_Images->horizontalHeader()->setDefaultSectionSize(100);
    StringGrid_Images->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    StringGrid_Images->setShowGrid(true);
    StringGrid_Images->setFocusPolicy(Qt::NoFocus);
    // The heading and five rows, as the first drawing showed.
    const int frame = 2 * StringGrid_Images->frameWidth();
    const int gridTop = Label_ImageQty->geometry().bottom() + 1 + 4;
    const int gridWidth = std::max(450, 4 * 100 + frame + 2);
    const int gridHeight = std::max(
        130, StringGrid_Images->horizontalHeader()->sizeHint().height() + 4 * gridRow + frame + 2);
    StringGrid_Images->setGeometry(10, gridTop, gridWidth, gridHeight);

    Button_AddImage = new QPushButton("Add Image", box);
    Button_DeleteImage = new QPushButton("Delete Image", box);
    Button_RenameImage = new QPushButton("Rename Image", box);
    int buttonWidth = 150, buttonHeight = 40;
    for (QPushButton* b : {Button_AddImage, Button_DeleteImage, Button_RenameImage}) {
        b->setFont(sizedFont(12));
        buttonWidth = std::max(buttonWidth, b->sizeHint().width());
        buttonHeight = std::max(buttonHeight, b->sizeHint().height());
    }
    const int buttonLeft = std::max(StringGrid_Images->geometry().right() + 1 + 10,
                                    Label_ImageQty->geometry().right() + 1 + 10);
    int y = first;
    for (QPushButton* b : {Button_AddImage, Button_DeleteImage, Button_RenameImage}) {
        b->setGeometry(buttonLeft, y, buttonWidth, buttonHeight);
        y += buttonHeight + 5;
    }
    connect(Button_AddImage, &QPushButton::clicked, this, [this] { Button_AddImageClick(); });
    connect(Button_DeleteImage, &QPushButton::clicked, this, [this] { Button_DeleteImageClick(); });
    connect(Button_RenameImage, &QPushButton::clicked, this, [this] { Button_RenameImageClick(); });
    const int width = std::max(500, buttonLeft + buttonWidth + 10);
    const int height = std::max({200, StringGrid_Images->geometry().bottom() + 1 + 10, y + 5});
    GroupBox_SourceImage->setGeometry(left, top, width, height);
}

void TFormMachine::buildPorts() {
    const PortMapLayout& L = layout_;
    GroupBox_Port.assign(size_t(L.portCount), nullptr);
    Edit_PortLine1.assign(size_t(L.portCount), nullptr);
    Edit_PortLine2.assign(size_t(L.portCount), nullptr);
    // The form's own font: the status lines are laid out in fixed-width columns.
    const QFont font = namedFont("Courier New", L.portFontSize);
    int lineTop = L.lineTop, lineWidth = L.lineWidth, lineHeight = L.lineHeight;
    for (int i = 0; i < L.portCount; ++i) {
        if (!L.ports[i].created)
            continue;
        auto* box = new QGroupBox(QString::fromStdString(portCaption(i, L.kind)), GroupBox_Machine);
        box->setFont(font);
        auto* line1 = edit(box, "Edit_PortLine1", " ", 0, 0, 1, 1, font, true);
        auto* line2 = edit(box, "Edit_PortLine2", " ", 0, 0, 1, 1, font, true);
        line1->setTextMargins(0, 0, 0, 0);
        line2->setTextMargins(0, 0, 0, 0);
        if (!portBoxSize_.isValid()) {
            // Every box alike: room under the caption "#256" for two lines of
            // the longest usual status ("Size NotEnough", "Ready  7450M").
            QGroupBox probe("#256", GroupBox_Machine);
            probe.setFont(font);
            lineTop = std::max(L.lineTop, groupBoxContentTop(&probe));
            const QSize need = editSizeFor(line1, QString(15, '0'));
            lineWidth = std::max(L.lineWidth, need.width());
            lineHeight = std::max(L.lineHeight, need.height());
            portBoxSize_ = QSize(std::max(L.portWidth, L.lineLeft + lineWidth + L.lineLeft),
                                 std::max(L.portHeight, lineTop + 2 * lineHeight + 3));
        }
        box->resize(portBoxSize_);
        line1->setGeometry(L.lineLeft, lineTop, lineWidth, lineHeight);
        line2->setGeometry(L.lineLeft, lineTop + lineHeight, lineWidth, lineHeight);
        GroupBox_Port[size_t(i)] = box;
        Edit_PortLine1[size_t(i)] = line1;
        Edit_PortLine2[size_t(i)] = line2;
    }
}

void TFormMachine::resetColours() {
    setBackground(Panel_Main, bgr(kSilver));
    setBackground(GroupBox_Machine, bgr(kSilver));
    setBase(Edit_Function, systemWindowColour());
    for (size_t i = 0; i < GroupBox_Port.size(); ++i) {
        if (!GroupBox_Port[i])
            continue;
        setBackground(GroupBox_Port[i], bgr(kSilver));
        setBase(Edit_PortLine1[i], systemWindowColour());
        setBase(Edit_PortLine2[i], systemWindowColour());
    }
}

// --- status ---------------------------------------------------------------

void TFormMachine::OnStatus(int code, const void* data) {
    // The continue-or-finish question runs a nested event loop, in which the
    // machine may be unplugged and this window destroyed.
    QPointer<TFormMachine> alive(this);
    switch (code) {
    case STATUS_SILENCE:
        showSilence(*static_cast<const bool*>(data));
        return;
    case STATUS_WRITE_RESULT:
        onWriteResult(*static_cast<const WriteOutcome*>(data));
        return;
    case STATUS_DEVICE_INFO_FAILED:
        if (deviceInfoSink)
            deviceInfoSink->showFailure(static_cast<const char*>(data));
        return;
    default:
        break;
    }
    board_.onStatus(code, data);
    if (!alive)
        return;
    if (code == STATUS_MACHINE) {
        if (!waitingForOperator()) {
            // Answered at its panel, or moved on: nothing left to answer here.
            waitingPolls_ = 0;
            if (Panel_Question && !Panel_Question->isHidden())
                Panel_Question->hide();
            if (continueDialog_->isVisible())
                continueDialog_->reject();
        } else if (requests_.answerPending()) {
            waitingPolls_ = 0;
        } else if (++waitingPolls_ >= 2) {
            // Still waiting, with no question open and no answer on its way (a
            // question the machine's sub-state did not bring): ask it now.
            askContinueOrFinish();
        }
    }
    sync();
}

void TFormMachine::sync() {
    const PortStatusBoard::Changes changes = board_.takeChanges();
    if (changes.menus) {
        const MenuState& m = board_.menus();
        Menu_Machine->menuAction()->setEnabled(m.machine);
        Menu_LogData->menuAction()->setEnabled(m.logData);
        Menu_Action->menuAction()->setEnabled(m.action);
        Item_GetInfo->setEnabled(m.getInfo);
    }
    if (!windowReady_)
        return;
    if (changes.function)
        Edit_Function->setText(QString::fromStdString(board_.functionText()));
    if (changes.labels) {
        const JobLabels& j = board_.labels();
        setLabel(Label_Pass, j.pass, 100);
        setLabel(Label_Fail, j.fail, 100);
        setLabel(Label_FailureRate, j.failureRate, 100);
        setLabel(Label_Yield, j.yield, 100);
        setLabel(Label_Remaining, j.remaining, 100);
        setTextColour(Label_Remaining, bgr(j.remainingColour == TextColour::Red ? kRed : kBlue));
    }
    for (size_t i = 0; i < GroupBox_Port.size(); ++i)
        if (changes.ports.test(i))
            paintPort(int(i));
}

void TFormMachine::paintPort(int i) {
    QLineEdit* line1 = Edit_PortLine1[size_t(i)];
    QLineEdit* line2 = Edit_PortLine2[size_t(i)];
    if (!line1)
        return;
    const PortLines& lines = board_.lines(i);
    line1->setText(QString::fromStdString(lines.line1.text));
    line2->setText(QString::fromStdString(lines.line2.text));
    setBase(line1, lineColour(lines.line1.colour));
    setBase(line2, lineColour(lines.line2.colour));
}

void TFormMachine::setLabel(QLabel* l, const std::string& text, int minWidth) {
    if (!l)
        return;
    l->setText(QString::fromStdString(text));
    l->resize(std::max(minWidth, l->sizeHint().width()), l->height());
}

bool TFormMachine::waitingForOperator() const {
    const uint8_t* s = board_.statusCopy();
    return info_.flag_feature_bit3 == 1 && machineActivity(s[2], s[3]) == MachineActivity::Waiting;
}

void TFormMachine::askContinueOrFinish() {
    // Asked from inside the engine's step: shown once the step has returned,
    // window-modal, so that every machine goes on being polled meanwhile.
    if (questionScheduled_)
        return;
    questionScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        questionScheduled_ = false;
        showQuestion();
    });
}

void TFormMachine::showQuestion() {
    // One question at a time; none while an answer is on its way to the
    // machine, for a machine that moved on, or one that does not answer. A
    // question closed without an answer lives on in the bar.
    if (unplugged_ || silent_ || continueDialog_->isVisible() ||
        (Panel_Question && !Panel_Question->isHidden()) || requests_.answerPending() ||
        !waitingForOperator())
        return;
    sync();
    continueDialog_->ask(QString::fromStdString(continueOrFinishText(info_)));
}

void TFormMachine::onQuestionClosed() {
    if (unplugged_)
        return;
    switch (continueDialog_->answer) {
    case TForm_continue_or_exit::Continue:
        postAnswer(true);
        break;
    case TForm_continue_or_exit::Finish:
        postAnswer(false);
        break;
    default:
        // Closed without a button: no answer. While the machine still waits,
        // the window offers the two answers until one is given or the
        // machine moves on.
        if (Panel_Question && waitingForOperator()) {
            Label_Question->setText(QString::fromStdString(continueOrFinishText(info_)));
            Panel_Question->show();
        }
        break;
    }
}

void TFormMachine::postAnswer(bool continueJob) {
    if (unplugged_)
        return;
    const char* name = continueJob ? "continue" : "finish";
    if (silent_) {
        noteRequest(name, true);
        // Not kept for later: the bar stays, to answer once the machine answers again.
        if (Panel_Question) {
            Label_Question->setText(QString::fromStdString(continueOrFinishText(info_)));
            Panel_Question->show();
        }
        ui_.messageBox(kNotAnswering, kJobRefusal);
        return;
    }
    if (Panel_Question)
        Panel_Question->hide();
    waitingPolls_ = 0;
    noteRequest(name);
    if (continueJob)
        requests_.answerContinue();
    else
        requests_.answerFinish();
}

void TFormMachine::showSilence(bool silent) {
    silent_ = silent;
    if (!Label_Silent)
        return;
    if (silent) {
        const LocalTime t = clock_.localTime();
        Label_Silent->setText(QString::fromStdString(
            format("This machine has not answered since %02d:%02d:%02d. Nothing is sent to it, and "
                   "what is asked of it is refused, until it answers again.",
                   t.hour, t.minute, t.second)));
        Label_Silent->show();
        // An answer given now would not reach it.
        if (continueDialog_->isVisible())
            continueDialog_->reject();
    } else {
        Label_Silent->hide();
    }
}

void TFormMachine::onWriteResult(const WriteOutcome& o) {
    // Shown once the engine's step has returned: a box raised here would hold
    // every machine's polling while it is open.
    const char* why = o.result == WriteResult::Refused    ? "The machine refused it"
                      : o.result == WriteResult::NoAnswer ? "The machine did not answer"
                                                          : "The machine does not answer";
    if (o.what == MachineWrite::Clock && clockAsked_) {
        clockAsked_ = false;
        if (o.result == WriteResult::Done) {
            const std::string text = "The machine clock of " + machineNameAndId(info_) +
                                     " was set to the PC's time, " +
                                     computerClockText(clock_.localTime()) + ".";
            statusBar()->showMessage(QString::fromStdString(text));
            ui_.messageBoxLater(text, "Message");
            return;
        }
        statusBar()->clearMessage(); // not "Setting..." any more
        ui_.messageBoxLater(
            format("Can't Set Machine Clock !\n\n%s: its clock was not set to the PC's time.", why),
            "ERROR !");
    } else if (o.what == MachineWrite::Nickname && nicknameAsked_) {
        nicknameAsked_ = false;
        if (o.result == WriteResult::Done) {
            statusBar()->showMessage(
                QString::fromStdString("The machine took the name \"" + nicknameSent_ + "\"."));
            return;
        }
        // The window and the board go back to the name the machine has.
        if (fieldText(info_.nickName, sizeof info_.nickName) == nicknameSent_)
            setNicknameShown(nicknameBefore_);
        ui_.messageBoxLater(format("Can't Set Nickname !\n\n%s: the machine keeps the name "
                                   "\"%s\".",
                                   why, nicknameBefore_.c_str()),
                            "ERROR !");
    }
}

void TFormMachine::SetLogNumber(int n) {
    if (Edit_LogNo)
        Edit_LogNo->setText(QString::number(n));
}

bool TFormMachine::IsStandby() const {
    return windowReady_ && board_.currentFunction() == 0;
}

// --- menu actions ---------------------------------------------------------

bool TFormMachine::refuseUnlessStandby(const char* caption) {
    if (refuseWhileSilent(caption))
        return true;
    if (IsStandby())
        return false;
    ui_.messageBox(kNotInStandby, caption);
    return true;
}

bool TFormMachine::refuseWhileSilent(const char* caption) {
    if (!silent_)
        return false;
    ui_.messageBox(kNotAnswering, caption);
    return true;
}

void TFormMachine::ChangeNicknameClick() {
    if (refuseWhileSilent(kSettingRefusal)) {
        noteRequest("nickname", true);
        return;
    }
    const std::string_view current = fieldText(info_.nickName, sizeof info_.nickName);
    nicknameDialog_->Edit_nickname->setText(
        QString::fromUtf8(current.data(), qsizetype(current.size())));
    QPointer<TFormMachine> alive(this);
    if (nicknameDialog_->exec() != QDialog::Accepted || !alive)
        return;
    // The machine may have started a job while the dialog was open.
    if (refuseUnlessStandby(kSettingRefusal)) {
        noteRequest("nickname", true);
        return;
    }
    noteRequest("nickname");
    const std::string nick = limitNickname(nicknameDialog_->Edit_nickname->text().toStdString());
    nicknameBefore_ = std::string(fieldText(info_.nickName, sizeof info_.nickName));
    setNicknameShown(nick);
    nicknameSent_ = std::string(fieldText(info_.nickName, sizeof info_.nickName));
    nicknameAsked_ = true;
    requests_.setNickname(info_.nickName);
}

void TFormMachine::setNicknameShown(const std::string& nick) {
    copyField(info_.nickName, sizeof info_.nickName, nick);
    windowTitle_ = machineWindowTitle(info_);
    if (GroupBox_Machine)
        GroupBox_Machine->setTitle(QString::fromStdString(windowTitle_));
    updateCaption();
    nameDialogs();
    if (displayRefresh_)
        displayRefresh_(info_);
    if (logWindowCaptionChanged)
        logWindowCaptionChanged(windowTitle_);
}

void TFormMachine::ChangeMachineClockClick() {
    if (refuseWhileSilent(kSettingRefusal)) {
        noteRequest("clock-read", true);
        return;
    }
    noteRequest("clock-read");
    char digits[14];
    QPointer<TFormMachine> alive(this);
    const bool standby = IsStandby();
    if (!requests_.getMachineClock(digits) || !alive) {
        // Busy: silently, as ever. In standby the machine refused or did not answer.
        if (alive && standby)
            ui_.messageBox("Can't Read Machine Clock !\n\nThe machine did not tell its clock: "
                           "nothing was changed.",
                           "ERROR !");
        return;
    }
    clockDialog_->Edit_machineClock->setText(QString::fromStdString(machineClockText(digits)));
    clockDialog_->Edit_computerClock->setText(
        QString::fromStdString(computerClockText(clock_.localTime())));
    if (clockDialog_->exec() != QDialog::Accepted || !alive)
        return;
    if (refuseUnlessStandby(kSettingRefusal)) {
        noteRequest("clock", true);
        return;
    }
    noteRequest("clock");
    clockAsked_ = true;
    requests_.setMachineClock();
    statusBar()->showMessage("Setting the machine clock to the PC's time...");
}

void TFormMachine::nameDialogs() {
    continueDialog_->setWindowTitle(
        QString::fromStdString(titleNamingMachine(kContinueOrFinishCaption, info_)));
    nicknameDialog_->setWindowTitle(
        QString::fromStdString(titleNamingMachine(kNicknameCaption, info_)));
    clockDialog_->setWindowTitle(
        QString::fromStdString(titleNamingMachine(kMachineClockCaption, info_)));
}

void TFormMachine::SetupMachineParameterClick() {
    // 1. The block from the machine; a busy machine ends the action quietly.
    // One that refuses or does not answer gives no block: no dialog opens on
    // values the machine never sent, so OK can never write them back.
    if (refuseWhileSilent(kSettingRefusal)) {
        noteRequest("setup-read", true);
        return;
    }
    noteRequest("setup-read");
    uint8_t block[kSetupBlockSize];
    QPointer<TFormMachine> alive(this);
    const bool standby = IsStandby();
    if (!requests_.getSetupParameters(block) || !alive) {
        if (alive && standby)
            ui_.messageBox("Can't Read Machine Setup !\n\nThe machine did not send its setup "
                           "parameters: nothing was shown or changed.",
                           "ERROR !");
        return;
    }
    // 2. Shown in the dialog.
    if (!setupDialog)
        setupDialog = new TForm_change_setupValue(this);
    setupDialog->loadBlock(block);
    setupDialog->setWindowTitle(QString::fromStdString(titleNamingMachine(kSetupCaption, info_)));
    if (setupDialog->exec() != QDialog::Accepted || !alive)
        return;
    // 3. The machine may have started a job while the dialog was open.
    if (refuseUnlessStandby(kSettingRefusal)) {
        noteRequest("setup", true);
        return;
    }
    noteRequest("setup");
    setupDialog->takeBlock(block);
    requests_.setSetupParameters(block);
}

void TFormMachine::OpenLogWindowClick() {
    if (openLogWindow)
        openLogWindow(windowTitle_);
    else
        notAvailable("The log window");
}

// The figure windows read the same job log as the log viewer: like it, they
// are shown whatever the machine is doing.
void TFormMachine::ShowDetailReportClick() {
    if (openDetailReport)
        openDetailReport(windowTitle_);
    else
        notAvailable("The detail report");
}

void TFormMachine::ShowDailyReportClick() {
    if (openDailyReport)
        openDailyReport(windowTitle_);
    else
        notAvailable("The daily report");
}

void TFormMachine::ShowPerformanceByPortClick() {
    if (openPerformanceByPort)
        openPerformanceByPort(windowTitle_);
    else
        notAvailable("Performance by port");
}

void TFormMachine::notAvailable(const char* what) {
    ui_.messageBox(format("%s is not available in this program yet.", what), "Notice");
}

void TFormMachine::GetInfoClick() {
    if (refuseUnlessStandby(kJobRefusal)) {
        noteRequest("get-info", true);
        return;
    }
    noteRequest("get-info");
    if (openGetInfo)
        openGetInfo();
    else
        notAvailable("Getting device information");
}

void TFormMachine::DownloadSourceFilesClick() {
    if (refuseUnlessStandby(kJobRefusal)) {
        noteRequest("download", true);
        return;
    }
    noteRequest("download");
    if (openDownloadSource)
        openDownloadSource();
    else
        notAvailable("Downloading source files to the master USB stick");
}

void TFormMachine::onDeviceInfo(const DeviceInfoBlock& block) {
    // The function's name first (the board has just refreshed it), then the text.
    sync();
    DeviceInfoText t =
        composeDeviceInfoText(block.data, block.size, info_.deviceType, [this](uint32_t n) {
            return deviceInfoSink && deviceInfoSink->checkSerial(n);
        });
    textBuffer_ = std::move(t.text);
    if (!t.repeatPorts.empty())
        requests_.markPorts(t.repeatPorts.data(), int(t.repeatPorts.size()));
    if (deviceInfoSink)
        deviceInfoSink->showResult(textBuffer_);
}

void TFormMachine::postJob(void (MachineRequests::*request)(), const char* name) {
    if (refuseUnlessStandby(kJobRefusal)) {
        noteRequest(name, true);
        return;
    }
    noteRequest(name);
    (requests_.*request)();
}

void TFormMachine::CopyClick() {
    postJob(&MachineRequests::requestCopy, "copy");
}
void TFormMachine::CompareClick() {
    postJob(&MachineRequests::requestCompare, "compare");
}
void TFormMachine::CopyCompareClick() {
    postJob(&MachineRequests::requestCopyCompare, "copy-compare");
}
void TFormMachine::CopyWriteProtectClick() {
    postJob(&MachineRequests::requestCopyWriteProtect, "copy-wp");
}
void TFormMachine::CopyCompareWriteProtectClick() {
    postJob(&MachineRequests::requestCopyCompareWriteProtect, "copy-compare-wp");
}

void TFormMachine::Button_AddImageClick() {
    if (refuseWhileSilent(kJobRefusal)) {
        noteRequest("image-bank", true);
        return;
    }
    noteRequest("image-bank");
    requests_.requestImageBank();
}

void TFormMachine::noteRequest(const char* name, bool refused) {
    if (noteEvent)
        noteEvent(std::string("request ") + name + (refused ? " refused" : ""));
}

// --- picture and image bank -----------------------------------------------

std::filesystem::path TFormMachine::savePicture() {
    if (!Panel_Main)
        return {};
    // 2, 3. The whole panel, as a JPEG named after the local time.
    const QImage image = Panel_Main->grab().toImage().convertToFormat(QImage::Format_RGB888);
    const std::filesystem::path file = picturePath(workDir_, clock_.localTime());
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const bool written = writeJpegFile(file, image.constBits(), image.width(), image.height(),
                                       int(image.bytesPerLine()), 100);

    // 4. A still copy of the port area (the panel without its top 80
    // pixels) stays below the live one until the next picture.
    const int stillHeight = Panel_Main->height() - 80;
    if (stillHeight > 0) {
        const QPixmap still = Panel_Main->grab(QRect(0, 80, Panel_Main->width(), stillHeight));
        if (!Image_Still) {
            Image_Still = new QLabel(content);
            Image_Still->setObjectName("Image_Still");
            Image_Still->setAttribute(Qt::WA_TranslucentBackground);
        }
        Image_Still->setPixmap(still);
        Image_Still->setGeometry(Panel_Main->x(), Panel_Main->y() + Panel_Main->height() + 15,
                                 still.width(), still.height());
        Image_Still->setEnabled(true);
        Image_Still->show();
        content->resize(std::max(Panel_Main->width(), Image_Still->geometry().right() + 1),
                        Image_Still->geometry().bottom() + 1);
    }
    return written ? file : std::filesystem::path();
}

void TFormMachine::showImageBankInfo(const uint8_t block[256]) {
    std::memcpy(imageBank_, block, sizeof imageBank_);
    if (!GroupBox_SourceImage)
        return;
    const ImageBankFigures bank = imageBankFigures(imageBank_);
    setLabel(Label_FreeSpace, freeSpaceText(bank), 200);
    setLabel(Label_ImageQty, imageQtyText(bank), 200);
    StringGrid_Images->setRowCount(imageGridRows(bank) - 1); // the heading row is the header
}

// --- window events --------------------------------------------------------

void TFormMachine::savePlacement() {
    dupmon::savePlacement(parFilePath_, machineId_, {y(), x(), width(), height()});
}

void TFormMachine::updateCaption() {
    const std::string title = machineWindowCaption(info_, caption_);
    setWindowTitle(QString::fromStdString(
        unplugged_ ? (lost_ ? "Not answering - " : "Unplugged - ") + title : title));
}

void TFormMachine::Button_SaveScreenClick() {
    const std::filesystem::path file = savePicture();
    if (!file.empty())
        statusBar()->showMessage(QString::fromStdString("Picture saved to " + file.string()));
    else
        statusBar()->showMessage(QString::fromStdString(
            "The picture could not be saved in " +
            picturePath(workDir_, clock_.localTime()).parent_path().string()));
}

void TFormMachine::showUnplugged(bool lost) {
    if (unplugged_)
        return;
    // The title keeps the name it had; the record may serve another machine from now on.
    setWindowTitle((lost ? "Not answering - " : "Unplugged - ") + windowTitle());
    unplugged_ = true;
    lost_ = lost;
    // A question or setting still open has no machine to go to.
    for (QDialog* d : {static_cast<QDialog*>(continueDialog_),
                       static_cast<QDialog*>(nicknameDialog_), static_cast<QDialog*>(clockDialog_)})
        if (d->isVisible())
            d->reject();
    menuBar()->setEnabled(false);
    if (Panel_Question)
        Panel_Question->hide();
    if (Label_Silent)
        Label_Silent->hide();
    if (Label_Unplugged) {
        Label_Unplugged->setText(QString::fromStdString(
            lost ? "This machine stopped taking the program's commands: " + machineId_ +
                       ". The window shows its last state. Switch the machine off and on, or "
                       "unplug it and plug it in again, and click its picture on the board for a "
                       "live window."
                 : "This machine was unplugged: " + machineId_ +
                       ". The window shows its last state. Plug it in again and click its "
                       "picture on the board for a live window."));
        Label_Unplugged->show();
    }
}

void TFormMachine::closeEvent(QCloseEvent* event) {
    savePlacement();
    if (noteEvent)
        noteEvent("window-closed");
    QMainWindow::closeEvent(event);
}

bool TFormMachine::eventFilter(QObject* watched, QEvent* event) {
    // A click on the job title starts a new job sheet.
    if (watched == Edit_JobTitle && event->type() == QEvent::MouseButtonPress) {
        Edit_JobTitle->clear();
        Edit_Total->clear();
        Edit_Operator->clear();
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace dupmon
