#pragma once
// dupmon-logtool's commands on log databases and sealed reports, for use
// without the monitor's windows.
#include <ostream>
#include <string>
#include <vector>

#include "common/clock.h"

namespace dupmon {

// dupmon-logtool: info, print, csv, report and verify on log databases and
// sealed reports, without a window. `args` excludes the program name.
// Returns the exit status: 0 done, 1 a file problem or a failed check,
// 2 bad arguments.
int runLogTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const Clock& clock);

} // namespace dupmon
