#pragma once
#include <QObject>
#include <QTimer>
#include <memory>
#include <random>
#include <vector>

#include "common/clock.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"

namespace dupmon {

// Stand-in machines inside the program: a USB machine with a job log, a CF
// machine and an SD machine, that run a job now and then so that logs flow.
class DemoMachines : public QObject {
public:
    explicit DemoMachines(const Clock& clock, QObject* parent = nullptr);
    VirtualBus& bus() { return bus_; }
    // Nobody answers a headless demo's continue-or-finish question: the
    // stand-in operator finishes the job after a while.
    void setAutoFinish(bool on) { autoFinish_ = on; }

private:
    void tick();
    const Clock& clock_;
    VirtualBus bus_;
    std::vector<std::shared_ptr<StandInController>> machines_;
    QTimer pump_, jobs_;
    std::mt19937 random_{20261210};
    bool autoFinish_ = false;
    std::vector<uint32_t> waitingSince_;
};

} // namespace dupmon
