// The figure windows' shared frame: machine and range labels, date pickers,
// a status line, and reading the log database in the background.
#include "logdb/stats_window.h"

#include <QDateEdit>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/text.h"
#include "logdb/log_database.h"
#include "logdb/log_stats.h"
#include "protocol/machine_names.h"

namespace dupmon {

namespace {

// Days a window shows when it opens: a week up to the newest record.
constexpr int kFirstRangeDays = 7;

QDate qdate(ReportDate d) {
    return QDate(d.year, d.month, d.day);
}

ReportDate reportDate(QDate d) {
    return {uint16_t(d.year()), uint16_t(d.month()), uint16_t(d.day())};
}

QDateEdit* datePicker(QWidget* parent, const char* name) {
    auto* p = new QDateEdit(parent);
    p->setObjectName(name);
    p->setCalendarPopup(true);
    p->setDisplayFormat("yyyy-MM-dd");
    return p;
}

} // namespace

StatsWindow::StatsWindow(QWidget* owner, const char* objectName, const char* title,
                         const MachineInfo& info, const std::string& caption,
                         std::filesystem::path database, UiServices& ui, const Clock& clock)
    : QMainWindow(owner), info_(info), ui_(ui), clock_(clock), title_(title), caption_(caption),
      database_(std::move(database)) {
    setObjectName(objectName);
    setWindowFlag(Qt::Window);
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* central = new QWidget(this);
    layout_ = new QVBoxLayout(central);
    setCentralWidget(central);

    auto* bar = new QFrame(central);
    bar->setObjectName("Panel_range");
    bar->setFrameStyle(QFrame::Panel | QFrame::Raised);
    auto* row = new QHBoxLayout(bar);
    DateEdit_from = datePicker(bar, "DateEdit_from");
    DateEdit_to = datePicker(bar, "DateEdit_to");
    Button_show = new QPushButton("&Show", bar);
    Button_show->setObjectName("Button_show");
    auto* fromLabel = new QLabel("&From", bar);
    fromLabel->setBuddy(DateEdit_from);
    auto* toLabel = new QLabel("&To", bar);
    for (QLabel* l : {fromLabel, toLabel})
        l->setMinimumWidth(l->sizeHint().width() + 6);
    toLabel->setBuddy(DateEdit_to);
    row->addWidget(fromLabel);
    row->addWidget(DateEdit_from);
    row->addWidget(toLabel);
    row->addWidget(DateEdit_to);
    row->addWidget(Button_show);
    row->addStretch(1);
    layout_->addWidget(bar);

    Label_machine = new QLabel(central);
    Label_machine->setObjectName("Label_machine");
    QFont bold = Label_machine->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    Label_machine->setFont(bold);
    Label_machine->setWordWrap(true);
    Label_status = new QLabel(central);
    Label_status->setObjectName("Label_status");
    Label_status->setWordWrap(true);
    layout_->addWidget(Label_machine);
    layout_->addWidget(Label_status);

    connect(Button_show, &QPushButton::clicked, this, [this] { refresh(); });
    updateLabels();
    // The first range is found on the reading thread (it needs the newest
    // record); the subclass's view is in place by the time it comes back.
    QMetaObject::invokeMethod(
        this, [this] { start(true); }, Qt::QueuedConnection);
}

StatsWindow::~StatsWindow() = default;

void StatsWindow::setContent(QWidget* content) {
    layout_->addWidget(content, 1);
}

std::string StatsWindow::cannotRead(DatabaseResult result, const std::string& problem) {
    return "The job log cannot be read: " + errorName(result) +
           (problem.empty() ? "" : " (" + problem + ")");
}

void StatsWindow::setStatus(const std::string& text) {
    Label_status->setText(QString::fromStdString(text));
}

void StatsWindow::SetCaption(const std::string& caption) {
    caption_ = caption;
    updateLabels();
}

std::string StatsWindow::machineAndRange() const {
    if (!shown_)
        return caption_;
    const int64_t days = daysFrom2000(to_) - daysFrom2000(from_) + 1;
    return caption_ + ", " + dayText(from_) + " to " + dayText(to_) +
           format(days == 1 ? " (%lld day)" : " (%lld days)", (long long)days);
}

void StatsWindow::updateLabels() {
    // The title names the machine by name and id, as its log viewer's does.
    setWindowTitle(QString::fromStdString(titleNamingMachine(title_, info_)));
    Label_machine->setText(QString::fromStdString(title_ + ": " + machineAndRange()));
}

void StatsWindow::refresh() {
    const ReportDate from = reportDate(DateEdit_from->date());
    const ReportDate to = reportDate(DateEdit_to->date());
    if (!isLegalReportRange(from, to)) {
        ui_.messageBox(kIllegalDateMessage.text, kIllegalDateMessage.caption);
        return;
    }
    from_ = from;
    to_ = to;
    start(false);
}

void StatsWindow::start(bool automatic) {
    setStatus("Reading the job log...");
    Button_show->setEnabled(false);
    const LocalTime now = clock_.localTime();
    const ReportDate today{uint16_t(now.year), uint16_t(now.month), uint16_t(now.day)};
    background_.start([compute = compute(), database = database_, automatic, today, from = from_,
                       to = to_, this](const std::atomic<bool>& cancel) {
        ReportDate first = from, last = to;
        if (automatic) {
            // A week up to the newest record, or up to today without one.
            const LogDatabaseSummary summary = summarizeLogDatabase(database);
            last = today;
            if (summary.result == PASS && summary.count > 0 && hasRealDate(summary.last))
                last =
                    ReportDate{uint16_t(2000 + summary.last[4]), summary.last[5], summary.last[6]};
            first = dateFrom2000(daysFrom2000(last) - (kFirstRangeDays - 1));
        }
        std::function<void()> show = compute(first, last, cancel);
        return std::function<void()>([this, first, last, show = std::move(show)] {
            from_ = first;
            to_ = last;
            shown_ = true;
            DateEdit_from->setDate(qdate(first));
            DateEdit_to->setDate(qdate(last));
            Button_show->setEnabled(true);
            updateLabels();
            if (show)
                show();
        });
    });
}

} // namespace dupmon
