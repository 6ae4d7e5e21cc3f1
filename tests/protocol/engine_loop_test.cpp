#include "protocol/engine_fixture.h"

using namespace dupmon;

namespace {
std::vector<uint32_t> range(uint32_t a, uint32_t b) {
    std::vector<uint32_t> v;
    for (uint32_t i = a; i <= b; ++i)
        v.push_back(i);
    return v;
}
} // namespace

TEST_F(EngineTest, FetchesTwoNewLogRecordsPerIdlePass) {
    identify();
    h.run(400);
    auto asked = logNumbersAsked();
    ASSERT_GE(asked.size(), 4u);
    EXPECT_EQ(std::vector<uint32_t>(asked.begin(), asked.begin() + 4), range(500, 503));
    // A status poll between the two passes.
    int firstFetch = -1, polls = 0;
    for (size_t i = 0; i < mc.commands.size(); ++i) {
        const auto& c = mc.commands[i];
        if (c.letter == 'W' && c.params[0] == 23 && readBE32(c.params.data() + 1) == 501)
            firstFetch = int(i);
        if (firstFetch >= 0 && c.letter == 'B')
            ++polls;
        if (c.letter == 'W' && c.params[0] == 23 && readBE32(c.params.data() + 1) == 502)
            break;
    }
    EXPECT_EQ(polls, 1);
    ASSERT_TRUE(h.runUntil([&] { return h.records.size() == 20; }, 20000));
    h.run(500);
    EXPECT_EQ(logNumbersAsked(), range(500, 519)); // each exactly once
}

TEST_F(EngineTest, BusyMachineFetchesTenRecordsPerPass) {
    identify();
    h.run(50);
    h.info.lastStoredLogNo = 505;
    h.engine.setStoredRecords(true);
    h.engine.windowOpened();
    h.engine.refreshPortData();
    // A copy showing its result: the refresh walk polls and fetches up to ten records a pass.
    state = 1;
    subState = 5;
    for (const auto& [key, kind] : {std::pair{"E1", 1}, std::pair{"E3", 3}})
        mc.handlers[key] = [kind = kind](const MiniController::Command& c, uint8_t&) {
            return std::vector<uint8_t>(portRecordSize(kind, false) * c.params[3], 0);
        };
    h.storeRecords = false;
    const size_t before = logNumbersAsked().size();
    h.run(1000);
    auto asked = logNumbersAsked();
    ASSERT_GE(asked.size(), before + 10);
    EXPECT_EQ(
        std::vector<uint32_t>(asked.begin() + long(before), asked.begin() + long(before) + 10),
        range(506, 515));
}

TEST_F(EngineTest, RecordZeroIsFetchedOnceWhenItIsTheOnlyRecord) {
    logFirstNo = 0;
    logCount = 1;
    identify();
    h.run(1000);
    EXPECT_EQ(logNumbersAsked(), std::vector<uint32_t>{0});
    EXPECT_EQ(h.records.size(), 1u);
}

TEST_F(EngineTest, NoRecordsAskedForAnEmptyLog) {
    logCount = 0;
    identify();
    h.run(1000);
    EXPECT_TRUE(logNumbersAsked().empty());
}

TEST_F(EngineTest, RequestsMergeAndTheLastNicknameWins) {
    identify();
    h.run(100);
    mc.handlers["W5"] = [](const MiniController::Command&, uint8_t& r) {
        r = 0x41;
        return std::vector<uint8_t>{};
    };
    h.engine.setNickname("First");
    h.engine.setNickname("Second");
    for (int i = 0; i < 5; ++i)
        h.engine.answerContinue();
    h.run(500);
    EXPECT_EQ(mc.countOf("W5"), 1);
    EXPECT_EQ(mc.countOf("W13"), 1);
    ASSERT_EQ(mc.dataFrames.size(), 1u);
    const auto& d = mc.dataFrames[0];
    ASSERT_EQ(d.size(), 60u);
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 4),
              (std::vector<uint8_t>{0x23, 0, 60, 0}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.data() + 4)), "Second");
}

