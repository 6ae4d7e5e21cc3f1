// The device information text line by line: a header per device type, one
// line per device (its capacity and identification, or its status), and the
// warnings and stop lines where a card repeats or the text fills up.
#include "devinfo/device_info_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"

namespace dupmon {

namespace {

const char kUsbHeader[] = " No. Capacity(Sector)     VID   PID    serialNo                    "
                          "              Vendor    Product           Version\r\n";
const char kSdHeader[] =
    " No. Capacity(Sector)     MID OID  Name   Revision  YearMonth Serial No.\r\n";
const char kCfHeader[] = " CF  CapacityInSector      Model                                     "
                         "Version   Serial No.\r\n";
const char kRepeatWarning[] = " ===> WARNING !  Repeat Serial Number !";

// The furthest byte a record of each type is read at, plus one.
constexpr size_t kRecordReach = 96;

// Room kept at the end of the text for the line that says why it stops.
constexpr size_t kStopLineRoom = 80;
constexpr size_t kMaxText = kDeviceInfoTextBuffer - 1;

// A record's text field as a C string: cut at its first NUL, control
// characters as blanks so that a device cannot break the lines of the text.
template <size_t N> struct Field {
    char text[N + 1];
    explicit Field(const uint8_t* p) {
        size_t i = 0;
        for (; i < N && p[i] != 0; ++i)
            text[i] = p[i] < 32 || p[i] == 127 ? ' ' : char(p[i]);
        text[i] = 0;
    }
};

// A field of an SD card's identification: every character outside 33 .. 126 is a blank.
template <size_t N> struct CardChars {
    char text[N + 1];
    explicit CardChars(const uint8_t* p) {
        for (size_t i = 0; i < N; ++i)
            text[i] = p[i] >= 33 && p[i] <= 126 ? char(p[i]) : ' ';
        text[N] = 0;
    }
};

// printf onto the end of a line, without a text of its own per piece.
__attribute__((format(printf, 2, 3))) void append(std::string& line, const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n > 0)
        line.append(buf, std::min(size_t(n), sizeof buf - 1));
}

void appendCapacity(std::string& line, uint32_t sectors, uint16_t sectorSize) {
    const uint64_t mb = uint64_t(sectors) * sectorSize / 1024 / 1024;
    char s[64];
    if (mb < 1024)
        std::snprintf(s, sizeof s, "%dMB(%u)", int(mb), sectors);
    else if (mb < 10240)
        std::snprintf(s, sizeof s, "%.2fGB(%u)", double(mb) / 1024, sectors);
    else
        std::snprintf(s, sizeof s, "%.1fGB(%u)", double(mb) / 1024, sectors);
    append(line, "%-20s", s);
}

void appendUsb(std::string& line, const uint8_t* r) {
    append(line, " %04Xh %04Xh  %-40s  %-8s  %-16s  %-4s", readBE16(r + 4), readBE16(r + 6),
           Field<40>(r + 8).text, Field<8>(r + 66).text, Field<16>(r + 74).text,
           Field<4>(r + 90).text);
}

void appendSd(std::string& line, const uint8_t* r) {
    if (r[1] == 0)
        return;
    char revision[16];
    std::snprintf(revision, sizeof revision, " %d.%d", r[44], r[45]);
    append(line, "[%03d, %s, %s,%-6s]    %04d-%02d   %-12lu", r[35], CardChars<2>(r + 36).text,
           CardChars<5>(r + 38).text, revision, readBE16(r + 32), r[34],
           static_cast<unsigned long>(readBE32(r + 28)));
    if (r[1] == 2)
        line += " (MMC)";
    else if (r[1] == 3)
        line += " (eMMC)";
}

void appendCf(std::string& line, const uint8_t* r) {
    append(line, "  %-40s  %-8s  %-20s", Field<40>(r + 48).text, Field<8>(r + 40).text,
           Field<20>(r + 20).text);
}

// What follows a record's number: its status, or its capacity and details.
void appendDevice(std::string& line, const uint8_t* r, int t) {
    const uint8_t status = r[0];
    if (status == 0) {
        line += "Not Exist !";
    } else if (status == 1 || status == 2) {
        line += "Bad device !";
    } else if (status != 3) {
        append(line, " Unknown device status ! status=%d", status);
    } else if (t == kDeviceTypeUsb) {
        appendCapacity(line, readBE32(r + 52), readBE16(r + 64));
        appendUsb(line, r);
    } else if (t == kDeviceTypeSd) {
        appendCapacity(line, readBE32(r + 8), readBE16(r + 46));
        appendSd(line, r);
    } else if (t == kDeviceTypeCf) {
        appendCapacity(line, readBE32(r + 8), readBE16(r + 12));
        appendCf(line, r);
    } else {
        append(line, " Unknown device type ! type=%d", t);
    }
}

} // namespace

