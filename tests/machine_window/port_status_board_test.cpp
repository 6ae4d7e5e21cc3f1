// The status notifications as the machine window receives them: function
// latch, probe sensor, menus, port blocks and their bounds, the summary.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "machine_window/port_status_board.h"
#include "protocol/command_machine.h"

using namespace dupmon;

namespace {

MachineInfo machine(int ports) {
    MachineInfo info{};
    info.maxDeviceQty = ports;
    info.portQty_per_board = 8;
    info.controller_version_MAJOR = 2;
    info.controller_version_SUB = 9;
    return info;
}

std::vector<uint8_t> statusBlock(uint8_t function, uint8_t phase = 0, uint8_t byte5 = 0) {
    std::vector<uint8_t> b(28, 0);
    b[2] = function;
    b[3] = phase;
    b[5] = byte5;
    return b;
}

// Wide kind-1 records written field by field at their wire offsets.
struct Kind1 {
    uint64_t capacity = 0, completeSector = 0;
    uint32_t spm = 2048;
    uint8_t status = 0, result = 0;
};
std::vector<uint8_t> kind1Records(const std::vector<Kind1>& recs) {
    std::vector<uint8_t> out(recs.size() * 114, 0);
    for (size_t i = 0; i < recs.size(); ++i) {
        uint8_t* r = out.data() + i * 114;
        writeBE64(r + 8, recs[i].capacity);
        writeBE64(r + 16, recs[i].completeSector);
        writeBE32(r + 80, recs[i].spm);
        r[96] = recs[i].status;
        r[103] = recs[i].result;
    }
    return out;
}

bool blank(const PortLines& l) {
    return l.line1.colour == LineColour::WindowFrame && l.line2.colour == LineColour::WindowFrame &&
           l.line1.text == " " && l.line2.text == " ";
}

void send(PortStatusBoard& board, int code, int first, const std::vector<uint8_t>& recs, int count,
          int kind = 1) {
    PortDataBlock block{kind, first, count, recs.data()};
    board.onStatus(code, &block);
}

} // namespace

TEST(PortStatusBoard, FunctionLatchBlanksThePortsOnStartAndEnd) {
    MachineInfo info = machine(4);
    PortStatusBoard board(info);
    const auto recs = kind1Records({{1000 * 2048, 0, 2048, 80}});

    board.onStatus(STATUS_MACHINE, statusBlock(0).data());
    send(board, STATUS_TARGETS, 1, recs, 1);
    EXPECT_EQ(board.lines(1).line2.text, "Ready  1000M");

    board.onStatus(STATUS_MACHINE, statusBlock(1, 3).data());
    EXPECT_EQ(board.currentFunction(), 1);
    EXPECT_EQ(board.functionText(), "COPY");
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(blank(board.lines(i))) << i;

    send(board, STATUS_TARGETS, 1, recs, 1);
    board.onStatus(STATUS_MACHINE, statusBlock(4, 3).data());
    EXPECT_EQ(board.currentFunction(), 1) << "a later function does not replace the latch";
    EXPECT_EQ(board.functionText(), "COMPARE");
    EXPECT_EQ(board.lines(1).line2.text, "Ready  1000M") << "no blanking without a latch change";

    board.onStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_EQ(board.currentFunction(), 0);
    EXPECT_EQ(board.functionText(), "STANDBY");
    EXPECT_TRUE(blank(board.lines(1)));
}

TEST(PortStatusBoard, MenusFollowStandby) {
    MachineInfo info = machine(4);
    PortStatusBoard board(info);
    EXPECT_FALSE(board.menus().machine) << "disabled until the first status block";
    EXPECT_TRUE(board.menus().action);

    board.onStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_TRUE(board.menus().machine);
    EXPECT_TRUE(board.menus().logData);
    EXPECT_TRUE(board.takeChanges().menus);

    board.onStatus(STATUS_MACHINE, statusBlock(5, 4).data());
    EXPECT_FALSE(board.menus().machine);
    EXPECT_FALSE(board.menus().logData);
    EXPECT_FALSE(board.menus().action);

    // An older controller never gets its job items enabled.
    MachineInfo old = machine(4);
    old.controller_version_SUB = 8;
    old.controller_version_MINOR = 7;
    PortStatusBoard oldBoard(old);
    oldBoard.onStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_TRUE(oldBoard.menus().machine);
    EXPECT_FALSE(oldBoard.menus().action);
    EXPECT_FALSE(oldBoard.menus().getInfo);
}

