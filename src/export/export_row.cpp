// Turning a stored job-log record into the server's record row: its date,
// outcome and texts decoded as the log viewer shows them, written as a line
// of COPY's text format.
#include "export/export_row.h"

#include <algorithm>
#include <charconv>
#include <unistd.h>

#include "common/byte_order.h"
#include "common/text.h"
#include "logdb/log_record.h"

namespace dupmon {

namespace {

constexpr uint8_t kFunctionCrc64 = 29;

bool isLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// The record's date and time, or empty when the controller's clock gave no real date.
std::string recordedAt(const LogRecord& r) {
    static const int monthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int year = 2000 + r.year;
    if (r.month < 1 || r.month > 12 || r.day < 1 || r.hour > 23 || r.minute > 59 || r.second > 59)
        return {};
    const int days = monthDays[r.month - 1] + (r.month == 2 && isLeapYear(year));
    if (r.day > days)
        return {};
    return format("%04d-%02d-%02d %02d:%02d:%02d", year, r.month, r.day, r.hour, r.minute,
                  r.second);
}

std::string outcomeOf(const std::string& result) {
    if (result == "PASS")
        return "pass";
    if (result == "User Abort")
        return "abort";
    if (result == "START")
        return "start";
    return "fail";
}

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8Sequence(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c >= 0x01 && c <= 0x7F)
        return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;
        hi = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF)
            return 0;
    return n;
}

// A text field of COPY's text format.
void appendCopyText(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out.push_back(c);
        }
    }
}

template <class T> void appendNumber(std::string& out, T value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

} // namespace

std::string serverText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = utf8Sequence(bytes, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, n));
            i += n;
        }
    }
    return out;
}

ExportRow exportRow(std::string_view machineId, const uint8_t* record128) {
    const LogRecord r = decodeLogRecord(record128);
    ExportRow row;
    row.machineId = serverText(machineId);
    row.logNo = r.logNo;
    row.recordedAt = recordedAt(r);
    row.port = r.port;
    row.functionNo = r.function;
    const char* name = functionName(r.function);
    row.functionName = name ? name : format("Function(%d)", r.function);
    row.functionText = serverText(functionText(r));
    row.resultCode = r.resultCode;
    row.result = resultText(r);
    row.outcome = outcomeOf(row.result);
    row.capacitySectors = r.capacity;
    row.dataSectors = r.dataSize;
    row.sectorSize = r.sectorSize;
    row.capacityBytes = uint64_t(r.capacity) * r.sectorSize;
    if (r.function != kFunctionCrc64) {
        row.readBytesPerSecond = uint64_t(r.readSpeed) * r.sectorSize;
        row.writeBytesPerSecond = uint64_t(r.writeSpeed) * r.sectorSize;
    }
    row.runTimeSeconds = runTime(r);
    // As the viewer's last column: a burn-in's loops and errors, or the target.
    const std::string burnIn = burnInText(r);
    row.target = serverText(burnIn.empty() ? targetInfoText(r, TargetForm::Viewer) : burnIn);
    return row;
}

void appendCopyRow(std::string& out, std::string_view machineId, const uint8_t* record128,
                   std::string_view sentBy) {
    static const char hex[] = "0123456789abcdef";
    const ExportRow row = exportRow(machineId, record128);
    auto tab = [&] { out.push_back('\t'); };
    appendCopyText(out, row.machineId);
    tab();
    appendNumber(out, row.logNo);
    tab();
    out += row.recordedAt.empty() ? "\\N" : row.recordedAt;
    tab();
    appendNumber(out, row.port);
    tab();
    appendNumber(out, unsigned(row.functionNo));
    tab();
    appendCopyText(out, row.functionName);
    tab();
    appendCopyText(out, row.functionText);
    tab();
    appendNumber(out, unsigned(row.resultCode));
    tab();
    appendCopyText(out, row.result);
    tab();
    out += row.outcome;
    tab();
    appendNumber(out, row.capacitySectors);
    tab();
    appendNumber(out, row.dataSectors);
    tab();
    appendNumber(out, row.sectorSize);
    tab();
    appendNumber(out, row.capacityBytes);
    tab();
    for (const auto& speed : {row.readBytesPerSecond, row.writeBytesPerSecond}) {
        if (speed)
            appendNumber(out, *speed);
        else
            out += "\\N";
        tab();
    }
    appendNumber(out, row.runTimeSeconds);
    tab();
    appendCopyText(out, row.target);
    tab();
    // bytea in hex form; its leading backslash is escaped in COPY's text format.
    out += "\\\\x";
    for (size_t i = 0; i < 128; ++i) {
        out.push_back(hex[record128[i] >> 4]);
        out.push_back(hex[record128[i] & 15]);
    }
    tab();
    if (sentBy.empty())
        out += "\\N";
    else
        appendCopyText(out, serverText(sentBy));
    out.push_back('\n');
}

std::string thisPcName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

LogNumberRange appendMachineRows(std::string& out, std::string_view machineId,
                                 const uint8_t* records, uint32_t count, std::string_view sentBy) {
    LogNumberRange range{UINT32_MAX, 0};
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* record = records + size_t(i) * kLogRecordSize;
        const uint32_t logNo = readBE32(record);
        range.lowest = std::min(range.lowest, logNo);
        range.highest = std::max(range.highest, logNo);
        appendCopyRow(out, machineId, record, sentBy);
    }
    return range;
}

} // namespace dupmon
