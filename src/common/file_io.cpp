// Opening, reading, appending to and wholly replacing the files the program
// keeps, refusing folders, pipes and devices so that nothing waits on them.
#include "common/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#ifdef __unix__
#include <fcntl.h>
#include <stdio.h>
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
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) {
        r.error = errno;
        r.missing = errno == ENOENT;
        r.problem = errno == ENOENT ? "does not exist" : "cannot be opened: " + errorText(errno);
        return r;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        r.error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        r.problem = S_ISDIR(st.st_mode) ? "is a folder, not a file" : "is not a regular file";
        return r;
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    r.size = static_cast<uint64_t>(st.st_size);
    r.file.reset(::fdopen(fd.get(), "rb"));
    if (!r.file) {
        r.error = errno;
        r.problem = "cannot be opened: " + errorText(errno);
    } else {
        fd.release(); // the stream owns it now
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

#ifdef __unix__

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd)
        ::close(fd_);
    fd_ = fd;
}

int UniqueFd::close() {
    return fd_ >= 0 ? ::close(release()) : 0;
}

namespace {

namespace fs = std::filesystem;

// Six letters and digits, so that no name can be planted ahead of us.
std::string randomSuffix() {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 rng{std::random_device{}()};
    std::string s(6, 'x');
    for (char& c : s)
        c = kLetters[rng() % (sizeof kLetters - 1)];
    return s;
}

fs::path folderOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

// What is at the name, in words, when it is something a write must not open
// or replace; empty when it is a regular file or nothing.
std::string notWritable(const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return "is a folder, not a file";
    if (!S_ISREG(st.st_mode))
        return "is not a regular file";
    return "";
}

} // namespace

WholeFileWriter::~WholeFileWriter() {
    abandon();
}

bool WholeFileWriter::fail(int error, std::string problem) {
    error_ = error;
    problem_ = std::move(problem);
    abandon();
    errno = error;
    return false;
}

void WholeFileWriter::abandon() {
    fd_.reset();
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
    temporary_.clear();
}

bool WholeFileWriter::open(const fs::path& path, LinkRule links) {
    abandon();
    error_ = 0;
    refusedTarget_ = false;
    problem_.clear();
    target_ = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        refusedTarget_ = true;
        if (links == LinkRule::Refuse)
            return fail(ELOOP, "is a symbolic link; it is left as it is");
        refusedTarget_ = false;
        std::error_code ec;
        target_ = fs::weakly_canonical(path, ec);
        if (ec)
            return fail(ec.value(), "cannot be followed: " + errorText(ec.value()));
    }
    bool exists = ::lstat(target_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return fail(errno, "cannot be opened: " + errorText(errno));
    if (exists) {
        refusedTarget_ = true;
        if (std::string why = notWritable(st); !why.empty())
            return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, why);
        // A file made read-only stays as it is, as writing it in place would.
        if (::access(target_.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS))
            return fail(errno, "cannot be written: " + errorText(errno));
        refusedTarget_ = false;
    }
    const std::string name = target_.filename().string();
    for (int tries = 0; tries < 100 && !fd_; ++tries) {
        temporary_ = folderOf(target_) / (name + ".new-" + randomSuffix());
        fd_.reset(::open(temporary_.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666));
        if (!fd_ && errno != EEXIST) {
            const int error = errno;
            temporary_.clear();
            return fail(error, "cannot be created: " + errorText(error));
        }
    }
    if (!fd_) {
        temporary_.clear();
        return fail(EEXIST, "cannot be created: no free temporary name");
    }
    // The new file keeps the old one's permissions.
    if (exists) {
        [[maybe_unused]] int ignored = ::fchmod(fd_.get(), st.st_mode & 07777);
    }
    return true;
}

bool WholeFileWriter::write(const void* data, size_t n) {
    if (!fd_)
        return false;
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd_.get(), p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return fail(w < 0 ? errno : ENOSPC,
                        "cannot be written: " + errorText(w < 0 ? errno : ENOSPC));
        p += w;
        n -= size_t(w);
    }
    return true;
}

bool WholeFileWriter::commit(bool replace) {
    if (!fd_)
        return false;
    if (::fdatasync(fd_.get()) != 0)
        return fail(errno, "cannot be brought to the disk: " + errorText(errno));
    if (fd_.close() != 0)
        return fail(errno, "cannot be written: " + errorText(errno));
    int renamed = -1;
    if (replace) {
        renamed = ::rename(temporary_.c_str(), target_.c_str());
    } else {
        renamed =
            ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
        // File systems without the no-replace rename still refuse a link
        // onto a name that is taken.
        if (renamed != 0 && (errno == EINVAL || errno == ENOSYS) &&
            ::link(temporary_.c_str(), target_.c_str()) == 0) {
            ::unlink(temporary_.c_str());
            renamed = 0;
        }
    }
    if (renamed != 0)
        return fail(errno, errno == EEXIST ? "exists already"
                                           : "cannot take its place: " + errorText(errno));
    temporary_.clear();
    // The rename itself reaches the disk with its folder.
    UniqueFd folder(::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder || (::fsync(folder.get()) != 0 && errno != EINVAL))
        return fail(errno, "its folder cannot be brought to the disk: " + errorText(errno));
    return true;
}

FileWrite writeWholeFile(const fs::path& path, std::string_view bytes, LinkRule links) {
    FileWrite r;
    WholeFileWriter w;
    r.ok = w.open(path, links) && w.write(bytes) && w.commit();
    if (!r.ok) {
        r.error = w.error();
        r.problem = w.problem();
    }
    return r;
}

AppendFile openAppendFile(const fs::path& path, LinkRule links, bool forReading) {
    AppendFile f;
    int flags =
        (forReading ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (links == LinkRule::Refuse)
        flags |= O_NOFOLLOW;
    // Non-blocking: a pipe at the path fails at once instead of waiting for a reader.
    f.fd.reset(::open(path.c_str(), flags, 0666));
    struct stat st {};
    if (!f.fd) {
        f.error = errno;
        if (f.error == ELOOP && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            f.problem = "is a symbolic link; it is left as it is";
        else if (f.error == EISDIR)
            f.problem = "is a folder, not a file";
        else if (f.error == ENXIO)
            f.problem = "is not a regular file";
        else
            f.problem = "cannot be opened: " + errorText(f.error);
        return f;
    }
    if (::fstat(f.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        f.error = EINVAL;
        f.problem = "is not a regular file";
        f.fd.reset();
        return f;
    }
    ::fcntl(f.fd.get(), F_SETFL, ::fcntl(f.fd.get(), F_GETFL) & ~O_NONBLOCK);
    return f;
}

bool appendWhole(int fd, std::string_view bytes) {
    // A regular file takes a short line in one write; a short count means
    // the disk said no, and the rest is tried only to learn why.
    size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(n);
    }
    if (done == bytes.size())
        return true;
    struct stat st {};
    if (done > 0 && ::fstat(fd, &st) == 0 && uint64_t(st.st_size) >= done) {
        [[maybe_unused]] int ignored = ::ftruncate(fd, st.st_size - off_t(done));
    }
    errno = error;
    return false;
}

#endif

} // namespace dupmon