TEST(PortStatusBoard, ProbeSensorReleaseSavesAPictureBeforeBlanking) {
    MachineInfo info = machine(4);
    info.flag_support_probe_machine_sensor = 1;
    PortStatusBoard board(info);
    int pictures = 0;
    bool blankAtPicture = true;
    board.savePictureRequested = [&] {
        ++pictures;
        blankAtPicture = blank(board.lines(1));
    };
    board.onStatus(STATUS_MACHINE, statusBlock(0).data());
    send(board, STATUS_TARGETS, 1, kind1Records({{1000 * 2048, 0, 2048, 80}}), 1);

    board.onStatus(STATUS_MACHINE, statusBlock(0, 0, 0x08).data());
    EXPECT_TRUE(board.sensorLatched());
    board.onStatus(STATUS_MACHINE, statusBlock(0, 0, 0x08).data());
    EXPECT_EQ(pictures, 0);

    board.onStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_EQ(pictures, 1);
    EXPECT_FALSE(blankAtPicture) << "the picture shows the ports as they were";
    EXPECT_FALSE(board.sensorLatched());
    EXPECT_TRUE(blank(board.lines(1)));

    board.onStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_EQ(pictures, 1);

    // Without the sensor flag bit 3 means nothing.
    MachineInfo plain = machine(4);
    PortStatusBoard other(plain);
    other.savePictureRequested = [&] { ++pictures; };
    other.onStatus(STATUS_MACHINE, statusBlock(0, 0, 0x08).data());
    other.onStatus(STATUS_MACHINE, statusBlock(0).data());
    EXPECT_FALSE(other.sensorLatched());
    EXPECT_EQ(pictures, 1);
}

TEST(PortStatusBoard, PortDataRendersByTheRunningFunction) {
    MachineInfo info = machine(4);
    PortStatusBoard board(info);
    board.onStatus(STATUS_MACHINE, statusBlock(1, 4).data());
    board.takeChanges();
    send(board, STATUS_PORT_DATA, 2, kind1Records({{1000 * 2048, 250 * 2048, 2048, 3}}), 1);
    EXPECT_EQ(board.lines(2).line2.text, "Write   250M");
    EXPECT_EQ(board.lines(2).line2.colour, LineColour::SkyBlue);
    const auto changes = board.takeChanges();
    EXPECT_TRUE(changes.ports.test(2));
    EXPECT_EQ(changes.ports.count(), 1u);
}

TEST(PortStatusBoard, PortDataBeyondThePortCountIsIgnored) {
    MachineInfo info = machine(4);
    PortStatusBoard board(info);
    board.onStatus(STATUS_MACHINE, statusBlock(1, 4).data());
    const auto recs =
        kind1Records({{1000 * 2048, 250 * 2048, 2048, 3}, {1000 * 2048, 250 * 2048, 2048, 3}});

    // Code 2: the whole block is dropped when it reaches past the last port.
    send(board, STATUS_PORT_DATA, 3, recs, 2);
    EXPECT_EQ(board.port(3).capacity, 0u);
    EXPECT_TRUE(blank(board.lines(3)));

    // Codes 21..32: the ports that exist are taken, the rest never written.
    send(board, STATUS_WORKING, 3, recs, 2);
    EXPECT_EQ(board.port(3).capacity, 1000u * 2048);
    EXPECT_EQ(board.lines(3).line2.text, "Write   250M");
    EXPECT_EQ(board.port(4).capacity, 0u);
    EXPECT_EQ(board.lines(4).line2.text, " ");

    // A block starting past the port count, or past the 256 held, changes nothing.
    send(board, STATUS_WORKING, 300, recs, 2);
    PortDataBlock negative{1, -1, 2, recs.data()};
    board.onStatus(STATUS_WORKING, &negative);
    EXPECT_EQ(board.port(0).capacity, 0u);
    board.onStatus(STATUS_WORKING, nullptr);
}

