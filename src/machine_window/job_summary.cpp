// Checking a job summary record into the machine window's status block, the
// texts of a job's counts, and reading the total quantity the operator typed.
#include "machine_window/job_summary.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "common/byte_order.h"
#include "common/text.h"
#include "protocol/checksum.h"

namespace dupmon {

bool applyJobSummary(const uint8_t record[kJobSummarySize], uint8_t status[28]) {
    if (crc16Xmodem(record + 3, 21) != readBE16(record + 24))
        return false;
    status[2] = record[5];
    status[3] = record[6];
    std::memcpy(status + 8, record + 12, 12); // three big-endian u32, kept as they came
    return true;
}

std::string failureRateText(uint32_t pass, uint32_t fail) {
    if (fail == 0)
        return "FAILURE RATE: 0%";
    const float rate =
        static_cast<float>(fail) * 100.0f / (static_cast<float>(pass) + static_cast<float>(fail));
    return format("FAILURE RATE: %.1f%%", double(rate));
}

std::string yieldText(uint32_t pass, uint32_t fail) {
    if (pass == 0 && fail == 0)
        return "YIELD:  0%";
    if (fail == 0)
        return "YIELD: 100%";
    const float yield =
        static_cast<float>(pass) * 100.0f / (static_cast<float>(pass) + static_cast<float>(fail));
    return format("YIELD: %.1f%%", double(yield));
}

long long parseTotal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > (LLONG_MAX - 9) / 10)
            return negative ? LLONG_MIN : LLONG_MAX; // saturate instead of overflowing
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

} // namespace dupmon
