#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/timestamp.h"
#include "protocol/checksum.h"
#include "protocol/frame_channel.h"

using namespace dupmon;

namespace {

// Stands in for the link: hands out one queued answer per read, records writes and log lines.
struct Wire {
    std::vector<std::vector<uint8_t>> answers;
    std::vector<std::vector<uint8_t>> sent;
    std::vector<std::string> logs;

    static bool read(void* u, int* len, uint8_t* dst) {
        auto* w = static_cast<Wire*>(u);
        if (w->answers.empty())
            return false;
        auto a = w->answers.front();
        w->answers.erase(w->answers.begin());
        std::copy(a.begin(), a.end(), dst);
        *len = int(a.size());
        return !a.empty();
    }
    static bool write(void* u, int len, const uint8_t* f) {
        static_cast<Wire*>(u)->sent.emplace_back(f, f + len);
        return true;
    }
    static void log(void* u, const char* text) { static_cast<Wire*>(u)->logs.emplace_back(text); }
};

std::vector<uint8_t> answer(std::vector<uint8_t> data, int check /*0 none,1 sum,4 crc*/,
                            uint8_t result = 0) {
    std::vector<uint8_t> f(4 + data.size());
    f[0] = 0x23;
    f[3] = result;
    std::copy(data.begin(), data.end(), f.begin() + 4);
    const size_t total = f.size() + size_t(check);
    writeBE16(f.data() + 1, uint16_t(total - 3));
    if (check == 1)
        f.push_back(frameSum(f.data(), f.size()));
    if (check == 4) {
        uint32_t c = crc32(f.data(), f.size());
        f.resize(f.size() + 4);
        writeBE32(f.data() + f.size() - 4, c);
    }
    return f;
}

class FrameChannelTest : public ::testing::Test {
protected:
    FrameChannelTest() : channel(clock) {
        channel.setRead(&Wire::read, &wire);
        channel.setWrite(&Wire::write, &wire);
        channel.setLog(&Wire::log, &wire);
    }
    std::string now() { return asctimeText(clock.localTime()); }
    ManualClock clock;
    Wire wire;
    FrameChannel channel;
};

} // namespace

TEST_F(FrameChannelTest, AcceptsAnswersByTheCheckOfTheLastCommand) {
    const uint8_t e0a[] = {0x0A, 0, 1, 1};
    channel.sendCommand('E', e0a, 4);
    wire.answers.push_back(answer({1, 2, 3, 4, 5}, 4));
    EXPECT_TRUE(channel.receive());
    EXPECT_TRUE(wire.logs.empty());

    // The same CRC answer to "E" 1 is checked by its last byte as a sum.
    const uint8_t e1[] = {1, 0, 1, 1};
    channel.sendCommand('E', e1, 4);
    wire.answers.push_back(answer({1, 2, 3, 4, 5}, 4));
    EXPECT_FALSE(channel.receive());
    ASSERT_EQ(wire.logs.size(), 1u);
    EXPECT_NE(wire.logs[0].find("[Wrong CheckSUM] CMD:E,cmd[4]=1,cmd[5]=0"), std::string::npos);

    // "A" carries no check: any last byte will do.
    channel.sendCommand('A');
    auto a = answer({9, 9, 9}, 0);
    a.back() = 0x77;
    wire.answers.push_back(a);
    EXPECT_TRUE(channel.receive());
}

