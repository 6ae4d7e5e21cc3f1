#include "logdb/report.h"

#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <tuple>

#include "common/file_io.h"
#include "common/text.h"
#include "common/timestamp.h"
#include "logdb/large_buffer.h"
#include "protocol/checksum.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {

constexpr char kBackspace = 8;
constexpr char kSealMarker[6] = {' ', ' ', ' ', kBackspace, kBackspace, ' '};
constexpr size_t kSealCodeSize = 64;
constexpr size_t kRuleWidth = 175;
constexpr size_t kTypicalLineSize = 200; // report line and its line end

auto dateKey(ReportDate d) {
    return std::make_tuple(d.year, d.month, d.day);
}

void addMemoPiece(std::string& memo, std::string_view piece) {
    memo.append(piece);
    memo.append("\r\n");
}

} // namespace

bool isLegalReportRange(ReportDate start, ReportDate end) {
    return dateKey(start) <= dateKey(end);
}

bool isInReportRange(const uint8_t* record, ReportDate start, ReportDate end) {
    ReportDate d{static_cast<uint16_t>(record[4] + 2000), record[5], record[6]};
    return !(dateKey(d) < dateKey(start)) && !(dateKey(end) < dateKey(d));
}

std::string reportHeadingLines(int deviceType) {
    const TargetHeading heading = targetHeading(deviceType);
    std::string s(90, ' ');
    s += "RUN            TARGET INFORMATION";
    s += heading == TargetHeading::SdCid ? "  CID\r\n" : "\r\n";
    s += "    No. -----Date-Time-----  Port  Result          Function                     "
         "          Time           Capacity(Sector)    ";
    switch (heading) {
    case TargetHeading::SdCid:
        s += "MID OID Name Revision  YearMonth Serial No.\r\n";
        break;
    case TargetHeading::UsbSerial:
        s += "VID   PID   Serial No.\r\n";
        break;
    case TargetHeading::CfIdentification:
        s += "Model,Version,SerialNo.\r\n";
        break;
    case TargetHeading::Other:
        s += "\r\n";
        break;
    }
    return s;
}

std::string reportHeader(const MachineInfo& info, ReportDate start, ReportDate end,
                         const LocalTime& now) {
    std::string_view version = fieldText(info.version, sizeof info.version);
    // The version text starts with a letter ("v2.40.7") that is not printed.
    std::string_view shownVersion = version.empty() ? version : version.substr(1);
    std::string s = "\n";
    s += "  Print Date: " + asctimeText(now) + "\r\n\r\n";
    s += "    Nickname: " + std::string(fieldText(info.nickName, sizeof info.nickName)) + "\r\n";
    s += "       Model: " + std::string(fieldText(info.modelName, sizeof info.modelName)) + "\r\n";
    s += "     F/W Ver: " + std::string(shownVersion) + "\r\n";
    s += "  Machine ID: " + std::string(fieldText(info.machineId, sizeof info.machineId)) + "\r\n";
    s += format("    Port Qty: %d\r\n", info.maxDeviceQty);
    s += "\n";
    s += format("startNo Date: %d-%02d-%02d\r\n", start.year, start.month, start.day);
    s += format("  endNo Date: %d-%02d-%02d\r\n\n", end.year, end.month, end.day);
    s += reportHeadingLines(info.deviceType);
    s.append(kRuleWidth, '=');
    return s;
}

namespace {

// Steps 4 to 6 over the records that `next` hands out in file order.
template <typename Next>
void buildMemo(ReportBuild& build, uint32_t count, size_t expectedLines, Next next,
               const MachineInfo& info, ReportDate start, ReportDate end, const Clock& clock) {
    // 4. An empty database leaves the memo empty.
    if (count == 0)
        return;
    // The memo of a long log runs to hundreds of megabytes: size it once.
    build.memo.reserve(4096 + expectedLines * kTypicalLineSize);
    adviseLargeBuffer(build.memo.data(), build.memo.capacity());
    // 5. Header block, then 6. one line per record in range.
    addMemoPiece(build.memo, reportHeader(info, start, end, clock.localTime()));
    while (const uint8_t* raw = next()) {
        if (!isInReportRange(raw, start, end))
            continue;
        appendReportLine(build.memo, decodeLogRecord(raw));
        build.memo.append("\r\n");
        ++build.linesInRange;
    }
}

ReportBuild failedBuild(ReportStatus status, DatabaseResult readResult = PASS) {
    ReportBuild build;
    build.status = status;
    build.readResult = readResult;
    return build;
}

} // namespace

ReportBuild buildReport(const LogDatabaseContents& contents, const MachineInfo& info,
                        ReportDate start, ReportDate end, const Clock& clock) {
    if (!isLegalReportRange(start, end))
        return failedBuild(ReportStatus::IllegalDate);
    if (contents.result != PASS)
        return failedBuild(ReportStatus::ReadFailed, contents.result);
    size_t inRange = 0;
    for (uint32_t i = 0; i < contents.count; ++i)
        inRange += isInReportRange(contents.record(i), start, end);
    uint32_t i = 0;
    auto next = [&]() -> const uint8_t* {
        return i < contents.count ? contents.record(i++) : nullptr;
    };
    ReportBuild build;
    buildMemo(build, contents.count, inRange, next, info, start, end, clock);
    return build;
}

