#pragma once
// What System > About and System > Help show: the program's version, its
// working folder and where each kind of file goes; and where the installed
// manual (or, failing that, the README) is found.
#include <filesystem>
#include <string>
#include <vector>

namespace dupmon {

// The About text: program, version and build date, the working folder, and
// one line for each kind of file the program writes or reads there.
std::string aboutText(const std::filesystem::path& workDir);

// Where the manual page may be, in the order they are tried: beside an
// installed program (<prefix>/share/man), in the system's folders, and in
// the build tree the program was built in.
std::vector<std::filesystem::path> manualCandidates(const std::filesystem::path& programFile);
// Where the README may be, in the same order.
std::vector<std::filesystem::path> readmeCandidates(const std::filesystem::path& programFile);
// The first of `candidates` that is a regular file, or an empty path.
std::filesystem::path firstExisting(const std::vector<std::filesystem::path>& candidates);

// `man` output made plain: a character struck over itself or underlined
// ("x\bx", "_\bx") is the character alone.
std::string plainManText(const std::string& formatted);

} // namespace dupmon
