// The histogram of the GUI thread's busy stretches: exact buckets for short
// gaps, then a fixed number of buckets per doubling.
#include "common/loop_gaps.h"

#include <bit>

namespace dupmon {

size_t LoopGaps::bucketOf(uint64_t us) {
    if (us < kExact)
        return size_t(us);
    // us has `width` significant bits: its top six of them place it.
    const int width = std::bit_width(us);
    const int shift = width - 6;
    const uint64_t top = us >> shift; // 32..63
    return kExact + size_t(shift - 1) * kPerOctave + size_t(top - kPerOctave);
}

uint64_t LoopGaps::bucketTop(size_t bucket) {
    if (bucket < kExact)
        return bucket;
    const size_t shift = (bucket - kExact) / kPerOctave + 1;
    const uint64_t top = (bucket - kExact) % kPerOctave + kPerOctave;
    return ((top + 1) << shift) - 1;
}

void LoopGaps::add(uint64_t us) {
    ++buckets_[bucketOf(us)];
    ++count_;
    total_ += us;
    if (us > longest_)
        longest_ = us;
}

uint64_t LoopGaps::percentileUs(double fraction) const {
    if (count_ == 0)
        return 0;
    // The rank of the gap asked for, 1-based.
    auto rank = uint64_t(fraction * double(count_) + 0.999999);
    if (rank < 1)
        rank = 1;
    if (rank > count_)
        rank = count_;
    uint64_t seen = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
        seen += buckets_[b];
        if (seen >= rank)
            return bucketTop(b) < longest_ ? bucketTop(b) : longest_;
    }
    return longest_;
}

} // namespace dupmon
