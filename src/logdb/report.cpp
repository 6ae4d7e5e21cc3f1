// Building the text report of a date range and sealing it: the header block,
// one line per record, and the seal whose CRC and length tell when a saved
// report was changed.
#include "logdb/report.h"

#include <algorithm>
#include <cerrno>
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

namespace {

// Marker, the 64 code characters (the CRC, then the content length, one
// character per bit, least significant first) and the notice.
std::string sealText(uint32_t crc, uint32_t length) {
    std::string seal(kSealMarker, sizeof kSealMarker);
    for (size_t i = 0; i < 32; ++i)
        seal.push_back((crc >> i) & 1 ? kBackspace : ' ');
    for (size_t i = 0; i < 32; ++i)
        seal.push_back((length >> i) & 1 ? kBackspace : ' ');
    seal += kSealNotice;
    return seal;
}

} // namespace

size_t addSeal(uint8_t* buffer, size_t n) {
    // 1.-3. The CRC runs over whole 32-bit words; zeros fill the last one.
    std::memset(buffer + n, 0, 16);
    size_t rounded = (n + 3) & ~size_t(3);
    uint32_t crc = crc32(buffer, rounded);
    // 4.-5. Marker, code, notice and a terminating NUL (not counted).
    const std::string seal = sealText(crc, static_cast<uint32_t>(n));
    std::memcpy(buffer + n, seal.c_str(), seal.size() + 1);
    return n + seal.size();
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
    // 3. The report is written whole beside the chosen file and takes its
    //    place once synced: a failure leaves whatever was there.
    WholeFileWriter out;
    if (!out.open(file, LinkRule::Follow))
        return ReportSaveStatus::CantCreateFile;
    // 4.
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[memo.size() + kSealReserve]);
    if (!buffer)
        return ReportSaveStatus::MemoryNotEnough;
    adviseLargeBuffer(buffer.get(), memo.size() + kSealReserve);
    // 5.-8.
    size_t sealed = sealMemoInto(buffer.get(), memo);
    if (!out.write(buffer.get(), sealed) || !out.commit())
        return ReportSaveStatus::CantCreateFile;
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

namespace {

// Reads the seal at the end of a file: marker, code and notice in the last
// sealLength() bytes. False when they are not a seal.
bool parseSeal(const uint8_t* seal, SealCheck& check) {
    const size_t noticeLength = std::strlen(kSealNotice);
    const uint8_t* code = seal + sizeof kSealMarker;
    if (std::memcmp(seal, kSealMarker, sizeof kSealMarker) != 0 ||
        std::memcmp(code + kSealCodeSize, kSealNotice, noticeLength) != 0)
        return false;
    uint32_t crc = 0, length = 0;
    for (size_t i = 0; i < 32; ++i) {
        for (auto [c, value] : {std::pair{code[i], &crc}, std::pair{code[32 + i], &length}}) {
            if (c == kBackspace)
                *value |= uint32_t(1) << i;
            else if (c != ' ')
                return false;
        }
    }
    check.sealFound = true;
    check.contentLength = length;
    check.storedCrc = crc;
    return true;
}

// The CRC of content of length n finished: zeros fill the last 32-bit word.
uint32_t finishSealCrc(uint32_t crc, uint64_t n) {
    static const uint8_t zeros[3] = {};
    return crc32Update(crc, zeros, size_t((4 - n % 4) % 4));
}

} // namespace

SealCheck verifySeal(const uint8_t* data, size_t size) {
    SealCheck check;
    const size_t sealSize = sealLength();
    if (size < sealSize)
        return check;
    const size_t at = size - sealSize;
    if (!parseSeal(data + at, check))
        return check;
    check.sealOffset = at;
    // The content ends where the seal begins.
    check.computedCrc = finishSealCrc(crc32(data, at), at);
    check.valid = check.contentLength == at && check.computedCrc == check.storedCrc;
    return check;
}

