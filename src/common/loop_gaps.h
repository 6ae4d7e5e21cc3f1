// How long the GUI thread's event loop went without a turn: the busy
// stretches between two moments at which it could take new input, kept as a
// histogram small and cheap enough to record every turn of a long run.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace dupmon {

class LoopGaps {
public:
    // One stretch, in microseconds.
    void add(uint64_t us);
    void reset() { *this = LoopGaps(); }

    uint64_t count() const { return count_; }
    uint64_t longestUs() const { return longest_; }
    uint64_t totalUs() const { return total_; }
    // The gap that `fraction` (0..1] of all gaps stay within: the upper end of
    // its histogram bucket (within 1/32 of the value), never above the longest.
    uint64_t percentileUs(double fraction) const;

private:
    // Values below 64 us have a bucket each; above, every power of two is
    // cut into 32 buckets.
    static constexpr size_t kExact = 64;
    static constexpr size_t kPerOctave = 32;
    static constexpr size_t kBuckets = kExact + 58 * kPerOctave;
    static size_t bucketOf(uint64_t us);
    static uint64_t bucketTop(size_t bucket);

    std::array<uint64_t, kBuckets> buckets_{};
    uint64_t count_ = 0;
    uint64_t longest_ = 0;
    uint64_t total_ = 0;
};

} // namespace dupmon
