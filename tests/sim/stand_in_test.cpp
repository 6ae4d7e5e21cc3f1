#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "protocol/checksum.h"
#include "sim/sim_host.h"

using namespace dupmon;
using dupmon::test::SimHost;

namespace {

std::string textAt(const std::vector<uint8_t>& a, size_t off, size_t n) {
    std::string s(reinterpret_cast<const char*>(a.data() + off), n);
    return s.substr(0, s.find('\0'));
}

} // namespace

TEST(StandInIdentification, AnswersAtTheHostsOffsets) {
    SimHost host("usb10");
    ASSERT_TRUE(host.exchange('A'));
    const auto a = host.answer();
    ASSERT_EQ(a.size(), 64u); // "#", length, result, 60 data bytes, no check
    EXPECT_EQ(a[0], 0x23);
    EXPECT_EQ(readBE16(&a[1]), 61);
    EXPECT_EQ(a[3], 0);
    EXPECT_EQ(textAt(a, 4, 20), "SIM USB Tower 10");
    EXPECT_EQ(textAt(a, 24, 10), "v3.12.5");
    EXPECT_EQ(a[25], '3');
    EXPECT_EQ(a[27], '1');
    EXPECT_EQ(a[28], '2');
    EXPECT_EQ(a[30], '5');
    EXPECT_EQ(a[34], 0x04); // systemTotalBufferSize 1024, big-endian
    EXPECT_EQ(a[35], 0x00);
    EXPECT_EQ(a[36], 0x00); // maxDeviceQty 10, big-endian
    EXPECT_EQ(a[37], 0x0A);
    EXPECT_EQ(a[38], 2);    // deviceType
    EXPECT_EQ(a[39], 0x01); // asynchronous erase
    EXPECT_EQ(a[41], 0);    // machineType
    EXPECT_EQ(a[44], 0x19); // wide, feature bits 3 and 4
    EXPECT_TRUE(host.log.empty());

    ASSERT_TRUE(host.exchange('W', {1}));
    EXPECT_EQ(textAt(host.answer(), 4, 64), host.machine().machineId);
    EXPECT_EQ(host.machine().machineId.rfind("SU10-", 0), 0u);
}

TEST(StandInIdentification, ProfilesSayWhatTheyAre) {
    struct Case {
        const char* profile;
        uint8_t deviceType, machineType, flags39, flags44;
        uint16_t ports;
        const char* version;
    } cases[] = {
        {"usb10", 2, 0, 0x01, 0x19, 10, "v3.12.5"},  {"combo16", 4, 0, 0, 0x19, 16, "v3.08.2"},
        {"microsd24", 3, 0, 0, 0x1F, 24, "v3.05.1"}, {"cf8", 5, 0, 0, 0x09, 8, "v2.52.0"},
        {"sd20", 10, 0, 0, 0x19, 20, "v3.01.4"},     {"panel121", 2, 1, 0x01, 0x19, 121, "v3.20.0"},
        {"panel2", 2, 2, 0, 0x19, 41, "v3.20.0"},    {"old7", 7, 0, 0, 0x00, 12, "v2.40.6"},
        {"narrow7", 7, 0, 0, 0x08, 12, "v2.40.7"},   {"bank10", 2, 0, 0x02, 0x19, 10, "v3.15.0"},
        {"nolog8", 2, 0, 0, 0x01, 8, "v2.60.3"},
    };
    for (const auto& c : cases) {
        SimHost host(c.profile);
        ASSERT_TRUE(host.exchange('A')) << c.profile;
        const auto a = host.answer();
        EXPECT_EQ(a[38], c.deviceType) << c.profile;
        EXPECT_EQ(a[41], c.machineType) << c.profile;
        EXPECT_EQ(a[39], c.flags39) << c.profile;
        EXPECT_EQ(a[44], c.flags44) << c.profile;
        EXPECT_EQ(readBE16(&a[36]), c.ports) << c.profile;
        EXPECT_EQ(textAt(a, 24, 10), c.version) << c.profile;
        ASSERT_TRUE(host.exchange('W', {20}));
        EXPECT_EQ(host.result(), std::string(c.profile) == "nolog8" ? 1 : 0) << c.profile;
    }
}

