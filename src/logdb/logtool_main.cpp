#include <iostream>
#include <string>
#include <vector>

#include "common/clock.h"
#include "logdb/logtool.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    std::vector<std::string> args(argv + 1, argv + argc);
    return dupmon::runLogTool(args, std::cout, std::cerr, dupmon::SystemClock::instance());
}
