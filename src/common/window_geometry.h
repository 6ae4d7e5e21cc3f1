// Window rectangles on a screen, and the arithmetic every window uses to keep
// itself on screen: cut to the free area, centred, cascaded. Plain integers,
// no Qt: the windows convert their rectangles once, at the edge.
#pragma once

namespace dupmon {

// A window's frame, a window's inside, or a screen's free area, in pixels.
// The members run in the order the position files keep them.
struct WindowRect {
    int top = 0, left = 0, width = 0, height = 0;
    int right() const { return left + width; } // one past the last column
    int bottom() const { return top + height; }
    bool contains(const WindowRect& r) const {
        return r.left >= left && r.top >= top && r.right() <= right() && r.bottom() <= bottom();
    }
    bool operator==(const WindowRect&) const = default;
};

struct WindowSize {
    int width = 0, height = 0;
    bool operator==(const WindowSize&) const = default;
};

// The desktop's frame around a window's inside. Until the desktop has framed
// a window its frame is taken as a usual title bar and border.
struct FrameMargins {
    int left = 4, top = 30, right = 4, bottom = 4;
    bool operator==(const FrameMargins&) const = default;
};
WindowRect grownBy(const WindowRect& inside, const FrameMargins& m);
WindowRect shrunkBy(const WindowRect& frame, const FrameMargins& m);

// Where a free area is unknown (no screen), the windows assume this one.
inline constexpr WindowRect kFallbackScreen{0, 0, 1024, 768};

// The one fit to the screen: the frame made no larger than the area and moved
// the least so that it lies wholly in it. A frame that fits is returned as it is.
WindowRect fitToScreen(WindowRect frame, const WindowRect& area);

// Centred in a screen of the given size, or at 0 when it does not fit.
int centredPosition(int windowSize, int screenSize);
// A window of `size`, cut to the area, centred in it.
WindowRect centredInArea(WindowSize size, const WindowRect& area);
// `want` cut so that `spare` pixels of the area stay free beside and below it.
WindowSize sizeWithin(WindowSize want, const WindowRect& area, WindowSize spare = {});

// The frame of the k-th new machine window (k from 0) of this size in the
// free area: the first centred, each further one kCascadeStep down and right
// of the one before; one that would leave the area starts again near its
// top-left corner. A window too large to stand apart from the others is made
// smaller by up to three steps. Always wholly inside the area.
inline constexpr int kCascadeStep = 28;
WindowRect cascadedWindow(WindowSize size, const WindowRect& area, int k);

} // namespace dupmon
