// Arbitrary bytes read as the log viewer's position file (a window position file).
//
// The low six bits of the first byte give the length of the machine id that
// the file is read for (taken from the bytes after it); the rest is the file.
// Bit 0x40 puts that id and a blank in front of the file, so the number
// parsing is reached without guessing the id.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/position_file.h"

using namespace dupmon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t idLength = std::min<size_t>(data[0] & 63, size - 1);
    const std::string id(reinterpret_cast<const char*>(data + 1), idLength);
    std::string text;
    if (data[0] & 0x40)
        text = id + " ";
    text.append(reinterpret_cast<const char*>(data + 1 + idLength), size - 1 - idLength);
    if (text.size() > kPositionFileReadLimit)
        text.resize(kPositionFileReadLimit);

    const auto position = parsePositionFile(text, id);
    if (!position)
        return 0;
    // Only this machine's file applies, and what it gives is what the viewer
    // writes back: saving and reading again yields the same position.
    if (id.empty() || id.find_first_of(" \t\r\n\v\f") != std::string::npos)
        std::abort();
    if (parsePositionFile(formatPositionFile(id + " ", *position), id) != position)
        std::abort();
    return 0;
}
