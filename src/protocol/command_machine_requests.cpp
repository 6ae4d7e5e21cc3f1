// The exchanges the windows and the download flow ask for: each request's
// entry point, its send and answer handlers side by side, the outcome of the
// writes, and what becomes of the requests when the machine falls silent.
// They are served one at a time while the machine is idle.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "common/text.h"
#include "protocol/checksum.h"
#include "protocol/command_machine.h"

namespace dupmon {

namespace {

constexpr int kMaxImageEntries = 1000;

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

// ---------------------------------------------------------------------------
// Posting and serving

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

bool COMMAND_MACHINE::anyRequest() const {
    const Requests& r = req_;
    return r.nickname || r.masterTake || r.masterReturn || r.imageBank || r.cont || r.finish ||
           r.getClock || r.getSetup || r.setSetup || r.deviceInfo || r.copy || r.compare ||
           r.copyCompare || r.copyWP || r.copyCompareWP || r.release || r.markPorts ||
           r.setClock; // a pending refresh waits for a busy machine
}

bool COMMAND_MACHINE::serveRequest() {
    Requests& r = req_;
    auto single = [&](uint8_t sub) {
        singleSub_ = sub;
        begin(Exchange::Single, TOP);
    };
    if (r.nickname) {
        r.nickname = false;
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
        begin(Exchange::SetupWrite, TOP);
    } else if (r.deviceInfo) {
        r.deviceInfo = false;
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

bool COMMAND_MACHINE::waitFor(const bool& done) {
    while (!done && connected_) {
        if (!ui_.processEvents())
            return false;
    }
    return done;
}

// ---------------------------------------------------------------------------
// Writes: the command, then its data frame once the machine is ready for it

void COMMAND_MACHINE::onWriteAnswer(MachineWrite what, const uint8_t* data, size_t n) {
    if (transfer_ == TransferPhase::Data) {
        onDataAnswer(what, data, n);
        return;
    }
    const uint8_t result = channel_.result();
    if (result != RESULT_READY_FOR_DATA) {
        endWrite(what, WriteResult::Refused, result);
        return;
    }
    transfer_ = TransferPhase::Data;
    dataSends_ = 1;
    sendData(data, n);
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

// ---------------------------------------------------------------------------
// Nickname

void COMMAND_MACHINE::setNickname(const char* text) {
    if (silent_) {
        log("Nickname refused: the machine does not answer");
        return;
    }
    std::memset(nickname_, 0, sizeof nickname_);
    std::strncpy(nickname_, text, sizeof nickname_ - 1);
    req_.nickname = true;
}

void COMMAND_MACHINE::sendNicknameWrite() {
    sendCommand('W', {5});
}

void COMMAND_MACHINE::onNicknameWriteAnswer() {
    onWriteAnswer(MachineWrite::Nickname, reinterpret_cast<const uint8_t*>(nickname_), 56);
}

// ---------------------------------------------------------------------------
// Clock

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

void COMMAND_MACHINE::sendClockRead() {
    sendCommand('W', {10});
}

// W 10 asks whether the machine keeps a clock; W 11 reads it.
void COMMAND_MACHINE::onClockReadAnswer() {
    const uint8_t result = channel_.result();
    if (channel_.lastCommand()[4] == 10) {
        if (result != RESULT_DONE) {
            clockSupported_ = false;
            clockReadEnded_ = true;
            finish();
            return;
        }
        clockSupported_ = true;
        sendCommand('W', {11});
        return;
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

void COMMAND_MACHINE::sendClockWrite() {
    sendCommand('W', {12});
}

void COMMAND_MACHINE::onClockWriteAnswer() {
    onWriteAnswer(MachineWrite::Clock, reinterpret_cast<const uint8_t*>(clockText_), 14);
}

// ---------------------------------------------------------------------------
// Setup parameters

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

void COMMAND_MACHINE::sendSetupRead() {
    sendCommand('W', {30});
}

void COMMAND_MACHINE::onSetupReadAnswer() {
    const uint8_t result = channel_.result();
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
}

void COMMAND_MACHINE::sendSetupWrite() {
    sendCommand('W', {31});
}

void COMMAND_MACHINE::sendSetupBlock() {
    channel_.sendSetupBlock(setupBlock_);
    cmdState_ = CommandState::AwaitAnswer;
}

// The block is sent again after a check error, up to three times, each time
// after its command.
void COMMAND_MACHINE::onSetupWriteAnswer() {
    const uint8_t result = channel_.result();
    if (transfer_ == TransferPhase::Command) {
        if (result != RESULT_READY_FOR_DATA) {
            ui_.messageBox("Can't Set Machine !", "ERROR !");
            endWrite(MachineWrite::Setup, WriteResult::Refused, result);
            return;
        }
        transfer_ = TransferPhase::Data;
        dataSends_ = 1;
        sendSetupBlock();
        return;
    }
    if (result == RESULT_READY_FOR_DATA && channel_.resent()) {
        // The re-sent W 31 was answered, not the block: the block goes once more.
        if (dataSends_ < kMaxDataSends) {
            ++dataSends_;
            sendSetupBlock();
            return;
        }
        ui_.messageBox("Can't Set Machine !", "ERROR !");
        endWrite(MachineWrite::Setup, WriteResult::NoAnswer, result);
        return;
    }
    transfer_ = TransferPhase::Command;
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
}

// ---------------------------------------------------------------------------
// Jobs and the continue-or-finish answer: one command each

void COMMAND_MACHINE::sendSingle() {
    sendCommand('W', {singleSub_});
}

void COMMAND_MACHINE::onSingleAnswer() {
    const uint8_t sub = singleSub_;
    const int code = (sub == 42 || sub == 66)   ? EVENT_COPY_ANSWER
                     : sub == 43                ? EVENT_COMPARE_ANSWER
                     : (sub == 44 || sub == 67) ? EVENT_COPY_COMPARE_ANSWER
                                                : 0;
    if (code)
        reportEvent(code, 0, channel_.answer());
    finish();
}

// ---------------------------------------------------------------------------
// Image bank: Y 1 asks whether the machine has one, Y 3 reads its block, Y 4 its table

void COMMAND_MACHINE::sendImageBank() {
    sendCommand('Y', {1});
}

void COMMAND_MACHINE::onImageBankAnswer() {
    const uint8_t result = channel_.result();
    const uint8_t sub = channel_.lastCommand()[4];
    if (sub == 1) {
        pelluxSupported_ = result == RESULT_DONE;
        logf("flag_machine_support_Pellux_device = [%d]", pelluxSupported_ ? 1 : 0);
        if (!pelluxSupported_) {
            finish();
            return;
        }
        sendCommand('Y', {3});
    } else if (sub == 3) {
        reportEvent(EVENT_IMAGE_BANK_BLOCK, 0, answerBytes(256));
        sendCommand('Y', {4});
    } else {
        reportEvent(EVENT_IMAGE_BANK_TABLE, 0, answerBytes(4 + kMaxImageEntries));
        finish();
    }
}

// ---------------------------------------------------------------------------
// Master hand-over: X 26 asks whether a master is present, X 27 offers the
// identity, X 25 takes it; X 28 gives it back

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

void COMMAND_MACHINE::sendMasterTake() {
    sendCommand('X', {26});
}

void COMMAND_MACHINE::onMasterTakeAnswer() {
    const uint8_t result = channel_.result();
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
}

void COMMAND_MACHINE::sendMasterReturn() {
    sendCommand('X', {28});
}

void COMMAND_MACHINE::onMasterReturnAnswer() {
    masterReturned_ = true;
    masterReturnBusy_ = false;
    finish();
}

// ---------------------------------------------------------------------------
// Device information: W 41 starts the collection, W 40 asks whether it is
// ready, W 61 announces its size, and each "PASS" brings the next part

void COMMAND_MACHINE::sendDeviceInfo() {
    reportStatus(STATUS_DEVICE_INFO_START, workBuffer_.get());
    sendCommand('W', {41});
}

void COMMAND_MACHINE::onDeviceInfoAnswer() {
    if (transfer_ == TransferPhase::Data) {
        onDeviceInfoData();
        return;
    }
    const uint8_t result = channel_.result();
    const uint8_t sub = channel_.lastCommand()[4];
    if (sub == 41) {
        infoCollectStart_ = clock_.tickMs();
        infoFetches_ = 0;
        sendCommand('W', {40});
    } else if (sub == 40) {
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
    } else { // W 61
        if (result != RESULT_DATA_READY) {
            ui_.messageBox("Command Error !", "dataBuffer[3] != EX_ANSWER_READY_TO_SEND_DATA");
            const std::string why =
                format("The machine refused to send the device information (%02Xh).", result);
            log(why.c_str());
            reportStatus(STATUS_DEVICE_INFO_FAILED, why.c_str());
            finish();
            return;
        }
        const uint8_t* a = answerBytes(8);
        infoTotal_ = readBE32(a + 4);
        infoReceived_ = 0;
        if (infoTotal_ > kBufferSize) {
            logf("Device information of %u bytes refused: the block buffer holds %zu", infoTotal_,
                 kBufferSize);
            finish();
            return;
        }
        transfer_ = TransferPhase::Data;
        static const uint8_t pass[] = {'P', 'A', 'S', 'S'};
        if (infoTotal_ == 0)
            onDeviceInfoComplete();
        else
            sendData(pass, 4);
    }
}

void COMMAND_MACHINE::onDeviceInfoData() {
    const uint8_t* a = channel_.answer();
    const int lengthField = readBE16(a + 1);
    uint32_t n = lengthField > 1 ? uint32_t(lengthField - 1) : 0;
    n = std::min<uint32_t>(n,
                           uint32_t(channel_.answerLength() > 4 ? channel_.answerLength() - 4 : 0));
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

void COMMAND_MACHINE::onDeviceInfoComplete() {
    // n blocks of 32 data bytes, then n block checks; anything else is asked for again.
    transfer_ = TransferPhase::Command;
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

void COMMAND_MACHINE::deviceInfoFailed(const std::string& why) {
    transfer_ = TransferPhase::Command;
    log(why.c_str());
    ui_.messageBox(why, "ERROR !");
    reportStatus(STATUS_DEVICE_INFO_FAILED, why.c_str());
}

// ---------------------------------------------------------------------------
// Release: W 81, then 100 ms without an answer

void COMMAND_MACHINE::sendRelease() {
    sendCommand('W', {81});
    releaseMs_ = clock_.localTime().millisecond;
    cmdState_ = CommandState::ReleaseWait;
}

int COMMAND_MACHINE::msSinceRelease() const {
    int now = clock_.localTime().millisecond;
    if (now < releaseMs_)
        now += 1000;
    return now - releaseMs_;
}

// ---------------------------------------------------------------------------
// Mark ports: one W 85 per port in the list

bool COMMAND_MACHINE::markPorts(int count) {
    if (!isIdle() || silent_)
        return false;
    portCount_ = uint16_t(std::clamp(count, 0, int(kMaxMarkPorts)));
    req_.markPorts = true;
    return true;
}

void COMMAND_MACHINE::sendMarkPort() {
    const uint16_t port = portList_[markIndex_];
    sendCommand('W', {85, 0, 0, uint8_t(port >> 8), uint8_t(port)});
}

void COMMAND_MACHINE::onMarkPortAnswer() {
    const uint8_t result = channel_.result();
    if (result != RESULT_DONE)
        logf("Port %u not marked: refused by the machine (%02Xh)", portList_[markIndex_], result);
    ++markIndex_;
    if (markIndex_ < portCount_)
        sendMarkPort();
    else
        finish();
}

// ---------------------------------------------------------------------------
// A silent machine: what the operator asked for ends with a failure

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
