#pragma once
// The stand-in machines that --demo runs inside the program, so that the
// board, the machine windows and the job logs can be seen without hardware.
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"

namespace dupmon {

// Stand-in machines inside the program: a USB machine with a job log, a CF
// machine and an SD machine, that run a job now and then so that logs flow.
class DemoMachines : public QObject {
public:
    // How long a stand-in waits at the end of a job for an answer nobody at
    // the PC will give, before its own operator finishes the job at its panel.
    static constexpr uint32_t kPanelAnswerMs = 10000;

    explicit DemoMachines(const Clock& clock, QObject* parent = nullptr);
    VirtualBus& bus() { return bus_; }
    // Tells whether someone at the PC can answer a machine's
    // continue-or-finish question (its machine window is open). Without it,
    // as in a headless demo, nobody can.
    void setAnsweredAtPc(std::function<bool(const std::string& machineId)> answered) {
        answeredAtPc_ = std::move(answered);
    }
    // One second of the demo's life: panel answers, and now and then a new job.
    // Runs by itself once a second; a test on a manual clock calls it.
    void tick();
    const std::vector<std::shared_ptr<StandInController>>& machines() const { return machines_; }

private:
    const Clock& clock_;
    VirtualBus bus_;
    std::vector<std::shared_ptr<StandInController>> machines_;
    QTimer pump_, jobs_;
    std::mt19937 random_{20261210};
    std::function<bool(const std::string&)> answeredAtPc_;
    std::vector<std::optional<uint32_t>> waitingSince_; // since when unanswered
};

} // namespace dupmon
