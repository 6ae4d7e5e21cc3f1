// The machine window: what it does with the engine's status notifications,
// the continue-or-finish question, the menu actions, the picture of the
// window and its unplugged state. Its rules are asked of MachineWindowModel;
// its layout is in tform_machine_layout.cpp, its place on the screen in
// tform_machine_placement.cpp.
#include "machine_window/tform_machine.h"

#include <QAction>
#include <QCloseEvent>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "common/position_file.h"
#include "common/text.h"
#include "machine_window/jpeg_writer.h"
#include "machine_window/tform_continue_or_exit.h"
#include "machine_window/widget_helpers.h"
#include "machine_window/window_texts.h"
#include "protocol/command_machine.h"
#include "protocol/machine_names.h"
#include "settings/tform_change_machine_clock.h"
#include "settings/tform_change_setupvalue.h"
#include "settings/tform_nickname.h"

namespace dupmon {

namespace {

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

// Used when the window is given no engine: every request is refused.
class NoRequests final : public MachineRequests {
public:
    const MachineInfo& info() const override { return info_; }
    bool silent() const override { return false; }
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
    bool takeMasterUsbToPc(const uint8_t*, int*) override { return false; }
    bool returnMasterUsbToDuplicator() override { return false; }

private:
    MachineInfo info_{};
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
      workDir_(std::move(workDir)), board_(info), model_(info, board_) {
    construct(caption);
}

TFormMachine::TFormMachine(QWidget* owner, DisplayRefresh displayRefresh,
                           const std::string& caption, std::filesystem::path logDatabasePath,
                           std::filesystem::path dataDir, MachineInfo& info,
                           MachineRequests& requests, UiServices& ui, const Clock& clock,
                           std::filesystem::path workDir)
    : QMainWindow(owner), requests_(requests), displayRefresh_(std::move(displayRefresh)),
      logDatabasePath_(std::move(logDatabasePath)), dataDir_(std::move(dataDir)), info_(info),
      ui_(ui), clock_(clock), workDir_(std::move(workDir)), board_(info), model_(info, board_) {
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
    if (const auto p = readPositionFile(parFilePath_, machineId_)) {
        move(p->left, p->top);
        resize(p->width, p->height);
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
    const MenuVisibility v = menuVisibility(info_);
    const std::pair<QAction*, bool> items[] = {
        {Item_ChangeMachineClock, v.changeMachineClock},
        {Item_SetupMachineParameter, v.setupMachineParameter},
        {Menu_LogData->menuAction(), v.logData},
        {Menu_System->menuAction(), v.system},
        {Menu_Action->menuAction(), v.action},
        {Item_GetInfo, v.getInfo},
        {Item_DownloadSourceFiles, v.downloadSourceFiles},
        {Item_Copy, v.copy},
        {Item_Compare, v.compare},
        {Item_CopyCompare, v.copyCompare},
        {Item_CopyWriteProtect, v.copyWriteProtect},
        {Item_CopyCompareWriteProtect, v.copyCompareWriteProtect},
        {Item_CapacityCheck, v.capacityCheck},
        {Item_SendFiles, v.sendFiles},
        {Item_NextJob, v.nextJob},
    };
    for (const auto& [item, shown] : items)
        item->setVisible(shown);
}

void TFormMachine::applyMenuEnabling() {
    const MenuEnabling e = model_.menuEnabling();
    menuBar()->setEnabled(e.menuBar);
    Menu_Machine->menuAction()->setEnabled(e.menus.machine);
    Menu_LogData->menuAction()->setEnabled(e.menus.logData);
    Menu_Action->menuAction()->setEnabled(e.menus.action);
    Item_GetInfo->setEnabled(e.menus.getInfo);
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
        switch (model_.onMachineStatus(requests_.answerPending())) {
        case QuestionStep::Withdraw:
            if (Panel_Question && !Panel_Question->isHidden())
                Panel_Question->hide();
            if (continueDialog_->isVisible())
                continueDialog_->reject();
            break;
        case QuestionStep::Ask:
            askContinueOrFinish();
            break;
        case QuestionStep::None:
            break;
        }
    }
    sync();
}

void TFormMachine::sync() {
    const PortStatusBoard::Changes changes = board_.takeChanges();
    if (changes.menus)
        applyMenuEnabling();
    if (!model_.ready())
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
    // A question closed without an answer lives on in the bar.
    const bool questionOpen =
        continueDialog_->isVisible() || (Panel_Question && !Panel_Question->isHidden());
    if (!model_.mayAsk(questionOpen, requests_.answerPending()))
        return;
    sync();
    continueDialog_->ask(QString::fromStdString(model_.questionText()));
}

void TFormMachine::onQuestionClosed() {
    const QuestionAnswer answer =
        continueDialog_->answer == TForm_continue_or_exit::Continue ? QuestionAnswer::Continue
        : continueDialog_->answer == TForm_continue_or_exit::Finish ? QuestionAnswer::Finish
                                                                    : QuestionAnswer::None;
    switch (model_.onQuestionClosed(answer)) {
    case AfterQuestion::PostContinue:
        postAnswer(true);
        break;
    case AfterQuestion::PostFinish:
        postAnswer(false);
        break;
    case AfterQuestion::OfferInBar:
        offerAnswersInBar();
        break;
    case AfterQuestion::Nothing:
        break;
    }
}

void TFormMachine::offerAnswersInBar() {
    if (!Panel_Question)
        return;
    Label_Question->setText(QString::fromStdString(model_.questionText()));
    Panel_Question->show();
}

void TFormMachine::postAnswer(bool continueJob) {
    const char* name = continueJob ? "continue" : "finish";
    switch (model_.answer()) {
    case AnswerStep::Ignore:
        return;
    case AnswerStep::Refuse: {
        noteRequest(name, true);
        offerAnswersInBar();
        const Refusal no = *model_.refusalWhileSilent(kJobRefusal);
        ui_.messageBox(no.text, no.caption);
        return;
    }
    case AnswerStep::Post:
        break;
    }
    if (Panel_Question)
        Panel_Question->hide();
    noteRequest(name);
    if (continueJob)
        requests_.answerContinue();
    else
        requests_.answerFinish();
}

void TFormMachine::showSilence(bool silent) {
    model_.setSilent(silent);
    if (!Label_Silent)
        return;
    if (silent) {
        Label_Silent->setText(
            QString::fromStdString(MachineWindowModel::silenceText(clock_.localTime())));
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
    const std::optional<WriteReport> r = model_.onWriteResult(o, clock_.localTime());
    if (!r)
        return;
    if (r->nicknameReverted)
        showNickname();
    if (!r->statusText.empty())
        statusBar()->showMessage(QString::fromStdString(r->statusText));
    if (r->clearStatus)
        statusBar()->clearMessage();
    if (!r->message.empty())
        ui_.messageBoxLater(r->message, r->caption);
}

void TFormMachine::SetLogNumber(int n) {
    if (Edit_LogNo)
        Edit_LogNo->setText(QString::number(n));
}

bool TFormMachine::IsStandby() const {
    return model_.standby();
}

// --- menu actions ---------------------------------------------------------

bool TFormMachine::refuseUnlessStandby(const char* caption) {
    return refuse(model_.refusalUnlessStandby(caption));
}

bool TFormMachine::refuseWhileSilent(const char* caption) {
    return refuse(model_.refusalWhileSilent(caption));
}

bool TFormMachine::refuse(const std::optional<Refusal>& no) {
    if (!no)
        return false;
    ui_.messageBox(no->text, no->caption);
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
    model_.startNickname(nicknameDialog_->Edit_nickname->text().toStdString());
    showNickname();
    requests_.setNickname(info_.nickName);
}

void TFormMachine::showNickname() {
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
    model_.clockRequested();
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
    ui_.messageBox(MachineWindowModel::notAvailableText(what), "Notice");
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
    writePositionFile(parFilePath_, machineId_ + " ", {y(), x(), width(), height()});
}

void TFormMachine::updateCaption() {
    setWindowTitle(QString::fromStdString(model_.windowCaption(caption_)));
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
    if (!model_.unplug(lost))
        return;
    // The title keeps the name it had; the record may serve another machine from now on.
    setWindowTitle(QString::fromStdString(model_.unpluggedTitlePrefix()) + windowTitle());
    // A question or setting still open has no machine to go to.
    for (QDialog* d : {static_cast<QDialog*>(continueDialog_),
                       static_cast<QDialog*>(nicknameDialog_), static_cast<QDialog*>(clockDialog_)})
        if (d->isVisible())
            d->reject();
    menuBar()->setEnabled(model_.menuEnabling().menuBar);
    if (Panel_Question)
        Panel_Question->hide();
    if (Label_Silent)
        Label_Silent->hide();
    if (Label_Unplugged) {
        Label_Unplugged->setText(QString::fromStdString(model_.unpluggedText(machineId_)));
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
