#pragma once
// The watcher that tells of HID devices arriving and leaving, so that machines
// are connected as they are plugged in; one implementation per platform.
#include <cstdint>
#include <string>
#include <vector>

namespace dupmon {

struct DeviceChange {
    enum Kind { Arrival, Removal };
    Kind kind;
    std::string name; // the device interface path, as enumeration gives it
};

// Tells of HID devices arriving and leaving.
class DeviceWatcher {
public:
    virtual ~DeviceWatcher() = default;
    // Begin watching; false when the platform offers no way to watch.
    virtual bool start() = 0;
    // A descriptor that becomes readable when changes may be waiting, or -1
    // when the owner must call poll() when msUntilPoll() says.
    virtual int fd() const { return -1; }
    // Changes seen since the last call; never blocks.
    virtual std::vector<DeviceChange> poll() = 0;
    // While fd() is -1: milliseconds until poll() may find something new
    // (kNoPoll: nothing will come unless the program itself makes a change).
    static constexpr uint32_t kNoPoll = UINT32_MAX;
    virtual uint32_t msUntilPoll() const { return kNoPoll; }
};

} // namespace dupmon