TEST(PortStatusBoard, SourceTargetsClearAndPowerOff) {
    MachineInfo info = machine(3);
    PortStatusBoard board(info);
    board.onStatus(STATUS_MACHINE, statusBlock(1, 1).data());
    std::vector<uint8_t> recs = kind1Records({{0, 0, 2048, 2}, {1000 * 2048, 0, 2048, 80}});

    // Code 21 shows the master port only when the block starts there.
    send(board, STATUS_SOURCE, 0, recs, 1);
    EXPECT_EQ(board.lines(0).line2.text, "Reading...");
    send(board, STATUS_SOURCE, 1, recs, 1);
    EXPECT_EQ(board.lines(1).line2.text, " ");

    // Code 22: the master as source, the others as targets.
    recs[96] = 80;
    writeBE64(recs.data() + 24, 300 * 2048);
    send(board, STATUS_TARGETS, 0, recs, 2);
    EXPECT_EQ(board.lines(0).line1.text, "Source  300M");
    EXPECT_EQ(board.lines(1).line2.text, "Ready  1000M");

    // Code 12: power off on every port but the master.
    board.onStatus(STATUS_MACHINE, statusBlock(1, 7).data());
    std::vector<uint8_t> k3(36, 0); // kind 3: status at offset 4 of each 12 bytes
    k3[4] = k3[16] = k3[28] = 85;
    send(board, STATUS_SOURCE, 0, k3, 3, 3); // decoded; only the master is drawn
    EXPECT_EQ(board.lines(2).line2.text, " ");
    board.onStatus(STATUS_POWER_OFF, nullptr);
    EXPECT_EQ(board.lines(1).line2.text, "Power OFF");
    EXPECT_EQ(board.lines(2).line2.text, "Power OFF");

    // Code 11 zeroes every record and blanks every port.
    board.onStatus(STATUS_CLEAR_PORTS, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(board.port(i).capacity, 0u);
        EXPECT_EQ(board.port(i).usbCardStatus, 0);
        EXPECT_TRUE(blank(board.lines(i)));
    }
}

TEST(PortStatusBoard, OutcomeAsksToContinueOrFinishWhenTheMachineDoes) {
    for (uint8_t bit3 : {0, 1}) {
        MachineInfo info = machine(2);
        info.flag_feature_bit3 = bit3;
        PortStatusBoard board(info);
        bool renderedBeforeQuestion = false;
        int questions = 0;
        board.continueOrFinishNeeded = [&] {
            ++questions;
            renderedBeforeQuestion = board.lines(1).line2.text == "PASS    250M";
        };
        board.onStatus(STATUS_MACHINE, statusBlock(1, 6).data());
        send(board, STATUS_OUTCOME, 1, kind1Records({{1000 * 2048, 250 * 2048, 2048, 5}}), 1);
        EXPECT_EQ(questions, bit3);
        EXPECT_EQ(renderedBeforeQuestion, bit3 == 1);
    }
}

