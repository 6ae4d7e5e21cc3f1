// The LOG Data window: the grid model over LogViewerRows, pages of older and
// newer records, rows added as records arrive, and its position file.
#include "logdb/tform_show_log.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFrame>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "common/fixed_pitch_font.h"
#include "common/position_file.h"
#include "common/text.h"
#include "common/window_geometry_qt.h"
#include "logdb/tform_report.h"
#include "protocol/machine_names.h"

namespace dupmon {

namespace fs = std::filesystem;

// The grid's rows as Qt asks for them: texts come from LogViewerRows. Texts
// are the record's bytes, shown one character per byte.
class LogViewerGridModel final : public QAbstractTableModel {
public:
    explicit LogViewerGridModel(const LogViewerRows& rows, QObject* parent)
        : QAbstractTableModel(parent), rows_(rows) {}

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(rows_.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : kLogViewerColumns;
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid() || size_t(index.row()) >= rows_.size())
            return {};
        const std::string& text = rows_.row(size_t(index.row()))[size_t(index.column())];
        return QString::fromLatin1(text.data(), qsizetype(text.size()));
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        return QString::fromLatin1(rows_.header(section));
    }
    // Rows added at the end of LogViewerRows, or a new load.
    void rowsAdded(size_t before) {
        beginInsertRows({}, int(before), int(rows_.size()) - 1);
        endInsertRows();
    }
    void reset() {
        beginResetModel();
        endResetModel();
    }

private:
    const LogViewerRows& rows_;
};

namespace {

QFont courierNew(int points) {
    return fixedPitchFont("Courier New", points);
}

// The form's own size when no position file applies: most of the grid's
// columns, cut to the screen and centred on it.
QRect defaultGeometry(const QWidget* w) {
    const QScreen* s = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    return toQRect(centredInArea({1024, 480}, freeArea(s)));
}

} // namespace

TForm_ShowLog::TForm_ShowLog(QWidget* owner, const MachineInfo& info, const std::string& caption,
                             fs::path database, const fs::path& parameterDir, UiServices& ui,
                             TFormReport* report)
    : QMainWindow(owner, Qt::Window), info_(info),
      machineId_(fieldText(info.machineId, sizeof info.machineId)), database_(std::move(database)),
      parameterFile_(logViewerParameterPath(parameterDir, info)), ui_(ui), report_(report),
      rows_(info.deviceType) {
    setObjectName("Form_ShowLog");
    // 1. Caption and inputs.
    setWindowTitle(QString::fromStdString(titleNamingMachine(kLogViewerCaption, info)));
    // Underlined letters for the keyboard: Alt+F, then S.
    Menu_File = menuBar()->addMenu(QString("&") + kLogViewerFileMenu);
    Item_SaveToTextFile = Menu_File->addAction(QString("&") + kLogViewerSaveItem);
    connect(Item_SaveToTextFile, &QAction::triggered, this, [this] { SaveToTextFileClick(); });
    // The grid holds the newest records; older ones a page at a time.
    Menu_File->addSeparator();
    Item_ShowOlderRecords = Menu_File->addAction("Show &Older Records");
    Item_ShowOlderRecords->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageUp));
    Item_ShowNewerRecords = Menu_File->addAction("Show &Newer Records");
    Item_ShowNewerRecords->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageDown));
    connect(Item_ShowOlderRecords, &QAction::triggered, this, [this] { ShowOlderRecordsClick(); });
    connect(Item_ShowNewerRecords, &QAction::triggered, this, [this] { ShowNewerRecordsClick(); });
    Label_Records = new QLabel(this);
    Label_Records->setObjectName("Label_Records");
    statusBar()->addWidget(Label_Records, 1);

    // 2. Position file: only this machine's applies.
    setGeometry(defaultGeometry(this));
    if (const auto p = readPositionFile(parameterFile_, machineId_)) {
        move(p->left, p->top);
        resize(p->width, p->height);
        positionApplied_ = true;
    }

    // 3. Panel, group box and grid, each filling the one around it.
    Panel = new QFrame(this);
    Panel->setObjectName("Panel");
    Panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    QPalette silver = Panel->palette();
    silver.setColor(QPalette::Window, QColor(0xC0, 0xC0, 0xC0));
    Panel->setPalette(silver);
    Panel->setAutoFillBackground(true);
    setCentralWidget(Panel);
    auto* panelLayout = new QVBoxLayout(Panel);
    panelLayout->setContentsMargins(2, 2, 2, 2);

    GroupBox = new QGroupBox(QString::fromStdString(logViewerGroupCaption(caption)), Panel);
    GroupBox->setObjectName("GroupBox");
    GroupBox->setFont(courierNew(12));
    panelLayout->addWidget(GroupBox);
    auto* boxLayout = new QVBoxLayout(GroupBox);
    boxLayout->setContentsMargins(4, 4, 4, 4);

    StringGrid = new QTableView(GroupBox);
    StringGrid->setObjectName("StringGrid");
    StringGrid->setFont(courierNew(11));
    StringGrid->setFocusPolicy(Qt::ClickFocus); // not a tab stop
    StringGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    StringGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    StringGrid->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    StringGrid->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    StringGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    StringGrid->setShowGrid(true);
    StringGrid->setWordWrap(false);
    StringGrid->verticalHeader()->hide();
    StringGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    StringGrid->verticalHeader()->setDefaultSectionSize(StringGrid->fontMetrics().height() + 6);
    model_ = new LogViewerGridModel(rows_, this);
    StringGrid->setModel(model_);
    QHeaderView* header = StringGrid->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStretchLastSection(false);
    // The columns' own widths, widened where this font would cut a header or
    // a fixed-layout text.
    const QFontMetrics cellFont(StringGrid->font());
    const QFontMetrics headerFont(header->font());
    const int padding = 2 * StringGrid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 12;
    for (int c = 0; c < kLogViewerColumns; ++c) {
        const int fit = std::max(cellFont.horizontalAdvance(LogViewerRows::widestText(c)),
                                 headerFont.horizontalAdvance(rows_.header(c)));
        header->resizeSection(c, std::max(LogViewerRows::width(c), fit + padding));
    }
    boxLayout->addWidget(StringGrid);

    // 4. Only a machine that keeps a job log has one to load.
    if (info_.support_LogRecord == 1)
        load();
    else
        pageShown(PASS, false);
}

