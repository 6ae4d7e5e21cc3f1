#pragma once
// What the windows and the download flow may ask of a machine, as an interface
// of its own so that they need not hold the engine, and the implementation that
// posts each request to a COMMAND_MACHINE.
#include <cstdint>

#include "protocol/machine_info.h"

namespace dupmon {

class COMMAND_MACHINE;

// Results of the master-USB take request.
enum MasterTakeResult : int {
    MASTER_TAKEN = 0,
    MASTER_NOT_PRESENT = 1,
    MASTER_REJECTED = 2,
    MASTER_COMMAND_FAILED = 9,
};

// What the machine window, the download flow and the device-information
// window ask of their machine's protocol engine. The engine serves each
// request at its next idle poll; the asker waits only for the clock and setup
// reads and the master hand-over.
class MachineRequests {
public:
    virtual ~MachineRequests() = default;
    // The machine as identification found it.
    virtual const MachineInfo& info() const = 0;
    // The machine let an answer time out and has not answered since.
    virtual bool silent() const = 0;
    virtual void setNickname(const char* text) = 0;
    // Waits for the machine's clock; false when busy or the clock could not be read.
    virtual bool getMachineClock(char out[14]) = 0;
    virtual void setMachineClock() = 0;
    virtual void requestCopy() = 0;
    virtual void requestCompare() = 0;
    virtual void requestCopyCompare() = 0;
    virtual void requestCopyWriteProtect() = 0;
    virtual void requestCopyCompareWriteProtect() = 0;
    virtual void answerContinue() = 0;
    virtual void answerFinish() = 0;
    // A Continue or Finish answer is posted and the machine has not yet had it.
    virtual bool answerPending() const = 0;
    virtual void requestImageBank() = 0;
    // Waits for the 256-byte setup block; false when busy or it could not be read.
    virtual bool getSetupParameters(uint8_t out[256]) = 0;
    // False (nothing posted) when the machine is busy.
    virtual bool setSetupParameters(const uint8_t block[256]) = 0;
    virtual void requestDeviceInfo() = 0;
    // Lets the machine leave its device-information state.
    virtual void requestRelease() = 0;
    // Marks the ports (1-based numbers) whose cards repeat a serial number;
    // false (nothing posted) when the machine is busy.
    virtual bool markPorts(const uint16_t* ports, int count) = 0;
    // Waits for the master stick to be handed to the PC; false when refused
    // (busy). `result` is a MasterTakeResult.
    virtual bool takeMasterUsbToPc(const uint8_t identity[4], int* result) = 0;
    // Waits for the master stick to go back; false when refused or not done.
    virtual bool returnMasterUsbToDuplicator() = 0;
};

// The requests, posted to a COMMAND_MACHINE.
class CommandMachineRequests final : public MachineRequests {
public:
    explicit CommandMachineRequests(COMMAND_MACHINE& engine) : engine_(engine) {}
    const MachineInfo& info() const override;
    bool silent() const override;
    void setNickname(const char* text) override;
    bool getMachineClock(char out[14]) override;
    void setMachineClock() override;
    void requestCopy() override;
    void requestCompare() override;
    void requestCopyCompare() override;
    void requestCopyWriteProtect() override;
    void requestCopyCompareWriteProtect() override;
    void answerContinue() override;
    void answerFinish() override;
    bool answerPending() const override;
    void requestImageBank() override;
    bool getSetupParameters(uint8_t out[256]) override;
    bool setSetupParameters(const uint8_t block[256]) override;
    void requestDeviceInfo() override;
    void requestRelease() override;
    bool markPorts(const uint16_t* ports, int count) override;
    bool takeMasterUsbToPc(const uint8_t identity[4], int* result) override;
    bool returnMasterUsbToDuplicator() override;

private:
    COMMAND_MACHINE& engine_;
};

} // namespace dupmon
