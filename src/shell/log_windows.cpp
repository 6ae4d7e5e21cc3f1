// Making the log windows for machine windows: the viewer, the figure windows
// made on first opening, and the modal viewer of a machine that is off.
#include "shell/log_windows.h"

#include <QPointer>

#include "logdb/tform_daily_report.h"
#include "logdb/tform_detail_report.h"
#include "logdb/tform_port_performance.h"
#include "logdb/tform_report.h"
#include "logdb/tform_show_log.h"
#include "machine_window/tform_machine.h"

namespace dupmon {

namespace {

// A figure window of the LogData menu, made on its first opening and owned
// by the machine window: later openings show it again, with the figures read
// anew.
template <class Window>
std::function<void(const std::string&)>
figureOpener(TFormMachine& window, const MachineInfo& info, std::filesystem::path database,
             UiServices& ui, const Clock& clock, std::shared_ptr<QPointer<Window>> held) {
    return [&window, &info, database = std::move(database), &ui, &clock,
            held](const std::string& caption) {
        if (!*held) {
            *held = new Window(&window, info, caption, database, ui, clock);
        } else {
            (*held)->SetCaption(caption);
            (*held)->refresh();
        }
        (*held)->show();
        (*held)->raise();
        (*held)->activateWindow();
    };
}

} // namespace

LogWindows::LogWindows(UiServices& ui, const Clock& clock)
    : ui_(ui), clock_(clock), report_(std::make_unique<TFormReport>(ui, clock)) {
    report_->setAttribute(Qt::WA_QuitOnClose, false);
}

LogWindows::~LogWindows() = default;

void LogWindows::attach(TFormMachine& window, const MachineInfo& info,
                        std::filesystem::path database, std::filesystem::path parameterDir) {
    // The viewer is a window of its own owned by the machine window: made on
    // the first OpenLogWindow, shown again on later ones, destroyed with it.
    auto viewer = std::make_shared<QPointer<TForm_ShowLog>>();
    auto detail = std::make_shared<QPointer<TFormDetailReport>>();
    auto daily = std::make_shared<QPointer<TFormDailyReport>>();
    auto ports = std::make_shared<QPointer<TFormPortPerformance>>();
    window.openDetailReport = figureOpener(window, info, database, ui_, clock_, detail);
    window.openDailyReport = figureOpener(window, info, database, ui_, clock_, daily);
    window.openPerformanceByPort = figureOpener(window, info, database, ui_, clock_, ports);
    window.openLogWindow = [this, &window, &info, database = std::move(database),
                            parameterDir = std::move(parameterDir),
                            viewer](const std::string& caption) {
        if (!*viewer) {
            *viewer = new TForm_ShowLog(&window, info, caption, database, parameterDir, ui_,
                                        report_.get());
            (*viewer)->setAttribute(Qt::WA_QuitOnClose, false);
            viewers_.emplace_back(*viewer);
        }
        (*viewer)->show();
        (*viewer)->raise();
        (*viewer)->activateWindow();
    };
    window.logWindowCaptionChanged = [viewer, detail, daily, ports](const std::string& caption) {
        if (*viewer)
            (*viewer)->SetCaption(caption);
        for (StatsWindow* w :
             {static_cast<StatsWindow*>(*detail), static_cast<StatsWindow*>(*daily),
              static_cast<StatsWindow*>(*ports)})
            if (w)
                w->SetCaption(caption);
    };
    window.logRecordArrived = [viewer](const uint8_t* record128) {
        if (*viewer)
            (*viewer)->AddRecord(record128);
    };
}

TForm_ShowLog* LogWindows::openViewerOf(const std::filesystem::path& database) const {
    for (const QPointer<TForm_ShowLog>& v : viewers_)
        if (v && v->isVisible() && v->database() == database)
            return v.data();
    return nullptr;
}

void LogWindows::showModal(const MachineInfo& entry, const std::string& caption,
                           const std::filesystem::path& database,
                           const std::filesystem::path& parameterDir) {
    // The machine's log is on screen already (its window stayed after an
    // unplug): that viewer comes to the front, no second one opens.
    if (TForm_ShowLog* open = openViewerOf(database)) {
        open->raise();
        open->activateWindow();
        return;
    }
    TForm_ShowLog viewer(nullptr, entry, caption, database, parameterDir, ui_, report_.get());
    viewer.setAttribute(Qt::WA_QuitOnClose, false);
    viewer.showModal();
}

} // namespace dupmon
