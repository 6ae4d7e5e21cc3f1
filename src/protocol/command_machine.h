#pragma once
// COMMAND_MACHINE, the protocol engine of one machine, with the codes, blocks
// and write outcomes it hands to its status and event callbacks.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

#include "common/clock.h"
#include "common/ui_services.h"
#include "protocol/frame_channel.h"
#include "protocol/machine_info.h"
#include "protocol/machine_requests.h"
#include "protocol/port_record_sizes.h"

namespace dupmon {

// Status callback codes.
enum StatusCode : int {
    STATUS_MACHINE = 1,   // 28-byte MachineStatus as received (big-endian)
    STATUS_PORT_DATA = 2, // PortDataBlock, rendered by the running function
    STATUS_DEVICE_INFO_START = 4,
    STATUS_DEVICE_INFO = 5,  // DeviceInfoBlock
    STATUS_JOB_SUMMARY = 7,  // 26-byte job summary record
    STATUS_CLEAR_PORTS = 11, // once per program run, first loop with an open window
    STATUS_POWER_OFF = 12,   // sub-state 7 seen after a change
    STATUS_PORTS_ALL = 20,   // fetched and dropped, never reported
    STATUS_SOURCE = 21,
    STATUS_TARGETS = 22,
    STATUS_WORKING = 23,
    STATUS_OUTCOME = 24,
    STATUS_TEST = 25,
    STATUS_FORMAT = 26,
    STATUS_ERASE = 27,
    STATUS_CHECK = 28,
    STATUS_ASYNC_COPY = 29,
    STATUS_SET_PROTECT = 30,
    STATUS_RELEASE_PROTECT = 31,
    STATUS_SHOW_PROTECT = 32,
    STATUS_WRITE_RESULT = 40,       // WriteOutcome: what became of a write to the machine
    STATUS_SILENCE = 41,            // bool: the machine stopped answering (true) or answers again
    STATUS_DEVICE_INFO_FAILED = 42, // const char*: why no device information comes
};

// Event callback codes.
enum EventCode : int {
    EVENT_IDENTIFIED = 1,
    EVENT_CLOCK_SET = 2,
    EVENT_DISCONNECTED = 3,
    EVENT_CLOCK_NOT_SET = 4,        // the clock write ended without the machine taking the time
    EVENT_COPY_ANSWER = 13,         // W 42, W 66
    EVENT_COMPARE_ANSWER = 14,      // W 43
    EVENT_COPY_COMPARE_ANSWER = 15, // W 44, W 67
    EVENT_IMAGE_BANK_BLOCK = 50,    // Y 3 answer frame
    EVENT_IMAGE_BANK_TABLE = 51,    // Y 4 answer frame
};

// The writes whose outcome the engine reports with STATUS_WRITE_RESULT.
enum class MachineWrite : int { Clock = 1, Nickname = 2, Setup = 3 };
enum class WriteResult : int {
    Done,     // the machine answered that it took the data
    Refused,  // the machine answered no (`answer` holds its result code)
    NoAnswer, // neither the time-out nor the re-send brought an answer
    NotSent,  // the machine stopped answering before the write went out
};
struct WriteOutcome {
    MachineWrite what;
    WriteResult result;
    uint8_t answer; // result code of the answer that ended the write
};

// The machine status block of the status poll, kept in host order.
//   0  2  not read
//   2  1  machineState   (0 and 29 idle)
//   3  1  machineSubState
//   4  4  flags (byte 5 bit 3 probe sensor, byte 6 write-protect bits)
//   8  4  value passed on
//  12  4  pass count
//  16  4  fail count
//  20  4  logFirstNo
//  24  4  logCount
struct MachineStatus {
    uint8_t raw[28]; // as received, big-endian
    uint8_t machineState;
    uint8_t machineSubState;
    uint32_t value8;
    uint32_t passCount;
    uint32_t failCount;
    uint32_t logFirstNo;
    uint32_t logCount;
};

// One port board as identification reads it (W 3, 40 bytes per board):
//   0 16 first text   16 8 second text   24 4 FPGA version   28 2 size in MB
//  30  2 total device count   32 2 second device count   34 2 unused   36 4 build
struct BoardInfo {
    char text1[17];
    char text2[9];
    uint32_t fpgaVersion;
    uint16_t sizeMB;
    uint16_t totalDeviceQty;
    uint16_t secondDeviceQty;
    uint32_t build;
};

// Handed to the status callback with port data.
struct PortDataBlock {
    int32_t kind;
    int32_t firstIndex; // 0-based
    int32_t count;
    const uint8_t* records; // big-endian, kinds 1 and 11 always in the wide layout
};

// Handed to the status callback with status code 5: the data bytes of the
// collected 32-byte blocks, in order, without their block checks.
struct DeviceInfoBlock {
    const uint8_t* data;
    uint32_t size; // 32 per block
};

inline constexpr size_t kMaxBoards = 255;
inline constexpr size_t kMaxMarkPorts = 1026;

using StatusFn = void (*)(void* user, int code, const void* data);
using EventFn = void (*)(void* user, int code, int index, const void* data);
using LogRecordFn = void (*)(void* user, int length, const uint8_t* record);

// The protocol engine of one machine: a state machine that is stepped, never
// run. One step sends one frame, looks once for an answer, or takes one
// decision. Sequence 1 identifies the controller; sequence 3 is the
// operating loop, which serves the windows' requests while the machine is idle.
//
// Its phases sit in files of their own: command_machine.cpp (stepping,
// sending and receiving, silence), command_machine_identify.cpp,
// command_machine_loop.cpp (status, job-log and port data fetches) and
// command_machine_requests.cpp (the exchanges the windows ask for).
class COMMAND_MACHINE {
public:
    // Decision steps of the operating loop.
    enum Step : int {
        TOP = 10,
        STATUS = 11,
        IDLE = 20,
        REFRESH_PORTS = 30,
        REFRESH_NEXT = 31,
        REFRESH_KIND = 32,
        LOG_CHECK = 40,
        REFRESH_FETCH = 50,
        REFRESH_POLL = 51,
        REFRESH_STATUS = 52,
        REFRESH_LOG_CHECK = 54,
        REFRESH_AGAIN = 55,
        BUSY = 70,
        BUSY_FETCH = 71,
        CLOCK_DONE = 150,
    };

