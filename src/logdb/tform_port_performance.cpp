// Show Performance by PORT: painting the port map coloured by failure rate,
// tips with each port's counts, and a window of a clicked port's failures.
#include "logdb/tform_port_performance.h"

#include <QDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QTableWidget>
#include <QToolTip>
#include <QVBoxLayout>

#include <algorithm>

#include "common/text.h"
#include "common/window_geometry_qt.h"
#include "logdb/log_record.h"
#include "logdb/stats_output.h"

namespace dupmon {

namespace {

constexpr int kCellWidth = 96, kCellHeight = 64, kGap = 6, kMargin = 10;
// Above the grid, the master port of a panel machine and its label.
constexpr int kApartLabel = 18;
// The newest failures a port's window lists.
constexpr size_t kFailuresShown = 5000;

QColor colourOf(uint32_t rgb) {
    return QColor(int(rgb >> 16 & 0xFF), int(rgb >> 8 & 0xFF), int(rgb & 0xFF));
}

std::string percent(double v) {
    return format("%.1f%%", v);
}

std::string cellTip(const PortCell& c) {
    const OutcomeCounts& k = c.counts;
    std::string tip = "Port " + c.caption + "\n";
    if (k.pass + k.fail + k.abort + k.start == 0)
        return tip + "no jobs in the range";
    tip += format("PASS %llu  FAIL %llu", (unsigned long long)k.pass, (unsigned long long)k.fail);
    if (k.abort)
        tip += format("  user abort %llu", (unsigned long long)k.abort);
    tip += "\nfailure rate " + percent(k.failurePercent());
    if (c.standsOut)
        tip += format("\nstands out from the other ports (p = %.2g)", c.pValue);
    return tip + "\nclick for its failures";
}

} // namespace

PortChartWidget::PortChartWidget(QWidget* parent) : QWidget(parent) {
    setObjectName("PortChart");
    setMouseTracking(false);
    setCursor(Qt::PointingHandCursor);
}

void PortChartWidget::setChart(PortChart chart) {
    chart_ = std::move(chart);
    setMinimumSize(sizeHint());
    updateGeometry();
    update();
}

int PortChartWidget::gridTop() const {
    return kMargin + (chart_.hasApart ? kApartLabel + kCellHeight + 2 * kGap : 0);
}

QSize PortChartWidget::sizeHint() const {
    const int columns = std::max(1, chart_.columns);
    const int rows = std::max(1, chart_.rows);
    return QSize(2 * kMargin + columns * kCellWidth + (columns - 1) * kGap,
                 gridTop() + rows * kCellHeight + (rows - 1) * kGap + kMargin);
}

QRect PortChartWidget::cellRect(const PortCell& cell) const {
    if (cell.place.apart)
        return QRect(kMargin, kMargin + kApartLabel, kCellWidth, kCellHeight);
    return QRect(kMargin + cell.place.column * (kCellWidth + kGap),
                 gridTop() + cell.place.row * (kCellHeight + kGap), kCellWidth, kCellHeight);
}

const PortCell* PortChartWidget::cellAt(QPoint point) const {
    for (const PortCell& c : chart_.cells)
        if (cellRect(c).contains(point))
            return &c;
    return nullptr;
}

void PortChartWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(rect(), palette().window());
    QFont captionFont = font();
    captionFont.setBold(true);
    QFont small = font();
    small.setPointSizeF(std::max(6.0, small.pointSizeF() * 0.85));
    if (chart_.hasApart) {
        p.setFont(small);
        p.setPen(palette().windowText().color());
        p.drawText(QRect(kMargin, kMargin, 4 * kCellWidth, kApartLabel),
                   Qt::AlignLeft | Qt::AlignVCenter, "Master port");
    }
    for (const PortCell& c : chart_.cells) {
        const QRect r = cellRect(c);
        const QColor fill = colourOf(c.rgb);
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(fill);
        p.drawRoundedRect(r.adjusted(0, 0, -1, -1), 4, 4);
        // Dark text on the light bands, white on the dark ones.
        const QColor ink = fill.lightness() > 140 ? QColor(20, 20, 20) : QColor(255, 255, 255);
        p.setPen(ink);
        p.setFont(captionFont);
        const QRect inner = r.adjusted(5, 3, -5, -3);
        p.drawText(inner, Qt::AlignLeft | Qt::AlignTop, QString::fromStdString(c.caption));
        p.setFont(small);
        const OutcomeCounts& k = c.counts;
        const bool any = k.pass + k.fail + k.abort + k.start > 0;
        const std::string counts =
            any ? format("P %llu  F %llu", (unsigned long long)k.pass, (unsigned long long)k.fail)
                : "no jobs";
        p.drawText(inner, Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(counts));
        if (k.finished())
            p.drawText(inner, Qt::AlignLeft | Qt::AlignBottom,
                       QString::fromStdString(percent(k.failurePercent()) + " fail"));
        if (c.standsOut) {
            // A thick frame and a badge: seen at a glance on any band.
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(QColor(120, 0, 0), 4));
            p.drawRoundedRect(r.adjusted(2, 2, -3, -3), 4, 4);
            const QRect badge(r.right() - 22, r.top() + 4, 18, 18);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(120, 0, 0));
            p.drawEllipse(badge);
            p.setPen(Qt::white);
            p.setFont(captionFont);
            p.drawText(badge, Qt::AlignCenter, "!");
        }
    }
}

