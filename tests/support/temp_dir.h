#pragma once
// A fresh folder for one test, removed with everything in it when the test is
// done. Made with mkdtemp, so that no name can be planted ahead of it.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace dupmon::test {

class TempDir {
public:
    // "<prefix>-XXXXXX" under the temporary folder (TMPDIR, else /tmp).
    explicit TempDir(const std::string& prefix = "dupmon") : TempDir(temporaryFolder(), prefix) {}
    // The same under `base`: a test that needs a folder another user can
    // reach chooses where it goes.
    TempDir(const std::filesystem::path& base, const std::string& prefix) {
        std::string pattern = (base / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()))
            path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // False when no folder could be made.
    explicit operator bool() const { return !path.empty(); }
    // A name in the folder, as the text a program is given.
    std::string operator/(const std::string& name) const { return path.string() + "/" + name; }
    // Hands the folder over: it is no longer removed.
    std::filesystem::path release() {
        std::filesystem::path kept;
        kept.swap(path);
        return kept;
    }

    std::filesystem::path path; // empty when no folder could be made

private:
    static std::filesystem::path temporaryFolder() {
        std::error_code ec;
        const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        return ec ? std::filesystem::path("/tmp") : base;
    }
};

} // namespace dupmon::test