    COMMAND_MACHINE(MachineInfo* info, const Clock& clock, UiServices& ui);
    ~COMMAND_MACHINE();
    COMMAND_MACHINE(const COMMAND_MACHINE&) = delete;
    COMMAND_MACHINE& operator=(const COMMAND_MACHINE&) = delete;

    // --- connection and stepping ---
    void bind(ReadPacketFn read, void* readUser, WritePacketFn write, void* writeUser,
              LogMessageFn log, void* logUser, StatusFn status, void* statusUser, EventFn event,
              void* eventUser);
    void setLogRecordCallback(LogRecordFn fn, void* user);
    void disconnect();
    void step();
    void selectSequence(int value);

    // --- operating loop ---
    void windowOpened() { windowOpen_ = true; }
    void refreshPortData() { req_.refresh = true; }
    // Whether the local log database holds any record: log number 0 is a real
    // number, so lastStoredLogNo alone cannot tell. Set at identification and
    // after every stored record.
    void setStoredRecords(bool any) { storedRecords_ = any; }
    bool storedRecords() const { return storedRecords_; }
    // Whether the local log store can keep records. While it cannot (a
    // database that failed its check, a disk that refuses writes) no record
    // is asked for, and an answer still on its way is dropped unstored.
    void setLogStoreReady(bool ready) { logStoreReady_ = ready; }
    // A fetch pass is running: job-log records are being asked for.
    bool fetchingLog() const;
    // The status mark that every program run starts with.
    static void setGlobalRefreshMark() { globalRefreshMark_ = true; }

    // --- silence ---
    // The machine let an answer time out and has not answered since: every
    // request is refused until it answers again, and an exchange the operator
    // asked for is given up once its re-send is not answered either.
    bool silent() const { return silent_; }

    // --- requests from the windows (all refused while the machine is silent) ---
    void setNickname(const char* text);
    // Waits; false when refused (busy) or the clock could not be read.
    bool getMachineClock(char out[14]);
    void setMachineClock();
    bool getSetupParameters(uint8_t out[256]);
    // False (nothing done) when the machine is busy.
    bool setSetupParameters(const uint8_t block[256]);
    // Waits; false when refused. `result` is a MasterTakeResult.
    bool takeMasterUsbToPc(const uint8_t identity[4], int* result);
    bool returnMasterUsbToDuplicator();
    // The 1-based port numbers go into portList() first. False when busy.
    bool markPorts(int count);
    uint16_t* portList() { return portList_; }
    void requestImageBank() { post(req_.imageBank, "image bank query"); }
    void answerContinue() { post(req_.cont, "Continue"); }
    void answerFinish() { post(req_.finish, "Finish"); }
    // A Continue or Finish answer is posted and not yet answered by the machine.
    bool answerPending() const;
    void requestDeviceInfo() { post(req_.deviceInfo, "device information"); }
    void requestCopy() { post(req_.copy, "Copy"); }
    void requestCompare() { post(req_.compare, "Compare"); }
    void requestCopyCompare() { post(req_.copyCompare, "Copy+Compare"); }
    void requestCopyWriteProtect() { post(req_.copyWP, "Copy+WriteProtect"); }
    void requestCopyCompareWriteProtect() { post(req_.copyCompareWP, "Copy+Compare+WriteProtect"); }
    // Served even after a silence: it only lets the machine go.
    void requestRelease() { req_.release = true; }

