#pragma once
// A generated log database for the benchmarks: varied records over many days.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "common/byte_order.h"
#include "logdb/log_database.h"
#include "logdb/log_record.h"

namespace dupmon::bench {

// A varied record: copy jobs on USB sticks, SD capacity checks, media tests,
// burn-ins and CF copies, over a range of days.
inline void makeRecord(uint8_t* r, uint32_t i) {
    std::fill(r, r + kLogRecordSize, 0);
    writeBE32(r, i);
    uint32_t day = i / 5000; // 200 jobs a day... for 200 days
    r[4] = uint8_t(26 + day / 360);
    r[5] = uint8_t(1 + day / 30 % 12);
    r[6] = uint8_t(1 + day % 28);
    r[7] = uint8_t(i / 3600 % 24);
    r[8] = uint8_t(i / 60 % 60);
    r[9] = uint8_t(i % 60);
    static const uint8_t functions[] = {1, 5, 16, 15, 22, 1, 84, 4};
    static const uint8_t kinds[] = {1, 1, 2, 2, 2, 3, 7, 5};
    r[13] = kinds[i % 8];
    r[14] = functions[i % 8];
    r[18] = i % 3 == 0 ? 0x10 : 0;
    r[62] = i % 17 == 0 ? 2 : 0;
    r[63] = uint8_t(i % 7);
    writeBE32(r + 24, 15728640 + i % 1000);
    writeBE32(r + 32, 2097152 + i % 4096);
    writeBE32(r + 40, i * 7);
    writeBE32(r + 44, 20000 + i % 9000);
    writeBE32(r + 48, 9000 + i % 5000);
    writeBE32(r + 52, i % 7200);
    writeBE16(r + 56, uint16_t(i % 900));
    writeBE16(r + 58, uint16_t(i % 800));
    writeBE16(r + 64, 0x0781);
    writeBE16(r + 66, 0x5567);
    writeBE32(r + 68, i % 50);
    writeBE32(r + 72, i % 40);
    writeBE32(r + 76, i % 3);
    writeBE16(r + 80, uint16_t(i % 120 + 1));
    writeBE16(r + 82, 512);
    const char* cid = "\x03SDSU16G\x80\x12\x34\x56\x78\x01\x56\x9B";
    const char* serial = "4C530001230518113593";
    std::copy(r[13] == 2 || r[13] == 5 ? cid : serial,
              (r[13] == 2 || r[13] == 5 ? cid : serial) + 16, r + 88);
}

inline void generate(const std::filesystem::path& path, uint32_t count) {
    createLogDatabase(path);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    std::vector<uint8_t> chunk(kLogRecordSize * 4096);
    for (uint32_t i = 0; i < count;) {
        uint32_t n = std::min<uint32_t>(4096, count - i);
        for (uint32_t k = 0; k < n; ++k)
            makeRecord(chunk.data() + k * kLogRecordSize, i + k);
        out.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(n * kLogRecordSize));
        i += n;
    }
}

// The database of a run, from the command line "[records] [folder]":
// 1,000,000 records in a folder of the temporary directory by default.
struct BenchDatabase {
    uint32_t count = 0;
    std::filesystem::path dir, file;
};
inline BenchDatabase benchDatabase(int argc, char** argv, const char* folderName) {
    BenchDatabase b;
    b.count = 1000000;
    if (argc > 1) {
        char* end = nullptr;
        const unsigned long n = std::strtoul(argv[1], &end, 10);
        if (end == argv[1] || *end != '\0' || n == 0 || n > 100000000) {
            std::fprintf(stderr, "usage: %s [records (1..100000000)] [folder]\n", argv[0]);
            std::exit(2);
        }
        b.count = uint32_t(n);
    }
    b.dir = argc > 2 ? std::filesystem::path(argv[2])
                     : std::filesystem::temp_directory_path() / folderName;
    std::filesystem::create_directories(b.dir);
    b.file = b.dir / "BENCH.QX42.LOGDATA";
    generate(b.file, b.count);
    return b;
}

// The floor every reader is measured against: one buffered read of the
// whole file. Returns the bytes read.
inline size_t plainRead(const std::filesystem::path& file) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f)
        return 0;
    std::vector<char> buf(1 << 20);
    size_t total = 0, n;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        total += n;
    std::fclose(f);
    return total;
}

} // namespace dupmon::bench
