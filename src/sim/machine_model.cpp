#include "sim/machine_model.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "protocol/checksum.h"

namespace dupmon {

namespace {

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

void putText(uint8_t* dst, size_t size, const std::string& s) {
    std::memset(dst, 0, size);
    std::memcpy(dst, s.data(), std::min(size, s.size()));
}

uint32_t low32(uint64_t v) {
    return static_cast<uint32_t>(v);
}

bool isCopyFamily(uint8_t f) {
    return f == FN_COPY || f == FN_COMPARE || f == FN_COPY_COMPARE || f == FN_COPY_WP ||
           f == FN_COPY_COMPARE_WP;
}

// Target kind of a job-log record: 1 USB, 2 SD, 3 CF, 5 MMC.
uint8_t targetKind(MediaKind k) {
    switch (k) {
    case MediaKind::Usb:
        return 1;
    case MediaKind::Sd:
        return 2;
    case MediaKind::Cf:
        return 3;
    case MediaKind::Mmc:
        return 5;
    }
    return 0;
}

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

void MachineModel::drawFailure(SimPort& p, size_t i) {
    p.failing = p.medium.bad;
    p.failPercent = 37;
    if (!p.failing && failRates_[i] > 0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(failDraws_) < failRates_[i]) {
        p.failing = true;
        p.failPercent = static_cast<uint8_t>(std::uniform_int_distribution<int>(5, 95)(failDraws_));
    }
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

// --- job log -------------------------------------------------------------

// Job-log record, 128 bytes, big-endian unless noted:
//   0 4 log number        4 6 date and time (year - 2000 first)
//  13 1 target kind      14 1 function      17 1 detail      18 1 options
//  24 4 capacity         32 4 data size     36 4 size in MB (little-endian)
//  40 4 error address    44 4 read speed    48 4 write speed  52 4 elapsed s
//  56 2 copy time        58 2 compare time  60 1 area/percent 62 1 result
//  63 1 burn-in status   64 2 vendor id     66 2 product id   68 4 loop
//  72 4 read loop        76 4 error count   80 2 port         82 2 sector size
//  88 40 target: USB serial text, SD/MMC CID, CF identification text
namespace {

struct LogEntry {
    uint32_t number = 0;
    LocalTime when;
    uint8_t function = 0;
    uint8_t detail = 0;
    uint8_t area = 0;
    uint8_t result = 0;
    uint8_t burnStatus = 0;
    uint32_t dataSize = 0;
    uint32_t sizeMB = 0;
    uint32_t errorAddr = 0;
    uint32_t readSpeed = 0;
    uint32_t writeSpeed = 0;
    uint32_t elapsed = 0;
    uint16_t copyTime = 0;
    uint16_t compareTime = 0;
    uint32_t loop = 0;
    uint32_t readLoop = 0;
    uint32_t errorCount = 0;
    uint16_t port = 0;
};

void writeLogRecord(uint8_t* r, const LogEntry& e, const SimMedium& m) {
    std::memset(r, 0, MachineModel::kLogRecordSize);
    writeBE32(r, e.number);
    r[4] = static_cast<uint8_t>(std::clamp(e.when.year - 2000, 0, 255));
    r[5] = static_cast<uint8_t>(e.when.month);
    r[6] = static_cast<uint8_t>(e.when.day);
    r[7] = static_cast<uint8_t>(e.when.hour);
    r[8] = static_cast<uint8_t>(e.when.minute);
    r[9] = static_cast<uint8_t>(e.when.second);
    r[13] = targetKind(m.kind);
    r[14] = e.function;
    r[17] = e.detail;
    writeBE32(r + 24, m.sectors);
    writeBE32(r + 32, e.dataSize);
    writeLE32(r + 36, e.sizeMB);
    writeBE32(r + 40, e.errorAddr);
    writeBE32(r + 44, e.readSpeed);
    writeBE32(r + 48, e.writeSpeed);
    writeBE32(r + 52, e.elapsed);
    writeBE16(r + 56, e.copyTime);
    writeBE16(r + 58, e.compareTime);
    r[60] = e.area;
    r[62] = e.result;
    r[63] = e.burnStatus;
    writeBE32(r + 68, e.loop);
    writeBE32(r + 72, e.readLoop);
    writeBE32(r + 76, e.errorCount);
    writeBE16(r + 80, e.port);
    writeBE16(r + 82, m.sectorSize);
    switch (m.kind) {
    case MediaKind::Usb:
        writeBE16(r + 64, m.vendorId);
        writeBE16(r + 66, m.productId);
        putText(r + 88, 40, m.serial);
        break;
    case MediaKind::Sd:
    case MediaKind::Mmc:
        std::memcpy(r + 88, m.cid.data(), 16);
        break;
    case MediaKind::Cf: {
        // 40 characters without a NUL: model, firmware, serial number.
        const std::string text =
            format("%-20.20s%-8.8s%-12.12s", m.model.c_str(), m.firmware.c_str(), m.serial.c_str());
        std::memcpy(r + 88, text.data(), 40);
        if (e.function != FN_BURN_IN)
            putText(r + 64, 16, "CF:"); // text prefix in place of the USB ids
        break;
    }
    }
}

} // namespace

void MachineModel::setLogFirstNo(uint32_t first) {
    logFirst_ = first;
    uint32_t n = first;
    for (auto& rec : log_)
        writeBE32(rec.data(), n++);
}

void MachineModel::setLogCapacity(uint32_t n) {
    logCapacity_ = n;
    while (logCapacity_ && log_.size() > logCapacity_) {
        log_.pop_front();
        ++logFirst_;
    }
}

void MachineModel::appendLogRecord(const uint8_t* record) {
    std::array<uint8_t, kLogRecordSize> r;
    std::memcpy(r.data(), record, kLogRecordSize);
    writeBE32(r.data(), logNextNo());
    log_.push_back(r);
    setLogCapacity(logCapacity_);
}

bool MachineModel::logRecord(uint32_t number, uint8_t* out) const {
    const uint32_t offset = number - logFirst_; // wraps for numbers below the first
    if (offset >= log_.size())
        return false;
    std::memcpy(out, log_[offset].data(), kLogRecordSize);
    return true;
}

void MachineModel::preloadLog(uint32_t n) {
    static const uint8_t functions[] = {FN_COPY, FN_COPY_COMPARE,    FN_COMPARE,
                                        FN_COPY, FN_COPY_COMPARE_WP, FN_COPY_WP};
    const int64_t now = epochSeconds(machineClock());
    const uint32_t targets = ports_.size() > 1 ? static_cast<uint32_t>(ports_.size() - 1) : 1;
    for (uint32_t k = 0; k < n; ++k) {
        const uint32_t job = k / targets;
        const uint16_t portNo = static_cast<uint16_t>(1 + k % targets);
        LogEntry e;
        e.number = logNextNo();
        e.when = fromEpochSeconds(now - int64_t(n - k) * 45);
        e.function = functions[job % sizeof functions];
        e.port = portNo;
        const SimMedium m = defaultMedium(portNo);
        e.dataSize = m.sectors / 16;
        e.sizeMB = static_cast<uint32_t>(uint64_t(m.sectors) * m.sectorSize >> 20);
        e.readSpeed = (30u << 20) / m.sectorSize;
        e.writeSpeed = (20u << 20) / m.sectorSize;
        e.copyTime = static_cast<uint16_t>(e.dataSize / e.writeSpeed + 1);
        if (e.function == FN_COMPARE)
            e.copyTime = 0;
        if (e.function == FN_COPY_COMPARE || e.function == FN_COPY_COMPARE_WP ||
            e.function == FN_COMPARE)
            e.compareTime = static_cast<uint16_t>(e.dataSize / e.readSpeed + 1);
        e.elapsed = e.copyTime + e.compareTime + 4u;
        if (k % 17 == 16) { // now and then a target that failed
            e.result = 2;
            e.errorAddr = e.dataSize / 3;
        }
        std::array<uint8_t, kLogRecordSize> r;
        writeLogRecord(r.data(), e, m);
        log_.push_back(r);
    }
    setLogCapacity(logCapacity_);
}

void MachineModel::logPortResult(size_t i, uint8_t burnStatus) {
    SimPort& p = ports_[i];
    LogEntry e;
    e.when = machineClock();
    e.function = state_;
    e.port = static_cast<uint16_t>(i);
    e.readSpeed = p.rSpeed;
    e.writeSpeed = p.wSpeed;
    e.sizeMB = static_cast<uint32_t>(uint64_t(p.medium.sectors) * p.medium.sectorSize >> 20);
    e.dataSize = low32(p.dataSectors);
    e.elapsed = static_cast<uint32_t>((jobMs(lastTick_) - roundStartJobMs_) / 1000);
    e.copyTime = static_cast<uint16_t>(std::min<uint32_t>(p.copySeconds, 0xFFFF));
    e.compareTime = static_cast<uint16_t>(std::min<uint32_t>(p.compareSeconds, 0xFFFF));
    e.burnStatus = burnStatus;
    if (state_ == FN_CAPACITY_CHECK)
        e.dataSize = low32(p.realCapacity);
    if (state_ == FN_H3_TEST || state_ == FN_H5_TEST)
        e.area = setup[65] <= 100 ? setup[65] : 100;
    if (state_ == FN_BURN_IN) {
        e.area = setup[133] <= 100 ? setup[133] : 100;
        e.copyTime = e.compareTime = 0;
        e.loop = p.loop;
        e.readLoop = p.rLoop;
    }
    if (p.usbCardStatus == PORT_SIZE_NOT_ENOUGH) {
        e.result = 17;
    } else if (p.failed) {
        e.result = p.medium.present ? 2 : 48;
        e.errorAddr = low32(p.failAddr);
        if (state_ == FN_BURN_IN) {
            e.burnStatus = burnStatus == 0 ? 0 : 2;
            e.errorCount = 1;
        }
    }
    if (state_ == FN_BURN_IN && burnStatus == 0)
        e.result = 0;
    e.number = logNextNo();
    std::array<uint8_t, kLogRecordSize> r;
    writeLogRecord(r.data(), e, p.medium);
    appendLogRecord(r.data());
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

// --- jobs ----------------------------------------------------------------

bool MachineModel::knownFunction(uint8_t f) {
    switch (f) {
    case FN_COPY:
    case FN_COMPARE:
    case FN_COPY_COMPARE:
    case FN_COPY_WP:
    case FN_COPY_COMPARE_WP:
    case FN_QUICK_ERASE:
    case FN_FULL_ERASE:
    case FN_DOD_ERASE:
    case FN_H3_TEST:
    case FN_H5_TEST:
    case FN_CAPACITY_CHECK:
    case FN_BURN_IN:
    case FN_FORMAT_AUTO:
    case FN_FORMAT_FAT16:
    case FN_FORMAT_FAT32:
    case FN_SET_PROTECT:
    case FN_RELEASE_PROTECT:
    case FN_SHOW_PROTECT:
        return true;
    default:
        return false;
    }
}

uint64_t MachineModel::jobMs(uint32_t nowMs) const {
    return static_cast<uint64_t>(static_cast<double>(nowMs - jobStartTick_) * speed);
}

uint32_t MachineModel::sectorsPerSecond(const SimPort& p, bool read) const {
    const uint32_t b = p.medium.sectorSize ? p.medium.sectorSize : 512;
    return std::max<uint32_t>(1, (read ? timing.readBytesPerSec : timing.writeBytesPerSec) / b);
}

void MachineModel::enterPhase(uint8_t phase, uint64_t jt) {
    sub_ = phase;
    phaseStartJobMs_ = jt;
    phaseLengthMs_ = 0;
}

void MachineModel::resetPortsIdle() {
    for (auto& p : ports_) {
        SimMedium m = p.medium;
        const uint8_t protect = p.protectBits;
        const bool marked = p.marked;
        p = SimPort{};
        p.medium = m;
        p.protectBits = protect;
        p.marked = marked;
        p.usbCardStatus = m.present ? PORT_READY : PORT_EMPTY;
    }
}

JobStartResult MachineModel::startJob(uint8_t function, uint32_t nowMs) {
    if (state_ != FN_STANDBY || deviceInfoSession)
        return JOB_BUSY;
    if (!knownFunction(function))
        return JOB_UNKNOWN_FUNCTION;
    const SimPort& master = ports_.at(0);
    if (isCopyFamily(function) && (!master.medium.present || masterAtPc || master.medium.bad))
        return JOB_NO_MASTER;
    lastTick_ = nowMs;
    jobStartTick_ = nowMs;
    roundStartJobMs_ = 0;
    state_ = function;
    passCount_ = failCount_ = 0;
    resetPortsIdle();
    if (isCopyFamily(function)) {
        SimPort& m = ports_[0];
        m.inJob = true;
        m.inWorking = 1;
        m.isRead = 1;
        m.usbCardStatus = PORT_WRITING; // busy reading the master
        m.dataSectors = m.medium.dataSectors;
        m.completeSector = 0;
        enterPhase(PHASE_READ_MASTER, 0);
        phaseLengthMs_ = uint64_t(m.medium.dataSectors) * 1000 / sectorsPerSecond(m, true) + 1;
        return JOB_STARTED;
    }
    // Jobs on every medium present, the first port included.
    enterPhase(PHASE_WORKING, 0);
    uint64_t longest = 0;
    burnLoops_ = std::clamp<uint32_t>(readBE32(setup.data() + 236), 1, 100);
    for (size_t i = 0; i < ports_.size(); ++i) {
        SimPort& p = ports_[i];
        if (!p.medium.present) {
            p.usbCardStatus = PORT_NO_MEDIUM;
            continue;
        }
        p.inJob = true;
        p.inWorking = 1;
        p.workStartMs = 0;
        drawFailure(p, i);
        const uint64_t cap = p.medium.sectors;
        uint64_t len = timing.shortWorkMs;
        switch (function) {
        case FN_QUICK_ERASE:
            p.usbCardStatus = PORT_ERASE_QUICK;
            break;
        case FN_FULL_ERASE:
        case FN_DOD_ERASE:
            p.usbCardStatus = function == FN_FULL_ERASE ? PORT_ERASE_FULL : PORT_ERASE_DOD;
            len = cap * 1000 / sectorsPerSecond(p, false) * (function == FN_DOD_ERASE ? 3 : 1);
            break;
        case FN_H3_TEST:
        case FN_H5_TEST: {
            const uint64_t range = cap * std::clamp<int>(setup[65] ? setup[65] : 100, 1, 100) / 100;
            p.usbCardStatus = function == FN_H3_TEST ? PORT_TEST_READ : PORT_TEST_WRITE;
            p.isRead = function == FN_H3_TEST;
            p.dataSectors = range;
            len = range * 1000 / sectorsPerSecond(p, true);
            if (function == FN_H5_TEST)
                len += range * 1000 / sectorsPerSecond(p, false);
            break;
        }
        case FN_CAPACITY_CHECK:
            p.usbCardStatus = PORT_CHECKING;
            break;
        case FN_FORMAT_AUTO:
        case FN_FORMAT_FAT16:
        case FN_FORMAT_FAT32:
            p.usbCardStatus = PORT_FORMATTING;
            break;
        case FN_SET_PROTECT:
            p.usbCardStatus = PORT_SET_PROTECT;
            break;
        case FN_RELEASE_PROTECT:
            p.usbCardStatus = PORT_RELEASE_PROTECT;
            break;
        case FN_SHOW_PROTECT:
            p.usbCardStatus = PORT_SHOW_PROTECT;
            break;
        case FN_BURN_IN: {
            const uint64_t range =
                cap * std::clamp<int>(setup[133] ? setup[133] : 10, 1, 100) / 100;
            p.dataSectors = range;
            p.usbCardStatus = PORT_WRITING;
            p.life = 2;
            len = burnLoops_ * (range * 1000 / sectorsPerSecond(p, false) +
                                range * 1000 / sectorsPerSecond(p, true) + timing.powerOffMs);
            logPortResult(i, 0); // the burn-in start record
            break;
        }
        default:
            break;
        }
        longest = std::max(longest, len);
    }
    phaseLengthMs_ = std::max<uint64_t>(longest, 1);
    return JOB_STARTED;
}

bool MachineModel::waitingForAnswer() const {
    return isCopyFamily(state_) && sub_ == PHASE_RESULT && profile_.continueOrFinish();
}

bool MachineModel::answerContinue(uint32_t nowMs) {
    tick(nowMs);
    if (!waitingForAnswer())
        return false;
    const uint64_t jt = jobMs(nowMs);
    roundStartJobMs_ = jt; // counts go on across rounds
    ports_[0].usbCardStatus = PORT_READY;
    ports_[0].result = 0;
    enterPhase(PHASE_WAIT_TARGETS, jt);
    phaseLengthMs_ = timing.waitTargetsMs;
    classifyTargets();
    return true;
}

bool MachineModel::answerFinish(uint32_t nowMs) {
    tick(nowMs);
    if (!waitingForAnswer())
        return false;
    enterPhase(PHASE_FINISH, jobMs(nowMs));
    phaseLengthMs_ = timing.finishMs;
    return true;
}

void MachineModel::classifyTargets() {
    const uint64_t data = ports_[0].dataSectors;
    for (size_t i = 1; i < ports_.size(); ++i) {
        SimPort& p = ports_[i];
        SimMedium m = p.medium;
        const uint8_t protect = p.protectBits;
        p = SimPort{};
        p.medium = m;
        p.protectBits = protect;
        if (!m.present) {
            p.usbCardStatus = PORT_EMPTY;
            continue;
        }
        p.dataSectors = data;
        if (m.sectors < data) {
            p.usbCardStatus = PORT_SIZE_NOT_ENOUGH;
            p.inJob = true; // gets its "size not match" record
            continue;
        }
        p.usbCardStatus = PORT_READY;
        p.inJob = true;
        drawFailure(p, i);
    }
}

void MachineModel::finishRound() {
    // The master was read whole: at the outcome it reports a pass like the
    // targets that passed (ready again when the next round begins).
    SimPort& master = ports_[0];
    if (master.inJob) {
        master.usbCardStatus = PORT_PASS;
        master.result = 1;
    }
    for (size_t i = 1; i < ports_.size(); ++i) {
        SimPort& p = ports_[i];
        if (!p.inJob)
            continue;
        p.inWorking = 0;
        if (p.usbCardStatus == PORT_SIZE_NOT_ENOUGH || p.failed) {
            ++failCount_;
            if (p.failed)
                p.usbCardStatus = PORT_FAIL;
        } else {
            ++passCount_;
            p.usbCardStatus = PORT_PASS;
            p.result = 1;
            p.completeSector = p.dataSectors;
            if (state_ == FN_COPY_WP || state_ == FN_COPY_COMPARE_WP)
                p.protectBits |= 0x80;
        }
        logPortResult(i, 0);
    }
}

void MachineModel::endJob() {
    state_ = FN_STANDBY;
    sub_ = PHASE_NONE;
    resetPortsIdle();
}

void MachineModel::tick(uint32_t nowMs) {
    if (static_cast<int32_t>(nowMs - lastTick_) < 0)
        return;
    lastTick_ = nowMs;
    if (state_ == FN_STANDBY)
        return;
    const uint64_t jt = jobMs(nowMs);
    // A long step of the clock may pass several phases at once.
    for (int guard = 0; guard < 16 && state_ != FN_STANDBY; ++guard) {
        const uint8_t before = sub_;
        const uint8_t fn = state_;
        if (isCopyFamily(fn))
            stepCopy(jt);
        else if (fn == FN_BURN_IN)
            stepBurnIn(jt);
        else
            stepSimple(jt);
        if (sub_ == before && state_ == fn)
            break;
    }
}

void MachineModel::stepCopy(uint64_t jt) {
    const uint64_t elapsed = jt - phaseStartJobMs_;
    const bool phaseOver = elapsed >= phaseLengthMs_;
    SimPort& master = ports_[0];
    switch (sub_) {
    case PHASE_READ_MASTER: {
        const uint32_t rate = sectorsPerSecond(master, true);
        master.completeSector = std::min<uint64_t>(master.dataSectors, elapsed * rate / 1000);
        master.speed = rate;
        master.rSpeed = rate;
        if (!phaseOver)
            return;
        master.completeSector = master.dataSectors;
        master.usbCardStatus = PORT_READY; // the source, read
        master.inWorking = 0;
        enterPhase(PHASE_WAIT_TARGETS, phaseStartJobMs_ + phaseLengthMs_);
        phaseLengthMs_ = timing.waitTargetsMs;
        classifyTargets();
        return;
    }
    case PHASE_WAIT_TARGETS: {
        if (!phaseOver)
            return;
        const bool compareOnly = state_ == FN_COMPARE;
        uint64_t len = 1;
        for (size_t i = 1; i < ports_.size(); ++i) {
            SimPort& p = ports_[i];
            if (!p.inJob || p.usbCardStatus != PORT_READY)
                continue;
            p.inWorking = 1;
            p.isRead = compareOnly;
            p.isCompare = compareOnly;
            p.usbCardStatus = compareOnly ? PORT_COMPARING : PORT_WRITING;
            p.completeSector = 0;
            len = std::max<uint64_t>(len,
                                     p.dataSectors * 1000 / sectorsPerSecond(p, compareOnly) + 1);
        }
        enterPhase(PHASE_WORKING, phaseStartJobMs_ + phaseLengthMs_);
        phaseLengthMs_ = len;
        return;
    }
    case PHASE_WORKING:
    case PHASE_COMPARING: {
        const bool reading = sub_ == PHASE_COMPARING || state_ == FN_COMPARE;
        for (size_t i = 1; i < ports_.size(); ++i) {
            SimPort& p = ports_[i];
            if (!p.inJob || !p.inWorking)
                continue;
            const uint32_t rate = sectorsPerSecond(p, reading);
            p.speed = rate;
            (reading ? p.rSpeed : p.wSpeed) = rate;
            p.completeSector = std::min<uint64_t>(p.dataSectors, elapsed * rate / 1000);
            p.addr = p.completeSector;
            const uint64_t seconds = std::min<uint64_t>(elapsed, phaseLengthMs_) / 1000;
            (reading ? p.compareSeconds : p.copySeconds) = static_cast<uint32_t>(seconds);
            if (p.failing && p.completeSector >= p.dataSectors * p.failPercent / 100) {
                p.failed = true;
                p.failAddr = p.dataSectors * p.failPercent / 100;
                p.usbCardStatus = PORT_FAIL;
                p.inWorking = 0;
            }
        }
        if (!phaseOver)
            return;
        const uint64_t end = phaseStartJobMs_ + phaseLengthMs_;
        const bool thenCompare =
            sub_ == PHASE_WORKING && (state_ == FN_COPY_COMPARE || state_ == FN_COPY_COMPARE_WP);
        const bool thenProtect = state_ == FN_COPY_WP || state_ == FN_COPY_COMPARE_WP;
        if (thenCompare) {
            uint64_t len = 1;
            for (size_t i = 1; i < ports_.size(); ++i) {
                SimPort& p = ports_[i];
                if (!p.inJob || !p.inWorking)
                    continue;
                p.usbCardStatus = PORT_COMPARING;
                p.isRead = 1;
                p.isCompare = 1;
                p.completeSector = 0;
                len = std::max<uint64_t>(len, p.dataSectors * 1000 / sectorsPerSecond(p, true) + 1);
            }
            enterPhase(PHASE_COMPARING, end);
            phaseLengthMs_ = len;
        } else if (thenProtect) {
            for (auto& p : ports_)
                if (p.inJob && p.inWorking && &p != &master)
                    p.usbCardStatus = PORT_PROTECTING;
            enterPhase(PHASE_PROTECTING, end);
            phaseLengthMs_ = timing.protectMs;
        } else {
            enterPhase(PHASE_WORK_END, end);
            phaseLengthMs_ = timing.workEndMs;
        }
        return;
    }
    case PHASE_PROTECTING:
        if (!phaseOver)
            return;
        enterPhase(PHASE_WORK_END, phaseStartJobMs_ + phaseLengthMs_);
        phaseLengthMs_ = timing.workEndMs;
        return;
    case PHASE_WORK_END:
        if (!phaseOver)
            return;
        enterPhase(PHASE_RESULT, phaseStartJobMs_ + phaseLengthMs_);
        phaseLengthMs_ = timing.resultMs;
        finishRound();
        return;
    case PHASE_RESULT:
        if (profile_.continueOrFinish() || !phaseOver)
            return; // waits for Continue or Finish
        enterPhase(PHASE_FINISH, phaseStartJobMs_ + phaseLengthMs_);
        phaseLengthMs_ = timing.finishMs;
        return;
    case PHASE_FINISH:
        if (phaseOver)
            endJob();
        return;
    default:
        return;
    }
}

void MachineModel::stepSimple(uint64_t jt) {
    const uint64_t elapsed = jt - phaseStartJobMs_;
    const bool phaseOver = elapsed >= phaseLengthMs_;
    if (sub_ == PHASE_WORKING) {
        for (size_t i = 0; i < ports_.size(); ++i) {
            SimPort& p = ports_[i];
            if (!p.inJob || !p.inWorking)
                continue;
            const uint64_t cap = p.medium.sectors;
            const uint64_t part = std::min<uint64_t>(elapsed, phaseLengthMs_);
            const uint64_t done = phaseLengthMs_ ? cap * part / phaseLengthMs_ : cap;
            switch (state_) {
            case FN_QUICK_ERASE:
            case FN_FULL_ERASE:
            case FN_DOD_ERASE:
                p.addr = done;
                p.erasePattern =
                    state_ == FN_DOD_ERASE ? (done * 3 / (cap ? cap : 1) == 1 ? 0xFF : 0x00) : 0x00;
                break;
            case FN_H3_TEST:
            case FN_H5_TEST: {
                p.rSpeed = sectorsPerSecond(p, true);
                p.wSpeed = state_ == FN_H5_TEST ? sectorsPerSecond(p, false) : 0;
                p.completeSector = p.dataSectors * part / (phaseLengthMs_ ? phaseLengthMs_ : 1);
                const bool readingNow = state_ == FN_H3_TEST || elapsed * 2 >= phaseLengthMs_;
                p.isRead = readingNow;
                p.speed = readingNow ? p.rSpeed : p.wSpeed;
                p.usbCardStatus = readingNow ? PORT_TEST_READ : PORT_TEST_WRITE;
                p.addr = p.completeSector;
                break;
            }
            default:
                p.addr = done;
                break;
            }
            if (p.failing && done >= cap * p.failPercent / 100) {
                p.failed = true;
                p.failAddr = cap * p.failPercent / 100;
            }
        }
        if (!phaseOver)
            return;
        for (size_t i = 0; i < ports_.size(); ++i) {
            SimPort& p = ports_[i];
            if (!p.inJob)
                continue;
            p.inWorking = 0;
            p.usbCardStatus = PORT_DONE;
            p.result = p.failed ? 0 : 1;
            p.realCapacity = p.medium.bad ? p.medium.sectors / 4 : p.medium.sectors;
            if (p.failed) {
                p.addr = p.failAddr;
                ++failCount_;
            } else {
                ++passCount_;
                p.addr = p.medium.sectors;
                if (state_ == FN_SET_PROTECT)
                    p.protectBits |= 0x80;
                if (state_ == FN_RELEASE_PROTECT)
                    p.protectBits &= 0x7F;
            }
            p.completeSector = p.dataSectors;
            logPortResult(i, 0);
        }
        enterPhase(PHASE_RESULT, phaseStartJobMs_ + phaseLengthMs_);
        phaseLengthMs_ = timing.resultMs;
        return;
    }
    if (sub_ == PHASE_RESULT && phaseOver) {
        enterPhase(PHASE_FINISH, phaseStartJobMs_ + phaseLengthMs_);
        phaseLengthMs_ = timing.finishMs;
        return;
    }
    if (sub_ == PHASE_FINISH && phaseOver)
        endJob();
}

void MachineModel::stepBurnIn(uint64_t jt) {
    const uint64_t elapsed = jt - phaseStartJobMs_;
    if (sub_ != PHASE_WORKING) {
        stepSimple(jt);
        return;
    }
    bool allDone = true;
    for (size_t i = 0; i < ports_.size(); ++i) {
        SimPort& p = ports_[i];
        if (!p.inJob || !p.inWorking)
            continue;
        const uint64_t range = p.dataSectors;
        const uint64_t writeMs = range * 1000 / sectorsPerSecond(p, false);
        const uint64_t readMs = range * 1000 / sectorsPerSecond(p, true);
        const uint64_t loopMs = writeMs + readMs + timing.powerOffMs;
        const uint64_t loop = loopMs ? elapsed / loopMs : burnLoops_;
        if (loop >= burnLoops_ || (p.failing && loop >= 1)) {
            p.inWorking = 0;
            p.life = 7;
            p.usbCardStatus = PORT_DONE;
            p.loop = static_cast<uint32_t>(std::min<uint64_t>(loop, burnLoops_) - (loop ? 1 : 0));
            if (p.failing) {
                p.failed = true;
                p.chipStatus = 2;
                p.failAddr = range * p.failPercent / 100;
                p.addr = p.failAddr;
                ++failCount_;
            } else {
                p.result = 1;
                ++passCount_;
            }
            logPortResult(i, 1);
            continue;
        }
        allDone = false;
        const uint64_t in = elapsed - loop * loopMs;
        p.loop = static_cast<uint32_t>(loop);
        p.rLoop = static_cast<uint16_t>(loop);
        if (in < writeMs) {
            p.life = 2;
            p.isRead = 0;
            p.usbCardStatus = PORT_WRITING;
            p.addr = range * in / (writeMs ? writeMs : 1);
            p.speed = p.wSpeed = sectorsPerSecond(p, false);
        } else if (in < writeMs + readMs) {
            p.life = 3;
            p.isRead = 1;
            p.usbCardStatus = PORT_COMPARING;
            p.addr = range * (in - writeMs) / (readMs ? readMs : 1);
            p.speed = p.rSpeed = sectorsPerSecond(p, true);
        } else {
            p.life = 5; // power off between loops
        }
    }
    if (allDone) {
        enterPhase(PHASE_RESULT, jt);
        phaseLengthMs_ = timing.resultMs;
    }
}

// --- port data records ---------------------------------------------------

size_t MachineModel::portRecordSize(uint8_t kind) const {
    switch (kind) {
    case 1:
        return wide() ? 114 : 90;
    case 2:
        return 20;
    case 3:
        return 12;
    case 4:
        return 20;
    case 5:
        return 16;
    case 6:
        return 32;
    case 7:
        return 20;
    case 8:
        return 24;
    case 9:
        return 28;
    case 11:
        return wide() ? 72 : 48;
    default:
        return 0;
    }
}

void MachineModel::portRecord(uint8_t kind, size_t index, uint8_t* r) const {
    const size_t size = portRecordSize(kind);
    std::memset(r, 0, size);
    if (index >= ports_.size())
        return;
    const SimPort& p = ports_[index];
    const uint8_t exist = p.medium.present ? 1 : 0;
    const uint16_t ss = p.medium.present ? p.medium.sectorSize : 0;
    const uint32_t spm = p.sectorsPerMB();
    switch (kind) {
    case 1:
        if (wide()) {
            // Port status record, wide layout (114 bytes): six u64 counters,
            // u32 at 48..84, u16 at 88..94, bytes at 96..113.
            writeBE64(r + 0, p.addr);
            writeBE64(r + 8, p.capacity());
            writeBE64(r + 16, p.completeSector);
            writeBE64(r + 24, p.dataSectors);
            writeBE64(r + 32, p.realCapacity);
            writeBE64(r + 40, p.failAddr);
            writeBE32(r + 52, p.loop);
            writeBE32(r + 64, p.speed);
            writeBE32(r + 72, p.rSpeed);
            writeBE32(r + 76, p.wSpeed);
            writeBE32(r + 80, spm);
            writeBE16(r + 92, p.rLoop);
            writeBE16(r + 94, ss);
            r += 96;
        } else {
            // Narrow layout (90 bytes): 32-bit counters.
            writeBE32(r + 0, low32(p.addr));
            writeBE32(r + 4, low32(p.capacity()));
            writeBE32(r + 8, low32(p.completeSector));
            writeBE32(r + 12, spm);
            writeBE32(r + 16, low32(p.dataSectors));
            writeBE32(r + 20, low32(p.realCapacity));
            writeBE32(r + 28, p.loop);   // wide 52
            writeBE32(r + 40, p.speed);  // wide 64
            writeBE32(r + 48, p.rSpeed); // wide 72
            writeBE32(r + 52, p.wSpeed); // wide 76
            writeBE32(r + 56, low32(p.failAddr));
            writeBE16(r + 68, p.rLoop);
            writeBE16(r + 70, ss);
            r += 72;
        }
        // The eighteen status bytes (wide 96..113).
        r[0] = p.usbCardStatus;
        r[2] = p.life;
        r[3] = p.chipStatus;
        r[5] = p.isRead;
        r[6] = p.isCompare;
        r[7] = p.result;
        r[8] = exist;
        r[9] = p.inWorking;
        r[10] = p.subProcess;
        r[11] = p.erasePattern;
        r[16] = p.protectBits;
        return;
    case 2:
        writeBE32(r + 0, low32(p.capacity()));
        writeBE32(r + 4, spm);
        writeBE32(r + 8, low32(p.dataSectors));
        writeBE16(r + 12, ss);
        r[14] = p.usbCardStatus;
        r[15] = p.chipStatus;
        r[16] = exist;
        return;
    case 3:
        writeBE32(r + 0, low32(p.completeSector));
        r[4] = p.usbCardStatus;
        r[5] = p.chipStatus;
        r[6] = exist;
        r[7] = p.inWorking;
        r[8] = p.isRead;
        r[9] = p.isCompare;
        return;
    case 4:
        writeBE32(r + 0, low32(p.capacity()));
        writeBE32(r + 4, low32(p.completeSector));
        writeBE16(r + 8, ss);
        r[10] = p.usbCardStatus;
        r[11] = p.chipStatus;
        r[12] = exist;
        r[13] = p.inWorking;
        r[14] = p.isRead;
        r[15] = p.isCompare;
        r[16] = p.result;
        return;
    case 5:
        writeBE32(r + 0, low32(p.capacity()));
        writeBE32(r + 4, low32(p.realCapacity));
        writeBE16(r + 8, ss);
        r[10] = p.usbCardStatus;
        r[11] = p.chipStatus;
        r[12] = exist;
        r[13] = p.inWorking;
        r[14] = p.result;
        return;
    case 6:
        writeBE32(r + 0, low32(p.completeSector));
        writeBE32(r + 4, low32(p.capacity()));
        writeBE32(r + 8, p.speed);
        writeBE32(r + 12, p.rSpeed);
        writeBE32(r + 16, p.wSpeed);
        writeBE16(r + 20, ss);
        r[22] = p.usbCardStatus;
        r[23] = p.chipStatus;
        r[24] = exist;
        r[25] = p.inWorking;
        r[26] = p.isRead;
        r[27] = p.isCompare;
        r[28] = p.result;
        r[29] = p.subProcess;
        return;
    case 7:
        writeBE32(r + 0, low32(p.addr));
        writeBE32(r + 4, low32(p.capacity()));
        writeBE16(r + 8, ss);
        r[10] = p.usbCardStatus;
        r[11] = p.chipStatus;
        r[12] = exist;
        r[13] = p.inWorking;
        r[14] = p.isRead;
        r[15] = p.isCompare;
        r[16] = p.result;
        r[17] = p.subProcess;
        r[18] = p.erasePattern;
        return;
    case 8:
        writeBE32(r + 0, low32(p.completeSector));
        writeBE32(r + 4, p.loop);
        writeBE16(r + 12, p.rLoop);
        r[15] = p.life;
        r[16] = p.usbCardStatus;
        r[17] = p.chipStatus;
        r[18] = exist;
        r[19] = p.inWorking;
        r[20] = p.isRead;
        r[21] = p.isCompare;
        return;
    case 9:
        writeBE32(r + 0, low32(p.addr));
        writeBE32(r + 4, p.loop);
        writeBE16(r + 12, p.rLoop);
        writeBE16(r + 14, ss);
        r[17] = p.life;
        r[18] = p.usbCardStatus;
        r[19] = p.chipStatus;
        r[20] = exist;
        r[21] = p.inWorking;
        r[22] = p.isRead;
        r[23] = p.isCompare;
        r[24] = p.result;
        r[25] = p.subProcess;
        return;
    case 11:
        if (wide()) {
            writeBE64(r + 0, p.addr);
            writeBE64(r + 8, p.capacity());
            writeBE64(r + 16, p.completeSector);
            writeBE64(r + 24, p.realCapacity);
            writeBE64(r + 32, p.dataSectors);
            writeBE32(r + 40, spm);
            writeBE32(r + 44, p.speed);
            writeBE32(r + 48, p.rSpeed);
            writeBE32(r + 52, p.wSpeed);
            writeBE16(r + 56, ss);
            r += 58;
        } else {
            // Narrow: wide 0, 8, 16, 32, 24 at 0, 4, 8, 12, 16.
            writeBE32(r + 0, low32(p.addr));
            writeBE32(r + 4, low32(p.capacity()));
            writeBE32(r + 8, low32(p.completeSector));
            writeBE32(r + 12, low32(p.dataSectors));
            writeBE32(r + 16, low32(p.realCapacity));
            writeBE32(r + 20, spm);
            writeBE32(r + 24, p.speed);
            writeBE32(r + 28, p.rSpeed);
            writeBE32(r + 32, p.wSpeed);
            writeBE16(r + 36, ss);
            r += 38;
        }
        r[0] = p.usbCardStatus;
        r[1] = p.chipStatus;
        r[2] = exist;
        r[3] = p.inWorking;
        r[4] = p.isRead;
        r[5] = p.isCompare;
        r[6] = p.result;
        r[7] = p.subProcess;
        r[8] = p.erasePattern;
        return;
    default:
        return;
    }
}

// --- device information --------------------------------------------------

// Device information block: 0 count (BE16), 2 record size (BE16), 4 type
// (1 USB, 2 SD/MMC, 3 CF), records from 8. Record byte 0: 0 no device,
// 3 present, 1 bad. USB (96 bytes): 4 VID, 6 PID, 8 serial[40], 52 sectors,
// 64 sector size, 66 vendor[8], 74 product[16], 90 revision[4].
// SD (48 bytes): 1 card kind (1 SD, 2 MMC), 8 sectors, 28 serial, 32 year,
// 34 month, 35 MID, 36 OID[2], 38 name[5], 44/45 revision, 46 sector size.
// CF (88 bytes): 8 sectors, 12 sector size, 20 serial[20], 40 firmware[8],
// 48 model[40]. Sent as 32-byte blocks followed by one block check each.
void MachineModel::collectDeviceInformation(uint32_t nowMs) {
    const bool sd = profile_.media == MediaKind::Sd || profile_.media == MediaKind::Mmc ||
                    profile_.deviceType == 10;
    const bool cf = profile_.media == MediaKind::Cf;
    const size_t z = sd ? 48 : cf ? 88 : 96;
    const size_t n = ports_.size();
    std::vector<uint8_t> data(8 + n * z, 0);
    writeBE16(data.data(), static_cast<uint16_t>(n));
    writeBE16(data.data() + 2, static_cast<uint16_t>(z));
    data[4] = sd ? 2 : cf ? 3 : 1;
    for (size_t j = 0; j < n; ++j) {
        const SimMedium& m = ports_[j].medium;
        uint8_t* r = data.data() + 8 + j * z;
        if (!m.present)
            continue;
        r[0] = m.bad ? 1 : 3;
        if (sd) {
            const bool mmc = m.kind == MediaKind::Mmc;
            r[1] = mmc ? 2 : 1;
            writeBE32(r + 8, m.sectors);
            const uint8_t* c = m.cid.data();
            if (mmc) {
                writeBE32(r + 28, readBE32(c + 10));
                writeBE16(r + 32, static_cast<uint16_t>(1997 + (c[14] & 0x0F)));
                r[34] = c[14] >> 4;
                r[35] = c[0];
                r[36] = c[1];
                r[37] = c[2];
                std::memcpy(r + 38, c + 3, 5);
                r[44] = c[9] >> 4;
                r[45] = c[9] & 0x0F;
            } else {
                writeBE32(r + 28, readBE32(c + 9));
                writeBE16(r + 32, static_cast<uint16_t>(2000 + ((c[13] & 0x0F) << 4 | c[14] >> 4)));
                r[34] = c[14] & 0x0F;
                r[35] = c[0];
                r[36] = c[1];
                r[37] = c[2];
                std::memcpy(r + 38, c + 3, 5);
                r[44] = c[8] >> 4;
                r[45] = c[8] & 0x0F;
            }
            writeBE16(r + 46, m.sectorSize);
        } else if (cf) {
            writeBE32(r + 8, m.sectors);
            writeBE16(r + 12, m.sectorSize);
            putText(r + 20, 20, m.serial);
            putText(r + 40, 8, m.firmware);
            putText(r + 48, 40, m.model);
        } else {
            writeBE16(r + 4, m.vendorId);
            writeBE16(r + 6, m.productId);
            putText(r + 8, 40, m.serial);
            writeBE32(r + 52, m.sectors);
            writeBE16(r + 64, m.sectorSize);
            putText(r + 66, 8, m.vendor);
            putText(r + 74, 16, m.product);
            putText(r + 90, 4, m.revision);
        }
    }
    const size_t blocks = (data.size() + 31) / 32;
    data.resize(blocks * 32, 0);
    devInfo_ = data;
    for (size_t j = 0; j < blocks; ++j)
        devInfo_.push_back(blockCheck(data.data() + j * 32, 32));
    devInfoReadyAt_ = nowMs + 300;
}

bool MachineModel::deviceInformationReady(uint32_t nowMs) const {
    return !devInfo_.empty() && static_cast<int32_t>(nowMs - devInfoReadyAt_) >= 0;
}

// --- image bank ----------------------------------------------------------

// Answer frame of Y 3 (256 bytes, numbers big-endian):
//   0 "#", length, result   4 identifySymbol[64]   68 version[16]
//  84 u64 disk sectors   92 bytes per sector   96 max_image_qty
// 100 max_dataBank_qty  104 SectorQty_per_dataBank  108 free_image_qty
// 112 free_dataBank_qty  252 CRC-32 of bytes 0..251
void MachineModel::imageBankBlock(uint8_t* b) const {
    std::memset(b, 0, 256);
    b[0] = 0x23;
    writeBE16(b + 1, 253);
    b[3] = 0;
    putText(b + 4, 64, "SIM IMAGE BANK " + machineId);
    putText(b + 68, 16, "v1.04");
    writeBE64(b + 84, 1953525168ull);
    writeBE32(b + 92, 512);
    writeBE32(b + 96, maxImageQty);
    const uint32_t banks = 900;
    uint32_t used = 0;
    for (bool i : images)
        used += i ? 1 : 0;
    writeBE32(b + 100, banks);
    writeBE32(b + 104, 2097152);
    writeBE32(b + 108, maxImageQty - std::min(used, maxImageQty));
    writeBE32(b + 112, banks - std::min(banks, used * 8));
    writeBE32(b + 252, crc32(b, 252));
}

std::vector<uint8_t> MachineModel::imageBankTable() const {
    std::vector<uint8_t> t(maxImageQty, 0);
    for (size_t i = 0; i < t.size() && i < images.size(); ++i)
        t[i] = images[i] ? 1 : 0;
    return t;
}

} // namespace dupmon
