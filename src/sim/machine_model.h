#pragma once
// The duplicator a stand-in controller plays: its media and ports, port
// states, functions and job phases, job timing, boards, and the machine
// model that keeps the job log, the clock and the running job moving.
#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "common/clock.h"
#include "sim/sim_profiles.h"

namespace dupmon {

// A medium in a port of a stand-in machine.
struct SimMedium {
    bool present = false;
    MediaKind kind = MediaKind::Usb;
    uint32_t sectors = 0;      // capacity
    uint16_t sectorSize = 512; // bytes per sector
    uint32_t dataSectors = 0;  // source data on it (the master's copy area)
    bool bad = false;          // fails every job part way through
    bool writeProtected = false;
    // USB identity
    uint16_t vendorId = 0x1D6B;
    uint16_t productId = 0x0104;
    std::string serial; // USB serial text, CF serial text
    std::string vendor = "SIMDISK";
    std::string product = "Flash Drive";
    std::string revision = "1.00";
    // SD / MMC card identification register
    std::array<uint8_t, 16> cid{};
    // CF identification
    std::string model;
    std::string firmware = "V1.0";
};

// A believable medium: capacity in MiB, identity made from the serial number.
SimMedium makeMedium(MediaKind kind, uint32_t serialNo, uint32_t megabytes,
                     uint16_t sectorSize = 512);

// Live state of one port, named as the host's port status record names it.
struct SimPort {
    SimMedium medium;
    uint64_t addr = 0;
    uint64_t completeSector = 0;
    uint64_t dataSectors = 0;
    uint64_t realCapacity = 0;
    uint64_t failAddr = 0;
    uint32_t loop = 0;
    uint32_t speed = 0;
    uint32_t rSpeed = 0;
    uint32_t wSpeed = 0;
    uint16_t rLoop = 0;
    uint8_t usbCardStatus = 1;
    uint8_t life = 0;
    uint8_t chipStatus = 0;
    uint8_t isRead = 0;
    uint8_t isCompare = 0;
    uint8_t result = 0;
    uint8_t inWorking = 0;
    uint8_t subProcess = 0;
    uint8_t erasePattern = 0;
    uint8_t protectBits = 0;
    bool marked = false; // the host marked it (repeated serial number)
    // Fails this job (a bad medium, or a draw at its port's failure rate),
    // at this percent of its work.
    bool failing = false;
    uint8_t failPercent = 37;
    // job bookkeeping
    bool inJob = false;
    bool failed = false;
    bool failLogged = false;
    uint32_t workStartMs = 0;
    uint32_t copySeconds = 0;
    uint32_t compareSeconds = 0;

