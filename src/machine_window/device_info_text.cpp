#include "machine_window/device_info_text.h"

#include <algorithm>
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

// A fixed text field of a record, cut at its first NUL; control characters
// become blanks so that a device cannot break the lines of the text.
std::string fieldString(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n && p[i] != 0; ++i)
        s += p[i] < 32 || p[i] == 127 ? ' ' : char(p[i]);
    return s;
}

// A field of an SD card's identification: every character outside 33 .. 126 is a blank.
std::string cardChars(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += p[i] >= 33 && p[i] <= 126 ? char(p[i]) : ' ';
    return s;
}

std::string usbDetails(const uint8_t* r) {
    return format(" %04Xh %04Xh", readBE16(r + 4), readBE16(r + 6)) +
           format("  %-40s", fieldString(r + 8, 40).c_str()) +
           format("  %-8s", fieldString(r + 66, 8).c_str()) +
           format("  %-16s", fieldString(r + 74, 16).c_str()) +
           format("  %-4s", fieldString(r + 90, 4).c_str());
}

std::string sdDetails(const uint8_t* r) {
    if (r[1] == 0)
        return {};
    const std::string revision = format(" %d.%d", r[44], r[45]);
    std::string s = format("[%03d, ", r[35]) + cardChars(r + 36, 2) + ", " + cardChars(r + 38, 5) +
                    format(",%-6s]    %04d-%02d   %-12lu", revision.c_str(), readBE16(r + 32),
                           r[34], static_cast<unsigned long>(readBE32(r + 28)));
    if (r[1] == 2)
        s += " (MMC)";
    else if (r[1] == 3)
        s += " (eMMC)";
    return s;
}

std::string cfDetails(const uint8_t* r) {
    return format("  %-40s", fieldString(r + 48, 40).c_str()) +
           format("  %-8s", fieldString(r + 40, 8).c_str()) +
           format("  %-20s", fieldString(r + 20, 20).c_str());
}

std::string deviceText(const uint8_t* r, int t);

} // namespace

std::string deviceCapacityText(uint32_t sectors, uint16_t sectorSize) {
    const uint64_t mb = uint64_t(sectors) * sectorSize / 1024 / 1024;
    std::string s;
    if (mb < 1024)
        s = format("%dMB(%u)", int(mb), sectors);
    else if (mb < 10240)
        s = format("%.2fGB(%u)", double(mb) / 1024, sectors);
    else
        s = format("%.1fGB(%u)", double(mb) / 1024, sectors);
    return format("%-20s", s.c_str());
}

namespace {

// What follows a record's number: its status, or its capacity and details.
std::string deviceText(const uint8_t* r, int t) {
    const uint8_t status = r[0];
    if (status == 0)
        return "Not Exist !";
    if (status == 1 || status == 2)
        return "Bad device !";
    if (status != 3)
        return format(" Unknown device status ! status=%d", status);
    switch (t) {
    case kDeviceTypeUsb:
        return deviceCapacityText(readBE32(r + 52), readBE16(r + 64)) + usbDetails(r);
    case kDeviceTypeSd:
        return deviceCapacityText(readBE32(r + 8), readBE16(r + 46)) + sdDetails(r);
    case kDeviceTypeCf:
        return deviceCapacityText(readBE32(r + 8), readBE16(r + 12)) + cfDetails(r);
    default:
        return format(" Unknown device type ! type=%d", t);
    }
}

} // namespace

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

        const std::string line =
            format("%3d  ", j + 1) + deviceText(r, t) + (repeat ? kRepeatWarning : "") + "\r\n";
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
