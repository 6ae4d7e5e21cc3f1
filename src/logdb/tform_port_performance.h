#pragma once
// LogData > Show Performance by PORT: the machine's port map, each port
// coloured by the failure rate of its jobs in a range, with its counts, a
// mark on the ports whose failures stand out, and a port's failures a click
// away.
#include <QPointer>
#include <QWidget>
#include <optional>

#include "logdb/port_chart.h"
#include "logdb/stats_window.h"

class QDialog;
class QLabel;
class QScrollArea;
class QTableWidget;

namespace dupmon {

// The port map drawn from a PortChart.
class PortChartWidget : public QWidget {
    Q_OBJECT
public:
    explicit PortChartWidget(QWidget* parent);
    void setChart(PortChart chart);
    const PortChart& chart() const { return chart_; }
    // Where a port's box is drawn (for clicks, tips and tests).
    QRect cellRect(const PortCell& cell) const;
    // The port whose box holds `point`, or nullptr.
    const PortCell* cellAt(QPoint point) const;
    QSize sizeHint() const override;

signals:
    void portClicked(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    int gridTop() const;
    PortChart chart_;
};

class TFormPortPerformance : public StatsWindow {
    Q_OBJECT
public:
    TFormPortPerformance(QWidget* owner, const MachineInfo& info, const std::string& caption,
                         std::filesystem::path database, UiServices& ui, const Clock& clock);
    ~TFormPortPerformance() override;

    // The figures shown (none before the first reading).
    const std::optional<LogStats>& stats() const { return stats_; }
    // A click on a port: its failures in the range, in a window of their own.
    void showPortFailures(int index);
    // The window of the last port clicked, once its failures were read.
    QDialog* failuresWindow() const { return failuresWindow_; }

    QScrollArea* ScrollBox_chart = nullptr;
    PortChartWidget* Chart = nullptr;
    QLabel* Label_legend = nullptr;
    QLabel* Label_outside = nullptr;        // ports of the log the map has no place for
    QTableWidget* Table_failures = nullptr; // in failuresWindow()

protected:
    Compute compute() override;

private:
    void showStats(LogStats stats);

    std::optional<LogStats> stats_;
    QPointer<QDialog> failuresWindow_;
    QLabel* Label_failures = nullptr;
    BackgroundRun failureReading_{this};
};

} // namespace dupmon
