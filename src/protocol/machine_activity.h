#pragma once
// What a machine is doing: idle, working or waiting for the operator, as its
// status block tells, or silent. The board's pictures and the machine window
// go by it.
#include <cstdint>

namespace dupmon {

// What a machine on the board is doing, read from its status block.
enum class MachineActivity {
    Idle,    // standing by
    Working, // running a job
    Waiting, // a copy has ended its round and waits for the operator to continue or finish
    Silent,  // the machine does not answer (known from the engine, not from a status block)
};

// From the status block's function code (byte 2) and job phase (byte 3).
MachineActivity machineActivity(uint8_t machineState, uint8_t machineSubState);

} // namespace dupmon