void PortChartWidget::mousePressEvent(QMouseEvent* event) {
    if (const PortCell* c = cellAt(event->position().toPoint()))
        emit portClicked(c->index);
}

bool PortChartWidget::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (const PortCell* c = cellAt(help->pos()))
            QToolTip::showText(help->globalPos(), QString::fromStdString(cellTip(*c)), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

TFormPortPerformance::TFormPortPerformance(QWidget* owner, const MachineInfo& info,
                                           const std::string& caption,
                                           std::filesystem::path database, UiServices& ui,
                                           const Clock& clock)
    : StatsWindow(owner, "FormPortPerformance", "Performance by PORT", info, caption,
                  std::move(database), ui, clock) {
    auto* content = new QWidget(this);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(content);
    ScrollBox_chart = scroll;
    scroll->setObjectName("ScrollBox_chart");
    scroll->setWidgetResizable(true);
    Chart = new PortChartWidget(scroll);
    scroll->setWidget(Chart);
    layout->addWidget(scroll, 1);

    // The legend names every band, the grey of no jobs and the mark.
    std::string legend = "Failure rate of finished jobs: ";
    for (const FailureBand& band : kFailureBands)
        legend += format("<span style=\"background-color:#%06X\">&nbsp;&nbsp;&nbsp;&nbsp;</span>"
                         "&nbsp;%s&nbsp;&nbsp; ",
                         band.rgb, band.label);
    legend += format("<span style=\"background-color:#%06X\">&nbsp;&nbsp;&nbsp;&nbsp;</span>"
                     "&nbsp;no jobs.&nbsp;&nbsp; <b>!</b> in a dark frame: the port's failures "
                     "stand out from the machine's other ports.",
                     kNoJobsRgb);
    Label_legend = new QLabel(QString::fromStdString(legend), content);
    Label_legend->setObjectName("Label_legend");
    Label_legend->setWordWrap(true);
    Label_legend->setToolTip(QString::fromStdString(standOutRule()));
    layout->addWidget(Label_legend);
    Label_outside = new QLabel(content);
    Label_outside->setObjectName("Label_outside");
    Label_outside->setWordWrap(true);
    Label_outside->hide();
    layout->addWidget(Label_outside);
    setContent(content);

    connect(Chart, &PortChartWidget::portClicked, this,
            [this](int index) { showPortFailures(index); });
    Chart->setChart(buildPortChart(info_, LogStats{}));
    // As large as the map, within the screen; a map larger than the screen scrolls.
    QSize size(Chart->sizeHint().width() + 60, Chart->sizeHint().height() + 230);
    if (const QScreen* screen = this->screen())
        size = size.boundedTo(toQRect(freeArea(screen)).size() * 0.95);
    resize(size);
}

TFormPortPerformance::~TFormPortPerformance() = default;

StatsWindow::Compute TFormPortPerformance::compute() {
    return reading(&computeLogStats, &TFormPortPerformance::showStats);
}

void TFormPortPerformance::showStats(LogStats s) {
    const PortChart chart = buildPortChart(info_, s);
    Chart->setChart(chart);
    // Port #01 in view: a panel machine fills its columns from the right.
    for (const PortCell& c : chart.cells)
        if (c.index == 1) {
            ScrollBox_chart->widget()->adjustSize();
            const QRect r = Chart->cellRect(c);
            ScrollBox_chart->ensureVisible(r.center().x(), 0, r.width(), 0);
        }
    std::string marked;
    for (const PortCell& c : chart.cells)
        if (c.standsOut)
            marked += (marked.empty() ? "" : ", ") + c.caption;
    setStatus(format("%llu jobs in the range: PASS %llu, FAIL %llu, yield %.1f%%. ",
                     (unsigned long long)s.inRange, (unsigned long long)s.counts.pass,
                     (unsigned long long)s.counts.fail, s.counts.yieldPercent()) +
              (marked.empty() ? "No port stands out." : "Stands out: " + marked + "."));
    if (chart.outside.empty()) {
        Label_outside->hide();
    } else {
        std::string text = "Records of ports the port map does not hold: ";
        for (size_t i = 0; i < chart.outside.size(); ++i)
            text += format("%sport %u (PASS %llu, FAIL %llu)", i ? ", " : "",
                           unsigned(chart.outside[i].port),
                           (unsigned long long)chart.outside[i].counts.pass,
                           (unsigned long long)chart.outside[i].counts.fail);
        Label_outside->setText(QString::fromStdString(text));
        Label_outside->show();
    }
    stats_ = std::move(s);
}

void TFormPortPerformance::showPortFailures(int index) {
    if (!ranged())
        return;
    const auto cell = std::find_if(Chart->chart().cells.begin(), Chart->chart().cells.end(),
                                   [&](const PortCell& c) { return c.index == index; });
    if (cell == Chart->chart().cells.end())
        return;
    const std::string caption = cell->caption;
    const std::string title = "Failures of port " + caption + " - " + this->caption();
    const std::string range = machineAndRange();
    failureReading_.start([this, database = database(), port = uint16_t(index), from = from(),
                           to = to(), caption, title, range](const std::atomic<bool>& cancel) {
        PortFailures f =
            collectPortFailures(database, port, true, from, to, kFailuresShown, &cancel);
        return std::function<void()>([this, f = std::move(f), port, caption, title, range] {
            if (!failuresWindow_) {
                failuresWindow_ = new QDialog(this);
                failuresWindow_->setObjectName("FormPortFailures");
                auto* layout = new QVBoxLayout(failuresWindow_);
                Label_failures = new QLabel(failuresWindow_);
                Label_failures->setObjectName("Label_failures");
                Label_failures->setWordWrap(true);
                Table_failures = new QTableWidget(failuresWindow_);
                Table_failures->setObjectName("Table_failures");
                Table_failures->setEditTriggers(QAbstractItemView::NoEditTriggers);
                Table_failures->verticalHeader()->hide();
                layout->addWidget(Label_failures);
                layout->addWidget(Table_failures, 1);
                failuresWindow_->resize(1000, 480);
            }
            failuresWindow_->setWindowTitle(QString::fromStdString(title));
            std::string text = "Port " + caption + ", " + range + ": ";
            if (f.result != PASS)
                text += "the job log cannot be read: " + errorName(f.result);
            else if (f.total == 0)
                text += "no failed jobs.";
            else if (f.total > f.records.size())
                text += format("the newest %zu of %llu failed jobs.", f.records.size(),
                               (unsigned long long)f.total);
            else
                text += format("%llu failed jobs.", (unsigned long long)f.total);
            if (stats_)
                for (const PortFigures& p : stats_->ports)
                    if (p.port == port && p.failingLba.n > 0)
                        text += format(" Failing LBAs from %.0f to %.0f, mean %.0f, standard "
                                       "deviation %.0f.",
                                       p.failingLba.min, p.failingLba.max, p.failingLba.mean,
                                       p.failingLba.sd());
            Label_failures->setText(QString::fromStdString(text));
            // The log viewer's columns but the port, which the title names.
            const int columns[] = {0, 1, 3, 4, 5, 6, 7};
            Table_failures->clear();
            Table_failures->setColumnCount(int(std::size(columns)));
            Table_failures->setRowCount(int(f.records.size()));
            QStringList headers;
            for (int c : columns)
                headers << QString(logViewerHeader(c, info_.deviceType)).trimmed();
            Table_failures->setHorizontalHeaderLabels(headers);
            for (size_t row = 0; row < f.records.size(); ++row) {
                const auto cells = logViewerColumns(decodeLogRecord(f.records[row].data()));
                for (size_t k = 0; k < std::size(columns); ++k)
                    Table_failures->setItem(
                        int(row), int(k),
                        new QTableWidgetItem(QString::fromStdString(cells[size_t(columns[k])])));
            }
            Table_failures->resizeColumnsToContents();
            if (!f.records.empty())
                Table_failures->scrollToBottom();
            failuresWindow_->show();
            failuresWindow_->raise();
        });
    });
}

} // namespace dupmon
