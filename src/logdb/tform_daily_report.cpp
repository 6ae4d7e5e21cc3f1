// Show Daily Report: painting the yield and job bars per day, and the table
// of each day's PASS and FAIL per function.
#include "logdb/tform_daily_report.h"

#include <QHeaderView>
#include <QPainter>
#include <QScrollArea>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <map>

#include "common/text.h"
#include "logdb/port_chart.h"
#include "logdb/stats_output.h"

namespace dupmon {

namespace {

// The title of each chart, then room for the value over its highest bar.
constexpr int kLeft = 52, kRight = 16, kTop = 8, kTitle = 22 + 16, kYieldHeight = 150;
constexpr int kLabels = 20, kBetween = 14, kJobHeight = 170;
constexpr int kLeastSlot = 14, kMostSlot = 110;
const QColor kPassColour(0x2E, 0x9E, 0x4F);
const QColor kFailColour(0xC6, 0x28, 0x28);

QColor colourOf(uint32_t rgb) {
    return QColor(int(rgb >> 16 & 0xFF), int(rgb >> 8 & 0xFF), int(rgb & 0xFF));
}

// A round top for the job axis: 1, 2 or 5 times a power of ten.
int roundScale(uint64_t most) {
    uint64_t step = 1;
    for (;;) {
        for (uint64_t m : {1, 2, 5})
            if (most <= m * step)
                return int(std::min<uint64_t>(m * step, INT32_MAX));
        step *= 10;
    }
}

} // namespace

DailyChartWidget::DailyChartWidget(QWidget* parent) : QWidget(parent) {
    setObjectName("DailyChart");
}

void DailyChartWidget::setDays(ReportDate from, ReportDate to, std::vector<DayFigures> days) {
    from_ = from;
    to_ = to;
    firstDay_ = daysFrom2000(from);
    days_ = std::move(days);
    setMinimumSize(QSize(kLeft + kRight + slotCount() * kLeastSlot, sizeHint().height()));
    updateGeometry();
    update();
}

int DailyChartWidget::slotCount() const {
    return int(std::max<int64_t>(1, daysFrom2000(to_) - firstDay_ + 1));
}

int DailyChartWidget::slotWidth() const {
    return std::clamp((width() - kLeft - kRight) / slotCount(), kLeastSlot, kMostSlot);
}

QSize DailyChartWidget::sizeHint() const {
    return QSize(kLeft + kRight + slotCount() * 36,
                 kTop + 2 * kTitle + kYieldHeight + kLabels + kBetween + kJobHeight + kLabels);
}

QRect DailyChartWidget::yieldArea() const {
    return QRect(kLeft, kTop + kTitle, slotCount() * slotWidth(), kYieldHeight);
}

QRect DailyChartWidget::jobArea() const {
    const int top = yieldArea().bottom() + 1 + kLabels + kBetween + kTitle;
    return QRect(kLeft, top, slotCount() * slotWidth(), kJobHeight);
}

int DailyChartWidget::slotOf(ReportDate day) const {
    return int(daysFrom2000(day) - firstDay_);
}

const DayFigures* DailyChartWidget::dayAt(int slot) const {
    const int64_t day = firstDay_ + slot;
    for (const DayFigures& d : days_)
        if (daysFrom2000(d.day) == day)
            return &d;
    return nullptr;
}

int DailyChartWidget::jobScale() const {
    uint64_t most = 1;
    for (const DayFigures& d : days_)
        most = std::max(most, d.counts.finished());
    return roundScale(most);
}

QRect DailyChartWidget::passBar(ReportDate day) const {
    const DayFigures* d = dayAt(slotOf(day));
    if (!d || d->counts.pass == 0)
        return {};
    const QRect area = jobArea();
    const int w = slotWidth();
    const int h = int(double(d->counts.pass) / jobScale() * area.height() + 0.5);
    return QRect(area.left() + slotOf(day) * w + w / 6, area.bottom() + 1 - h, w - w / 3, h);
}

QRect DailyChartWidget::yieldBar(ReportDate day) const {
    const DayFigures* d = dayAt(slotOf(day));
    if (!d || d->counts.finished() == 0)
        return {};
    const QRect area = yieldArea();
    const int w = slotWidth();
    const int h = int(d->counts.yieldPercent() / 100.0 * area.height() + 0.5);
    return QRect(area.left() + slotOf(day) * w + w / 6, area.bottom() + 1 - h, w - w / 3, h);
}

void DailyChartWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    const QColor ink = palette().text().color();
    const QColor grid(200, 200, 200);
    QFont small = font();
    small.setPointSizeF(std::max(6.0, small.pointSizeF() * 0.8));
    QFont bold = font();
    bold.setBold(true);
    const int w = slotWidth();
    const int n = slotCount();
    // Day labels on every slot when they fit, else on every k-th.
    const int every = std::max(1, 44 / w);

