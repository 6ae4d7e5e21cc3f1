// Reading and writing the two-line window position files.
#include "common/position_file.h"

#include <charconv>

#include "common/file_io.h"
#include "common/text.h"

namespace dupmon {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\n';
}

// One "%d" of a scanf: blanks, an optional sign, digits that fit an int.
bool takeInt(std::string_view& s, int& out) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    if (i < s.size() && s[i] == '+')
        ++i;
    const char* begin = s.data() + i;
    const char* end = s.data() + s.size();
    auto [ptr, ec] = std::from_chars(begin, end, out);
    if (ec != std::errc())
        return false;
    s.remove_prefix(size_t(ptr - s.data()));
    return true;
}

} // namespace

std::string formatPositionFile(std::string_view firstLine, const WindowRect& r) {
    return std::string(firstLine) + "\n" +
           format("%d %d %d %d \n", r.top, r.left, r.width, r.height);
}

std::optional<WindowRect> parsePositionFile(std::string_view text,
                                            std::optional<std::string_view> owner) {
    const size_t lineEnd = text.find('\n');
    if (lineEnd == std::string_view::npos)
        return std::nullopt; // no second line
    if (owner) {
        const std::string_view first = text.substr(0, lineEnd);
        size_t b = 0;
        while (b < first.size() && isBlank(first[b]))
            ++b;
        size_t e = b;
        while (e < first.size() && !isBlank(first[e]))
            ++e;
        const std::string_view word = first.substr(b, e - b);
        if (word.empty() || word != *owner)
            return std::nullopt;
    }
    std::string_view second = text.substr(lineEnd + 1);
    second = second.substr(0, second.find('\n'));
    WindowRect r;
    if (!takeInt(second, r.top) || !takeInt(second, r.left) || !takeInt(second, r.width) ||
        !takeInt(second, r.height))
        return std::nullopt;
    return r;
}

std::optional<WindowRect> readPositionFile(const std::filesystem::path& file,
                                           std::optional<std::string_view> owner) {
    // A regular file only: a pipe at the path must not hold the window up.
    const auto text = readSmallFile(file, kPositionFileReadLimit);
    if (!text)
        return std::nullopt;
    return parsePositionFile(*text, owner);
}

bool writePositionFile(const std::filesystem::path& file, std::string_view firstLine,
                       const WindowRect& r) {
    return bool(writeWholeFile(file, formatPositionFile(firstLine, r)));
}

} // namespace dupmon
