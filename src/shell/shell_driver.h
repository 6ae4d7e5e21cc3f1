#pragma once
// What runs the machine slots under Qt's event loop: a notifier for each
// link's descriptor, one work timer for the earliest deadline, and the
// start-up timer.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "shell/machine_slots.h"

namespace dupmon {

// The event loop's side of the slots: nothing runs on a fixed beat. A link
// is read when its descriptor has data, and its engine takes the answer and
// sends its next command at once; one timer is armed for the earliest
// deadline of the engines (idle status poll, identification wait, answer
// time-out, release wait), of links without a descriptor and of a watcher
// without one, and stopped when nothing is due. Timer3 (200 ms) runs the
// start-up steps.
class ShellDriver : public QObject {
public:
    explicit ShellDriver(QObject* parent = nullptr);
    void attachSlots(MachineSlots* machineSlots, DeviceWatcher* watcher);
    void startUp() { timer3_.start(); }
    void enableWorkTimers();
    void stopStartupTimer() { timer3_.stop(); }
    void stopAll();

    // Wake-ups of the work timer so far, for those who measure.
    uint64_t workWakeups() const { return workWakeups_; }

private:
    // Re-reads what the slots wait for: descriptors to watch and the next deadline.
    void rearm();
    void watchDescriptors();

    MachineSlots* slots_ = nullptr;
    bool working_ = false;
    std::map<int, std::unique_ptr<QSocketNotifier>> notifiers_;
    std::vector<int> known_, wanted_;
    QTimer timer3_;
    QTimer work_;
    uint32_t armedAt_ = 0; // tick count the work timer is armed for
    uint64_t workWakeups_ = 0;
    QMetaObject::Connection beforeSleep_;
};

} // namespace dupmon
