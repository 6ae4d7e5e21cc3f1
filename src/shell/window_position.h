// The main window's position file "brellock_linker.QZ9": a line that names
// the program, then "%d %d %d %d \n" of top, left, width and height (a
// position file as common/position_file.h reads and writes them).
#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "common/window_geometry.h"

namespace dupmon {

inline constexpr const char* kMainWindowParameterFile = "brellock_linker.QZ9";

// Whatever its first line says, the second line is the position.
std::optional<WindowRect> readWindowPosition(const std::filesystem::path& file);
std::string formatWindowPosition(const WindowRect& r);
// Writes the file whole at program end; false when it could not be written
// (a pipe or a link at its name is left as it is).
bool saveWindowPosition(const std::filesystem::path& file, const WindowRect& r);
// 600 x 350, each cut to the screen's free area, centred on it.
inline constexpr WindowSize kMainWindowSize{600, 350};

} // namespace dupmon
