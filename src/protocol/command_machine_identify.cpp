// Identification (sequence 1): the controller's identity, its boards, its
// nickname and its job-log range, read once after the machine is connected;
// and the checks that keep a stray answer from being taken for one of these.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "protocol/checksum.h"
#include "protocol/command_machine.h"

namespace dupmon {

namespace {

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

// ---------------------------------------------------------------------------
// Exchanges

void COMMAND_MACHINE::sendIdentify() {
    sendCommand('A', {});
}

void COMMAND_MACHINE::onIdentifyAnswer() {
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
    finish();
}

void COMMAND_MACHINE::sendMachineId() {
    sendCommand('W', {1});
}

void COMMAND_MACHINE::onMachineIdAnswer() {
    const uint8_t* a = answerBytes(4 + 64);
    copyField(machineIdCopy_, sizeof machineIdCopy_,
              fieldText(reinterpret_cast<const char*>(a + 4), 63));
    copyField(info_->machineId, sizeof info_->machineId, machineIdCopy_);
    logf("Machine ID: [%s]", info_->machineId);
    finish();
}

void COMMAND_MACHINE::sendBoardLayout() {
    sendCommand('W', {2});
}

void COMMAND_MACHINE::onBoardLayoutAnswer() {
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
}

void COMMAND_MACHINE::sendBoardList() {
    const int first = boardStart_ + 1;
    sendCommand('W', {3, uint8_t(first), uint8_t(first >> 8), uint8_t(boardCount_)});
}

void COMMAND_MACHINE::onBoardListAnswer() {
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

void COMMAND_MACHINE::sendNicknameRead() {
    sendCommand('W', {4});
}

void COMMAND_MACHINE::onNicknameReadAnswer() {
    const uint8_t* a = answerBytes(4 + 56);
    std::memset(info_->nickName, 0, sizeof info_->nickName);
    std::memcpy(info_->nickName, a + 4, 56);
    logf("nickName = [%s]", info_->nickName);
    finish();
}

void COMMAND_MACHINE::sendLogSupport() {
    sendCommand('W', {20});
}

void COMMAND_MACHINE::onLogSupportAnswer() {
    logSupportResult_ = channel_.result();
    finish();
}

void COMMAND_MACHINE::sendLogNumbers() {
    sendCommand('W', {22});
}

void COMMAND_MACHINE::onLogNumbersAnswer() {
    const uint8_t* a = answerBytes(12);
    machineLogStartNo_ = readBE32(a + 4);
    machineLogNextNewNo_ = readBE32(a + 8);
    finish();
}

// Its answer only ends the exchange.
void COMMAND_MACHINE::sendLogClose() {
    sendCommand('W', {21});
}

// ---------------------------------------------------------------------------
// Answers that cannot be the identification's

const char* COMMAND_MACHINE::identificationMisfit() const {
    const uint8_t* c = channel_.lastCommand();
    const uint8_t* a = channel_.answer();
    const int n = channel_.answerLength();
    // Each identification command has an answer of its own: the previous
    // command's answer once more is a second answer to it, not this one's.
    // (Board list pages may well be alike.)
    const uint16_t command = uint16_t(c[3] << 8 | c[4]);
    if (command != lastAnswered_ && !(c[3] == 'W' && c[4] == 3) && n == lastAnswerLength_ &&
        crc32(a, size_t(n)) == lastAnswerCrc_)
        return "the previous command's answer";
    if (const char* why = implausibleIdentification(char(c[3]), c[4], a, n))
        return why;
    return nullptr;
}

void COMMAND_MACHINE::noteAnswer() {
    if (sequence_ != 1)
        return;
    const uint8_t* c = channel_.lastCommand();
    lastAnswered_ = uint16_t(c[3] << 8 | c[4]);
    lastAnswerLength_ = channel_.answerLength();
    lastAnswerCrc_ = crc32(channel_.answer(), size_t(lastAnswerLength_));
}

} // namespace dupmon
