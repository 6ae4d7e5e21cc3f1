// The engine's core: connecting and disconnecting, stepping, sending a frame
// and taking its answer, answers that do not fit their command, and silence.
// Which phase each exchange belongs to, and its send and answer handlers, are
// listed in handlersOf().
#include "protocol/command_machine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"

namespace dupmon {

bool COMMAND_MACHINE::globalRefreshMark_ = true;

namespace {
constexpr size_t kMessageBufferSize = 6000;
} // namespace

COMMAND_MACHINE::COMMAND_MACHINE(MachineInfo* info, const Clock& clock, UiServices& ui)
    : info_(info), clock_(clock), ui_(ui), channel_(clock), workBuffer_(new uint8_t[kBufferSize]()),
      blockBuffer_(new uint8_t[kBufferSize]()), textBuffer_(new char[kMessageBufferSize]()),
      scratch_(new uint8_t[FrameChannel::kMaxReadLength + 64]()) {}

COMMAND_MACHINE::~COMMAND_MACHINE() = default;

void COMMAND_MACHINE::bind(ReadPacketFn read, void* readUser, WritePacketFn write, void* writeUser,
                           LogMessageFn log, void* logUser, StatusFn status, void* statusUser,
                           EventFn event, void* eventUser) {
    channel_.setRead(read, readUser);
    channel_.setWrite(write, writeUser);
    channel_.setLog(log, logUser);
    log_fn_ = log;
    logUser_ = logUser;
    status_fn_ = status;
    statusUser_ = statusUser;
    event_fn_ = event;
    eventUser_ = eventUser;
    selectSequence(1);
    this->log("Device connect ! ");
    connected_ = true;
    windowOpen_ = false;
    silent_ = false;
}

void COMMAND_MACHINE::setLogRecordCallback(LogRecordFn fn, void* user) {
    logRecord_fn_ = fn;
    logRecordUser_ = user;
}

void COMMAND_MACHINE::disconnect() {
    connected_ = false;
    log("Device disconnect ! ");
    // Nobody waits for a machine that is gone, and what was asked of it is
    // not served to the next machine bound to this connection.
    masterTakeBusy_ = false;
    masterReturnBusy_ = false;
    req_ = {};
    silent_ = false;
}

void COMMAND_MACHINE::selectSequence(int value) {
    sequence_ = value;
    step_ = 0;
    deciding_ = true;
}

void COMMAND_MACHINE::log(const char* text) {
    if (log_fn_)
        log_fn_(logUser_, text);
}

void COMMAND_MACHINE::logf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(textBuffer_.get(), kMessageBufferSize, fmt, ap);
    va_end(ap);
    log(textBuffer_.get());
}

void COMMAND_MACHINE::reportStatus(int code, const void* data) {
    if (status_fn_)
        status_fn_(statusUser_, code, data);
}

void COMMAND_MACHINE::reportEvent(int code, int index, const void* data) {
    if (event_fn_)
        event_fn_(eventUser_, code, index, data);
}

void COMMAND_MACHINE::step() {
    if (!connected_)
        return;
    if (!deciding_) {
        exchangeStep();
        return;
    }
    if (sequence_ == 1)
        decideIdentification();
    else
        decideOperating();
}

// ---------------------------------------------------------------------------
// Exchanges

