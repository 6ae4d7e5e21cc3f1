#pragma once
// One duplicator controller's link: frames to 65-byte reports and back, over
// any HID backend, without ever waiting for the device.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "hidlink/hid_backend.h"

namespace dupmon {

// One opened duplicator controller: cuts frames into 65-byte reports and joins
// input reports back into frames.
//
// Nothing here waits for the device. Reports it does not take at once wait
// in the link, in order, and are offered again when it can take them
// (flushOutput). Frames leave whole: once a frame's first report went out,
// the rest of it goes before anything else. A frame none of whose reports
// went out yet is dropped when the next one is sent: one request, one answer.
//
// Report layout, both directions:
//   0   1  report id (0)
//   1   1  fragment marker 0x43 "C" on output; ignored on input
//   2   1  fragment count of the frame
//   3   1  fragment index, 1-based
//   4   1  data bytes in this fragment, 0..60
//   5  60  data, zero after the last data byte
class CUsbhidioc {
public:
    static constexpr uint16_t kVendorId = 0x6C15;
    static constexpr uint16_t kProductIds[3] = {0x2001, 0x2002, 0x3001};
    static constexpr size_t kRxBufferSize = 8192;
    static constexpr size_t kFragmentData = 60;
    static constexpr size_t kMaxPathLength = 255;

    using LogFn = void (*)(void* user, const char* text);

    explicit CUsbhidioc(HidBackend& backend);
    ~CUsbhidioc();
    CUsbhidioc(const CUsbhidioc&) = delete;
    CUsbhidioc& operator=(const CUsbhidioc&) = delete;

    void setLog(LogFn fn, void* user) { log_ = fn, logUser_ = user; }

    bool openFirstMatching(uint16_t vendorId, uint16_t productId);
    bool openByPath(const std::string& path, uint16_t vendorId, uint16_t productId);
    void close();

    // Queues the frame and sends what the device takes now. False when the
    // link still held reports of earlier frames that the device had not taken.
    bool sendFrame(int length, const uint8_t* frame);
    bool takeFrame(int* length, uint8_t* destination);
    void pollInput();
    bool sendRawReport(uint32_t length, const uint8_t* data);
    // Offers the device the reports it has not taken yet.
    void flushOutput();

    // The engine's callbacks, with the link as user data.
    static bool takeFrameCallback(void* link, int* length, uint8_t* destination);
    static bool sendFrameCallback(void* link, int length, const uint8_t* frame);

    bool isOpen() const { return isOpen_; }
    bool awaitingReply() const { return awaitingReply_; }
    bool frameReady() const { return frameReady_; }
    const char* devicePath() const { return devicePath_; }
    int pendingLength() const { return pendingLength_; }
    int lastFrameLength() const { return lastFrameLength_; }
    // Readable when a report may be waiting, or -1.
    int fd() const { return device_ ? device_->fd() : -1; }
    // Reports are held for this link that no descriptor will announce again.
    bool inputQueued() const { return device_ && device_->inputQueued(); }
    // Reports wait for the device to take them: offer them again (flushOutput)
    // when writeFd() turns readable, or after a while when it is -1.
    bool outputWaiting() const { return !output_.empty(); }
    int writeFd() const { return device_ ? device_->writeFd() : -1; }
    // Everything sent has reached the device.
    bool outputTaken() const { return output_.empty() && !(device_ && device_->writePending()); }
    // True once a read found the device gone.
    bool deviceGone() const { return gone_; }

private:
    bool tryOpen(const std::string& path, uint16_t vendorId, uint16_t productId);
    void completeOpen();
    // Queues one report; `last` ends its frame.
    void queueReport(const uint8_t* report, bool last);
    // Drops the queued frames none of whose reports went out.
    void dropUnstartedFrames();
    bool readReport();
    // Reads and drops every report the device holds now.
    void discardInput();
    void log(const char* text);

    HidBackend& backend_;
    std::unique_ptr<HidDevice> device_;
    LogFn log_ = nullptr;
    void* logUser_ = nullptr;

    bool frameReady_ = false;
    char devicePath_[256] = {};
    bool isOpen_ = false;
    uint8_t rxBuffer_[kRxBufferSize] = {};
    int pendingLength_ = 0;
    int lastFrameLength_ = 0;
    uint8_t inputReport_[kReportSize] = {};
    // The frame being joined: the fragment index that must come next, and the
    // fragment count its first fragment gave.
    int nextIndex_ = 1;
    int fragmentCount_ = 0;
    bool awaitingReply_ = false;
    bool gone_ = false;

    struct OutputReport {
        std::array<uint8_t, kReportSize> bytes;
        bool last; // the last report of its frame
    };
    std::deque<OutputReport> output_;
    // A report of the frame at the front of output_ went out already.
    bool frameStarted_ = false;
};

} // namespace dupmon
