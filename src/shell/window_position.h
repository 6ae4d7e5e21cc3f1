#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace dupmon {

struct WindowRect {
    int top = 0, left = 0, width = 0, height = 0;
    bool operator==(const WindowRect&) const = default;
};

// The main window's parameter file "brellock_linker.QZ9": an identifying
// first line, then "%d %d %d %d \n" of top, left, width and height.
inline constexpr const char* kMainWindowParameterFile = "brellock_linker.QZ9";

// The position from the file's text, when its second line holds four numbers.
std::optional<WindowRect> parseWindowPosition(const std::string& fileText);
// The same from the file: only its first two lines are read, each up to 1023
// characters, so a huge file costs nothing.
std::optional<WindowRect> readWindowPosition(const std::filesystem::path& file);
std::string formatWindowPosition(const WindowRect& r);
// Writes the file whole at program end; false when it could not be written
// (a pipe or a link at its name is left as it is).
bool saveWindowPosition(const std::filesystem::path& file, const WindowRect& r);
// 600 x 350, each cut to the screen, centred on it.
WindowRect defaultMainWindowRect(int screenWidth, int screenHeight);
// The rectangle moved, and where it must be shrunk, so that it lies wholly in
// the area (a screen's free area): a window is never opened partly off screen.
WindowRect fitIntoArea(WindowRect r, const WindowRect& area);

} // namespace dupmon
