#pragma once
// The stand-in controller: a duplicator controller on the virtual bus that
// answers the host as the machine would, with faults a test or the simulator
// can inject, and a record of everything the host sent.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "protocol/frame.h"
#include "sim/machine_model.h"
#include "sim/virtual_bus.h"

namespace dupmon {

// Faults a stand-in can be told to commit on its next answers.
enum class SimFault : uint8_t {
    WrongCheck,      // the sum byte or CRC-32 is off by one (answers that carry a check)
    WrongLength,     // the length field is one too large
    WrongStart,      // the start byte is not "#"
    DropAnswer,      // no answer at all
    LateAnswer,      // the answer leaves delayMs late
    Garbage,         // reports of junk instead of the answer
    Unplug,          // the first fragment goes out, then the controller leaves the bus
    SetupCheckError, // a setup block is answered 0xFE although its sum was right
    DeviceInfoShort, // the device information transfer is one byte short
    Refuse,          // the command is answered "refused" (01h) with no data, and not carried out
    RefuseData,      // the data frame after the command is answered "refused" and not taken
    Stall,           // the controller stops taking the host's reports
};

const char* simFaultName(SimFault f);
// Parses "wrong-check", "late", ...; false for an unknown name.
bool parseSimFault(std::string_view name, SimFault& out);

struct SimFaultSpec {
    SimFault kind = SimFault::WrongCheck;
    int times = 1;        // answers it spoils
    uint32_t delayMs = 0; // LateAnswer
    char letter = 0;      // only answers to this command letter (0: any)
    int sub = -1;         // and this sub-command (-1: any)
    // Stall: the reports still taken first, and how long the stall lasts
    // (delayMs; 0: until the controller is unplugged).
    int after = 0;
};

// One frame the host sent, as the stand-in reassembled it.
struct HostFrame {
    enum Kind : uint8_t { Command, Data, Raw, Bad };
    Kind kind = Command;
    uint32_t timeMs = 0;
    char letter = 0;             // command letter (Command only)
    std::vector<uint8_t> params; // parameters (Command), data (Data), report bytes 1.. (Raw)
    std::vector<uint8_t> bytes;  // the whole frame as received
    int sub() const { return params.empty() ? -1 : params[0]; }
};

// The controller side of the protocol on 65-byte reports: reassembles the
// host's fragments, checks its frames, answers every command from the
// machine model, fragments answers as a controller does (count = len / 60 + 1,
// the last fragment possibly empty), and commits faults on demand.
class StandInController final : public VirtualHidDevice {
public:
    StandInController(const SimProfile& profile, const Clock& clock, std::string machineId = {});
    // nullptr when no profile has that name.
    static std::shared_ptr<StandInController>
    create(std::string_view profileName, const Clock& clock, std::string machineId = {});

    MachineModel& machine() { return model_; }
    const MachineModel& machine() const { return model_; }
    const SimProfile& profile() const { return model_.profile(); }

    // Extra processing time before every answer (0 by default).
    void setAnswerDelay(uint32_t ms) { answerDelayMs_ = ms; }

    void injectFault(const SimFaultSpec& spec);
    void injectFault(SimFault kind, int times = 1, uint32_t delayMs = 0);
    void clearFaults() {
        faults_.clear();
        stall_ = {};
    }
    // Refusing the host's reports now (a Stall fault under way).
    bool stalled() const { return stall_.refusing; }
    // Answers still to be spoiled.
    int faultsPending() const;
    int faultsCommitted() const { return faultsCommitted_; }

    // Everything the host sent, oldest first.
    const std::vector<HostFrame>& hostFrames() const { return history_; }
    // The commands with that letter (and sub-command, when not -1).
    std::vector<HostFrame> commands(char letter, int sub = -1) const;
    // The log numbers the host asked for with W 23, in order.
    std::vector<uint32_t> logNumbersAsked() const;
    void clearHistory() { history_.clear(); }
    uint32_t answersSent() const { return answers_; }

    // The master stick as the PC's drives see it, safe to read from any
    // thread (the monitor's drive worker): brought up to date at every
    // hand-over, whatever the thread that steps the stand-in.
    struct MasterState {
        bool atPc = false;
        uint64_t capacityMiB = 0;
        std::array<uint8_t, 4> identity{}; // bytes 128..131 of its first sector
    };
    MasterState masterState() const;

    void outputReport(const uint8_t* report, uint32_t timeMs) override;
    void tick(uint32_t nowMs) override;
    bool takeReport(uint32_t nowMs) override;

private:
    enum class Expect { Nothing, Nickname, Clock, Setup, DeviceInfo };

    void handleFrame(const std::vector<uint8_t>& f, uint32_t t);
    void handleCommand(const HostFrame& f, uint32_t t);
    void handleData(const std::vector<uint8_t>& f, uint32_t t);
    void commandW(const HostFrame& f, uint32_t t);
    void commandE(const HostFrame& f, uint32_t t);
    void commandX(const HostFrame& f, uint32_t t);
    void commandY(const HostFrame& f, uint32_t t);
    // Builds the answer frame with the check the last command calls for and sends it.
    void answer(uint8_t result, const uint8_t* data, size_t n, uint32_t t);
    void answer(uint8_t result, const std::vector<uint8_t>& data, uint32_t t) {
        answer(result, data.data(), data.size(), t);
    }
    void send(std::vector<uint8_t> frame, AnswerCheck check, uint32_t t);
    void sendFragments(const std::vector<uint8_t>& frame, uint32_t t, size_t maxFragments);
    SimFaultSpec* takeFault(bool hasCheck);
    // Takes one fault of `kind` whose command filter fits the last command.
    bool takeSpecialFault(SimFault kind);

    MachineModel model_;
    uint32_t answerDelayMs_ = 0;
    std::vector<SimFaultSpec> faults_;
    int faultsCommitted_ = 0;
    struct Stall {
        bool armed = false;
        int after = 0; // reports still taken before it starts
        uint32_t forMs = 0;
        bool refusing = false;
        uint32_t since = 0;
    } stall_;
    std::vector<HostFrame> history_;
    uint32_t answers_ = 0;

    // Reassembly of the host's fragments.
    std::vector<uint8_t> rx_;
    int rxNext_ = 0;

    uint8_t lastCommand_[kLastCommandBufferSize] = {};
    size_t lastCommandLength_ = 0;
    Expect expect_ = Expect::Nothing;
    size_t devInfoSent_ = 0;
    size_t devInfoTotal_ = 0;

    void publishMaster();
    mutable std::mutex masterMutex_;
    MasterState master_;
};

} // namespace dupmon
