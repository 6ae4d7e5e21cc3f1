#include "protocol/engine_fixture.h"

using namespace dupmon;

TEST_F(EngineTest, IdentifiesTheControllerAndLogsEveryFact) {
    identify();
    const MachineInfo& m = h.info;
    EXPECT_STREQ(m.modelName, "USB-10 Duplicator");
    EXPECT_STREQ(m.version, "v2.41.3");
    EXPECT_EQ(m.controller_version_SUB, 41);
    EXPECT_EQ(m.maxDeviceQty, 10);
    EXPECT_EQ(m.systemTotalBufferSize, 4096);
    EXPECT_EQ(m.deviceType, 2);
    EXPECT_EQ(m.flag_feature_bit3, 1);
    EXPECT_EQ(m.wideCounters, 0);
    EXPECT_STREQ(m.machineId, "MID-0001");
    EXPECT_STREQ(m.nickName, "Line 3");
    EXPECT_EQ(m.support_LogRecord, 1);
    EXPECT_EQ(m.Machine_LOG_startNo, 500u);
    EXPECT_EQ(m.Machine_LOG_nextNewNo, 520u);
    EXPECT_EQ(h.engine.sequence(), 3);

    const std::vector<std::string> expected = {
        "Device connect ! ",
        "deviceType  = [2]",
        "machineType = [0]",
        "modelName   = [USB-10 Duplicator]",
        "version     = [v2.41.3]",
        "controller_version_MAJOR = [2]",
        "controller_version_SUB   = [41]",
        "controller_version_MINOR = [3]",
        "maxDeviceQty             = 10",
        "systemTotalBufferSize    = 4096",
        "flag_support_asynchronous_erase       = 00h",
        "flag_support_one_Pellux_Device        = 00h",
        "flag_support_asynchronous_PelluxCopy  = 00h",
        "flag_support_batch_Command            = 00h",
        "flag_support_RUN_ACTION_Command       = 00h",
        "flag_support_PELLUX_FORMAT            = 00h",
        "flag_support_HARDWARE_CHECK_HDD_EXIST = 00h",
        "flag_support_probe_machine        = 0",
        "flag_support_probe_machine_sensor = 0",
        "Machine ID: [MID-0001]",
        "boardQty          = 1",
        "portQty_per_board = 10",
        "portQty_per_Row   = 10",
        "Board List:",
        "01 BOARD1,R1, [FPGA:1A2B], 64MB, totalDeviceQty=10,2 Build[77]",
        "=============================",
        "nickName = [Line 3]",
        "LOG_startNo=500",
        "LOG_qty    =520",
    };
    ASSERT_GE(h.logs.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(h.logs.begin(), h.logs.begin() + long(expected.size())),
              expected);
}

TEST_F(EngineTest, WaitsTwoSecondsBeforeAskingWhoItIs) {
    h.plug(mc.device);
    h.run(900);
    EXPECT_TRUE(mc.commands.empty());
    h.run(2200);
    ASSERT_FALSE(mc.commands.empty());
    EXPECT_EQ(mc.commands[0].letter, 'A');
}

TEST_F(EngineTest, ReadsFiftyOneBoardsInThreeRequests) {
    boards = 51;
    identify();
    std::vector<std::vector<uint8_t>> w3;
    for (const auto& c : mc.commands)
        if (c.letter == 'W' && c.params[0] == 3)
            w3.push_back(c.params);
    ASSERT_EQ(w3.size(), 3u);
    EXPECT_EQ(w3[0], (std::vector<uint8_t>{3, 1, 0, 25}));
    EXPECT_EQ(w3[1], (std::vector<uint8_t>{3, 26, 0, 25}));
    EXPECT_EQ(w3[2], (std::vector<uint8_t>{3, 51, 0, 1}));
    EXPECT_STREQ(h.engine.board(50).text1, "BOARD51");
}

TEST_F(EngineTest, AControllerWithNoBoardsIsAskedOnceForNone) {
    boards = 0;
    identify();
    ASSERT_EQ(mc.countOf("W3"), 1);
    for (const auto& c : mc.commands)
        if (c.letter == 'W' && c.params[0] == 3) {
            EXPECT_EQ(c.params, (std::vector<uint8_t>{3, 1, 0, 0}));
        }
}

TEST_F(EngineTest, NoJobLogMeansNoLogNumbersAndNoFetch) {
    hasLog = false;
    identify();
    h.run(3000);
    EXPECT_EQ(h.info.support_LogRecord, 0);
    EXPECT_EQ(mc.countOf("W22"), 0);
    EXPECT_EQ(mc.countOf("W21"), 0);
    EXPECT_EQ(mc.countOf("W23"), 0);
    EXPECT_EQ(h.info.Machine_LOG_startNo, 0u);
}

