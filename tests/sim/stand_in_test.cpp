#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
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
        {"sd20", 10, 0, 0, 0x01, 20, "v3.01.4"},     {"panel121", 2, 1, 0x01, 0x19, 121, "v3.20.0"},
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
    EXPECT_EQ(host.device->logNumbersAsked(), (std::vector<uint32_t>{505, 499, 520}));
}

namespace {

// Phases seen by polling the status every 100 ms until the machine waits
// for Continue/Finish or stands by again.
std::vector<int> followPhases(SimHost& host, uint32_t limitMs) {
    std::vector<int> phases;
    for (uint32_t t = 0; t < limitMs; t += 100) {
        host.idle(100);
        EXPECT_TRUE(host.exchange('B'));
        const int state = host.answer()[6], sub = host.answer()[7];
        if (phases.empty() || phases.back() != sub)
            phases.push_back(sub);
        if (state == 0 || (sub == PHASE_RESULT && host.machine().waitingForAnswer()))
            break;
    }
    return phases;
}

uint8_t portStatus(SimHost& host, int port) {
    EXPECT_TRUE(host.exchange('E', {1, 0, uint8_t(port + 1), 1}));
    return host.answer()[4 + 96];
}

} // namespace

TEST(StandInJobs, CopyRunsThroughItsPhasesAndLogsEveryTarget) {
    SimHost host("usb10");
    MachineModel& m = host.machine();
    m.speed = 20; // job time runs 20 times faster than the bus clock
    m.port(2).medium.bad = true;
    m.removeMedium(3);
    m.insertMedium(4, m.defaultMedium(4, 64)); // too small for the master's data
    const uint32_t logBefore = m.logCount();

    ASSERT_TRUE(host.exchange('W', {42}));
    EXPECT_EQ(host.result(), 0);
    EXPECT_EQ(host.status(2), FN_COPY);
    EXPECT_EQ(host.status(3), PHASE_READ_MASTER);
    EXPECT_EQ(portStatus(host, 0), PORT_WRITING);

    const auto phases = followPhases(host, 120000);
    EXPECT_EQ(phases, (std::vector<int>{PHASE_READ_MASTER, PHASE_WAIT_TARGETS, PHASE_WORKING,
                                        PHASE_WORK_END, PHASE_RESULT}));
    ASSERT_TRUE(m.waitingForAnswer()); // feature bit 3: waits for Continue or Finish
    EXPECT_EQ(portStatus(host, 0), PORT_PASS) << "the master was read whole";
    EXPECT_EQ(portStatus(host, 1), PORT_PASS);
    EXPECT_EQ(portStatus(host, 2), PORT_FAIL);
    EXPECT_EQ(portStatus(host, 3), PORT_EMPTY);
    EXPECT_EQ(portStatus(host, 4), PORT_SIZE_NOT_ENOUGH);
    ASSERT_TRUE(host.exchange('B'));
    EXPECT_EQ(readBE32(&host.answer()[4 + 12]), 6u); // ports 1, 5..9
    EXPECT_EQ(readBE32(&host.answer()[4 + 16]), 2u); // ports 2 and 4
    ASSERT_EQ(m.logCount(), logBefore + 8);

    uint8_t rec[128];
    ASSERT_TRUE(m.logRecord(logBefore + 1, rec)); // port 2, the bad stick
    EXPECT_EQ(readBE16(rec + 80), 2);
    EXPECT_EQ(rec[14], FN_COPY);
    EXPECT_EQ(rec[62], 2);
    EXPECT_EQ(readBE32(rec + 40), m.port(0).dataSectors * 37 / 100);
    ASSERT_TRUE(m.logRecord(logBefore + 2, rec)); // port 4, too small
    EXPECT_EQ(readBE16(rec + 80), 4);
    EXPECT_EQ(rec[62], 17);
    ASSERT_TRUE(m.logRecord(logBefore, rec)); // port 1 passed
    EXPECT_EQ(rec[62], 0);
    EXPECT_EQ(readBE32(rec + 32), m.port(0).dataSectors);
    EXPECT_GT(readBE16(rec + 56), 0);                 // copy time
    EXPECT_EQ(readBE32(rec + 48), (20u << 20) / 512); // write speed, sectors per second
    const LocalTime clock = m.machineClock();
    EXPECT_EQ(rec[4] + 2000, clock.year);
    EXPECT_EQ(rec[5], clock.month);

    // Continue starts another round; Finish ends the job.
    ASSERT_TRUE(host.exchange('W', {13}));
    EXPECT_EQ(host.result(), 0);
    EXPECT_EQ(host.status(3), PHASE_WAIT_TARGETS);
    EXPECT_EQ(portStatus(host, 0), PORT_READY) << "the master is the source of the next round";
    followPhases(host, 120000);
    EXPECT_EQ(m.logCount(), logBefore + 16);
    ASSERT_TRUE(host.exchange('W', {14}));
    EXPECT_EQ(host.result(), 0);
    EXPECT_EQ(host.status(3), PHASE_FINISH);
    host.idle(1000);
    EXPECT_EQ(host.status(2), FN_STANDBY);
    ASSERT_TRUE(host.exchange('W', {14}));
    EXPECT_NE(host.result(), 0); // nothing to finish any more
}

