#pragma once
// A controller stood in by the fuzz input, for the engine's read and write
// callbacks: every command the engine sends is answered by the next chunk of
// the input, so the input decides every answer the engine parses.
//
// Chunk: one control byte, then two length bytes (little-endian) and that
// many payload bytes (cut to what is left and to the link's 8192 bytes).
//   control & 3 == 0   a well-formed answer: "#", length, result, payload,
//                      and the check the command calls for
//              == 1    the same with its check byte(s) inverted
//              == 2    the payload as it is, as the link would hand it over
//              == 3    no answer: the controller stays silent
//   control >> 2       the result code (63 means 0xFE, the check-error code)
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/clock.h"
#include "common/ui_services.h"
#include "hidlink/usbhidioc.h"
#include "protocol/checksum.h"
#include "protocol/frame.h"

namespace dupmon::fuzz {

inline void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// A text field that ends inside its buffer.
inline bool terminated(const char* field, size_t size) {
    return ::strnlen(field, size) < size;
}

// Message boxes are counted, waiting requests give up at once.
class QuietUi final : public UiServices {
public:
    void messageBox(std::string_view, std::string_view) override { ++boxes; }
    bool processEvents() override { return false; }
    int boxes = 0;
};

struct AnswerFeed {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;

    std::vector<uint8_t> lastCommand; // the last command frame the engine wrote
    std::vector<uint8_t> answer;      // the answer waiting to be read
    bool answerReady = false;
    int framesThisStep = 0; // frames written during one engine step
    bool lastWellFormed = false;
    std::vector<uint8_t> lastPayload; // payload of the last well-formed answer
    uint8_t lastResult = 0;

    AnswerFeed(const uint8_t* d, size_t n) : data(d), size(n) {}
    bool exhausted() const { return pos >= size; }

    // Every frame the host sends is a command frame with a right sum, or a
    // data frame whose length field holds its whole length.
    static void checkHostFrame(const uint8_t* f, size_t n) {
        check(n >= 4);
        if (f[0] == kCommandStart) {
            check(readBE16(f + 1) + 3u == n);
            check(f[n - 1] == frameSum(f, n - 1));
        } else {
            check(f[0] == kAnswerStart && f[3] == 0);
            check(readBE16(f + 1) == n);
        }
    }

    void prepareAnswer() {
        answerReady = false;
        lastWellFormed = false;
        if (exhausted())
            return;
        const uint8_t control = data[pos++];
        size_t n = 0;
        if (pos + 2 <= size) {
            n = size_t(data[pos]) | size_t(data[pos + 1]) << 8;
            pos += 2;
        } else {
            pos = size;
        }
        n = std::min(n, size - pos);
        const uint8_t* payload = data + pos;
        pos += n;
        const int mode = control & 3;
        if (mode == 3)
            return;
        if (mode == 2) {
            answer.assign(payload, payload + std::min<size_t>(n, CUsbhidioc::kRxBufferSize));
            answerReady = !answer.empty();
            return;
        }
        const AnswerCheck kind = answerCheckFor(lastCommand.data(), lastCommand.size());
        const size_t checkSize = kind == AnswerCheck::Crc32 ? 4 : kind == AnswerCheck::Sum ? 1 : 0;
        n = std::min(n, CUsbhidioc::kRxBufferSize - 4 - checkSize);
        const uint8_t result =
            (control >> 2) == 63 ? uint8_t(RESULT_CHECK_ERROR) : uint8_t(control >> 2);
        answer.assign(4 + n + checkSize, 0);
        answer[0] = kAnswerStart;
        writeBE16(answer.data() + 1, uint16_t(answer.size() - 3));
        answer[3] = result;
        std::memcpy(answer.data() + 4, payload, n);
        if (kind == AnswerCheck::Crc32)
            writeBE32(answer.data() + 4 + n, crc32(answer.data(), 4 + n));
        else if (kind == AnswerCheck::Sum)
            answer[4 + n] = frameSum(answer.data(), 4 + n);
        if (mode == 1 && checkSize > 0) {
            for (size_t i = 4 + n; i < answer.size(); ++i)
                answer[i] ^= 0xFF;
        } else {
            lastWellFormed = true;
            lastPayload.assign(payload, payload + n);
            lastResult = result;
        }
        answerReady = true;
    }

    static bool read(void* user, int* length, uint8_t* destination) {
        auto& f = *static_cast<AnswerFeed*>(user);
        if (!f.answerReady)
            return false;
        f.answerReady = false;
        std::memcpy(destination, f.answer.data(), f.answer.size());
        *length = int(f.answer.size());
        return true;
    }

    static bool write(void* user, int length, const uint8_t* frame) {
        auto& f = *static_cast<AnswerFeed*>(user);
        check(length > 0);
        checkHostFrame(frame, size_t(length));
        ++f.framesThisStep;
        const bool again = f.lastCommand.size() == size_t(length) &&
                           std::memcmp(f.lastCommand.data(), frame, size_t(length)) == 0;
        if (frame[0] == kCommandStart)
            f.lastCommand.assign(frame, frame + length);
        if (f.onFrameHook)
            f.onFrameHook(f.hookUser, frame, size_t(length), again);
        f.prepareAnswer();
        return true;
    }

    // Told of every frame before it is answered (`again`: the same frame as
    // the command before, a re-send); a target checks what was asked.
    void (*onFrameHook)(void* user, const uint8_t* frame, size_t length, bool again) = nullptr;
    void* hookUser = nullptr;

    // One engine step: one step sends one frame at most. Time runs at 1 ms a
    // step while an answer is on its way, 50 ms while the engine only waits,
    // and 11 s at once when no answer will come, so the engine asks again.
    template <class Engine> void step(Engine& engine, ManualClock& clock) {
        framesThisStep = 0;
        engine.step();
        check(framesThisStep <= 1);
        if (!engine.awaitingAnswer())
            clock.advance(50);
        else if (answerReady)
            clock.advance(1);
        else
            clock.advance(11001);
    }
};

} // namespace dupmon::fuzz
