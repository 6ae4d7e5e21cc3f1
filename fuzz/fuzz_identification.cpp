// Identification answers through the real engine: "A", the machine identity,
// the board layout and the board list, the nickname and the job-log numbers,
// each answer taken from the input (see answer_feed.h), until the engine
// reports the machine identified.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "answer_feed.h"
#include "protocol/command_machine.h"

using namespace dupmon;
using namespace dupmon::fuzz;

namespace {

struct Run {
    bool identified = false;
    MachineInfo atEvent{};
    int nextBoard = 1; // the board number the next board list request must start at
};

void onFrame(void* user, const uint8_t* f, size_t n, bool again) {
    auto& run = *static_cast<Run*>(user);
    if (f[0] != kCommandStart || again)
        return;
    if (f[3] == 'A')
        run.nextBoard = 1; // identification starts over
    if (f[3] == 'W' && n >= 5 && f[4] == 3) {
        // Board list requests: consecutive ranges of at most 25 boards from number 1.
        check(n == 9);
        const int first = f[5] | f[6] << 8;
        const int count = f[7];
        check(first == run.nextBoard);
        check(count <= 25);
        run.nextBoard += count;
    }
}

void onEvent(void* user, int code, int, const void* data) {
    auto& run = *static_cast<Run*>(user);
    if (code == EVENT_IDENTIFIED) {
        run.identified = true;
        std::memcpy(&run.atEvent, data, sizeof run.atEvent);
    }
}

void onLog(void*, const char* text) {
    check(std::strlen(text) < 64 * 1024);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One engine for the whole run: its buffers are large, and binding it
    // starts identification afresh (the record is cleared at its first step).
    static ManualClock clock;
    static QuietUi ui;
    static MachineInfo info{};
    static COMMAND_MACHINE engine(&info, clock, ui);
    AnswerFeed feed(data, size);
    Run run;
    feed.onFrameHook = onFrame;
    feed.hookUser = &run;
    engine.bind(&AnswerFeed::read, &feed, &AnswerFeed::write, &feed, onLog, nullptr, nullptr,
                nullptr, onEvent, &run);

    for (int steps = 0; steps < 200000 && !run.identified; ++steps) {
        if (feed.exhausted() && !feed.answerReady && engine.awaitingAnswer())
            break;
        feed.step(engine, clock);
    }
    if (!run.identified)
        return 0;
    const MachineInfo& m = run.atEvent;
    check(terminated(m.machineId, sizeof m.machineId));
    check(terminated(m.modelName, sizeof m.modelName));
    check(terminated(m.version, sizeof m.version));
    check(terminated(m.nickName, sizeof m.nickName));
    check(m.support_LogRecord == 0 || m.support_LogRecord == 1);
    if (m.machineType == 1)
        check(m.portQty_per_Row == 8 && m.portQty_per_board == 8);
    check(engine.sequence() == 3);
    return 0;
}