TEST(StandInJobs, JobCommandsAndPanelFunctionsStart) {
    struct Case {
        uint8_t sub;
        uint8_t function;
        std::vector<int> phases;
    } cases[] = {
        {43, FN_COMPARE, {1, 3, 4, 5, 6}},
        {44, FN_COPY_COMPARE, {1, 3, 4, 13, 5, 6}},
        {66, FN_COPY_WP, {1, 3, 4, 14, 5, 6}},
        {67, FN_COPY_COMPARE_WP, {1, 3, 4, 13, 14, 5, 6}},
    };
    for (const auto& c : cases) {
        SimHost host("usb10");
        host.machine().speed = 4; // every phase lasts longer than one 100 ms poll
        ASSERT_TRUE(host.exchange('W', {c.sub}));
        EXPECT_EQ(host.result(), 0);
        EXPECT_EQ(host.status(2), c.function);
        EXPECT_EQ(followPhases(host, 120000), c.phases) << int(c.sub);
        ASSERT_TRUE(host.exchange('W', {c.sub}));
        EXPECT_EQ(host.result(), JOB_BUSY);
    }
    // From the machine's own panel: jobs on every medium, the first port included.
    struct Panel {
        uint8_t function;
        uint8_t working, done;
        uint8_t kind;
    } panel[] = {
        {FN_QUICK_ERASE, PORT_ERASE_QUICK, PORT_DONE, 7},
        {FN_H5_TEST, PORT_TEST_WRITE, PORT_DONE, 6},
        {FN_CAPACITY_CHECK, PORT_CHECKING, PORT_DONE, 5},
        {FN_FORMAT_AUTO, PORT_FORMATTING, PORT_DONE, 1},
        {FN_SET_PROTECT, PORT_SET_PROTECT, PORT_DONE, 11},
        {FN_BURN_IN, PORT_WRITING, PORT_DONE, 9},
    };
    for (const auto& p : panel) {
        SimHost host("usb10");
        MachineModel& m = host.machine();
        m.speed = 50;
        m.port(1).medium.bad = true;
        const uint32_t before = m.logCount();
        ASSERT_EQ(m.startJob(p.function, host.clock.tickMs()), JOB_STARTED);
        EXPECT_EQ(host.status(3), PHASE_WORKING);
        EXPECT_EQ(m.port(0).usbCardStatus, p.working) << int(p.function);
        EXPECT_EQ(host.machine().portRecordSize(p.kind) > 0, true);
        ASSERT_TRUE(host.exchange('E', {p.kind, 0, 1, 10}));
        const size_t check = p.kind == 11 ? 4 : 1; // CRC-32 for kind 11, else the sum
        EXPECT_EQ(host.answer().size(), 4 + 10 * m.portRecordSize(p.kind) + check);
        followPhases(host, 600000);
        EXPECT_EQ(host.status(2), FN_STANDBY) << int(p.function);
        const uint32_t extra = p.function == FN_BURN_IN ? 10 : 0; // start records
        EXPECT_EQ(m.logCount(), before + 10 + extra) << int(p.function);
        uint8_t rec[128];
        int port1 = 0;
        for (uint32_t no = m.logNextNo() - 10; no < m.logNextNo(); ++no) {
            ASSERT_TRUE(m.logRecord(no, rec));
            EXPECT_EQ(rec[14], p.function);
            if (readBE16(rec + 80) != 1)
                continue;
            ++port1;
            EXPECT_NE(rec[62], 0) << int(p.function); // the bad medium failed
        }
        EXPECT_EQ(port1, 1) << int(p.function);
    }
}

