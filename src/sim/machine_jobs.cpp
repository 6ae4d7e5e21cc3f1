// The stand-in machine's jobs: starting one, its phases on the job clock,
// the continue-or-finish wait, and the job log that grows as targets end.
#include "sim/machine_model.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "sim/machine_parts.h"

namespace dupmon {

using machine_parts::epochSeconds;
using machine_parts::fromEpochSeconds;
using machine_parts::LogEntry;
using machine_parts::low32;
using machine_parts::writeLogRecord;

namespace {

bool isCopyFamily(uint8_t f) {
    return f == FN_COPY || f == FN_COMPARE || f == FN_COPY_COMPARE || f == FN_COPY_WP ||
           f == FN_COPY_COMPARE_WP;
}

} // namespace

void MachineModel::drawFailure(SimPort& p, size_t i) {
    p.failing = p.medium.bad;
    p.failPercent = 37;
    if (!p.failing && failRates_[i] > 0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(failDraws_) < failRates_[i]) {
        p.failing = true;
        p.failPercent = static_cast<uint8_t>(std::uniform_int_distribution<int>(5, 95)(failDraws_));
    }
}

// --- job log -------------------------------------------------------------

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

} // namespace dupmon
