// The log viewer's rows and messages: pages of records loaded, records added
// as they arrive, and the texts the grid shows.
#include "logdb/log_viewer.h"

#include "common/file_io.h"
#include "common/text.h"
#include "logdb/log_tail.h"

namespace dupmon {

namespace fs = std::filesystem;

std::string logViewerGroupCaption(std::string_view caption) {
    return std::string(utf8Prefix(caption, kLogViewerCaptionLimit));
}

std::string logViewerLoadMessage(int result) {
    if (result >= DATABASE_NOT_EXIST && result <= DATABASE_WRITE_FAIL)
        return errorName(result);
    return "DATABASE ERROR !";
}

fs::path logViewerParameterPath(const fs::path& dir, const MachineInfo& info) {
    return dir /
           (machineFileName(fieldText(info.machineId, sizeof info.machineId)) + ".qz9.log.par");
}

std::optional<size_t> logViewerTopRow(size_t rowCount, size_t visibleRowCount) {
    if (visibleRowCount >= rowCount)
        return std::nullopt;
    return rowCount - visibleRowCount;
}

DatabaseResult LogViewerRows::load(const fs::path& database) {
    records_.clear();
    cachedRow_ = SIZE_MAX;
    first_ = total_ = 0;
    newest_ = true;
    return loadPage(database, UINT64_MAX);
}

DatabaseResult LogViewerRows::loadOlder(const fs::path& database) {
    return hasOlder() ? loadPage(database, first_) : PASS;
}

DatabaseResult LogViewerRows::loadNewer(const fs::path& database) {
    if (newest_)
        return PASS;
    // A page that reaches the last record counted is the newest, with
    // whatever arrived since.
    const uint64_t end = first_ + size() + kLogViewerLoadLimit;
    return loadPage(database, end >= total_ ? UINT64_MAX : end);
}

DatabaseResult LogViewerRows::loadPage(const fs::path& database, uint64_t end) {
    LogDatabaseTail page = readLogDatabasePage(database, end, kLogViewerLoadLimit);
    if (page.result != PASS)
        return page.result;
    records_.assign(page.records.get(), page.records.get() + size_t(page.count) * kLogRecordSize);
    cachedRow_ = SIZE_MAX;
    first_ = page.first;
    total_ = page.total;
    newest_ = first_ + page.count >= page.total;
    return PASS;
}

bool LogViewerRows::add(const uint8_t* record128) {
    ++total_;
    if (!newest_)
        return false;
    records_.insert(records_.end(), record128, record128 + kLogRecordSize);
    return true;
}

namespace {

// 123456 as "123,456".
std::string grouped(uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

} // namespace

std::string LogViewerRows::rangeText() const {
    if (total_ == 0)
        return "No records";
    if (first_ == 0 && size() >= total_)
        return total_ == 1 ? "1 record" : "All " + grouped(total_) + " records";
    if (newest_)
        return "The newest " + grouped(size()) + " of " + grouped(total_) + " records";
    return "Records " + grouped(first_ + 1) + " to " + grouped(first_ + size()) + " of " +
           grouped(total_);
}

const char* LogViewerRows::widestText(int column) {
    static const char* const widest[kLogViewerColumns] = {
        "00000",    "0000-00-00 00:00:00",  "00000", "FAIL(LBA:0000000000)", "",
        "00:00:00", "0000.0MB(0000000000)", ""};
    return column >= 0 && column < kLogViewerColumns ? widest[column] : "";
}

const std::array<std::string, kLogViewerColumns>& LogViewerRows::row(size_t row) const {
    if (row != cachedRow_) {
        cached_ = logViewerColumns(decodeLogRecord(record(row)));
        cachedRow_ = row;
    }
    return cached_;
}

} // namespace dupmon
