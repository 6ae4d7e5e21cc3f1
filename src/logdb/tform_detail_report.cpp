// Show Detail Report: the job tree that opens onto each job's records, and
// saving the report as text or CSV.
#include "logdb/tform_detail_report.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QMenuBar>
#include <QTreeView>

#include "common/file_io.h"
#include "common/text.h"
#include "logdb/log_database.h"
#include "logdb/log_record.h"
#include "machine_window/port_map_layout.h"

namespace dupmon {

namespace {

enum Column {
    kJob,
    kStart,
    kEnd,
    kFunction,
    kMedia,
    kPorts,
    kResult,
    kYield,
    kRunTime,
    kTarget,
    kColumns
};
const char* const kHeaders[kColumns] = {
    "Job / No.", "Start / Date-Time", "End",   "Function", "Media size", "Ports", "Result",
    "Yield",     "Run time",          "Target"};

std::string resultCounts(const OutcomeCounts& c) {
    std::string s =
        format("PASS %llu  FAIL %llu", (unsigned long long)c.pass, (unsigned long long)c.fail);
    if (c.abort)
        s += format("  abort %llu", (unsigned long long)c.abort);
    if (c.start)
        s += format("  start %llu", (unsigned long long)c.start);
    return s;
}

} // namespace

JobTreeModel::JobTreeModel(QObject* parent, const MachineInfo& info)
    : QAbstractItemModel(parent), info_(info), kind_(layoutKindOf(info)) {}

void JobTreeModel::setReport(JobReport report, std::filesystem::path database) {
    beginResetModel();
    report_ = std::move(report);
    database_ = std::move(database);
    kind_ = layoutKindOf(info_);
    records_.clear();
    endResetModel();
}

// Top rows carry id 0; a record row carries its job's row + 1.
QModelIndex JobTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= kColumns)
        return {};
    if (!parent.isValid())
        return size_t(row) < report_.jobs.size() ? createIndex(row, column, quintptr(0))
                                                 : QModelIndex();
    if (parent.internalId() != 0 || size_t(parent.row()) >= report_.jobs.size())
        return {};
    return createIndex(row, column, quintptr(parent.row()) + 1);
}

QModelIndex JobTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || child.internalId() == 0)
        return {};
    return createIndex(int(child.internalId() - 1), 0, quintptr(0));
}

int JobTreeModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid())
        return int(report_.jobs.size());
    if (parent.internalId() != 0 || parent.column() != 0)
        return 0;
    return int(report_.jobs[size_t(parent.row())].records);
}

int JobTreeModel::columnCount(const QModelIndex&) const {
    return kColumns;
}

const std::vector<std::array<uint8_t, 128>>& JobTreeModel::recordsOf(size_t job) const {
    auto [it, fresh] = records_.try_emplace(job);
    if (!fresh)
        return it->second;
    // A job's records lie between its first and last slot; others of the
    // slotCount (out of the range) are passed over.
    const JobGroup& j = report_.jobs[job];
    ReadableFile in = openRegularFile(database_);
    const uint32_t slotCount = j.lastIndex - j.firstIndex + 1;
    std::vector<uint8_t> bytes(size_t(slotCount) * kLogRecordSize);
    if (!in || !seekTo(in.file.get(), kLogHeaderSize + uint64_t(j.firstIndex) * kLogRecordSize) ||
        std::fread(bytes.data(), kLogRecordSize, slotCount, in.file.get()) != slotCount)
        return it->second;
    for (uint32_t k = 0; k < slotCount; ++k) {
        const uint8_t* r = bytes.data() + size_t(k) * kLogRecordSize;
        if (report_.ranged && (!hasRealDate(r) || !isInReportRange(r, report_.from, report_.to)))
            continue;
        it->second.emplace_back();
        std::copy(r, r + kLogRecordSize, it->second.back().begin());
    }
    return it->second;
}