    // --- state, read by the windows and tests ---
    bool connected() const { return connected_; }
    // The link took none of the reports sent for 11 s (see FrameChannel).
    bool linkLost() const { return channel_.linkLost(); }
    int sequence() const { return sequence_; }
    int decisionStep() const { return step_; }
    bool deciding() const { return deciding_; }
    // Looking for an answer: the link should be read even after it handed up a stale one.
    bool awaitingAnswer() const {
        return connected_ && !deciding_ && cmdState_ == CommandState::AwaitAnswer;
    }
    // Milliseconds until a step can move the engine on without an answer: a
    // decision, a send, a time-out, the end of a wait (0: now; kNoDeadline:
    // disconnected). An answer on the link is the other thing that moves it.
    static constexpr uint32_t kNoDeadline = UINT32_MAX;
    uint32_t msUntilDue() const;
    bool isIdle() const { return status_.machineState == 0; }
    const MachineStatus& status() const { return status_; }
    const MachineInfo& info() const { return *info_; }
    const BoardInfo& board(int i) const { return boards_[i]; }
    bool clockSupported() const { return clockSupported_; }
    bool windowOpen() const { return windowOpen_; }
    FrameChannel& channel() { return channel_; }

private:
    // What the exchange phase is carrying out.
    enum class Exchange {
        None,
        // identification
        Identify,
        MachineId,
        BoardLayout,
        BoardList,
        Nickname,
        LogSupport,
        LogNumbers,
        LogClose,
        // operating loop
        Status,
        LogFetch,
        PortFetch,
        // requests
        ClockWrite,
        Single, // W 13/14/42/43/44/66/67: one command, answer delivered as an event
        NicknameWrite,
        ClockRead,
        SetupRead,
        SetupWrite,
        ImageBank,
        MasterTake,
        MasterReturn,
        DeviceInfo,
        Release,
        MarkPorts,
    };
    // Where the current exchange stands.
    enum class CommandState {
        Send,        // the next step sends the exchange's first frame
        AwaitAnswer, // a frame is out: the steps look for its answer
        ReleaseWait, // W 81 is out: the machine is given 100 ms, no answer is read
    };
    // Where a two-frame exchange (a write with its data frame, or the device
    // information transfer) stands.
    enum class TransferPhase {
        Command, // the command is out: its answer invites the data or refuses
        Data,    // the data frame is out (or the device information blocks are coming)
    };
    // Each exchange's first frame, and what every answer in it does.
    struct ExchangeHandlers {
        void (COMMAND_MACHINE::*send)();
        void (COMMAND_MACHINE::*answer)();
    };
    static ExchangeHandlers handlersOf(Exchange x);

    // Identification steps, in order.
    enum IdentifyStep : int {
        ID_START = 0,
        ID_WAIT = 1,
        ID_IDENTIFY = 2,
        ID_MACHINE_ID = 3,
        ID_BOARD_LAYOUT = 4,
        ID_BOARD_LIST = 5,
        ID_NICKNAME = 6,
        ID_LOG_SUPPORT = 7,
        ID_LOG_NUMBERS = 8,
        ID_LOG_CLOSE = 9,
        ID_LOG_DONE = 10,
        ID_DONE = 11,
    };

    struct Requests {
        bool nickname, masterTake, masterReturn, imageBank, cont, finish, getClock, getSetup,
            setSetup, deviceInfo, copy, compare, copyCompare, copyWP, copyCompareWP, release,
            markPorts, setClock, refresh;
    };

    static constexpr size_t kBufferSize = 128 * 1024;
    static constexpr size_t kLogRecordSize = 128; // one job-log record, as W 23 answers it

    static bool isOneOf(int v, std::initializer_list<int> set) {
        return std::find(set.begin(), set.end(), v) != set.end();
    }

