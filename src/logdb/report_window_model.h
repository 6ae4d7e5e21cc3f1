#pragma once
// What the report window decides and shows, kept apart from the window so
// that tests can check it without a screen.
#include <filesystem>
#include <optional>
#include <string>

#include "common/clock.h"
#include "logdb/report.h"
#include "protocol/machine_info.h"

namespace dupmon {

inline constexpr const char* kReportWindowCaption = "Report";

// What the report window decides, without the window: the machine whose log
// it reports on, the memo it shows, and the message for each failure. One
// window serves every machine; the memo only ever holds the report of the
// machine set last, so a save never writes another machine's report.
class ReportWindowModel {
public:
    explicit ReportWindowModel(const Clock& clock) : clock_(clock) {}

    // Set source: the log viewer calls it just before it shows the window.
    // The machine's fields are copied, so the window never reads a record
    // its viewer has released. Another machine (another log database or
    // machine id) empties the memo; true when it did.
    bool setSource(std::filesystem::path databasePath, const MachineInfo& info);
    // "Report - <name> [<machine id>]".
    std::string windowTitle() const;
    const std::filesystem::path& databasePath() const { return databasePath_; }
    const MachineInfo& machine() const { return info_; }

    // Build report, when a date picker's drop-down closes. On success the
    // memo is replaced; otherwise it stays as it was and the message to show
    // comes back.
    std::optional<ReportMessage> build(ReportDate start, ReportDate end);
    const std::string& memo() const { return memo_; }

    // Save to File, before the save dialog: the message when the memo is empty.
    std::optional<ReportMessage> checkSomethingToSave() const;
    // Save to File, once a file was chosen: the message for a failure.
    std::optional<ReportMessage> save(const std::filesystem::path& file) const;

    // The date pickers start on today's date.
    ReportDate today() const;

    // Window creation: 800 x 600, each cut to the screen, centred on it.
    struct Geometry {
        int left = 0, top = 0, width = 0, height = 0;
        bool operator==(const Geometry&) const = default;
    };
    static Geometry initialGeometry(int screenWidth, int screenHeight);

private:
    const Clock& clock_;
    std::filesystem::path databasePath_;
    MachineInfo info_{};
    std::string memo_;
};

// The memo as a text control shows it: line ends as "\n" (a "\r\n" is one line end).
std::string memoDisplayText(const std::string& memo);

} // namespace dupmon
