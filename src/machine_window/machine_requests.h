#pragma once

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
    virtual void requestImageBank() = 0;
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
    void requestImageBank() override;

private:
    COMMAND_MACHINE& engine_;
};

} // namespace dupmon
