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
        {"v2.40.6", 7, 0, 1}, {"v2.40.7", 7, 0, 0}, {"v2.40.7", 7, 1, 1}, {"v1.99.9", 3, 0, 0},
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