    uint64_t capacity() const { return medium.present ? medium.sectors : 0; }
    uint32_t sectorsPerMB() const {
        return medium.present && medium.sectorSize ? 1048576u / medium.sectorSize : 0;
    }
};

// Port status codes (the port record's usbCardStatus).
enum PortStatus : uint8_t {
    PORT_PASS_IDLE = 0,
    PORT_EMPTY = 1,
    PORT_WRITING = 2,
    PORT_COMPARING = 3,
    PORT_PROTECTING = 4,
    PORT_PASS = 5,
    PORT_FAIL = 6,
    PORT_ERASE_QUICK = 13,
    PORT_ERASE_FULL = 14,
    PORT_ERASE_DOD = 15,
    PORT_TEST_WRITE = 16,
    PORT_TEST_READ = 17,
    PORT_CHECKING = 19,
    PORT_FORMATTING = 20,
    PORT_NO_MEDIUM = 50,
    PORT_DONE = 52,
    PORT_READY = 80,
    PORT_SIZE_NOT_ENOUGH = 81,
    PORT_SET_PROTECT = 138,
    PORT_RELEASE_PROTECT = 139,
    PORT_SHOW_PROTECT = 140,
};

// Function codes (machineState) the stand-in can run.
enum SimFunction : uint8_t {
    FN_STANDBY = 0,
    FN_COPY = 1,
    FN_COMPARE = 4,
    FN_COPY_COMPARE = 5,
    FN_QUICK_ERASE = 11,
    FN_FULL_ERASE = 12,
    FN_DOD_ERASE = 13,
    FN_H3_TEST = 14,
    FN_H5_TEST = 15,
    FN_CAPACITY_CHECK = 16,
    FN_BURN_IN = 22,
    FN_FORMAT_AUTO = 24,
    FN_FORMAT_FAT16 = 25,
    FN_FORMAT_FAT32 = 26,
    FN_SET_PROTECT = 80,
    FN_RELEASE_PROTECT = 81,
    FN_SHOW_PROTECT = 82,
    FN_COPY_WP = 84,
    FN_COPY_COMPARE_WP = 85,
};

// Job phases (machineSubState).
enum SimPhase : uint8_t {
    PHASE_NONE = 0,
    PHASE_READ_MASTER = 1,
    PHASE_WAIT_TARGETS = 3,
    PHASE_WORKING = 4,
    PHASE_WORK_END = 5,
    PHASE_RESULT = 6,
    PHASE_FINISH = 10,
    PHASE_COMPARING = 13,
    PHASE_PROTECTING = 14,
};

// Job start refusals (the result byte of a job command's answer).
enum JobStartResult : uint8_t {
    JOB_STARTED = 0,
    JOB_BUSY = 1,
    JOB_NO_MASTER = 2,
    JOB_UNKNOWN_FUNCTION = 3,
};

// Phase lengths and transfer rates, in job time. Job time runs `speed` times
// faster than the bus clock.
struct SimJobTiming {
    uint32_t waitTargetsMs = 2000;
    uint32_t workEndMs = 500;
    uint32_t resultMs = 3000;
    uint32_t finishMs = 1000;
    uint32_t protectMs = 1000;
    uint32_t shortWorkMs = 3000; // quick erase, capacity check, format, protect
    uint32_t readBytesPerSec = 30u << 20;
    uint32_t writeBytesPerSec = 20u << 20;
    uint32_t powerOffMs = 1000; // burn-in, between loops
};

// One port board as the board list describes it.
struct SimBoard {
    std::string text1;
    std::string text2;
    uint32_t fpga = 0;
    uint16_t sizeMB = 0;
    uint16_t totalDevices = 0;
    uint16_t secondCount = 0;
    uint32_t build = 0;
};

// The duplicator behind a stand-in controller: its identity, settings, ports
// with media, job log, image bank and master stick, and the job it runs.
// Everything moves on the bus clock through tick().
class MachineModel {
public:
    static constexpr size_t kLogRecordSize = 128;
    static constexpr size_t kStatusSize = 28;
    static constexpr size_t kSetupSize = 256;

    MachineModel(const SimProfile& profile, const Clock& clock, std::string machineId);

    const SimProfile& profile() const { return profile_; }
    bool wide() const { return profile_.wideLayout(); }

    std::string machineId;
    std::string nickname;
    std::array<uint8_t, kSetupSize> setup{};
    SimJobTiming timing;
    double speed = 1.0; // job time per bus time

    // Boards: the profile's count unless changed (a test may ask for 51).
    const std::vector<SimBoard>& boards() const { return boards_; }
    void setBoardCount(uint16_t n);

    // Ports and media.
    size_t portCount() const { return ports_.size(); }
    SimPort& port(size_t i) { return ports_.at(i); }
    const SimPort& port(size_t i) const { return ports_.at(i); }
    void insertMedium(size_t port, const SimMedium& m);
    void removeMedium(size_t port);
    // A worn socket: every job on the port fails with this probability (0 to
    // 1), whatever medium is in it; the sector it fails at varies.
    void setPortFailRate(size_t port, double rate);
    double portFailRate(size_t port) const { return failRates_.at(port); }
    // A fresh medium of the machine's kind for that port.
    SimMedium defaultMedium(size_t port, uint32_t megabytes = 0) const;

    // Machine clock: runs with the bus clock from the time it was last set.
    LocalTime machineClock() const;
    void setMachineClock(const LocalTime& t);
    // "YYYYMMDDhhmmss"
    std::string clockDigits() const;
    bool setClockDigits(const uint8_t* digits14);

    // Job log.
    uint32_t logFirstNo() const { return logFirst_; }
    uint32_t logCount() const { return static_cast<uint32_t>(log_.size()); }
    uint32_t logNextNo() const { return logFirst_ + logCount(); }
    // Renumbers the log so that its oldest record has this number.
    void setLogFirstNo(uint32_t first);
    // Appends n believable records of past jobs.
    void preloadLog(uint32_t n);
    // Keeps at most this many records (0: no limit); the oldest go first.
    void setLogCapacity(uint32_t n);
    bool logRecord(uint32_t number, uint8_t* out128) const;
    void appendLogRecord(const uint8_t* record128);