    // --- stepping, sending and receiving (command_machine.cpp) ---
    void log(const char* text);
    void logf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void reportStatus(int code, const void* data);
    void reportEvent(int code, int index, const void* data);
    // Start an exchange: the next engine step sends, the ones after look for the answer.
    void begin(Exchange x, int nextStep);
    void exchangeStep();
    void sendCommand(char letter, std::initializer_list<uint8_t> params);
    void sendCommand(char letter, const uint8_t* params, size_t n);
    void sendData(const uint8_t* data, size_t n);
    void finish();
    // Bytes of the current answer, zero past its end (at most 8192 + 4).
    const uint8_t* answerBytes(size_t need);
    // Why the answer just received cannot be the answer to the last command
    // (a late answer to an earlier one, or garbage), or nullptr: status, log
    // record and port data answers have one size and log records carry their
    // number; identification answers must hold what a controller can send.
    const char* answerMisfit() const;
    // An answer time-out in the current exchange.
    void onTimeOut();

    // --- identification (command_machine_identify.cpp) ---
    void decideIdentification();
    void sendIdentify();
    void onIdentifyAnswer();
    void sendMachineId();
    void onMachineIdAnswer();
    void sendBoardLayout();
    void onBoardLayoutAnswer();
    void sendBoardList();
    void onBoardListAnswer();
    void sendNicknameRead();
    void onNicknameReadAnswer();
    void sendLogSupport();
    void onLogSupportAnswer();
    void sendLogNumbers();
    void onLogNumbersAnswer();
    void sendLogClose();
    void logBoards();
    // Why the answer cannot be the one to this identification command, or nullptr.
    const char* identificationMisfit() const;
    // Remembers the identification answer just taken.
    void noteAnswer();

    // --- operating loop (command_machine_loop.cpp) ---
    void decideOperating();
    void sendStatus();
    void onStatusAnswer();
    void takeStatusBlock(bool noteStateChange);
    void beginLogCheck(bool busy, int nextStep);
    void sendLogRequest();
    void onLogAnswer();
    void busyFetch();
    void beginPortFetch(int kind, int first, int end, int code, bool codeIsSubState, int nextStep);
    void sendPortRequest();
    void onPortAnswer();

    // --- requests (command_machine_requests.cpp) ---
    bool anyRequest() const;
    bool serveRequest();
    // Sets a request flag unless the machine is silent (then logs the refusal).
    bool post(bool& flag, const char* what);
    bool waitFor(const bool& done);
    void sendClockWrite();
    void onClockWriteAnswer();
    void sendSingle();
    void onSingleAnswer();
    void sendNicknameWrite();
    void onNicknameWriteAnswer();
    void sendClockRead();
    void onClockReadAnswer();
    void sendSetupRead();
    void onSetupReadAnswer();
    void sendSetupWrite();
    void sendSetupBlock();
    void onSetupWriteAnswer();
    void sendImageBank();
    void onImageBankAnswer();
    void sendMasterTake();
    void onMasterTakeAnswer();
    void sendMasterReturn();
    void onMasterReturnAnswer();
    void sendDeviceInfo();
    void onDeviceInfoAnswer();
    void onDeviceInfoData();
    void onDeviceInfoComplete();
    void deviceInfoFailed(const std::string& why);
    void sendRelease();
    // Milliseconds since W 81 went out, by the millisecond part of the clock.
    int msSinceRelease() const;
    void sendMarkPort();
    void onMarkPortAnswer();
    // Reports a write's outcome to the window; endWrite() also ends its exchange.
    void reportWrite(MachineWrite what, WriteResult result, uint8_t answer);
    void endWrite(MachineWrite what, WriteResult result, uint8_t answer);
    // An answer in a clock or nickname write: to its command ("ready for
    // data" sends `data`), or to its data frame.
    void onWriteAnswer(MachineWrite what, const uint8_t* data, size_t n);
    // The answer to the data frame of a write: done, refused, or the re-sent
    // command's "ready for data" (after a time-out), which sends `data` again.
    void onDataAnswer(MachineWrite what, const uint8_t* data, size_t n);
    // The operator asked for this exchange (a setting, a job, a transfer):
    // it is given up when the machine stays silent.
    bool operatorExchange() const;
    void abandonExchange();
    // Drops what was asked and not yet sent, ending the waits with a failure.
    void dropRequests();

    // --- connection and stepping ---
    MachineInfo* info_;
    const Clock& clock_;
    UiServices& ui_;
    FrameChannel channel_;

