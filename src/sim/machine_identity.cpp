// The stand-in machine's identity and state at rest: its media, boards,
// settings a fresh machine carries, its clock and the status block.
#include "sim/machine_model.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "sim/machine_parts.h"

namespace dupmon {

namespace {

// SD card identification register: MID, OID, name, revision, serial, date.
std::array<uint8_t, 16> sdCid(uint32_t serial, int year, int month) {
    std::array<uint8_t, 16> c{};
    c[0] = 0x1B;
    c[1] = 'S';
    c[2] = 'M';
    std::memcpy(c.data() + 3, "SIMSD", 5);
    c[8] = 0x10; // revision 1.0
    writeBE32(c.data() + 9, serial);
    const int y = std::clamp(year - 2000, 0, 255);
    c[13] = static_cast<uint8_t>(y >> 4 & 0x0F);
    c[14] = static_cast<uint8_t>((y & 0x0F) << 4 | (month & 0x0F));
    c[15] = 0x01;
    return c;
}

// MMC layout: name 3..8, revision 9, serial 10..13, month/year in 14.
std::array<uint8_t, 16> mmcCid(uint32_t serial, int year, int month) {
    std::array<uint8_t, 16> c{};
    c[0] = 0x15;
    c[2] = 'M';
    std::memcpy(c.data() + 3, "SIMMMC", 6);
    c[9] = 0x21;
    writeBE32(c.data() + 10, serial);
    c[14] = static_cast<uint8_t>((month & 0x0F) << 4 | (std::clamp(year - 1997, 0, 15) & 0x0F));
    c[15] = 0x01;
    return c;
}

} // namespace

namespace machine_parts {

int64_t epochSeconds(const LocalTime& t) {
    return daysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

LocalTime fromEpochSeconds(int64_t s) {
    int64_t days = s / 86400, rest = s % 86400;
    if (rest < 0)
        rest += 86400, --days;
    LocalTime t;
    civilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    t.weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);
    return t;
}

} // namespace machine_parts

using machine_parts::epochSeconds;
using machine_parts::fromEpochSeconds;

SimMedium makeMedium(MediaKind kind, uint32_t serialNo, uint32_t megabytes, uint16_t sectorSize) {
    SimMedium m;
    m.present = true;
    m.kind = kind;
    m.sectorSize = sectorSize ? sectorSize : 512;
    m.sectors = static_cast<uint32_t>(uint64_t(megabytes) * 1048576u / m.sectorSize);
    m.dataSectors = m.sectors / 16;
    m.serial = format("SIM%08u", serialNo);
    switch (kind) {
    case MediaKind::Usb:
        m.product = format("Flash Drive %uG", (megabytes + 512) / 1024);
        break;
    case MediaKind::Sd:
        m.cid = sdCid(serialNo, 2024, 1 + serialNo % 12);
        break;
    case MediaKind::Mmc:
        m.cid = mmcCid(serialNo, 2005, 1 + serialNo % 12);
        break;
    case MediaKind::Cf:
        m.model = format("SIM CompactFlash %uMB", megabytes);
        m.serial = format("CF%010u", serialNo);
        break;
    }
    return m;
}

MachineModel::MachineModel(const SimProfile& profile, const Clock& clock, std::string id)
    : machineId(std::move(id)), profile_(profile), clock_(clock) {
    if (machineId.empty())
        machineId = profile.idPrefix + "-000001";
    setBoardCount(profile.boardQty);
    ports_.resize(profile.ports);
    failRates_.assign(ports_.size(), 0.0);
    // Each machine draws its own failures, the same ones on every run.
    failDraws_.seed(static_cast<uint32_t>(std::hash<std::string>{}(machineId)));
    for (size_t i = 0; i < ports_.size(); ++i)
        insertMedium(i, defaultMedium(i));
    // Settings a fresh machine carries (the host edits some of them).
    setup[65] = 100;                   // media check range
    setup[133] = 10;                   // burn-in range, percent
    setup[149] = 1;                    // target tolerance: same size
    setup[155] = 1;                    // burn-in power off, seconds
    writeBE16(setup.data() + 158, 50); // minimum read speed 5.0 MB/s
    writeBE16(setup.data() + 160, 30); // minimum write speed 3.0 MB/s
    writeBE32(setup.data() + 196, 100);
    writeBE16(setup.data() + 228, 60);
    writeBE32(setup.data() + 236, 2); // burn loops
    images.assign(maxImageQty, false);
    for (uint32_t i = 0; i < maxImageQty; i += 3)
        images[i] = true;
    lastTick_ = clock.tickMs();
}

void MachineModel::setBoardCount(uint16_t n) {
    boards_.clear();
    for (uint16_t b = 0; b < n; ++b) {
        SimBoard board;
        board.text1 = format("SIM-PB%02u", unsigned(profile_.portsPerBoard));
        board.text2 = format("R%u", b + 1u);
        board.fpga = 0x2310 + b;
        board.sizeMB = 256;
        board.totalDevices = profile_.portsPerBoard;
        board.secondCount = 0;
        board.build = 1200 + b;
        boards_.push_back(board);
    }
}

SimMedium MachineModel::defaultMedium(size_t port, uint32_t megabytes) const {
    // A machine that checks serial numbers has two cards with the same one.
    const bool repeated =
        profile_.deviceType == 10 && port == kRepeatedSerialPort && port < profile_.ports;
    const size_t numbered = repeated ? kRepeatedSerialSource : port;
    const uint32_t serial = static_cast<uint32_t>(
        (std::hash<std::string>{}(machineId) % 9000 + 1000) * 1000 + numbered);
    if (!megabytes)
        megabytes = profile_.media == MediaKind::Usb ? 7450 : 3780;
    // An SD machine keeps an MMC card in its last port.
    const bool mmc = profile_.media == MediaKind::Sd && profile_.deviceType == 10 &&
                     port + 1 == profile_.ports && port > 0;
    SimMedium m = makeMedium(mmc ? MediaKind::Mmc : profile_.media, serial, megabytes);
    if (port == 0)
        m.dataSectors = m.sectors / 16; // the master's copy area
    return m;
}

void MachineModel::insertMedium(size_t i, const SimMedium& m) {
    SimPort& p = ports_.at(i);
    p = SimPort{};
    p.medium = m;
    p.medium.present = true;
    if (state_ == FN_STANDBY)
        p.usbCardStatus = PORT_READY;
    else
        p.usbCardStatus = PORT_EMPTY; // joins the next round of a running job
}

void MachineModel::setPortFailRate(size_t port, double rate) {
    failRates_.at(port) = std::clamp(rate, 0.0, 1.0);
}

void MachineModel::removeMedium(size_t i) {
    SimPort& p = ports_.at(i);
    if (p.inJob && p.inWorking) {
        // Pulled while working: the port fails and its record tells of it.
        p.medium.present = false;
        p.inWorking = 0;
        p.failed = true;
        p.failAddr = p.completeSector;
        p.usbCardStatus = PORT_FAIL;
        return;
    }
    p = SimPort{};
    p.usbCardStatus = PORT_EMPTY;
}

// --- clock ---------------------------------------------------------------

LocalTime MachineModel::machineClock() const {
    return fromEpochSeconds(epochSeconds(clock_.localTime()) + clockOffsetSec_);
}

void MachineModel::setMachineClock(const LocalTime& t) {
    clockOffsetSec_ = epochSeconds(t) - epochSeconds(clock_.localTime());
}

std::string MachineModel::clockDigits() const {
    const LocalTime t = machineClock();
    return format("%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

bool MachineModel::setClockDigits(const uint8_t* d) {
    int v[14];
    for (int i = 0; i < 14; ++i) {
        if (d[i] < '0' || d[i] > '9')
            return false;
        v[i] = d[i] - '0';
    }
    LocalTime t;
    t.year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    t.month = v[4] * 10 + v[5];
    t.day = v[6] * 10 + v[7];
    t.hour = v[8] * 10 + v[9];
    t.minute = v[10] * 10 + v[11];
    t.second = v[12] * 10 + v[13];
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 ||
        t.second > 59)
        return false;
    setMachineClock(t);
    return true;
}

// --- status --------------------------------------------------------------

// Status block, 28 bytes:
//   2 machineState   3 machineSubState   5 bit 3 probe sensor
//   8 job seconds    12 pass count   16 fail count   20 logFirstNo   24 logCount
void MachineModel::statusBlock(uint8_t* out) const {
    std::memset(out, 0, kStatusSize);
    out[2] = state_;
    out[3] = sub_;
    if ((profile_.flags44 & kFlagProbeSensor) && state_ != FN_STANDBY)
        out[5] = 0x08;
    writeBE32(out + 8, state_ ? static_cast<uint32_t>(jobMs(lastTick_) / 1000) : 0);
    writeBE32(out + 12, passCount_);
    writeBE32(out + 16, failCount_);
    writeBE32(out + 20, logFirst_);
    writeBE32(out + 24, logCount());
}

} // namespace dupmon
