// Which function codes and job phases mean idle, working, or waiting for
// Continue or Finish.
#include "protocol/machine_activity.h"

namespace dupmon {

MachineActivity machineActivity(uint8_t machineState, uint8_t machineSubState) {
    // 29 is a second standby code.
    if (machineState == 0 || machineState == 29)
        return MachineActivity::Idle;
    // The copy family shows its result in phase 6 (12 on some machines) and
    // waits there for Continue or Finish.
    switch (machineState) {
    case 1:
    case 4:
    case 5:
    case 23:
    case 54:
    case 55:
    case 84:
    case 85:
        if (machineSubState == 6 || machineSubState == 12)
            return MachineActivity::Waiting;
        break;
    default:
        break;
    }
    return MachineActivity::Working;
}

} // namespace dupmon
