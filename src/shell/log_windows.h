#pragma once
// The log windows the board keeps for every machine: the report window, the
// log viewers and the figure windows of the LogData menu.
#include <QPointer>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/ui_services.h"
#include "protocol/machine_info.h"

namespace dupmon {

class TFormMachine;
class TFormReport;
class TForm_ShowLog;

// The program's log windows: the one report window, created at start and
// reused for every machine; the log viewer and the three figure windows
// (detail report, daily report, performance by port) that a machine window
// opens from its LogData menu and keeps until it is destroyed; and the modal
// viewer of a machine whose picture is off.
class LogWindows {
public:
    LogWindows(UiServices& ui, const Clock& clock);
    ~LogWindows();

    TFormReport& report() { return *report_; }

    // Wires the machine window's log viewer: opening it, its caption when the
    // machine's name changes, and a row for each record stored while it is open.
    void attach(TFormMachine& window, const MachineInfo& info, std::filesystem::path database,
                std::filesystem::path parameterDir);

    // The viewer of a machine that is off, shown modally and released when closed.
    void showModal(const MachineInfo& entry, const std::string& caption,
                   const std::filesystem::path& database,
                   const std::filesystem::path& parameterDir);

    // The viewer of this log database that is on screen, or null.
    TForm_ShowLog* openViewerOf(const std::filesystem::path& database) const;

private:
    UiServices& ui_;
    const Clock& clock_;
    std::unique_ptr<TFormReport> report_;
    std::vector<QPointer<TForm_ShowLog>> viewers_; // made for machine windows
};

} // namespace dupmon
