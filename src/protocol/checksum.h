#pragma once
// The check sums on the link and in the program's files: the frame sum, the
// CRC-32 of answers, image bank blocks and report seals, the device-information
// block check and the job summary's CRC-16.
#include <cstddef>
#include <cstdint>

namespace dupmon {

// CRC-32: polynomial 0x04C11DB7, MSB first, initial register 0xA9EA3693, no
// reflection, no final XOR. Checks answers, image bank blocks and report seals.
uint32_t crc32(const uint8_t* data, size_t count);
// The same over data that comes in pieces: start with kCrc32Initial and feed
// each piece in order; the result equals crc32 of the whole.
constexpr uint32_t kCrc32Initial = 0xA9EA3693u;
uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t count);
// 8-bit sum modulo 256: the check byte of command frames and most answers.
uint8_t frameSum(const uint8_t* data, size_t count);
// Block check of device-information blocks: r = 1; r = ror8(r) + b.
uint8_t blockCheck(const uint8_t* data, size_t count);
// CRC-16/XMODEM: polynomial 0x1021, initial 0, MSB first; the job summary record.
uint16_t crc16Xmodem(const uint8_t* data, size_t count);

} // namespace dupmon