TEST_F(EngineTest, NicknameRefusedSendsNoDataFrame) {
    identify();
    mc.handlers["W5"] = [](const MiniController::Command&, uint8_t& r) {
        r = 0x01;
        return std::vector<uint8_t>{};
    };
    h.engine.setNickname("Refused");
    h.run(500);
    EXPECT_EQ(mc.countOf("W5"), 1);
    EXPECT_TRUE(mc.dataFrames.empty());
}

TEST_F(EngineTest, SetupWriteRetriesCheckErrorsThreeTimesThenTellsTheOperator) {
    identify();
    mc.handlers["W31"] = [](const MiniController::Command&, uint8_t& r) {
        r = 0x41;
        return std::vector<uint8_t>{};
    };
    mc.handlers["data"] = [](const MiniController::Command&, uint8_t& r) {
        r = 0xFE;
        return std::vector<uint8_t>{};
    };
    uint8_t block[256] = {1, 2, 3};
    ASSERT_TRUE(h.engine.setSetupParameters(block));
    h.run(1500);
    EXPECT_EQ(mc.countOf("W31"), 4);
    ASSERT_EQ(h.ui.messages.size(), 1u);
    EXPECT_EQ(h.ui.messages[0].text, "Can't Set Machine (CRC Error) !");
    EXPECT_EQ(h.ui.messages[0].caption, "ERROR !");
    ASSERT_EQ(mc.dataFrames.size(), 4u);
    EXPECT_EQ(mc.dataFrames[0].size(), 261u);
}

TEST_F(EngineTest, DeviceInformationIsDeliveredOnlyWhenWholeAndChecked) {
    identify();
    auto deviceInfo = [&](uint32_t total) {
        std::vector<uint8_t> blocks(total, 0);
        const uint32_t n = total / 33;
        for (uint32_t i = 0; i < 32 * n; ++i)
            blocks[i] = uint8_t(i * 7);
        for (uint32_t j = 0; j < n; ++j)
            blocks[32 * n + j] = blockCheck(blocks.data() + 32 * j, 32);
        return blocks;
    };
    struct Case {
        uint32_t total;
        int deliveries;
    } cases[] = {{66, 1}, {65, 0}};
    for (const auto& c : cases) {
        const auto blocks = deviceInfo(c.total);
        size_t sent = 0;
        int w61 = 0;
        mc.handlers["W61"] = [&](const MiniController::Command&, uint8_t& r) {
            ++w61;
            sent = 0;
            r = 0x10;
            std::vector<uint8_t> d(6, 0);
            writeBE32(d.data(), c.total);
            return d;
        };
        mc.handlers["data"] = [&](const MiniController::Command&, uint8_t&) {
            const size_t n = std::min<size_t>(40, blocks.size() - sent);
            std::vector<uint8_t> d(blocks.begin() + long(sent), blocks.begin() + long(sent + n));
            sent += n;
            return d;
        };
        const int before = h.count(STATUS_DEVICE_INFO);
        const int failures = h.count(STATUS_DEVICE_INFO_FAILED);
        h.ui.messages.clear();
        h.engine.requestDeviceInfo();
        h.run(1500);
        EXPECT_EQ(h.count(STATUS_DEVICE_INFO) - before, c.deliveries) << c.total;
        if (c.deliveries == 0) {
            // Fetched again, up to three times in all, then given up with a message.
            EXPECT_EQ(w61, 3) << "a 65-byte transfer is fetched again, three times in all";
            EXPECT_EQ(h.count(STATUS_DEVICE_INFO_FAILED) - failures, 1);
            ASSERT_EQ(h.ui.messages.size(), 1u);
            EXPECT_EQ(h.ui.messages[0].text,
                      "The device information failed its checks 3 times: it is not asked for "
                      "any longer.");
        }
        mc.handlers.erase("W61");
        h.run(20); // a refused W 61 ends the exchange
        h.engine.requestDeviceInfo();
        h.ui.messages.clear();
        h.run(300);
    }
}

