#pragma once
// Records of known fields for the export's tests, and their bytes as hex.
#include <cstdio>
#include <string>

#include "logdb/log_test_support.h"

namespace dupmon::test {

// A USB copy that passed: 100 MB of data at 20 MB/s read, 10 MB/s write.
inline RecordBytes usbCopyRecord() {
    return RecordBytes()
        .job(41, 2024, 3, 5, 14, 7, 9, 3)
        .u8(13, 1)
        .u8(14, 1)
        .be32(24, 7864320)
        .be32(32, 204800)
        .be32(44, 40960)
        .be32(48, 20480)
        .be16(56, 65)
        .be16(64, 0x0781)
        .be16(66, 0x5567)
        .bytes(88, "4C530001");
}

// Job `k` of a machine on the given day: an hour, a port and a result of its
// own, so that the server's queries have something to group: hour k % 24,
// port 1 + k % 16, failed when k % 7 == 3.
inline RecordBytes jobRecordOn(uint32_t logNo, uint32_t k, int year, int month, int day) {
    RecordBytes r;
    r.job(logNo, year, month, day, int(k % 24), int(k % 60), 7, uint16_t(1 + k % 16))
        .u8(13, 1)
        .u8(14, 1)
        .be32(24, 7864320)
        .be32(32, 204800 + k)
        .be32(44, 40960)
        .be32(48, 20480)
        .be16(56, uint16_t(60 + k % 100))
        .u8(62, k % 7 == 3 ? 7 : 0)
        .bytes(88, "SERIAL-" + std::to_string(k));
    return r;
}

// Job `k` on day 1 + k % 28 of May 2024.
inline RecordBytes jobRecord(uint32_t logNo, uint32_t k) {
    return jobRecordOn(logNo, k, 2024, 5, 1 + int(k % 28));
}

// Lower-case hex, as the server's encode(raw, 'hex') gives it.
inline std::string hexOf(const uint8_t* bytes, size_t n = 128) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", bytes[i]);
        s += h;
    }
    return s;
}

} // namespace dupmon::test
