#pragma once
// Pictures of windows from the offscreen widget tests, for a reviewer to
// look at: into $DUPMON_SCREENSHOT_DIR when it is set, else into the
// "screenshots" folder of the build tree.
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace dupmon::test {

inline std::filesystem::path screenshotDir() {
    if (const char* dir = std::getenv("DUPMON_SCREENSHOT_DIR"); dir && *dir)
        return dir;
#ifdef DUPMON_DEFAULT_SCREENSHOT_DIR
    return DUPMON_DEFAULT_SCREENSHOT_DIR;
#else
    return std::filesystem::temp_directory_path() / "dupmon-screenshots";
#endif
}

// Writes `name` (a .png file name) and returns where; empty when it failed.
inline std::filesystem::path saveScreenshot(QWidget* w, const std::string& name) {
    const std::filesystem::path dir = screenshotDir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::filesystem::path file = dir / name;
    return w->grab().save(QString::fromStdString(file.string())) ? file : std::filesystem::path();
}

} // namespace dupmon::test
