#pragma once
// How windows name a machine: its nickname (or its model name when it has
// none) and its machine id, so that the windows of several machines tell
// each other apart.
#include <string>
#include <string_view>

#include "protocol/machine_info.h"

namespace dupmon {

// "Back room [SU10-000001]", or "SIM USB Tower 10 [SU10-000001]" without a nickname.
std::string machineNameAndId(const MachineInfo& info);

// A window's own title with its machine after it: "Nickname - Back room [SU10-000001]".
std::string titleNamingMachine(std::string_view title, const MachineInfo& info);

} // namespace dupmon