TEST(StandInPortData, NarrowFirmwareSendsNarrowRecordsInTheirOwnOrder) {
    SimHost wide("old7"), narrow("narrow7"); // same machine, firmware 2.40.6 and 2.40.7
    for (SimHost* h : {&wide, &narrow}) {
        SimPort& p = h->machine().port(0);
        p.medium.sectors = 15257600;
        p.dataSectors = 953600;
        p.realCapacity = 15000000;
        p.completeSector = 4096;
        p.usbCardStatus = PORT_READY;
    }
    ASSERT_TRUE(wide.exchange('E', {1, 0, 1, 1}));
    ASSERT_TRUE(narrow.exchange('E', {1, 0, 1, 1}));
    const auto w = wide.answer(), n = narrow.answer();
    ASSERT_EQ(w.size(), 4u + 114 + 1);
    ASSERT_EQ(n.size(), 4u + 90 + 1);
    const uint8_t* W = w.data() + 4;
    const uint8_t* N = n.data() + 4;
    EXPECT_EQ(readBE64(W + 8), 15257600u); // capacity
    EXPECT_EQ(readBE32(N + 4), 15257600u);
    EXPECT_EQ(readBE64(W + 16), 4096u); // completeSector
    EXPECT_EQ(readBE32(N + 8), 4096u);
    EXPECT_EQ(readBE32(W + 80), 2048u); // sectorsPerMB
    EXPECT_EQ(readBE32(N + 12), 2048u);
    EXPECT_EQ(readBE64(W + 24), 953600u); // dataSectors
    EXPECT_EQ(readBE32(N + 16), 953600u);
    EXPECT_EQ(readBE64(W + 32), 15000000u); // realCapacity
    EXPECT_EQ(readBE32(N + 20), 15000000u);
    EXPECT_EQ(readBE16(W + 94), 512); // sectorSize
    EXPECT_EQ(readBE16(N + 70), 512);
    EXPECT_EQ(W[96], PORT_READY); // usbCardStatus
    EXPECT_EQ(N[72], PORT_READY);
    EXPECT_EQ(W[104], 1); // cardExist
    EXPECT_EQ(N[80], 1);

    // Kind 11: narrow order is wide 0, 8, 16, 32, 24.
    ASSERT_TRUE(wide.exchange('E', {11, 0, 1, 1}));
    ASSERT_TRUE(narrow.exchange('E', {11, 0, 1, 1}));
    const auto w11 = wide.answer(), n11 = narrow.answer();
    ASSERT_EQ(w11.size(), 4u + 72 + 4);
    ASSERT_EQ(n11.size(), 4u + 48 + 4);
    EXPECT_EQ(readBE32(&w11[w11.size() - 4]), crc32(w11.data(), w11.size() - 4));
    EXPECT_EQ(readBE64(&w11[4 + 24]), 15000000u); // realCapacity
    EXPECT_EQ(readBE64(&w11[4 + 32]), 953600u);   // dataSectors
    EXPECT_EQ(readBE32(&n11[4 + 12]), 953600u);
    EXPECT_EQ(readBE32(&n11[4 + 16]), 15000000u);
    EXPECT_EQ(w11[4 + 58], PORT_READY);
    EXPECT_EQ(n11[4 + 38], PORT_READY);

    // Eleven narrow records fit one request of at most 1010 bytes.
    ASSERT_TRUE(narrow.exchange('E', {1, 0, 1, 11}));
    EXPECT_EQ(narrow.answer().size(), 4u + 11 * 90 + 1);
}

