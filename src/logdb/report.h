#pragma once
// The text report of a machine's job log over a date range: its messages, its
// build, and saving it with a seal.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "logdb/log_database.h"
#include "protocol/machine_info.h"

namespace dupmon {

// A day of the report range, as the date pickers give it.
struct ReportDate {
    uint16_t year = 2000;
    uint16_t month = 1;
    uint16_t day = 1;
};

// The start is not later than the end (year, month, day compared in order).
bool isLegalReportRange(ReportDate start, ReportDate end);
// The record's own date lies in [start, end].
bool isInReportRange(const uint8_t* record, ReportDate start, ReportDate end);

// The header block: print date, machine fields, range, the two heading lines
// of the machine kind and the rule of 175 "=" (no line end after it).
std::string reportHeader(const MachineInfo& info, ReportDate start, ReportDate end,
                         const LocalTime& now);
std::string reportHeadingLines(int deviceType);

// Operator messages of the report window: text, then caption.
struct ReportMessage {
    const char* text;
    const char* caption;
};
constexpr ReportMessage kIllegalDateMessage{"Illegal Date !", "Error"};
constexpr ReportMessage kReadLogFailMessage{"Read Log File FAIL !", "Error"};
constexpr ReportMessage kNoContentsMessage{"no contents need to be saved !", "ERROR !"};
constexpr ReportMessage kCantCreateFileMessage{"Can't Create File !", "ERROR !"};
constexpr ReportMessage kMemoryNotEnoughMessage{"Memory Not Enough !", "ERROR !"};

enum class ReportStatus { Built, IllegalDate, ReadFailed };

struct ReportBuild {
    ReportStatus status = ReportStatus::Built;
    DatabaseResult readResult = PASS;
    // The memo text: each piece added (the header block, each report line)
    // is followed by "\r\n", as a text control's add-line does. Empty for an
    // empty database. Keep the previous memo unless status is Built.
    std::string memo;
    uint32_t linesInRange = 0;
};

// Build report from a database already read (the window keeps its buffer).
ReportBuild buildReport(const LogDatabaseContents& contents, const MachineInfo& info,
                        ReportDate start, ReportDate end, const Clock& clock);
// Build report: check the range, read the whole database, build. With
// `keep`, the records read are handed over (the report window keeps them).
ReportBuild buildReport(const std::filesystem::path& databasePath, const MachineInfo& info,
                        ReportDate start, ReportDate end, const Clock& clock,
                        LogDatabaseContents* keep = nullptr);

// Room the caller leaves after the content for addSeal.
constexpr size_t kSealReserve = 4096;
constexpr const char* kSealNotice =
    "\r\nThe content was protected by Quiet-Mark Technology ! Please check it by QX42Z.exe\r\n";
// Marker, 64 code characters and the notice.
size_t sealLength();

// Add seal: writes the seal behind `contentLength` bytes of content and
// returns the sealed length. The buffer must hold kSealReserve bytes more.
size_t addSeal(uint8_t* buffer, size_t contentLength);

// The bytes Save to File writes for a memo text: the memo without its last
// character, "\r\n\r\n\r\n", then the seal. Empty for an empty memo.
std::vector<uint8_t> sealedReport(std::string_view memo);

enum class ReportSaveStatus { Saved, NoContents, CantCreateFile, MemoryNotEnough };
// Save to File steps 3 to 8 for a chosen file. A file that cannot be written
// whole is removed again, so a failed save leaves no file.
ReportSaveStatus saveReport(const std::filesystem::path& file, std::string_view memo);
// The message the window shows for a failed save (nullptr texts for Saved).
ReportMessage reportSaveMessage(ReportSaveStatus status);

// The inverse of addSeal, for a whole sealed file.
struct SealCheck {
    bool sealFound = false;     // marker, 64 code characters and notice at the end
    uint32_t contentLength = 0; // as the seal carries it
    uint32_t storedCrc = 0;     // as the seal carries it
    uint32_t computedCrc = 0;   // over the content before the seal
    size_t sealOffset = 0;      // where the seal starts in the file
    bool valid = false;         // found, length equals the seal's offset, CRCs equal
};
SealCheck verifySeal(const uint8_t* data, size_t size);
// The same for a sealed file, read a chunk at a time whatever its size.
// `problem` tells why a file could not be read (no seal found then).
SealCheck verifySealedFile(const std::filesystem::path& file, std::string* problem = nullptr);

// Reports are read and written in chunks of this size.
constexpr size_t kReportChunk = size_t(1) << 20;

// Build report and Save to File in one pass, for the log tool: the records
// stream from the database and the report streams into the file with its
// seal, so memory stays at a chunk or two whatever the database's size. The
// bytes are those saveReport writes for the memo buildReport makes. The file
// is written beside `file` and takes its place only when whole.
struct StreamedReport {
    ReportStatus status = ReportStatus::Built;
    DatabaseResult readResult = PASS;
    std::string problem; // why the database could not be read, in words
    ReportSaveStatus save = ReportSaveStatus::Saved;
    uint32_t records = 0; // in the database
    uint32_t linesInRange = 0;
};
StreamedReport writeSealedReport(const std::filesystem::path& databasePath, const MachineInfo& info,
                                 ReportDate start, ReportDate end, const Clock& clock,
                                 const std::filesystem::path& file);

} // namespace dupmon
