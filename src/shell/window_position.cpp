#include "shell/window_position.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "common/file_io.h"
#include "common/text.h"
#include "common/version.h"

namespace dupmon {

namespace {

std::optional<WindowRect> positionLine(const std::string& second) {
    WindowRect r;
    if (std::sscanf(second.c_str(), "%d %d %d %d", &r.top, &r.left, &r.width, &r.height) != 4)
        return std::nullopt;
    return r;
}

} // namespace

std::optional<WindowRect> parseWindowPosition(const std::string& fileText) {
    std::istringstream in(fileText);
    std::string first, second;
    if (!std::getline(in, first) || !std::getline(in, second))
        return std::nullopt;
    if (second.size() > 1024)
        second.resize(1024);
    return positionLine(second);
}

std::optional<WindowRect> readWindowPosition(const std::filesystem::path& file) {
    const std::vector<std::string> lines = readTextLines(file, 2);
    if (lines.size() < 2)
        return std::nullopt;
    return positionLine(lines[1]);
}

std::string formatWindowPosition(const WindowRect& r) {
    return format("%s Ver:%s %s %s\n", kModelString, kProgramVersion, kBuildDate, kNoticeText) +
           format("%d %d %d %d \n", r.top, r.left, r.width, r.height);
}

bool saveWindowPosition(const std::filesystem::path& file, const WindowRect& r) {
    return bool(writeWholeFile(file, formatWindowPosition(r)));
}

WindowRect defaultMainWindowRect(int screenWidth, int screenHeight) {
    WindowRect r;
    r.width = std::min(600, screenWidth);
    r.height = std::min(350, screenHeight);
    r.left = (screenWidth - r.width) / 2;
    r.top = (screenHeight - r.height) / 2;
    return r;
}

WindowRect fitIntoArea(WindowRect r, const WindowRect& area) {
    r.width = std::min(r.width, area.width);
    r.height = std::min(r.height, area.height);
    r.left = std::clamp(r.left, area.left, area.left + area.width - r.width);
    r.top = std::clamp(r.top, area.top, area.top + area.height - r.height);
    return r;
}

} // namespace dupmon