TForm_ShowLog::~TForm_ShowLog() {
    saveParameters();
}

void TForm_ShowLog::load() {
    pageShown(rows_.load(database_), true);
}

void TForm_ShowLog::ShowOlderRecordsClick() {
    if (rows_.hasOlder())
        pageShown(rows_.loadOlder(database_), true);
}

void TForm_ShowLog::ShowNewerRecordsClick() {
    if (!rows_.showingNewest())
        pageShown(rows_.loadNewer(database_), false);
}

void TForm_ShowLog::showRange() {
    Item_ShowOlderRecords->setEnabled(rows_.hasOlder());
    Item_ShowNewerRecords->setEnabled(!rows_.showingNewest());
    QString text = QString::fromStdString(rows_.rangeText());
    if (rows_.hasOlder())
        text += "  (older ones: File > Show Older Records)";
    Label_Records->setText(text);
}

void TForm_ShowLog::pageShown(DatabaseResult result, bool toLast) {
    model_->reset();
    if (result != PASS)
        ui_.messageBox(logViewerLoadMessage(result), kLogViewerMessageCaption);
    showRange();
    // The newest records end at the bottom, as they arrive.
    if (toLast || rows_.showingNewest())
        scrollToLast();
    else
        StringGrid->scrollToTop();
}

void TForm_ShowLog::SetCaption(const std::string& caption) {
    GroupBox->setTitle(QString::fromStdString(logViewerGroupCaption(caption)));
    // The machine was renamed: the title names it anew.
    setWindowTitle(QString::fromStdString(titleNamingMachine(kLogViewerCaption, info_)));
}

void TForm_ShowLog::AddRecord(const uint8_t* record128) {
    const size_t before = rows_.size();
    const bool shown = rows_.add(record128);
    showRange();
    if (!shown)
        return; // a page of older records stays as the operator reads it
    model_->rowsAdded(before);
    scrollToLast();
}

int TForm_ShowLog::visibleRowCount() const {
    const int rowHeight = StringGrid->verticalHeader()->defaultSectionSize();
    return rowHeight > 0 ? StringGrid->viewport()->height() / rowHeight : 0;
}

void TForm_ShowLog::scrollToLast() {
    if (rows_.size() == 0)
        return;
    const auto top = logViewerTopRow(rows_.size(), size_t(std::max(visibleRowCount(), 1)));
    if (!top)
        return;
    // The grid lays its rows out lazily; its scroll range must cover the new ones first.
    StringGrid->doItemsLayout();
    StringGrid->scrollTo(model_->index(int(*top), 0), QAbstractItemView::PositionAtTop);
}

void TForm_ShowLog::SaveToTextFileClick() {
    if (!report_)
        return;
    report_->setSource(database_, info_);
    report_->exec();
}

void TForm_ShowLog::showModal() {
    setWindowModality(Qt::ApplicationModal);
    show();
    raise();
    activateWindow();
    QEventLoop loop;
    modalLoop_ = &loop;
    QPointer<TForm_ShowLog> alive(this);
    loop.exec();
    if (alive)
        modalLoop_ = nullptr;
}

void TForm_ShowLog::saveParameters() {
    writePositionFile(parameterFile_, machineId_ + " ", {y(), x(), width(), height()});
}

void TForm_ShowLog::closeEvent(QCloseEvent* event) {
    saveParameters();
    QMainWindow::closeEvent(event);
    if (modalLoop_)
        modalLoop_->quit();
}

void TForm_ShowLog::keyPressEvent(QKeyEvent* event) {
    // Esc closes the viewer, as it closes the program's dialogs.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void TForm_ShowLog::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    // However the window goes away, a modal showing of it is over.
    if (modalLoop_ && !event->spontaneous())
        modalLoop_->quit();
}

void TForm_ShowLog::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    keepOnScreen(this);
    // The grid knows how many rows fit only once it is shown.
    scrollToLast();
}

} // namespace dupmon
