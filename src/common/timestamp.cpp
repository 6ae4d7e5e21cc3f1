// The two fixed time-stamp texts: asctime's layout and the head of a
// message-log line.
#include "common/timestamp.h"

#include "common/text.h"

namespace dupmon {

std::string asctimeText(const LocalTime& t) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* wd = days[(t.weekday % 7 + 7) % 7];
    const char* mo = months[(t.month - 1 + 12) % 12];
    return format("%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", wd, mo, t.day, t.hour, t.minute, t.second,
                  t.year);
}

std::string messageStamp(const LocalTime& t) {
    return format("%4d-%02d-%02d %02d:%02d:%02d: ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
}

} // namespace dupmon
