#pragma once
// What duplicator-monitor is told on its command line, and the folders and
// display it needs found or made before it starts.
#include <cstdio>
#include <filesystem>
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
    bool userData = false; // work in the per-user data folder (the desktop entry's way)
    // The PostgreSQL server every stored record also goes to; empty: the one
    // the working folder's parameter file names, if any.
    std::string exportUrl;
};

enum class OptionsAction { Run, Help, Version, Error };

// Reads the arguments after the program name. On Error, `error` says which
// argument is wrong and why, in one line.
OptionsAction parseMonitorOptions(const std::vector<std::string>& args, MonitorOptions& options,
                                  std::string& error);
void printMonitorUsage(FILE* out);

// The program's own file, for the picture archive at its end: the running
// executable, whatever name it was started by (a bare name found on PATH
// says nothing of where the file is).
std::filesystem::path runningProgramFile(const char* argv0);
// The first executable file `name` in the folders of `path` (a PATH value);
// empty when there is none, or when `name` has a slash.
std::filesystem::path findProgramOnPath(const std::string& name, const std::string& path);

// The per-user data folder: $XDG_DATA_HOME/duplicator-monitor, or without it
// ~/.local/share/duplicator-monitor. Empty, with `error` set, when neither
// XDG_DATA_HOME nor HOME names an absolute folder.
std::filesystem::path userDataFolder(std::string& error);

// Makes the data folder (mode 0700) when missing, and links into it each
// loose picture folder installed beside the program (../share/duplicator-
// monitor/pictures from its bin folder) that the data folder lacks, so that
// the pictures are found there as in any working folder.
bool prepareUserDataFolder(const std::filesystem::path& folder,
                           const std::filesystem::path& programFile, std::string& error);

// The folder of --workdir: made (mode 0700) when it is missing, as long as its
// parent exists. Empty when `dir` is a folder to work in, otherwise the
// problem in one line.
std::string makeWorkingFolder(const std::filesystem::path& dir);

// Why the desktop program cannot open its windows here, in one line ("no
// display: use --headless or set DISPLAY"); empty when it can, or when Qt is
// told to use a platform that needs no display (QT_QPA_PLATFORM=offscreen).
// Asked before the application object is made, which would abort instead.
std::string displayProblem();

} // namespace dupmon