std::string deviceCapacityText(uint32_t sectors, uint16_t sectorSize) {
    std::string s;
    appendCapacity(s, sectors, sectorSize);
    return s;
}

DeviceInfoText composeDeviceInfoText(const uint8_t* block, size_t size, uint8_t machineDeviceType,
                                     const std::function<bool(uint32_t)>& checkSerial) {
    DeviceInfoText out;
    uint8_t head[8] = {};
    if (block)
        std::memcpy(head, block, std::min<size_t>(size, sizeof head));
    const int n = readBE16(head);
    const size_t z = readBE16(head + 2);
    const bool sdForm = machineDeviceType == kSerialCheckMachine;
    const int t = sdForm ? kDeviceTypeSd : head[4];

    // 1. Quantity, the header of the type and the rule.
    std::string& text = out.text;
    text = format("Device Quantity = %d\r\n", n);
    if (t == kDeviceTypeUsb)
        text += kUsbHeader;
    else if (t == kDeviceTypeSd)
        text += kSdHeader;
    else if (t == kDeviceTypeCf)
        text += kCfHeader;
    text += std::string(118, '=') + "\r\n";

    // 2. One line per device.
    text.reserve(kDeviceInfoTextBuffer);
    std::string line;
    line.reserve(512);
    bool textFull = false;
    int notShown = 0;
    for (int j = 0; j < n; ++j) {
        const size_t start = 8 + size_t(j) * z;
        // Records of no size cannot be told apart: a block without records.
        if (!block || z == 0 || start + z > size) {
            if (!textFull)
                text += format("Device information ends after %d of %d devices !\r\n", j, n);
            break;
        }
        if (textFull && !sdForm) {
            ++notShown; // nothing more to do for a line that is not shown
            continue;
        }
        uint8_t r[kRecordReach] = {};
        std::memcpy(r, block + start, std::min(kRecordReach, size - start));
        const uint8_t status = r[0];

        // A card seen before is warned of and its port marked, even when its
        // line no longer fits the text.
        const uint32_t serial = sdForm && status == 3 && r[1] != 0 ? readBE32(r + 28) : 0;
        const bool repeat = serial != 0 && checkSerial && checkSerial(serial);
        if (repeat && out.repeatPorts.size() < kMaxRepeatPorts)
            out.repeatPorts.push_back(uint16_t(j + 1));
        if (textFull) {
            ++notShown;
            continue;
        }

        line.clear();
        append(line, "%3d  ", j + 1);
        appendDevice(line, r, t);
        if (repeat)
            line += kRepeatWarning;
        line += "\r\n";
        if (text.size() + line.size() + kStopLineRoom <= kMaxText) {
            text += line;
            ++out.devicesShown;
        } else {
            textFull = true;
            ++notShown;
        }
    }
    if (notShown)
        text += format("%d more devices not shown: the text is full !\r\n", notShown);
    return out;
}

} // namespace dupmon
