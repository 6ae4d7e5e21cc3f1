// Check-ID files of any content, read as the get-device-info window reads
// them: never more numbers than the list holds, each one a whole number that
// stood at the start of a line.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "devinfo/get_device_info.h"

using namespace dupmon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const size_t max = data[0]; // a small bound, so that it is reached
    std::istringstream in(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    const CheckIdFileRead r = readCheckIds(in, max);
    if (r.ids.size() > max)
        std::abort();
    if (r.overflow && r.ids.size() != max)
        std::abort();
    // Every number read is written in the file as its own digits.
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    for (uint32_t n : r.ids)
        if (text.find(std::to_string(n)) == std::string::npos)
            std::abort();
    return 0;
}
