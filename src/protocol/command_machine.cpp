#include "protocol/command_machine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "common/text.h"
#include "protocol/checksum.h"

namespace dupmon {

bool COMMAND_MACHINE::globalRefreshMark_ = true;

namespace {

constexpr size_t kBufferSize = 128 * 1024;
constexpr size_t kMessageBufferSize = 6000;
constexpr int kMaxPortBytesPerPacket = 1010;
constexpr int kMaxImageEntries = 1000;
constexpr size_t kLogRecordSize = 128; // one job-log record, as W 23 answers it

bool isOneOf(int v, std::initializer_list<int> set) {
    return std::find(set.begin(), set.end(), v) != set.end();
}

// Text a controller can have sent in a field of `size` bytes: up to its NUL,
// no control characters (nor bytes above 0x7E when `ascii`), and something
// other than blanks.
bool plausibleText(const uint8_t* p, size_t size, bool ascii) {
    bool any = false;
    for (size_t i = 0; i < size && p[i] != 0; ++i) {
        if (p[i] < 0x20 || p[i] == 0x7F || (ascii && p[i] > 0x7E))
            return false;
        any |= p[i] != ' ';
    }
    return any;
}

bool isDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// Why an answer cannot be the controller's answer to an identification
// command, or nullptr: an identification answer carries its model text at 4,
// its version text "vM.SS.m" at 24 and its fields up to offset 44; a machine
// identity is text; a board layout fits the board table.
const char* implausibleIdentification(char letter, uint8_t sub, const uint8_t* a, int length) {
    if (letter == 'A') {
        if (length < 45)
            return "too short";
        if (!plausibleText(a + 4, 20, true))
            return "no model text";
        if (a[24] != 'v' || !isDigit(a[25]) || a[26] != '.' || !isDigit(a[27]) || !isDigit(a[28]) ||
            a[29] != '.' || !isDigit(a[30]))
            return "no version text";
        if (readBE16(a + 36) > kMaxMarkPorts)
            return "port count";
        return nullptr;
    }
    if (letter == 'W' && sub == 1)
        return length >= 5 && plausibleText(a + 4, size_t(std::min(63, length - 4)), false)
                   ? nullptr
                   : "no identity text";
    if (letter == 'W' && sub == 2) {
        if (length < 9)
            return "too short";
        if (readLE16(a + 4) > kMaxBoards)
            return "board count";
        if (readLE16(a + 6) > kMaxMarkPorts)
            return "ports per board";
    }
    return nullptr;
}

} // namespace

// What the exchange phase is carrying out.
enum class COMMAND_MACHINE::Exchange {
    None,
    // identification
    Identify,
    MachineId,
    BoardLayout,
    BoardList,
    Nickname,
    LogSupport,
    LogNumbers,
    LogClose,
    // operating loop
    Status,
    ClockWrite,
    Single, // W 13/14/42/43/44/66/67: one command, answer delivered as an event
    NicknameWrite,
    ClockRead,
    SetupRead,
    SetupWrite,
    ImageBank,
    MasterTake,
    MasterReturn,
    DeviceInfo,
    Release,
    MarkPorts,
    LogFetch,
    PortFetch,
};

// Command states inside an exchange.
enum : int {
    CMD_SEND = 1,
    CMD_RECEIVE = 2,
    CMD_RELEASE_WAIT = 3,
};

size_t portRecordSize(int kind, bool wide) {
    switch (kind) {
    case 1:
        return wide ? kWidePortRecordSize : kNarrowPortRecordSize;
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
        return wide ? kWideKind11Size : kNarrowKind11Size;
    default:
        return 0;
    }
}

void widenPortRecord(int kind, const uint8_t* n, uint8_t* w) {
    if (kind == 1) {
        // narrow: addr 0, capacity 4, completeSector 8, sectorsPerMB 12, dataSectors 16,
        // realCapacity 20, wide 48..76 at 24..52, failAddr 56, wide 84 at 60,
        // four u16 at 64..70, eighteen bytes at 72..89
        std::memset(w, 0, kWidePortRecordSize);
        writeBE64(w + 0, readBE32(n + 0));
        writeBE64(w + 8, readBE32(n + 4));
        writeBE64(w + 16, readBE32(n + 8));
        std::memcpy(w + 80, n + 12, 4);
        writeBE64(w + 24, readBE32(n + 16));
        writeBE64(w + 32, readBE32(n + 20));
        std::memcpy(w + 48, n + 24, 32);
        writeBE64(w + 40, readBE32(n + 56));
        std::memcpy(w + 84, n + 60, 4);
        std::memcpy(w + 88, n + 64, 8);
        std::memcpy(w + 96, n + 72, 18);
    } else if (kind == 11) {
        // narrow: wide 0, 8, 16, 32, 24 at 0, 4, 8, 12, 16; wide 40..52 at 20..32;
        // wide 56 at 36; nine bytes at 38..46
        std::memset(w, 0, kWideKind11Size);
        writeBE64(w + 0, readBE32(n + 0));
        writeBE64(w + 8, readBE32(n + 4));
        writeBE64(w + 16, readBE32(n + 8));
        writeBE64(w + 32, readBE32(n + 12));
        writeBE64(w + 24, readBE32(n + 16));
        std::memcpy(w + 40, n + 20, 16);
        std::memcpy(w + 56, n + 36, 2);
        std::memcpy(w + 58, n + 38, 9);
    }
}

COMMAND_MACHINE::COMMAND_MACHINE(MachineInfo* info, const Clock& clock, UiServices& ui)
    : info_(info), clock_(clock), ui_(ui), channel_(clock), workBuffer_(new uint8_t[kBufferSize]()),
      blockBuffer_(new uint8_t[kBufferSize]()), textBuffer_(new char[kMessageBufferSize]()),
      scratch_(new uint8_t[FrameChannel::kMaxReadLength + 64]()), exchange_(Exchange::None) {}

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

void COMMAND_MACHINE::begin(Exchange x, int nextStep) {
    exchange_ = x;
    nextStep_ = nextStep;
    cmdState_ = CMD_SEND;
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
    cmdState_ = CMD_RECEIVE;
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
    cmdState_ = CMD_RECEIVE;
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

// The first frame of every exchange; later frames are sent from onAnswer().
void COMMAND_MACHINE::exchangeStep() {
    if (cmdState_ == CMD_RECEIVE) {
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
        onAnswer();
        return;
    }
    if (cmdState_ == CMD_RELEASE_WAIT) {
        int now = clock_.localTime().millisecond;
        if (now < releaseMs_)
            now += 1000;
        if (now - releaseMs_ > 100)
            finish();
        return;
    }
    // CMD_SEND
    switch (exchange_) {
    case Exchange::Identify:
        sendCommand('A', {});
        break;
    case Exchange::MachineId:
        sendCommand('W', {1});
        break;
    case Exchange::BoardLayout:
        sendCommand('W', {2});
        break;
    case Exchange::BoardList: {
        const int first = boardStart_ + 1;
        sendCommand('W', {3, uint8_t(first), uint8_t(first >> 8), uint8_t(boardCount_)});
        break;
    }
    case Exchange::Nickname:
        sendCommand('W', {4});
        break;
    case Exchange::LogSupport:
        sendCommand('W', {20});
        break;
    case Exchange::LogNumbers:
        sendCommand('W', {22});
        break;
    case Exchange::LogClose:
        sendCommand('W', {21});
        break;
    case Exchange::Status:
        sendCommand('B', {});
        break;
    case Exchange::ClockWrite:
        sendCommand('W', {12});
        break;
    case Exchange::NicknameWrite:
        sendCommand('W', {5});
        break;
    case Exchange::ClockRead:
        sendCommand('W', {10});
        break;
    case Exchange::SetupRead:
        sendCommand('W', {30});
        break;
    case Exchange::SetupWrite:
        sendCommand('W', {31});
        break;
    case Exchange::ImageBank:
        sendCommand('Y', {1});
        break;
    case Exchange::MasterTake:
        sendCommand('X', {26});
        break;
    case Exchange::MasterReturn:
        sendCommand('X', {28});
        break;
    case Exchange::DeviceInfo:
        reportStatus(STATUS_DEVICE_INFO_START, workBuffer_.get());
        sendCommand('W', {41});
        break;
    case Exchange::Release:
        sendCommand('W', {81});
        releaseMs_ = clock_.localTime().millisecond;
        cmdState_ = CMD_RELEASE_WAIT;
        break;
    case Exchange::MarkPorts: {
        const uint16_t port = portList_[markIndex_];
        sendCommand('W', {85, 0, 0, uint8_t(port >> 8), uint8_t(port)});
        break;
    }
    case Exchange::LogFetch: {
        uint8_t p[5] = {23};
        writeBE32(p + 1, logNext_);
        sendCommand('W', p, 5);
        break;
    }
    case Exchange::PortFetch:
        sendPortRequest();
        break;
    case Exchange::Single:
        sendCommand('W', {singleSub_});
        break;
    case Exchange::None:
        finish();
        break;
    }
}

void COMMAND_MACHINE::onAnswer() {
    const uint8_t result = channel_.result();
    switch (exchange_) {
    case Exchange::Identify:
        parseIdentification();
        finish();
        break;
    case Exchange::MachineId: {
        const uint8_t* a = answerBytes(4 + 64);
        copyField(machineIdCopy_, sizeof machineIdCopy_,
                  fieldText(reinterpret_cast<const char*>(a + 4), 63));
        copyField(info_->machineId, sizeof info_->machineId, machineIdCopy_);
        logf("Machine ID: [%s]", info_->machineId);
        finish();
        break;
    }
    case Exchange::BoardLayout: {
        const uint8_t* a = answerBytes(9);
        info_->boardQty = readLE16(a + 4);
        info_->portQty_per_board = readLE16(a + 6);
        info_->portQty_per_Row = a[8];
        logf("boardQty          = %d", info_->boardQty);
        logf("portQty_per_board = %d", info_->portQty_per_board);
        logf("portQty_per_Row   = %d", info_->portQty_per_Row);
        if (info_->machineType == 1) {
            info_->portQty_per_Row = 8;
            info_->portQty_per_board = 8;
        }
        boardStart_ = 0;
        boardsRequested_ = false;
        finish();
        break;
    }
    case Exchange::BoardList: {
        const uint8_t* a = answerBytes(4 + 40 * 25);
        for (int i = 0; i < boardCount_; ++i) {
            const int index = boardStart_ + i;
            if (index >= static_cast<int>(kMaxBoards))
                break; // read and dropped: the table holds 255 boards
            const uint8_t* r = a + 4 + 40 * i;
            BoardInfo& b = boards_[index];
            copyField(b.text1, sizeof b.text1, fieldText(reinterpret_cast<const char*>(r), 16));
            copyField(b.text2, sizeof b.text2, fieldText(reinterpret_cast<const char*>(r + 16), 8));
            b.fpgaVersion = readBE32(r + 24);
            b.sizeMB = readBE16(r + 28);
            b.totalDeviceQty = readBE16(r + 30);
            b.secondDeviceQty = readBE16(r + 32);
            b.build = readBE32(r + 36);
        }
        boardStart_ += boardCount_;
        boardsRequested_ = true;
        finish();
        break;
    }
    case Exchange::Nickname: {
        const uint8_t* a = answerBytes(4 + 56);
        std::memset(info_->nickName, 0, sizeof info_->nickName);
        std::memcpy(info_->nickName, a + 4, 56);
        logf("nickName = [%s]", info_->nickName);
        finish();
        break;
    }
    case Exchange::LogSupport:
        logSupportResult_ = result;
        finish();
        break;
    case Exchange::LogNumbers: {
        const uint8_t* a = answerBytes(12);
        machineLogStartNo_ = readBE32(a + 4);
        machineLogNextNewNo_ = readBE32(a + 8);
        finish();
        break;
    }
    case Exchange::LogClose:
        finish();
        break;

    case Exchange::Status:
        takeStatusBlock(step_ != REFRESH_POLL);
        finish();
        break;
    case Exchange::ClockWrite:
        if (!clockDataSent_) {
            if (result != RESULT_READY_FOR_DATA) {
                endWrite(MachineWrite::Clock, WriteResult::Refused, result);
                break;
            }
            clockDataSent_ = true;
            dataSends_ = 1;
            sendData(reinterpret_cast<const uint8_t*>(clockText_), 14);
            break;
        }
        onDataAnswer(MachineWrite::Clock, reinterpret_cast<const uint8_t*>(clockText_), 14);
        break;
    case Exchange::Single: {
        const uint8_t sub = singleSub_;
        const int code = (sub == 42 || sub == 66)   ? EVENT_COPY_ANSWER
                         : sub == 43                ? EVENT_COMPARE_ANSWER
                         : (sub == 44 || sub == 67) ? EVENT_COPY_COMPARE_ANSWER
                                                    : 0;
        if (code)
            reportEvent(code, 0, channel_.answer());
        finish();
        break;
    }
    case Exchange::NicknameWrite:
        if (!nicknameDataSent_) {
            if (result != RESULT_READY_FOR_DATA) {
                endWrite(MachineWrite::Nickname, WriteResult::Refused, result);
                break;
            }
            nicknameDataSent_ = true;
            dataSends_ = 1;
            sendData(reinterpret_cast<const uint8_t*>(nickname_), 56);
            break;
        }
        onDataAnswer(MachineWrite::Nickname, reinterpret_cast<const uint8_t*>(nickname_), 56);
        break;
    case Exchange::ClockRead:
        if (channel_.lastCommand()[4] == 10) {
            if (result != RESULT_DONE) {
                clockSupported_ = false;
                clockReadEnded_ = true;
                finish();
                break;
            }
            clockSupported_ = true;
            sendCommand('W', {11});
            break;
        }
        if (result != RESULT_DONE || channel_.answerLength() < 4 + 14) {
            // A refusal holds no clock: the waiting request ends without one.
            logf("Clock read refused by the machine (%02Xh, %d bytes)", result,
                 channel_.answerLength());
        } else {
            const uint8_t* a = answerBytes(4 + 14);
            std::memcpy(clockText_, a + 4, 14);
            clockText_[14] = 0;
        }
        clockReadEnded_ = true;
        finish();
        break;
    case Exchange::SetupRead: {
        // A refusal or a short answer holds no setup block: the dialog must not
        // open on made-up values that OK would write back.
        const int length = channel_.answerLength();
        setupReadOk_ = result == RESULT_DONE && length >= int(4 + kSetupBlockSize + 1);
        if (setupReadOk_)
            std::memcpy(setupBlock_, channel_.answer() + 4, kSetupBlockSize);
        else
            logf("Setup read refused by the machine (%02Xh, %d bytes)", result, length);
        setupReadEnded_ = true;
        finish();
        break;
    }
    case Exchange::SetupWrite:
        if (!setupBlockSent_) {
            if (result != RESULT_READY_FOR_DATA) {
                ui_.messageBox("Can't Set Machine !", "ERROR !");
                endWrite(MachineWrite::Setup, WriteResult::Refused, result);
                break;
            }
            setupBlockSent_ = true;
            dataSends_ = 1;
            channel_.sendSetupBlock(setupBlock_);
            cmdState_ = CMD_RECEIVE;
            break;
        }
        if (result == RESULT_READY_FOR_DATA && channel_.resent()) {
            // The re-sent W 31 was answered, not the block: the block goes once more.
            if (dataSends_ < kMaxDataSends) {
                ++dataSends_;
                channel_.sendSetupBlock(setupBlock_);
                cmdState_ = CMD_RECEIVE;
                break;
            }
            ui_.messageBox("Can't Set Machine !", "ERROR !");
            endWrite(MachineWrite::Setup, WriteResult::NoAnswer, result);
            break;
        }
        setupBlockSent_ = false;
        if (result == RESULT_DONE) {
            endWrite(MachineWrite::Setup, WriteResult::Done, result);
        } else if (result == RESULT_CHECK_ERROR) {
            if (setupRetries_ > 0) {
                --setupRetries_;
                sendCommand('W', {31});
            } else {
                ui_.messageBox("Can't Set Machine (CRC Error) !", "ERROR !");
                endWrite(MachineWrite::Setup, WriteResult::Refused, result);
            }
        } else {
            ui_.messageBox("Can't Set Machine !", "ERROR !");
            endWrite(MachineWrite::Setup, WriteResult::Refused, result);
        }
        break;
    case Exchange::ImageBank: {
        const uint8_t sub = channel_.lastCommand()[4];
        if (sub == 1) {
            pelluxSupported_ = result == RESULT_DONE;
            logf("flag_machine_support_Pellux_device = [%d]", pelluxSupported_ ? 1 : 0);
            if (!pelluxSupported_) {
                finish();
                break;
            }
            sendCommand('Y', {3});
        } else if (sub == 3) {
            reportEvent(EVENT_IMAGE_BANK_BLOCK, 0, answerBytes(256));
            sendCommand('Y', {4});
        } else {
            reportEvent(EVENT_IMAGE_BANK_TABLE, 0, answerBytes(4 + kMaxImageEntries));
            finish();
        }
        break;
    }
    case Exchange::MasterTake: {
        const uint8_t sub = channel_.lastCommand()[4];
        const uint8_t* a = answerBytes(5);
        auto end = [&](int r) {
            masterResult_ = r;
            masterTakeBusy_ = false;
            finish();
        };
        if (sub == 26) {
            if (result != RESULT_DONE)
                end(MASTER_COMMAND_FAILED);
            else if (a[4] != 1)
                end(MASTER_NOT_PRESENT);
            else
                sendCommand('X', {27, masterIdentity_[0], masterIdentity_[1], masterIdentity_[2],
                                  masterIdentity_[3]});
        } else if (sub == 27) {
            if (result != RESULT_DONE)
                end(MASTER_COMMAND_FAILED);
            else if (a[4] != 0)
                end(MASTER_REJECTED);
            else
                sendCommand('X', {25});
        } else {
            end(result == RESULT_DONE ? MASTER_TAKEN : MASTER_COMMAND_FAILED);
        }
        break;
    }
    case Exchange::MasterReturn:
        masterReturned_ = true;
        masterReturnBusy_ = false;
        finish();
        break;
    case Exchange::DeviceInfo: {
        const uint8_t* last = channel_.lastCommand();
        const bool dataFrameAnswer = infoTransferring_;
        if (!dataFrameAnswer && last[4] == 41) {
            infoCollectStart_ = clock_.tickMs();
            infoFetches_ = 0;
            sendCommand('W', {40});
        } else if (!dataFrameAnswer && last[4] == 40) {
            if (result == RESULT_DONE) {
                ++infoFetches_;
                sendCommand('W', {61});
            } else if (clock_.tickMs() - infoCollectStart_ < kDeviceInfoCollectMs) {
                sendCommand('W', {40});
            } else {
                deviceInfoFailed(format("The machine did not have the device information ready "
                                        "within %u s: it is not asked for any longer.",
                                        kDeviceInfoCollectMs / 1000));
                finish();
            }
        } else if (!dataFrameAnswer) { // W 61
            if (result != RESULT_DATA_READY) {
                ui_.messageBox("Command Error !", "dataBuffer[3] != EX_ANSWER_READY_TO_SEND_DATA");
                const std::string why =
                    format("The machine refused to send the device information (%02Xh).", result);
                log(why.c_str());
                reportStatus(STATUS_DEVICE_INFO_FAILED, why.c_str());
                finish();
                break;
            }
            const uint8_t* a = answerBytes(8);
            infoTotal_ = readBE32(a + 4);
            infoReceived_ = 0;
            if (infoTotal_ > kBufferSize) {
                logf("Device information of %u bytes refused: the block buffer holds %zu",
                     infoTotal_, kBufferSize);
                finish();
                break;
            }
            infoTransferring_ = true;
            static const uint8_t pass[] = {'P', 'A', 'S', 'S'};
            if (infoTotal_ == 0)
                onDeviceInfoComplete();
            else
                sendData(pass, 4);
        } else {
            const uint8_t* a = channel_.answer();
            const int lengthField = readBE16(a + 1);
            uint32_t n = lengthField > 1 ? uint32_t(lengthField - 1) : 0;
            n = std::min<uint32_t>(
                n, uint32_t(channel_.answerLength() > 4 ? channel_.answerLength() - 4 : 0));
            n = std::min<uint32_t>(n, uint32_t(kBufferSize) - infoReceived_);
            std::memcpy(blockBuffer_.get() + infoReceived_, a + 4, n);
            infoReceived_ += n;
            if (infoReceived_ < infoTotal_) {
                static const uint8_t pass[] = {'P', 'A', 'S', 'S'};
                sendData(pass, 4);
            } else {
                onDeviceInfoComplete();
            }
        }
        break;
    }
    case Exchange::MarkPorts:
        if (result != RESULT_DONE)
            logf("Port %u not marked: refused by the machine (%02Xh)", portList_[markIndex_],
                 result);
        ++markIndex_;
        if (markIndex_ < portCount_) {
            const uint16_t port = portList_[markIndex_];
            sendCommand('W', {85, 0, 0, uint8_t(port >> 8), uint8_t(port)});
        } else {
            finish();
        }
        break;
    case Exchange::LogFetch:
        if (!logStoreReady_) {
            finish();
            break;
        }
        if (result != RESULT_DONE) {
            logf("Log record %u refused by the controller (%d)", logNext_, result);
            finish();
            break;
        }
        {
            // The next request goes out before this record is stored, so that
            // the controller answers while the record reaches the disk.
            uint8_t record[kLogRecordSize];
            std::memcpy(record, channel_.answer() + 4, kLogRecordSize);
            ++logNext_;
            if (--logToFetch_ > 0) {
                uint8_t p[5] = {23};
                writeBE32(p + 1, logNext_);
                sendCommand('W', p, 5);
            } else {
                finish();
            }
            if (logRecord_fn_)
                logRecord_fn_(logRecordUser_, int(kLogRecordSize), record);
        }
        break;
    case Exchange::PortFetch:
        onPortAnswer();
        break;
    case Exchange::Release:
    case Exchange::None:
        finish();
        break;
    }
}

bool COMMAND_MACHINE::anyRequest() const {
    const Requests& r = req_;
    return r.nickname || r.masterTake || r.masterReturn || r.imageBank || r.cont || r.finish ||
           r.getClock || r.getSetup || r.setSetup || r.deviceInfo || r.copy || r.compare ||
           r.copyCompare || r.copyWP || r.copyCompareWP || r.release || r.markPorts ||
           r.setClock; // a pending refresh waits for a busy machine
}

const char* COMMAND_MACHINE::answerMisfit() const {
    const uint8_t* c = channel_.lastCommand();
    const uint8_t* a = channel_.answer();
    const int n = channel_.answerLength();
    if (sequence_ == 1) {
        // Each identification command has an answer of its own: the previous
        // command's answer once more is a second answer to it, not this one's.
        // (Board list pages may well be alike.)
        const uint16_t command = uint16_t(c[3] << 8 | c[4]);
        if (command != lastAnswered_ && !(c[3] == 'W' && c[4] == 3) && n == lastAnswerLength_ &&
            crc32(a, size_t(n)) == lastAnswerCrc_)
            return "the previous command's answer";
        if (const char* why = implausibleIdentification(char(c[3]), c[4], a, n))
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

void COMMAND_MACHINE::noteAnswer() {
    if (sequence_ != 1)
        return;
    const uint8_t* c = channel_.lastCommand();
    lastAnswered_ = uint16_t(c[3] << 8 | c[4]);
    lastAnswerLength_ = channel_.answerLength();
    lastAnswerCrc_ = crc32(channel_.answer(), size_t(lastAnswerLength_));
}

void COMMAND_MACHINE::onDeviceInfoComplete() {
    // n blocks of 32 data bytes, then n block checks; anything else is asked for again.
    infoTransferring_ = false;
    bool good = infoTotal_ % 33 == 0;
    const uint32_t n = infoTotal_ / 33;
    for (uint32_t j = 0; good && j < n; ++j)
        good = blockCheck(blockBuffer_.get() + 32 * j, 32) == blockBuffer_[32 * n + j];
    if (!good) {
        if (infoFetches_ >= kMaxDeviceInfoFetches) {
            deviceInfoFailed(format("The device information failed its checks %d times: it is "
                                    "not asked for any longer.",
                                    infoFetches_));
            finish();
            return;
        }
        ++infoFetches_;
        sendCommand('W', {61});
        return;
    }
    const DeviceInfoBlock block{blockBuffer_.get(), 32 * n};
    reportStatus(STATUS_DEVICE_INFO, &block);
    finish();
}

// ---------------------------------------------------------------------------
// Identification

void COMMAND_MACHINE::parseIdentification() {
    const uint8_t* a = answerBytes(48);
    MachineInfo& m = *info_;
    std::memset(&m, 0, sizeof m);
    m.systemTotalBufferSize = readBE16(a + 34);
    m.maxDeviceQty = readBE16(a + 36);
    m.deviceType = a[38];
    m.machineType = a[41];
    m.isMachineType16 = m.machineType == 16;
    m.flag_support_asynchronous_erase = a[39] & 0x01 ? 1 : 0;
    m.flag_support_one_Pellux_Device = a[39] & 0x02 ? 1 : 0;
    m.flag_feature_bit5 = a[39] & 0x20 ? 1 : 0;
    m.flag_support_probe_machine = a[44] & 0x02 ? 1 : 0;
    m.flag_support_probe_machine_sensor = a[44] & 0x04 ? 1 : 0;
    m.flag_feature_bit3 = a[44] & 0x08 ? 1 : 0;
    m.flag_feature_bit4 = a[44] & 0x10 ? 1 : 0;
    m.flag_feature_bit7 = a[44] & 0x80 ? 1 : 0;
    std::memcpy(m.modelName, a + 4, 20);
    std::memcpy(m.version, a + 24, 10);
    int major = 0, sub = 0, minor = 0;
    std::sscanf(m.version, "v%d.%d.%d", &major, &sub, &minor);
    m.controller_version_MAJOR = major;
    m.controller_version_SUB = sub;
    m.controller_version_MINOR = minor;

    // Older firmware of these kinds sends its counters wide.
    const int dMajor = a[25] - '0';
    const int dSub = (a[27] - '0') * 10 + (a[28] - '0');
    const int dMinor = a[30] - '0';
    const bool older =
        dMajor < 2 || (dMajor == 2 && dSub < 40) || (dMajor == 2 && dSub == 40 && dMinor < 7);
    m.wideCounters = (a[44] & 0x01) || (older && isOneOf(m.deviceType, {2, 7, 8, 9, 15, 16}));

    logf("deviceType  = [%d]", m.deviceType);
    logf("machineType = [%d]", m.machineType);
    logf("modelName   = [%s]", m.modelName);
    logf("version     = [%s]", m.version);
    logf("controller_version_MAJOR = [%d]", m.controller_version_MAJOR);
    logf("controller_version_SUB   = [%d]", m.controller_version_SUB);
    logf("controller_version_MINOR = [%d]", m.controller_version_MINOR);
    logf("maxDeviceQty             = %d", m.maxDeviceQty);
    logf("systemTotalBufferSize    = %d", m.systemTotalBufferSize);
    logf("flag_support_asynchronous_erase       = %02Xh", m.flag_support_asynchronous_erase);
    logf("flag_support_one_Pellux_Device        = %02Xh", m.flag_support_one_Pellux_Device);
    logf("flag_support_asynchronous_PelluxCopy  = %02Xh", m.flag_support_asynchronous_PelluxCopy);
    logf("flag_support_batch_Command            = %02Xh", m.flag_support_batch_Command);
    logf("flag_support_RUN_ACTION_Command       = %02Xh", m.flag_support_RUN_ACTION_Command);
    logf("flag_support_PELLUX_FORMAT            = %02Xh", m.flag_support_PELLUX_FORMAT);
    logf("flag_support_HARDWARE_CHECK_HDD_EXIST = %02Xh", m.flag_support_HARDWARE_CHECK_HDD_EXIST);
    logf("flag_support_probe_machine        = %d", m.flag_support_probe_machine);
    logf("flag_support_probe_machine_sensor = %d", m.flag_support_probe_machine_sensor);
}

void COMMAND_MACHINE::logBoards() {
    log("Board List:");
    const int n = std::min<int>(info_->boardQty, int(kMaxBoards));
    for (int i = 0; i < n; ++i) {
        const BoardInfo& b = boards_[i];
        logf("%02d %s,%s, [FPGA:%X], %dMB, totalDeviceQty=%d,%d Build[%d]", i + 1, b.text1, b.text2,
             b.fpgaVersion, b.sizeMB, b.totalDeviceQty, b.secondDeviceQty, int(b.build));
    }
    log("=============================");
}

// Identification steps, in order.
enum : int {
    ID_START = 0,
    ID_WAIT = 1,
    ID_IDENTIFY = 2,
    ID_MACHINE_ID = 3,
    ID_BOARD_LAYOUT = 4,
    ID_BOARD_LIST = 5,
    ID_NICKNAME = 6,
    ID_LOG_SUPPORT = 7,
    ID_LOG_NUMBERS = 8,
    ID_LOG_CLOSE = 9,
    ID_LOG_DONE = 10,
    ID_DONE = 11,
};

void COMMAND_MACHINE::decideIdentification() {
    switch (step_) {
    case ID_START:
        std::memset(info_, 0, sizeof *info_);
        lastAnswered_ = 0;
        lastAnswerLength_ = -1;
        identifyStartSecond_ = clock_.localTime().second;
        step_ = ID_WAIT;
        break;
    case ID_WAIT:
        if ((clock_.localTime().second - identifyStartSecond_ + 60) % 60 >= 2)
            step_ = ID_IDENTIFY;
        break;
    case ID_IDENTIFY:
        begin(Exchange::Identify, ID_MACHINE_ID);
        break;
    case ID_MACHINE_ID:
        begin(Exchange::MachineId, ID_BOARD_LAYOUT);
        break;
    case ID_BOARD_LAYOUT:
        begin(Exchange::BoardLayout, ID_BOARD_LIST);
        break;
    case ID_BOARD_LIST:
        // A controller with no boards is still asked once, for 0 boards from number 1.
        if (!boardsRequested_ || boardStart_ < info_->boardQty) {
            boardCount_ = std::min(25, std::max(0, info_->boardQty - boardStart_));
            begin(Exchange::BoardList, ID_BOARD_LIST);
        } else {
            logBoards();
            step_ = ID_NICKNAME;
        }
        break;
    case ID_NICKNAME:
        begin(Exchange::Nickname, ID_LOG_SUPPORT);
        break;
    case ID_LOG_SUPPORT:
        machineLogStartNo_ = machineLogNextNewNo_ = 0;
        begin(Exchange::LogSupport, ID_LOG_NUMBERS);
        break;
    case ID_LOG_NUMBERS:
        if (logSupportResult_ != RESULT_DONE)
            step_ = ID_DONE;
        else
            begin(Exchange::LogNumbers, ID_LOG_CLOSE);
        break;
    case ID_LOG_CLOSE:
        begin(Exchange::LogClose, ID_DONE);
        break;
    case ID_DONE:
        logSupported_ = logSupportResult_ == RESULT_DONE;
        if (logSupported_) {
            info_->support_LogRecord = 1;
            info_->Machine_LOG_startNo = machineLogStartNo_;
            info_->Machine_LOG_nextNewNo = machineLogNextNewNo_;
            logf("LOG_startNo=%d", int(machineLogStartNo_));
            logf("LOG_qty    =%d", int(machineLogNextNewNo_));
        } else {
            info_->support_LogRecord = 0;
        }
        selectSequence(3);
        lastState_ = -1;
        lastSubState_ = -1;
        stateChanged_ = subStateChanged_ = false;
        status_ = {};
        step_ = TOP;
        reportEvent(EVENT_IDENTIFIED, 4, info_);
        break;
    default:
        step_ = ID_START;
        break;
    }
}

uint32_t COMMAND_MACHINE::msUntilDue() const {
    if (!connected_)
        return kNoDeadline;
    if (!deciding_) {
        if (cmdState_ == CMD_RECEIVE)
            return channel_.msUntilDue();
        if (cmdState_ == CMD_RELEASE_WAIT) {
            int now = clock_.localTime().millisecond;
            if (now < releaseMs_)
                now += 1000;
            const int elapsed = now - releaseMs_;
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
// Operating loop

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
            clockDataSent_ = false;
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

bool COMMAND_MACHINE::serveRequest() {
    Requests& r = req_;
    auto single = [&](uint8_t sub) {
        singleSub_ = sub;
        begin(Exchange::Single, TOP);
    };
    if (r.nickname) {
        r.nickname = false;
        nicknameDataSent_ = false;
        begin(Exchange::NicknameWrite, TOP);
    } else if (r.masterTake) {
        r.masterTake = false;
        begin(Exchange::MasterTake, TOP);
    } else if (r.masterReturn) {
        r.masterReturn = false;
        begin(Exchange::MasterReturn, TOP);
    } else if (r.imageBank) {
        r.imageBank = false;
        begin(Exchange::ImageBank, TOP);
    } else if (r.cont) {
        r.cont = false;
        single(13);
    } else if (r.finish) {
        r.finish = false;
        single(14);
    } else if (r.getClock) {
        r.getClock = false;
        begin(Exchange::ClockRead, TOP);
    } else if (r.getSetup) {
        r.getSetup = false;
        begin(Exchange::SetupRead, TOP);
    } else if (r.setSetup) {
        r.setSetup = false;
        setupRetries_ = 3;
        setupBlockSent_ = false;
        begin(Exchange::SetupWrite, TOP);
    } else if (r.deviceInfo) {
        r.deviceInfo = false;
        infoTransferring_ = false;
        begin(Exchange::DeviceInfo, TOP);
    } else if (r.copy) {
        r.copy = false;
        single(42);
    } else if (r.compare) {
        r.compare = false;
        single(43);
    } else if (r.copyCompare) {
        r.copyCompare = false;
        single(44);
    } else if (r.copyWP) {
        r.copyWP = false;
        single(66);
    } else if (r.copyCompareWP) {
        r.copyCompareWP = false;
        single(67);
    } else if (r.release) {
        r.release = false;
        begin(Exchange::Release, TOP);
    } else if (r.markPorts) {
        r.markPorts = false;
        markIndex_ = 0;
        if (portCount_ == 0)
            return false;
        begin(Exchange::MarkPorts, TOP);
    } else {
        return false;
    }
    return true;
}

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
    logLast_ = last;
    logToFetch_ = int(std::min(wanted, limit));
    begin(Exchange::LogFetch, nextStep);
}

bool COMMAND_MACHINE::fetchingLog() const {
    return exchange_ == Exchange::LogFetch;
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

// ---------------------------------------------------------------------------
// Requests

bool COMMAND_MACHINE::waitFor(const bool& done) {
    while (!done && connected_) {
        if (!ui_.processEvents())
            return false;
    }
    return done;
}

void COMMAND_MACHINE::setNickname(const char* text) {
    if (silent_) {
        log("Nickname refused: the machine does not answer");
        return;
    }
    std::memset(nickname_, 0, sizeof nickname_);
    std::strncpy(nickname_, text, sizeof nickname_ - 1);
    req_.nickname = true;
}

bool COMMAND_MACHINE::getMachineClock(char out[14]) {
    if (!isIdle() || !connected_ || silent_)
        return false;
    std::memset(clockText_, 0, sizeof clockText_);
    clockReadEnded_ = false;
    req_.getClock = true;
    waitFor(clockReadEnded_);
    req_.getClock = false;
    if (!clockReadEnded_ || clockText_[0] == 0)
        return false;
    std::memcpy(out, clockText_, 14);
    return true;
}

void COMMAND_MACHINE::setMachineClock() {
    if (silent_) {
        log("SET_MACHINE_CLOCK refused: the machine does not answer");
        return;
    }
    const LocalTime t = clock_.localTime();
    std::snprintf(clockText_, sizeof clockText_, "%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    req_.setClock = true;
}

bool COMMAND_MACHINE::getSetupParameters(uint8_t out[256]) {
    if (!isIdle() || !connected_ || silent_)
        return false;
    std::memset(setupBlock_, 0, sizeof setupBlock_);
    setupReadEnded_ = setupReadOk_ = false;
    req_.getSetup = true;
    waitFor(setupReadEnded_);
    req_.getSetup = false;
    if (!setupReadOk_)
        return false;
    std::memcpy(out, setupBlock_, sizeof setupBlock_);
    return true;
}

bool COMMAND_MACHINE::setSetupParameters(const uint8_t block[256]) {
    if (!isIdle() || silent_)
        return false;
    std::memcpy(setupBlock_, block, sizeof setupBlock_);
    req_.setSetup = true;
    return true;
}

bool COMMAND_MACHINE::takeMasterUsbToPc(const uint8_t identity[4], int* result) {
    if (!isIdle() || !connected_ || silent_)
        return false;
    std::memcpy(masterIdentity_, identity, 4);
    masterResult_ = MASTER_COMMAND_FAILED;
    req_.masterTake = true;
    masterTakeBusy_ = true;
    while (masterTakeBusy_ && connected_)
        if (!ui_.processEvents())
            break;
    if (masterTakeBusy_) { // the machine went away, or the program is closing
        masterTakeBusy_ = false;
        req_.masterTake = false;
        masterResult_ = MASTER_COMMAND_FAILED;
    }
    if (result)
        *result = masterResult_;
    return true;
}

bool COMMAND_MACHINE::returnMasterUsbToDuplicator() {
    if (!isIdle() || !connected_ || silent_)
        return false;
    req_.masterReturn = true;
    masterReturnBusy_ = true;
    masterReturned_ = false;
    while (masterReturnBusy_ && connected_)
        if (!ui_.processEvents())
            break;
    const bool done = masterReturned_ && connected_;
    masterReturnBusy_ = false;
    req_.masterReturn = false;
    return done;
}

bool COMMAND_MACHINE::markPorts(int count) {
    if (!isIdle() || silent_)
        return false;
    portCount_ = uint16_t(std::clamp(count, 0, int(kMaxMarkPorts)));
    req_.markPorts = true;
    return true;
}

// ---------------------------------------------------------------------------
// Outcomes and silence

bool COMMAND_MACHINE::post(bool& flag, const char* what) {
    if (silent_) {
        logf("%s refused: the machine does not answer", what);
        return false;
    }
    flag = true;
    return true;
}

bool COMMAND_MACHINE::answerPending() const {
    return req_.cont || req_.finish ||
           (!deciding_ && exchange_ == Exchange::Single && (singleSub_ == 13 || singleSub_ == 14));
}

namespace {
const char* writeName(MachineWrite what) {
    switch (what) {
    case MachineWrite::Clock:
        return "clock";
    case MachineWrite::Nickname:
        return "nickname";
    case MachineWrite::Setup:
        return "setup";
    }
    return "";
}
} // namespace

void COMMAND_MACHINE::reportWrite(MachineWrite what, WriteResult result, uint8_t answer) {
    if (what == MachineWrite::Clock)
        clockWritten_ = result == WriteResult::Done;
    switch (result) {
    case WriteResult::Done:
        break;
    case WriteResult::Refused:
        logf("The machine refused the %s write (%02Xh)", writeName(what), answer);
        break;
    case WriteResult::NoAnswer:
        logf("The machine did not answer the %s write", writeName(what));
        break;
    case WriteResult::NotSent:
        logf("The %s write was not sent: the machine does not answer", writeName(what));
        break;
    }
    const WriteOutcome outcome{what, result, answer};
    reportStatus(STATUS_WRITE_RESULT, &outcome);
}

void COMMAND_MACHINE::endWrite(MachineWrite what, WriteResult result, uint8_t answer) {
    reportWrite(what, result, answer);
    finish();
}

void COMMAND_MACHINE::onDataAnswer(MachineWrite what, const uint8_t* data, size_t n) {
    const uint8_t result = channel_.result();
    if (result == RESULT_READY_FOR_DATA && channel_.resent()) {
        // After a time-out the command that invited the data went out again, and
        // this is its answer: the data has yet to be taken. It goes once more.
        if (dataSends_ < kMaxDataSends) {
            ++dataSends_;
            sendData(data, n);
            return;
        }
        endWrite(what, WriteResult::NoAnswer, result);
        return;
    }
    endWrite(what, result == RESULT_DONE ? WriteResult::Done : WriteResult::Refused, result);
}

void COMMAND_MACHINE::deviceInfoFailed(const std::string& why) {
    infoTransferring_ = false;
    log(why.c_str());
    ui_.messageBox(why, "ERROR !");
    reportStatus(STATUS_DEVICE_INFO_FAILED, why.c_str());
}

bool COMMAND_MACHINE::operatorExchange() const {
    switch (exchange_) {
    case Exchange::ClockWrite:
    case Exchange::Single:
    case Exchange::NicknameWrite:
    case Exchange::ClockRead:
    case Exchange::SetupRead:
    case Exchange::SetupWrite:
    case Exchange::ImageBank:
    case Exchange::MasterTake:
    case Exchange::MasterReturn:
    case Exchange::DeviceInfo:
    case Exchange::MarkPorts:
        return true;
    default:
        return false;
    }
}

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

void COMMAND_MACHINE::abandonExchange() {
    const uint8_t* c = channel_.lastCommand();
    logf("Command %c,%d given up: neither it nor its re-send was answered", char(c[3]), c[4]);
    switch (exchange_) {
    case Exchange::ClockWrite:
        reportWrite(MachineWrite::Clock, WriteResult::NoAnswer, 0);
        break;
    case Exchange::NicknameWrite:
        reportWrite(MachineWrite::Nickname, WriteResult::NoAnswer, 0);
        break;
    case Exchange::SetupWrite:
        ui_.messageBox("Can't Set Machine !", "ERROR !");
        reportWrite(MachineWrite::Setup, WriteResult::NoAnswer, 0);
        break;
    case Exchange::ClockRead:
        clockReadEnded_ = true;
        break;
    case Exchange::SetupRead:
        setupReadOk_ = false;
        setupReadEnded_ = true;
        break;
    case Exchange::MasterTake:
        masterResult_ = MASTER_COMMAND_FAILED;
        masterTakeBusy_ = false;
        break;
    case Exchange::MasterReturn:
        masterReturnBusy_ = false;
        break;
    case Exchange::DeviceInfo:
        deviceInfoFailed("The machine did not answer while it was asked for the device "
                         "information.");
        break;
    default:
        break;
    }
    finish();
}

void COMMAND_MACHINE::dropRequests() {
    Requests& r = req_;
    std::string dropped;
    auto drop = [&](bool& flag, const char* name) {
        if (!flag)
            return false;
        flag = false;
        dropped += dropped.empty() ? name : std::string(", ") + name;
        return true;
    };
    if (drop(r.nickname, "nickname"))
        reportWrite(MachineWrite::Nickname, WriteResult::NotSent, 0);
    if (drop(r.setClock, "clock")) {
        reportWrite(MachineWrite::Clock, WriteResult::NotSent, 0);
        reportEvent(EVENT_CLOCK_NOT_SET, 0, nullptr);
    }
    if (drop(r.setSetup, "setup")) {
        ui_.messageBox("Can't Set Machine !", "ERROR !");
        reportWrite(MachineWrite::Setup, WriteResult::NotSent, 0);
    }
    if (drop(r.getClock, "clock read"))
        clockReadEnded_ = true;
    if (drop(r.getSetup, "setup read")) {
        setupReadOk_ = false;
        setupReadEnded_ = true;
    }
    if (drop(r.masterTake, "master take")) {
        masterResult_ = MASTER_COMMAND_FAILED;
        masterTakeBusy_ = false;
    }
    if (drop(r.masterReturn, "master return"))
        masterReturnBusy_ = false;
    if (drop(r.deviceInfo, "device information"))
        reportStatus(STATUS_DEVICE_INFO_FAILED,
                     "The machine does not answer: the device information was not asked for.");
    drop(r.imageBank, "image bank query");
    drop(r.cont, "Continue");
    drop(r.finish, "Finish");
    drop(r.copy, "Copy");
    drop(r.compare, "Compare");
    drop(r.copyCompare, "Copy+Compare");
    drop(r.copyWP, "Copy+WriteProtect");
    drop(r.copyCompareWP, "Copy+Compare+WriteProtect");
    drop(r.markPorts, "mark ports");
    if (!dropped.empty())
        logf("Not sent, since the machine does not answer: %s", dropped.c_str());
}

} // namespace dupmon
