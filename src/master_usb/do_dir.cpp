// The directory walker's thread: counting a source tree, copying it to the
// stick, retrying opens, and clearing FAT attributes that keep a file from
// being replaced.
#include "master_usb/do_dir.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "common/file_io.h"

namespace dupmon {

namespace {

// File attributes as a FAT volume keeps them; other file systems have only
// the permission bits, where "read-only" is the absence of write permission.
constexpr uint32_t kHiddenOrSystem = ATTR_HIDDEN | ATTR_SYS;
// What the kernel copies per call: large enough that a big file costs few
// calls, small enough that a stop request is seen within a moment.
constexpr size_t kKernelChunk = size_t(8) << 20;

bool onFat(int fd) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC;
}

uint32_t fatAttributes(int fd) {
    uint32_t a = 0;
    if (!onFat(fd) || ::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &a) != 0)
        return 0;
    return a;
}

void setFatAttributes(int fd, uint32_t a) {
    if (onFat(fd))
        ::ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &a);
}

int openRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do
        fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// A target with read-only, hidden or system set is not simply overwritten.
bool hasProtectiveAttributes(const std::string& path, const struct stat& st) {
    if ((st.st_mode & 0222) == 0)
        return true;
    const UniqueFd fd(openRetrying(path.c_str(), O_RDONLY | O_NONBLOCK));
    if (!fd)
        return false;
    return (fatAttributes(fd.get()) & (ATTR_RO | kHiddenOrSystem)) != 0;
}

bool clearAttributesAndDelete(const std::string& path) {
    if (const UniqueFd fd{openRetrying(path.c_str(), O_RDONLY | O_NONBLOCK)})
        setFatAttributes(fd.get(), 0);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR);
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

} // namespace

struct DO_DIR::Entry {
    std::string name;
    int number = 0; // as the platform numbers it, from 1
    bool directory = false;
    uint64_t size = 0;
};

DO_DIR::DO_DIR() = default;

DO_DIR::~DO_DIR() {
    stop_.store(true);
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        terminate_.store(true);
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void DO_DIR::setBuffers(uint8_t* copyBuffer, uint8_t* secondBuffer, uint32_t size) {
    copyBuffer_ = copyBuffer;
    secondBuffer_ = secondBuffer;
    bufferSize_ = size;
    mode_.store(MODE_NONE);
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void DO_DIR::resetJob() {
    stop_.store(false);
    error_.store(false);
    countDirs_.store(0);
    countFiles_.store(0);
    countBytes_.store(0);
    count2G_.store(0);
    count4G_.store(0);
    copyDirs_.store(0);
    copyFiles_.store(0);
    copyBytes_.store(0);
    depth_ = 0;
    failedSourceDir_.clear();
    failedTargetDir_.clear();
    uncreatedDir_.clear();
}

bool DO_DIR::startCount(const std::string& root) {
    if (!isIdle() || !thread_.joinable())
        return false;
    resetJob();
    countRoot_ = root;
    mode_.store(MODE_COUNT);
    // The mode and the root are in place before the thread can see a busy walker.
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        idle_.store(false, std::memory_order_release);
    }
    wake_.notify_all();
    return true;
}

bool DO_DIR::startCopy(const std::string& sourceRoot, const std::string& targetRoot) {
    if (!isIdle() || !thread_.joinable())
        return false;
    resetJob();
    copySourceRoot_ = sourceRoot;
    copyTargetRoot_ = targetRoot;
    mode_.store(MODE_COPY);
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        idle_.store(false, std::memory_order_release);
    }
    wake_.notify_all();
    return true;
}

void DO_DIR::run() {
    for (;;) {
        {
            // Waits for a job rather than looking every millisecond, so an
            // idle walker costs nothing.
            std::unique_lock<std::mutex> lock(wakeMutex_);
            wake_.wait(lock, [this] {
                return terminate_.load() || !idle_.load(std::memory_order_acquire);
            });
            if (terminate_.load())
                return;
        }
        switch (mode_.load()) {
        case MODE_COUNT:
            countTree(countRoot_, 0);
            break;
        case MODE_COPY:
            copyTree(copySourceRoot_, copyTargetRoot_, 0);
            break;
        default:
            break;
        }
        idle_.store(true, std::memory_order_release);
    }
}