TEST_F(FrameChannelTest, LogsEachRejectionExactlyAndResends) {
    const uint8_t e0b[] = {0x0B, 0, 1, 1};
    channel.sendCommand('E', e0b, 4);
    const std::string t = now();

    std::vector<uint8_t> badStart{0x24, 0, 5, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    wire.answers.push_back(badStart);
    EXPECT_FALSE(channel.receive());
    EXPECT_EQ(wire.logs.back(),
              t + " [Wrong Data come in]  24h 00h 05h 00h 01h 02h 03h 04h 05h 06h\r\n");

    std::vector<uint8_t> badLength{0x23, 0, 9, 0, 1, 2};
    wire.answers.push_back(badLength);
    EXPECT_FALSE(channel.receive());
    EXPECT_EQ(wire.logs.back(),
              t + " [Wrong Data come in Length] length=6, DATA: 23h 00h 09h 00h\r\n");

    auto badCrc = answer({1, 2, 3}, 4);
    const uint32_t good = readBE32(badCrc.data() + badCrc.size() - 4);
    badCrc.back() ^= 1;
    wire.answers.push_back(badCrc);
    EXPECT_FALSE(channel.receive());
    char expect[200];
    std::snprintf(expect, sizeof expect,
                  " [Wrong CRC32] CMD:E,cmd[4]=11,cmd[5]=0, length=11, CRC32=%Xh, calc_CRC32=%Xh",
                  good ^ 1, good);
    EXPECT_EQ(wire.logs.back(), t + expect);

    channel.sendCommand('B');
    auto badSum = answer(std::vector<uint8_t>(28, 0), 1);
    const uint8_t sum = badSum.back();
    badSum.back() ^= 0xFF;
    wire.answers.push_back(badSum);
    EXPECT_FALSE(channel.receive());
    EXPECT_EQ(wire.logs.back(),
              t + " [Wrong CheckSUM] CMD:B,cmd[4]=" + std::to_string(channel.lastCommand()[4]) +
                  ",cmd[5]=" + std::to_string(channel.lastCommand()[5]) +
                  ", length=33, sum=" + (std::snprintf(expect, 8, "%X", sum), expect) + "h");

    // Every rejection re-sent the last command.
    ASSERT_EQ(wire.sent.size(), 6u);
    EXPECT_EQ(wire.sent[1], wire.sent[0]);
    EXPECT_EQ(wire.sent[3], wire.sent[0]);
    EXPECT_EQ(wire.sent[5], wire.sent[4]);
}

TEST_F(FrameChannelTest, FewerThanFourBytesIsNoAnswerAndNothingElse) {
    channel.sendCommand('A');
    const uint32_t sentAt = channel.lastSendTime();
    clock.advance(500);
    wire.answers.push_back({0x23, 0, 0});
    EXPECT_FALSE(channel.receive());
    EXPECT_TRUE(wire.logs.empty());
    EXPECT_EQ(wire.sent.size(), 1u);
    EXPECT_EQ(channel.lastSendTime(), sentAt);
}

TEST_F(FrameChannelTest, TimesOutAfterElevenFullSeconds) {
    channel.sendCommand('A');
    clock.advance(10999);
    EXPECT_FALSE(channel.receive());
    EXPECT_TRUE(wire.logs.empty());
    EXPECT_EQ(wire.sent.size(), 1u);
    clock.advance(1);
    EXPECT_FALSE(channel.receive());
    ASSERT_EQ(wire.logs.size(), 1u);
    EXPECT_EQ(wire.logs[0], " [Cmd Time Out] CMD: 40h 00h 02h 41h 83h, already get 0 bytes\r\n");
    ASSERT_EQ(wire.sent.size(), 2u);
    // The re-send restarts the wait.
    clock.advance(10900);
    EXPECT_FALSE(channel.receive());
    EXPECT_EQ(wire.sent.size(), 2u);
}

TEST_F(FrameChannelTest, AfterADataFrameTheCommandIsSentAgain) {
    const uint8_t w5 = 5;
    channel.sendCommand('W', &w5, 1);
    const auto command = wire.sent.back();
    const uint8_t name[56] = {'L', 'i', 'n', 'e'};
    channel.sendData(name, 56);
    ASSERT_EQ(wire.sent.back().size(), 60u);
    EXPECT_EQ(wire.sent.back()[2], 60);
    clock.advance(11000);
    EXPECT_FALSE(channel.receive());
    EXPECT_EQ(wire.sent.back(), command);
}

TEST_F(FrameChannelTest, AnAnswerToACommandSentTwiceWaitsUntilTheSecondAnswerIsDropped) {
    const uint8_t w42 = 42;
    channel.sendCommand('W', &w42, 1);
    // Something that was not its answer makes the channel ask again: two
    // answers to W 42 are now on their way.
    wire.answers.push_back({0x55, 0, 5, 0, 1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(channel.receive());
    ASSERT_EQ(wire.sent.size(), 2u);
    clock.advance(30);
    wire.answers.push_back(answer({7}, 0));
    EXPECT_FALSE(channel.receive()) << "held while the second answer may come";
    clock.advance(30);
    wire.answers.push_back(answer({7}, 0));
    EXPECT_FALSE(channel.receive());
    EXPECT_NE(wire.logs.back().find("[Second answer dropped] CMD:W,cmd[4]=42"), std::string::npos);
    uint32_t end = 0;
    ASSERT_TRUE(channel.holdEnd(end));
    EXPECT_EQ(end, clock.tickMs() + FrameChannel::kSettleMinMs);
    clock.advance(FrameChannel::kSettleMinMs - 1);
    EXPECT_FALSE(channel.receive());
    clock.advance(1);
    ASSERT_TRUE(channel.receive());
    EXPECT_FALSE(channel.holdEnd(end));
    EXPECT_EQ(channel.answer()[4], 7);
    EXPECT_EQ(wire.sent.size(), 2u) << "nothing more was sent";

    // The next command is answered by its own answer, at once.
    channel.sendCommand('B');
    wire.answers.push_back(answer(std::vector<uint8_t>(28, 9), 1));
    ASSERT_TRUE(channel.receive());
    EXPECT_EQ(channel.answerLength(), 33);
}

TEST_F(FrameChannelTest, ASlowAnswerToARepeatedCommandWaitsAsLongAgain) {
    channel.sendCommand('A');
    clock.advance(11000);
    EXPECT_FALSE(channel.receive()); // timed out and sent again
    ASSERT_EQ(wire.sent.size(), 2u);
    clock.advance(900);
    wire.answers.push_back(answer({1}, 0));
    EXPECT_FALSE(channel.receive());
    clock.advance(899);
    EXPECT_FALSE(channel.receive());
    clock.advance(1);
    EXPECT_TRUE(channel.receive());
}
