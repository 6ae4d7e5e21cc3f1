#include "machine_window/machine_requests.h"

#include "protocol/command_machine.h"

namespace dupmon {

void CommandMachineRequests::setNickname(const char* text) {
    engine_.setNickname(text);
}
bool CommandMachineRequests::getMachineClock(char out[14]) {
    return engine_.getMachineClock(out);
}
void CommandMachineRequests::setMachineClock() {
    engine_.setMachineClock();
}
void CommandMachineRequests::requestCopy() {
    engine_.requestCopy();
}
void CommandMachineRequests::requestCompare() {
    engine_.requestCompare();
}
void CommandMachineRequests::requestCopyCompare() {
    engine_.requestCopyCompare();
}
void CommandMachineRequests::requestCopyWriteProtect() {
    engine_.requestCopyWriteProtect();
}
void CommandMachineRequests::requestCopyCompareWriteProtect() {
    engine_.requestCopyCompareWriteProtect();
}
void CommandMachineRequests::answerContinue() {
    engine_.answerContinue();
}
void CommandMachineRequests::answerFinish() {
    engine_.answerFinish();
}
void CommandMachineRequests::requestImageBank() {
    engine_.requestImageBank();
}

} // namespace dupmon
