#include "logdb/log_viewer.h"

#include <charconv>

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

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n';
}

// One "%d" of a scanf: blanks, an optional sign, digits that fit an int.
bool takeInt(std::string_view& s, int& out) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    if (i < s.size() && s[i] == '+')
        ++i;
    const char* begin = s.data() + i;
    const char* end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(begin, end, out);
    if (ec != std::errc())
        return false;
    s.remove_prefix(size_t(ptr - s.data()));
    return true;
}

} // namespace

std::optional<LogViewerPosition> parseLogViewerParameters(std::string_view text,
                                                          std::string_view machineId) {
    const size_t lineEnd = text.find('\n');
    if (lineEnd == std::string_view::npos)
        return std::nullopt; // no second line
    std::string_view first = text.substr(0, lineEnd);
    size_t b = 0;
    while (b < first.size() && isBlank(first[b]))
        ++b;
    size_t e = b;
    while (e < first.size() && !isBlank(first[e]))
        ++e;
    const std::string_view word = first.substr(b, e - b);
    if (word.empty() || word != machineId)
        return std::nullopt;
    std::string_view second = text.substr(lineEnd + 1);
    second = second.substr(0, second.find('\n'));
    LogViewerPosition p;
    if (!takeInt(second, p.top) || !takeInt(second, p.left) || !takeInt(second, p.width) ||
        !takeInt(second, p.height))
        return std::nullopt;
    return p;
}

std::string formatLogViewerParameters(std::string_view machineId, const LogViewerPosition& p) {
    return std::string(machineId) + " \n" +
           format("%d %d %d %d \n", p.top, p.left, p.width, p.height);
}

std::optional<LogViewerPosition> loadLogViewerParameters(const fs::path& file,
                                                         std::string_view machineId) {
    // A regular file only: a pipe at the path must not hold the window up.
    const auto text = readSmallFile(file, kLogViewerParameterReadLimit);
    if (!text)
        return std::nullopt;
    return parseLogViewerParameters(*text, machineId);
}

bool saveLogViewerParameters(const fs::path& file, std::string_view machineId,
                             const LogViewerPosition& p) {
    return bool(writeWholeFile(file, formatLogViewerParameters(machineId, p)));
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
