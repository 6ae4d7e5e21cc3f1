#pragma once
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "hidlink/usbhidioc.h"
#include "protocol/command_machine.h"
#include "sim/virtual_bus.h"
#include "support/test_ui.h"

namespace dupmon {

// The real engine over the real link on the virtual bus, driven at the
// program's cadence on a manual clock: the link is polled every 10 ms while
// an answer is awaited, and the engine is stepped whenever anything may move
// it. Time jumps straight to the next such moment (the engine's own
// deadline, a report reaching the controller, the next poll of a report on
// its way to the host), so an 11 s time-out costs a few steps, not 11,000.
struct EngineHarness {
    // Milliseconds from now to a tick `delta` away, where one already due counts as 1.
    static uint32_t untilAtLeastOne(uint32_t delta) {
        return static_cast<int32_t>(delta) <= 0 ? 1 : delta;
    }

    struct Status {
        int code;
        PortDataBlock block; // valid for port data codes
        std::vector<uint8_t> records;
        // What the engine handed over; valid only inside onStatusHook.
        const void* data = nullptr;
    };

    ManualClock clock;
    VirtualBus bus{clock};
    CUsbhidioc link{bus};
    MachineInfo info{};
    TestUi ui;
    COMMAND_MACHINE engine{&info, clock, ui};
    // What the windows and the download flow ask of the engine.
    CommandMachineRequests requests{engine};
    std::vector<std::string> logs;
    std::vector<Status> statuses;
    std::vector<int> events;
    std::vector<std::vector<uint8_t>> records;
    bool storeRecords = true;
    uint32_t tick = 0;
    // Called inside the status callback, as a window's handler would be.
    std::function<void(const Status&)> onStatusHook;
    // Called after every millisecond's step: what the program's event loop
    // does between steps (a window's queued work, an operator's click).
    std::function<void()> onTick;

    EngineHarness() {
        ui.onProcessEvents = [this] { run(1); };
    }

    std::string plug(std::shared_ptr<VirtualHidDevice> device, uint16_t pid = 0x2001) {
        auto path = bus.plug(std::move(device), 0x6C15, pid);
        bus.memberIndex = 0;
        link.openByPath(path, 0x6C15, pid);
        engine.bind(&CUsbhidioc::takeFrameCallback, &link, &CUsbhidioc::sendFrameCallback, &link,
                    &EngineHarness::onLog, this, &EngineHarness::onStatus, this,
                    &EngineHarness::onEvent, this);
        engine.setLogRecordCallback(&EngineHarness::onRecord, this);
        return path;
    }

    void run(uint32_t ms) {
        while (ms > 0)
            ms -= advance(ms);
    }
    // Run until `done` or `limitMs` passes; true when done.
    template <class F> bool runUntil(F done, uint32_t limitMs = 60000) {
        for (uint32_t spent = 0; spent < limitMs; spent += advance(limitMs - spent))
            if (done())
                return true;
        return done();
    }
    // Moves the clock to the next moment anything may happen, at most
    // `limitMs` on, and does what is due there; the milliseconds it moved.
    uint32_t advance(uint32_t limitMs) {
        const uint32_t jump = std::min(limitMs, msUntilNext());
        clock.advance(jump);
        tick += jump;
        bus.pump();
        if (tick % 10 == 0 && awaiting())
            link.pollInput();
        engine.step();
        if (onTick)
            onTick();
        return jump;
    }
    // At least 1: the harness never steps twice at one time.
    uint32_t msUntilNext() const {
        if (onTick) // the event loop it stands for runs every millisecond
            return 1;
        uint32_t wait = engine.msUntilDue();
        const uint32_t now = clock.tickMs();
        uint32_t due = 0;
        if (bus.nextToDevice(due))
            wait = std::min(wait, untilAtLeastOne(due - now));
        if (awaiting() && bus.nextToHost(due)) {
            const uint32_t at = tick + untilAtLeastOne(due - now);
            wait = std::min(wait, (at + 9) / 10 * 10 - tick);
        }
        return std::max<uint32_t>(wait, 1);
    }
    bool identified() const {
        for (int e : events)
            if (e == EVENT_IDENTIFIED)
                return true;
        return false;
    }
    int count(int code) const {
        int n = 0;
        for (const auto& s : statuses)
            n += s.code == code;
        return n;
    }
    bool awaiting() const { return link.awaitingReply() || engine.awaitingAnswer(); }
    bool logged(const std::string& text) const {
        for (const auto& l : logs)
            if (l == text)
                return true;
        return false;
    }

    static void onLog(void* u, const char* text) {
        static_cast<EngineHarness*>(u)->logs.emplace_back(text);
    }
    static void onStatus(void* u, int code, const void* data) {
        auto* h = static_cast<EngineHarness*>(u);
        Status s{code, {}, {}, data};
        if ((code >= STATUS_SOURCE && code <= STATUS_SHOW_PROTECT) || code == STATUS_PORT_DATA) {
            s.block = *static_cast<const PortDataBlock*>(data);
            const size_t size = portRecordSize(s.block.kind, true);
            s.records.assign(s.block.records, s.block.records + size * size_t(s.block.count));
        }
        h->statuses.push_back(std::move(s));
        const size_t index = h->statuses.size() - 1;
        if (h->onStatusHook)
            h->onStatusHook(h->statuses[index]);
        h->statuses[index].data = nullptr;
    }
    static void onEvent(void* u, int code, int, const void*) {
        static_cast<EngineHarness*>(u)->events.push_back(code);
    }
    static void onRecord(void* u, int length, const uint8_t* record) {
        auto* h = static_cast<EngineHarness*>(u);
        h->records.emplace_back(record, record + length);
        if (h->storeRecords) {
            h->info.lastStoredLogNo = int32_t(readBE32(record));
            h->engine.setStoredRecords(true);
        }
    }
};

} // namespace dupmon
