// Arbitrary input reports through the link's reassembly and takeFrame.
//
// The input is a run of chunks: one control byte, then up to 65 bytes of one
// input report (a shorter report is padded with zeros, as a short read is).
// Control bits: 0x01 poll after queuing, 0x02 take a frame, 0x04 send a
// command first (discarding what was not taken), 0x08 the device vanishes,
// 0x10 send a raw report. Bits 5..7 shorten the report.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "hidlink/usbhidioc.h"

using namespace dupmon;

namespace {

struct Feed {
    std::deque<std::vector<uint8_t>> reports;
    bool gone = false;
};

class FeedDevice final : public HidDevice {
public:
    explicit FeedDevice(Feed& feed) : feed_(feed) {}
    bool getAttributes(uint16_t& v, uint16_t& p) override {
        v = CUsbhidioc::kVendorId, p = CUsbhidioc::kProductIds[0];
        return true;
    }
    WriteStatus write(const uint8_t*) override {
        return feed_.gone ? WriteStatus::Gone : WriteStatus::Taken;
    }
    ReadStatus read(uint8_t* report) override {
        if (feed_.reports.empty())
            return feed_.gone ? ReadStatus::Gone : ReadStatus::NoReport;
        const std::vector<uint8_t>& r = feed_.reports.front();
        std::memset(report, 0, kReportSize);
        if (!r.empty())
            std::memcpy(report, r.data(), r.size());
        feed_.reports.pop_front();
        return ReadStatus::Report;
    }

private:
    Feed& feed_;
};

class FeedBackend final : public HidBackend {
public:
    explicit FeedBackend(Feed& feed) : feed_(feed) {}
    std::vector<std::string> enumerate() override { return {"/dev/hidraw0"}; }
    std::unique_ptr<HidDevice> open(const std::string&) override {
        return std::make_unique<FeedDevice>(feed_);
    }

private:
    Feed& feed_;
};

void check(bool ok) {
    if (!ok)
        __builtin_trap();
}

// What the link reports about itself must always fit its own buffer.
void checkLink(const CUsbhidioc& link) {
    check(link.pendingLength() >= 0 && link.pendingLength() <= int(CUsbhidioc::kRxBufferSize));
    check(link.lastFrameLength() >= 0 && link.lastFrameLength() <= int(CUsbhidioc::kRxBufferSize));
    check(!link.frameReady() || link.pendingLength() >= link.lastFrameLength());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Feed feed;
    FeedBackend backend(feed);
    auto link = std::make_unique<CUsbhidioc>(backend);
    if (!link->openFirstMatching(CUsbhidioc::kVendorId, CUsbhidioc::kProductIds[0]))
        return 0;
    // Exactly the size takeFrame promises to fill, so an overrun is caught.
    std::unique_ptr<uint8_t[]> destination(new uint8_t[CUsbhidioc::kRxBufferSize]);
    const uint8_t command[] = {0x40, 0x00, 0x02, 0x42, 0x84}; // "B"

    size_t pos = 0;
    while (pos < size) {
        const uint8_t control = data[pos++];
        size_t n = kReportSize - (control >> 5);
        if (n > size - pos)
            n = size - pos;
        feed.reports.emplace_back(data + pos, data + pos + n);
        pos += n;

        if (control & 0x04)
            link->sendFrame(sizeof command, command);
        if (control & 0x10)
            link->sendRawReport(uint32_t(n), data + pos - n);
        if (control & 0x08)
            feed.gone = true;
        if (control & 0x01) {
            link->pollInput();
            checkLink(*link);
        }
        if (control & 0x02) {
            int length = -1;
            const bool ready = link->frameReady();
            const int pending = link->pendingLength();
            const bool took = link->takeFrame(&length, destination.get());
            check(took == (ready && pending > 0));
            check(!ready || length == pending);
            check(!took || !link->awaitingReply());
            check(!link->frameReady());
        }
        checkLink(*link);
    }
    // Whatever is left is read until the link stops on its own.
    for (int i = 0; i < 300 && !feed.reports.empty(); ++i) {
        link->pollInput();
        checkLink(*link);
    }
    int length = 0;
    link->takeFrame(&length, destination.get());
    check(length >= 0 && length <= int(CUsbhidioc::kRxBufferSize));
    return 0;
}
