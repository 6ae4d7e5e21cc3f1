// Status blocks, port data and job-log records through the real engine's
// operating loop, and on into the machine window's decoding, as a running
// machine would send them. The first eight input bytes describe the machine,
// which the harness identifies with well-formed answers; every later answer
// comes from the input (see answer_feed.h). After each status poll one input
// byte posts requests, as the machine window's menus would.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "answer_feed.h"
#include "machine_window/port_status_board.h"
#include "protocol/command_machine.h"

using namespace dupmon;
using namespace dupmon::fuzz;

namespace {

constexpr size_t kMachineBytes = 8;

// A fuzz chunk carrying a well-formed answer with this payload.
void appendChunk(std::vector<uint8_t>& out, const std::vector<uint8_t>& payload,
                 uint8_t result = 0) {
    out.push_back(uint8_t(result << 2));
    out.push_back(uint8_t(payload.size()));
    out.push_back(uint8_t(payload.size() >> 8));
    out.insert(out.end(), payload.begin(), payload.end());
}

// The identification answers of a machine described by eight bytes:
// deviceType, machineType, ports (2 bytes), flags of byte 44, boards,
// job log kept (bit 0), firmware minor digit.
std::vector<uint8_t> identification(const uint8_t* d) {
    std::vector<uint8_t> chunks;
    std::vector<uint8_t> a(44, 0);
    std::memcpy(a.data(), "FUZZ MACHINE", 12);
    const char version[] = {'v', '2', '.', '4', '0', '.', char('0' + d[7] % 10)};
    std::memcpy(a.data() + 20, version, sizeof version);
    a[32] = d[2], a[33] = d[3];                   // maxDeviceQty (offset 36)
    a[34] = d[0];                                 // deviceType (38)
    a[37] = d[1] % 4 == 3 ? 16 : d[1] % 4;        // machineType (41)
    a[40] = d[4];                                 // flags (44)
    appendChunk(chunks, a);                       // "A"
    appendChunk(chunks, {'F', 'U', 'Z', 'Z', 0}); // W 1
    const uint8_t boards = d[5] % 26;
    appendChunk(chunks, {boards, 0, 8, 0, 4});                     // W 2
    appendChunk(chunks, std::vector<uint8_t>(40u * boards, 0x31)); // W 3
    appendChunk(chunks, std::vector<uint8_t>(56, 'n'));            // W 4
    const bool log = d[6] & 1;
    appendChunk(chunks, {}, log ? 0 : 1); // W 20
    if (log) {
        appendChunk(chunks, {0, 0, 0, 0, 0, 0, 0, 0}); // W 22
        appendChunk(chunks, {});                       // W 21
    }
    return chunks;
}

struct Run {
    AnswerFeed* feed = nullptr;
    MachineInfo* info = nullptr;
    COMMAND_MACHINE* engine = nullptr;
    std::unique_ptr<PortStatusBoard> board;
    bool identified = false;
    bool statusKnown = false;
    uint32_t logFirst = 0, logCount = 0;
    bool previousWasStatusPoll = false;
    uint8_t requests = 0;
    // Job-log numbers asked for and not yet delivered; the engine asks for
    // the next record before it hands up the one that came.
    std::vector<uint32_t> asked;
};

// A status answer the engine takes: 33 bytes, "#", length 30, right sum.
bool takenStatus(const std::vector<uint8_t>& a) {
    return a.size() == 33 && a[0] == kAnswerStart && readBE16(a.data() + 1) == 30 &&
           a[32] == frameSum(a.data(), 32);
}

void onFrame(void* user, const uint8_t* f, size_t n, bool again) {
    auto& run = *static_cast<Run*>(user);
    AnswerFeed& feed = *run.feed;
    if (run.previousWasStatusPoll && takenStatus(feed.answer)) {
        run.statusKnown = true;
        run.logFirst = readBE32(feed.answer.data() + 4 + 20);
        run.logCount = readBE32(feed.answer.data() + 4 + 24);
    }
    run.previousWasStatusPoll = false;
    if (f[0] != kCommandStart || !run.identified)
        return;
    if (f[3] == 'B') {
        run.previousWasStatusPoll = true;
        if (!again && !feed.exhausted())
            run.requests = feed.data[feed.pos++];
    } else if (f[3] == 'E' && n == 9) {
        // Port data is asked of ports the machine has, in blocks that fit one answer.
        const int kind = f[4];
        const int number = f[5] << 8 | f[6];
        const int count = f[7];
        check(number >= 1 && count >= 1);
        check(number - 1 + count <= std::max(int(run.info->maxDeviceQty), 1));
        check(size_t(count) * portRecordSize(kind, run.info->wideCounters) <= 1010);
    } else if (f[3] == 'W' && n == 10 && f[4] == 23 && !again) {
        // No job-log record is asked of a controller that holds none.
        check(!run.statusKnown || run.logCount != 0);
        run.asked.push_back(readBE32(f + 5));
    }
}

void onEvent(void* user, int code, int, const void*) {
    auto& run = *static_cast<Run*>(user);
    if (code == EVENT_IDENTIFIED) {
        run.identified = true;
        run.board = std::make_unique<PortStatusBoard>(*run.info);
        run.engine->windowOpened(); // the machine window is open: port data flows
    }
}

void onStatus(void* user, int code, const void* data) {
    auto& run = *static_cast<Run*>(user);
    if (run.board)
        run.board->onStatus(code, data);
}

// The record is the one asked for, either the last request or the one before
// a follow-up that just went out; it is stored, as the log database would.
void onRecord(void* user, int length, const uint8_t* record) {
    auto& run = *static_cast<Run*>(user);
    check(length == 128);
    check(!run.asked.empty());
    const uint32_t no = readBE32(record);
    const size_t n = run.asked.size();
    if (no == run.asked.back()) {
        run.asked.clear();
    } else {
        check(n >= 2 && run.asked[n - 2] == no && run.asked[n - 1] == no + 1);
        run.asked.erase(run.asked.begin(), run.asked.end() - 1);
    }
    run.info->lastStoredLogNo = int32_t(no);
    run.engine->setStoredRecords(true);
}

void postRequests(COMMAND_MACHINE& e, uint8_t r) {
    if (r & 0x01)
        e.refreshPortData();
    if (r & 0x02)
        e.requestImageBank();
    if (r & 0x04)
        e.answerContinue();
    if (r & 0x08)
        e.answerFinish();
    if (r & 0x10)
        e.requestCopy();
    if (r & 0x20)
        e.requestCompare();
    if (r & 0x40)
        e.requestDeviceInfo();
    if (r & 0x80)
        e.requestRelease();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kMachineBytes)
        return 0;
    std::vector<uint8_t> input = identification(data);
    input.insert(input.end(), data + kMachineBytes, data + size);

    // One engine for the whole run (its buffers are large): each input is a
    // new machine on it, as a replug is, disconnected and bound afresh.
    static ManualClock clock;
    static QuietUi ui;
    static MachineInfo info{};
    static COMMAND_MACHINE engine(&info, clock, ui);
    engine.disconnect();
    engine.setStoredRecords(false);
    AnswerFeed feed(input.data(), input.size());
    Run run;
    run.feed = &feed;
    run.info = &info;
    run.engine = &engine;
    feed.onFrameHook = onFrame;
    feed.hookUser = &run;
    engine.bind(&AnswerFeed::read, &feed, &AnswerFeed::write, &feed, nullptr, nullptr, onStatus,
                &run, onEvent, &run);
    engine.setLogRecordCallback(onRecord, &run);

    for (int steps = 0; steps < 100000; ++steps) {
        if (feed.exhausted() && !feed.answerReady && engine.awaitingAnswer())
            break;
        feed.step(engine, clock);
        if (run.requests) {
            postRequests(engine, run.requests);
            run.requests = 0;
        }
    }
    return 0;
}
