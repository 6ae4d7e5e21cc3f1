#pragma once
#include <cstdint>

namespace dupmon {

class COMMAND_MACHINE;

// What the machine window asks of its machine's protocol engine. The engine
// serves each request at its next idle poll; the window never waits except
// for the clock read.
class MachineRequests {
public:
    virtual ~MachineRequests() = default;
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
};

// The requests, posted to a COMMAND_MACHINE.
class CommandMachineRequests final : public MachineRequests {
public:
    explicit CommandMachineRequests(COMMAND_MACHINE& engine) : engine_(engine) {}
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

private:
    COMMAND_MACHINE& engine_;
};

} // namespace dupmon
