// Checking the source folder before the stick is touched: that it exists, can
// be read throughout, and what it holds.
#include "master_usb/source_check.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/file_io.h"

namespace dupmon {

namespace {

std::string because(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

} // namespace

SourceProblem checkSourceTree(const std::string& root, SourceSummary& out, std::string& detail,
                              const std::atomic<bool>* stop) {
    out = SourceSummary{};
    detail.clear();
    if (root.empty()) {
        detail = "No source folder is chosen: choose one with Select Target Directory.";
        return SourceProblem::NotChosen;
    }
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0) {
        const int err = errno;
        detail = because("cannot find", root, err);
        return err == ENOENT || err == ENOTDIR ? SourceProblem::Missing : SourceProblem::Unreadable;
    }
    if (!S_ISDIR(st.st_mode)) {
        detail = root + " is not a folder.";
        return SourceProblem::NotAFolder;
    }
    std::vector<std::string> folders{root};
    while (!folders.empty()) {
        const std::string folder = std::move(folders.back());
        folders.pop_back();
        DIR* d = ::opendir(folder.c_str());
        if (!d) {
            detail = because("cannot list", folder, errno);
            return SourceProblem::Unreadable;
        }
        const int dfd = ::dirfd(d);
        SourceProblem problem = SourceProblem::None;
        for (;;) {
            errno = 0;
            const struct dirent* e = ::readdir(d);
            if (!e) {
                if (errno != 0) {
                    detail = because("cannot list", folder, errno);
                    problem = SourceProblem::Unreadable;
                }
                break;
            }
            if (stop && stop->load(std::memory_order_relaxed)) {
                problem = SourceProblem::Stopped;
                break;
            }
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            const std::string path = folder + "/" + e->d_name;
            struct stat es {};
            if (::fstatat(dfd, e->d_name, &es, AT_SYMLINK_NOFOLLOW) != 0) {
                detail = because("cannot read", path, errno);
                problem = SourceProblem::Unreadable;
                break;
            }
            if (S_ISLNK(es.st_mode) &&
                (::fstatat(dfd, e->d_name, &es, 0) != 0 || !S_ISREG(es.st_mode)))
                continue; // the walker leaves it out too
            if (S_ISDIR(es.st_mode)) {
                ++out.directories;
                folders.push_back(path);
            } else if (S_ISREG(es.st_mode)) {
                // O_NONBLOCK: a file that is not what it says never holds the check.
                const UniqueFd fd(::openat(dfd, e->d_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
                if (!fd) {
                    detail = because("cannot read", path, errno);
                    problem = SourceProblem::Unreadable;
                    break;
                }
                ++out.files;
                out.bytes += uint64_t(es.st_size);
                if (uint64_t(es.st_size) >= 4294967296ull && out.files4GiB++ == 0)
                    out.first4GiB = path;
            }
        }
        ::closedir(d);
        if (problem != SourceProblem::None)
            return problem;
    }
    if (out.files == 0) {
        detail = root + " holds no files: the master stick would be left empty.";
        return SourceProblem::Empty;
    }
    return SourceProblem::None;
}

} // namespace dupmon
