// Device information blocks as a controller might send them, through the
// text composer, for machines that check serial numbers and others: the
// text stays within the window's buffer, every line ends in CR LF, and the
// ports to mark are real port numbers of the block.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "devinfo/device_info_text.h"

using namespace dupmon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t machineType = data[0] & 1 ? kSerialCheckMachine : data[0] >> 1;
    std::set<uint32_t> seen;
    const DeviceInfoText t = composeDeviceInfoText(
        data + 1, size - 1, machineType, [&](uint32_t n) { return !seen.insert(n).second; });
    if (t.text.size() >= kDeviceInfoTextBuffer)
        std::abort();
    if (t.text.size() < 2 || t.text.compare(t.text.size() - 2, 2, "\r\n") != 0)
        std::abort();
    if (t.text.find('\0') != std::string::npos)
        std::abort();
    for (size_t nl = t.text.find('\n'); nl != std::string::npos; nl = t.text.find('\n', nl + 1))
        if (nl == 0 || t.text[nl - 1] != '\r')
            std::abort();
    if (t.repeatPorts.size() > kMaxRepeatPorts)
        std::abort();
    const unsigned count = size >= 3 ? unsigned(data[1]) << 8 | data[2] : 0;
    for (uint16_t p : t.repeatPorts)
        if (p < 1 || p > count)
            std::abort();
    return 0;
}