void DO_DIR::pause(int ms) const {
    if (sleep_)
        sleep_(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool DO_DIR::isVolumeRoot(const std::string& dir) {
    struct stat self {
    }, parent{};
    if (::stat(dir.c_str(), &self) != 0 || ::stat((dir + "/..").c_str(), &parent) != 0)
        return false;
    return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

bool DO_DIR::listDirectory(const std::string& path, std::vector<Entry>& out) const {
    out.clear();
    DIR* d = ::opendir(path.c_str());
    if (!d)
        return false;
    // The platform lists the directory itself and its parent first, as
    // entries 1 and 2, except at the root of a volume.
    const bool root = volumeRootProbe_ ? volumeRootProbe_(path) : isVolumeRoot(path);
    int number = root ? 0 : 2;
    const int dfd = ::dirfd(d);
    while (struct dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        Entry entry;
        entry.name = e->d_name;
        entry.number = ++number;
        struct stat st {};
        if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            // A link to a file is copied as the file; a link to a directory
            // is left out, since it may lead back into the tree.
            if (::fstatat(dfd, e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
                continue;
        }
        if (S_ISDIR(st.st_mode)) {
            entry.directory = true;
        } else if (S_ISREG(st.st_mode)) {
            entry.size = uint64_t(st.st_size);
        } else {
            continue; // devices, pipes and sockets are not files to copy
        }
        out.push_back(std::move(entry));
    }
    ::closedir(d);
    return true;
}

namespace {
bool dotRuleSkips(int number, const std::string& name) {
    return (number == 1 || number == 2) && !name.empty() && name[0] == '.';
}
} // namespace

void DO_DIR::countTree(const std::string& path, int depth) {
    // 1. A failed job ends every recursion at once.
    if (error_.load())
        return;
    // 2. List the directory.
    std::vector<Entry> entries;
    if (!listDirectory(path, entries)) {
        failedSourceDir_ = path;
        error_.store(true, std::memory_order_release);
        return;
    }
    // 3. Count each entry; a stop (the program ending) ends the count too.
    for (const Entry& e : entries) {
        if (stop_.load(std::memory_order_relaxed))
            return;
        hook(HookPoint::EntryStart, path + "/" + e.name);
        if (e.directory) {
            if (dotRuleSkips(e.number, e.name))
                continue;
            depth_ = depth + 1;
            countTree(path + "/" + e.name, depth + 1);
            countDirs_.fetch_add(1, std::memory_order_relaxed);
        } else {
            countFiles_.fetch_add(1, std::memory_order_relaxed);
            countBytes_.fetch_add(e.size, std::memory_order_relaxed);
            if (e.size >= k2GiB)
                count2G_.fetch_add(1, std::memory_order_relaxed);
            if (e.size >= k4GiB)
                count4G_.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

bool DO_DIR::copyTree(const std::string& source, const std::string& target, int depth) {
    // 1. A failed job ends every recursion at once.
    if (error_.load())
        return false;
    // 2. A source directory that cannot be listed is passed over.
    std::vector<Entry> entries;
    if (!listDirectory(source, entries))
        return true;
    // 3. Copy each entry; 4. while no stop is requested.
    for (const Entry& e : entries) {
        const std::string sourceChild = source + "/" + e.name;
        const std::string targetChild = target + "/" + e.name;
        hook(HookPoint::EntryStart, sourceChild);
        if (e.directory) {
            if (!dotRuleSkips(e.number, e.name)) {
                struct stat st {};
                if (::stat(targetChild.c_str(), &st) != 0 &&
                    ::mkdir(targetChild.c_str(), 0777) != 0) {
                    uncreatedDir_ = targetChild;
                    error_.store(true, std::memory_order_release);
                    return false;
                }
                depth_ = depth + 1;
                if (!copyTree(sourceChild, targetChild, depth + 1)) {
                    error_.store(true, std::memory_order_release);
                    return false;
                }
                copyDirs_.fetch_add(1, std::memory_order_relaxed);
            }
        } else {
            if (!copyFile(sourceChild, targetChild, e.size)) {
                failedSourceDir_ = source;
                failedTargetDir_ = target;
                error_.store(true, std::memory_order_release);
                return false;
            }
            copyFiles_.fetch_add(1, std::memory_order_relaxed);
        }
        hook(HookPoint::EntryDone, sourceChild);
        if (stop_.load(std::memory_order_relaxed))
            break;
    }
    return true;
}

bool DO_DIR::copyFile(const std::string& source, const std::string& target, uint64_t size) {
    // 1. A protected target is cleared and deleted first (three attempts).
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        hasProtectiveAttributes(target, existing)) {
        bool gone = false;
        for (int attempt = 0; attempt < 3 && !gone; ++attempt)
            gone = clearAttributesAndDelete(target);
        if (!gone)
            return false;
    }
    // 2. Open the source; one more try after 200 ms.
    UniqueFd in(openRetrying(source.c_str(), O_RDONLY));
    if (!in) {
        pause(200);
        in.reset(openRetrying(source.c_str(), O_RDONLY));
        if (!in)
            return false;
    }
    // 3. Create the target, replacing what is there; one more try after 200 ms.
    const int outFlags = O_WRONLY | O_CREAT | O_TRUNC;
    UniqueFd out(openRetrying(target.c_str(), outFlags, 0666));
    if (!out) {
        pause(200);
        out.reset(openRetrying(target.c_str(), outFlags, 0666));
        if (!out)
            return false;
    }
    hook(HookPoint::SourceOpened, source);
    struct stat src {};
    const bool haveStat = ::fstat(in.get(), &src) == 0;

    // 5. Copy a buffer load at a time until the source ends. Where the
    // kernel can copy between the two files itself the data does not pass
    // through the buffer; otherwise (another file system, no support) it does.
    bool ok = true;
    uint64_t copied = 0;
    bool inKernel = true;
    for (;;) {
        ssize_t n;
        if (inKernel) {
            do
                n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, kKernelChunk, 0);
            while (n < 0 && errno == EINTR);
            if (n < 0 && copied == 0 &&
                (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                 errno == EBADF)) {
                inKernel = false;
                continue;
            }
        } else {
            do
                n = ::read(in.get(), copyBuffer_, bufferSize_);
            while (n < 0 && errno == EINTR);
            if (n > 0) {
                ssize_t w;
                do
                    w = ::write(out.get(), copyBuffer_, size_t(n));
                while (w < 0 && errno == EINTR);
                if (w != n)
                    n = -1; // a write error or a short write
            }
        }
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            ok = copied >= size; // shorter than listed: the file changed under us
            break;
        }
        copied += uint64_t(n);
        copyBytes_.fetch_add(uint64_t(n), std::memory_order_relaxed);
        if (stop_.load(std::memory_order_relaxed)) {
            ok = false;
            break;
        }
    }
    // 4. The source's times, set once the data is written: on this platform a
    // later write would move the modification time again.
    if (ok && haveStat) {
        const struct timespec times[2] = {src.st_atim, src.st_mtim};
        ::futimens(out.get(), times);
    }
    // FAT attributes, asked only of a source on FAT (one look per file system).
    if (haveStat && src.st_dev != lastSourceDev_) {
        lastSourceDev_ = src.st_dev;
        lastSourceOnFat_ = onFat(in.get());
    }
    const uint32_t fatAttrs = ok && lastSourceOnFat_ ? fatAttributes(in.get()) : 0;
    if (ok && haveStat)
        ::fchmod(out.get(), src.st_mode & 07777); // the source's attributes
    // 6. Close both; a failed close means the data may not have reached the target.
    in.reset();
    if (out.close() != 0)
        ok = false;
    if (ok) {
        if (fatAttrs & kHiddenOrSystem) {
            if (const UniqueFd fd{openRetrying(target.c_str(), O_RDONLY | O_NONBLOCK)})
                setFatAttributes(fd.get(), fatAttrs & (kHiddenOrSystem | ATTR_RO | ATTR_ARCH));
        }
        return true;
    }
    pause(500);
    clearAttributesAndDelete(target);
    return false;
}

} // namespace dupmon