    StatusFn status_fn_ = nullptr;
    void* statusUser_ = nullptr;
    EventFn event_fn_ = nullptr;
    void* eventUser_ = nullptr;
    LogMessageFn log_fn_ = nullptr;
    void* logUser_ = nullptr;
    LogRecordFn logRecord_fn_ = nullptr;
    void* logRecordUser_ = nullptr;

    bool connected_ = false;
    int sequence_ = 1;
    int step_ = 0;
    bool deciding_ = true;
    Exchange exchange_ = Exchange::None;
    CommandState cmdState_ = CommandState::Send;
    TransferPhase transfer_ = TransferPhase::Command;
    int nextStep_ = 0;

    std::unique_ptr<uint8_t[]> workBuffer_;
    std::unique_ptr<uint8_t[]> blockBuffer_;
    std::unique_ptr<char[]> textBuffer_;
    std::unique_ptr<uint8_t[]> scratch_;

    // Silence: the time-outs of the current exchange, and how often its data
    // frame went out (a data frame is sent again at most kMaxDataSends times
    // in all, when the re-sent command is answered "ready for data").
    bool silent_ = false;
    int exchangeTimeOuts_ = 0;
    int dataSends_ = 0;
    static constexpr int kMaxDataSends = 3;

    // --- identification ---
    int identifyStartSecond_ = 0;
    int boardStart_ = 0;
    int boardCount_ = 0;
    bool boardsRequested_ = false;
    BoardInfo boards_[kMaxBoards] = {};
    uint8_t logSupportResult_ = 0;
    uint32_t machineLogStartNo_ = 0;
    uint32_t machineLogNextNewNo_ = 0;
    char machineIdCopy_[64] = {};
    // The identification answer taken last: its command (letter, sub-command), length and CRC.
    uint16_t lastAnswered_ = 0;
    int lastAnswerLength_ = -1;
    uint32_t lastAnswerCrc_ = 0;

    // --- operating loop ---
    bool windowOpen_ = false;
    bool logSupported_ = false;
    bool storedRecords_ = false;
    bool logStoreReady_ = true;
    MachineStatus status_ = {};
    int lastSubState_ = -1;
    bool subStateChanged_ = false;
    bool stateChanged_ = false;
    int lastState_ = -1;
    int refreshKind_ = 10;

    // Job-log fetch: the next number asked for, and how many are left in this pass.
    uint32_t logNext_ = 0;
    int logToFetch_ = 0;

    // Port data fetch.
    int fetchKind_ = 0;
    int fetchIndex_ = 0;
    int fetchEnd_ = 0;
    int fetchPerPacket_ = 0;
    int fetchRecordSize_ = 0;
    int fetchCount_ = 0;
    int fetchCode_ = 0;
    bool fetchCodeIsSubState_ = false;

    // Idle with nothing to fetch: the next status poll waits for the interval.
    // The polls fall on one grid of the tick count, so that the idle machines
    // are all polled in the same wake-up of the program.
    static constexpr uint32_t kIdlePollIntervalMs = 100;
    bool idleSettled_ = false;
    uint32_t nextIdlePoll_ = 0;

    static bool globalRefreshMark_;

    // --- requests ---
    Requests req_ = {};
    bool clockSupported_ = false;
    bool pelluxSupported_ = false;
    char nickname_[64] = {};
    char clockText_[24] = {};
    uint8_t setupBlock_[256] = {};
    bool clockReadEnded_ = false;
    bool setupReadEnded_ = false;
    bool setupReadOk_ = false;
    int setupRetries_ = 0;
    bool clockWritten_ = false;
    uint8_t singleSub_ = 0;

    // Master hand-over: the identity sent with X 27, the take's result, and
    // the busy flags the two waiting requests wait on.
    uint8_t masterIdentity_[4] = {};
    int masterResult_ = 0;
    bool masterTakeBusy_ = false;
    bool masterReturnBusy_ = false;
    bool masterReturned_ = false;

    // Mark ports: the list and how far W 85 has gone through it.
    uint16_t portCount_ = 0;
    uint16_t portList_[kMaxMarkPorts] = {};
    int markIndex_ = 0;

    // Device information transfer: how often its blocks were fetched (W 61)
    // and since when the controller is asked whether they are ready (W 40).
    uint32_t infoTotal_ = 0;
    uint32_t infoReceived_ = 0;
    int infoFetches_ = 0;
    uint32_t infoCollectStart_ = 0;
    static constexpr int kMaxDeviceInfoFetches = 3;
    static constexpr uint32_t kDeviceInfoCollectMs = 60000;

    // Release: the millisecond part of the clock when W 81 went out.
    int releaseMs_ = 0;
};

} // namespace dupmon
