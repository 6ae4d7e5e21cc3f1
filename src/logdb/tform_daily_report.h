#pragma once
// LogData > Show Daily Report: yield and jobs per day of a range as bars,
// and a table of each day's PASS and FAIL per function.
#include <QWidget>
#include <optional>

#include "logdb/log_stats.h"
#include "logdb/stats_window.h"

class QTableWidget;

namespace dupmon {

// Two bar charts over the days of a range, a slot for every day: the yield,
// and the jobs that passed and failed.
class DailyChartWidget : public QWidget {
    Q_OBJECT
public:
    explicit DailyChartWidget(QWidget* parent);
    void setDays(ReportDate from, ReportDate to, std::vector<DayFigures> days);
    QSize sizeHint() const override;
    // The slot of a day in the range (0 for the first), for tests.
    int slotOf(ReportDate day) const;
    // Where the bar of the day's passed jobs is drawn, empty without jobs.
    QRect passBar(ReportDate day) const;
    QRect yieldBar(ReportDate day) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int slotCount() const;
    int slotWidth() const;
    int jobScale() const;
    QRect yieldArea() const;
    QRect jobArea() const;
    const DayFigures* dayAt(int slot) const;

    ReportDate from_, to_;
    int64_t firstDay_ = 0;
    std::vector<DayFigures> days_;
};

class TFormDailyReport : public StatsWindow {
    Q_OBJECT
public:
    TFormDailyReport(QWidget* owner, const MachineInfo& info, const std::string& caption,
                     std::filesystem::path database, UiServices& ui, const Clock& clock);
    ~TFormDailyReport() override;

    const std::optional<LogStats>& stats() const { return stats_; }

    DailyChartWidget* Chart = nullptr;
    QTableWidget* Table_days = nullptr;

protected:
    Compute compute() override;

private:
    void showStats(LogStats stats);

    std::optional<LogStats> stats_;
};

} // namespace dupmon
