#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "common/loop_gaps.h"

using namespace dupmon;

TEST(LoopGaps, PercentilesStayWithinTheirBucketOfTheExactValue) {
    // Gaps spread over six orders of magnitude, against the exact sorted values.
    std::mt19937_64 random(7);
    std::vector<uint64_t> values;
    LoopGaps gaps;
    for (int i = 0; i < 20000; ++i) {
        const uint64_t v = random() % (uint64_t(1) << (random() % 21));
        values.push_back(v);
        gaps.add(v);
    }
    std::sort(values.begin(), values.end());
    EXPECT_EQ(gaps.count(), values.size());
    EXPECT_EQ(gaps.longestUs(), values.back());
    for (double f : {0.01, 0.5, 0.9, 0.99, 0.999, 1.0}) {
        const uint64_t exact = values[size_t(f * double(values.size()) + 0.999999) - 1];
        const uint64_t got = gaps.percentileUs(f);
        EXPECT_GE(got, exact) << f;
        EXPECT_LE(got, exact + exact / 32 + 1) << f;
    }
}

TEST(LoopGaps, EdgeCases) {
    std::vector<uint64_t> oneStallInAHundred(99, 5);
    oneStallInAHundred.push_back(900'000);
    struct Case {
        const char* what;
        std::vector<uint64_t> gaps;
        double fraction;
        uint64_t expected;
    } cases[] = {
        {"nothing recorded", {}, 0.99, 0},
        {"small values are exact", {3, 17, 63}, 0.5, 17},
        {"one long gap is the longest, not a bucket's end", {10'000'001}, 0.99, 10'000'001},
        {"the 99th of 100 misses the one stall", oneStallInAHundred, 0.99, 5},
        {"the longest is the stall", oneStallInAHundred, 1.0, 900'000},
        {"a huge value keeps its place", {~uint64_t(0) >> 1}, 1.0, ~uint64_t(0) >> 1},
    };
    for (auto& c : cases) {
        LoopGaps g;
        for (uint64_t v : c.gaps)
            g.add(v);
        EXPECT_EQ(g.percentileUs(c.fraction), c.expected) << c.what;
    }
    LoopGaps g;
    g.add(40);
    g.reset();
    EXPECT_EQ(g.count(), 0u);
    EXPECT_EQ(g.longestUs(), 0u);
}