TEST(StandInFaults, EachFaultShowsUpAsTheHostLogsItAndTheResendRecovers) {
    struct Case {
        SimFault fault;
        char letter;
        std::vector<uint8_t> params;
        const char* logged; // nullptr: nothing logged
    } cases[] = {
        {SimFault::WrongCheck, 'B', {}, "[Wrong CheckSUM] CMD:B"},
        {SimFault::WrongCheck, 'E', {11, 0, 1, 2}, "[Wrong CRC32] CMD:E,cmd[4]=11"},
        {SimFault::WrongLength, 'A', {}, "[Wrong Data come in Length] length=64"},
        {SimFault::WrongStart, 'W', {1}, "[Wrong Data come in]  2Ah"},
        {SimFault::Garbage, 'B', {}, "[Wrong Data come in]  A5h"},
        {SimFault::DropAnswer, 'W', {22}, " [Cmd Time Out] CMD: 40h 00h 03h 57h 16h B0h"},
        {SimFault::LateAnswer, 'B', {}, nullptr},
    };
    for (const auto& c : cases) {
        SimHost host("usb10");
        host.device->injectFault(c.fault, 1, 5000);
        const uint32_t start = host.clock.tickMs();
        ASSERT_TRUE(host.exchange(c.letter, c.params)) << simFaultName(c.fault);
        EXPECT_EQ(host.device->faultsCommitted(), 1) << simFaultName(c.fault);
        EXPECT_EQ(host.device->faultsPending(), 0);
        if (c.logged) {
            ASSERT_EQ(host.log.size(), 1u) << simFaultName(c.fault);
            EXPECT_NE(host.log[0].find(c.logged), std::string::npos) << host.log[0];
            EXPECT_EQ(host.device->commands(c.letter).size(), 2u); // asked once more
        } else {
            EXPECT_TRUE(host.log.empty());
            EXPECT_GE(host.clock.tickMs() - start, 5000u);
            EXPECT_EQ(host.device->commands(c.letter).size(), 1u);
        }
    }
}

TEST(StandInFaults, FaultsWaitForTheCommandTheyAreMeantFor) {
    SimHost host("usb10");
    host.machine().preloadLog(4);
    SimFaultSpec spec;
    spec.kind = SimFault::WrongCheck;
    spec.times = 2;
    spec.letter = 'W';
    spec.sub = 23;
    host.device->injectFault(spec);
    ASSERT_TRUE(host.exchange('A')); // no check on "A": the fault waits
    ASSERT_TRUE(host.exchange('B'));
    EXPECT_EQ(host.device->faultsPending(), 2);
    ASSERT_TRUE(host.exchange('W', {23, 0, 0, 0, 1}));
    EXPECT_EQ(host.log.size(), 2u);
    EXPECT_EQ(host.device->commands('W', 23).size(), 3u);
    EXPECT_EQ(readBE32(&host.answer()[4]), 1u);
}

TEST(StandInFaults, UnplugInTheMiddleOfAnAnswer) {
    SimHost host("usb10");
    host.device->injectFault(SimFault::Unplug);
    EXPECT_FALSE(host.exchange('W', {30}, 100)); // 261-byte answer, one fragment sent
    EXPECT_TRUE(host.bus.pluggedPaths().empty());
    const auto changes = host.bus.poll();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].kind, DeviceChange::Removal);
    EXPECT_EQ(changes[1].name, host.path);
    EXPECT_FALSE(host.link.frameReady());
}

TEST(StandInWire, AnswersAreCutAsAControllerCutsThem) {
    SimHost host("bank10");
    host.machine().maxImageQty = 56; // the table answer is exactly 60 bytes
    host.machine().images.assign(56, true);
    auto raw = host.bus.open(host.path);
    struct Case {
        char letter;
        uint8_t sub;
        std::vector<int> lengths;
    } cases[] = {{'Y', 4, {60, 0}}, {'W', 30, {60, 60, 60, 60, 21}}, {'B', 0, {33}}};
    for (const auto& c : cases) {
        const uint8_t params[] = {c.sub};
        host.channel.sendCommand(c.letter, params, c.letter == 'B' ? 0 : 1);
        host.idle(50);
        std::vector<int> lengths;
        uint8_t r[kReportSize];
        while (raw->read(r) == ReadStatus::Report) {
            EXPECT_EQ(r[2], c.lengths.size());
            EXPECT_EQ(r[3], lengths.size() + 1);
            lengths.push_back(r[4]);
        }
        EXPECT_EQ(lengths, c.lengths) << c.letter;
    }
}

