#pragma once
// Hand-built log records and scratch folders for the log database tests.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/machine_info.h"
#include "support/temp_dir.h"

namespace dupmon::test {

// A 128-byte record written field by field at its byte offsets, the way the
// controller lays it out: big-endian, except where the caller says otherwise.
struct RecordBytes {
    std::array<uint8_t, 128> b{};

    RecordBytes& u8(size_t at, uint8_t v) {
        b[at] = v;
        return *this;
    }
    RecordBytes& be16(size_t at, uint16_t v) {
        b[at] = uint8_t(v >> 8);
        b[at + 1] = uint8_t(v);
        return *this;
    }
    RecordBytes& be32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = uint8_t(v >> (24 - 8 * i));
        return *this;
    }
    RecordBytes& le32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = uint8_t(v >> (8 * i));
        return *this;
    }
    RecordBytes& bytes(size_t at, std::string_view s) {
        std::memcpy(b.data() + at, s.data(), s.size());
        return *this;
    }
    // Log number, date and time, port and sector size of an ordinary job.
    RecordBytes& job(uint32_t logNo, int y, int mo, int d, int h, int mi, int s, uint16_t port,
                     uint16_t sectorSize = 512) {
        be32(0, logNo);
        u8(4, uint8_t(y - 2000)).u8(5, uint8_t(mo)).u8(6, uint8_t(d));
        u8(7, uint8_t(h)).u8(8, uint8_t(mi)).u8(9, uint8_t(s));
        be16(80, port).be16(82, sectorSize);
        return *this;
    }
    const uint8_t* data() const { return b.data(); }
};

inline std::vector<uint8_t> readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
inline std::string readText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void writeBytes(const std::filesystem::path& p, const void* data, size_t n,
                       bool append = false) {
    std::ofstream out(p, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
}

// A fresh folder per test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    TempDir tmp{"dupmon_logdb"};
    std::filesystem::path dir{tmp.path};
};

inline MachineInfo machine(const char* nick, const char* model, const char* id, int deviceType = 2,
                           const char* version = "v2.40.7", int ports = 16) {
    MachineInfo m{};
    std::strncpy(m.nickName, nick, sizeof m.nickName - 1);
    std::strncpy(m.modelName, model, sizeof m.modelName - 1);
    std::strncpy(m.machineId, id, sizeof m.machineId - 1);
    std::strncpy(m.version, version, sizeof m.version - 1);
    m.deviceType = uint8_t(deviceType);
    m.maxDeviceQty = ports;
    m.support_LogRecord = 1;
    return m;
}

} // namespace dupmon::test