    auto axis = [&](const QRect& area, const char* title, int top, const char* unit) {
        p.setFont(bold);
        p.setPen(ink);
        p.drawText(QRect(area.left(), area.top() - kTitle, area.width() + 600, 22),
                   Qt::AlignLeft | Qt::AlignVCenter, title);
        p.setFont(small);
        for (int k = 0; k <= 4; ++k) {
            const int y = area.bottom() - k * area.height() / 4;
            p.setPen(grid);
            p.drawLine(area.left(), y, area.right(), y);
            p.setPen(ink);
            p.drawText(QRect(0, y - 8, kLeft - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                       QString::fromStdString(format("%d%s", top * k / 4, unit)));
        }
        for (int s = 0; s < n; s += every) {
            const ReportDate d = dateFrom2000(firstDay_ + s);
            p.drawText(
                QRect(area.left() + s * w - 20 + w / 2, area.bottom() + 2, 40, kLabels),
                Qt::AlignHCenter | Qt::AlignTop,
                QString::fromStdString(format("%02u-%02u", unsigned(d.month), unsigned(d.day))));
        }
    };

    const QRect yields = yieldArea();
    axis(yields,
         "Yield per day: PASS of the jobs that passed or failed (coloured by failure rate as "
         "in Performance by PORT)",
         100, "%");
    const QRect jobs = jobArea();
    const int scale = jobScale();
    axis(jobs, "Jobs per day: PASS (green) and FAIL (red)", scale, "");

    p.setFont(small);
    for (int s = 0; s < n; ++s) {
        const DayFigures* d = dayAt(s);
        if (!d || d->counts.finished() == 0)
            continue;
        const ReportDate day = d->day;
        // The yield bar takes the failure band of the port chart.
        const QRect y = yieldBar(day);
        p.fillRect(y, colourOf(failureRgb(d->counts)));
        p.setPen(QColor(60, 60, 60));
        p.drawRect(y.adjusted(0, 0, -1, -1));
        if (w >= 30) {
            p.setPen(ink);
            p.drawText(QRect(y.left() - 10, y.top() - 14, y.width() + 20, 14), Qt::AlignCenter,
                       QString::fromStdString(format("%.1f", d->counts.yieldPercent())));
        }
        const int left = jobs.left() + s * w + w / 6, barWidth = w - w / 3;
        const int passHeight = int(double(d->counts.pass) / scale * jobs.height() + 0.5);
        const int failHeight = int(double(d->counts.fail) / scale * jobs.height() + 0.5);
        const QRect pass(left, jobs.bottom() + 1 - passHeight, barWidth, passHeight);
        const QRect fail(left, pass.top() - failHeight, barWidth, failHeight);
        p.fillRect(pass, kPassColour);
        p.fillRect(fail, kFailColour);
        if (w >= 30) {
            p.setPen(ink);
            p.drawText(QRect(left - 10, fail.top() - 14, barWidth + 20, 14), Qt::AlignCenter,
                       QString::number(qulonglong(d->counts.finished())));
        }
    }
}

TFormDailyReport::TFormDailyReport(QWidget* owner, const MachineInfo& info,
                                   const std::string& caption, std::filesystem::path database,
                                   UiServices& ui, const Clock& clock)
    : StatsWindow(owner, "FormDailyReport", "Daily Report", info, caption, std::move(database), ui,
                  clock) {
    auto* split = new QSplitter(Qt::Vertical, this);
    auto* scroll = new QScrollArea(split);
    scroll->setObjectName("ScrollBox_chart");
    scroll->setWidgetResizable(true);
    Chart = new DailyChartWidget(scroll);
    scroll->setWidget(Chart);
    scroll->setMinimumHeight(Chart->sizeHint().height() + 24);
    Table_days = new QTableWidget(split);
    Table_days->setObjectName("Table_days");
    Table_days->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table_days->verticalHeader()->hide();
    split->addWidget(scroll);
    split->addWidget(Table_days);
    setContent(split);
    resize(1000, 820);
}

TFormDailyReport::~TFormDailyReport() = default;

StatsWindow::Compute TFormDailyReport::compute() {
    return reading(&computeLogStats, &TFormDailyReport::showStats);
}

void TFormDailyReport::showStats(LogStats s) {
    Chart->setDays(from(), to(), s.days);
    setStatus(format("%zu days with jobs: PASS %llu, FAIL %llu, yield %.1f%%, %.1f copies per "
                     "working hour.",
                     s.days.size(), (unsigned long long)s.counts.pass,
                     (unsigned long long)s.counts.fail, s.counts.yieldPercent(),
                     s.copiesPerHour()));

    // A column of PASS/FAIL for each function of the range.
    std::vector<uint8_t> functions;
    for (const FunctionFigures& f : s.functions)
        functions.push_back(f.function);
    QStringList headers = {"Day",        "Yield",         "PASS",       "FAIL",
                           "User abort", "Working hours", "Copies/hour"};
    for (uint8_t f : functions)
        headers << QString::fromStdString(functionLabel(f) + " PASS/FAIL");
    Table_days->clear();
    Table_days->setColumnCount(int(headers.size()));
    Table_days->setHorizontalHeaderLabels(headers);
    Table_days->setRowCount(int(s.days.size()));
    auto cell = [&](int row, int column, const std::string& text) {
        auto* item = new QTableWidgetItem(QString::fromStdString(text));
        item->setTextAlignment(column == 0 ? Qt::AlignLeft | Qt::AlignVCenter
                                           : Qt::AlignRight | Qt::AlignVCenter);
        Table_days->setItem(row, column, item);
    };
    for (size_t i = 0; i < s.days.size(); ++i) {
        const DayFigures& d = s.days[i];
        const int row = int(i);
        cell(row, 0, dayText(d.day));
        cell(row, 1, d.counts.finished() ? format("%.1f%%", d.counts.yieldPercent()) : "-");
        cell(row, 2, std::to_string(d.counts.pass));
        cell(row, 3, std::to_string(d.counts.fail));
        cell(row, 4, std::to_string(d.counts.abort));
        cell(row, 5, std::to_string(d.workingHours));
        cell(row, 6, format("%.1f", d.copiesPerHour()));
        for (size_t k = 0; k < functions.size(); ++k) {
            auto it = std::find_if(
                d.functions.begin(), d.functions.end(),
                [&](const DayFunctionCounts& c) { return c.function == functions[k]; });
            cell(row, int(7 + k),
                 it == d.functions.end() ? ""
                                         : format("%llu/%llu", (unsigned long long)it->counts.pass,
                                                  (unsigned long long)it->counts.fail));
        }
    }
    Table_days->resizeColumnsToContents();
    stats_ = std::move(s);
}

} // namespace dupmon
