#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "protocol/checksum.h"
#include "protocol/frame.h"

using namespace dupmon;

namespace {
const uint8_t* bytes(const char* s) {
    return reinterpret_cast<const uint8_t*>(s);
}
} // namespace

TEST(Checksums, PublishedCheckValues) {
    EXPECT_EQ(crc32(nullptr, 0), 0xA9EA3693u);
    EXPECT_EQ(crc32(bytes("abc"), 3), 0x602E5DDEu);
    EXPECT_EQ(crc32(bytes("123456789"), 9), 0x4B8881DAu);
    EXPECT_EQ(crc16Xmodem(bytes("123456789"), 9), 0x31C3);
    EXPECT_EQ(blockCheck(bytes("abc"), 3), 0x8C);
    EXPECT_EQ(frameSum(bytes("abc"), 3), uint8_t(0x61 + 0x62 + 0x63));
}

TEST(Frames, CommandFramesByteForByte) {
    uint8_t f[20];
    ASSERT_EQ(buildCommandFrame(f, 'A', nullptr, 0), 5u);
    EXPECT_EQ(std::vector<uint8_t>(f, f + 5), (std::vector<uint8_t>{0x40, 0x00, 0x02, 0x41, 0x83}));
    const uint8_t one = 1;
    ASSERT_EQ(buildCommandFrame(f, 'W', &one, 1), 6u);
    EXPECT_EQ(std::vector<uint8_t>(f, f + 6),
              (std::vector<uint8_t>{0x40, 0x00, 0x03, 0x57, 0x01, 0x9B}));
}

TEST(Frames, DataFramesCarryTheirTotalLength) {
    uint8_t f[300];
    const uint8_t pass[] = {'P', 'A', 'S', 'S'};
    ASSERT_EQ(buildDataFrame(f, pass, 4), 8u);
    EXPECT_EQ(std::vector<uint8_t>(f, f + 8),
              (std::vector<uint8_t>{0x23, 0x00, 0x08, 0x00, 'P', 'A', 'S', 'S'}));

    uint8_t block[256];
    for (int i = 0; i < 256; ++i)
        block[i] = uint8_t(i);
    ASSERT_EQ(buildSetupBlockFrame(f, block), 261u);
    EXPECT_EQ(f[0], 0x23);
    EXPECT_EQ(f[1], 0x01);
    EXPECT_EQ(f[2], 0x05); // 261
    EXPECT_EQ(f[3], 0x00);
    EXPECT_EQ(std::memcmp(f + 4, block, 256), 0);
    // 0x23 + 0x01 + 0x05 + sum(0..255) = 0x29 + 0x7F80
    EXPECT_EQ(f[260], uint8_t(0x29 + 0x80));
}

TEST(Frames, AnswerCheckFollowsTheLastCommand) {
    struct Case {
        char letter;
        int sub; // -1: no parameters
        AnswerCheck check;
    } cases[] = {
        {'E', 0x0A, AnswerCheck::Crc32}, {'E', 0x0B, AnswerCheck::Crc32},
        {'E', 1, AnswerCheck::Sum},      {'E', 3, AnswerCheck::Sum},
        {'B', -1, AnswerCheck::Sum},     {'W', 23, AnswerCheck::Sum},
        {'W', 30, AnswerCheck::Sum},     {'W', 22, AnswerCheck::None},
        {'A', -1, AnswerCheck::None},    {'X', 26, AnswerCheck::None},
        {'Y', 1, AnswerCheck::None},
    };
    for (const auto& c : cases) {
        uint8_t f[20];
        const uint8_t p = uint8_t(c.sub);
        size_t n = buildCommandFrame(f, c.letter, &p, c.sub < 0 ? 0 : 1);
        EXPECT_EQ(answerCheckFor(f, n), c.check) << c.letter << c.sub;
    }
}

TEST(Checksums, WideStepsAgreeWithByteSteps) {
    // Every length from 0 to 40 against a bit-by-bit reference.
    std::vector<uint8_t> data(40);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 151 + 7);
    for (size_t n = 0; n <= data.size(); ++n) {
        uint32_t r = 0xA9EA3693u;
        for (size_t i = 0; i < n; ++i) {
            r ^= uint32_t(data[i]) << 24;
            for (int k = 0; k < 8; ++k)
                r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
        }
        EXPECT_EQ(crc32(data.data(), n), r) << n;
    }
}

TEST(Checksums, PiecesGiveTheCrcOfTheWhole) {
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 37 + 5);
    const uint32_t whole = crc32(data.data(), data.size());
    for (size_t piece : {size_t(1), size_t(3), size_t(8), size_t(13), size_t(999)}) {
        uint32_t r = kCrc32Initial;
        for (size_t at = 0; at < data.size(); at += piece)
            r = crc32Update(r, data.data() + at, std::min(piece, data.size() - at));
        EXPECT_EQ(r, whole) << piece;
    }
}
