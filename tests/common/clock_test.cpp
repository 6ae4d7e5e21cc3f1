#include <gtest/gtest.h>

#include "common/clock.h"
#include "common/timestamp.h"

using namespace dupmon;

TEST(ManualClock, LocalTimeFollowsTicksAcrossMidnightAndMonths) {
    ManualClock clock({2026, 12, 31, 23, 59, 59, 500, 4});
    clock.advance(600);
    LocalTime t = clock.localTime();
    EXPECT_EQ(t.year, 2027);
    EXPECT_EQ(t.month, 1);
    EXPECT_EQ(t.day, 1);
    EXPECT_EQ(t.hour, 0);
    EXPECT_EQ(t.second, 0);
    EXPECT_EQ(t.millisecond, 100);
    EXPECT_EQ(t.weekday, 5); // 2027-01-01 is a Friday
}

TEST(ManualClock, TickCountWrapsLikeA32BitCounter) {
    ManualClock clock({}, 0xFFFFFF00u);
    clock.advance(0x200);
    EXPECT_EQ(clock.tickMs(), 0x100u);
}

TEST(Timestamps, AsctimeAndMessageLayouts) {
    LocalTime t{2026, 3, 5, 9, 7, 3, 0, 4};
    EXPECT_EQ(asctimeText(t), "Thu Mar  5 09:07:03 2026\n");
    EXPECT_EQ(messageStamp(t), "2026-03-05 09:07:03: ");
    LocalTime u{2026, 11, 25, 23, 59, 59, 0, 3};
    EXPECT_EQ(asctimeText(u), "Wed Nov 25 23:59:59 2026\n");
}
