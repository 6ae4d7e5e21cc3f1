#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "connection/machine.h"
#include "hidlink/usbhidioc.h"
#include "logdb/log_database.h"
#include "protocol/checksum.h"
#include "sim/virtual_bus.h"
#include "support/controller_script.h"
#include "support/test_ui.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("dupmon-conn-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "DATABASE");
        fs::create_directories(dir / "DEBUG_SESSION");
        script.install(mc);
        machine.setWorkingDirectory(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void attach() {
        path = bus.plug(mc.device, 0x6C15, 0x2001);
        link = std::make_unique<CUsbhidioc>(bus);
        ASSERT_TRUE(link->openByPath(path, 0x6C15, 0x2001));
        machine.connect(&CUsbhidioc::takeFrameCallback, link.get(), &CUsbhidioc::sendFrameCallback,
                        link.get(), &ConnectionTest::onEvent, this, dir / "DEBUG_SESSION",
                        dir / "DATABASE", 0, 0);
    }
    void run(uint32_t ms) {
        for (uint32_t i = 0; i < ms; ++i) {
            clock.advance(1);
            bus.pump();
            if (link && link->awaitingReply())
                link->pollInput();
            machine.step();
        }
    }
    static void onEvent(void* self, int, int code, int, const void*) {
        static_cast<ConnectionTest*>(self)->events.push_back(code);
    }

    fs::path dir;
    ManualClock clock{{2026, 3, 15, 10, 0, 0, 0, 0}};
    VirtualBus bus{clock};
    TestUi ui;
    MachineInfo unused{};
    MiniController mc;
    ControllerScript script;
    MACHINE machine{clock, ui};
    std::string path;
    std::unique_ptr<CUsbhidioc> link;
    std::vector<int> events;
};

} // namespace

TEST_F(ConnectionTest, DebugFileTakesTheEarlyLinesAfterItsBannerAndIsNamedForTheMonth) {
    attach();
    run(4000);
    const fs::path debug = dir / "DEBUG_SESSION" / "MID-0001(202603).txt";
    ASSERT_TRUE(fs::exists(debug));
    const std::string text = slurp(debug);
    const std::string rule(60, '=');
    EXPECT_EQ(text.rfind("\n" + rule + "\nOPEN Brellock DEBUG FILE at 2026-03-15 10:00:00\n" + rule +
                             "\n",
                         0),
              0u);
    const size_t connect = text.find("Machine connect ! ");
    const size_t device = text.find("Device connect ! ");
    const size_t id = text.find("Machine ID: [MID-0001]");
    const size_t support = text.find("machineInfo->support_LogRecord = 1");
    ASSERT_NE(device, std::string::npos);
    EXPECT_LT(device, connect);
    EXPECT_LT(connect, id);
    EXPECT_LT(id, support);
    EXPECT_NE(text.find("2026-03-15 10:00:0"), std::string::npos);
    EXPECT_NE(text.find("machineInfo->Machine_LOG_nextNewNo  =520"), std::string::npos);
    EXPECT_EQ(machine.bufferedBytes(), 0u);
    // Identification is followed by the clock: the machine becomes ready.
    EXPECT_NE(std::find(events.begin(), events.end(), int(EVENT_CLOCK_SET)), events.end());
}

TEST_F(ConnectionTest, JobLogFlowsIntoTheDatabaseOnceAndInOrder) {
    attach();
    run(6000);
    const auto db = readLogDatabase(dir / "DATABASE" / "MID-0001.QX42.LOGDATA");
    ASSERT_EQ(db.result, PASS);
    ASSERT_EQ(db.count, 20u);
    for (uint32_t i = 0; i < db.count; ++i)
        EXPECT_EQ(readBE32(db.record(i)), 500 + i);
    EXPECT_EQ(machine.info().lastStoredLogNo, 519);

    // Unplugged and plugged again: nothing is fetched twice, and the debug file is reused.
    machine.disconnect();
    bus.unplug(path);
    const size_t before = slurp(machine.debugFilePath()).size();
    script.logCount = 22;
    mc.commands.clear();
    attach();
    run(6000);
    const auto db2 = readLogDatabase(dir / "DATABASE" / "MID-0001.QX42.LOGDATA");
    ASSERT_EQ(db2.count, 22u);
    EXPECT_EQ(readBE32(db2.record(21)), 521u);
    const std::string text = slurp(machine.debugFilePath());
    EXPECT_GT(text.size(), before);
    // One opening banner only: the buffered lines went out once.
    EXPECT_EQ(text.find("OPEN Brellock"), text.rfind("OPEN Brellock"));
}

TEST_F(ConnectionTest, ImageBankBlockWithABadCrcIsDroppedSilently) {
    attach();
    run(4000);
    uint8_t block[256] = {0x23, 0, 0xFD, 0};
    std::memcpy(block + 4, "BANK-1", 6);
    writeBE32(block + 96, 3);   // max_image_qty
    writeBE32(block + 108, 1);  // free_image_qty
    writeBE32(block + 252, crc32(block, 252) ^ 1);
    const std::string before = slurp(machine.debugFilePath());
    machine.onImageBankBlock(block);
    EXPECT_EQ(slurp(machine.debugFilePath()), before);
    EXPECT_EQ(machine.imageBank().max_image_qty, 0u);

    writeBE32(block + 252, crc32(block, 252));
    machine.onImageBankBlock(block);
    EXPECT_EQ(machine.imageBank().max_image_qty, 3u);
    EXPECT_NE(slurp(machine.debugFilePath()).find("identifySymbol=[BANK-1]"), std::string::npos);

    uint8_t table[4 + 1000] = {0x23, 0, 0, 0, 1, 0, 1};
    machine.onImageBankTable(table);
    const std::string text = slurp(machine.debugFilePath());
    EXPECT_NE(text.find("Pellux_existTable[3] =\n"), std::string::npos);
    EXPECT_NE(text.find(":  1 0 1\n"), std::string::npos); // stamp, then " %d" per entry
}

TEST_F(ConnectionTest, DisconnectReportsTheMachineGone) {
    attach();
    run(4000);
    machine.disconnect();
    EXPECT_EQ(events.back(), int(EVENT_DISCONNECTED));
    EXPECT_FALSE(machine.connected());
    EXPECT_NE(slurp(machine.debugFilePath()).find("Machine disconnect ! "), std::string::npos);
}
