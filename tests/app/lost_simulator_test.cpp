// dupmon-sim killed in the middle of a sync is every machine it served
// unplugged; when it comes back on the same socket its machines attach again
// and their logs go on from where they stopped, nothing lost or doubled.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "logdb/log_database.h"
#include "support/child_process.h"

using namespace dupmon;
namespace fs = std::filesystem;

TEST(LostSimulator, ItsMachinesAreDetachedAndAttachAgainWhenItReturns) {
    const fs::path dir = freshRunFolder("dupmon-lost-sim");
    const std::string socket = (dir / "sim.sock").string();
    const uint32_t records = 400;
    const std::vector<std::string> simArgs = {DUPMON_SIM,
                                              "--socket",
                                              socket,
                                              "--wire",
                                              "1",
                                              "--plug",
                                              "usb10,id=LOST-A,logs=" + std::to_string(records),
                                              "--plug",
                                              "cf8,id=LOST-B,logs=" + std::to_string(records)};

    auto sim = std::make_unique<Child>(simArgs, dir / "sim1.out", dir);
    ASSERT_TRUE(waitFor([&] { return fs::exists(socket); }, 10));
    Child monitor(
        {DUPMON_MONITOR, "--headless", "--simulator", socket, "--workdir", (dir / "work").string()},
        dir / "monitor.out", dir);
    ASSERT_TRUE(waitFor([&] { return countOf(monitor.output(), "stored log record") >= 80; }, 30))
        << monitor.output();

    // Killed mid-sync: both machines leave the board.
    sim->stop(SIGKILL);
    sim.reset();
    ASSERT_TRUE(waitFor([&] { return countOf(monitor.output(), "detached slot") == 2; }, 10))
        << monitor.output();
    EXPECT_EQ(countOf(monitor.output(), "off picture"), 2);

    // Back on the same socket: attached again, and the sync runs to its end.
    sim = std::make_unique<Child>(simArgs, dir / "sim2.out", dir);
    ASSERT_TRUE(waitFor([&] { return countOf(monitor.output(), "attached slot") >= 4; }, 15))
        << monitor.output();
    const fs::path databases[] = {dir / "work" / "DATABASE" / "LOST-A.QX42.LOGDATA",
                                  dir / "work" / "DATABASE" / "LOST-B.QX42.LOGDATA"};
    auto count = [](const fs::path& p) {
        std::error_code ec;
        const uint64_t size = fs::file_size(p, ec);
        return ec || size < kLogHeaderSize ? 0 : (size - kLogHeaderSize) / kLogRecordSize;
    };
    ASSERT_TRUE(waitFor(
        [&] { return count(databases[0]) >= records && count(databases[1]) >= records; }, 60))
        << monitor.output();
    EXPECT_EQ(monitor.stop(), 0);
    sim->stop();

    for (const fs::path& p : databases) {
        const auto db = readLogDatabase(p);
        ASSERT_EQ(db.result, PASS) << p;
        ASSERT_EQ(db.count, records) << p;
        for (uint32_t i = 0; i < db.count; ++i)
            ASSERT_EQ(readBE32(db.record(i)), i) << p << " record " << i;
    }
    // Standard error comes with the output: no complaint about a dead socket.
    EXPECT_EQ(monitor.output().find("QSocketNotifier"), std::string::npos) << monitor.output();
    fs::remove_all(dir);
}
