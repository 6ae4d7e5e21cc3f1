// Runs a fuzz target without libFuzzer, as an ordinary test of every build:
// each seed file as it is, then variants of it made by a fixed-seed random
// generator (bits flipped, bytes set, cut, inserted, repeated), then random
// texts for a target without seeds. The same inputs on every run, so a
// failure is found again by running the test again; a crash, a sanitizer
// report or a trap fails it.
//
//   fuzz_<name>_replay [SEEDS_FOLDER_OR_FILE ...]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr int kVariantsPerSeed = 300;
constexpr int kRandomInputs = 2000;
constexpr size_t kLongest = 4096;

void run(const Bytes& input) {
    // A copy of exactly the input's size, so that AddressSanitizer sees a
    // read past its end.
    const std::unique_ptr<uint8_t[]> data(new uint8_t[input.size() + (input.empty() ? 1 : 0)]);
    std::copy(input.begin(), input.end(), data.get());
    LLVMFuzzerTestOneInput(data.get(), input.size());
}

Bytes mutated(Bytes b, std::mt19937& rng) {
    auto below = [&](size_t n) { return n == 0 ? size_t(0) : size_t(rng() % n); };
    const int steps = 1 + int(rng() % 4);
    for (int i = 0; i < steps; ++i) {
        switch (rng() % 7) {
        case 0: // flip a bit
            if (!b.empty())
                b[below(b.size())] ^= uint8_t(1u << (rng() % 8));
            break;
        case 1: { // set a byte to a value that tends to matter
            static constexpr uint8_t kValues[] = {0x00, 0x01, 0x7f, 0x80, 0xfe, 0xff, '#', '@'};
            if (!b.empty())
                b[below(b.size())] = kValues[rng() % std::size(kValues)];
            break;
        }
        case 2: // cut the tail
            b.resize(below(b.size() + 1));
            break;
        case 3: { // remove a stretch
            const size_t at = below(b.size() + 1);
            const size_t n = std::min(b.size() - at, below(16) + 1);
            b.erase(b.begin() + long(at), b.begin() + long(at + n));
            break;
        }
        case 4: { // insert random bytes
            const size_t at = below(b.size() + 1);
            Bytes extra(below(16) + 1);
            for (uint8_t& x : extra)
                x = uint8_t(rng());
            b.insert(b.begin() + long(at), extra.begin(), extra.end());
            break;
        }
        case 5: { // repeat a stretch
            if (b.empty())
                break;
            const size_t at = below(b.size());
            const size_t n = std::min(b.size() - at, below(64) + 1);
            const Bytes piece(b.begin() + long(at), b.begin() + long(at + n));
            b.insert(b.begin() + long(below(b.size() + 1)), piece.begin(), piece.end());
            break;
        }
        default: // a random byte anywhere
            if (!b.empty())
                b[below(b.size())] = uint8_t(rng());
            break;
        }
    }
    if (b.size() > kLongest)
        b.resize(kLongest);
    return b;
}

bool readFile(const fs::path& p, Bytes& out) {
    std::ifstream in(p, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> seeds;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto& e : fs::directory_iterator(argv[i]))
                if (e.is_regular_file())
                    seeds.push_back(e.path());
        } else if (fs::is_regular_file(argv[i], ec)) {
            seeds.emplace_back(argv[i]);
        } else {
            std::fprintf(stderr, "no seed at %s\n", argv[i]);
            return 2;
        }
    }
    // Directory order differs between file systems: the inputs must not.
    std::sort(seeds.begin(), seeds.end());

    std::mt19937 rng(20261211);
    long inputs = 0;
    for (const fs::path& seed : seeds) {
        Bytes b;
        if (!readFile(seed, b)) {
            std::fprintf(stderr, "cannot read %s\n", seed.c_str());
            return 2;
        }
        run(b);
        ++inputs;
        for (int v = 0; v < kVariantsPerSeed; ++v, ++inputs)
            run(mutated(b, rng));
    }
    for (int r = 0; r < kRandomInputs; ++r, ++inputs) {
        Bytes b(rng() % 257);
        for (uint8_t& x : b)
            x = uint8_t(rng());
        run(b);
    }
    std::printf("%ld inputs from %zu seeds ran\n", inputs, seeds.size());
    return 0;
}
