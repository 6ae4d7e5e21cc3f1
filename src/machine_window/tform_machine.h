// One machine's window: the Qt view over the machine's status board and the
// window model (menus, question, nickname, silence and unplug rules).
#pragma once
#include <QMainWindow>
#include <QSize>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/ui_services.h"
#include "machine_window/device_info_text.h"
#include "machine_window/machine_window_model.h"
#include "machine_window/port_map_layout.h"
#include "machine_window/port_status_board.h"
#include "protocol/machine_info.h"
#include "protocol/machine_requests.h"

class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScrollArea;
class QTableWidget;

namespace dupmon {

class COMMAND_MACHINE;
struct WriteOutcome;
class TForm_continue_or_exit;
class TForm_nickname;
class TForm_changeMachineClock;
class TForm_change_setupValue;

// One machine's window: the port map with two live status lines per port,
// the running function, the job panel, the image bank box and the machine
// menu. Built in code from the machine's MachineInfo; what each port shows
// is decided by its PortStatusBoard, the window only paints it.
class TFormMachine : public QMainWindow {
    Q_OBJECT
public:
    // Shows the machine's new name on the main window's board.
    using DisplayRefresh = std::function<void(const MachineInfo& info)>;

    TFormMachine(QWidget* owner, DisplayRefresh displayRefresh, const std::string& caption,
                 std::filesystem::path logDatabasePath, std::filesystem::path dataDir,
                 MachineInfo& info, COMMAND_MACHINE* engine, UiServices& ui, const Clock& clock,
                 std::filesystem::path workDir);
    // The same window, posting its requests to `requests` (kept by the caller).
    TFormMachine(QWidget* owner, DisplayRefresh displayRefresh, const std::string& caption,
                 std::filesystem::path logDatabasePath, std::filesystem::path dataDir,
                 MachineInfo& info, MachineRequests& requests, UiServices& ui, const Clock& clock,
                 std::filesystem::path workDir);
    ~TFormMachine() override;

    // --- entries for the machine connection ---
    // A status notification of the engine (codes as in StatusCode).
    void OnStatus(int code, const void* data);
    void SetLogNumber(int n);
    bool IsStandby() const;
    // The machine does not answer: the window says so and refuses every request.
    bool silent() const { return model_.silent(); }
    // The 256-byte image bank block, numbers in host order.
    void showImageBankInfo(const uint8_t block[256]);
    // The image bank's table of stored images (one byte per place).
    void showImageBankTable(const uint8_t* table, uint32_t count);
    // Saves a JPEG picture of the window and keeps a still copy of the port
    // area below it. Returns the file written (empty when it failed).
    std::filesystem::path savePicture();
    // The save-screen button: saves a picture and says where it went.
    void Button_SaveScreenClick();
    // Scrolls the port map so that port #01 and the job panels are in view
    // (done when the window is first shown).
    void showFirstPortAndJob();
    // The k-th new window of the program opens cascaded from the others;
    // a window with a kept placement stays where it was.
    void placeAsNewWindow(int k);
    // The box of port "#01" (null when the map has none).
    QGroupBox* firstPortBox() const;
    // The machine was unplugged while this window was on screen: it stays,
    // showing the machine's last state, says so, and takes no more orders.
    // `lost`: the machine is still plugged in but took none of the program's
    // reports until its answer time ran out.
    void showUnplugged(bool lost = false);
    bool unplugged() const { return model_.unplugged(); }
    // The id of the machine the window was made for (kept after an unplug).
    const std::string& machineId() const { return machineId_; }
    // Scrolls the port map to where `other`'s is (the window it replaces).
    void takeScrollFrom(const TFormMachine& other);

