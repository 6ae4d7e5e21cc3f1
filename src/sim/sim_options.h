#pragma once
// dupmon-sim's command line: serve stand-ins on a socket, drive a running
// simulator with a ctl request, or list the profiles.
#include <cstdio>
#include <string>
#include <vector>

namespace dupmon {

// The command line of dupmon-sim.
struct SimOptions {
    std::string socket;
    long wireMs = -1; // -1: the bus's default
    std::vector<std::string> plugs;
    std::string trace;                // a file traced from the start
    std::string traceDir;             // the folder "ctl trace NAME" writes into
    std::vector<std::string> request; // the words after "ctl"
};

enum class SimAction { Serve, Control, Profiles, Help, Error };

// Reads the arguments after the program name. On Error, `error` says which
// argument is wrong and why, in one line.
SimAction parseSimOptions(const std::vector<std::string>& args, SimOptions& options,
                          std::string& error);
void printSimUsage(FILE* out);

} // namespace dupmon
