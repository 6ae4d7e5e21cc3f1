// The stand-in controller at work: reassembling the host's frames, answering
// each command from the machine model, fragmenting its answers and spoiling
// them when a fault is asked for.
#include "sim/stand_in.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "protocol/checksum.h"

namespace dupmon {

namespace {

constexpr uint8_t kFragmentMarker = 0x43;
constexpr size_t kFragmentData = 60;
constexpr AnswerResult kRefused = static_cast<AnswerResult>(0x01);
constexpr size_t kDeviceInfoChunk = 960;
// The host's link reassembles at most this much of one answer.
constexpr size_t kHostFrameLimit = 8192;

struct FaultName {
    SimFault kind;
    const char* name;
};
constexpr FaultName kFaultNames[] = {
    {SimFault::WrongCheck, "wrong-check"},
    {SimFault::WrongLength, "wrong-length"},
    {SimFault::WrongStart, "wrong-start"},
    {SimFault::DropAnswer, "drop"},
    {SimFault::LateAnswer, "late"},
    {SimFault::Garbage, "garbage"},
    {SimFault::Unplug, "unplug"},
    {SimFault::SetupCheckError, "setup-check-error"},
    {SimFault::DeviceInfoShort, "devinfo-short"},
    {SimFault::Refuse, "refuse"},
    {SimFault::RefuseData, "refuse-data"},
    {SimFault::Stall, "stall"},
};

// Command letters and "W" sub-commands the host sends.
enum WSub : uint8_t {
    W_MACHINE_ID = 1,
    W_BOARD_LAYOUT = 2,
    W_BOARD_LIST = 3,
    W_NICKNAME_READ = 4,
    W_NICKNAME_WRITE = 5,
    W_CLOCK_SUPPORT = 10,
    W_CLOCK_READ = 11,
    W_CLOCK_WRITE = 12,
    W_CONTINUE = 13,
    W_FINISH = 14,
    W_LOG_SUPPORT = 20,
    W_LOG_CLOSE = 21,
    W_LOG_NUMBERS = 22,
    W_LOG_RECORD = 23,
    W_SETUP_READ = 30,
    W_SETUP_WRITE = 31,
    W_DEVINFO_POLL = 40,
    W_DEVINFO_COLLECT = 41,
    W_COPY = 42,
    W_COMPARE = 43,
    W_COPY_COMPARE = 44,
    W_DEVINFO_SEND = 61,
    W_COPY_WP = 66,
    W_COPY_COMPARE_WP = 67,
    W_RELEASE = 81,
    W_MARK_PORT = 85,
};

uint8_t jobOf(uint8_t sub) {
    switch (sub) {
    case W_COPY:
        return FN_COPY;
    case W_COMPARE:
        return FN_COMPARE;
    case W_COPY_COMPARE:
        return FN_COPY_COMPARE;
    case W_COPY_WP:
        return FN_COPY_WP;
    case W_COPY_COMPARE_WP:
        return FN_COPY_COMPARE_WP;
    default:
        return 0;
    }
}

void putText(uint8_t* dst, size_t size, const std::string& s) {
    std::memset(dst, 0, size);
    std::memcpy(dst, s.data(), std::min(size, s.size()));
}

} // namespace

const char* simFaultName(SimFault f) {
    for (const auto& n : kFaultNames)
        if (n.kind == f)
            return n.name;
    return "?";
}

bool parseSimFault(std::string_view name, SimFault& out) {
    for (const auto& n : kFaultNames) {
        if (name == n.name) {
            out = n.kind;
            return true;
        }
    }
    return false;
}

StandInController::StandInController(const SimProfile& profile, const Clock& clock,
                                     std::string machineId)
    : model_(profile, clock, std::move(machineId)) {}

std::shared_ptr<StandInController>
StandInController::create(std::string_view profileName, const Clock& clock, std::string machineId) {
    const SimProfile* p = findSimProfile(profileName);
    if (!p)
        return nullptr;
    return std::make_shared<StandInController>(*p, clock, std::move(machineId));
}

void StandInController::injectFault(const SimFaultSpec& spec) {
    if (spec.kind == SimFault::Stall) {
        stall_ = {};
        stall_.armed = true;
        stall_.after = spec.after;
        stall_.forMs = spec.delayMs;
        return;
    }
    if (spec.times > 0)
        faults_.push_back(spec);
}

bool StandInController::takeReport(uint32_t nowMs) {
    if (!stall_.armed)
        return true;
    if (stall_.after > 0) {
        --stall_.after;
        return true;
    }
    if (!stall_.refusing) {
        stall_.refusing = true;
        stall_.since = nowMs;
        ++faultsCommitted_;
        traceComment("fault stall");
    }
    if (stall_.forMs != 0 && nowMs - stall_.since >= stall_.forMs) {
        stall_ = {};
        traceComment("stall over");
        return true;
    }
    return false;
}

void StandInController::injectFault(SimFault kind, int times, uint32_t delayMs) {
    SimFaultSpec s;
    s.kind = kind;
    s.times = times;
    s.delayMs = delayMs;
    injectFault(s);
}

int StandInController::faultsPending() const {
    int n = 0;
    for (const auto& f : faults_)
        n += f.times;
    return n;
}

std::vector<HostFrame> StandInController::commands(char letter, int sub) const {
    std::vector<HostFrame> out;
    for (const auto& f : history_)
        if (f.kind == HostFrame::Command && f.letter == letter && (sub < 0 || f.sub() == sub))
            out.push_back(f);
    return out;
}

std::vector<uint32_t> StandInController::logNumbersAsked() const {
    std::vector<uint32_t> out;
    for (const auto& f : commands('W', W_LOG_RECORD))
        if (f.params.size() >= 5)
            out.push_back(readBE32(&f.params[1]));
    return out;
}

void StandInController::tick(uint32_t nowMs) {
    model_.tick(nowMs);
}

// --- receiving -----------------------------------------------------------

void StandInController::outputReport(const uint8_t* report, uint32_t timeMs) {
    if (report[1] != kFragmentMarker) {
        // A raw report (the host sends "R" once per attach): no fragment header.
        HostFrame f;
        f.kind = HostFrame::Raw;
        f.timeMs = timeMs;
        f.params.assign(report + 1, report + kReportSize);
        while (!f.params.empty() && f.params.back() == 0)
            f.params.pop_back();
        history_.push_back(std::move(f));
        return;
    }
    const int count = report[2], index = report[3];
    const size_t n = std::min<size_t>(report[4], kFragmentData);
    if (index == 1) {
        rx_.clear();
        rxNext_ = 1;
    }
    if (index == 0 || index != rxNext_) {
        rxNext_ = 0; // out of order: wait for the next frame's first fragment
        return;
    }
    rx_.insert(rx_.end(), report + 5, report + 5 + n);
    ++rxNext_;
    if (index != count)
        return;
    rxNext_ = 0;
    std::vector<uint8_t> frame;
    frame.swap(rx_);
    model_.tick(timeMs);
    handleFrame(frame, timeMs + answerDelayMs_);
}

void StandInController::handleFrame(const std::vector<uint8_t>& f, uint32_t t) {
    HostFrame h;
    h.timeMs = t;
    h.bytes = f;
    if (f.size() >= 5 && f[0] == kCommandStart && readBE16(&f[1]) + 3u == f.size() &&
        frameSum(f.data(), f.size() - 1) == f.back()) {
        h.kind = HostFrame::Command;
        h.letter = static_cast<char>(f[3]);
        h.params.assign(f.begin() + 4, f.end() - 1);
        history_.push_back(h);
        lastCommandLength_ = std::min(f.size(), sizeof lastCommand_);
        std::memcpy(lastCommand_, f.data(), lastCommandLength_);
        if (h.letter != 'W' || h.sub() != W_DEVINFO_SEND)
            expect_ = Expect::Nothing;
        handleCommand(history_.back(), t);
        return;
    }
    if (f.size() >= 4 && f[0] == kAnswerStart && readBE16(&f[1]) == f.size()) {
        h.kind = HostFrame::Data;
        h.params.assign(f.begin() + 4, f.end());
        history_.push_back(h);
        handleData(f, t);
        return;
    }
    // A frame with a wrong start, length or sum is ignored: the host asks again.
    h.kind = HostFrame::Bad;
    history_.push_back(h);
}

void StandInController::handleCommand(const HostFrame& f, uint32_t t) {
    if (takeSpecialFault(SimFault::Refuse)) {
        // Refused before anything is done: no data, and no data frame awaited.
        expect_ = Expect::Nothing;
        answer(kRefused, nullptr, 0, t);
        return;
    }
    switch (f.letter) {
    case 'A': {
        // Identification answer data (frame offset = data offset + 4):
        //   0 model[20]  20 version[10]  30 buffer size  32 maxDeviceQty
        //  34 deviceType  35 flags  37 machineType  40 flags
        const SimProfile& p = profile();
        uint8_t d[60] = {};
        putText(d + 0, 20, p.modelName);
        putText(d + 20, 10, p.version);
        writeBE16(d + 30, p.systemTotalBufferSize);
        writeBE16(d + 32, static_cast<uint16_t>(model_.portCount()));
        d[34] = p.deviceType;
        d[35] = p.flags39;
        d[37] = p.machineType;
        d[40] = p.flags44;
        answer(RESULT_DONE, d, sizeof d, t);
        return;
    }
    case 'B': {
        uint8_t s[MachineModel::kStatusSize];
        model_.statusBlock(s);
        answer(RESULT_DONE, s, sizeof s, t);
        return;
    }
    case 'E':
        commandE(f, t);
        return;
    case 'W':
        commandW(f, t);
        return;
    case 'X':
        commandX(f, t);
        return;
    case 'Y':
        commandY(f, t);
        return;
    default:
        answer(kRefused, nullptr, 0, t);
        return;
    }
}

void StandInController::commandE(const HostFrame& f, uint32_t t) {
    // Port data: kind, first record (1-based, BE16), count.
    if (f.params.size() < 4) {
        answer(kRefused, nullptr, 0, t);
        return;
    }
    const uint8_t kind = f.params[0];
    const size_t first = readBE16(&f.params[1]);
    const size_t count = f.params[3];
    const size_t size = model_.portRecordSize(kind);
    if (size == 0 || first == 0 || count * size + 9 > kHostFrameLimit) {
        answer(kRefused, nullptr, 0, t);
        return;
    }
    std::vector<uint8_t> data(count * size);
    for (size_t r = 0; r < count; ++r)
        model_.portRecord(kind, first - 1 + r, data.data() + r * size);
    answer(RESULT_DONE, data, t);
}

void StandInController::commandW(const HostFrame& f, uint32_t t) {
    const int sub = f.sub();
    const auto& p = f.params;
    MachineModel& m = model_;
    switch (sub) {
    case W_MACHINE_ID: {
        uint8_t d[64];
        putText(d, 63, m.machineId);
        d[63] = 0;
        answer(RESULT_DONE, d, sizeof d, t);
        return;
    }
    case W_BOARD_LAYOUT: {
        // Little-endian, unlike the rest of the protocol.
        uint8_t d[5];
        writeLE16(d, static_cast<uint16_t>(m.boards().size()));
        writeLE16(d + 2, m.profile().portsPerBoard);
        d[4] = m.profile().portsPerRow;
        answer(RESULT_DONE, d, sizeof d, t);
        return;
    }
    case W_BOARD_LIST: {
        // 3, first board (1-based, little-endian), count; 40 bytes per board:
        //   0 text[16]  16 text[8]  24 FPGA  28 MB  30 devices  32 second count  36 build
        if (p.size() < 4) {
            answer(kRefused, nullptr, 0, t);
            return;
        }
        const size_t first = readLE16(&p[1]);
        const size_t count = p[3];
        if (count * 40 + 4 > kHostFrameLimit) {
            answer(kRefused, nullptr, 0, t);
            return;
        }
        std::vector<uint8_t> d(count * 40, 0);
        for (size_t k = 0; k < count; ++k) {
            const size_t b = first + k; // 1-based
            if (b == 0 || b > m.boards().size())
                continue;
            const SimBoard& board = m.boards()[b - 1];
            uint8_t* r = d.data() + k * 40;
            putText(r, 16, board.text1);
            putText(r + 16, 8, board.text2);
            writeBE32(r + 24, board.fpga);
            writeBE16(r + 28, board.sizeMB);
            writeBE16(r + 30, board.totalDevices);
            writeBE16(r + 32, board.secondCount);
            writeBE32(r + 36, board.build);
        }
        answer(RESULT_DONE, d, t);
        return;
    }
    case W_NICKNAME_READ: {
        uint8_t d[56];
        putText(d, 56, m.nickname);
        answer(RESULT_DONE, d, sizeof d, t);
        return;
    }
    case W_NICKNAME_WRITE:
        expect_ = Expect::Nickname;
        answer(RESULT_READY_FOR_DATA, nullptr, 0, t);
        return;
    case W_CLOCK_SUPPORT:
        answer(RESULT_DONE, nullptr, 0, t);
        return;
    case W_CLOCK_READ: {
        const std::string digits = m.clockDigits();
        answer(RESULT_DONE, reinterpret_cast<const uint8_t*>(digits.data()), 14, t);
        return;
    }
    case W_CLOCK_WRITE:
        expect_ = Expect::Clock;
        answer(RESULT_READY_FOR_DATA, nullptr, 0, t);
        return;
    case W_CONTINUE:
        answer(m.answerContinue(t) ? RESULT_DONE : kRefused, nullptr, 0, t);
        return;
    case W_FINISH:
        answer(m.answerFinish(t) ? RESULT_DONE : kRefused, nullptr, 0, t);
        return;
    case W_LOG_SUPPORT:
        answer(m.profile().jobLog ? RESULT_DONE : kRefused, nullptr, 0, t);
        return;
    case W_LOG_CLOSE:
        answer(RESULT_DONE, nullptr, 0, t);
        return;
    case W_LOG_NUMBERS: {
        uint8_t d[8];
        writeBE32(d, m.logFirstNo());
        writeBE32(d + 4, m.logNextNo());
        answer(m.profile().jobLog ? RESULT_DONE : kRefused, d, sizeof d, t);
        return;
    }
    case W_LOG_RECORD: {
        uint8_t rec[MachineModel::kLogRecordSize];
        if (p.size() >= 5 && m.profile().jobLog && m.logRecord(readBE32(&p[1]), rec))
            answer(RESULT_DONE, rec, sizeof rec, t);
        else
            answer(kRefused, nullptr, 0, t);
        return;
    }
    case W_SETUP_READ:
        answer(RESULT_DONE, m.setup.data(), m.setup.size(), t);
        return;
    case W_SETUP_WRITE:
        expect_ = Expect::Setup;
        answer(RESULT_READY_FOR_DATA, nullptr, 0, t);
        return;
    case W_DEVINFO_COLLECT:
        m.deviceInfoSession = true;
        m.collectDeviceInformation(t);
        answer(RESULT_DONE, nullptr, 0, t);
        return;
    case W_DEVINFO_POLL:
        answer(m.deviceInformationReady(t) ? RESULT_DONE : kRefused, nullptr, 0, t);
        return;
    case W_DEVINFO_SEND: {
        if (m.deviceInformation().empty())
            m.collectDeviceInformation(t);
        devInfoTotal_ = m.deviceInformation().size();
        if (takeSpecialFault(SimFault::DeviceInfoShort) && devInfoTotal_)
            --devInfoTotal_;
        devInfoSent_ = 0;
        expect_ = Expect::DeviceInfo;
        uint8_t d[6];
        writeBE32(d, static_cast<uint32_t>(devInfoTotal_));
        writeBE16(d + 4, static_cast<uint16_t>(devInfoTotal_ / 33));
        answer(RESULT_DATA_READY, d, sizeof d, t);
        return;
    }
    case W_COPY:
    case W_COMPARE:
    case W_COPY_COMPARE:
    case W_COPY_WP:
    case W_COPY_COMPARE_WP:
        answer(m.startJob(jobOf(static_cast<uint8_t>(sub)), t), nullptr, 0, t);
        return;
    case W_RELEASE:
        m.deviceInfoSession = false;
        ++m.releases;
        traceComment("released from device information");
        return; // the host reads no answer to a release
    case W_MARK_PORT:
        // 85, 0, 0, port number (BE16, 1-based)
        if (p.size() >= 5) {
            const uint16_t port = readBE16(&p[3]);
            m.markedPorts.push_back(port);
            if (port >= 1 && port <= m.portCount())
                m.port(port - 1).marked = true;
            traceComment(format("port %u marked: repeated serial number", unsigned(port)));
            answer(RESULT_DONE, nullptr, 0, t);
        } else {
            answer(kRefused, nullptr, 0, t);
        }
        return;
    default:
        answer(kRefused, nullptr, 0, t);
        return;
    }
}

StandInController::MasterState StandInController::masterState() const {
    std::lock_guard<std::mutex> lock(masterMutex_);
    return master_;
}

void StandInController::publishMaster() {
    MasterState now;
    now.atPc = model_.masterAtPc && model_.port(0).medium.present;
    if (now.atPc) {
        const SimMedium& medium = model_.port(0).medium;
        now.capacityMiB = uint64_t(medium.sectors) * medium.sectorSize / 1048576;
        now.identity = model_.masterIdentity;
    }
    std::lock_guard<std::mutex> lock(masterMutex_);
    master_ = now;
}

void StandInController::commandX(const HostFrame& f, uint32_t t) {
    // Master stick hand-over: 26 is a stick there, 27 identity check,
    // 25 hand it to the PC, 28 take it back.
    MachineModel& m = model_;
    const bool idle = m.state() == FN_STANDBY;
    uint8_t d = 0;
    switch (f.sub()) {
    case 26:
        d = idle && m.port(0).medium.present && !m.masterAtPc ? 1 : 0;
        answer(idle ? RESULT_DONE : kRefused, &d, 1, t);
        return;
    case 27:
        d = m.masterRejects ? 1 : 0;
        if (f.params.size() >= 5 && !m.masterRejects)
            std::copy(f.params.begin() + 1, f.params.begin() + 5, m.masterIdentity.begin());
        answer(f.params.size() >= 5 ? RESULT_DONE : kRefused, &d, 1, t);
        return;
    case 25:
        if (idle && m.port(0).medium.present) {
            m.masterAtPc = true;
            publishMaster();
            answer(RESULT_DONE, &d, 1, t);
        } else {
            answer(kRefused, &d, 1, t);
        }
        return;
    case 28:
        m.masterAtPc = false;
        publishMaster();
        answer(RESULT_DONE, &d, 1, t);
        return;
    default:
        answer(kRefused, nullptr, 0, t);
        return;
    }
}

void StandInController::commandY(const HostFrame& f, uint32_t t) {
    MachineModel& m = model_;
    const bool bank = m.profile().imageBank();
    switch (f.sub()) {
    case 1:
        answer(bank ? RESULT_DONE : kRefused, nullptr, 0, t);
        return;
    case 3:
        if (bank) {
            // The block is a whole answer frame with its own CRC-32 at 252.
            std::vector<uint8_t> frame(256);
            m.imageBankBlock(frame.data());
            send(std::move(frame), AnswerCheck::None, t);
        } else {
            answer(kRefused, nullptr, 0, t);
        }
        return;
    case 4:
        if (bank)
            answer(RESULT_DONE, m.imageBankTable(), t);
        else
            answer(kRefused, nullptr, 0, t);
        return;
    default:
        answer(kRefused, nullptr, 0, t);
        return;
    }
}

void StandInController::handleData(const std::vector<uint8_t>& f, uint32_t t) {
    MachineModel& m = model_;
    const uint8_t* d = f.data() + 4;
    const size_t n = f.size() - 4;
    if (expect_ != Expect::Nothing && takeSpecialFault(SimFault::RefuseData)) {
        // Nothing of the data is taken.
        expect_ = Expect::Nothing;
        answer(kRefused, nullptr, 0, t);
        return;
    }
    switch (expect_) {
    case Expect::Nickname: {
        expect_ = Expect::Nothing;
        const size_t len = std::find(d, d + std::min<size_t>(n, 56), 0) - d;
        m.nickname.assign(reinterpret_cast<const char*>(d), len);
        answer(RESULT_DONE, nullptr, 0, t);
        return;
    }
    case Expect::Clock:
        expect_ = Expect::Nothing;
        answer(n >= 14 && m.setClockDigits(d) ? RESULT_DONE : kRefused, nullptr, 0, t);
        return;
    case Expect::Setup: {
        expect_ = Expect::Nothing;
        // 261 bytes: "#", length 261, 0, block[256], sum of bytes 0..259.
        const bool good = f.size() == kSetupFrameSize && frameSum(f.data(), 260) == f[260];
        if (!good || takeSpecialFault(SimFault::SetupCheckError)) {
            answer(RESULT_CHECK_ERROR, nullptr, 0, t);
            return;
        }
        // Tell whoever reads the trace what the host changed.
        std::string changes;
        for (size_t i = 0; i < kSetupBlockSize; ++i)
            if (m.setup[i] != d[i])
                changes += format(" %zu:%02X->%02X", i, m.setup[i], d[i]);
        std::memcpy(m.setup.data(), d, kSetupBlockSize);
        ++m.setupWrites;
        traceComment("setup written:" + (changes.empty() ? std::string(" no change") : changes));
        answer(RESULT_DONE, nullptr, 0, t);
        return;
    }
    case Expect::DeviceInfo: {
        // Each "PASS" token brings the next piece of the collected blocks.
        const auto& info = m.deviceInformation();
        const size_t total = std::min(devInfoTotal_, info.size());
        const size_t k = std::min(kDeviceInfoChunk, total - std::min(total, devInfoSent_));
        std::vector<uint8_t> piece(info.begin() + devInfoSent_, info.begin() + devInfoSent_ + k);
        devInfoSent_ += k;
        answer(RESULT_DONE, piece, t);
        return;
    }
    case Expect::Nothing:
        answer(kRefused, nullptr, 0, t);
        return;
    }
}

// --- answering -----------------------------------------------------------

void StandInController::answer(uint8_t result, const uint8_t* data, size_t n, uint32_t t) {
    // Answer frame: "#", length = total - 3 (BE), result, data, check.
    const AnswerCheck check = answerCheckFor(lastCommand_, lastCommandLength_);
    const size_t checkSize = check == AnswerCheck::Crc32 ? 4 : check == AnswerCheck::Sum ? 1 : 0;
    std::vector<uint8_t> f(4 + n + checkSize);
    f[0] = kAnswerStart;
    writeBE16(&f[1], static_cast<uint16_t>(f.size() - 3));
    f[3] = result;
    if (n)
        std::memcpy(&f[4], data, n);
    send(std::move(f), check, t);
}

SimFaultSpec* StandInController::takeFault(bool hasCheck) {
    const char letter = lastCommandLength_ > 3 ? static_cast<char>(lastCommand_[3]) : 0;
    const int sub = lastCommandLength_ > 5 ? lastCommand_[4] : -1;
    for (auto& spec : faults_) {
        if (spec.kind == SimFault::SetupCheckError || spec.kind == SimFault::DeviceInfoShort ||
            spec.kind == SimFault::Refuse || spec.kind == SimFault::RefuseData)
            continue;
        if (spec.kind == SimFault::WrongCheck && !hasCheck)
            continue;
        if (spec.letter && spec.letter != letter)
            continue;
        if (spec.sub >= 0 && spec.sub != sub)
            continue;
        return &spec;
    }
    return nullptr;
}

bool StandInController::takeSpecialFault(SimFault kind) {
    const char letter = lastCommandLength_ > 3 ? static_cast<char>(lastCommand_[3]) : 0;
    const int sub = lastCommandLength_ > 5 ? lastCommand_[4] : -1;
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->kind != kind || (it->letter && it->letter != letter) ||
            (it->sub >= 0 && it->sub != sub))
            continue;
        traceComment(format("fault %s", simFaultName(kind)));
        ++faultsCommitted_;
        if (--it->times <= 0)
            faults_.erase(it);
        return true;
    }
    return false;
}

