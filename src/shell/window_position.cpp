#include "shell/window_position.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "common/text.h"
#include "common/version.h"

namespace dupmon {

std::optional<WindowRect> parseWindowPosition(const std::string& fileText) {
    std::istringstream in(fileText);
    std::string first, second;
    if (!std::getline(in, first) || !std::getline(in, second))
        return std::nullopt;
    if (second.size() > 1024)
        second.resize(1024);
    WindowRect r;
    if (std::sscanf(second.c_str(), "%d %d %d %d", &r.top, &r.left, &r.width, &r.height) != 4)
        return std::nullopt;
    return r;
}

std::string formatWindowPosition(const WindowRect& r) {
    return format("%s Ver:%s %s %s\n", kModelString, kProgramVersion, kBuildDate, kNoticeText) +
           format("%d %d %d %d \n", r.top, r.left, r.width, r.height);
}

WindowRect defaultMainWindowRect(int screenWidth, int screenHeight) {
    WindowRect r;
    r.width = std::min(600, screenWidth);
    r.height = std::min(350, screenHeight);
    r.left = (screenWidth - r.width) / 2;
    r.top = (screenHeight - r.height) / 2;
    return r;
}

} // namespace dupmon
