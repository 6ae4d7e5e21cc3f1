// dupmon-logtool's main: "export" goes to the PostgreSQL export, every other
// command to the log tool.
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/clock.h"
#include "export/log_export_tool.h"
#include "logdb/logtool.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "export")
        return dupmon::runLogExport(args, std::cout, std::cerr, ::isatty(2) == 1);
    return dupmon::runLogTool(args, std::cout, std::cerr, dupmon::SystemClock::instance());
}