COMMAND_MACHINE::ExchangeHandlers COMMAND_MACHINE::handlersOf(Exchange x) {
    using C = COMMAND_MACHINE;
    switch (x) {
    // identification
    case Exchange::Identify:
        return {&C::sendIdentify, &C::onIdentifyAnswer};
    case Exchange::MachineId:
        return {&C::sendMachineId, &C::onMachineIdAnswer};
    case Exchange::BoardLayout:
        return {&C::sendBoardLayout, &C::onBoardLayoutAnswer};
    case Exchange::BoardList:
        return {&C::sendBoardList, &C::onBoardListAnswer};
    case Exchange::Nickname:
        return {&C::sendNicknameRead, &C::onNicknameReadAnswer};
    case Exchange::LogSupport:
        return {&C::sendLogSupport, &C::onLogSupportAnswer};
    case Exchange::LogNumbers:
        return {&C::sendLogNumbers, &C::onLogNumbersAnswer};
    case Exchange::LogClose:
        return {&C::sendLogClose, &C::finish};
    // operating loop
    case Exchange::Status:
        return {&C::sendStatus, &C::onStatusAnswer};
    case Exchange::LogFetch:
        return {&C::sendLogRequest, &C::onLogAnswer};
    case Exchange::PortFetch:
        return {&C::sendPortRequest, &C::onPortAnswer};
    // requests
    case Exchange::ClockWrite:
        return {&C::sendClockWrite, &C::onClockWriteAnswer};
    case Exchange::Single:
        return {&C::sendSingle, &C::onSingleAnswer};
    case Exchange::NicknameWrite:
        return {&C::sendNicknameWrite, &C::onNicknameWriteAnswer};
    case Exchange::ClockRead:
        return {&C::sendClockRead, &C::onClockReadAnswer};
    case Exchange::SetupRead:
        return {&C::sendSetupRead, &C::onSetupReadAnswer};
    case Exchange::SetupWrite:
        return {&C::sendSetupWrite, &C::onSetupWriteAnswer};
    case Exchange::ImageBank:
        return {&C::sendImageBank, &C::onImageBankAnswer};
    case Exchange::MasterTake:
        return {&C::sendMasterTake, &C::onMasterTakeAnswer};
    case Exchange::MasterReturn:
        return {&C::sendMasterReturn, &C::onMasterReturnAnswer};
    case Exchange::DeviceInfo:
        return {&C::sendDeviceInfo, &C::onDeviceInfoAnswer};
    case Exchange::Release:
        return {&C::sendRelease, &C::finish};
    case Exchange::MarkPorts:
        return {&C::sendMarkPort, &C::onMarkPortAnswer};
    case Exchange::None:
        break;
    }
    return {&C::finish, &C::finish};
}

void COMMAND_MACHINE::begin(Exchange x, int nextStep) {
    exchange_ = x;
    nextStep_ = nextStep;
    cmdState_ = CommandState::Send;
    transfer_ = TransferPhase::Command;
    deciding_ = false;
    exchangeTimeOuts_ = 0;
    dataSends_ = 0;
}

void COMMAND_MACHINE::finish() {
    exchange_ = Exchange::None;
    deciding_ = true;
    step_ = nextStep_;
}

void COMMAND_MACHINE::sendCommand(char letter, const uint8_t* params, size_t n) {
    channel_.sendCommand(letter, params, n);
    cmdState_ = CommandState::AwaitAnswer;
}

void COMMAND_MACHINE::sendCommand(char letter, std::initializer_list<uint8_t> params) {
    uint8_t p[kMaxCommandParams] = {};
    size_t n = 0;
    for (uint8_t b : params)
        p[n++] = b;
    sendCommand(letter, p, n);
}

void COMMAND_MACHINE::sendData(const uint8_t* data, size_t n) {
    channel_.sendData(data, n);
    cmdState_ = CommandState::AwaitAnswer;
}

const uint8_t* COMMAND_MACHINE::answerBytes(size_t need) {
    const size_t cap = FrameChannel::kMaxReadLength + 64;
    if (need > cap)
        need = cap;
    const size_t have = std::min<size_t>(static_cast<size_t>(channel_.answerLength()), need);
    std::memcpy(scratch_.get(), channel_.answer(), have);
    std::memset(scratch_.get() + have, 0, cap - have);
    return scratch_.get();
}

