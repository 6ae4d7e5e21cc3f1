#pragma once
// The log viewer without its window: captions, messages, its position file,
// and the rows it shows of one machine's job log.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result_codes.h"
#include "logdb/log_record.h"
#include "protocol/machine_info.h"

namespace dupmon {

// What the log viewer shows of one machine's job log, without the window:
// the header row of the machine kind, one row of eight texts per record
// (newest last), its position file, its messages and where it scrolls.

inline constexpr const char* kLogViewerCaption = "LOG Data";
inline constexpr const char* kLogViewerFileMenu = "File";
inline constexpr const char* kLogViewerSaveItem = "SaveToTextFile";
// The viewer opens on at most this many of the newest records; rows that
// arrive while it is open are added beyond it.
constexpr uint32_t kLogViewerLoadLimit = 10000;
// The group box caption holds at most this many bytes.
constexpr size_t kLogViewerCaptionLimit = 127;

// The caption cut to kLogViewerCaptionLimit bytes, never inside a UTF-8 character.
std::string logViewerGroupCaption(std::string_view caption);

// The message box after a failed load: caption "Message", and the name of
// the result (codes 1 to 7) or "DATABASE ERROR !".
inline constexpr const char* kLogViewerMessageCaption = "Message";
std::string logViewerLoadMessage(int result);

// The position file "<dir>/<machineId>.qz9.log.par": a position file
// (common/position_file.h) whose first line is the machine id and a blank.
std::filesystem::path logViewerParameterPath(const std::filesystem::path& dir,
                                             const MachineInfo& info);

// After a row is added: the first row to show so that the last one is in
// view, when fewer rows are visible than there are; nothing otherwise.
std::optional<size_t> logViewerTopRow(size_t rowCount, size_t visibleRowCount);

// The rows of the grid. Records are kept as received and decoded when a
// row is shown, so opening a long log costs one read of its tail.
class LogViewerRows {
public:
    explicit LogViewerRows(int deviceType = 0) : deviceType_(deviceType) {}

    // Load: the newest kLogViewerLoadLimit records of the database, oldest
    // first, replacing what was shown. Returns the read's result code; on
    // failure no row is shown.
    DatabaseResult load(const std::filesystem::path& database);
    // The kLogViewerLoadLimit records before the first one shown, or after
    // the last one (the newest page once it reaches the end), read from the
    // file alone. On failure the rows stay as they were.
    DatabaseResult loadOlder(const std::filesystem::path& database);
    DatabaseResult loadNewer(const std::filesystem::path& database);
    // Add record: counted; one row at the end while the newest records are
    // shown (a page of older ones stays as it is). True when a row was added.
    bool add(const uint8_t* record128);

    // Which records of the file the rows are: the index of the first, the
    // records in the file (with those that arrived since), and whether the
    // rows run to the newest.
    uint64_t firstShown() const { return first_; }
    uint64_t totalRecords() const { return total_; }
    bool showingNewest() const { return newest_; }
    bool hasOlder() const { return first_ > 0; }
    // "All 12 records", "The newest 10,000 of 123,456 records" or "Records 1
    // to 10,000 of 123,456".
    std::string rangeText() const;

    size_t size() const { return records_.size() / kLogRecordSize; }
    const uint8_t* record(size_t row) const { return records_.data() + row * kLogRecordSize; }
    // Header text of a column (row 0 of the grid) and its width in pixels.
    const char* header(int column) const { return logViewerHeader(column, deviceType_); }
    static int width(int column) { return logViewerColumnWidth(column); }
    // The widest text a column of fixed layout holds (number, date and
    // time, port, result, run time, capacity), so that a font wider than the
    // one the widths were made for still shows it whole; empty for the free
    // texts of the function and target columns.
    static const char* widestText(int column);
    // The eight texts of a row.
    const std::array<std::string, kLogViewerColumns>& row(size_t row) const;

private:
    DatabaseResult loadPage(const std::filesystem::path& database, uint64_t end);

    int deviceType_;
    std::vector<uint8_t> records_;
    uint64_t first_ = 0;
    uint64_t total_ = 0;
    bool newest_ = true;
    // A grid paints a row's cells one after another: decode each row once.
    mutable size_t cachedRow_ = SIZE_MAX;
    mutable std::array<std::string, kLogViewerColumns> cached_;
};

} // namespace dupmon
