// The get-device-info window's parameter file with any content: the paths
// it gives are never longer than the window keeps nor blank at their ends,
// and a placement is only used when it fits the screen.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "devinfo/get_device_info.h"

using namespace dupmon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    const DeviceInfoParameters p = parseDeviceInfoParameters(in);
    for (const std::string* path : {&p.appendPath, &p.checkIdPath}) {
        if (path->size() > kMaxDeviceInfoPath)
            std::abort();
        if (!path->empty() && (path->front() == ' ' || path->back() == ' ' ||
                               path->back() == '\r' || path->find('\n') != std::string::npos))
            std::abort();
    }
    if (deviceInfoPlacementFits(p, 1920, 1080) &&
        (p.width <= 0 || p.height <= 0 || p.left < 0 || p.top < 0 || p.width > 1920 ||
         p.height > 1080 || p.left >= 1920 || p.top >= 1080))
        std::abort();
    // What is written back reads back the same.
    const std::string again = formatDeviceInfoParameters("own", p.top, p.left, p.width, p.height,
                                                         p.appendPath, p.checkIdPath);
    std::istringstream back(again);
    const DeviceInfoParameters q = parseDeviceInfoParameters(back);
    if (q.appendPath != p.appendPath || q.checkIdPath != p.checkIdPath || !q.placementRead ||
        q.top != p.top || q.left != p.left || q.width != p.width || q.height != p.height)
        std::abort();
    return 0;
}
