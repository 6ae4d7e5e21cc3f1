#pragma once
// The main window (TForm1): the board of machine pictures, its System menu,
// and the program-wide windows it makes for every machine window (setup,
// device information, download, log viewers).
#include <QMainWindow>
#include <QPointer>
#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "registry/picture_archive.h"
#include "shell/log_windows.h"
#include "shell/machine_display_icon.h"
#include "shell/machine_slots.h"
#include "shell/shell_driver.h"

class QAction;
class QLabel;
class QScrollArea;

namespace dupmon {

class DriveService;
class HelpWindow;
class TextWindow;
class TForm2;
class TForm_DownloadSource;
class TFormAction_GetDeviceInfo;
class TForm_change_setupValue;
class TFormMachine;

// The main window: the board of machine pictures and the "System" menu
// (About, Help, Exit); its timers are the shell driver's (shell_driver.h).
class TForm1 : public QMainWindow, public BoardView {
public:
    static constexpr int kPictureCount = 10;

    TForm1(HidBackend& backend, DeviceWatcher* watcher, const Clock& clock, UiServices& ui,
           std::filesystem::path workDir, std::filesystem::path programFile,
           QWidget* parent = nullptr);
    ~TForm1() override;

    MachineSlots& machineSlots() { return *slots_; }
    // Program-wide windows that every machine window uses.
    TForm_change_setupValue& setupDialog() { return *setupDialog_; }
    TFormAction_GetDeviceInfo& getDeviceInfoWindow() { return *getDeviceInfo_; }
    // Show the machine windows' hidden "Change Machine Clock" and "Setup
    // Machine Parameter" items (for stand-in machines only).
    void showServiceItems(bool on) { serviceItems_ = on; }
    MACHINE_DISPLAY_ICON& picture(int k) { return *pictures_[size_t(k)]; }
    int picturesPlaced() const { return picturesPlaced_; }
    bool positionRestored() const { return positionRestored_; }
    // The machine with this id is attached and its machine window is on screen.
    bool machineWindowShown(const std::string& machineId);
    // A second start of the program brings this one to the front.
    void activateFromAnotherStart();
    // Makes the download and progress windows, once, over the PC's drives;
    // Action > Download Source Files of every machine window opens it.
    void installDownloadWindow(DriveService& drives, UiServices& ui, const Clock& clock);
    TForm_DownloadSource* downloadWindow() { return download_.get(); }
    // Closes the window without asking, even while jobs run (on a signal).
    void closeWithoutAsking();
    // The scroll area the pictures are in, and the notice of an empty board.
    QScrollArea* boardArea() const { return boardArea_; }
    QWidget* board() const { return board_; }
    QLabel* noMachineNotice() const { return noMachine_; }
    // System > About: the version, the working folder and where each kind of
    // file goes. System > Help: the installed manual, or the README.
    void AboutClick();
    void HelpClick();
    TextWindow* aboutWindow() const { return about_; }
    HelpWindow* helpWindow() const { return help_; }
    QAction* Item_About = nullptr;
    QAction* Item_Help = nullptr;
    // The latest line of the PostgreSQL export (an outage, its end, a setting
    // to correct), kept in the status bar until the next one.
    void showExportLine(const std::string& line);
    // Windows of unplugged machines still on screen.
    std::vector<TFormMachine*> unpluggedWindows() const;
    // The one of them that shows this machine, or null.
    TFormMachine* unpluggedWindowOf(std::string_view machineId) const;

    // BoardView
    int placePicture(const MachineInfo& record) override;
    void showOn(int picture, int connection) override;
    void showOff(int picture, int connection) override;
    bool isOn(int picture) const override;
    int pictureConnection(int picture) const override;
    void setCaption(int picture, const MachineInfo& record) override;
    void showActivity(int picture, MachineActivity activity) override;
    void enableWorkTimers() override { driver_.enableWorkTimers(); }
    void stopStartupTimer() override;
    void closeMainWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FormCreate();
    void FormClose();
    void Setting1Click() { close(); }
    // The names of the machines that run a job now (empty when none does).
    std::string busyMachines();
    // The notice of an empty board shows while no machine is attached.
    void updateNoMachineNotice();
    // The board grows with its pictures; the area scrolls over it.
    void fitBoard();
    // Each picture at its place for the window's width: rows of as many as fit.
    void reflowPictures();
    // Grows the window, within the screen, until every picture shows.
    void showAllMachines();
    // The picture of a machine kind and port count that came with no picture.
    const PicturePair& drawnPicture(uint32_t deviceType, uint32_t ports);

    UiServices& ui_;
    std::filesystem::path workDir_;
    std::filesystem::path parameterFile_;
    bool positionRestored_ = false;
    bool closed_ = false;
    bool closeAsked_ = false; // the operator agreed, or nobody needs asking
    bool startupDone_ = false;
    bool keepUnplugged_ = true; // false from closing on
    QScrollArea* boardArea_ = nullptr;
    QWidget* board_ = nullptr;
    QLabel* noMachine_ = nullptr;
    std::vector<QPointer<TFormMachine>> unplugged_;
    int newWindows_ = 0; // machine windows opened without a kept placement, for cascading
    std::array<std::unique_ptr<MACHINE_DISPLAY_ICON>, kPictureCount> pictures_;
    int picturesPlaced_ = 0;
    int nextPictureX_ = 20;
    int nextPictureY_ = 100;
    std::map<std::pair<uint32_t, uint32_t>, PicturePair> drawnPictures_;
    ShellDriver driver_;
    LogWindows logWindows_;
    std::unique_ptr<TForm_change_setupValue> setupDialog_;
    std::unique_ptr<TFormAction_GetDeviceInfo> getDeviceInfo_;
    bool serviceItems_ = false;
    TextWindow* about_ = nullptr; // made when first asked for, children of the window
    HelpWindow* help_ = nullptr;
    std::unique_ptr<MachineSlots> slots_;
    std::unique_ptr<TForm2> progress_;
    std::unique_ptr<TForm_DownloadSource> download_;
};

} // namespace dupmon