    // --- windows of other parts, wired by the application ---
    // LogData > OpenLogWindow, with the current caption of GroupBox_Machine.
    std::function<void(const std::string& caption)> openLogWindow;
    // The caption changed with the nickname (for an open log viewer).
    std::function<void(const std::string& caption)> logWindowCaptionChanged;
    // LogData > Show Detail Report, Show Daily Report and Show Performance by
    // PORT, with the current caption of GroupBox_Machine.
    std::function<void(const std::string& caption)> openDetailReport;
    std::function<void(const std::string& caption)> openDailyReport;
    std::function<void(const std::string& caption)> openPerformanceByPort;
    // A job-log record arrived from the machine (for an open log viewer).
    std::function<void(const uint8_t* record128)> logRecordArrived;
    // Action > Get Info and Action > Download Source Files, once standby is
    // checked. Without one, the item says that it is not available.
    std::function<void()> openGetInfo;
    std::function<void()> openDownloadSource;
    // What the operator did, for a wire trace ("window-closed", "request copy",
    // "request copy refused").
    std::function<void(const std::string& what)> noteEvent;
    // The program's setup dialog, created once at start; a window given none
    // makes its own on first use.
    TForm_change_setupValue* setupDialog = nullptr;
    // Where the device information text goes: the get-device-info window.
    DeviceInfoResultSink* deviceInfoSink = nullptr;

    // --- menu actions ---
    void ChangeNicknameClick();
    void ChangeMachineClockClick();
    void SetupMachineParameterClick();
    void OpenLogWindowClick();
    void ShowDetailReportClick();
    void ShowDailyReportClick();
    void ShowPerformanceByPortClick();
    void GetInfoClick();
    void DownloadSourceFilesClick();
    void CopyClick();
    void CompareClick();
    void CopyCompareClick();
    void CopyWriteProtectClick();
    void CopyCompareWriteProtectClick();
    void Button_AddImageClick();
    // The machine takes no request to delete or rename an image: each says so.
    void Button_DeleteImageClick();
    void Button_RenameImageClick();

    // --- state ---
    const PortStatusBoard& board() const { return board_; }
    const PortMapLayout& layout() const { return layout_; }
    bool windowReady() const { return model_.ready(); }
    const MachineWindowModel& model() const { return model_; }
    bool placementLoaded() const { return placementLoaded_; }
    const std::filesystem::path& parFilePath() const { return parFilePath_; }
    const std::string& windowTitleText() const { return windowTitle_; }
    const uint8_t* imageBankBlock() const { return imageBank_; }
    // The last device information text (the window's text buffer).
    const std::string& deviceInfoText() const { return textBuffer_; }
    TForm_continue_or_exit* continueDialog() const { return continueDialog_; }
    TForm_nickname* nicknameDialog() const { return nicknameDialog_; }
    TForm_changeMachineClock* clockDialog() const { return clockDialog_; }

    // --- controls (null when the machine has more ports than the window holds) ---
    QScrollArea* scrollArea = nullptr;
    QWidget* content = nullptr;
    QFrame* Panel_Main = nullptr;
    QGroupBox* GroupBox_Machine = nullptr;
    QLineEdit* Edit_Function = nullptr;
    QFrame* Panel_JobInfo = nullptr;
    QFrame* Panel_JobTime = nullptr;
    QLineEdit* Edit_JobTitle = nullptr;
    QLineEdit* Edit_Total = nullptr;
    QLabel* Label_Remaining = nullptr;
    QLabel* Label_Pass = nullptr;
    QLabel* Label_Fail = nullptr;
    QLabel* Label_FailureRate = nullptr;
    QLabel* Label_Yield = nullptr;
    QLineEdit* Edit_Operator = nullptr;
    QGroupBox* GroupBox_SourceImage = nullptr;
    QLabel* Label_FreeSpace = nullptr;
    QLabel* Label_ImageQty = nullptr;
    QTableWidget* StringGrid_Images = nullptr;
    QPushButton* Button_AddImage = nullptr;
    QPushButton* Button_DeleteImage = nullptr;
    QPushButton* Button_RenameImage = nullptr;
    QLabel* Label_Log = nullptr;
    QLineEdit* Edit_LogNo = nullptr;
    QPushButton* Button_SaveScreen = nullptr;
    // Indexed by port; null for ports the map has no place for.
    std::vector<QGroupBox*> GroupBox_Port;
    std::vector<QLineEdit*> Edit_PortLine1;
    std::vector<QLineEdit*> Edit_PortLine2;
    // The still copy of the port area, shown once a picture was taken.
    QLabel* Image_Still = nullptr;
    // Above the port map once the machine is unplugged.
    QLabel* Label_Unplugged = nullptr;
    // Above the port map while the machine does not answer.
    QLabel* Label_Silent = nullptr;
    // Above the port map while the machine waits for an answer that the
    // continue-or-finish question did not get (closed with Esc or its close box).
    QFrame* Panel_Question = nullptr;
    QLabel* Label_Question = nullptr;
    QPushButton* Button_QuestionContinue = nullptr;
    QPushButton* Button_QuestionFinish = nullptr;

