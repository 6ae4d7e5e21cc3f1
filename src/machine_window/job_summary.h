#pragma once
// The job summary record a machine sends with a job's counts, and the failure
// rate, yield and total quantity texts of the job panel.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dupmon {

// The job summary record (status code 7), 26 bytes, big-endian:
//   3..23  covered by the CRC
//   5      function code          -> status byte 2
//   6      job phase              -> status byte 3
//  12      u32 value              -> status u32 at 8
//  16      u32 pass count         -> status u32 at 12
//  20      u32 fail count         -> status u32 at 16
//  24      u16 CRC-16/XMODEM of bytes 3..23
inline constexpr size_t kJobSummarySize = 26;

// Check the record's CRC and, when it matches, copy its fields into the
// 28-byte status block (kept big-endian, as received). False for a mismatch,
// which leaves the block untouched.
bool applyJobSummary(const uint8_t record[kJobSummarySize], uint8_t status[28]);

// "FAILURE RATE: ..." and "YIELD: ..." of the job's counts.
std::string failureRateText(uint32_t pass, uint32_t fail);
std::string yieldText(uint32_t pass, uint32_t fail);

// The total quantity field read the way atol reads it: leading blanks, an
// optional sign, digits up to the first other character; no digits gives 0.
long long parseTotal(std::string_view text);

} // namespace dupmon
