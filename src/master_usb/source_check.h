#pragma once
// The source folder's check, made before the master stick is touched.
#include <atomic>
#include <cstdint>
#include <string>

namespace dupmon {

// What the copy will find in a source tree.
struct SourceSummary {
    uint32_t directories = 0;
    uint32_t files = 0;
    uint64_t bytes = 0;
    uint32_t files4GiB = 0; // files of 4294967296 bytes or more
    std::string first4GiB;  // the first of them
};

enum class SourceProblem { None, NotChosen, Missing, NotAFolder, Unreadable, Empty, Stopped };

// Walks the tree as the walker's copy will (a link to a file is the file; a
// link to a folder, a device, a pipe or a socket is left out), and makes
// sure that the copy can do its work: every folder lists and every file
// opens for reading (the copy would pass an unreadable folder over without
// a word). `detail` names the path and the reason of a problem. Ends early,
// with Stopped, once `stop` is set.
SourceProblem checkSourceTree(const std::string& root, SourceSummary& out, std::string& detail,
                              const std::atomic<bool>* stop = nullptr);

} // namespace dupmon
