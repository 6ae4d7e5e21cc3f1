#pragma once
// The small interface every HID platform implements (hidraw, the stand-ins'
// virtual bus, the dupmon-sim client): enumerate, open, write and read
// 65-byte reports without waiting.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dupmon {

inline constexpr size_t kReportSize = 65;

enum class ReadStatus { Report, NoReport, Gone };
// Taken: the device has the report (or the platform took it for the device).
// Busy: the device takes nothing now; the same report is offered again later.
enum class WriteStatus { Taken, Busy, Gone };

// One opened HID device. Reports are always 65 bytes: byte 0 is the report id.
class HidDevice {
public:
    virtual ~HidDevice() = default;
    virtual bool getAttributes(uint16_t& vendorId, uint16_t& productId) = 0;
    // Hands one whole 65-byte report to the device without waiting. After
    // Busy, offer it again once writeFd() turns readable (or after a while,
    // for a device without one).
    virtual WriteStatus write(const uint8_t* report) = 0;
    // A report that write() took has not reached the device yet.
    virtual bool writePending() const { return false; }
    // A descriptor that turns readable when a report on its way reaches the
    // device, so that a Busy device may be offered the next; or -1.
    virtual int writeFd() const { return -1; }
    // One report without waiting. A short report is padded with zeros.
    virtual ReadStatus read(uint8_t* report) = 0;
    // A descriptor that becomes readable when a report arrives, or -1.
    virtual int fd() const { return -1; }
    // Reports already taken from a descriptor shared with other devices and
    // held for this one: read() has them although fd() may not turn readable.
    virtual bool inputQueued() const { return false; }
};

// The platform's HID devices: hidraw on Linux, the virtual bus of the stand-in
// machines, or the client of dupmon-sim. Nothing above hidlink/ knows which.
class HidBackend {
public:
    virtual ~HidBackend() = default;
    // Device interface paths of the present HID devices, in platform order.
    virtual std::vector<std::string> enumerate() = 0;
    virtual std::unique_ptr<HidDevice> open(const std::string& path) = 0;
    // Something that happened outside the wire (a window opened, a request
    // made), for a bus that keeps a wire trace: one line of words without a
    // line break. Hardware keeps none and ignores it.
    virtual void noteEvent(const std::string& /*what*/) {}

    // The enumeration position shared by every link on this backend: reset to
    // 0 before each pass over one product id.
    size_t memberIndex = 0;
};

} // namespace dupmon
