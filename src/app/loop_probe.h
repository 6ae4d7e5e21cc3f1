// A probe of the GUI thread's event loop: how long the loop was kept from
// looking at new input, turn by turn, for tests and benchmarks. Cheap enough
// to stay installed for a whole run (two clock reads per turn of the loop).
#pragma once
#include <chrono>

#include "common/loop_gaps.h"

namespace dupmon {

// Installed on the event loop of the thread that makes it (the GUI thread,
// after the application object exists); one at a time. A gap runs from the
// moment the loop stops waiting to the moment it next looks for input: time
// spent waiting for something to happen is no gap, time spent in handlers,
// in the windows' drawing and in any call that blocks is. A nested loop (a
// modal dialog, a waiting request) turns like the main one.
class LoopProbe {
public:
    LoopProbe();
    ~LoopProbe();
    LoopProbe(const LoopProbe&) = delete;
    LoopProbe& operator=(const LoopProbe&) = delete;

    // The gaps since the probe was made or last reset.
    const LoopGaps& gaps() const { return gaps_; }
    void reset() { gaps_.reset(); }
    // False where the event loop is not glib's (then nothing is measured), or
    // another probe is installed.
    bool installed() const { return installed_; }

    // The loop looks for input (a gap ends), and starts its work after looking.
    void looking();
    void working();

private:
    using Steady = std::chrono::steady_clock;
    LoopGaps gaps_;
    Steady::time_point busySince_;
    bool busy_ = true;
    bool installed_ = false;
};

} // namespace dupmon
