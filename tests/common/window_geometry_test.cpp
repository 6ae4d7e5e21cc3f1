// Keeping windows on screen: the fit, centring, the spare room a window
// leaves, and the cascade of new machine windows, on screens whose free area
// does not start at the origin.
#include <gtest/gtest.h>

#include <utility>

#include "common/window_geometry.h"

using namespace dupmon;

TEST(WindowGeometry, AFrameIsCutToTheFreeAreaAndMovedTheLeastIntoIt) {
    const WindowRect screen{0, 0, 1600, 1000}; // top, left, width, height
    const WindowRect panelLeft{0, 48, 1552, 1000};
    struct Case {
        const char* what;
        WindowRect frame, area, expected;
    };
    const Case cases[] = {
        {"fits: as it is", {10, 20, 800, 600}, screen, {10, 20, 800, 600}},
        {"off the right edge", {10, 1500, 800, 600}, screen, {10, 800, 800, 600}},
        {"above and left of it", {-50, -30, 600, 350}, screen, {0, 0, 600, 350}},
        {"from a larger screen: shrunk", {0, 0, 2400, 1200}, screen, {0, 0, 1600, 1000}},
        {"below the bottom", {900, 100, 600, 350}, screen, {650, 100, 600, 350}},
        {"left of a panel", {0, 0, 600, 350}, panelLeft, {0, 48, 600, 350}},
        {"wider than the area and right of it",
         {5, 3000, 2000, 300},
         panelLeft,
         {5, 48, 1552, 300}},
        {"exactly the area", panelLeft, panelLeft, panelLeft},
    };
    for (const Case& c : cases) {
        const WindowRect r = fitToScreen(c.frame, c.area);
        EXPECT_EQ(r, c.expected) << c.what;
        EXPECT_TRUE(c.area.contains(r)) << c.what;
    }
}

TEST(WindowGeometry, CentredAndSparedSizes) {
    struct Case {
        WindowSize size;
        WindowRect area, expected;
    };
    const Case cases[] = {
        {{600, 350}, {0, 0, 1920, 1080}, {365, 660, 600, 350}},
        {{600, 350}, {0, 0, 500, 300}, {0, 0, 500, 300}}, // cut to the screen
        {{1024, 480}, {30, 64, 1216, 770}, {175, 160, 1024, 480}},
        {{601, 351}, {0, 0, 1280, 800}, {224, 339, 601, 351}}, // odd room: the half rounds down
    };
    for (const Case& c : cases)
        EXPECT_EQ(centredInArea(c.size, c.area), c.expected)
            << c.size.width << "x" << c.size.height;
    EXPECT_EQ(centredPosition(700, 1280), 290);
    EXPECT_EQ(centredPosition(1280, 1280), 0);
    EXPECT_EQ(centredPosition(1500, 1280), 0);

    const WindowRect area{0, 0, 1280, 800};
    EXPECT_EQ(sizeWithin({900, 600}, area, {40, 80}), (WindowSize{900, 600}));
    EXPECT_EQ(sizeWithin({1300, 900}, area, {40, 80}), (WindowSize{1240, 720}));
    EXPECT_EQ(sizeWithin({1300, 900}, area), (WindowSize{1280, 800}));

    const FrameMargins m; // the usual frame before the desktop draws one
    const WindowRect inside{100, 50, 800, 600};
    EXPECT_EQ(grownBy(inside, m), (WindowRect{70, 46, 808, 634}));
    EXPECT_EQ(shrunkBy(grownBy(inside, m), m), inside);
}

TEST(WindowGeometry, NewWindowsCascadeInsideTheFreeArea) {
    const WindowRect area{50, 100, 1280, 800}; // top, left, width, height
    struct Case {
        int width, height, k;
        WindowRect expected;
    };
    const Case cases[] = {
        {600, 400, 0, {250, 440, 600, 400}}, // centred
        {600, 400, 1, {278, 468, 600, 400}}, // one step down and right
        {600, 400, 2, {306, 496, 600, 400}},
        {600, 400, 13, {50 + 364, 100 + 364, 600, 400}}, // past the edges: again from the corner
        {1280, 800, 0, {50, 100, 1280, 800}},            // as large as the area
        {1280, 800, 1, {78, 128, 1252, 772}},            // smaller by a step, to stand apart
        {1280, 800, 2, {106, 156, 1224, 744}},
        {1280, 800, 4, {77, 127, 1196, 716}},  // three steps smaller at most
        {3000, 2000, 0, {50, 100, 1280, 800}}, // never larger than the area
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " #" << c.k);
        EXPECT_EQ(cascadedWindow({c.width, c.height}, area, c.k), c.expected);
    }
    // However many, each lies wholly inside the area, and the next stands apart.
    for (const auto& [w, h] : {std::pair{600, 400}, std::pair{1280, 800}, std::pair{1270, 300}}) {
        for (int k = 0; k < 60; ++k) {
            const WindowRect r = cascadedWindow({w, h}, area, k);
            ASSERT_TRUE(area.contains(r)) << w << " " << k;
            const WindowRect next = cascadedWindow({w, h}, area, k + 1);
            EXPECT_TRUE(next.left != r.left || next.top != r.top) << w << " " << k;
        }
    }
}