TEST_F(EngineTest, MachineTypeOneIsLaidOutEightByEight) {
    machineType = 1;
    perBoard = 11;
    perRow = 15;
    ports = 121;
    identify();
    EXPECT_EQ(h.info.portQty_per_Row, 8);
    EXPECT_EQ(h.info.portQty_per_board, 8);
    EXPECT_TRUE(h.logged("portQty_per_Row   = 15"));
}

TEST_F(EngineTest, WideCountersFollowFirmwareAndKind) {
    struct Case {
        const char* version;
        int deviceType;
        uint8_t flags44;
        int wide;
    } cases[] = {
        {"v2.40.6", 7, 0, 1},  {"v2.40.7", 7, 0, 0}, {"v2.40.7", 7, 1, 1}, {"v1.99.9", 3, 0, 0},
        {"v2.39.9", 16, 0, 1}, {"v3.00.0", 2, 0, 0}, {"v2.40.6", 4, 1, 1},
    };
    for (const auto& c : cases) {
        EngineHarness hh;
        MiniController m2;
        m2.handlers = mc.handlers;
        m2.handlers["A"] = [&](const MiniController::Command&, uint8_t&) {
            return m2.identification("X", c.version, 8, c.deviceType, 0, 0, c.flags44);
        };
        hh.plug(m2.device);
        ASSERT_TRUE(hh.runUntil([&] { return hh.identified(); }, 10000));
        EXPECT_EQ(hh.info.wideCounters, c.wide) << c.version << " type " << c.deviceType;
    }
}

TEST_F(EngineTest, IdentificationTakesOnlyAnswersThatCanBeItsOwn) {
    // Each case: the command whose answer comes after a frame that is not its
    // answer, and that frame (built from the controller's other answers).
    std::vector<uint8_t> record(128, 0);
    writeBE32(record.data(), 7001);
    record[4] = 26; // a log record: number, then date bytes
    record[5] = 3;
    const auto identification = MiniController::frame(
        0, mc.identification(model, version, ports, deviceType, machineType, flags39, flags44), 0);
    std::vector<uint8_t> id(64, 0);
    std::memcpy(id.data(), "MID-0001", 8);
    std::vector<uint8_t> control(64, 0);
    std::memcpy(control.data(),
                "MID\x01"
                "0001",
                8);
    struct Case {
        const char* name;
        const char* key;
        std::vector<uint8_t> intruder;
        const char* reason;
    } cases[] = {
        {"a log record before the identification", "A", MiniController::frame(0, record, 1),
         "no model text"},
        {"a status block before the identification", "A",
         MiniController::frame(0, std::vector<uint8_t>(28, 0), 1), "too short"},
        {"the identification again before the identity", "W1", identification,
         "the previous command's answer"},
        {"an identity with a control character", "W1", MiniController::frame(0, control, 0),
         "no identity text"},
        {"the identity again before the board layout", "W2", MiniController::frame(0, id, 0),
         "the previous command's answer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness hh;
        MiniController m2;
        ControllerScript s2;
        s2.install(m2);
        auto real = m2.handlers[c.key];
        bool sent = false;
        m2.handlers[c.key] = [&](const MiniController::Command& cmd, uint8_t& r) {
            if (!sent) {
                sent = true;
                m2.device->sendFrame(c.intruder, hh.clock.tickMs());
            }
            return real(cmd, r);
        };
        hh.plug(m2.device);
        ASSERT_TRUE(hh.runUntil([&] { return hh.identified(); }, 10000));
        EXPECT_STREQ(hh.info.modelName, "USB-10 Duplicator");
        EXPECT_STREQ(hh.info.machineId, "MID-0001");
        EXPECT_EQ(hh.info.boardQty, 1);
        EXPECT_EQ(hh.info.maxDeviceQty, 10);
        bool dropped = false;
        for (const auto& l : hh.logs)
            dropped |=
                l.find("dropped") != std::string::npos && l.find(c.reason) != std::string::npos;
        EXPECT_TRUE(dropped) << c.reason;
        EXPECT_EQ(m2.countOf("A"), 1) << "no command was sent twice";
    }
}

TEST_F(EngineTest, AControllerThatAnswersNothingRealIsNeverRegistered) {
    struct Case {
        const char* name;
        const char* model;
        const char* version;
    } cases[] = {
        {"model text with control characters", "USB\x02\x03", "v2.41.3"},
        {"no version text", "USB-10 Duplicator", "2.41.3"},
        {"an empty model text", "", "v2.41.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineHarness hh;
        MiniController m2;
        ControllerScript s2;
        s2.model = c.model;
        s2.version = c.version;
        s2.install(m2);
        hh.plug(m2.device);
        hh.run(30000);
        EXPECT_FALSE(hh.identified());
        EXPECT_EQ(m2.countOf("W1"), 0);
        EXPECT_GE(m2.countOf("A"), 2) << "asked again after each time-out";
    }
}
