#pragma once
#include <QMainWindow>
#include <array>
#include <filesystem>
#include <memory>

#include "app/shell_driver.h"
#include "shell/log_windows.h"
#include "shell/machine_display_icon.h"
#include "shell/machine_slots.h"

namespace dupmon {

class DriveService;
class TForm2;
class TForm_DownloadSource;

// The main window: the board of machine pictures, the "System" > "Exit"
// menu, and the three timers behind everything.
class TForm1 : public QMainWindow, public BoardView {
public:
    static constexpr int kPictureCount = 10;

    TForm1(HidBackend& backend, DeviceWatcher* watcher, const Clock& clock, UiServices& ui,
           std::filesystem::path workDir, std::filesystem::path programFile,
           QWidget* parent = nullptr);
    ~TForm1() override;

    MachineSlots& machineSlots() { return *slots_; }
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

    // BoardView
    int placePicture(const MachineInfo& record) override;
    void showOn(int picture, int connection) override;
    void showOff(int picture, int connection) override;
    bool isOn(int picture) const override;
    int pictureConnection(int picture) const override;
    void setCaption(int picture, const MachineInfo& record) override;
    void showActivity(int picture, MachineActivity activity) override;
    void enableWorkTimers() override { driver_.enableWorkTimers(); }
    void stopStartupTimer() override { driver_.stopStartupTimer(); }
    void closeMainWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate();
    void FormClose();
    void Setting1Click() { close(); }

    std::filesystem::path workDir_;
    std::filesystem::path parameterFile_;
    bool positionRestored_ = false;
    bool closed_ = false;
    std::array<std::unique_ptr<MACHINE_DISPLAY_ICON>, kPictureCount> pictures_;
    int picturesPlaced_ = 0;
    int nextPictureX_ = 20;
    int nextPictureY_ = 100;
    ShellDriver driver_;
    LogWindows logWindows_;
    std::unique_ptr<MachineSlots> slots_;
    std::unique_ptr<TForm2> progress_;
    std::unique_ptr<TForm_DownloadSource> download_;
};

} // namespace dupmon
