// The window position files: where a window was when it closed, so that it
// opens there again. Every such file has two lines:
//   line 1  whose position it is (a machine id, or the program's name line)
//   line 2  "%d %d %d %d \n"  top, left, width, height
#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "common/window_geometry.h"

namespace dupmon {

// Only the first kPositionFileReadLimit bytes of a file are read: the two
// lines are short, and a file of any size opens at once.
inline constexpr size_t kPositionFileReadLimit = 4096;

// The file's bytes: `firstLine` (without its line end), then the position.
std::string formatPositionFile(std::string_view firstLine, const WindowRect& r);

// The position, when line 2 starts with four integers that fit an int and,
// where `owner` is given, the first word of line 1 is that (non-empty) owner.
std::optional<WindowRect> parsePositionFile(std::string_view text,
                                            std::optional<std::string_view> owner);
std::optional<WindowRect> readPositionFile(const std::filesystem::path& file,
                                           std::optional<std::string_view> owner);
// Rewrites the file whole; false when it cannot be written.
bool writePositionFile(const std::filesystem::path& file, std::string_view firstLine,
                       const WindowRect& r);

} // namespace dupmon
