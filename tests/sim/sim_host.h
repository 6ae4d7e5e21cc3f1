#pragma once
// A host written for the stand-in tests: the real link and frame channel on
// the virtual bus with a manual clock, one command at a time.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "hidlink/usbhidioc.h"
#include "protocol/frame_channel.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"

namespace dupmon::test {

class SimHost {
public:
    explicit SimHost(const char* profile, uint32_t wireMs = 1)
        : bus(clock), link(bus), channel(clock) {
        bus.setWireTime(wireMs);
        device = StandInController::create(profile, clock);
        path = bus.plug(device, CUsbhidioc::kVendorId, device->profile().productId);
        link.openByPath(path, CUsbhidioc::kVendorId, device->profile().productId);
        channel.setRead(&CUsbhidioc::takeFrameCallback, &link);
        channel.setWrite(&CUsbhidioc::sendFrameCallback, &link);
        channel.setLog(
            [](void* self, const char* text) {
                static_cast<SimHost*>(self)->log.emplace_back(text);
            },
            this);
    }

    // Lets time pass in 1 ms steps, the link polled and the channel asked on
    // every step, until a valid answer or `limitMs`.
    bool await(uint32_t limitMs = 30000) {
        for (uint32_t ms = 0; ms < limitMs; ++ms) {
            clock.advance(1);
            bus.pump();
            link.pollInput();
            if (channel.receive())
                return true;
        }
        return false;
    }
    bool exchange(char letter, std::vector<uint8_t> params = {}, uint32_t limitMs = 30000) {
        channel.sendCommand(letter, params.data(), params.size());
        return await(limitMs);
    }
    bool sendData(const std::vector<uint8_t>& data, uint32_t limitMs = 30000) {
        channel.sendData(data.data(), data.size());
        return await(limitMs);
    }
    // Lets the machine run without the host asking anything.
    void idle(uint32_t ms) {
        for (uint32_t i = 0; i < ms; i += 10) {
            clock.advance(10);
            bus.pump();
        }
    }
    std::vector<uint8_t> answer() const {
        return {channel.answer(), channel.answer() + channel.answerLength()};
    }
    uint8_t result() const { return channel.result(); }
    uint8_t status(size_t offset) {
        exchange('B');
        return channel.answer()[4 + offset];
    }
    MachineModel& machine() { return device->machine(); }

    ManualClock clock;
    VirtualBus bus;
    CUsbhidioc link;
    FrameChannel channel;
    std::shared_ptr<StandInController> device;
    std::string path;
    std::vector<std::string> log;
};

} // namespace dupmon::test