TEST(StandInWire, BadCommandFramesAreIgnoredAndTheTraceShowsBothDirections) {
    SimHost host("usb10");
    std::ostringstream trace;
    host.bus.setTrace(&trace);
    const uint8_t badSum[] = {0x40, 0x00, 0x02, 'A', 0x84};
    host.channel.sendRaw(badSum, sizeof badSum);
    EXPECT_FALSE(host.await(100));
    ASSERT_EQ(host.device->hostFrames().size(), 1u);
    EXPECT_EQ(host.device->hostFrames()[0].kind, HostFrame::Bad);
    EXPECT_EQ(host.device->answersSent(), 0u);

    host.device->injectFault(SimFault::WrongCheck);
    ASSERT_TRUE(host.exchange('B'));
    const std::string t = trace.str();
    EXPECT_NE(t.find(" H 40 00 02 41 84\n"), std::string::npos) << t;
    EXPECT_NE(t.find(" H 40 00 02 42 84\n"), std::string::npos) << t;
    EXPECT_NE(t.find("# fault wrong-check\n"), std::string::npos) << t;
    EXPECT_NE(t.find(" C 23 00 1E 00 00 00 00 00"), std::string::npos) << t;
}

TEST(StandInRequests, NicknameClockAndSetupGoThroughDataFrames) {
    SimHost host("usb10");
    ASSERT_TRUE(host.exchange('W', {5}));
    EXPECT_EQ(host.result(), 0x41);
    std::vector<uint8_t> name(56, 0);
    std::memcpy(name.data(), "Line 3 left", 11);
    ASSERT_TRUE(host.sendData(name));
    EXPECT_EQ(host.result(), 0);
    ASSERT_TRUE(host.exchange('W', {4}));
    EXPECT_EQ(host.answer().size(), 60u);
    EXPECT_EQ(textAt(host.answer(), 4, 56), "Line 3 left");

    ASSERT_TRUE(host.exchange('W', {10}));
    EXPECT_EQ(host.result(), 0);
    ASSERT_TRUE(host.exchange('W', {12}));
    EXPECT_EQ(host.result(), 0x41);
    const std::string digits = "20261231235958";
    ASSERT_TRUE(host.sendData({digits.begin(), digits.end()}));
    EXPECT_EQ(host.result(), 0);
    host.idle(3000);
    ASSERT_TRUE(host.exchange('W', {11}));
    EXPECT_EQ(textAt(host.answer(), 4, 14), "20270101000001");

    ASSERT_TRUE(host.exchange('W', {30}));
    auto a = host.answer();
    ASSERT_EQ(a.size(), 261u);
    EXPECT_EQ(a.back(), frameSum(a.data(), 260));
    uint8_t block[256];
    std::memcpy(block, a.data() + 4, 256);
    block[104] = 1;
    ASSERT_TRUE(host.exchange('W', {31}));
    EXPECT_EQ(host.result(), 0x41);
    host.channel.sendSetupBlock(block);
    ASSERT_TRUE(host.await());
    EXPECT_EQ(host.result(), 0);
    EXPECT_EQ(host.machine().setup[104], 1);

    // A block whose sum is wrong, and a good one the controller claims is wrong.
    uint8_t frame[261];
    buildSetupBlockFrame(frame, block);
    frame[260] ^= 0xFF;
    ASSERT_TRUE(host.exchange('W', {31}));
    host.channel.sendRaw(frame, sizeof frame);
    ASSERT_TRUE(host.await());
    EXPECT_EQ(host.result(), 0xFE);
    host.device->injectFault(SimFault::SetupCheckError);
    ASSERT_TRUE(host.exchange('W', {31}));
    host.channel.sendSetupBlock(block);
    ASSERT_TRUE(host.await());
    EXPECT_EQ(host.result(), 0xFE);
    ASSERT_TRUE(host.exchange('W', {31}));
    host.channel.sendSetupBlock(block);
    ASSERT_TRUE(host.await());
    EXPECT_EQ(host.result(), 0);
}