TEST(PortStatusBoard, TheQuestionComesOnceAfterTheLastBlockOfTheOutcome) {
    // 121 ports arrive as blocks of 8 (the last one of 1): one question, with
    // every port drawn.
    MachineInfo info = machine(121);
    info.flag_feature_bit3 = 1;
    PortStatusBoard board(info);
    int questions = 0;
    bool allDrawn = false;
    board.continueOrFinishNeeded = [&] {
        ++questions;
        allDrawn = true;
        for (int i = 0; i < 121; ++i)
            allDrawn &= board.lines(i).line2.text.rfind("PASS", 0) == 0;
    };
    board.onStatus(STATUS_MACHINE, statusBlock(1, 6).data());
    const auto rec = kind1Records({{1000 * 2048, 250 * 2048, 2048, 5}});
    for (int first = 0; first < 121; first += 8) {
        const int count = std::min(8, 121 - first);
        std::vector<uint8_t> recs;
        for (int k = 0; k < count; ++k)
            recs.insert(recs.end(), rec.begin(), rec.end());
        send(board, STATUS_OUTCOME, first, recs, count);
        EXPECT_EQ(questions, first + count == 121 ? 1 : 0) << "after the block from " << first;
    }
    EXPECT_TRUE(allDrawn);
}

namespace {

// A summary record for function f, phase 6 (or 0 in standby) with pass and
// fail counts; the CRC bytes were computed apart, with Python's
// binascii.crc_hqx (CRC-16/XMODEM) over bytes 3..23.
std::vector<uint8_t> summary(uint8_t f, uint8_t pass, uint8_t fail, uint8_t crcHi, uint8_t crcLo) {
    std::vector<uint8_t> r(26, 0);
    const uint8_t head[] = {0x23, 0x00, 0x1A, 0x00, 0x07, f, uint8_t(f ? 6 : 0)};
    std::copy(std::begin(head), std::end(head), r.begin());
    r[19] = pass;
    r[23] = fail;
    r[24] = crcHi;
    r[25] = crcLo;
    return r;
}
const auto kSummaryPass2Fail1 = summary(1, 2, 1, 0x02, 0x40);
const auto kSummaryPass3Fail1 = summary(1, 3, 1, 0xA8, 0x11);
const auto kSummaryPass7Fail3 = summary(1, 7, 3, 0x01, 0x55);
const auto kSummaryNone = summary(1, 0, 0, 0x56, 0xE2);
const auto kSummaryPass5 = summary(1, 5, 0, 0x75, 0xB5);
const auto kSummaryStandby = summary(0, 2, 1, 0xDC, 0xBB);

} // namespace

TEST(PortStatusBoard, SummaryCountsRateYieldAndRemaining) {
    struct {
        std::vector<uint8_t> record;
        const char* total;
        const char *pass, *fail, *rate, *yield, *remaining;
        TextColour colour;
    } cases[] = {
        {kSummaryPass2Fail1, "", "PASS:  2 PCS", "FAIL:  1 PCS", "FAILURE RATE: 33.3%",
         "YIELD: 66.7%", "(0)", TextColour::Blue},
        {kSummaryPass3Fail1, "10", "PASS:  3 PCS", "FAIL:  1 PCS", "FAILURE RATE: 25.0%",
         "YIELD: 75.0%", "(6)", TextColour::Blue},
        {kSummaryPass7Fail3, " 10 pcs", "PASS:  7 PCS", "FAIL:  3 PCS", "FAILURE RATE: 30.0%",
         "YIELD: 70.0%", "(0)", TextColour::Red},
        {kSummaryPass7Fail3, "8", "PASS:  7 PCS", "FAIL:  3 PCS", "FAILURE RATE: 30.0%",
         "YIELD: 70.0%", "(-2)", TextColour::Red},
        {kSummaryNone, "x", "PASS:  0 PCS", "FAIL:  0 PCS", "FAILURE RATE: 0%", "YIELD:  0%", "(0)",
         TextColour::Blue},
        {kSummaryPass5, "0", "PASS:  5 PCS", "FAIL:  0 PCS", "FAILURE RATE: 0%", "YIELD: 100%",
         "(0)", TextColour::Blue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pass + std::string(" / ") + c.total);
        MachineInfo info = machine(2);
        PortStatusBoard board(info);
        board.setTotalText(c.total);
        board.onStatus(STATUS_JOB_SUMMARY, c.record.data());
        EXPECT_EQ(board.labels().pass, c.pass);
        EXPECT_EQ(board.labels().fail, c.fail);
        EXPECT_EQ(board.labels().failureRate, c.rate);
        EXPECT_EQ(board.labels().yield, c.yield);
        EXPECT_EQ(board.labels().remaining, c.remaining);
        EXPECT_EQ(board.labels().remainingColour, c.colour);
        EXPECT_EQ(board.statusCopy()[2], 1);
        EXPECT_EQ(board.statusCopy()[3], 6);
    }
}

