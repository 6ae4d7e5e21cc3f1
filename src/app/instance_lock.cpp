// The lock files of the single-instance rule: a private runtime folder, one
// flock()ed file per working folder, USB bus or simulator, and the holder's
// pid and description inside it.
#include "app/instance_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dupmon {

namespace fs = std::filesystem;

namespace {

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777);
    return text;
}

// FNV-1a: a stable name for a path that may be longer than a file name.
std::string pathKey(const std::string& path) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : path) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
    return text;
}

// Makes `dir` with mode 0700 unless it exists, then checks that it is private.
bool makePrivateFolder(const fs::path& dir, std::string& error) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = dir.string() + ": cannot make the folder: " + std::strerror(errno);
        return false;
    }
    std::string why;
    if (!isPrivateFolder(dir, why)) {
        error = dir.string() + ": " + why;
        return false;
    }
    return true;
}

} // namespace

bool isPrivateFolder(const fs::path& dir, std::string& why) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        why = "is a symbolic link, not a folder of this user";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = "is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        why = "belongs to user id " + std::to_string(st.st_uid) + ", not to this user (" +
              std::to_string(::geteuid()) + ")";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        why = "is open to other users (mode " + octal(st.st_mode) + ", must be 0700)";
        return false;
    }
    return true;
}

fs::path privateRuntimeDir(std::string& error) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        const fs::path base(runtime);
        std::string why;
        if (!base.is_absolute() || !isPrivateFolder(base, why)) {
            error = "XDG_RUNTIME_DIR " + base.string() + ": " +
                    (why.empty() ? std::string("is not an absolute path") : why);
            return {};
        }
        const fs::path dir = base / "duplicator-monitor";
        return makePrivateFolder(dir, error) ? dir : fs::path();
    }
    std::error_code ec;
    fs::path temp = fs::temp_directory_path(ec);
    if (ec)
        temp = "/tmp";
    const fs::path dir = temp / ("duplicator-monitor-" + std::to_string(::geteuid()));
    return makePrivateFolder(dir, error) ? dir : fs::path();
}

InstanceClaim InstanceClaim::workingFolder(const fs::path& dir) {
    struct stat st {};
    std::string key;
    if (::stat(dir.c_str(), &st) == 0)
        key = "folder-" + std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino);
    else
        key = "folder-" + pathKey(fs::absolute(dir).lexically_normal().string());
    return {key, "the working folder " + dir.string()};
}

InstanceClaim InstanceClaim::usbBus() {
    return {"usb", "the USB bus"};
}

InstanceClaim InstanceClaim::simulator(const std::string& socketPath) {
    std::error_code ec;
    fs::path path = fs::weakly_canonical(fs::absolute(socketPath), ec);
    if (ec)
        path = fs::absolute(socketPath).lexically_normal();
    return {"simulator-" + pathKey(path.string()), "the simulator at " + path.string()};
}

InstanceLock::~InstanceLock() {
    release();
}

void InstanceLock::release() {
    fds_.clear();
}

InstanceLock::Result InstanceLock::acquire(const fs::path& dir,
                                           const std::vector<InstanceClaim>& claims,
                                           const std::string& description, Holder& holder,
                                           std::string& error) {
    release();
    for (const InstanceClaim& claim : claims) {
        const fs::path file = dir / (claim.key + ".lock");
        UniqueFd lock(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        const int fd = lock.get();
        if (!lock) {
            error = file.string() + ": " + std::strerror(errno);
            release();
            return Result::Failed;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
            error = file.string() + ": not a lock file of this user";
            release();
            return Result::Failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            if (e != EWOULDBLOCK) {
                error = file.string() + ": cannot lock: " + std::strerror(e);
                release();
                return Result::Failed;
            }
            // Held by another monitor: read who (it writes right after locking).
            char text[4096] = {};
            const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
            lock.reset();
            release();
            holder = {};
            holder.what = claim.what;
            if (n > 0) {
                const std::string s(text, size_t(n));
                holder.pid = std::strtol(s.c_str(), nullptr, 10);
                const size_t nl = s.find('\n');
                if (nl != std::string::npos)
                    holder.description = s.substr(nl + 1, s.find('\n', nl + 1) - nl - 1);
            }
            return Result::Taken;
        }
        // A lock without its note still holds; a later start just cannot name us.
        const std::string text = std::to_string(::getpid()) + "\n" + description + "\n";
        if (::ftruncate(fd, 0) == 0) {
            [[maybe_unused]] const ssize_t n = ::pwrite(fd, text.data(), text.size(), 0);
        }
        fds_.push_back(std::move(lock));
    }
    return Result::Held;
}

} // namespace dupmon