TEST_F(EngineTest, DeviceInformationThatNeverGetsReadyIsGivenUpAfterAMinute) {
    identify();
    h.run(200);
    mc.handlers["W40"] = [](const MiniController::Command&, uint8_t& r) {
        r = 1; // still collecting
        return std::vector<uint8_t>{};
    };
    h.engine.requestDeviceInfo();
    h.run(59000);
    EXPECT_EQ(h.count(STATUS_DEVICE_INFO_FAILED), 0);
    h.run(1500);
    EXPECT_EQ(h.count(STATUS_DEVICE_INFO_FAILED), 1);
    EXPECT_EQ(mc.countOf("W61"), 0);
    ASSERT_EQ(h.ui.messages.size(), 1u);
    EXPECT_EQ(h.ui.messages[0].caption, "ERROR !");
    // The machine is polled again as before.
    const int polls = mc.countOf("B");
    h.run(1000);
    EXPECT_GT(mc.countOf("B"), polls);
}

TEST_F(EngineTest, MasterTakeResults) {
    identify();
    struct Case {
        uint8_t r26, b26, r27, b27, r25;
        int result;
    } cases[] = {{0, 1, 0, 0, 0, MASTER_TAKEN},
                 {0, 0, 0, 0, 0, MASTER_NOT_PRESENT},
                 {0, 1, 0, 3, 0, MASTER_REJECTED},
                 {5, 1, 0, 0, 0, MASTER_COMMAND_FAILED},
                 {0, 1, 0, 0, 2, MASTER_COMMAND_FAILED}};
    for (const auto& c : cases) {
        mc.handlers["X26"] = [&](const MiniController::Command&, uint8_t& r) {
            r = c.r26;
            return std::vector<uint8_t>{c.b26};
        };
        mc.handlers["X27"] = [&](const MiniController::Command& cmd, uint8_t& r) {
            EXPECT_EQ(cmd.params, (std::vector<uint8_t>{27, 'M', 'S', 'T', 'R'}));
            r = c.r27;
            return std::vector<uint8_t>{c.b27};
        };
        mc.handlers["X25"] = [&](const MiniController::Command&, uint8_t& r) {
            r = c.r25;
            return std::vector<uint8_t>{};
        };
        const uint8_t id[4] = {'M', 'S', 'T', 'R'};
        int result = -1;
        ASSERT_TRUE(h.engine.takeMasterUsbToPc(id, &result));
        EXPECT_EQ(result, c.result);
    }
}

TEST_F(EngineTest, WaitingRequestsEndWhenRefusedOrUnplugged) {
    identify();
    mc.handlers["W10"] = [](const MiniController::Command&, uint8_t& r) {
        r = 1; // no clock on this controller
        return std::vector<uint8_t>{};
    };
    char clockText[14];
    EXPECT_FALSE(h.engine.getMachineClock(clockText));
    EXPECT_FALSE(h.engine.clockSupported());

    // Unplugged during the wait: the master take ends with a failure.
    mc.dropAnswers = 1000;
    h.ui.onProcessEvents = [&] {
        h.run(1);
        if (h.tick % 50 == 0) {
            h.engine.disconnect();
        }
    };
    const uint8_t id[4] = {};
    int result = -1;
    EXPECT_TRUE(h.engine.takeMasterUsbToPc(id, &result));
    EXPECT_EQ(result, MASTER_COMMAND_FAILED);
}

