#pragma once
// The frame channel under each machine's engine: it sends the engine's frames
// and hands up only valid answers, re-sending the command on a bad answer or a
// time-out.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/clock.h"
#include "protocol/frame.h"

namespace dupmon {

// Callback table entries: each callback comes with its own user data.
using ReadPacketFn = bool (*)(void* user, int* length, uint8_t* destination);
using WritePacketFn = bool (*)(void* user, int length, const uint8_t* frame);
using LogMessageFn = void (*)(void* user, const char* text);

// One request, one answer. Holds the last command frame, its length and the
// send time, validates answers against the check the last command implies,
// logs what it rejects and re-sends. The engine only asks "is a valid answer
// here?".
class FrameChannel {
public:
    static constexpr size_t kReceiveBufferSize = 128 * 1024;
    // The read callback copies at most this many bytes (the link's buffer).
    static constexpr size_t kMaxReadLength = 8192;
    // An answer that has not come 11 full seconds after the send is asked for again.
    static constexpr uint32_t kAnswerTimeOutMs = 11000;

    explicit FrameChannel(const Clock& clock);

    void setRead(ReadPacketFn fn, void* user) { read_ = fn, readUser_ = user; }
    // The write callback returns false when the link still held reports of
    // earlier frames that the machine had not taken.
    void setWrite(WritePacketFn fn, void* user) {
        write_ = fn, writeUser_ = user;
        linkLost_ = false;
    }
    void setLog(LogMessageFn fn, void* user) { log_ = fn, logUser_ = user; }

    // Builds the command frame into the last-command buffer, notes the send time, sends it.
    void sendCommand(char letter, const uint8_t* params = nullptr, size_t n = 0);
    // Sends a frame that is not kept for re-sending (data frames).
    void sendRaw(const uint8_t* frame, size_t length);
    // Builds a data frame in the receive buffer and sends it.
    void sendData(const uint8_t* data, size_t n);
    void sendSetupBlock(const uint8_t* block256);

    // True when a complete, valid answer is in the receive buffer. Rejected
    // answers and time-outs are logged and the last command is re-sent. A
    // command that went out more than once may be answered more than once: its
    // answer is handed up only once the link has been quiet for a while, and
    // the other answers are dropped, so that none is taken for the next
    // command's answer.
    bool receive();

    // An answer held back (see receive) is handed up at this tick unless
    // another answer comes first; false when none is held.
    bool holdEnd(uint32_t& tick) const {
        tick = quietSince_ + settleMs_;
        return settling_;
    }

    // At an answer's time-out the link still held what was sent 11 s or more
    // before: the machine takes nothing, and is lost.
    bool linkLost() const { return linkLost_; }

    const uint8_t* answer() const { return rx_.get(); }
    int answerLength() const { return rxLength_; }
    uint8_t result() const { return rx_[3]; }
    const uint8_t* lastCommand() const { return last_; }
    size_t lastCommandLength() const { return lastLength_; }
    uint32_t lastSendTime() const { return sendTime_; }
    // Answer time-outs so far (each one sent the last command again).
    uint32_t timeOuts() const { return timeOuts_; }
    // The last command went out again since the last frame was sent: after a
    // data frame, an answer may be the re-sent command's, not the data's.
    bool resent() const { return resent_; }
    // Milliseconds until receive() can move on without a new answer: the
    // time-out that sends the last command again, or the end of the quiet
    // time that hands a held answer up.
    uint32_t msUntilDue() const {
        const uint32_t now = clock_.tickMs();
        if (settling_) {
            const uint32_t quiet = now - quietSince_;
            return quiet >= settleMs_ ? 0 : settleMs_ - quiet;
        }
        const uint32_t elapsed = now - sendTime_;
        return elapsed >= kAnswerTimeOutMs ? 0 : kAnswerTimeOutMs - elapsed;
    }

    // Quiet time after an answer to a command sent more than once: as long
    // again as the answer took, within these bounds.
    static constexpr uint32_t kSettleMinMs = 200;
    static constexpr uint32_t kSettleMaxMs = 2000;

private:
    void log(const char* text);
    // False when the link had not passed on what was sent before.
    bool resend();
    bool settle();

    const Clock& clock_;
    ReadPacketFn read_ = nullptr;
    void* readUser_ = nullptr;
    WritePacketFn write_ = nullptr;
    void* writeUser_ = nullptr;
    LogMessageFn log_ = nullptr;
    void* logUser_ = nullptr;
    uint8_t last_[kLastCommandBufferSize] = {};
    size_t lastLength_ = 0;
    uint32_t sendTime_ = 0;
    std::unique_ptr<uint8_t[]> rx_;
    int rxLength_ = 0;
    // How often the current command went out; holding its answer while other
    // answers to it may still come.
    int sends_ = 0;
    bool resent_ = false;
    uint32_t timeOuts_ = 0;
    bool settling_ = false;
    uint32_t quietSince_ = 0;
    uint32_t settleMs_ = 0;
    std::unique_ptr<uint8_t[]> dropped_;
    bool linkLost_ = false;
};

} // namespace dupmon
