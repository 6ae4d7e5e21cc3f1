// The main window's position file.
#include "shell/window_position.h"

#include "common/position_file.h"
#include "common/text.h"
#include "common/version.h"

namespace dupmon {

namespace {

std::string programLine() {
    return format("%s Ver:%s %s %s", kModelString, kProgramVersion, kBuildDate, kNoticeText);
}

} // namespace

std::optional<WindowRect> readWindowPosition(const std::filesystem::path& file) {
    return readPositionFile(file, std::nullopt);
}

std::string formatWindowPosition(const WindowRect& r) {
    return formatPositionFile(programLine(), r);
}

bool saveWindowPosition(const std::filesystem::path& file, const WindowRect& r) {
    return writePositionFile(file, programLine(), r);
}

} // namespace dupmon