TEST(StandInRequests, DeviceInformationComesInCheckedBlocks) {
    for (bool shortTransfer : {false, true}) {
        SimHost host("usb10");
        if (shortTransfer)
            host.device->injectFault(SimFault::DeviceInfoShort);
        ASSERT_TRUE(host.exchange('W', {41}));
        ASSERT_TRUE(host.exchange('W', {40}));
        EXPECT_NE(host.result(), 0); // still collecting
        host.idle(300);
        ASSERT_TRUE(host.exchange('W', {40}));
        EXPECT_EQ(host.result(), 0);
        ASSERT_TRUE(host.exchange('W', {61}));
        ASSERT_EQ(host.result(), 0x10);
        const uint32_t total = readBE32(&host.answer()[4]);
        std::vector<uint8_t> info;
        while (info.size() < total) {
            ASSERT_TRUE(host.sendData({'P', 'A', 'S', 'S'}));
            const auto a = host.answer();
            const size_t n = readBE16(&a[1]) - 1u;
            ASSERT_GT(n, 0u);
            info.insert(info.end(), a.begin() + 4, a.begin() + 4 + n);
        }
        if (shortTransfer) {
            EXPECT_EQ(total, 1022u);
            continue;
        }
        ASSERT_EQ(total, 1023u); // 8 + 10 x 96 bytes in 31 blocks, each with its check
        const size_t blocks = total / 33;
        for (size_t j = 0; j < blocks; ++j)
            EXPECT_EQ(info[32 * blocks + j], blockCheck(&info[32 * j], 32)) << j;
        EXPECT_EQ(readBE16(&info[0]), 10);
        EXPECT_EQ(readBE16(&info[2]), 96);
        EXPECT_EQ(info[4], 1);                          // USB
        EXPECT_EQ(info[8 + 96], 3);                     // port 1 holds a stick
        EXPECT_EQ(readBE16(&info[8 + 96 + 4]), 0x1D6B); // its vendor id
        EXPECT_EQ(readBE32(&info[8 + 96 + 52]), host.machine().port(1).medium.sectors);
    }
}

TEST(StandInRequests, MasterHandOverImageBankAndMarkedPorts) {
    SimHost host("bank10");
    ASSERT_TRUE(host.exchange('X', {26}));
    EXPECT_EQ(host.answer()[4], 1); // a master stick is there
    ASSERT_TRUE(host.exchange('X', {27, 1, 2, 3, 4}));
    EXPECT_EQ(host.answer()[4], 0);
    ASSERT_TRUE(host.exchange('X', {25}));
    EXPECT_EQ(host.result(), 0);
    EXPECT_TRUE(host.machine().masterAtPc);
    ASSERT_TRUE(host.exchange('W', {42}));
    EXPECT_EQ(host.result(), JOB_NO_MASTER);
    ASSERT_TRUE(host.exchange('X', {26}));
    EXPECT_EQ(host.answer()[4], 0);
    ASSERT_TRUE(host.exchange('X', {28}));
    EXPECT_FALSE(host.machine().masterAtPc);
    host.machine().masterRejects = true;
    ASSERT_TRUE(host.exchange('X', {27, 1, 2, 3, 4}));
    EXPECT_EQ(host.answer()[4], 1);

    ASSERT_TRUE(host.exchange('Y', {1}));
    EXPECT_EQ(host.result(), 0);
    ASSERT_TRUE(host.exchange('Y', {3}));
    const auto b = host.answer();
    ASSERT_EQ(b.size(), 256u);
    const size_t L = b[1] * 256u + b[2] - 1;
    ASSERT_EQ(L, 252u);
    EXPECT_EQ(readBE32(&b[L]), crc32(b.data(), L));
    EXPECT_EQ(readBE32(&b[96]), 32u); // max_image_qty
    ASSERT_TRUE(host.exchange('Y', {4}));
    EXPECT_EQ(host.answer().size(), 4u + 32);
    EXPECT_EQ(host.answer()[4], 1);
    EXPECT_EQ(host.answer()[5], 0);

    ASSERT_TRUE(host.exchange('W', {85, 0, 0, 0, 3}));
    EXPECT_EQ(host.result(), 0);
    EXPECT_TRUE(host.machine().port(2).marked);
    EXPECT_EQ(host.machine().markedPorts, std::vector<uint16_t>{3});

    SimHost plain("usb10");
    ASSERT_TRUE(plain.exchange('Y', {1}));
    EXPECT_NE(plain.result(), 0);
}