TEST(PortStatusBoard, SummaryWithABadCrcOrInStandbyChangesNoLabel) {
    MachineInfo info = machine(2);
    PortStatusBoard board(info);
    std::vector<uint8_t> bad = kSummaryPass2Fail1;
    bad[19] = 9; // pass count changed after the CRC was made
    board.onStatus(STATUS_JOB_SUMMARY, bad.data());
    EXPECT_EQ(board.labels().pass, "PASS:");
    EXPECT_EQ(board.statusCopy()[2], 0) << "a damaged record is dropped whole";
    EXPECT_FALSE(board.takeChanges().labels);

    // A good record for function 0 is taken into the status but shows nothing.
    board.onStatus(STATUS_JOB_SUMMARY, kSummaryStandby.data());
    EXPECT_EQ(board.labels().pass, "PASS:");
    EXPECT_EQ(readBE32(board.statusCopy() + 12), 2u);
}

TEST(PortStatusBoard, JobLabelsFollowTheCountsOfEveryStatusBlockOfARunningJob) {
    MachineInfo info = machine(10);
    PortStatusBoard board(info);
    board.setTotalText("12");
    auto block = [](uint8_t function, uint32_t pass, uint32_t fail) {
        std::vector<uint8_t> b = statusBlock(function, function ? 4 : 0);
        writeBE32(b.data() + 12, pass);
        writeBE32(b.data() + 16, fail);
        return b;
    };
    struct {
        std::vector<uint8_t> status;
        bool changed;
        const char *pass, *fail, *rate, *yield, *remaining;
        TextColour colour;
    } steps[] = {
        // Standby before any job: the captions stay as built.
        {block(0, 0, 0), false, "PASS:", "FAIL:", "FAILURE RATE:", "YIELD:", "(0)",
         TextColour::Blue},
        {block(1, 0, 0), true, "PASS:  0 PCS", "FAIL:  0 PCS", "FAILURE RATE: 0%", "YIELD:  0%",
         "(12)", TextColour::Blue},
        {block(1, 0, 0), false, "PASS:  0 PCS", "FAIL:  0 PCS", "FAILURE RATE: 0%", "YIELD:  0%",
         "(12)", TextColour::Blue},
        {block(1, 2, 1), true, "PASS:  2 PCS", "FAIL:  1 PCS", "FAILURE RATE: 33.3%",
         "YIELD: 66.7%", "(9)", TextColour::Blue},
        {block(1, 10, 2), true, "PASS:  10 PCS", "FAIL:  2 PCS", "FAILURE RATE: 16.7%",
         "YIELD: 83.3%", "(0)", TextColour::Red},
        // Back in standby the last job's counts stay on show.
        {block(0, 0, 0), false, "PASS:  10 PCS", "FAIL:  2 PCS", "FAILURE RATE: 16.7%",
         "YIELD: 83.3%", "(0)", TextColour::Red},
    };
    int n = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE("step " + std::to_string(n++));
        board.onStatus(STATUS_MACHINE, s.status.data());
        EXPECT_EQ(board.takeChanges().labels, s.changed);
        EXPECT_EQ(board.labels().pass, s.pass);
        EXPECT_EQ(board.labels().fail, s.fail);
        EXPECT_EQ(board.labels().failureRate, s.rate);
        EXPECT_EQ(board.labels().yield, s.yield);
        EXPECT_EQ(board.labels().remaining, s.remaining);
        EXPECT_EQ(board.labels().remainingColour, s.colour);
    }
}
