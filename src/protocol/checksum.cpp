#include "protocol/checksum.h"

#include <array>

namespace dupmon {

namespace {

constexpr std::array<uint32_t, 256> makeCrc32Table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 24;
        for (int k = 0; k < 8; ++k)
            r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        t[i] = r;
    }
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

constexpr auto kCrc32Table = makeCrc32Table();
constexpr auto kCrc16Table = makeCrc16Table();

} // namespace

uint32_t crc32(const uint8_t* data, size_t count) {
    uint32_t r = 0xA9EA3693u;
    for (size_t i = 0; i < count; ++i)
        r = kCrc32Table[(data[i] ^ (r >> 24)) & 0xFF] ^ (r << 8);
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