TEST(StandInIdentification, BoardLayoutIsLittleEndianAndTheListComesInPieces) {
    SimHost host("panel121");
    host.machine().setBoardCount(51);
    ASSERT_TRUE(host.exchange('W', {2}));
    auto a = host.answer();
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(a[4], 51); // boardQty, little-endian
    EXPECT_EQ(a[5], 0);
    EXPECT_EQ(a[6], 11); // ports per board, little-endian
    EXPECT_EQ(a[7], 0);
    EXPECT_EQ(a[8], 11); // ports per row

    // Boards 26..50: 25 records of 40 bytes.
    ASSERT_TRUE(host.exchange('W', {3, 26, 0, 25}));
    a = host.answer();
    ASSERT_EQ(a.size(), 4u + 25 * 40);
    EXPECT_EQ(textAt(a, 4 + 16, 8), "R26");
    EXPECT_EQ(textAt(a, 4 + 24 * 40 + 16, 8), "R50");
    EXPECT_EQ(readBE16(&a[4 + 30]), 11); // total devices of the board

    ASSERT_TRUE(host.exchange('W', {3, 51, 0, 1}));
    EXPECT_EQ(textAt(host.answer(), 4 + 16, 8), "R51");
    const auto w3 = host.device->commands('W', 3);
    ASSERT_EQ(w3.size(), 2u);
    EXPECT_EQ(w3[1].params, (std::vector<uint8_t>{3, 51, 0, 1}));
}

TEST(StandInStatus, StatusBlockCarriesStateCountsAndLogNumbers) {
    SimHost host("usb10");
    host.machine().preloadLog(20);
    host.machine().setLogFirstNo(500);
    ASSERT_TRUE(host.exchange('B'));
    const auto a = host.answer();
    ASSERT_EQ(a.size(), 4u + 28 + 1);
    EXPECT_EQ(a.back(), frameSum(a.data(), a.size() - 1));
    EXPECT_EQ(a[4 + 2], 0); // standby
    EXPECT_EQ(a[4 + 3], 0);
    EXPECT_EQ(readBE32(&a[4 + 12]), 0u);
    EXPECT_EQ(readBE32(&a[4 + 16]), 0u);
    EXPECT_EQ(readBE32(&a[4 + 20]), 500u);
    EXPECT_EQ(readBE32(&a[4 + 24]), 20u);

    ASSERT_TRUE(host.exchange('W', {22}));
    EXPECT_EQ(readBE32(&host.answer()[4]), 500u);
    EXPECT_EQ(readBE32(&host.answer()[8]), 520u);
}

TEST(StandInLog, RecordFetchGivesTheNumberedRecordWithItsSum) {
    SimHost host("usb10");
    host.machine().preloadLog(20);
    host.machine().setLogFirstNo(500);
    ASSERT_TRUE(host.exchange('W', {23, 0, 0, 0x01, 0xF9})); // 505
    const auto a = host.answer();
    ASSERT_EQ(a.size(), 4u + 128 + 1);
    EXPECT_EQ(a[3], 0);
    const uint8_t* r = a.data() + 4;
    EXPECT_EQ(readBE32(r), 505u);
    EXPECT_GE(r[5], 1);
    EXPECT_LE(r[5], 12);
    EXPECT_EQ(r[13], 1); // USB target
    EXPECT_EQ(r[14], 1); // the sixth record belongs to the first job: a copy over nine ports
    EXPECT_EQ(readBE16(r + 80), 6);   // port
    EXPECT_EQ(readBE16(r + 82), 512); // sector size
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 88)).rfind("SIM", 0), 0u);

    // Numbers outside the log are refused.
    for (uint32_t no : {499u, 520u}) {
        std::vector<uint8_t> p{23, 0, 0, 0, 0};
        writeBE32(&p[1], no);
        ASSERT_TRUE(host.exchange('W', p));
        EXPECT_NE(host.result(), 0) << no;
    }
    ASSERT_EQ(host.device->commands('W', 23).size(), 3u);
    EXPECT_EQ(readBE32(&host.device->commands('W', 23)[0].params[1]), 505u);
}
