#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "hidlink/hidraw_backend.h"
#include "hidlink/udev_watcher.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace dupmon {
// Found by argument lookup when the tests compare lists of changes.
bool operator==(const DeviceChange& a, const DeviceChange& b) {
    return a.kind == b.kind && a.name == b.name;
}
void PrintTo(const DeviceChange& c, std::ostream* os) {
    *os << (c.kind == DeviceChange::Arrival ? "arrival " : "removal ") << c.name;
}
} // namespace dupmon

using dupmon::test::TempDir;

// This machine runs no udev daemon: the watcher must still start, and watch by
// comparing enumerations. On a machine with the daemon it uses the monitor.
TEST(UdevWatcher, StartsOnThisMachine) {
    ManualClock clock;
    UdevWatcher watcher(clock);
    ASSERT_TRUE(watcher.start());
    const bool daemon = ::access("/run/udev/control", F_OK) == 0;
    EXPECT_EQ(watcher.comparing(), !daemon);
    if (daemon) {
        EXPECT_GE(watcher.fd(), 0);
        return;
    }
    EXPECT_EQ(watcher.fd(), -1);
    // Nothing is plugged or unplugged here: two seconds on, nothing has changed.
    EXPECT_TRUE(watcher.poll().empty());
    clock.advance(UdevWatcher::kComparePeriodMs);
    EXPECT_TRUE(watcher.poll().empty());
}

TEST(UdevWatcher, WithoutTheDaemonComparesEnumerationsEveryTwoSeconds) {
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    ManualClock clock;
    std::vector<std::string> present = {"/dev/hidraw0", "/dev/hidraw1"};
    int enumerations = 0;
    UdevWatcher watcher(
        clock,
        [&] {
            ++enumerations;
            return present;
        },
        (dir.path / "control").string());
    ASSERT_TRUE(watcher.start());
    EXPECT_TRUE(watcher.comparing());
    EXPECT_EQ(watcher.fd(), -1);
    EXPECT_EQ(enumerations, 1); // the starting point

    struct Step {
        uint32_t advanceMs;
        std::vector<std::string> present;
        std::vector<DeviceChange> expected;
        int enumerations; // total so far
    } steps[] = {
        // Too early: the change is not looked for yet.
        {1999, {"/dev/hidraw1", "/dev/hidraw2"}, {}, 1},
        {1,
         {"/dev/hidraw1", "/dev/hidraw2"},
         {{DeviceChange::Removal, "/dev/hidraw0"}, {DeviceChange::Arrival, "/dev/hidraw2"}},
         2},
        {0, {"/dev/hidraw1", "/dev/hidraw2"}, {}, 2},
        {2000, {"/dev/hidraw1", "/dev/hidraw2"}, {}, 3},
        {2500,
         {},
         {{DeviceChange::Removal, "/dev/hidraw1"}, {DeviceChange::Removal, "/dev/hidraw2"}},
         4},
        {2000, {"/dev/hidraw3"}, {{DeviceChange::Arrival, "/dev/hidraw3"}}, 5},
    };
    int i = 0;
    for (const auto& s : steps) {
        clock.advance(s.advanceMs);
        present = s.present;
        EXPECT_EQ(watcher.poll(), s.expected) << "step " << i;
        EXPECT_EQ(enumerations, s.enumerations) << "step " << i;
        ++i;
    }
}

// The enumeration it compares by default is the backend's own.
TEST(UdevWatcher, DefaultEnumerationIsTheHidrawOne) {
    TempDir dir;
    ManualClock clock;
    UdevWatcher watcher(clock, enumerateHidraw, (dir.path / "control").string());
    ASSERT_TRUE(watcher.start());
    EXPECT_TRUE(watcher.comparing());
    clock.advance(UdevWatcher::kComparePeriodMs);
    EXPECT_TRUE(watcher.poll().empty());
}

// With the daemon's control file present the watcher listens to the "udev"
// source through the monitor's descriptor instead of comparing.
TEST(UdevWatcher, WithTheDaemonUsesTheMonitorDescriptor) {
    TempDir dir;
    const fs::path control = dir.path / "control";
    std::ofstream(control).put('\n');
    ManualClock clock;
    int enumerations = 0;
    UdevWatcher watcher(
        clock,
        [&] {
            ++enumerations;
            return std::vector<std::string>{};
        },
        control.string());
    ASSERT_TRUE(watcher.start());
    EXPECT_FALSE(watcher.comparing());
    EXPECT_GE(watcher.fd(), 0);
    EXPECT_TRUE(watcher.poll().empty()); // nothing is queued, and poll does not wait
    EXPECT_EQ(enumerations, 0);
}
