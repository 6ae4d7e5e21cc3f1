// The local log as the export reads it: a damaged tail (slots of zeros left
// by a crash, sparse or written) is no record to send, so the server never
// gets records numbered 0 that the machine never made.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "common/byte_order.h"
#include "export/local_log.h"
#include "logdb/log_database.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

TEST(LocalLog, ADamagedTailIsNoRecordToSend) {
    const dupmon::test::TempDir tmp("dupmon-local-log");
    const fs::path& dir = tmp.path;
    fs::create_directories(dir);
    const fs::path db = dir / "M-1.QX42.LOGDATA";
    struct Case {
        const char* what;
        uint64_t zeroSlots;
        bool sparse;
    } cases[] = {{"whole", 0, false}, {"written zeros", 3, false}, {"a sparse tail", 1000, true}};
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(kLogHeaderSize);
        logDatabaseHeader(bytes.data());
        for (uint32_t n = 0; n < 2; ++n) {
            uint8_t r[kLogRecordSize] = {};
            writeBE32(r, 40 + n);
            r[4] = 26, r[5] = 3, r[6] = 15;
            bytes.insert(bytes.end(), r, r + sizeof r);
        }
        if (!c.sparse)
            bytes.resize(bytes.size() + c.zeroSlots * kLogRecordSize, 0);
        std::ofstream(db, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (c.sparse)
            fs::resize_file(db, bytes.size() + c.zeroSlots * kLogRecordSize);
        LocalLog log;
        ASSERT_EQ(log.open(db), PASS) << c.what;
        EXPECT_EQ(log.count(), 2u) << c.what;
        uint8_t out[2 * kLogRecordSize];
        ASSERT_TRUE(log.read(0, 2, out)) << c.what;
        EXPECT_EQ(readBE32(out), 40u) << c.what;
        EXPECT_EQ(readBE32(out + kLogRecordSize), 41u) << c.what;
        // Nothing past the last record is read: no record numbered 0.
        EXPECT_FALSE(log.read(2, 1, out)) << c.what;
    }
}