TEST_F(EngineTest, ClockIsReadAndRequestsAreRefusedWhileBusy) {
    identify();
    mc.handlers["W11"] = [](const MiniController::Command&, uint8_t&) {
        const char* t = "20261210123456";
        return std::vector<uint8_t>(t, t + 14);
    };
    char clockText[14];
    ASSERT_TRUE(h.engine.getMachineClock(clockText));
    EXPECT_EQ(std::string(clockText, 14), "20261210123456");

    state = 1;
    subState = 4;
    h.run(200);
    EXPECT_FALSE(h.engine.getMachineClock(clockText));
    uint8_t block[256];
    EXPECT_FALSE(h.engine.getSetupParameters(block));
    EXPECT_FALSE(h.engine.setSetupParameters(block));
}

TEST_F(EngineTest, SetClockIsSentBeforeTheNextPollAndReported) {
    identify();
    h.engine.setMachineClock();
    h.run(300);
    ASSERT_EQ(mc.countOf("W12"), 1);
    ASSERT_EQ(mc.dataFrames.size(), 1u);
    EXPECT_EQ(mc.dataFrames[0].size(), 18u);
    EXPECT_EQ(std::count(h.events.begin(), h.events.end(), int(EVENT_CLOCK_SET)), 1);
    const std::string set =
        "SET_MACHINE_CLOCK = [" +
        std::string(reinterpret_cast<const char*>(mc.dataFrames[0].data() + 4), 14) + "]";
    EXPECT_TRUE(h.logged(set));
    EXPECT_TRUE(h.logged(set + " Finish !"));
}

TEST_F(EngineTest, StateChangeToReadingMasterFetchesTheFirstRecordOnce) {
    identify();
    h.engine.windowOpened();
    mc.handlers["E1"] = [](const MiniController::Command& c, uint8_t&) {
        return std::vector<uint8_t>(90 * c.params[3], 0);
    };
    state = 1;
    subState = 1;
    h.run(40);
    int e = 0;
    for (const auto& c : mc.commands)
        if (c.letter == 'E') {
            ++e;
            EXPECT_EQ(c.params, (std::vector<uint8_t>{1, 0, 1, 1}));
        }
    EXPECT_GE(e, 1);
    ASSERT_GE(h.count(STATUS_SOURCE), 1);
    EXPECT_EQ(h.statuses.back().code == STATUS_SOURCE || h.count(STATUS_SOURCE) > 0, true);
}

TEST_F(EngineTest, NinetyNarrowRecordsComeElevenAtATimeAndLeaveWide) {
    ports = 90;
    identify();
    ASSERT_EQ(h.info.wideCounters, 0);
    h.engine.windowOpened();
    mc.handlers["E1"] = [](const MiniController::Command& c, uint8_t&) {
        const int first = c.params[1] << 8 | c.params[2];
        std::vector<uint8_t> d(90 * c.params[3], 0);
        for (int i = 0; i < c.params[3]; ++i) {
            uint8_t* r = d.data() + 90 * i;
            writeBE32(r + 4, 1000u + uint32_t(first - 1 + i)); // capacity of port first-1+i
            writeBE32(r + 12, 2048);                           // sectorsPerMB
            r[72] = 80;                                        // usbCardStatus
        }
        return d;
    };
    state = 1;
    subState = 3;
    h.run(2000);
    // One whole pass over the ports, from record 1.
    std::vector<int> counts;
    bool inPass = false;
    for (const auto& c : mc.commands) {
        if (c.letter != 'E')
            continue;
        if (c.params[1] == 0 && c.params[2] == 1)
            inPass = true;
        if (inPass)
            counts.push_back(c.params[3]);
        if (counts.size() == 9)
            break;
    }
    EXPECT_EQ(counts, (std::vector<int>{11, 11, 11, 11, 11, 11, 11, 11, 2}));
    ASSERT_GE(h.count(STATUS_TARGETS), 9);
    for (const auto& s : h.statuses) {
        if (s.code != STATUS_TARGETS)
            continue;
        for (int i = 0; i < s.block.count; ++i) {
            const uint8_t* r = s.records.data() + 114 * i;
            EXPECT_EQ(readBE64(r + 8), 1000u + uint64_t(s.block.firstIndex + i));
            EXPECT_EQ(readBE32(r + 80), 2048u);
            EXPECT_EQ(r[96], 80);
        }
    }
}

