#pragma once
// The fixed time-stamp layouts of protocol error lines, report print dates and
// message-log lines.
#include <string>

#include "common/clock.h"

namespace dupmon {

// "Www Mmm dd hh:mm:ss yyyy\n", the layout of protocol error lines and report print dates.
std::string asctimeText(const LocalTime& t);
// "%4d-%02d-%02d %02d:%02d:%02d: ", the stamp at the head of every message-log line.
std::string messageStamp(const LocalTime& t);

} // namespace dupmon
