#pragma once
// The Linux device watcher for hidraw nodes, with its fallback for systems
// that run no udev daemon.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "hidlink/device_watcher.h"

struct udev;
struct udev_monitor;

namespace dupmon {

// Arrival and removal of hidraw devices, named by their device node. Where a
// udev daemon runs, a udev monitor tells of each change as it happens; where
// none runs (containers, minimal systems) no events would ever come, so the
// watcher compares enumerations every two seconds instead.
class UdevWatcher final : public DeviceWatcher {
public:
    using EnumerateFn = std::function<std::vector<std::string>()>;
    static constexpr uint32_t kComparePeriodMs = 2000;

    explicit UdevWatcher(const Clock& clock);
    // For tests: the enumeration to compare and the file whose presence says
    // that a udev daemon runs.
    UdevWatcher(const Clock& clock, EnumerateFn enumerate, std::string daemonControlPath);
    ~UdevWatcher() override;
    UdevWatcher(const UdevWatcher&) = delete;
    UdevWatcher& operator=(const UdevWatcher&) = delete;

    // Call before the first enumeration of devices, so that no change between
    // the two goes unseen.
    bool start() override;
    // The monitor's descriptor; -1 while comparing enumerations (call poll()
    // on a timer then).
    int fd() const override;
    std::vector<DeviceChange> poll() override;
    // While comparing: the time left until the next comparison.
    uint32_t msUntilPoll() const override;

    bool comparing() const { return comparing_; }

private:
    bool startMonitor();
    std::vector<DeviceChange> pollMonitor();
    std::vector<DeviceChange> compareEnumerations();

    const Clock& clock_;
    EnumerateFn enumerate_;
    std::string daemonControlPath_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    bool started_ = false;
    bool comparing_ = false;
    std::vector<std::string> known_;
    uint32_t lastCompare_ = 0;
};

} // namespace dupmon
