// The operating loop (sequence 3): the status poll and the decisions taken on
// it, the job-log check and fetch, and the port data fetches of a busy
// machine and of the full refresh walk. An idle machine's requests are served
// from here (see command_machine_requests.cpp).
#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "protocol/command_machine.h"

namespace dupmon {

namespace {
constexpr int kMaxPortBytesPerPacket = 1010;
} // namespace

void COMMAND_MACHINE::decideOperating() {
    const int S = status_.machineState;
    const int U = status_.machineSubState;
    switch (step_) {
    case TOP:
        // An idle machine with nothing to fetch and nothing asked of it is
        // polled at a modest rate; anything posted is served at once.
        if (idleSettled_ && !anyRequest() &&
            static_cast<int32_t>(nextIdlePoll_ - clock_.tickMs()) > 0)
            break;
        idleSettled_ = false;
        if (globalRefreshMark_ && windowOpen_) {
            globalRefreshMark_ = false;
            reportStatus(STATUS_CLEAR_PORTS, blockBuffer_.get());
        }
        if (req_.setClock) {
            logf("SET_MACHINE_CLOCK = [%s]", clockText_);
            req_.setClock = false;
            clockWritten_ = false;
            begin(Exchange::ClockWrite, CLOCK_DONE);
        } else if (req_.cont) {
            req_.cont = false;
            singleSub_ = 13;
            begin(Exchange::Single, TOP);
        } else if (req_.finish) {
            req_.finish = false;
            singleSub_ = 14;
            begin(Exchange::Single, TOP);
        } else {
            const uint32_t now = clock_.tickMs();
            nextIdlePoll_ = now - now % kIdlePollIntervalMs + kIdlePollIntervalMs;
            begin(Exchange::Status, STATUS);
        }
        break;
    case CLOCK_DONE:
        if (clockWritten_) {
            logf("SET_MACHINE_CLOCK = [%s] Finish !", clockText_);
            reportEvent(EVENT_CLOCK_SET, 0, nullptr);
        } else {
            reportEvent(EVENT_CLOCK_NOT_SET, 0, nullptr);
        }
        step_ = TOP;
        break;
    case STATUS:
        if (S == 0 || S == 29)
            step_ = IDLE;
        else if (info_->deviceType == 51)
            step_ = TOP; // followed by status alone until it is idle again
        else
            step_ = windowOpen_ ? BUSY : TOP;
        break;
    case IDLE:
        if (!serveRequest()) {
            step_ = logSupported_ ? LOG_CHECK : TOP;
            idleSettled_ = !logSupported_;
        }
        break;
    case LOG_CHECK:
        beginLogCheck(false, TOP);
        break;
    case BUSY:
        if (req_.refresh) {
            req_.refresh = false;
            step_ = REFRESH_PORTS;
        } else {
            step_ = BUSY_FETCH;
        }
        break;
    case BUSY_FETCH:
        busyFetch();
        break;
    case REFRESH_PORTS:
        beginPortFetch(1, 0, info_->maxDeviceQty, 0, true, REFRESH_NEXT);
        break;
    case REFRESH_NEXT:
        if (isOneOf(U, {4, 13, 14, 5, 6}))
            step_ = REFRESH_KIND;
        else
            step_ = logSupported_ ? LOG_CHECK : TOP;
        break;
    case REFRESH_KIND:
        refreshKind_ = isOneOf(S, {1, 4, 5, 84, 85}) ? 3
                       : isOneOf(S, {6, 9, 10})      ? 4
                       : isOneOf(S, {16, 17})        ? 5
                       : isOneOf(S, {14, 15, 32})    ? 6
                       : isOneOf(S, {11, 12, 13})    ? 7
                       : S == 23                     ? 8
                       : S == 22                     ? 9
                       : isOneOf(S, {80, 81, 82})    ? 11
                                                     : 10;
        step_ = REFRESH_FETCH;
        break;
    case REFRESH_FETCH:
        if (refreshKind_ == 10)
            step_ = logSupported_ ? LOG_CHECK : TOP;
        else
            beginPortFetch(refreshKind_, 0, info_->maxDeviceQty, 0, true, REFRESH_POLL);
        break;
    case REFRESH_POLL:
        begin(Exchange::Status, REFRESH_STATUS);
        break;
    case REFRESH_STATUS:
        // The walk never holds back the operator: an answer or a clock to send,
        // or a machine that left its working phases (waiting for its operator,
        // for one), ends it, so that the busy steps ask their question and Top
        // sends the answer.
        if (S == 0 || req_.cont || req_.finish || req_.setClock || !isOneOf(U, {4, 13, 14, 5}))
            step_ = TOP;
        else
            step_ = logSupported_ ? REFRESH_LOG_CHECK : REFRESH_AGAIN;
        break;
    case REFRESH_LOG_CHECK:
        beginLogCheck(true, REFRESH_AGAIN);
        break;
    case REFRESH_AGAIN:
        if (U == 3 || req_.refresh) {
            req_.refresh = false;
            step_ = REFRESH_PORTS;
        } else {
            step_ = REFRESH_FETCH;
        }
        break;
    default:
        step_ = TOP;
        break;
    }
}

// ---------------------------------------------------------------------------
// Status poll

void COMMAND_MACHINE::sendStatus() {
    sendCommand('B', {});
}

void COMMAND_MACHINE::onStatusAnswer() {
    takeStatusBlock(step_ != REFRESH_POLL);
    finish();
}

void COMMAND_MACHINE::takeStatusBlock(bool noteStateChange) {
    const uint8_t* a = answerBytes(4 + 28);
    MachineStatus& s = status_;
    std::memcpy(s.raw, a + 4, 28);
    s.machineState = s.raw[2];
    s.machineSubState = s.raw[3];
    s.value8 = readBE32(s.raw + 8);
    s.passCount = readBE32(s.raw + 12);
    s.failCount = readBE32(s.raw + 16);
    s.logFirstNo = readBE32(s.raw + 20);
    s.logCount = readBE32(s.raw + 24);
    reportStatus(STATUS_MACHINE, s.raw);
    if (noteStateChange && s.machineState != lastState_) {
        lastState_ = s.machineState;
        stateChanged_ = true;
    }
}

// ---------------------------------------------------------------------------
// Job-log check and fetch

// New job-log records: two per idle pass, up to ten per busy pass. Log numbers
// are 32-bit and wrap: n is in the controller's range when
// (n - logFirstNo) mod 2^32 < logCount, and the number after 0xFFFFFFFF is 0.
void COMMAND_MACHINE::beginLogCheck(bool busy, int nextStep) {
    const uint32_t first = status_.logFirstNo;
    const uint32_t count = status_.logCount;
    const uint32_t stored = static_cast<uint32_t>(info_->lastStoredLogNo);
    const uint32_t last = first + count - 1;
    step_ = nextStep;
    if (count == 0 || (storedRecords_ && stored == last) || !logStoreReady_) {
        // Only an idle machine slows down: a running job is followed closely.
        idleSettled_ = !busy && (status_.machineState == 0 || status_.machineState == 29);
        return;
    }
    // Log number 0 is a real record: with nothing stored, start at the oldest the
    // controller holds; with records stored, always right after the newest, unless
    // the controller no longer holds that number.
    uint32_t next = storedRecords_ ? stored + 1 : first;
    if (next - first >= count)
        next = first;
    const uint32_t wanted = count - (next - first);
    const int U = status_.machineSubState;
    const uint32_t limit = busy ? (isOneOf(U, {4, 13, 14}) ? 1 : 10) : 2;
    logNext_ = next;
    logToFetch_ = int(std::min(wanted, limit));
    begin(Exchange::LogFetch, nextStep);
}

bool COMMAND_MACHINE::fetchingLog() const {
    return exchange_ == Exchange::LogFetch;
}

void COMMAND_MACHINE::sendLogRequest() {
    uint8_t p[5] = {23};
    writeBE32(p + 1, logNext_);
    sendCommand('W', p, 5);
}

void COMMAND_MACHINE::onLogAnswer() {
    const uint8_t result = channel_.result();
    if (!logStoreReady_) {
        finish();
        return;
    }
    if (result != RESULT_DONE) {
        logf("Log record %u refused by the controller (%d)", logNext_, result);
        finish();
        return;
    }
    // The next request goes out before this record is stored, so that
    // the controller answers while the record reaches the disk.
    uint8_t record[kLogRecordSize];
    std::memcpy(record, channel_.answer() + 4, kLogRecordSize);
    ++logNext_;
    if (--logToFetch_ > 0)
        sendLogRequest();
    else
        finish();
    if (logRecord_fn_)
        logRecord_fn_(logRecordUser_, int(kLogRecordSize), record);
}

// ---------------------------------------------------------------------------
// Port data

void COMMAND_MACHINE::busyFetch() {
    const int S = status_.machineState;
    const int U = status_.machineSubState;
    const int N = info_->maxDeviceQty;
    const bool copyLike = isOneOf(S, {1, 4, 5, 23, 54, 55, 84, 85});
    const bool working = isOneOf(U, {4, 13, 14});
    const int next = (isOneOf(S, {1, 4, 5, 84, 85}) && working) ? TOP
                     : logSupported_                            ? LOG_CHECK
                                                                : TOP;
    step_ = next;
    if (stateChanged_) {
        stateChanged_ = false;
        lastSubState_ = -1;
        if (U == 1 || U == 2)
            beginPortFetch(1, 0, 1, STATUS_SOURCE, false, next);
        else if (copyLike)
            beginPortFetch(1, 0, N, STATUS_PORTS_ALL, false, next);
        return;
    }
    if (copyLike) {
        if (U != lastSubState_) {
            subStateChanged_ = true;
            lastSubState_ = U;
        }
        if (U == 1 || U == 2 || U == 11) {
            beginPortFetch(1, 0, 1, STATUS_SOURCE, false, next);
        } else if (U == 3) {
            beginPortFetch(1, 0, N, STATUS_TARGETS, false, next);
        } else if (working) {
            if (subStateChanged_) {
                subStateChanged_ = false;
                beginPortFetch(1, 0, N, STATUS_TARGETS, false, next);
            } else {
                beginPortFetch(3, 0, N, STATUS_WORKING, false, next);
            }
        } else if (U == 6 || U == 12) {
            if (subStateChanged_) {
                subStateChanged_ = false;
                beginPortFetch(1, 0, N, STATUS_OUTCOME, false, next);
            }
        } else if (U == 7) {
            if (subStateChanged_)
                reportStatus(STATUS_POWER_OFF, blockBuffer_.get());
        }
        return;
    }
    // Other functions: the first record is the master port on deviceType 15.
    const int first = info_->deviceType == 15 ? 1 : 0;
    if (isOneOf(S, {6, 9, 10}))
        beginPortFetch(4, first, N, STATUS_ASYNC_COPY, false, next);
    else if (isOneOf(S, {14, 15, 32, 74}))
        beginPortFetch(6, first, N, STATUS_TEST, false, next);
    else if (isOneOf(S, {24, 25, 26, 58, 59}))
        beginPortFetch(1, first, N, STATUS_FORMAT, false, next);
    else if (isOneOf(S, {11, 12, 13}))
        beginPortFetch(7, first, N, STATUS_ERASE, false, next);
    else if (isOneOf(S, {16, 17}))
        beginPortFetch(5, first, N, STATUS_CHECK, false, next);
    else if (S == 80)
        beginPortFetch(1, first, N, STATUS_SET_PROTECT, false, next);
    else if (S == 81)
        beginPortFetch(1, first, N, STATUS_RELEASE_PROTECT, false, next);
    else if (S == 82)
        beginPortFetch(1, first, N, STATUS_SHOW_PROTECT, false, next);
}

void COMMAND_MACHINE::beginPortFetch(int kind, int first, int end, int code, bool codeIsSubState,
                                     int nextStep) {
    const size_t size = portRecordSize(kind, info_->wideCounters);
    step_ = nextStep;
    if (size == 0 || end <= first)
        return;
    fetchKind_ = kind;
    fetchRecordSize_ = int(size);
    fetchPerPacket_ = kMaxPortBytesPerPacket / int(size);
    fetchIndex_ = first;
    fetchEnd_ = end;
    fetchCode_ = code;
    fetchCodeIsSubState_ = codeIsSubState;
    begin(Exchange::PortFetch, nextStep);
}

void COMMAND_MACHINE::sendPortRequest() {
    fetchCount_ = std::min(fetchPerPacket_, fetchEnd_ - fetchIndex_);
    const int number = fetchIndex_ + 1;
    sendCommand('E',
                {uint8_t(fetchKind_), uint8_t(number >> 8), uint8_t(number), uint8_t(fetchCount_)});
}

void COMMAND_MACHINE::onPortAnswer() {
    // The refresh walk's blocks are rendered by the running function: handing a
    // port block over under the sub-state's number would pass it to handlers of
    // status blocks (1), device information (5) or summaries (7).
    const int code = fetchCodeIsSubState_ ? int(STATUS_PORT_DATA) : fetchCode_;
    const size_t have = channel_.answerLength() > 4 ? size_t(channel_.answerLength() - 4) : 0;
    const int records = std::min<int>(fetchCount_, int(have / size_t(fetchRecordSize_)));
    if (status_fn_ && code != STATUS_PORTS_ALL && records > 0) {
        const uint8_t* src = channel_.answer() + 4;
        PortDataBlock block{fetchKind_, fetchIndex_, records, src};
        const bool narrow = !info_->wideCounters && (fetchKind_ == 1 || fetchKind_ == 11);
        if (narrow) {
            const size_t wide = fetchKind_ == 1 ? kWidePortRecordSize : kWideKind11Size;
            for (int i = 0; i < records; ++i)
                widenPortRecord(fetchKind_, src + size_t(i) * size_t(fetchRecordSize_),
                                workBuffer_.get() + size_t(i) * wide);
            block.records = workBuffer_.get();
        }
        reportStatus(code, &block);
    }
    fetchIndex_ += fetchCount_;
    if (fetchIndex_ < fetchEnd_)
        sendPortRequest();
    else
        finish();
}

} // namespace dupmon
