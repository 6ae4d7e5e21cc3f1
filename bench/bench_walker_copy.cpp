// Copy speed of the directory walker against `cp -r` of the same tree on the
// same file system: many small files and a few large ones. Prints both
// speeds and their ratio (walker / cp; 1.0 means as fast).
//
//   bench_walker_copy [--small N] [--large N] [--large-mib N] [--rounds N] [--dir DIR]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "master_usb/do_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double runCp(const fs::path& from, const fs::path& to) {
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl("/bin/cp", "cp", "-r", from.c_str(), to.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    const auto end = Clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "cp -r failed\n");
        std::exit(1);
    }
    return seconds(start, end);
}

double runWalker(DO_DIR& walker, const fs::path& from, const fs::path& to) {
    // The walker copies into an existing target root, as onto a stick's root.
    fs::create_directories(to);
    const auto start = Clock::now();
    walker.startCopy(from.string(), to.string());
    while (!walker.isIdle())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    const auto end = Clock::now();
    if (walker.hasFailed()) {
        std::fprintf(stderr, "walker copy failed in %s\n", walker.failedSourceDirectory().c_str());
        std::exit(1);
    }
    return seconds(start, end);
}

} // namespace

int main(int argc, char** argv) {
    int small = 3000, large = 4, largeMiB = 48, rounds = 5;
    fs::path base = fs::temp_directory_path();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--small")
            small = std::atoi(argv[i + 1]);
        else if (a == "--large")
            large = std::atoi(argv[i + 1]);
        else if (a == "--large-mib")
            largeMiB = std::atoi(argv[i + 1]);
        else if (a == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (a == "--dir")
            base = argv[i + 1];
    }
    char pattern[] = "bench_walker_XXXXXX";
    const fs::path root = base / pattern;
    std::string rootText = root.string();
    if (!::mkdtemp(rootText.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir(rootText);
    const fs::path src = dir / "src";

    // The tree: small files of 1 to 16 KiB in folders of 100, a few large files.
    std::mt19937 random(20261210);
    std::vector<char> data(size_t(largeMiB) << 20);
    for (auto& c : data)
        c = char(random());
    uint64_t total = 0;
    for (int i = 0; i < small; ++i) {
        const fs::path folder = src / ("set" + std::to_string(i / 100));
        fs::create_directories(folder);
        const size_t n = 1024 + random() % (15 * 1024);
        std::ofstream(folder / ("file" + std::to_string(i) + ".dat"), std::ios::binary)
            .write(data.data() + (i % 1000), std::streamsize(n));
        total += n;
    }
    fs::create_directories(src / "images");
    for (int i = 0; i < large; ++i) {
        std::ofstream(src / "images" / ("large" + std::to_string(i) + ".img"), std::ios::binary)
            .write(data.data(), std::streamsize(data.size()));
        total += data.size();
    }
    std::printf("tree: %d small files, %d files of %d MiB, %.1f MiB in all, under %s\n", small,
                large, largeMiB, double(total) / 1048576.0, dir.c_str());

    std::vector<uint8_t> buffer(131072), second(131072);
    DO_DIR walker;
    walker.setBuffers(buffer.data(), second.data(), uint32_t(buffer.size()));
    // One warm-up of each so both read from the page cache.
    runCp(src, dir / "warm-cp");
    runWalker(walker, src, dir / "warm-walker");
    fs::remove_all(dir / "warm-cp");
    fs::remove_all(dir / "warm-walker");

    double bestCp = 1e9, bestWalker = 1e9;
    for (int r = 0; r < rounds; ++r) {
        const double c = runCp(src, dir / "cp");
        ::sync();
        const double w = runWalker(walker, src, dir / "walker");
        ::sync();
        std::printf("round %d: cp -r %.3f s, walker %.3f s\n", r + 1, c, w);
        bestCp = std::min(bestCp, c);
        bestWalker = std::min(bestWalker, w);
        fs::remove_all(dir / "cp");
        fs::remove_all(dir / "walker");
        ::sync();
    }
    const double mib = double(total) / 1048576.0;
    std::printf("best: cp -r %.1f MiB/s, walker %.1f MiB/s\n", mib / bestCp, mib / bestWalker);
    std::printf("walker / cp -r speed ratio: %.3f (target >= 0.95)\n", bestCp / bestWalker);
    fs::remove_all(dir);
    return 0;
}