    // --- menus ---
    QMenu* Menu_Machine = nullptr;
    QAction* Item_ChangeNickname = nullptr;
    QAction* Item_ChangeMachineClock = nullptr;
    QAction* Item_SetupMachineParameter = nullptr;
    QMenu* Menu_LogData = nullptr;
    QAction* Item_OpenLogWindow = nullptr;
    QAction* Item_ShowDetailReport = nullptr;
    QAction* Item_ShowDailyReport = nullptr;
    QAction* Item_ShowPerformanceByPort = nullptr;
    QMenu* Menu_System = nullptr;
    QMenu* Menu_Action = nullptr;
    QAction* Item_GetInfo = nullptr;
    QAction* Item_DownloadSourceFiles = nullptr;
    QAction* Item_Copy = nullptr;
    QAction* Item_Compare = nullptr;
    QAction* Item_CopyCompare = nullptr;
    QAction* Item_CopyWriteProtect = nullptr;
    QAction* Item_CopyCompareWriteProtect = nullptr;
    QAction* Item_CapacityCheck = nullptr;
    QAction* Item_SendFiles = nullptr;
    QAction* Item_NextJob = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void construct(const std::string& caption);
    void createMenus();
    void applyMenuVisibility();
    void applyMenuEnabling();
    void buildPortMap();
    void buildJobPanels();
    void buildSourceImageBox(int left, int top);
    // The window's size and place on the screen it opens on.
    void fitToScreen();
    // Kind 1 fills its columns from the right: its header moves right by
    // `by` pixels, over the columns it starts from.
    void alignHeaderWithFirstPort(int by);
    void buildPorts();
    void resetColours();
    void savePlacement();
    void updateCaption();

    // Paint what the board changed.
    void sync();
    void paintPort(int i);
    void setLabel(QLabel* label, const std::string& text, int minWidth);
    // Asks, from the event loop and never from inside the engine's step.
    void askContinueOrFinish();
    void showQuestion();
    void onQuestionClosed();
    // The bar above the port map offers Continue and Finish.
    void offerAnswersInBar();
    // The answer from the dialog or from the bar above the port map.
    void postAnswer(bool continueJob);
    bool refuseUnlessStandby(const char* caption);
    bool refuseWhileSilent(const char* caption);
    // Says why, when refused.
    bool refuse(const std::optional<Refusal>& no);
    // A request the operator made (`name` as the trace names it), and whether it was refused.
    void noteRequest(const char* name, bool refused = false);
    void showSilence(bool silent);
    void onWriteResult(const WriteOutcome& outcome);
    // Every title that names the machine follows its record's nickname.
    void showNickname();
    void postJob(void (MachineRequests::*request)(), const char* name);
    void onDeviceInfo(const DeviceInfoBlock& block);
    void notAvailable(const char* what);
    // The titles of the window's own dialogs name the machine.
    void nameDialogs();

    std::unique_ptr<MachineRequests> ownRequests_;
    MachineRequests& requests_;
    DisplayRefresh displayRefresh_;
    std::filesystem::path logDatabasePath_;
    std::filesystem::path dataDir_;
    MachineInfo& info_;
    UiServices& ui_;
    const Clock& clock_;
    std::filesystem::path workDir_;

    PortStatusBoard board_;
    MachineWindowModel model_;
    PortMapLayout layout_;
    QSize portBoxSize_; // measured from the port font when the first box is made
    std::string windowTitle_;
    std::string caption_;   // as the board gave it
    std::string machineId_; // kept: the record may serve another machine after an unplug
    // The question is shown on the next turn of the event loop.
    bool questionScheduled_ = false;
    std::filesystem::path parFilePath_;
    bool placementLoaded_ = false;
    bool shownOnce_ = false;
    uint8_t imageBank_[256] = {};
    std::string textBuffer_;

    TForm_continue_or_exit* continueDialog_ = nullptr;
    TForm_nickname* nicknameDialog_ = nullptr;
    TForm_changeMachineClock* clockDialog_ = nullptr;
};

} // namespace dupmon
