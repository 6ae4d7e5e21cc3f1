// The report window's decisions: its machine, title, memo and messages, the
// date its pickers start on, and its first size on screen.
#include "logdb/report_window_model.h"

#include <algorithm>

#include "common/text.h"
#include "protocol/machine_names.h"

namespace dupmon {

bool ReportWindowModel::setSource(std::filesystem::path databasePath, const MachineInfo& info) {
    const bool another =
        databasePath != databasePath_ || fieldText(info.machineId, sizeof info.machineId) !=
                                             fieldText(info_.machineId, sizeof info_.machineId);
    databasePath_ = std::move(databasePath);
    info_ = info;
    if (another)
        memo_.clear();
    return another;
}

std::string ReportWindowModel::windowTitle() const {
    return titleNamingMachine(kReportWindowCaption, info_);
}

std::optional<ReportMessage> ReportWindowModel::build(ReportDate start, ReportDate end) {
    ReportBuild built = buildReport(databasePath_, info_, start, end, clock_);
    switch (built.status) {
    case ReportStatus::IllegalDate:
        return kIllegalDateMessage;
    case ReportStatus::ReadFailed:
        return kReadLogFailMessage;
    case ReportStatus::Built:
        break;
    }
    memo_ = std::move(built.memo);
    return std::nullopt;
}

std::optional<ReportMessage> ReportWindowModel::checkSomethingToSave() const {
    if (memo_.empty())
        return kNoContentsMessage;
    return std::nullopt;
}

std::optional<ReportMessage> ReportWindowModel::save(const std::filesystem::path& file) const {
    const ReportSaveStatus status = saveReport(file, memo_);
    if (status == ReportSaveStatus::Saved)
        return std::nullopt;
    return reportSaveMessage(status);
}

ReportDate ReportWindowModel::today() const {
    const LocalTime now = clock_.localTime();
    return {static_cast<uint16_t>(now.year), static_cast<uint16_t>(now.month),
            static_cast<uint16_t>(now.day)};
}

ReportWindowModel::Geometry ReportWindowModel::initialGeometry(int screenWidth, int screenHeight) {
    Geometry g;
    g.width = std::min(800, screenWidth);
    g.height = std::min(600, screenHeight);
    g.left = (screenWidth - g.width) / 2;
    g.top = (screenHeight - g.height) / 2;
    return g;
}

std::string memoDisplayText(const std::string& memo) {
    std::string out;
    out.reserve(memo.size());
    for (size_t i = 0; i < memo.size(); ++i) {
        if (memo[i] == '\r' && i + 1 < memo.size() && memo[i + 1] == '\n')
            continue;
        out.push_back(memo[i]);
    }
    return out;
}

} // namespace dupmon
