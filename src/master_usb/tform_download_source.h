#pragma once
// The download window ("Download Source Files"): the source folder, job,
// format and volume label the operator chooses, and the memo in which the
// download flow reports.
#include <QDialog>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "common/clock.h"
#include "common/ui_services.h"
#include "master_usb/download_flow.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace dupmon {

// The window's own title; the machine it serves is named after it.
inline constexpr const char* kDownloadSourceCaption = "Download Source Files";

class MachineRequests;
class DriveService;
class TForm2;

// "Download Source Files": choose a source folder, a job and a format, and
// Go refills the machine's master stick (the flow does the work; this window
// shows its memo, what it waits for, and holds its controls). Created once at
// program start. Closing it while the flow runs returns at once: the flow
// ends in the background and says what it left on the stick.
class TForm_DownloadSource : public QDialog, public DownloadView {
public:
    TForm_DownloadSource(DriveService& drives, UiServices& ui, const Clock& clock,
                         std::filesystem::path startupDirectory, TForm2* progress,
                         QWidget* parent = nullptr);
    ~TForm_DownloadSource() override;

    // Given by the machine window before it shows this one modally.
    void setMachine(MachineRequests* machine, std::function<void(const std::string&)> debugLog);
    // Action > Download Source Files of a machine window: the machine, then
    // the window modally. While a flow still ends in the background, the
    // window is shown as it is (for whichever machine it runs) instead.
    // `title` names the machine; a flow still running keeps its own.
    void openFor(MachineRequests* machine, std::function<void(const std::string&)> debugLog,
                 const QString& title = kDownloadSourceCaption);
    // The program is ending: a running flow gives up at once and the
    // window goes.
    void endForExit();
    DownloadFlow& flow() { return *flow_; }

    void Button_selectTargetDirectoryClick();
    // A chosen folder becomes the source, without a trailing separator.
    void selectTargetDirectory(const QString& folder);
    void Button_Run_downloadSourceClick();

    // DownloadView
    void clearMemo() override;
    void addMemoLine(const std::string& line) override;
    void setControlsEnabled(bool on) override;
    void stopProgressTimer() override;
    void showProgress() override;
    void closeProgress() override;
    void closeWindow() override;
    void showWaiting(const std::string& text) override;

    QPushButton* Button_selectTargetDirectory = nullptr;
    QLineEdit* Edit_targetDirectory = nullptr;
    QLabel* Label_job = nullptr;
    QComboBox* ComboBox_job = nullptr;
    QLabel* Label_sourceFormat = nullptr;
    QComboBox* ComboBox_sourceFormat = nullptr;
    QLabel* Label_volumeLabel = nullptr;
    QLineEdit* Edit_volumeLabel = nullptr;
    QPushButton* Button_Run_downloadSource = nullptr;
    QPlainTextEdit* Memo_DownloadSource = nullptr;
    QLabel* Label_waiting = nullptr; // what the flow waits for

protected:
    void reject() override;

private:
    void FormCreate();

    std::unique_ptr<DownloadFlow> flow_;
    TForm2* progress_;
};

} // namespace dupmon
