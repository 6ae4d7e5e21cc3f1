// The virtual bus at work: reports queued per port in both directions, each
// delivered when its wire time has passed, plug and unplug changes, and the
// wire trace of whole frames.
#include "sim/virtual_bus.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <strings.h>

#include "common/text.h"

namespace dupmon {

namespace {
bool due(uint32_t when, uint32_t now) {
    return static_cast<int32_t>(when - now) <= 0;
}
uint32_t later(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0 ? a : b;
}
} // namespace

struct VirtualPort {
    struct Report {
        std::array<uint8_t, kReportSize> bytes;
        uint32_t due;
    };
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::shared_ptr<VirtualHidDevice> device;
    bool plugged = true;
    std::deque<Report> toDevice;
    std::deque<Report> toHost;
    uint32_t outFree = 0;
    uint32_t inFree = 0;
    // Frame reassembly for the wire trace, per direction.
    std::vector<uint8_t> traceFrame[2];
};

class VirtualHandle final : public HidDevice {
public:
    VirtualHandle(VirtualBus& bus, std::shared_ptr<VirtualPort> port)
        : bus_(bus), port_(std::move(port)) {}
    bool getAttributes(uint16_t& vid, uint16_t& pid) override {
        if (!port_->plugged)
            return false;
        vid = port_->vendorId;
        pid = port_->productId;
        return true;
    }
    WriteStatus write(const uint8_t* report) override { return bus_.hostWrite(*port_, report); }
    ReadStatus read(uint8_t* report) override { return bus_.hostRead(*port_, report); }

private:
    VirtualBus& bus_;
    std::shared_ptr<VirtualPort> port_;
};

void VirtualHidDevice::sendInput(const uint8_t* report, uint32_t timeMs) {
    if (bus_ && port_)
        bus_->queueInput(*port_, report, timeMs);
}

std::string VirtualHidDevice::busPath() const {
    return port_ ? port_->path : std::string();
}

bool VirtualHidDevice::unplugSelf() {
    if (!bus_ || !port_)
        return false;
    return bus_->unplug(port_->path);
}

void VirtualHidDevice::traceComment(const std::string& text) {
    if (bus_)
        bus_->traceComment(text);
}

VirtualBus::VirtualBus(const Clock& clock) : clock_(clock), traceStart_(clock.tickMs()) {}

VirtualBus::~VirtualBus() {
    for (auto& p : ports_) {
        if (p->device) {
            p->device->bus_ = nullptr;
            p->device->port_ = nullptr;
        }
    }
}

std::string VirtualBus::plug(std::shared_ptr<VirtualHidDevice> device, uint16_t vendorId,
                             uint16_t productId) {
    auto port = std::make_shared<VirtualPort>();
    port->path = format("/dev/virtual/hidraw%u", nextId_++);
    port->vendorId = vendorId;
    port->productId = productId;
    port->device = std::move(device);
    port->device->bus_ = this;
    port->device->port_ = port.get();
    ports_.push_back(port);
    changes_.push_back({DeviceChange::Arrival, port->path});
    traceEvent("plug " + port->path);
    return port->path;
}

bool VirtualBus::unplug(const std::string& path) {
    for (auto it = ports_.begin(); it != ports_.end(); ++it) {
        if (strcasecmp((*it)->path.c_str(), path.c_str()) != 0)
            continue;
        VirtualPort& port = **it;
        port.plugged = false;
        port.toDevice.clear();
        port.toHost.clear();
        port.device->bus_ = nullptr;
        port.device->port_ = nullptr;
        port.device.reset();
        changes_.push_back({DeviceChange::Removal, port.path});
        traceEvent("unplug " + port.path);
        ports_.erase(it); // open handles keep the port alive and see it gone
        return true;
    }
    return false;
}

std::vector<std::string> VirtualBus::pluggedPaths() const {
    std::vector<std::string> out;
    for (const auto& p : ports_)
        out.push_back(p->path);
    return out;
}

void VirtualBus::setTrace(std::ostream* out) {
    trace_ = out;
    traceStart_ = clock_.tickMs();
}

void VirtualBus::traceEvent(const std::string& what) {
    if (trace_)
        *trace_ << (clock_.tickMs() - traceStart_) << " EVENT " << what << '\n';
}

void VirtualBus::traceComment(const std::string& text) {
    if (trace_)
        *trace_ << "# " << text << '\n';
}

void VirtualBus::traceReport(VirtualPort& port, bool fromHost, const uint8_t* report,
                             uint32_t timeMs) {
    if (!trace_)
        return;
    std::vector<uint8_t>& frame = port.traceFrame[fromHost ? 0 : 1];
    const int count = report[2], index = report[3];
    const int n = std::min<int>(report[4], 60);
    if (index == 1)
        frame.clear();
    frame.insert(frame.end(), report + 5, report + 5 + n);
    if (index != count || index == 0)
        return;
    std::string line = std::to_string(timeMs - traceStart_) + (fromHost ? " H" : " C");
    for (uint8_t b : frame)
        line += format(" %02X", b);
    *trace_ << line << '\n';
    frame.clear();
}

WriteStatus VirtualBus::hostWrite(VirtualPort& port, const uint8_t* report) {
    if (!port.plugged)
        return WriteStatus::Gone;
    const uint32_t now = clock_.tickMs();
    if (!port.device->takeReport(now))
        return WriteStatus::Busy;
    VirtualPort::Report r;
    std::memcpy(r.bytes.data(), report, kReportSize);
    r.due = later(now, port.outFree) + wireMs_;
    port.outFree = r.due;
    port.toDevice.push_back(r);
    pump();
    return WriteStatus::Taken;
}

ReadStatus VirtualBus::hostRead(VirtualPort& port, uint8_t* report) {
    if (!port.plugged)
        return ReadStatus::Gone;
    pump();
    if (!port.plugged)
        return ReadStatus::Gone;
    if (port.toHost.empty() || !due(port.toHost.front().due, clock_.tickMs()))
        return ReadStatus::NoReport;
    std::memcpy(report, port.toHost.front().bytes.data(), kReportSize);
    port.toHost.pop_front();
    return ReadStatus::Report;
}

void VirtualBus::queueInput(VirtualPort& port, const uint8_t* report, uint32_t timeMs) {
    if (!port.plugged)
        return;
    VirtualPort::Report r;
    std::memcpy(r.bytes.data(), report, kReportSize);
    r.due = later(timeMs, port.inFree) + wireMs_;
    port.inFree = r.due;
    traceReport(port, false, report, r.due);
    port.toHost.push_back(r);
}

void VirtualBus::pump() {
    const uint32_t now = clock_.tickMs();
    // Devices may unplug themselves while handling a report: work on a copy.
    std::vector<std::shared_ptr<VirtualPort>> ports = ports_;
    for (auto& port : ports) {
        while (port->plugged && !port->toDevice.empty() && due(port->toDevice.front().due, now)) {
            VirtualPort::Report r = port->toDevice.front();
            port->toDevice.pop_front();
            traceReport(*port, true, r.bytes.data(), r.due);
            auto device = port->device; // keep it alive through the call
            device->outputReport(r.bytes.data(), r.due);
        }
        if (port->plugged) {
            auto device = port->device;
            device->tick(now);
        }
    }
}

namespace {
using Queue = std::deque<VirtualPort::Report>;
bool earliest(const std::vector<std::shared_ptr<VirtualPort>>& ports, Queue VirtualPort::*queue,
              uint32_t& when, bool any) {
    for (const auto& port : ports) {
        const Queue& q = (*port).*queue;
        if (q.empty())
            continue;
        if (!any || static_cast<int32_t>(q.front().due - when) < 0)
            when = q.front().due;
        any = true;
    }
    return any;
}
} // namespace

bool VirtualBus::nextDue(uint32_t& when) const {
    const bool any = earliest(ports_, &VirtualPort::toDevice, when, false);
    return earliest(ports_, &VirtualPort::toHost, when, any);
}

bool VirtualBus::nextToDevice(uint32_t& when) const {
    return earliest(ports_, &VirtualPort::toDevice, when, false);
}

bool VirtualBus::nextToHost(uint32_t& when) const {
    return earliest(ports_, &VirtualPort::toHost, when, false);
}

std::vector<std::string> VirtualBus::enumerate() {
    return pluggedPaths();
}

std::unique_ptr<HidDevice> VirtualBus::open(const std::string& path) {
    for (auto& p : ports_)
        if (p->path == path)
            return std::make_unique<VirtualHandle>(*this, p);
    return nullptr;
}

std::vector<DeviceChange> VirtualBus::poll() {
    std::vector<DeviceChange> out;
    out.swap(changes_);
    return out;
}

} // namespace dupmon
