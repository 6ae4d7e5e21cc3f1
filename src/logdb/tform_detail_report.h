#pragma once
// LogData > Show Detail Report: the records of a range grouped by job, a
// row per job (start, function, media size, ports, PASS/FAIL, run time) that
// opens onto its records; saved as text or CSV.
#include <QAbstractItemModel>
#include <array>
#include <functional>
#include <map>
#include <optional>

#include "logdb/job_report.h"
#include "logdb/stats_window.h"

class QAction;
class QMenu;
class QTreeView;

namespace dupmon {

// Jobs as rows, each with its records as child rows, read from the database
// when a job is opened.
class JobTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    JobTreeModel(QObject* parent, const MachineInfo& info);
    void setReport(JobReport report, std::filesystem::path database);
    const JobReport& report() const { return report_; }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    // The job's records in the range, read once.
    const std::vector<std::array<uint8_t, 128>>& recordsOf(size_t job) const;

    const MachineInfo& info_;
    LayoutKind kind_ = LayoutKind::Ordinary;
    JobReport report_;
    std::filesystem::path database_;
    mutable std::map<size_t, std::vector<std::array<uint8_t, 128>>> records_;
};

class TFormDetailReport : public StatsWindow {
    Q_OBJECT
public:
    TFormDetailReport(QWidget* owner, const MachineInfo& info, const std::string& caption,
                      std::filesystem::path database, UiServices& ui, const Clock& clock);
    ~TFormDetailReport() override;

    const JobTreeModel& model() const { return *model_; }
    // File > Save as Text and Save as CSV: the jobs shown, to a file the
    // operator names; false (with a message) when it cannot be written.
    bool saveText(const std::filesystem::path& file);
    bool saveCsv(const std::filesystem::path& file);
    // Asks for the file to save to (a save dialog unless a test sets it).
    std::function<std::filesystem::path(const char* filter, const char* suffix)> chooseFile;

    QTreeView* Tree_jobs = nullptr;
    QMenu* Menu_File = nullptr;
    QAction* Item_SaveText = nullptr;
    QAction* Item_SaveCsv = nullptr;

protected:
    Compute compute() override;

private:
    void showReport(JobReport report);
    bool save(const std::filesystem::path& file, const std::string& contents);

    JobTreeModel* model_ = nullptr;
    bool shownOnce_ = false;
};

} // namespace dupmon
