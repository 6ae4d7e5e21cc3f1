#pragma once
// Getting the working folder ready before the board starts, and saying which
// folder cannot be written.
#include <filesystem>
#include <string>

namespace dupmon {

// Makes the working folder ready: creates "DATABASE" and "DEBUG_SESSION"
// (existing ones are fine) and checks that the program can write in all
// three, since the log databases, debug files, daily text folders and the
// registry go there. Empty when ready; otherwise a message that names the
// folder that cannot be written and why.
std::string prepareWorkingFolder(const std::filesystem::path& workDir);

} // namespace dupmon