// The first frame of an exchange goes out from its send handler; later frames
// are sent by its answer handler.
void COMMAND_MACHINE::exchangeStep() {
    switch (cmdState_) {
    case CommandState::AwaitAnswer: {
        const uint32_t timeOuts = channel_.timeOuts();
        const bool answered = channel_.receive();
        if (channel_.timeOuts() != timeOuts) {
            onTimeOut();
            return;
        }
        if (!answered)
            return;
        if (silent_) {
            silent_ = false;
            log("The machine answers again: requests are taken again");
            const bool silent = false;
            reportStatus(STATUS_SILENCE, &silent);
        }
        if (const char* why = answerMisfit()) {
            // An answer that came too late for an earlier command: taking it
            // would shift every later answer by one. Wait for the right one.
            logf("Answer of %d bytes does not fit command %c,%d (%s): dropped",
                 channel_.answerLength(), char(channel_.lastCommand()[3]),
                 channel_.lastCommand()[4], why);
            return;
        }
        noteAnswer();
        (this->*handlersOf(exchange_).answer)();
        return;
    }
    case CommandState::ReleaseWait:
        if (msSinceRelease() > 100)
            finish();
        return;
    case CommandState::Send:
        (this->*handlersOf(exchange_).send)();
        return;
    }
}

const char* COMMAND_MACHINE::answerMisfit() const {
    const uint8_t* c = channel_.lastCommand();
    const uint8_t* a = channel_.answer();
    const int n = channel_.answerLength();
    if (sequence_ == 1) {
        if (const char* why = identificationMisfit())
            return why;
    }
    switch (c[3]) {
    case 'B':
        return n == 4 + 28 + 1 ? nullptr : "length";
    case 'W':
        if (c[4] != 23)
            return nullptr;
        // A refusal (no such record), or the record that was asked for: a record
        // carries its own log number in its first four bytes.
        if (n == 5)
            return channel_.result() != RESULT_DONE ? nullptr : "length";
        return n == int(4 + kLogRecordSize + 1) && readBE32(a + 4) == readBE32(c + 5)
                   ? nullptr
                   : "not the record asked for";
    case 'E':
        if (exchange_ != Exchange::PortFetch)
            return nullptr;
        return n == 4 + fetchCount_ * fetchRecordSize_ + (fetchKind_ == 11 ? 4 : 1) ? nullptr
                                                                                    : "length";
    default:
        return nullptr;
    }
}

uint32_t COMMAND_MACHINE::msUntilDue() const {
    if (!connected_)
        return kNoDeadline;
    if (!deciding_) {
        if (cmdState_ == CommandState::AwaitAnswer)
            return channel_.msUntilDue();
        if (cmdState_ == CommandState::ReleaseWait) {
            const int elapsed = msSinceRelease();
            return elapsed > 100 ? 0 : uint32_t(101 - elapsed);
        }
        return 0;
    }
    if (sequence_ == 1 && step_ == ID_WAIT) {
        const LocalTime t = clock_.localTime();
        const int seconds = (t.second - identifyStartSecond_ + 60) % 60;
        return seconds >= 2 ? 0 : uint32_t((2 - seconds) * 1000 - t.millisecond);
    }
    if (sequence_ == 3 && step_ == TOP && idleSettled_ && !anyRequest()) {
        const auto left = static_cast<int32_t>(nextIdlePoll_ - clock_.tickMs());
        return left > 0 ? uint32_t(left) : 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Silence

void COMMAND_MACHINE::onTimeOut() {
    ++exchangeTimeOuts_;
    if (!silent_) {
        silent_ = true;
        log("The machine does not answer: requests are refused until it answers again");
        const bool silent = true;
        reportStatus(STATUS_SILENCE, &silent);
        dropRequests();
    }
    // The status poll, the log fetch and identification keep asking; what the
    // operator asked for ends, said to have failed, once its re-send went
    // unanswered too, instead of running whenever the machine comes back.
    if (exchangeTimeOuts_ >= 2 && operatorExchange())
        abandonExchange();
}

} // namespace dupmon
