#pragma once
// The LOG Data window that shows one machine's job log as a grid.
#include <QMainWindow>
#include <cstdint>
#include <filesystem>
#include <string>

#include "common/ui_services.h"
#include "logdb/log_viewer.h"
#include "protocol/machine_info.h"

class QAction;
class QEventLoop;
class QFrame;
class QGroupBox;
class QLabel;
class QMenu;
class QTableView;

namespace dupmon {

class LogViewerGridModel;
class TFormReport;

// "LOG Data": one machine's job log as a grid, newest at the bottom. It
// loads the newest records when it opens and grows by a row for each record
// that arrives while it is open. File > SaveToTextFile leads to the report
// window. What it shows is decided by LogViewerRows; this only paints it.
class TForm_ShowLog : public QMainWindow {
    Q_OBJECT
public:
    // Create: the machine's record, the group box caption, the log database
    // and the folder of the position file. `report` is the program's one
    // report window (may be absent in a window that only shows).
    TForm_ShowLog(QWidget* owner, const MachineInfo& info, const std::string& caption,
                  std::filesystem::path database, const std::filesystem::path& parameterDir,
                  UiServices& ui, TFormReport* report);
    // Destroy: writes the position file.
    ~TForm_ShowLog() override;

    // Set caption: the group box's new text (the machine's name changed).
    void SetCaption(const std::string& caption);
    // Add record: one row for 128 record bytes as received.
    void AddRecord(const uint8_t* record128);
    // File > SaveToTextFile: the report window, modally, for this machine.
    void SaveToTextFileClick();
    // File > Show Older Records / Show Newer Records: the page of records
    // before or after the one shown, read from the file alone.
    void ShowOlderRecordsClick();
    void ShowNewerRecordsClick();
    // Shown from the board for a machine that is off: returns once closed.
    void showModal();

    const LogViewerRows& rows() const { return rows_; }
    bool positionApplied() const { return positionApplied_; }
    const std::filesystem::path& parameterFile() const { return parameterFile_; }
    const std::filesystem::path& database() const { return database_; }
    // Rows the grid shows whole at its present height.
    int visibleRowCount() const;

    QFrame* Panel = nullptr;
    QGroupBox* GroupBox = nullptr;
    QTableView* StringGrid = nullptr;
    QMenu* Menu_File = nullptr;
    QAction* Item_SaveToTextFile = nullptr;
    QAction* Item_ShowOlderRecords = nullptr;
    QAction* Item_ShowNewerRecords = nullptr;
    // Which records the grid shows, of how many ("The newest 10,000 of 123,456 records").
    QLabel* Label_Records = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void load();
    // After a page was read: the grid, the count line and the two items.
    void pageShown(DatabaseResult result, bool toLast);
    void showRange();
    void scrollToLast();
    void saveParameters();

    const MachineInfo& info_;
    // Kept apart from the record, which may be gone when the window is.
    std::string machineId_;
    std::filesystem::path database_;
    std::filesystem::path parameterFile_;
    UiServices& ui_;
    TFormReport* report_;
    LogViewerRows rows_;
    LogViewerGridModel* model_ = nullptr;
    bool positionApplied_ = false;
    QEventLoop* modalLoop_ = nullptr;
};

} // namespace dupmon
