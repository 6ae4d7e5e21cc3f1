// Syncs a stand-in's job log of 10,000 records through the real engine and
// link on the virtual bus, in virtual time, and prints records per second:
// at the program's cadence (input polled every 10 ms, engine stepped every
// 1 ms), reading the link the moment a report arrives, and the wire's own
// limit for the same exchanges (every report 1 ms on the wire, nothing else).
#include <chrono>
#include <cstdio>

#include "hidlink/usbhidioc.h"
#include "protocol/command_machine.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"
#include "support/test_ui.h"

using namespace dupmon;

namespace {

struct Result {
    double seconds; // virtual time from identification to the last record
    uint32_t records;
    uint64_t reports; // reports that crossed the wire during the sync
};

struct Counter {
    uint32_t records = 0;
    MachineInfo* info = nullptr;
    COMMAND_MACHINE* engine = nullptr;
};

void onRecord(void* u, int, const uint8_t* r) {
    auto* c = static_cast<Counter*>(u);
    ++c->records;
    c->info->lastStoredLogNo = int32_t(uint32_t(r[0]) << 24 | r[1] << 16 | r[2] << 8 | r[3]);
    c->engine->setStoredRecords(true);
}

Result sync(uint32_t total, uint32_t pollEveryMs, bool readOnArrival) {
    ManualClock clock;
    VirtualBus bus(clock);
    bus.setWireTime(1);
    auto standIn = StandInController::create("usb10", clock);
    standIn->machine().setLogCapacity(total);
    standIn->machine().preloadLog(total);
    const std::string path = bus.plug(standIn, 0x6C15, standIn->profile().productId);
    CUsbhidioc link(bus);
    link.openByPath(path, 0x6C15, standIn->profile().productId);
    MachineInfo info{};
    TestUi ui;
    COMMAND_MACHINE engine(&info, clock, ui);
    Counter counter{0, &info, &engine};
    engine.bind(
        &CUsbhidioc::takeFrameCallback, &link, &CUsbhidioc::sendFrameCallback, &link, nullptr,
        nullptr, nullptr, nullptr, [](void*, int, int, const void*) {}, nullptr);
    engine.setLogRecordCallback(&onRecord, &counter);
    uint32_t t = 0, start = 0;
    bool identified = false;
    uint64_t framesAtStart = 0;
    while (counter.records < total && t < 3'600'000) {
        clock.advance(1);
        ++t;
        bus.pump();
        if ((readOnArrival || t % pollEveryMs == 0) &&
            (link.awaitingReply() || engine.awaitingAnswer()))
            link.pollInput();
        engine.step();
        if (readOnArrival && !engine.deciding())
            engine.step(); // a decision and its send in the same millisecond
        if (!identified && engine.sequence() == 3) {
            identified = true;
            start = t;
            framesAtStart = standIn->answersSent() + standIn->hostFrames().size();
        }
    }
    (void)framesAtStart;
    return {(t - start) / 1000.0, counter.records, 0};
}

} // namespace

int main() {
    const uint32_t total = 10000;
    auto wall0 = std::chrono::steady_clock::now();
    const Result cadence = sync(total, 10, false);
    auto wall1 = std::chrono::steady_clock::now();
    const Result arrival = sync(total, 1, true);
    // Per idle pass: "B" (1 report out, 1 back) and two W 23 (1 out, 3 back each).
    const double wireMsPerRecord = (2.0 + 2 * 4.0) / 2;
    std::printf("job-log sync of %u records, 1 ms per report on the wire, virtual time\n", total);
    std::printf("  program cadence (poll 10 ms, step 1 ms): %u records in %.1f s = %.0f records/s"
                " (bench wall time %.2f s)\n",
                cadence.records, cadence.seconds, cadence.records / cadence.seconds,
                std::chrono::duration<double>(wall1 - wall0).count());
    std::printf(
        "  read on arrival (poll and step every 1 ms): %u records in %.1f s = %.0f records/s\n",
        arrival.records, arrival.seconds, arrival.records / arrival.seconds);
    std::printf("  the wire's own limit for the same exchanges: %.0f records/s\n",
                1000.0 / wireMsPerRecord);
    return 0;
}
