// Arbitrary answers validated against every kind of command.
//
// The last three input bytes pick the command that was sent: letter choice,
// sub-command and parameter count. Everything before them is the answer the
// read callback hands over, as the link would (at most 8192 bytes).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/clock.h"
#include "hidlink/usbhidioc.h"
#include "protocol/frame_channel.h"

using namespace dupmon;

namespace {

struct Wire {
    const uint8_t* answer = nullptr;
    size_t answerLength = 0;
    bool pending = false;
    std::vector<std::vector<uint8_t>> written;
    int logs = 0;
};

bool readAnswer(void* user, int* length, uint8_t* destination) {
    auto& w = *static_cast<Wire*>(user);
    if (!w.pending)
        return false;
    w.pending = false;
    size_t n = w.answerLength;
    if (n > CUsbhidioc::kRxBufferSize)
        n = CUsbhidioc::kRxBufferSize;
    if (n)
        std::memcpy(destination, w.answer, n);
    *length = int(n);
    return n > 0;
}

bool writeFrame(void* user, int length, const uint8_t* frame) {
    static_cast<Wire*>(user)->written.emplace_back(frame, frame + length);
    return true;
}

void countLog(void* user, const char*) {
    ++static_cast<Wire*>(user)->logs;
}

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    // "A" identify, "B" status, "E" with CRC-32 or sum answers, "W" with sum
    // or unchecked answers, "X", "Y", and any other letter.
    static const char kLetters[] = {'A', 'B', 'E', 'W', 'X', 'Y'};
    const uint8_t pick = data[size - 1];
    const char letter = pick < sizeof kLetters * 40 ? kLetters[pick % sizeof kLetters] : char(pick);
    uint8_t params[kMaxCommandParams] = {};
    params[0] = data[size - 2];
    const size_t paramCount = data[size - 3] % (kMaxCommandParams + 1);

    Wire wire;
    wire.answer = data;
    wire.answerLength = size - 3;
    // One channel for the whole run: a fresh 128 KB receive buffer per input
    // costs more than the validation. Sending a command resets everything the
    // validation depends on; only stale bytes in the receive buffer remain.
    static ManualClock clock;
    static FrameChannel channel(clock);
    channel.setRead(readAnswer, &wire);
    channel.setWrite(writeFrame, &wire);
    channel.setLog(countLog, &wire);

    channel.sendCommand(letter, params, paramCount);
    check(wire.written.size() == 1 && wire.written[0].size() == paramCount + 5);
    const std::vector<uint8_t> command = wire.written[0];

    // 1. The answer itself.
    wire.pending = true;
    const bool valid = channel.receive();
    const size_t given = wire.answerLength > CUsbhidioc::kRxBufferSize ? CUsbhidioc::kRxBufferSize
                                                                       : wire.answerLength;
    if (valid) {
        check(wire.logs == 0 && wire.written.size() == 1);
        check(size_t(channel.answerLength()) == given && channel.answer()[0] == kAnswerStart);
    } else if (given < 4) {
        check(wire.logs == 0 && wire.written.size() == 1); // no answer yet, nothing re-sent
    } else {
        // Rejected: one line in the log, and the command goes out again.
        check(wire.logs == 1 && wire.written.size() == 2 && wire.written[1] == command);
    }

    // 2. After a data frame, silence for 11 s re-sends the command, not the data.
    channel.sendData(data, given < 300 ? given : 300);
    const size_t sent = wire.written.size();
    clock.advance(11000);
    check(!channel.receive());
    check(wire.written.size() == sent + 1 && wire.written.back() == command);
    return 0;
}
