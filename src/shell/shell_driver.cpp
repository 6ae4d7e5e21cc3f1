// The work timer re-armed for the slots' next deadline whenever something ran
// or the event loop is about to sleep, and a notifier kept for each
// descriptor the slots know, enabled while they wait on it.
#include "shell/shell_driver.h"

#include <QAbstractEventDispatcher>
#include <algorithm>

#include "common/clock.h"

namespace dupmon {

ShellDriver::ShellDriver(QObject* parent) : QObject(parent) {
    timer3_.setInterval(200);
    work_.setSingleShot(true);
    work_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer3_, &QTimer::timeout, this, [this] {
        slots_->Timer3Timer();
        rearm();
    });
    QObject::connect(&work_, &QTimer::timeout, this, [this] {
        ++workWakeups_;
        slots_->runDueWork();
        rearm();
    });
}

void ShellDriver::attachSlots(MachineSlots* machineSlots, DeviceWatcher* /*watcher*/) {
    slots_ = machineSlots;
}

void ShellDriver::enableWorkTimers() {
    working_ = true;
    // A window may post a request to an engine from any handler: look again
    // at the deadlines whenever the loop is about to sleep.
    if (auto* dispatcher = QAbstractEventDispatcher::instance(); dispatcher && !beforeSleep_)
        beforeSleep_ = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                                        [this] { rearm(); });
    rearm();
}

void ShellDriver::stopAll() {
    working_ = false;
    QObject::disconnect(beforeSleep_);
    beforeSleep_ = {};
    work_.stop();
    timer3_.stop();
    notifiers_.clear();
}

void ShellDriver::rearm() {
    if (!working_ || !slots_)
        return;
    watchDescriptors();
    const uint32_t wait = slots_->msUntilWork();
    if (wait == MachineSlots::kNever) {
        work_.stop();
        return;
    }
    const uint32_t at = SystemClock::instance().tickMs() + wait;
    if (work_.isActive() && at == armedAt_)
        return;
    armedAt_ = at;
    work_.start(int(std::min<uint32_t>(wait, 24u * 3600 * 1000)));
}

void ShellDriver::watchDescriptors() {
    slots_->descriptors(known_, wanted_);
    auto has = [](const std::vector<int>& v, int fd) {
        return std::find(v.begin(), v.end(), fd) != v.end();
    };
    // A descriptor that is gone must not stay watched: its number may come back for another file.
    for (auto it = notifiers_.begin(); it != notifiers_.end();)
        it = has(known_, it->first) ? std::next(it) : notifiers_.erase(it);
    for (int fd : known_) {
        auto& n = notifiers_[fd];
        if (!n) {
            n = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            n->setEnabled(false);
            QObject::connect(n.get(), &QSocketNotifier::activated, this, [this, fd] {
                slots_->onReadable(fd);
                rearm();
            });
        }
        const bool want = has(wanted_, fd);
        if (n->isEnabled() != want)
            n->setEnabled(want);
    }
}

} // namespace dupmon
