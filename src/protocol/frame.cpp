// Building command, data and setup-block frames, and telling from the command
// sent which check its answer ends with.
#include "protocol/frame.h"

#include <cstring>

#include "common/byte_order.h"
#include "protocol/checksum.h"

namespace dupmon {

size_t buildCommandFrame(uint8_t* out, char letter, const uint8_t* params, size_t n) {
    out[0] = kCommandStart;
    writeBE16(out + 1, static_cast<uint16_t>(n + 2));
    out[3] = static_cast<uint8_t>(letter);
    if (n)
        std::memcpy(out + 4, params, n);
    out[4 + n] = frameSum(out, 4 + n);
    return n + 5;
}

size_t buildDataFrame(uint8_t* out, const uint8_t* data, size_t n) {
    out[0] = kAnswerStart;
    writeBE16(out + 1, static_cast<uint16_t>(n + 4));
    out[3] = 0;
    if (n)
        std::memmove(out + 4, data, n);
    return n + 4;
}

size_t buildSetupBlockFrame(uint8_t* out, const uint8_t* block256) {
    out[0] = kAnswerStart;
    writeBE16(out + 1, static_cast<uint16_t>(kSetupFrameSize));
    out[3] = 0;
    std::memmove(out + 4, block256, kSetupBlockSize);
    out[260] = frameSum(out, 260);
    return kSetupFrameSize;
}

AnswerCheck answerCheckFor(const uint8_t* command, size_t length) {
    if (length < 4)
        return AnswerCheck::None;
    const char letter = static_cast<char>(command[3]);
    const int sub = length > 5 ? command[4] : -1; // a parameterless frame has no sub-command
    if (letter == 'E' && (sub == 0x0A || sub == 0x0B))
        return AnswerCheck::Crc32;
    if (letter == 'B' || letter == 'E')
        return AnswerCheck::Sum;
    if (letter == 'W' && (sub == 23 || sub == 30))
        return AnswerCheck::Sum;
    return AnswerCheck::None;
}

} // namespace dupmon