SealCheck verifySealedFile(const fs::path& file, std::string* problem) {
    SealCheck check;
    ReadableFile in = openRegularFile(file);
    if (!in) {
        if (problem)
            *problem = in.problem;
        return check;
    }
    const size_t sealSize = sealLength();
    if (in.size < sealSize)
        return check;
    // 1. The seal at the end.
    const uint64_t at = in.size - sealSize;
    std::vector<uint8_t> seal(sealSize);
    if (!seekTo(in.file.get(), at) ||
        std::fread(seal.data(), 1, seal.size(), in.file.get()) != seal.size()) {
        if (problem)
            *problem = "cannot be read: " + errorText(errno != 0 ? errno : EIO);
        return check;
    }
    if (!parseSeal(seal.data(), check))
        return check;
    check.sealOffset = size_t(at);
    // 2. The content before it, a chunk at a time.
    std::vector<uint8_t> chunk(kReportChunk);
    uint32_t crc = kCrc32Initial;
    if (!seekTo(in.file.get(), 0))
        return check;
    for (uint64_t left = at; left > 0;) {
        const size_t want = size_t(std::min<uint64_t>(left, chunk.size()));
        if (std::fread(chunk.data(), 1, want, in.file.get()) != want) {
            if (problem)
                *problem = "cannot be read: " + errorText(errno != 0 ? errno : EIO);
            check.sealFound = false;
            return check;
        }
        crc = crc32Update(crc, chunk.data(), want);
        left -= want;
    }
    check.computedCrc = finishSealCrc(crc, at);
    check.valid = check.contentLength == at && check.computedCrc == check.storedCrc;
    return check;
}

// --- a sealed report written as it is built --------------------------------

namespace {

// Writes the sealed file from the memo's pieces as they come, never holding
// more than a chunk: the CRC follows the bytes out. The memo's last "\n" is
// left out, as Save to File drops the memo's last character.
class SealedReportWriter {
public:
    explicit SealedReportWriter(WholeFileWriter& f) : f_(f) {
        buffer_.reserve(kReportChunk + 4096);
    }

    // One memo piece: its text, then "\r\n".
    std::string& piece() {
        if (pendingLineFeed_)
            buffer_.push_back('\n');
        return buffer_;
    }
    void endPiece() {
        buffer_.push_back('\r');
        pendingLineFeed_ = true;
        if (buffer_.size() >= kReportChunk)
            flush();
    }
    // The three line ends and the seal; false when the file was not written whole.
    bool finish() {
        pendingLineFeed_ = false;
        buffer_ += "\r\n\r\n\r\n";
        flush();
        const std::string seal = sealText(finishSealCrc(crc_, length_), uint32_t(length_));
        ok_ = ok_ && f_.write(seal);
        return ok_;
    }

private:
    void flush() {
        crc_ = crc32Update(crc_, reinterpret_cast<const uint8_t*>(buffer_.data()), buffer_.size());
        length_ += buffer_.size();
        ok_ = ok_ && f_.write(buffer_);
        buffer_.clear();
    }

    WholeFileWriter& f_;
    std::string buffer_;
    bool pendingLineFeed_ = false;
    bool ok_ = true;
    uint32_t crc_ = kCrc32Initial;
    uint64_t length_ = 0;
};

} // namespace

StreamedReport writeSealedReport(const fs::path& databasePath, const MachineInfo& info,
                                 ReportDate start, ReportDate end, const Clock& clock,
                                 const fs::path& file) {
    StreamedReport r;
    if (!isLegalReportRange(start, end)) {
        r.status = ReportStatus::IllegalDate;
        return r;
    }
    LogRecordReader reader;
    if (DatabaseResult result = reader.open(databasePath); result != PASS) {
        r.status = ReportStatus::ReadFailed;
        r.readResult = result;
        r.problem = reader.problem();
        return r;
    }
    r.records = reader.count();
    // An empty database builds an empty memo: nothing to save.
    if (reader.count() == 0) {
        r.save = ReportSaveStatus::NoContents;
        return r;
    }
    // Written beside the chosen file and put in its place only when whole:
    // a failure leaves whatever was there.
    WholeFileWriter f;
    if (!f.open(file, LinkRule::Follow)) {
        r.save = ReportSaveStatus::CantCreateFile;
        return r;
    }
    SealedReportWriter out(f);
    out.piece() += reportHeader(info, start, end, clock.localTime());
    out.endPiece();
    while (const uint8_t* raw = reader.next()) {
        if (!isInReportRange(raw, start, end))
            continue;
        appendReportLine(out.piece(), decodeLogRecord(raw));
        out.endPiece();
        ++r.linesInRange;
    }
    if (reader.failed()) {
        r.status = ReportStatus::ReadFailed;
        r.readResult = DATABASE_CORRUPT;
        r.problem = "cannot be read to its end";
        return r;
    }
    if (!out.finish() || !f.commit()) {
        r.save = ReportSaveStatus::CantCreateFile;
        return r;
    }
    r.save = ReportSaveStatus::Saved;
    return r;
}

} // namespace dupmon
