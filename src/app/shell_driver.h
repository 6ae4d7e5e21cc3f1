#pragma once
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <map>
#include <memory>

#include "shell/machine_slots.h"

namespace dupmon {

// The three timers that drive all work, and the device watcher's descriptor.
// Timer1 (10 ms) lets waiting links read, Timer2 (1 ms) steps every engine,
// Timer3 (200 ms) runs the start-up steps.
class ShellDriver : public QObject {
public:
    explicit ShellDriver(QObject* parent = nullptr);
    void attachSlots(MachineSlots* machineSlots, DeviceWatcher* watcher);
    void startUp() { timer3_.start(); }
    void enableWorkTimers();
    void stopStartupTimer() { timer3_.stop(); }
    void stopAll();

private:
    // One notifier per descriptor of the links and the watcher (one transport may share it).
    void watchLinks();

    MachineSlots* slots_ = nullptr;
    std::map<int, std::unique_ptr<QSocketNotifier>> linkNotifiers_;
    DeviceWatcher* watcher_ = nullptr;
    QTimer timer1_, timer2_, timer3_;
};

} // namespace dupmon
