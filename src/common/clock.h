#pragma once
// The clock everything that waits or stamps asks: the system's, or a manual one
// that lets tests run long time-outs at once.
#include <cstdint>

namespace dupmon {

// Broken-down local time, as the machine logs and file names need it.
struct LocalTime {
    int year = 2000;
    int month = 1; // 1..12
    int day = 1;   // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int weekday = 6; // 0 = Sunday
};

// Everything that waits or stamps asks this, so tests can run an 11-second
// time-out in no time.
class Clock {
public:
    virtual ~Clock() = default;
    // Millisecond tick count; wraps like a 32-bit system tick counter.
    virtual uint32_t tickMs() const = 0;
    virtual LocalTime localTime() const = 0;
};

class SystemClock final : public Clock {
public:
    uint32_t tickMs() const override;
    LocalTime localTime() const override;
    static SystemClock& instance();
};

// A clock that moves only when told to. Local time advances with the ticks.
class ManualClock final : public Clock {
public:
    explicit ManualClock(LocalTime start = {2026, 3, 15, 10, 0, 0, 0, 0},
                         uint32_t startTick = 1000);
    uint32_t tickMs() const override { return tick_; }
    LocalTime localTime() const override;
    void advance(uint32_t ms) {
        tick_ += ms;
        elapsed_ += ms;
    }
    void setLocalTime(const LocalTime& t);

private:
    LocalTime start_;
    uint32_t tick_;
    uint64_t elapsed_ = 0;
};

// Days since 1970-01-01 for a civil date, and back; used to step local time.
int64_t daysFromCivil(int y, int m, int d);
void civilFromDays(int64_t z, int& y, int& m, int& d);

} // namespace dupmon