    // Status block of the status poll.
    void statusBlock(uint8_t* out28) const;
    uint8_t state() const { return state_; }
    uint8_t subState() const { return sub_; }
    uint32_t passCount() const { return passCount_; }
    uint32_t failCount() const { return failCount_; }

    // Jobs. startJob is what the job commands and the machine's own panel do.
    JobStartResult startJob(uint8_t function, uint32_t nowMs);
    static bool knownFunction(uint8_t function);
    // The continue-or-finish wait: true when the machine was waiting for it.
    bool answerContinue(uint32_t nowMs);
    bool answerFinish(uint32_t nowMs);
    bool waitingForAnswer() const;
    void tick(uint32_t nowMs);

    // Port data records. Record size of a kind in this machine's layout (0:
    // no such kind); out must hold that many bytes.
    size_t portRecordSize(uint8_t kind) const;
    void portRecord(uint8_t kind, size_t index, uint8_t* out) const;

    // Device information: collected on demand, then sent as 32-byte blocks
    // followed by their block checks.
    void collectDeviceInformation(uint32_t nowMs);
    bool deviceInformationReady(uint32_t nowMs) const;
    const std::vector<uint8_t>& deviceInformation() const { return devInfo_; }

    // Image bank (only when the profile has one).
    void imageBankBlock(uint8_t* out256) const; // answer frame of Y 3, header included
    std::vector<uint8_t> imageBankTable() const;
    uint32_t maxImageQty = 32;
    std::vector<bool> images; // which image slots hold an image

    // Master stick hand-over.
    bool masterAtPc = false;
    bool masterRejects = false; // the stick refuses the identity bytes
    // What the host wrote with the take: the stick carries it in its first
    // sector (bytes 128..131) while it is at the PC.
    std::array<uint8_t, 4> masterIdentity{};

    // Ports marked by the host.
    std::vector<uint16_t> markedPorts;

    // The device-information state: entered when the host collects device
    // information, left when it releases the machine. The panel starts no job
    // meanwhile.
    bool deviceInfoSession = false;
    uint32_t releases = 0;
    // Setup blocks the host has written.
    uint32_t setupWrites = 0;
    // An SD machine of kind 10 keeps a card in this port (0-based) that
    // repeats the serial number of the card in kRepeatedSerialSource.
    static constexpr size_t kRepeatedSerialPort = 7;
    static constexpr size_t kRepeatedSerialSource = 2;

private:
    void enterPhase(uint8_t phase, uint64_t jobMs);
    void classifyTargets();
    void finishRound();
    void endJob();
    void resetPortsIdle();
    void stepCopy(uint64_t jobMs);
    void stepSimple(uint64_t jobMs);
    void stepBurnIn(uint64_t jobMs);
    void logPortResult(size_t i, uint8_t burnStatus);
    // Decides whether the port, joining a job, fails in it.
    void drawFailure(SimPort& p, size_t i);
    uint64_t jobMs(uint32_t nowMs) const;
    uint32_t sectorsPerSecond(const SimPort& p, bool read) const;

    const SimProfile& profile_;
    const Clock& clock_;
    std::vector<SimBoard> boards_;
    std::vector<SimPort> ports_;
    std::vector<double> failRates_;
    std::mt19937 failDraws_;
    int64_t clockOffsetSec_ = -127; // machine clock minus bus local time
    std::deque<std::array<uint8_t, kLogRecordSize>> log_;
    uint32_t logFirst_ = 0;
    uint32_t logCapacity_ = 0;

    uint8_t state_ = 0;
    uint8_t sub_ = 0;
    uint32_t passCount_ = 0;
    uint32_t failCount_ = 0;
    uint32_t jobStartTick_ = 0;
    uint64_t phaseStartJobMs_ = 0;
    uint64_t phaseLengthMs_ = 0;
    uint64_t roundStartJobMs_ = 0;
    uint32_t lastTick_ = 0;
    uint32_t burnLoops_ = 1;

    std::vector<uint8_t> devInfo_;
    uint32_t devInfoReadyAt_ = 0;
};

} // namespace dupmon
