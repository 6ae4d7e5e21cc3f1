#include "common/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#ifdef __unix__
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace dupmon {

std::string errorText(int error) {
    return std::strerror(error);
}

ReadableFile openRegularFile(const std::filesystem::path& path) {
    ReadableFile r;
#ifdef __unix__
    // Non-blocking, so that opening a pipe does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        r.error = errno;
        r.missing = errno == ENOENT;
        r.problem = errno == ENOENT ? "does not exist" : "cannot be opened: " + errorText(errno);
        return r;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        r.error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        r.problem = S_ISDIR(st.st_mode) ? "is a folder, not a file" : "is not a regular file";
        ::close(fd);
        return r;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    r.size = static_cast<uint64_t>(st.st_size);
    r.file.reset(::fdopen(fd, "rb"));
    if (!r.file) {
        r.error = errno;
        r.problem = "cannot be opened: " + errorText(errno);
        ::close(fd);
    }
#else
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        r.error = EISDIR;
        r.problem = "is a folder, not a file";
        return r;
    }
    r.file = openFile(path, "rb");
    if (!r.file) {
        r.error = errno;
        r.missing = errno == ENOENT;
        r.problem = r.missing ? "does not exist" : "cannot be opened: " + errorText(errno);
        return r;
    }
    r.size = std::filesystem::file_size(path, ec);
#endif
    return r;
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path, size_t maxBytes,
                                         bool* cut) {
    ReadableFile in = openRegularFile(path);
    if (!in)
        return std::nullopt;
    std::string text;
    char chunk[65536];
    while (text.size() < maxBytes) {
        const size_t want = std::min(sizeof chunk, maxBytes - text.size());
        const size_t n = std::fread(chunk, 1, want, in.file.get());
        text.append(chunk, n);
        if (n < want)
            break;
    }
    if (std::ferror(in.file.get()))
        return std::nullopt;
    if (cut)
        *cut = text.size() == maxBytes && std::fgetc(in.file.get()) != EOF;
    return text;
}

std::vector<std::string> readTextLines(const std::filesystem::path& path, size_t maxLines,
                                       size_t maxLength, size_t maxBytes) {
    std::vector<std::string> lines;
    ReadableFile in = openRegularFile(path);
    if (!in || maxLines == 0)
        return lines;
    std::string line;
    bool ended = true; // the last line read ended with its line feed
    for (size_t read = 0; read < maxBytes; ++read) {
        const int c = std::getc(in.file.get());
        if (c == EOF)
            break;
        ended = c == '\n';
        if (ended) {
            while (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(std::move(line));
            line.clear();
            if (lines.size() == maxLines)
                return lines;
        } else if (line.size() < maxLength) {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!ended || !line.empty()) {
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    return lines;
}

} // namespace dupmon
