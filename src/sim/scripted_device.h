#pragma once
// A test device for the virtual bus that keeps every report the host sends
// and sends the reports a test hands it, for tests of the report layer
// without a whole stand-in behind it.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "sim/virtual_bus.h"

namespace dupmon {

// A test device for the virtual bus: keeps every output report it receives,
// and sends whatever input reports a test hands it. An optional responder
// answers each reassembled host frame.
class ScriptedDevice final : public VirtualHidDevice {
public:
    using Report = std::array<uint8_t, kReportSize>;
    using Responder =
        std::function<void(ScriptedDevice&, const std::vector<uint8_t>& frame, uint32_t timeMs)>;

    void outputReport(const uint8_t* report, uint32_t timeMs) override {
        Report r;
        std::memcpy(r.data(), report, kReportSize);
        reports.push_back(r);
        const int count = report[2], index = report[3], n = report[4] > 60 ? 60 : report[4];
        if (index == 1)
            frame_.clear();
        frame_.insert(frame_.end(), report + 5, report + 5 + n);
        if (index == count && count != 0) {
            frames.push_back(frame_);
            if (responder)
                responder(*this, frame_, timeMs);
            frame_.clear();
        }
    }

    // Reports it still takes from the host; -1: all. At 0 it refuses every
    // report, as a controller whose endpoint hangs.
    int takeLimit = -1;
    bool takeReport(uint32_t) override {
        if (takeLimit == 0)
            return false;
        if (takeLimit > 0)
            --takeLimit;
        return true;
    }

    // Send one input report with the given fragment header and data.
    void sendFragment(uint8_t count, uint8_t index, const uint8_t* data, uint8_t n,
                      uint32_t timeMs) {
        Report r{};
        r[2] = count;
        r[3] = index;
        r[4] = n;
        if (data)
            std::memcpy(r.data() + 5, data, n > 60 ? 60 : n);
        sendInput(r.data(), timeMs);
    }
    // Send a whole frame in fragments the way a controller does.
    void sendFrame(const std::vector<uint8_t>& f, uint32_t timeMs) {
        const size_t count = f.size() / 60 + 1;
        for (size_t i = 1; i <= count; ++i) {
            const size_t off = (i - 1) * 60;
            const size_t n = i == count ? f.size() % 60 : 60;
            sendFragment(uint8_t(count), uint8_t(i), f.data() + off, uint8_t(n), timeMs);
        }
    }

    std::vector<Report> reports;
    std::vector<std::vector<uint8_t>> frames;
    Responder responder;

private:
    std::vector<uint8_t> frame_;
};

} // namespace dupmon
