#pragma once
#include <cstdio>
#include <string>
#include <vector>

namespace dupmon {

// The command line of duplicator-monitor. Without options it watches the
// duplicators on the USB bus from the current folder, as a desktop program.
struct MonitorOptions {
    bool demo = false;
    bool headless = false;
    std::string simulator; // the socket of a running dupmon-sim
    std::string workDir;
};

enum class OptionsAction { Run, Help, Version, Error };

// Reads the arguments after the program name. On Error, `error` says which
// argument is wrong and why, in one line.
OptionsAction parseMonitorOptions(const std::vector<std::string>& args, MonitorOptions& options,
                                  std::string& error);
void printMonitorUsage(FILE* out);

} // namespace dupmon