QVariant JobTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    const auto text = [](const std::string& s) { return QString::fromStdString(s); };
    if (index.internalId() == 0) {
        const JobGroup& j = report_.jobs[size_t(index.row())];
        switch (index.column()) {
        case kJob:
            return index.row() + 1;
        case kStart:
            return j.dated ? text(clockText(j.started)) : QString("-");
        case kEnd:
            return j.dated ? text(clockText(j.ended)) : QString("-");
        case kFunction:
            return text(j.functionText);
        case kMedia:
            return text(mediaSizeText(j));
        case kPorts:
            return text(portListText(j.ports, kind_));
        case kResult:
            return text(resultCounts(j.counts));
        case kYield:
            return j.counts.finished() ? text(format("%.1f%%", j.counts.yieldPercent()))
                                       : QString("-");
        case kRunTime:
            return text(timeText(j.longestRun));
        default:
            return {};
        }
    }
    const auto& records = recordsOf(size_t(index.internalId() - 1));
    if (size_t(index.row()) >= records.size())
        return {};
    const LogRecord r = decodeLogRecord(records[size_t(index.row())].data());
    const auto columns = logViewerColumns(r);
    switch (index.column()) {
    case kJob:
        return "No. " + text(columns[0]);
    case kStart:
        return text(columns[1]);
    case kFunction:
        return text(columns[4]);
    case kMedia:
        return text(columns[6]);
    case kPorts:
        return text(portCaption(r.port, kind_));
    case kResult:
        return text(columns[3]);
    case kRunTime:
        return text(columns[5]);
    case kTarget:
        return text(columns[7]);
    default:
        return {};
    }
}

QVariant JobTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kColumns)
        return {};
    return QString(kHeaders[section]);
}

TFormDetailReport::TFormDetailReport(QWidget* owner, const MachineInfo& info,
                                     const std::string& caption, std::filesystem::path database,
                                     UiServices& ui, const Clock& clock)
    : StatsWindow(owner, "FormDetailReport", "Detail Report", info, caption, std::move(database),
                  ui, clock) {
    Menu_File = menuBar()->addMenu("&File");
    Item_SaveText = Menu_File->addAction("Save as &Text...");
    Item_SaveCsv = Menu_File->addAction("Save as &CSV...");
    connect(Item_SaveText, &QAction::triggered, this, [this] {
        const std::filesystem::path file = chooseFile("Text files (*.txt)", "txt");
        if (!file.empty())
            saveText(file);
    });
    connect(Item_SaveCsv, &QAction::triggered, this, [this] {
        const std::filesystem::path file = chooseFile("Comma-separated values (*.csv)", "csv");
        if (!file.empty())
            saveCsv(file);
    });
    chooseFile = [this](const char* filter, const char* suffix) {
        QFileDialog dialog(this, "Save the detail report");
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter(filter);
        dialog.setDefaultSuffix(suffix);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::filesystem::path();
        return std::filesystem::path(dialog.selectedFiles().front().toStdString());
    };

    model_ = new JobTreeModel(this, info_);
    Tree_jobs = new QTreeView(this);
    Tree_jobs->setObjectName("Tree_jobs");
    Tree_jobs->setModel(model_);
    Tree_jobs->setUniformRowHeights(true);
    Tree_jobs->setAlternatingRowColors(true);
    Tree_jobs->setEditTriggers(QAbstractItemView::NoEditTriggers);
    setContent(Tree_jobs);
    // A job's records are wider than its row in some columns.
    connect(Tree_jobs, &QTreeView::expanded, this, [this] {
        for (int c : {kJob, kMedia, kResult, kTarget})
            Tree_jobs->resizeColumnToContents(c);
    });
    for (QAction* a : {Item_SaveText, Item_SaveCsv})
        a->setEnabled(false);
    resize(1200, 700);
}

TFormDetailReport::~TFormDetailReport() = default;

StatsWindow::Compute TFormDetailReport::compute() {
    return reading(&groupJobs, &TFormDetailReport::showReport);
}

void TFormDetailReport::showReport(JobReport report) {
    setStatus(format("%zu jobs, %llu records: PASS %llu, FAIL %llu. Open a job for its "
                     "records; File saves the jobs as text or CSV.",
                     report.jobs.size(), (unsigned long long)report.inRange,
                     (unsigned long long)report.counts.pass,
                     (unsigned long long)report.counts.fail));
    model_->setReport(std::move(report), database());
    for (QAction* a : {Item_SaveText, Item_SaveCsv})
        a->setEnabled(true);
    if (!shownOnce_) {
        for (int c = 0; c < kColumns; ++c)
            Tree_jobs->resizeColumnToContents(c);
        shownOnce_ = true;
    }
}

bool TFormDetailReport::save(const std::filesystem::path& file, const std::string& contents) {
    std::string problem;
    if (saveWholeFile(file, contents, problem))
        return true;
    ui_.messageBox(file.string() + " " + problem, "Error");
    return false;
}

bool TFormDetailReport::saveText(const std::filesystem::path& file) {
    return save(file, jobReportText(model_->report(), info_, caption()));
}

bool TFormDetailReport::saveCsv(const std::filesystem::path& file) {
    return save(file, jobReportCsv(model_->report(), info_));
}

} // namespace dupmon
