// Decoding a job-log record and writing it as text: the function-name table,
// sizes, speeds, results, target information, report lines and the log
// viewer's columns.
#include "logdb/log_record.h"

#include <cstring>
#include <string_view>

#include "common/byte_order.h"
#include "logdb/text_builder.h"

namespace dupmon {

namespace {

constexpr const char* kFunctionNames[86] = {
    "NOTHING",
    "COPY",
    "TEST COPY",
    "VERIFY",
    "COMPARE",
    "COPY+COMPARE",
    "Copy",
    "Test Copy",
    "Verify",
    "Compare",
    "Copy+Compare",
    "QUICK ERASE",
    "FULL ERASE",
    "DoD ERASE",
    "H3 TEST",
    "H5 TEST",
    "CAPACITY CHECK",
    "A2 FAKE PICKER",
    "CAPACITY CHECK METHOD 3",
    "CAPACITY CHECK METHOD 4",
    "MEASURE SPEED",
    "SHOW DEVICE INFO",
    "BURN IN",
    "BURN IN(COPY+COMPARE)",
    "FORMAT AUTO",
    "FORMAT FAT16",
    "FORMAT FAT32",
    "VERIFY+FORMAT",
    "CHECK VIRUS",
    "CRC64",
    "COPY FILES FAT TO FAT",
    "COPY FILES ISO9660 TO FAT",
    "H6 TEST",
    "DEVICE_INFO",
    "COMPARE FILES FAT TO FAT",
    "COMPARE FILES ISO9660 TO FAT",
    "COPY_AUDIO_WAV_TO_FAT_WAVE",
    "COPY_AUDIO_WAV_TO_FAT_MP3",
    "MediaCheck#1",
    "NULL(39)",
    "NULL(40)",
    "NULL(41)",
    "NULL(42)",
    "NULL(43)",
    "NULL(44)",
    "DoD ERASE+VERIFY",
    "3-PASS ERASE",
    "7-PASS ERASE",
    "35-PASS ERASE",
    "NULL(49)",
    "NULL(50)",
    "NULL(51)",
    "NULL(52)",
    "DELETE",
    "COPY USB(CDROM)",
    "COPY USB(CDROM)+Format",
    "NULL(56)",
    "NULL(57)",
    "FORMAT exFAT",
    "FORMAT NTFS",
    "NULL(60)",
    "COPY+COMP+RESTORE",
    "COPY+COMP+ERASE",
    "COPY+COMP(CDROM)",
    "COPY+COMP(CDROM)+Format",
    "COPY USB to USB(CDROM)",
    "COPY+COMP USB to USB(CDROM)",
    "COMPARE USB(CDROM)",
    "Delete USB",
    "NULL(69)",
    "BMB21-2007 ERASE",
    "COPY(T)",
    "COMPARE(T)",
    "COPY+COMP(T)",
    "H2",
    "H2 WRITE",
    "AH2",
    "AH2 WRITE",
    "AH2 VERIFY",
    "USB SIGNAL",
    "SET WRITE PROTECT",
    "RELEASE WRITE PROTECT",
    "SHOW PROTECT INFO",
    "SHOW",
    "COPY+WP",
    "COPY+COMPARE+WP",
};

// Media-test sizes named by areaOrPercent 101..133.
constexpr const char* kSizeSteps[33] = {
    "1MB",    "2MB",    "3MB",    "4MB",    "5MB",    "10MB",   "20MB",   "30MB",   "40MB",
    "50MB",   "100MB",  "200MB",  "300MB",  "400MB",  "500MB",  "600MB",  "700MB",  "800MB",
    "900MB",  "1000MB", "1100MB", "1200MB", "1300MB", "1400MB", "1500MB", "2000MB", "3000MB",
    "4000MB", "5000MB", "6000MB", "7000MB", "8000MB", "9000MB",
};

enum TargetKind : uint8_t {
    kTargetUsb = 1,
    kTargetSd = 2,
    kTargetCf = 3,
    kTargetMmc = 5,
    kTargetUsb2 = 7
};

constexpr uint8_t kOptionWpCopy = 0x10;        // write protection on function 1
constexpr uint8_t kOptionWpCopyCompare = 0x01; // write protection on function 5
constexpr uint8_t kOptionPermanentWp = 0x08;   // shown as "+P.WP"
constexpr uint8_t kDetailNoRealSize = 34;

constexpr size_t kTargetInfoOffset = 88;
constexpr size_t kTargetInfoSize = 40;
constexpr size_t kCfPrefixOffset = 64;
constexpr size_t kCfPrefixSize = 16;

bool isCopyGroup(uint8_t f) {
    switch (f) {
    case 1:
    case 4:
    case 5:
    case 6:
    case 9:
    case 10:
    case 29:
    case 71:
    case 72:
    case 73:
    case 84:
    case 85:
        return true;
    default:
        return false;
    }
}
bool isCdGroup(uint8_t f) {
    return f == 54 || f == 63 || f == 67;
}
bool isCdFormatGroup(uint8_t f) {
    return f == 55 || f == 64;
}
bool isMediaTestGroup(uint8_t f) {
    return f == 14 || f == 15 || f == 32 || f == 38;
}
bool isBurnInGroup(uint8_t f) {
    return f == 22 || f == 23;
}
bool showsRealSize(const LogRecord& r) {
    return (r.function == 16 || r.function == 17) && r.detailCode != kDetailNoRealSize;
}

// Pads what was appended since `mark` to `width` ("%-Ns").
void padFrom(std::string& out, size_t mark, size_t width) {
    size_t n = out.size() - mark;
    if (n < width)
        out.append(width - n, ' ');
}
// Right-aligns what was appended since `mark` in `width` ("%Ns").
void alignRightFrom(std::string& out, size_t mark, size_t width) {
    size_t n = out.size() - mark;
    if (n < width)
        out.insert(mark, width - n, ' ');
}

void appendSize(std::string& out, uint32_t s, uint16_t b) {
    TextBuilder t(out);
    if (b == 0) {
        t.chr(' ');
        return;
    }
    uint32_t m = 1048576u / b; // sectors per MiB
    uint32_t n = s / m;        // whole MiB
    if (n == 0)
        t.dec(s * b / 1024).str("KB");
    else if (n < 10000)
        t.dec(n).chr('.').dec((s % m) * 10 / m).str("MB");
    else
        t.dec(n / 1024).chr('.').dec(n % 1024 / 103).str("GB");
}

void appendSpeed(std::string& out, uint32_t a, uint16_t b) {
    TextBuilder t(out);
    if (b == 0) {
        t.chr(' ');
        return;
    }
    uint32_t c = a * b; // bytes per second, 32-bit as the controller's figures are
    uint32_t mb = c / 1048576u;
    uint32_t f = c % 1048576u;
    auto digit = [](uint32_t d) { return static_cast<char>('0' + d % 10); };
    if (mb == 0 && a > 0)
        t.dec(c / 1024, 4, ' ').str("K/S");
    else if (mb < 10)
        t.chr(digit(mb))
            .chr('.')
            .chr(digit(f * 10 / 1048576u))
            .chr(digit(f * 100 / 1048576u))
            .str("M/S");
    else if (mb < 100)
        t.chr(digit(mb / 10)).chr(digit(mb)).chr('.').chr(digit(f * 10 / 1048576u)).str("M/S");
    else
        t.dec(mb, 4, ' ').str("M/S");
}

void appendTime(std::string& out, uint32_t sec) {
    TextBuilder t(out);
    if (sec >= 3600)
        t.dec(sec / 3600).chr(':').dec(sec % 3600 / 60, 2).chr(':').dec(sec % 60, 2);
    else
        t.dec(sec / 60, 2).chr(':').dec(sec % 60, 2);
}

void appendCapacity(std::string& out, const LogRecord& r) {
    appendSize(out, r.capacity, r.sectorSize);
    TextBuilder(out).chr('(').dec(r.capacity).chr(')');
}

void appendFailLba(std::string& out, const LogRecord& r) {
    TextBuilder(out).str("FAIL(LBA:").dec(r.errorAddress).chr(')');
}

void appendResult(std::string& out, const LogRecord& r) {
    TextBuilder t(out);
    // 1. The media check has its own codes.
    if (r.function == 38) {
        if (r.resultCode == 0)
            t.str("PASS");
        else
            t.str("FAIL(").dec(r.resultCode).chr(')');
        return;
    }
    // 2. Burn-in records carry their own status; an ended run goes on below.
    if (isBurnInGroup(r.function)) {
        if (r.burnInStatus == 0) {
            t.str("START");
            return;
        }
        if (r.resultCode == 1) {
            t.str("User Abort");
            return;
        }
        if (r.burnInStatus >= 2 && r.burnInStatus <= 5) {
            t.str("ERROR");
            return;
        }
        if (r.burnInStatus > 5) {
            t.chr('(').dec(r.burnInStatus).chr(')');
            return;
        }
    }
    // 3. to 7.
    if (r.resultCode == 0)
        t.str("PASS");
    else if (r.resultCode == 1)
        t.str("User Abort");
    else if (r.detailCode == 81 || r.detailCode == 80)
        t.str("Low Speed");
    else if (r.resultCode == 17)
        t.str("Size Not Match");
    else if (r.resultCode == 48)
        t.str("Bad Device");
    else if (r.function != 14 && r.function != 15 && r.function != 32)
        appendFailLba(out, r);
    else if (r.resultCode == 64)
        t.str("Low R.Speed");
    else if (r.resultCode == 65)
        t.str("Low W.Speed");
    else if (r.resultCode == 38)
        t.str("Over Capacity");
    else if (r.resultCode == 39)
        t.str("Low Capacity");
    else
        appendFailLba(out, r);
}

// The CD image size: read-loop sectors at the CD sector size in the low half
// of the error count.
void appendCdSize(std::string& out, const LogRecord& r) {
    appendSize(out, r.readLoop, static_cast<uint16_t>(r.errorCount & 0xFFFF));
}

void appendFunction(std::string& out, const LogRecord& r) {
    TextBuilder t(out);
    const char* name = functionName(r.function);
    if (!name) {
        t.str("Function(").dec(r.function).chr(')');
        return;
    }
    t.str(name);
    if (isCopyGroup(r.function)) {
        bool wp = (r.function == 1 && (r.optionFlags & kOptionWpCopy)) ||
                  (r.function == 5 && (r.optionFlags & kOptionWpCopyCompare));
        if (wp)
            t.str(r.optionFlags & kOptionPermanentWp ? "+P.WP" : "+WP");
        switch (r.areaOrPercent) {
        case 0:
            t.str("(DATA,");
            break;
        case 1:
            t.str("(Partition,");
            break;
        case 2:
            t.str("(Whole,");
            break;
        default:
            t.chr('(').dec(r.areaOrPercent).chr(',');
            break;
        }
        appendSize(out, r.dataSize, r.sectorSize);
        t.chr(')');
        if (r.function == 29) // the 64-bit CRC, high half first
            t.str("=[").hex(r.writeSpeed, 8).hex(r.readSpeed, 8).chr(']');
    } else if (isCdGroup(r.function)) {
        t.str("(CD:");
        appendCdSize(out, r);
        t.str(",USB:");
        appendSize(out, r.dataSize, r.sectorSize);
        t.chr(')');
    } else if (isCdFormatGroup(r.function)) {
        t.str("(CD:");
        appendCdSize(out, r);
        t.str(",Format USB:");
        appendSize(out, r.capacity, r.sectorSize);
        t.chr(')');
    } else if (isMediaTestGroup(r.function)) {
        uint32_t v = r.areaOrPercent == 0 ? 100 : r.areaOrPercent;
        if (v <= 100) {
            t.chr('(').dec(v).str("%) ");
        } else if (r.function == 38 || r.sizeMB > 0) {
            t.chr('(').dec(r.sizeMB).str("MB) ");
        } else {
            uint32_t step = v - 101;
            t.chr('(').str(kSizeSteps[step < 33 ? step : 0]).str(") ");
        }
        if (r.function == 14) {
            t.str("R:");
            appendSpeed(out, r.readSpeed, r.sectorSize);
        } else {
            t.str("W:");
            appendSpeed(out, r.writeSpeed, r.sectorSize);
            t.str(" R:");
            appendSpeed(out, r.readSpeed, r.sectorSize);
        }
    } else if (r.function == 22) {
        uint32_t v = r.areaOrPercent == 0 ? 100 : r.areaOrPercent;
        t.chr('(').dec(v).str("%)");
    }
}

// SD and MMC cards: the CID register, decoded by the card's own layout.
void appendCid(std::string& out, const LogRecord& r, TargetForm form) {
    const uint8_t* c = r.raw + kTargetInfoOffset;
    uint8_t oem[2];
    uint8_t revision;
    uint32_t serial, year, month;
    if (r.targetKind == kTargetSd) {
        oem[0] = c[1];
        oem[1] = c[2];
        revision = c[8];
        serial = readBE32(c + 9);
        year = (c[13] & 0x0Fu) * 16 + c[14] / 16u + 2000;
        month = c[14] & 0x0Fu;
    } else {
        oem[0] = c[2];
        oem[1] = 0;
        revision = c[9];
        serial = readBE32(c + 10);
        month = c[14] / 16u;
        year = (c[14] & 0x0Fu) + 1997;
    }
    // Names come from the card: anything but visible ASCII prints as a blank.
    auto visible = [](uint8_t ch) {
        return ch >= 0x21 && ch <= 0x7E ? static_cast<char>(ch) : ' ';
    };
    TextBuilder t(out);
    t.chr('[').dec(c[0], 3).chr(',').chr(visible(oem[0])).chr(visible(oem[1])).chr(',');
    for (int i = 0; i < 5; ++i)
        t.chr(visible(c[3 + i]));
    t.chr(',');
    size_t mark = out.size();
    t.dec(revision >> 4).chr('.').dec(revision & 0x0F);
    padFrom(out, mark, 6);
    t.str("]  ").dec(year, 4).chr('-').dec(month, 2).str("   ").decLeft(serial, 12);
    if (form == TargetForm::Report) {
        t.str(" CID:");
        for (size_t i = 0; i < 16; ++i)
            t.chr(' ').hex(c[i], 2);
    }
}

std::string_view textUpToNul(const uint8_t* p, size_t size) {
    const void* nul = std::memchr(p, 0, size);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : size;
    return std::string_view(reinterpret_cast<const char*>(p), n);
}

void appendTargetInfo(std::string& out, const LogRecord& r, TargetForm form) {
    TextBuilder t(out);
    const uint8_t* info = r.raw + kTargetInfoOffset;
    switch (r.targetKind) {
    case kTargetSd:
    case kTargetMmc:
        appendCid(out, r, form);
        break;
    case kTargetUsb:
    case kTargetUsb2:
        t.hex(r.vendorId, 4).str("h ").hex(r.productId, 4).str("h [");
        t.str(textUpToNul(info, kTargetInfoSize)).chr(']');
        break;
    case kTargetCf: {
        // A full 40-character identification continues a text that starts
        // in the numeric fields at 64; burn-in records use those as numbers.
        bool full = std::memchr(info, 0, kTargetInfoSize) == nullptr;
        const uint8_t* prefix = r.raw + kCfPrefixOffset;
        t.chr('[');
        if (full && !isBurnInGroup(r.function) && prefix[0] != 0)
            t.str(textUpToNul(prefix, kCfPrefixSize));
        t.str(textUpToNul(info, kTargetInfoSize)).chr(']');
        break;
    }
    default:
        break;
    }
}

// Returns false when the record has no burn-in text.
bool appendBurnIn(std::string& out, const LogRecord& r) {
    if (!isBurnInGroup(r.function))
        return false;
    TextBuilder t(out);
    auto loops = [&] {
        t.str("Loop:").dec(r.loop + 1).str("(Read Loop:").dec(r.readLoop + 1).str("), ");
    };
    auto errAt = [&] { t.str("Err at ").hex(r.errorAddress, 8).str("h, "); };
    auto count = [&] { t.str("Error Count ").dec(r.errorCount).str(", "); };
    switch (r.burnInStatus) {
    case 0:
        return false;
    case 1:
        if (r.resultCode == 0)
            return false;
        loops();
        t.str("END, ");
        break;
    case 2:
        t.str("Loop:").dec(r.loop + 1).str("(Write), ");
        errAt();
        break;
    case 3:
        loops();
        t.str("Read ");
        errAt();
        break;
    case 4:
        loops();
        t.str("Compare ");
        errAt();
        break;
    case 5:
        loops();
        t.str("Error Code ").dec(r.resultCode).str(", ");
        errAt();
        break;
    default:
        loops();
        t.str("LogStatus=").dec(r.burnInStatus).str(", ");
        errAt();
        break;
    }
    count();
    return true;
}

void appendDateTime(TextBuilder& t, const LogRecord& r) {
    t.dec(r.year + 2000u, 4).chr('-').dec(r.month, 2).chr('-').dec(r.day, 2).chr(' ');
    t.dec(r.hour, 2).chr(':').dec(r.minute, 2).chr(':').dec(r.second, 2);
}

template <typename F> std::string textOf(F append) {
    std::string s;
    append(s);
    return s;
}

} // namespace

LogRecord decodeLogRecord(const uint8_t* b) {
    LogRecord r;
    std::memcpy(r.raw, b, kLogRecordSize);
    r.logNo = readBE32(b + 0);
    r.year = b[4];
    r.month = b[5];
    r.day = b[6];
    r.hour = b[7];
    r.minute = b[8];
    r.second = b[9];
    r.targetKind = b[13];
    r.function = b[14];
    r.detailCode = b[17];
    r.optionFlags = b[18];
    r.capacity = readBE32(b + 24);
    r.dataSize = readBE32(b + 32);
    r.sizeMB = readLE32(b + 36);
    r.errorAddress = readBE32(b + 40);
    r.readSpeed = readBE32(b + 44);
    r.writeSpeed = readBE32(b + 48);
    r.elapsedTime = readBE32(b + 52);
    r.copyTime = readBE16(b + 56);
    r.compareTime = readBE16(b + 58);
    r.areaOrPercent = b[60];
    r.resultCode = b[62];
    r.burnInStatus = b[63];
    r.vendorId = readBE16(b + 64);
    r.productId = readBE16(b + 66);
    r.loop = readBE32(b + 68);
    r.readLoop = readBE32(b + 72);
    r.errorCount = readBE32(b + 76);
    r.port = readBE16(b + 80);
    r.sectorSize = readBE16(b + 82);
    return r;
}

const char* functionName(uint32_t function) {
    return function < std::size(kFunctionNames) ? kFunctionNames[function] : nullptr;
}

std::string sizeText(uint32_t sectors, uint16_t sectorSize) {
    return textOf([&](std::string& s) { appendSize(s, sectors, sectorSize); });
}
std::string speedText(uint32_t sectorsPerSecond, uint16_t sectorSize) {
    return textOf([&](std::string& s) { appendSpeed(s, sectorsPerSecond, sectorSize); });
}
std::string timeText(uint32_t seconds) {
    return textOf([&](std::string& s) { appendTime(s, seconds); });
}

uint32_t runTime(const LogRecord& r) {
    switch (r.function) {
    case 1:
    case 6:
    case 84:
        return r.copyTime;
    case 4:
    case 9:
        return r.compareTime;
    case 5:
    case 10:
    case 85:
        return uint32_t(r.copyTime) + r.compareTime;
    default:
        return r.elapsedTime;
    }
}

std::string capacityText(const LogRecord& r) {
    return textOf([&](std::string& s) { appendCapacity(s, r); });
}
std::string resultText(const LogRecord& r) {
    return textOf([&](std::string& s) { appendResult(s, r); });
}
std::string functionText(const LogRecord& r) {
    return textOf([&](std::string& s) { appendFunction(s, r); });
}
std::string targetInfoText(const LogRecord& r, TargetForm form) {
    return textOf([&](std::string& s) { appendTargetInfo(s, r, form); });
}
std::string burnInText(const LogRecord& r) {
    return textOf([&](std::string& s) { appendBurnIn(s, r); });
}

void appendReportLine(std::string& out, const LogRecord& r) {
    TextBuilder t(out);
    // "%07ld %04d-%02d-%02d %02d:%02d:%02d  %04d  %-16s%-35s"
    t.dec(r.logNo + 1, 7).chr(' ');
    appendDateTime(t, r);
    t.str("  ").dec(r.port, 4).str("  ");
    size_t mark = out.size();
    appendResult(out, r);
    padFrom(out, mark, 16);
    mark = out.size();
    appendFunction(out, r);
    padFrom(out, mark, 35);
    // "%9s" run time, then "          %-20s" capacity
    mark = out.size();
    appendTime(out, runTime(r));
    alignRightFrom(out, mark, 9);
    t.blanks(10);
    mark = out.size();
    appendCapacity(out, r);
    padFrom(out, mark, 20);
    if (!appendBurnIn(out, r))
        appendTargetInfo(out, r, TargetForm::Report);
    if (showsRealSize(r)) {
        t.str("  Real Size=");
        appendSize(out, r.dataSize, r.sectorSize);
    }
}

std::string reportLine(const LogRecord& r) {
    std::string s;
    s.reserve(256);
    appendReportLine(s, r);
    return s;
}

void appendLogViewerColumn(std::string& out, const LogRecord& r, int column) {
    TextBuilder t(out);
    switch (column) {
    case 0:
        t.dec(r.logNo + 1, 5);
        break;
    case 1:
        appendDateTime(t, r);
        break;
    case 2:
        t.dec(r.port);
        break;
    case 3:
        appendResult(out, r);
        break;
    case 4:
        appendFunction(out, r);
        break;
    case 5:
        appendTime(out, runTime(r));
        break;
    case 6:
        appendCapacity(out, r);
        break;
    case 7:
        if (!appendBurnIn(out, r))
            appendTargetInfo(out, r, TargetForm::Viewer);
        if (showsRealSize(r)) {
            t.str(",Real Size=");
            appendSize(out, r.dataSize, r.sectorSize);
        }
        break;
    default:
        break;
    }
}

std::array<std::string, kLogViewerColumns> logViewerColumns(const LogRecord& r) {
    std::array<std::string, kLogViewerColumns> c;
    for (int i = 0; i < kLogViewerColumns; ++i)
        appendLogViewerColumn(c[size_t(i)], r, i);
    return c;
}

TargetHeading targetHeading(int deviceType) {
    switch (deviceType) {
    case 3:
    case 4:
    case 6:
        return TargetHeading::SdCid;
    case 2:
    case 7:
    case 8:
    case 9:
    case 15:
    case 16:
        return TargetHeading::UsbSerial;
    case 5:
        return TargetHeading::CfIdentification;
    default:
        return TargetHeading::Other;
    }
}

const char* logViewerHeader(int column, int deviceType) {
    static const char* const headers[kLogViewerColumns - 1] = {
        "  No.", "Date-Time", "Port", "Result", "Function", "RUN Time", "Capacity(Sector)"};
    if (column >= 0 && column < kLogViewerColumns - 1)
        return headers[column];
    if (column != kLogViewerColumns - 1)
        return "";
    switch (targetHeading(deviceType)) {
    case TargetHeading::SdCid:
        return "MID OID Name Revision  YearMonth Serial No.";
    case TargetHeading::UsbSerial:
        return "VID-PID-Serial No.";
    case TargetHeading::CfIdentification:
        return "Model,Version,SerialNo.";
    case TargetHeading::Other:
        break;
    }
    return "media info";
}

int logViewerColumnWidth(int column) {
    static const int widths[kLogViewerColumns] = {50, 180, 40, 130, 350, 70, 160, 540};
    return column >= 0 && column < kLogViewerColumns ? widths[column] : 0;
}

} // namespace dupmon