TEST(StandInJobs, AMediumPulledWhileWorkingFailsItsPort) {
    SimHost host("usb10");
    MachineModel& m = host.machine();
    m.speed = 20;
    ASSERT_TRUE(host.exchange('W', {42}));
    for (int i = 0; i < 1000 && host.status(3) != PHASE_WORKING; ++i)
        host.idle(100);
    ASSERT_EQ(host.status(3), PHASE_WORKING);
    host.idle(300);
    m.removeMedium(1);
    EXPECT_EQ(portStatus(host, 1), PORT_FAIL);
    EXPECT_EQ(host.answer()[4 + 104], 0); // cardExist
    const uint32_t before = m.logCount();
    followPhases(host, 120000);
    ASSERT_EQ(m.logCount(), before + 9);
    uint8_t rec[128];
    ASSERT_TRUE(m.logRecord(before, rec));
    EXPECT_EQ(readBE16(rec + 80), 1);
    EXPECT_EQ(rec[62], 48); // bad device
    EXPECT_GT(readBE32(rec + 40), 0u);
    ASSERT_TRUE(host.exchange('B'));
    EXPECT_EQ(readBE32(&host.answer()[4 + 16]), 1u);
}

TEST(StandInLog, RecordsCarryTheIdentityOfTheirMedium) {
    struct Case {
        const char* profile;
        size_t port;
        uint8_t targetKind;
    } cases[] = {{"usb10", 1, 1}, {"microsd24", 1, 2}, {"cf8", 1, 3}, {"sd20", 19, 5}};
    for (const auto& c : cases) {
        SimHost host(c.profile);
        MachineModel& m = host.machine();
        m.speed = 50;
        ASSERT_EQ(m.startJob(FN_CAPACITY_CHECK, host.clock.tickMs()), JOB_STARTED);
        host.idle(1000);
        ASSERT_EQ(m.state(), FN_STANDBY) << c.profile;
        uint8_t r[128];
        ASSERT_TRUE(m.logRecord(static_cast<uint32_t>(c.port), r)) << c.profile;
        EXPECT_EQ(readBE16(r + 80), c.port);
        EXPECT_EQ(r[13], c.targetKind) << c.profile;
        EXPECT_EQ(readBE32(r + 32), m.port(c.port).medium.sectors); // real size
        const uint8_t* t = r + 88;
        switch (c.targetKind) {
        case 1:
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(t)), m.port(c.port).medium.serial);
            EXPECT_EQ(readBE16(r + 64), 0x1D6B);
            break;
        case 2: // SD CID: name at 3..7, year ((13 & 0x0F) * 16 + 14 / 16) + 2000
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(t + 3), 5), "SIMSD");
            EXPECT_EQ(((t[13] & 0x0F) * 16 + t[14] / 16) + 2000, 2024);
            EXPECT_GE(t[14] & 0x0F, 1);
            break;
        case 3: // 40 characters without a NUL, and a text prefix at 64
            EXPECT_EQ(std::memchr(t, 0, 40), nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(t), 16), "SIM CompactFlash");
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 64)), "CF:");
            break;
        case 5: // MMC CID: name at 3..8, year (14 & 0x0F) + 1997
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(t + 3), 6), "SIMMMC");
            EXPECT_EQ((t[14] & 0x0F) + 1997, 2005);
            break;
        }
    }
}

