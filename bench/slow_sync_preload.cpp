// A disk whose syncs are slow, for the benchmarks that run the real programs:
// preloaded (LD_PRELOAD=libdupmon_slow_sync.so), it makes every fdatasync and
// fsync of the program wait DUPMON_SLOW_SYNC_MS milliseconds (200 when unset)
// before the real one. In-process benchmarks slow the sync worker instead:
// slots.syncWorker().setSyncFunction(...).
#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using SyncFn = int (*)(int);

void waitLikeASlowDisk() {
    static const long ms = [] {
        const char* v = std::getenv("DUPMON_SLOW_SYNC_MS");
        return v && *v ? std::strtol(v, nullptr, 10) : 200L;
    }();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

extern "C" int fdatasync(int fd) {
    static const auto real = reinterpret_cast<SyncFn>(::dlsym(RTLD_NEXT, "fdatasync"));
    waitLikeASlowDisk();
    return real(fd);
}

extern "C" int fsync(int fd) {
    static const auto real = reinterpret_cast<SyncFn>(::dlsym(RTLD_NEXT, "fsync"));
    waitLikeASlowDisk();
    return real(fd);
}