void StandInController::send(std::vector<uint8_t> f, AnswerCheck check, uint32_t t) {
    if (check == AnswerCheck::Sum)
        f.back() = frameSum(f.data(), f.size() - 1);
    else if (check == AnswerCheck::Crc32)
        writeBE32(&f[f.size() - 4], crc32(f.data(), f.size() - 4));

    SimFaultSpec* spec = takeFault(check != AnswerCheck::None);
    if (!spec) {
        ++answers_;
        sendFragments(f, t, SIZE_MAX);
        return;
    }
    const SimFaultSpec applied = *spec;
    if (--spec->times <= 0)
        faults_.erase(faults_.begin() + (spec - faults_.data()));
    ++faultsCommitted_;
    traceComment(format("fault %s", simFaultName(applied.kind)));
    switch (applied.kind) {
    case SimFault::WrongCheck:
        if (check == AnswerCheck::Sum)
            f.back() = static_cast<uint8_t>(f.back() + 1);
        else
            f.back() ^= 0x01;
        break;
    case SimFault::WrongLength:
        writeBE16(&f[1], static_cast<uint16_t>(readBE16(&f[1]) + 1));
        break;
    case SimFault::WrongStart:
        f[0] = 0x2A;
        break;
    case SimFault::DropAnswer:
        return;
    case SimFault::LateAnswer:
        t += applied.delayMs;
        break;
    case SimFault::Garbage: {
        // Two reports of junk that the host's link joins into one frame.
        std::vector<uint8_t> junk(70);
        for (size_t i = 0; i < junk.size(); ++i)
            junk[i] = static_cast<uint8_t>(0xA5 ^ (i * 37));
        sendFragments(junk, t, SIZE_MAX);
        return;
    }
    case SimFault::Unplug:
        sendFragments(f, t, f.size() >= kFragmentData ? 1 : 0);
        unplugSelf();
        return;
    default:
        break;
    }
    ++answers_;
    sendFragments(f, t, SIZE_MAX);
}

void StandInController::sendFragments(const std::vector<uint8_t>& f, uint32_t t,
                                      size_t maxFragments) {
    const size_t count = f.size() / kFragmentData + 1;
    for (size_t i = 1; i <= count && i <= maxFragments; ++i) {
        std::array<uint8_t, kReportSize> r{};
        const size_t off = (i - 1) * kFragmentData;
        const size_t n = i == count ? f.size() % kFragmentData : kFragmentData;
        r[2] = static_cast<uint8_t>(count);
        r[3] = static_cast<uint8_t>(i);
        r[4] = static_cast<uint8_t>(n);
        if (n)
            std::memcpy(r.data() + 5, f.data() + off, n);
        sendInput(r.data(), t);
    }
}

} // namespace dupmon
