#pragma once
// Files as the program handles them: owned FILE* and descriptors, reads that
// open only regular files, appends that reach the file whole, and writes that
// replace a file whole or not at all.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// An owned file descriptor, closed when dropped.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);
    // Closes now, for a writer that must know whether its data reached the
    // file: close()'s own result (0, or -1 with errno set); 0 when empty.
    int close();

private:
    int fd_ = -1;
};

// What a write does with a symbolic link at the file's own name. Links in
// the folders above are always followed (the working folder or "DATABASE"
// may live on another disk).
enum class LinkRule {
    // A file of the working folder: a link planted at its name is left as it
    // is and nothing is written through it.
    Refuse,
    // A file the operator chose in a dialog: written where the link points.
    Follow,
};

// A file written whole or not at all. The new bytes go to a temporary file
// created exclusively beside it ("<name>.new-XXXXXX", never through a link),
// which is synced and renamed over the file; then the folder is synced. A
// failure at any step leaves the old file as it was, and the temporary file
// is removed. Only a regular file (or nothing) is replaced: a folder, a pipe
// or a device at the name is refused without being opened.
class WholeFileWriter {
public:
    WholeFileWriter() = default;
    ~WholeFileWriter();
    WholeFileWriter(const WholeFileWriter&) = delete;
    WholeFileWriter& operator=(const WholeFileWriter&) = delete;

    bool open(const std::filesystem::path& path, LinkRule links = LinkRule::Refuse);
    bool write(const void* data, size_t n);
    bool write(std::string_view bytes) { return write(bytes.data(), bytes.size()); }
    // Puts the file in place. With `replace` false a file that is there by
    // then is kept, and commit fails with EEXIST.
    bool commit(bool replace = true);
    // Drops the temporary file; the old file stays.
    void abandon();

    // The system's error number and the problem in words ("is not a regular
    // file", "cannot be written: No space left on device") after a failure.
    int error() const { return error_; }
    const std::string& problem() const { return problem_; }
    // The failure was what stands at the file's name (a folder, a pipe, a
    // link, a read-only file), not the making of the new file.
    bool refusedTarget() const { return refusedTarget_; }
    // Where the file goes (the link's target under LinkRule::Follow).
    const std::filesystem::path& target() const { return target_; }

private:
    bool fail(int error, std::string problem);

    UniqueFd fd_;
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    int error_ = 0;
    bool refusedTarget_ = false;
    std::string problem_;
};

struct FileWrite {
    bool ok = false;
    int error = 0;
    std::string problem; // in words, when not ok
    explicit operator bool() const { return ok; }
};

// The whole of a small file through a WholeFileWriter.
FileWrite writeWholeFile(const std::filesystem::path& path, std::string_view bytes,
                         LinkRule links = LinkRule::Refuse);

// A file the program appends to (daily and debug files, the device-
// information append file), opened for appending without blocking and only
// when it is a regular file; a missing one is created. `forReading` opens it
// for reading as well (pread), to look at what it holds.
struct AppendFile {
    UniqueFd fd;
    int error = 0;
    std::string problem; // "is not a regular file", "cannot be opened: ..."
    explicit operator bool() const { return bool(fd); }
};
AppendFile openAppendFile(const std::filesystem::path& path, LinkRule links = LinkRule::Refuse,
                          bool forReading = false);

// Appends the bytes in one write, so that a line reaches the file whole. A
// write the disk takes only in part is cut back: no piece stays to be glued
// to the next line. False with errno set when the bytes are not all there.
bool appendWhole(int fd, std::string_view bytes);

} // namespace dupmon
