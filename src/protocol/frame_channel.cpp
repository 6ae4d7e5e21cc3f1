// Sending and re-sending frames; checking each answer's start, length and
// check; the 11-second answer time-out; and the quiet wait that drops the extra
// answers to a command sent more than once.
#include "protocol/frame_channel.h"

#include <string>

#include "common/byte_order.h"
#include "common/text.h"
#include "common/timestamp.h"
#include "protocol/checksum.h"

namespace dupmon {

FrameChannel::FrameChannel(const Clock& clock)
    : clock_(clock), rx_(new uint8_t[kReceiveBufferSize]()),
      dropped_(new uint8_t[kMaxReadLength]()) {}

void FrameChannel::log(const char* text) {
    if (log_)
        log_(logUser_, text);
}

void FrameChannel::sendCommand(char letter, const uint8_t* params, size_t n) {
    if (n > kMaxCommandParams)
        n = kMaxCommandParams;
    lastLength_ = buildCommandFrame(last_, letter, params, n);
    sendTime_ = clock_.tickMs();
    sends_ = 1;
    resent_ = false;
    settling_ = false;
    if (write_)
        write_(writeUser_, static_cast<int>(lastLength_), last_);
}

void FrameChannel::sendRaw(const uint8_t* frame, size_t length) {
    sendTime_ = clock_.tickMs();
    sends_ = 1;
    resent_ = false;
    settling_ = false;
    if (write_)
        write_(writeUser_, static_cast<int>(length), frame);
}

void FrameChannel::sendData(const uint8_t* data, size_t n) {
    if (n > kReceiveBufferSize - 4)
        n = kReceiveBufferSize - 4;
    size_t len = buildDataFrame(rx_.get(), data, n);
    sendRaw(rx_.get(), len);
}

void FrameChannel::sendSetupBlock(const uint8_t* block256) {
    size_t len = buildSetupBlockFrame(rx_.get(), block256);
    sendRaw(rx_.get(), len);
}

bool FrameChannel::resend() {
    sendTime_ = clock_.tickMs();
    ++sends_;
    resent_ = true;
    if (write_ && lastLength_)
        return write_(writeUser_, static_cast<int>(lastLength_), last_);
    return true;
}

bool FrameChannel::settle() {
    int count = 0;
    while (read_ && read_(readUser_, &count, dropped_.get())) {
        log(format(" [Second answer dropped] CMD:%c,cmd[4]=%d, length=%d\r\n",
                   lastLength_ > 3 ? static_cast<char>(last_[3]) : ' ', last_[4], count)
                .c_str());
        quietSince_ = clock_.tickMs();
    }
    if (clock_.tickMs() - quietSince_ < settleMs_)
        return false;
    settling_ = false;
    sends_ = 1;
    return true;
}

bool FrameChannel::receive() {
    if (settling_)
        return settle();
    int count = 0;
    const bool got = read_ && read_(readUser_, &count, rx_.get());
    if (!got) {
        // 11 full seconds without an answer: ask again.
        const uint32_t elapsed = clock_.tickMs() - sendTime_;
        const auto seconds = static_cast<uint32_t>(elapsed * 0.001);
        if (seconds > 10) {
            std::string msg = " [Cmd Time Out] CMD:";
            for (size_t i = 0; i < lastLength_; ++i)
                msg += format(" %02Xh", last_[i]);
            msg += format(", already get %d bytes\r\n", count);
            log(msg.c_str());
            ++timeOuts_;
            if (!resend() && !linkLost_) {
                linkLost_ = true;
                log(" [Link Time Out] the machine has taken none of the program's reports for "
                    "11 seconds: it is lost\r\n");
            }
        }
        return false;
    }
    if (count < 4)
        return false;
    if (count > static_cast<int>(kMaxReadLength))
        count = static_cast<int>(kMaxReadLength);
    rxLength_ = count;
    const uint8_t* rx = rx_.get();
    const std::string now = asctimeText(clock_.localTime());
    const char letter = lastLength_ > 3 ? static_cast<char>(last_[3]) : ' ';
    const int cmd4 = last_[4], cmd5 = last_[5];

    if (rx[0] != kAnswerStart) {
        std::string msg = now + " [Wrong Data come in] ";
        for (int i = 0; i < 10; ++i)
            msg += format(" %02Xh", rx[i]);
        msg += "\r\n";
        log(msg.c_str());
        resend();
        return false;
    }
    if (readBE16(rx + 1) + 3 != count) {
        std::string msg = now + format(" [Wrong Data come in Length] length=%d, DATA:", count);
        for (int i = 0; i < 4; ++i)
            msg += format(" %02Xh", rx[i]);
        msg += "\r\n";
        log(msg.c_str());
        resend();
        return false;
    }
    switch (answerCheckFor(last_, lastLength_)) {
    case AnswerCheck::Crc32: {
        const uint32_t got32 = count >= 8 ? readBE32(rx + count - 4) : 0;
        const uint32_t calc = crc32(rx, count >= 8 ? count - 4 : 0);
        if (count < 8 || got32 != calc) {
            log((now + format(" [Wrong CRC32] CMD:%c,cmd[4]=%d,cmd[5]=%d, length=%d, "
                              "CRC32=%Xh, calc_CRC32=%Xh",
                              letter, cmd4, cmd5, count, got32, calc))
                    .c_str());
            resend();
            return false;
        }
        break;
    }
    case AnswerCheck::Sum: {
        const uint8_t sum = frameSum(rx, count - 1);
        if (rx[count - 1] != sum) {
            log((now + format(" [Wrong CheckSUM] CMD:%c,cmd[4]=%d,cmd[5]=%d, length=%d, sum=%Xh",
                              letter, cmd4, cmd5, count, sum))
                    .c_str());
            resend();
            return false;
        }
        break;
    }
    case AnswerCheck::None:
        break;
    }
    if (sends_ > 1) {
        // The controller answers in order, each answer after about the time this
        // one took: wait that long again for the answers of the other sends.
        const uint32_t took = clock_.tickMs() - sendTime_;
        settleMs_ = took < kSettleMinMs ? kSettleMinMs : took > kSettleMaxMs ? kSettleMaxMs : took;
        quietSince_ = clock_.tickMs();
        settling_ = true;
        return settle();
    }
    return true;
}

} // namespace dupmon
