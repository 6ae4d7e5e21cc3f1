// The check sums. The CRC-32 takes eight bytes a step through eight tables,
// since sealing a large report is bound by it.
#include "protocol/checksum.h"

#include <array>

namespace dupmon {

namespace {

// Eight tables: table k advances the register by a byte followed by k zero
// bytes, so eight input bytes take one step (sealing a large report is
// CRC-bound).
constexpr std::array<std::array<uint32_t, 256>, 8> makeCrc32Tables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int k = 0; k < 8; ++k)
            r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        t[0][i] = r;
    }
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}

constexpr std::array<uint16_t, 256> makeCrc16Table() {
    std::array<uint16_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t r = static_cast<uint16_t>(i << 8);
        for (int k = 0; k < 8; ++k)
            r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
        t[i] = r;
    }
    return t;
}

constexpr auto kCrc32 = makeCrc32Tables();
constexpr auto kCrc16Table = makeCrc16Table();

} // namespace

uint32_t crc32(const uint8_t* data, size_t count) {
    return crc32Update(kCrc32Initial, data, count);
}

uint32_t crc32Update(uint32_t r, const uint8_t* data, size_t count) {
    const auto& t = kCrc32;
    for (; count >= 8; count -= 8, data += 8) {
        const uint32_t a = r ^ (uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 |
                                uint32_t(data[2]) << 8 | data[3]);
        const uint32_t b =
            uint32_t(data[4]) << 24 | uint32_t(data[5]) << 16 | uint32_t(data[6]) << 8 | data[7];
        r = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^
            t[3][b >> 24] ^ t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
    }
    for (size_t i = 0; i < count; ++i)
        r = t[0][(data[i] ^ (r >> 24)) & 0xFF] ^ (r << 8);
    return r;
}

uint8_t frameSum(const uint8_t* data, size_t count) {
    uint8_t s = 0;
    for (size_t i = 0; i < count; ++i)
        s = static_cast<uint8_t>(s + data[i]);
    return s;
}

uint8_t blockCheck(const uint8_t* data, size_t count) {
    uint8_t r = 1;
    for (size_t i = 0; i < count; ++i)
        r = static_cast<uint8_t>(((r >> 1) | (r << 7)) + data[i]);
    return r;
}

uint16_t crc16Xmodem(const uint8_t* data, size_t count) {
    uint16_t r = 0;
    for (size_t i = 0; i < count; ++i)
        r = static_cast<uint16_t>(kCrc16Table[((r >> 8) ^ data[i]) & 0xFF] ^ (r << 8));
    return r;
}

} // namespace dupmon
