// The demo's stand-in machines on a virtual bus: three machines plugged at
// start, pumped every millisecond, with a new job now and then and a panel
// answer when nobody at the PC answers.
#include "app/demo.h"

#include "hidlink/usbhidioc.h"

namespace dupmon {

DemoMachines::DemoMachines(const Clock& clock, QObject* parent)
    : QObject(parent), clock_(clock), bus_(clock) {
    struct Start {
        const char* profile;
        uint32_t records;
    } starts[] = {{"usb10", 25}, {"cf8", 6}, {"sd20", 0}};
    for (const auto& s : starts) {
        auto m = StandInController::create(s.profile, clock_);
        if (!m)
            continue;
        if (s.records)
            m->machine().preloadLog(s.records);
        bus_.plug(m, CUsbhidioc::kVendorId, m->profile().productId);
        machines_.push_back(m);
        waitingSince_.emplace_back();
    }
    bus_.poll(); // present at start: discovery finds them
    pump_.setInterval(1);
    pump_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pump_, &QTimer::timeout, this, [this] { bus_.pump(); });
    pump_.start();
    jobs_.setInterval(1000);
    QObject::connect(&jobs_, &QTimer::timeout, this, [this] { tick(); });
    jobs_.start();
}

void DemoMachines::tick() {
    const uint32_t now = clock_.tickMs();
    for (size_t i = 0; i < machines_.size(); ++i) {
        MachineModel& m = machines_[i]->machine();
        if (!m.waitingForAnswer() || (answeredAtPc_ && answeredAtPc_(m.machineId))) {
            waitingSince_[i].reset();
            continue;
        }
        if (!waitingSince_[i]) {
            waitingSince_[i] = now;
        } else if (now - *waitingSince_[i] >= kPanelAnswerMs) {
            m.answerFinish(now);
            waitingSince_[i].reset();
        }
    }
    // About one job a minute somewhere, started from a machine's own panel.
    if (std::uniform_int_distribution<int>(0, 59)(random_) != 0 || machines_.empty())
        return;
    auto& m = machines_[std::uniform_int_distribution<size_t>(0, machines_.size() - 1)(random_)]
                  ->machine();
    static const uint8_t functions[] = {1, 5, 4};
    m.startJob(functions[std::uniform_int_distribution<int>(0, 2)(random_)], now);
}

} // namespace dupmon
