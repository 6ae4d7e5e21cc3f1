// Each request handed on to the engine; marking ports also copies the port list
// into the engine, and only while the machine is idle.
#include "protocol/machine_requests.h"

#include <algorithm>
#include <cstring>

#include "protocol/command_machine.h"

namespace dupmon {

const MachineInfo& CommandMachineRequests::info() const {
    return engine_.info();
}
bool CommandMachineRequests::silent() const {
    return engine_.silent();
}
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
bool CommandMachineRequests::answerPending() const {
    return engine_.answerPending();
}
void CommandMachineRequests::requestImageBank() {
    engine_.requestImageBank();
}
bool CommandMachineRequests::getSetupParameters(uint8_t out[256]) {
    return engine_.getSetupParameters(out);
}
bool CommandMachineRequests::setSetupParameters(const uint8_t block[256]) {
    return engine_.setSetupParameters(block);
}
void CommandMachineRequests::requestDeviceInfo() {
    engine_.requestDeviceInfo();
}
void CommandMachineRequests::requestRelease() {
    engine_.requestRelease();
}
bool CommandMachineRequests::markPorts(const uint16_t* ports, int count) {
    if (!engine_.isIdle())
        return false; // the list of a mark request still being sent stays as it is
    count = std::clamp(count, 0, int(kMaxMarkPorts));
    std::memcpy(engine_.portList(), ports, sizeof(uint16_t) * size_t(count));
    return engine_.markPorts(count);
}
bool CommandMachineRequests::takeMasterUsbToPc(const uint8_t identity[4], int* result) {
    return engine_.takeMasterUsbToPc(identity, result);
}
bool CommandMachineRequests::returnMasterUsbToDuplicator() {
    return engine_.returnMasterUsbToDuplicator();
}

} // namespace dupmon