TEST_F(EngineTest, DisconnectedEngineSendsNothingAndRebindRestarts) {
    identify();
    h.engine.disconnect();
    const size_t n = mc.commands.size();
    h.run(500);
    EXPECT_EQ(mc.commands.size(), n);
    EXPECT_TRUE(h.logged("Device disconnect ! "));
    h.engine.bind(&CUsbhidioc::takeFrameCallback, &h.link, &CUsbhidioc::sendFrameCallback, &h.link,
                  &EngineHarness::onLog, &h, &EngineHarness::onStatus, &h, &EngineHarness::onEvent,
                  &h);
    EXPECT_EQ(h.engine.sequence(), 1);
    EXPECT_EQ(h.engine.decisionStep(), 0);
}

TEST_F(EngineTest, ATimedOutCommandIsSentAgainAndTheLoopGoesOn) {
    identify();
    h.run(50);
    mc.dropAnswers = 1;
    h.run(12000);
    bool timeout = false;
    for (const auto& l : h.logs)
        timeout |= l.find("[Cmd Time Out]") != std::string::npos;
    EXPECT_TRUE(timeout);
    ASSERT_TRUE(h.runUntil([&] { return h.records.size() == 20; }, 20000));
}

TEST_F(EngineTest, RequestsAreServedOnePerPollInPriorityOrder) {
    identify();
    h.run(200);
    mc.commands.clear();
    mc.handlers["W5"] = [](const MiniController::Command&, uint8_t& r) {
        r = 1; // refused: no data frame
        return std::vector<uint8_t>{};
    };
    h.engine.requestRelease();
    h.engine.requestCopy();
    h.engine.requestImageBank();
    h.engine.answerFinish();
    h.engine.setNickname("Line 4");
    h.run(1500);
    std::vector<std::string> order;
    int pollsBetween = 0;
    for (const auto& c : mc.commands) {
        const std::string k = MiniController::keyOf(c);
        if (k == "B") {
            ++pollsBetween;
            continue;
        }
        if (k == "W23")
            continue;
        order.push_back(k);
    }
    // Finish is also taken before the poll at the loop's top, so it goes first.
    EXPECT_EQ(order, (std::vector<std::string>{"W14", "W5", "Y1", "Y3", "Y4", "W42", "W81"}));
    EXPECT_GE(pollsBetween, 4);
}

TEST_F(EngineTest, IdleMachinesArePolledTenTimesASecondAndBusyOnesClosely) {
    identify();
    h.run(3000); // the whole job log is fetched
    ASSERT_EQ(h.records.size(), 20u);
    mc.commands.clear();
    h.run(1000);
    const int idlePolls = mc.countOf("B");
    EXPECT_GE(idlePolls, 9);
    EXPECT_LE(idlePolls, 11);

    h.engine.windowOpened();
    state = 1;
    subState = 3; // waiting for targets: each pass also looks at the job log
    mc.handlers["E1"] = [](const MiniController::Command& c, uint8_t&) {
        return std::vector<uint8_t>(90 * c.params[3], 0);
    };
    mc.handlers["E3"] = [](const MiniController::Command& c, uint8_t&) {
        return std::vector<uint8_t>(12 * c.params[3], 0);
    };
    h.run(200);
    mc.commands.clear();
    h.run(1000);
    EXPECT_GT(mc.countOf("B"), 2 * idlePolls);
    // Asked something, an idle machine answers at once.
    state = 0;
    subState = 0;
    h.run(300);
    mc.commands.clear();
    h.engine.requestCopy();
    h.run(40);
    EXPECT_EQ(mc.countOf("W42"), 1);
}