TEST(StandInRequests, SdMachineRepeatsASerialNumberAndHoldsTillReleased) {
    SimHost host("sd20");
    MachineModel& m = host.machine();
    ASSERT_TRUE(host.exchange('W', {41}));
    EXPECT_TRUE(m.deviceInfoSession);
    EXPECT_EQ(m.startJob(FN_COPY, host.clock.tickMs()), JOB_BUSY); // the panel waits
    host.idle(300);
    ASSERT_TRUE(host.exchange('W', {40}));
    EXPECT_EQ(host.result(), 0);
    ASSERT_TRUE(host.exchange('W', {61}));
    ASSERT_EQ(host.result(), 0x10);
    const uint32_t total = readBE32(&host.answer()[4]);
    std::vector<uint8_t> info;
    while (info.size() < total) {
        ASSERT_TRUE(host.sendData({'P', 'A', 'S', 'S'}));
        const auto a = host.answer();
        info.insert(info.end(), a.begin() + 4, a.begin() + 4 + (readBE16(&a[1]) - 1u));
    }
    ASSERT_EQ(total % 33, 0u);
    ASSERT_EQ(readBE16(&info[0]), 20);
    const size_t z = readBE16(&info[2]);
    ASSERT_EQ(z, 48u);
    EXPECT_EQ(info[4], 2); // SD
    std::map<uint32_t, std::vector<int>> portsBySerial;
    for (int j = 0; j < 20; ++j) {
        const uint8_t* r = &info[8 + size_t(j) * z];
        ASSERT_EQ(r[0], 3) << j;
        portsBySerial[readBE32(r + 28)].push_back(j + 1);
    }
    ASSERT_EQ(portsBySerial.size(), 19u);
    const uint32_t repeated = readBE32(&info[8 + 2 * z + 28]);
    EXPECT_EQ(portsBySerial[repeated], (std::vector<int>{3, 8}));
    EXPECT_EQ(info[8 + 19 * z + 1], 2); // an MMC card in the last port

    // Marking the repeat, then the release: no answer, and the panel may start jobs again.
    ASSERT_TRUE(host.exchange('W', {85, 0, 0, 0, 8}));
    EXPECT_TRUE(m.port(7).marked);
    host.channel.sendCommand('W', std::vector<uint8_t>{81}.data(), 1);
    host.idle(200);
    EXPECT_FALSE(m.deviceInfoSession);
    EXPECT_EQ(m.releases, 1u);
    EXPECT_EQ(m.startJob(FN_COPY, host.clock.tickMs()), JOB_STARTED);
}

// A worn socket: jobs on the port fail at its rate, at sectors that vary,
// whatever medium is in it; the other ports are untouched.
TEST(StandInJobs, AWornPortFailsAtItsRate) {
    struct Case {
        double rate;
        int rounds;
        int leastFailures, mostFailures;
    } cases[] = {{0.3, 300, 60, 120}, {1.0, 20, 20, 20}, {0.0, 50, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        ManualClock clock;
        MachineModel m(*findSimProfile("usb10"), clock, "SU10-000042");
        m.speed = 1000;
        m.setPortFailRate(3, c.rate);
        m.insertMedium(3, m.defaultMedium(3)); // a fresh stick changes nothing
        ASSERT_EQ(m.startJob(FN_COPY, clock.tickMs()), JOB_STARTED);
        const uint32_t first = m.logNextNo();
        for (int round = 0; round < c.rounds; ++round) {
            for (int ms = 0; ms < 60000 && !m.waitingForAnswer(); ms += 50) {
                clock.advance(50);
                m.tick(clock.tickMs());
            }
            ASSERT_TRUE(m.waitingForAnswer());
            ASSERT_TRUE(m.answerContinue(clock.tickMs()));
        }
        int failures = 0;
        std::set<uint32_t> sectors;
        uint8_t rec[128];
        for (uint32_t no = first; no < m.logNextNo(); ++no) {
            ASSERT_TRUE(m.logRecord(no, rec));
            if (rec[62] == 0)
                continue;
            ASSERT_EQ(readBE16(rec + 80), 3) << "only the worn port fails";
            EXPECT_EQ(rec[62], 2);
            EXPECT_LT(readBE32(rec + 40), m.port(0).dataSectors);
            sectors.insert(readBE32(rec + 40));
            ++failures;
        }
        EXPECT_EQ(m.logNextNo() - first, uint32_t(9 * c.rounds));
        EXPECT_GE(failures, c.leastFailures);
        EXPECT_LE(failures, c.mostFailures);
        if (failures > 10) {
            EXPECT_GT(sectors.size(), 5u) << "the failing sector varies";
        }
    }
    // Panel jobs on the port fail the same way.
    ManualClock clock;
    MachineModel m(*findSimProfile("usb10"), clock, "SU10-000042");
    m.speed = 1000;
    m.setPortFailRate(5, 1.0);
    ASSERT_EQ(m.startJob(FN_CAPACITY_CHECK, clock.tickMs()), JOB_STARTED);
    for (int ms = 0; ms < 60000 && m.state() != FN_STANDBY; ms += 50) {
        clock.advance(50);
        m.tick(clock.tickMs());
    }
    EXPECT_EQ(m.failCount(), 1u);
    EXPECT_EQ(m.passCount(), 9u);
}