ReportBuild buildReport(const fs::path& databasePath, const MachineInfo& info, ReportDate start,
                        ReportDate end, const Clock& clock, LogDatabaseContents* keep) {
    if (!isLegalReportRange(start, end))
        return failedBuild(ReportStatus::IllegalDate);
    if (keep) {
        LogDatabaseContents contents = readLogDatabase(databasePath);
        ReportBuild build = buildReport(contents, info, start, end, clock);
        if (contents.result == PASS)
            *keep = std::move(contents);
        return build;
    }
    // Without a buffer to keep, the records stream through a small one. The
    // memo is reserved for every record; pages a short range never writes
    // are never touched.
    LogRecordReader reader;
    if (DatabaseResult result = reader.open(databasePath); result != PASS)
        return failedBuild(ReportStatus::ReadFailed, result);
    ReportBuild build;
    buildMemo(
        build, reader.count(), reader.count(), [&] { return reader.next(); }, info, start, end,
        clock);
    if (reader.failed())
        return failedBuild(ReportStatus::ReadFailed, DATABASE_CORRUPT);
    return build;
}

size_t sealLength() {
    return sizeof kSealMarker + kSealCodeSize + std::strlen(kSealNotice);
}

size_t addSeal(uint8_t* buffer, size_t n) {
    // 1.-3. The CRC runs over whole 32-bit words; zeros fill the last one.
    std::memset(buffer + n, 0, 16);
    size_t rounded = (n + 3) & ~size_t(3);
    uint32_t crc = crc32(buffer, rounded);
    // 4. One character per bit, least significant first: CRC, then length.
    char code[kSealCodeSize];
    uint32_t length = static_cast<uint32_t>(n);
    for (size_t i = 0; i < 32; ++i) {
        code[i] = (crc >> i) & 1 ? kBackspace : ' ';
        code[32 + i] = (length >> i) & 1 ? kBackspace : ' ';
    }
    // 5. Marker, code, notice and a terminating NUL (not counted).
    uint8_t* p = buffer + n;
    std::memcpy(p, kSealMarker, sizeof kSealMarker);
    p += sizeof kSealMarker;
    std::memcpy(p, code, sizeof code);
    p += sizeof code;
    size_t noticeLength = std::strlen(kSealNotice);
    std::memcpy(p, kSealNotice, noticeLength + 1);
    return n + sealLength();
}

namespace {

// Save to File steps 5 to 7 into a buffer of memo.size() + kSealReserve
// bytes; returns the sealed length.
size_t sealMemoInto(uint8_t* buffer, std::string_view memo) {
    // The memo's last character (the "\n" of its last line end) is dropped
    // and three line ends close the content.
    const size_t kept = memo.size() - 1;
    std::memset(buffer + memo.size(), 0, kSealReserve);
    std::memcpy(buffer, memo.data(), kept);
    std::memcpy(buffer + kept, "\r\n\r\n\r\n", 6);
    return addSeal(buffer, kept + 6);
}

} // namespace

std::vector<uint8_t> sealedReport(std::string_view memo) {
    std::vector<uint8_t> out;
    if (memo.empty())
        return out;
    out.resize(memo.size() + kSealReserve);
    out.resize(sealMemoInto(out.data(), memo));
    return out;
}

ReportSaveStatus saveReport(const fs::path& file, std::string_view memo) {
    // 1.
    if (memo.empty())
        return ReportSaveStatus::NoContents;
    // 3.
    FilePtr f = openFile(file, "wb");
    if (!f)
        return ReportSaveStatus::CantCreateFile;
    // 4. Without the buffer the file stays empty.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[memo.size() + kSealReserve]);
    if (!buffer)
        return ReportSaveStatus::MemoryNotEnough;
    adviseLargeBuffer(buffer.get(), memo.size() + kSealReserve);
    // 5.-8.
    size_t sealed = sealMemoInto(buffer.get(), memo);
    bool ok = std::fwrite(buffer.get(), 1, sealed, f.get()) == sealed;
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok) {
        std::error_code ec;
        fs::remove(file, ec);
        return ReportSaveStatus::CantCreateFile;
    }
    return ReportSaveStatus::Saved;
}

ReportMessage reportSaveMessage(ReportSaveStatus status) {
    switch (status) {
    case ReportSaveStatus::NoContents:
        return kNoContentsMessage;
    case ReportSaveStatus::CantCreateFile:
        return kCantCreateFileMessage;
    case ReportSaveStatus::MemoryNotEnough:
        return kMemoryNotEnoughMessage;
    case ReportSaveStatus::Saved:
        break;
    }
    return {nullptr, nullptr};
}

SealCheck verifySeal(const uint8_t* data, size_t size) {
    SealCheck check;
    const size_t sealSize = sealLength();
    const size_t noticeLength = std::strlen(kSealNotice);
    if (size < sealSize)
        return check;
    const size_t at = size - sealSize;
    const uint8_t* code = data + at + sizeof kSealMarker;
    if (std::memcmp(data + at, kSealMarker, sizeof kSealMarker) != 0 ||
        std::memcmp(data + size - noticeLength, kSealNotice, noticeLength) != 0)
        return check;
    uint32_t crc = 0, length = 0;
    for (size_t i = 0; i < 32; ++i) {
        for (auto [c, value] : {std::pair{code[i], &crc}, std::pair{code[32 + i], &length}}) {
            if (c == kBackspace)
                *value |= uint32_t(1) << i;
            else if (c != ' ')
                return check;
        }
    }
    check.sealFound = true;
    check.sealOffset = at;
    check.contentLength = length;
    check.storedCrc = crc;
    // The content ends where the seal begins; the CRC is taken over it padded
    // with zeros to a whole 32-bit word.
    const size_t n = at;
    if (n % 4 == 0) {
        check.computedCrc = crc32(data, n);
    } else {
        std::vector<uint8_t> padded(data, data + n);
        padded.resize((n + 3) & ~size_t(3), 0);
        check.computedCrc = crc32(padded.data(), padded.size());
    }
    check.valid = length == n && check.computedCrc == crc;
    return check;
}

} // namespace dupmon
