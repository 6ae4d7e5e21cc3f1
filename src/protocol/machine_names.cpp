// Naming a machine in window titles: its nickname or model name, then its
// machine id in brackets.
#include "protocol/machine_names.h"

#include "common/text.h"

namespace dupmon {

std::string machineNameAndId(const MachineInfo& info) {
    std::string_view name = fieldText(info.nickName, sizeof info.nickName);
    if (name.empty())
        name = fieldText(info.modelName, sizeof info.modelName);
    return std::string(name) + " [" +
           std::string(fieldText(info.machineId, sizeof info.machineId)) + "]";
}

std::string titleNamingMachine(std::string_view title, const MachineInfo& info) {
    return std::string(title) + " - " + machineNameAndId(info);
}

} // namespace dupmon
