#include "app/shell_driver.h"

namespace dupmon {

ShellDriver::ShellDriver(QObject* parent) : QObject(parent) {
    timer1_.setInterval(10);
    timer2_.setInterval(1);
    timer2_.setTimerType(Qt::PreciseTimer);
    timer3_.setInterval(200);
    QObject::connect(&timer1_, &QTimer::timeout, this, [this] {
        // Also with a descriptor: a transport that carries reports and device
        // changes on one socket may have taken a change in with the reports.
        if (watcher_)
            slots_->pollWatcher();
        slots_->Timer1Timer();
    });
    QObject::connect(&timer2_, &QTimer::timeout, this, [this] { slots_->Timer2Timer(); });
    QObject::connect(&timer3_, &QTimer::timeout, this, [this] {
        slots_->Timer3Timer();
        // The watcher starts with discovery: from then on its descriptor tells of changes.
        if (watcher_ && !watcherNotifier_ && watcher_->fd() >= 0) {
            watcherNotifier_ = std::make_unique<QSocketNotifier>(watcher_->fd(),
                                                                 QSocketNotifier::Read);
            QObject::connect(watcherNotifier_.get(), &QSocketNotifier::activated, this,
                             [this] { slots_->pollWatcher(); });
        }
    });
}

void ShellDriver::attachSlots(MachineSlots* machineSlots, DeviceWatcher* watcher) {
    slots_ = machineSlots;
    watcher_ = watcher;
}

void ShellDriver::enableWorkTimers() {
    timer1_.start();
    timer2_.start();
}

void ShellDriver::stopAll() {
    timer1_.stop();
    timer2_.stop();
    timer3_.stop();
    watcherNotifier_.reset();
}

} // namespace dupmon
