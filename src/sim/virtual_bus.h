#pragma once
// An in-process HID bus on which stand-in controllers look like hardware to
// the monitor, with each report taking its time on the wire.
#include <cstdint>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "common/clock.h"
#include "hidlink/device_watcher.h"
#include "hidlink/hid_backend.h"

namespace dupmon {

class VirtualBus;
struct VirtualPort;

// The controller side of a device on the virtual bus. It sees the host's
// output reports when their wire time has passed and answers with input
// reports of its own.
class VirtualHidDevice {
public:
    virtual ~VirtualHidDevice() = default;
    // The host's report reached the device at `timeMs` (bus tick time).
    virtual void outputReport(const uint8_t* report, uint32_t timeMs) = 0;
    // The device's own time moves on (jobs run, media change).
    virtual void tick(uint32_t /*nowMs*/) {}
    // Asked before the bus takes each report the host writes: false refuses
    // it, and the host keeps it and offers it again (a device that has
    // stopped taking reports).
    virtual bool takeReport(uint32_t /*nowMs*/) { return true; }

    // Queue one 65-byte input report, sent at `timeMs`.
    void sendInput(const uint8_t* report, uint32_t timeMs);
    bool plugged() const { return port_ != nullptr; }
    // The interface path the bus gave the device; empty while unplugged.
    std::string busPath() const;

protected:
    // Pull the device's own plug (a controller that dies mid-exchange).
    bool unplugSelf();
    // A "# ..." comment line in the bus's wire trace.
    void traceComment(const std::string& text);

private:
    friend class VirtualBus;
    VirtualBus* bus_ = nullptr;
    VirtualPort* port_ = nullptr;
};

// In-process HID bus: stand-in controllers plugged here look like hardware to
// everything above the report layer. Each report occupies the wire for a
// configurable time (1 ms by default, a full-speed interrupt endpoint).
class VirtualBus final : public HidBackend, public DeviceWatcher {
public:
    explicit VirtualBus(const Clock& clock);
    ~VirtualBus() override;

    // Plug a device; returns its interface path.
    std::string plug(std::shared_ptr<VirtualHidDevice> device, uint16_t vendorId,
                     uint16_t productId);
    // Unplug by path (letter case ignored); false when no such device.
    bool unplug(const std::string& path);
    std::vector<std::string> pluggedPaths() const;

    void setWireTime(uint32_t ms) { wireMs_ = ms; }
    uint32_t wireTime() const { return wireMs_; }
    // Write one line per reassembled frame: "<ms> H|C <hex>", plus EVENT lines.
    void setTrace(std::ostream* out);
    void traceEvent(const std::string& what);
    // "# <text>" line, e.g. a fault a stand-in injected.
    void traceComment(const std::string& text);

    // Deliver every report whose wire time has passed and tick the devices.
    void pump();
    // Tick time of the next report delivery, or false when nothing is in flight.
    bool nextDue(uint32_t& due) const;
    // The same for one direction: reports on their way to a device, or the
    // first report waiting for the host (which may be due already: the host
    // takes it when it next reads).
    bool nextToDevice(uint32_t& due) const;
    bool nextToHost(uint32_t& due) const;

    // HidBackend
    std::vector<std::string> enumerate() override;
    std::unique_ptr<HidDevice> open(const std::string& path) override;
    void noteEvent(const std::string& what) override { traceEvent(what); }

    // DeviceWatcher
    bool start() override { return true; }
    std::vector<DeviceChange> poll() override;
    // Changes come from plug() and unplug(): due at once when there are any.
    uint32_t msUntilPoll() const override { return changes_.empty() ? kNoPoll : 0; }

    // Used by devices and open handles.
    void queueInput(VirtualPort& port, const uint8_t* report, uint32_t timeMs);
    WriteStatus hostWrite(VirtualPort& port, const uint8_t* report);
    ReadStatus hostRead(VirtualPort& port, uint8_t* report);
    const Clock& clock() const { return clock_; }

private:
    void traceReport(VirtualPort& port, bool fromHost, const uint8_t* report, uint32_t timeMs);

    const Clock& clock_;
    uint32_t wireMs_ = 1;
    unsigned nextId_ = 0;
    std::vector<std::shared_ptr<VirtualPort>> ports_;
    std::vector<DeviceChange> changes_;
    std::ostream* trace_ = nullptr;
    uint32_t traceStart_ = 0;
};

} // namespace dupmon
