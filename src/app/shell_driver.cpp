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
        watchLinks();
    });
    QObject::connect(&timer2_, &QTimer::timeout, this, [this] { slots_->Timer2Timer(); });
    QObject::connect(&timer3_, &QTimer::timeout, this, [this] {
        slots_->Timer3Timer();
        watchLinks();
    });
}

void ShellDriver::attachSlots(MachineSlots* machineSlots, DeviceWatcher* watcher) {
    slots_ = machineSlots;
    watcher_ = watcher;
}

void ShellDriver::watchLinks() {
    std::map<int, bool> wanted;
    // The watcher starts with discovery: from then on its descriptor tells of changes.
    if (watcher_ && watcher_->fd() >= 0)
        wanted[watcher_->fd()] = true;
    for (int j = 0; j < slots_->slotsInUse(); ++j)
        if (CUsbhidioc* link = slots_->link(j); link && link->fd() >= 0)
            wanted[link->fd()] = true;
    for (auto it = linkNotifiers_.begin(); it != linkNotifiers_.end();)
        it = wanted.count(it->first) ? std::next(it) : linkNotifiers_.erase(it);
    for (const auto& [fd, unused] : wanted) {
        if (linkNotifiers_.count(fd))
            continue;
        auto n = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(n.get(), &QSocketNotifier::activated, this, [this, fd = fd] {
            if (watcher_ && watcher_->fd() == fd)
                slots_->pollWatcher();
            for (int j = 0; j < slots_->slotsInUse(); ++j)
                if (CUsbhidioc* link = slots_->link(j); link && link->fd() == fd)
                    slots_->onLinkReadable(j);
        });
        linkNotifiers_[fd] = std::move(n);
    }
}

void ShellDriver::enableWorkTimers() {
    timer1_.start();
    timer2_.start();
}

void ShellDriver::stopAll() {
    timer1_.stop();
    timer2_.stop();
    timer3_.stop();
    linkNotifiers_.clear();
}

} // namespace dupmon
