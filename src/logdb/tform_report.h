#pragma once
// The Report window that turns a date range of one machine's job log into a
// sealed text report.
#include <QDialog>
#include <filesystem>
#include <functional>
#include <optional>

#include "common/clock.h"
#include "common/ui_services.h"
#include "logdb/report_window_model.h"

class QDateEdit;
class QFileDialog;
class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace dupmon {

// "Report": a date range of one machine's job log as a text report, saved
// with its seal. One window serves the whole program: created at start and
// shown modally by the log viewer, its title naming the machine. A report is
// built when the window opens, when a date picker's calendar closes and with
// the Build button; the decisions are ReportWindowModel's, the window only
// shows its memo and forwards the operator's choices.
class TFormReport : public QDialog {
    Q_OBJECT
public:
    TFormReport(UiServices& ui, const Clock& clock, QWidget* parent = nullptr);

    // Set source: the log database and record of the machine to report on.
    void setSource(const std::filesystem::path& databasePath, const MachineInfo& info);

    // Event handlers.
    void DateTimePicker_startCloseUp() { buildReport(); }
    void DateTimePicker_endCloseUp() { buildReport(); }
    void Button_saveToFileClick();
    void Button_exitClick() { reject(); }
    void Button_buildClick() { buildReport(); }

    const ReportWindowModel& model() const { return model_; }
    // Chooses the file to save to; runs SaveDialog1 unless replaced.
    std::function<std::optional<std::filesystem::path>()> chooseSaveFile;

    QFrame* Panel_top = nullptr;
    QLabel* Label_start = nullptr;
    QLabel* Label_end = nullptr;
    QDateEdit* DateTimePicker_start = nullptr;
    QDateEdit* DateTimePicker_end = nullptr;
    QPushButton* Button_build = nullptr;
    QPushButton* Button_saveToFile = nullptr;
    QPushButton* Button_exit = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QFileDialog* SaveDialog1 = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildReport();
    std::optional<std::filesystem::path> runSaveDialog();
    void tell(const ReportMessage& message);

    UiServices& ui_;
    ReportWindowModel model_;
    QWidget* startCalendar_ = nullptr;
    QWidget* endCalendar_ = nullptr;
};

} // namespace dupmon
