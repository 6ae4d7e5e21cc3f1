#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dupmon {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fopen() on a filesystem path, in the platform's own path encoding.
inline FilePtr openFile(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
    std::wstring wmode(mode, mode + std::char_traits<char>::length(mode));
    return FilePtr(_wfopen(path.c_str(), wmode.c_str()));
#else
    return FilePtr(std::fopen(path.c_str(), mode));
#endif
}

// Absolute seek that works past 2 GB on every platform.
inline bool seekTo(std::FILE* f, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(f, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// A file opened for reading, or why it could not be.
struct ReadableFile {
    FilePtr file;         // null when the file could not be opened
    int error = 0;        // the system's error number of a failed open
    bool missing = false; // nothing at all is at the path
    uint64_t size = 0;    // the file's size when opened
    std::string problem;  // "is a folder", "cannot be opened: ...", empty when opened
    explicit operator bool() const { return file != nullptr; }
};

// Opens a file the program reads (binary). Only a regular file is opened: a
// folder, a pipe or a device at the path is refused at once, so that reading
// it never waits for a writer that will not come.
ReadableFile openRegularFile(const std::filesystem::path& path);

// The first `maxLines` lines of a small text file the program keeps (a
// window position file), each without its line end and cut to `maxLength`
// characters; the rest of a longer line is skipped. At most `maxBytes` are
// read in all, so a huge or sparse file costs neither time nor memory.
// Empty when the file cannot be opened; fewer lines when it has fewer.
std::vector<std::string> readTextLines(const std::filesystem::path& path, size_t maxLines,
                                       size_t maxLength = 1023, size_t maxBytes = 64 * 1024);

// The whole of a small file, at most `maxBytes` of it (`cut` tells whether
// there was more). Nothing when it cannot be opened or read: a read error
// never throws, as a stream's would.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, size_t maxBytes,
                                         bool* cut = nullptr);

// The system's text for an error number, as a message shows it.
std::string errorText(int error);

} // namespace dupmon
