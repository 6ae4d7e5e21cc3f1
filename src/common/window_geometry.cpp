// The arithmetic of window rectangles: frames, fits, centring and cascades.
#include "common/window_geometry.h"

#include <algorithm>

namespace dupmon {

WindowRect grownBy(const WindowRect& r, const FrameMargins& m) {
    return {r.top - m.top, r.left - m.left, r.width + m.left + m.right,
            r.height + m.top + m.bottom};
}

WindowRect shrunkBy(const WindowRect& r, const FrameMargins& m) {
    return {r.top + m.top, r.left + m.left, r.width - m.left - m.right,
            r.height - m.top - m.bottom};
}

WindowRect fitToScreen(WindowRect r, const WindowRect& area) {
    r.width = std::min(r.width, area.width);
    r.height = std::min(r.height, area.height);
    r.left = std::clamp(r.left, area.left, std::max(area.left, area.right() - r.width));
    r.top = std::clamp(r.top, area.top, std::max(area.top, area.bottom() - r.height));
    return r;
}

int centredPosition(int windowSize, int screenSize) {
    return windowSize < screenSize ? (screenSize - windowSize) / 2 : 0;
}

WindowRect centredInArea(WindowSize size, const WindowRect& area) {
    WindowRect r;
    r.width = std::min(size.width, area.width);
    r.height = std::min(size.height, area.height);
    r.left = area.left + centredPosition(r.width, area.width);
    r.top = area.top + centredPosition(r.height, area.height);
    return r;
}

WindowSize sizeWithin(WindowSize want, const WindowRect& area, WindowSize spare) {
    return {std::min(want.width, area.width - spare.width),
            std::min(want.height, area.height - spare.height)};
}

namespace {

// One axis of cascadedWindow: the size (made smaller where the area leaves
// too little room) and the offset from the area's start.
void cascadeAxis(int& size, int& offset, int area, int k) {
    size = std::max(1, std::min(size, area));
    if (k > 0) {
        const int room = std::min(k, 3) * kCascadeStep;
        if (area - size < room)
            size = std::max(1, area - room);
    }
    const int free = area - size;
    offset = free / 2 + k * kCascadeStep;
    if (offset > free)
        offset = (k * kCascadeStep) % (free + 1);
}

} // namespace

WindowRect cascadedWindow(WindowSize size, const WindowRect& area, int k) {
    WindowRect r;
    int x = 0, y = 0;
    r.width = size.width;
    r.height = size.height;
    cascadeAxis(r.width, x, area.width, k);
    cascadeAxis(r.height, y, area.height, k);
    r.left = area.left + x;
    r.top = area.top + y;
    return r;
}

} // namespace dupmon
