// The system clock behind every time-out and stamp, and the manual clock that
// tests move by hand; civil-date arithmetic to step the manual clock's day.
#include "common/clock.h"

#include <chrono>
#include <ctime>

namespace dupmon {

uint32_t SystemClock::tickMs() const {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

LocalTime SystemClock::localTime() const {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    LocalTime lt;
    lt.year = tm.tm_year + 1900;
    lt.month = tm.tm_mon + 1;
    lt.day = tm.tm_mday;
    lt.hour = tm.tm_hour;
    lt.minute = tm.tm_min;
    lt.second = tm.tm_sec;
    lt.weekday = tm.tm_wday;
    lt.millisecond =
        static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    return lt;
}

SystemClock& SystemClock::instance() {
    static SystemClock clock;
    return clock;
}

int64_t daysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

ManualClock::ManualClock(LocalTime start, uint32_t startTick) : start_(start), tick_(startTick) {}

void ManualClock::setLocalTime(const LocalTime& t) {
    start_ = t;
    elapsed_ = 0;
}

LocalTime ManualClock::localTime() const {
    int64_t ms = start_.millisecond + static_cast<int64_t>(elapsed_);
    int64_t secs = start_.hour * 3600 + start_.minute * 60 + start_.second + ms / 1000;
    int64_t days = daysFromCivil(start_.year, start_.month, start_.day) + secs / 86400;
    secs %= 86400;
    LocalTime t;
    civilFromDays(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(secs / 3600);
    t.minute = static_cast<int>(secs / 60 % 60);
    t.second = static_cast<int>(secs % 60);
    t.millisecond = static_cast<int>(ms % 1000);
    t.weekday = static_cast<int>(((days % 7) + 7 + 4) % 7); // 1970-01-01 was a Thursday
    return t;
}

} // namespace dupmon
