// Watching hidraw devices come and go: udev monitor events where a udev daemon
// runs, otherwise a comparison of enumerations every two seconds.
#include "hidlink/udev_watcher.h"

#include <algorithm>
#include <cstring>
#include <libudev.h>
#include <unistd.h>
#include <utility>

#include "hidlink/hidraw_backend.h"

namespace dupmon {

UdevWatcher::UdevWatcher(const Clock& clock)
    : UdevWatcher(clock, enumerateHidraw, "/run/udev/control") {}

UdevWatcher::UdevWatcher(const Clock& clock, EnumerateFn enumerate, std::string daemonControlPath)
    : clock_(clock), enumerate_(std::move(enumerate)),
      daemonControlPath_(std::move(daemonControlPath)) {}

UdevWatcher::~UdevWatcher() {
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

bool UdevWatcher::start() {
    if (started_)
        return true;
    started_ = true;
    // Without the daemon the "udev" source never sends anything.
    if (::access(daemonControlPath_.c_str(), F_OK) == 0 && startMonitor())
        return true;
    comparing_ = true;
    known_ = enumerate_();
    lastCompare_ = clock_.tickMs();
    return true;
}

bool UdevWatcher::startMonitor() {
    udev_ = udev_new();
    if (!udev_)
        return false;
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (monitor_ &&
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) >= 0 &&
        udev_monitor_enable_receiving(monitor_) >= 0)
        return true;
    if (monitor_)
        udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    udev_unref(udev_);
    udev_ = nullptr;
    return false;
}

int UdevWatcher::fd() const {
    return monitor_ ? udev_monitor_get_fd(monitor_) : -1;
}

std::vector<DeviceChange> UdevWatcher::poll() {
    if (monitor_)
        return pollMonitor();
    if (comparing_)
        return compareEnumerations();
    return {};
}

uint32_t UdevWatcher::msUntilPoll() const {
    if (!comparing_)
        return kNoPoll;
    const uint32_t since = clock_.tickMs() - lastCompare_;
    return since >= kComparePeriodMs ? 0 : kComparePeriodMs - since;
}

std::vector<DeviceChange> UdevWatcher::pollMonitor() {
    std::vector<DeviceChange> changes;
    // The monitor's socket does not block: this ends when nothing is queued.
    while (udev_device* dev = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(dev);
        const char* node = udev_device_get_devnode(dev);
        if (action && node) {
            if (std::strcmp(action, "add") == 0)
                changes.push_back({DeviceChange::Arrival, node});
            else if (std::strcmp(action, "remove") == 0)
                changes.push_back({DeviceChange::Removal, node});
        }
        udev_device_unref(dev);
    }
    return changes;
}

std::vector<DeviceChange> UdevWatcher::compareEnumerations() {
    std::vector<DeviceChange> changes;
    const uint32_t now = clock_.tickMs();
    if (now - lastCompare_ < kComparePeriodMs)
        return changes;
    lastCompare_ = now;
    std::vector<std::string> present = enumerate_();
    auto has = [](const std::vector<std::string>& v, const std::string& s) {
        return std::find(v.begin(), v.end(), s) != v.end();
    };
    for (const std::string& name : known_)
        if (!has(present, name))
            changes.push_back({DeviceChange::Removal, name});
    for (const std::string& name : present)
        if (!has(known_, name))
            changes.push_back({DeviceChange::Arrival, name});
    known_ = std::move(present);
    return changes;
}

} // namespace dupmon
