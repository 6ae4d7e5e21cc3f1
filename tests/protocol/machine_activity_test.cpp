// What a machine's picture says it does, from its status block.
#include <gtest/gtest.h>

#include "protocol/machine_activity.h"

using namespace dupmon;

TEST(MachineActivity, ReadFromFunctionAndPhase) {
    struct Case {
        uint8_t function, phase;
        MachineActivity expected;
    } cases[] = {
        {0, 0, MachineActivity::Idle},
        {29, 0, MachineActivity::Idle},     // the second standby code
        {0, 6, MachineActivity::Idle},      // a phase left over from the last job
        {1, 3, MachineActivity::Working},   // copy, waiting for targets
        {1, 4, MachineActivity::Working},   // copy, working
        {1, 6, MachineActivity::Waiting},   // copy, showing its result
        {5, 12, MachineActivity::Waiting},  // copy+compare, the other result phase
        {85, 6, MachineActivity::Waiting},  // copy+compare+write-protect
        {1, 10, MachineActivity::Working},  // finishing
        {11, 6, MachineActivity::Working},  // an erase does not wait for the operator
        {22, 6, MachineActivity::Working},  // nor does a burn-in
        {200, 0, MachineActivity::Working}, // an unknown function is still a job
    };
    for (const Case& c : cases)
        EXPECT_EQ(machineActivity(c.function, c.phase), c.expected)
            << int(c.function) << "/" << int(c.phase);
}
