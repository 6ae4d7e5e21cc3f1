// The controller link (CUsbhidioc): opening the device, cutting frames into
// reports that wait until the device takes them, and joining input reports
// back into frames.
#include "hidlink/usbhidioc.h"

#include <cstring>
#include <string>

#include "common/text.h"

namespace dupmon {

CUsbhidioc::CUsbhidioc(HidBackend& backend) : backend_(backend) {}

CUsbhidioc::~CUsbhidioc() {
    close();
}

void CUsbhidioc::log(const char* text) {
    if (log_)
        log_(logUser_, text);
}

bool CUsbhidioc::tryOpen(const std::string& path, uint16_t vendorId, uint16_t productId) {
    std::unique_ptr<HidDevice> dev = backend_.open(path);
    if (!dev)
        return false;
    uint16_t vid = 0, pid = 0;
    if (!dev->getAttributes(vid, pid) || vid != vendorId || pid != productId)
        return false;
    if (path.size() > kMaxPathLength) {
        // The removal notice could never be matched against a cut path.
        log(format("HID device path longer than %zu characters, not opened: %.300s", kMaxPathLength,
                   path.c_str())
                .c_str());
        return false;
    }
    std::memset(devicePath_, 0, sizeof devicePath_);
    std::memcpy(devicePath_, path.data(), path.size());
    device_ = std::move(dev);
    isOpen_ = true;
    gone_ = false;
    completeOpen();
    return true;
}

void CUsbhidioc::completeOpen() {
    // hidraw has no input-buffer count to set: the kernel queues 64 reports
    // per open file, which covers the reports between two polls.
    log("input buffers: 512 asked for; the platform keeps its own queue of 64 reports");
}

bool CUsbhidioc::openFirstMatching(uint16_t vendorId, uint16_t productId) {
    if (isOpen_)
        return true;
    const std::vector<std::string> paths = backend_.enumerate();
    while (!isOpen_ && backend_.memberIndex < paths.size()) {
        tryOpen(paths[backend_.memberIndex], vendorId, productId);
        ++backend_.memberIndex;
    }
    return isOpen_;
}

bool CUsbhidioc::openByPath(const std::string& path, uint16_t vendorId, uint16_t productId) {
    if (isOpen_)
        return true;
    return tryOpen(path, vendorId, productId);
}

void CUsbhidioc::close() {
    device_.reset();
    isOpen_ = false;
    output_.clear();
    frameStarted_ = false;
}

void CUsbhidioc::queueReport(const uint8_t* report, bool last) {
    OutputReport r;
    std::memcpy(r.bytes.data(), report, kReportSize);
    r.last = last;
    output_.push_back(r);
}

void CUsbhidioc::dropUnstartedFrames() {
    if (!frameStarted_) {
        output_.clear();
        return;
    }
    // The frame under way keeps its reports up to its last one.
    auto end = output_.begin();
    while (end != output_.end() && !end->last)
        ++end;
    if (end != output_.end())
        output_.erase(end + 1, output_.end());
}

void CUsbhidioc::flushOutput() {
    while (isOpen_ && !output_.empty()) {
        switch (device_->write(output_.front().bytes.data())) {
        case WriteStatus::Taken:
            frameStarted_ = !output_.front().last;
            output_.pop_front();
            break;
        case WriteStatus::Busy:
            return;
        case WriteStatus::Gone:
            gone_ = true;
            output_.clear();
            frameStarted_ = false;
            return;
        }
    }
}

bool CUsbhidioc::sendFrame(int length, const uint8_t* frame) {
    // The fragment count is one byte.
    constexpr int kMaxLength = 254 * static_cast<int>(kFragmentData) + 59;
    if (length < 0)
        length = 0;
    if (length > kMaxLength)
        length = kMaxLength;
    // One request, one answer: whatever the device holds before this frame goes
    // out answers something earlier (an exchange given up, or the session before
    // this one) and must not be taken for this frame's answer.
    discardInput();
    const bool earlierTaken = outputTaken();
    if (isOpen_) {
        // Anything received and not yet taken belongs to the previous exchange.
        pendingLength_ = 0;
        frameReady_ = false;
        nextIndex_ = 1;
        dropUnstartedFrames();
    }
    // A frame that fills its last fragment exactly still ends with an empty one.
    const int count = length / static_cast<int>(kFragmentData) + 1;
    for (int i = 1; i <= count; ++i) {
        uint8_t report[kReportSize] = {};
        const int offset = (i - 1) * static_cast<int>(kFragmentData);
        const int n =
            i == count ? length % static_cast<int>(kFragmentData) : static_cast<int>(kFragmentData);
        report[1] = 0x43;
        report[2] = static_cast<uint8_t>(count);
        report[3] = static_cast<uint8_t>(i);
        report[4] = static_cast<uint8_t>(n);
        if (n)
            std::memcpy(report + 5, frame + offset, static_cast<size_t>(n));
        if (isOpen_)
            queueReport(report, i == count);
    }
    flushOutput();
    std::memset(rxBuffer_, 0, sizeof rxBuffer_);
    awaitingReply_ = true;
    return earlierTaken;
}

bool CUsbhidioc::sendRawReport(uint32_t length, const uint8_t* data) {
    if (!isOpen_)
        return false;
    uint8_t report[kReportSize] = {};
    if (length > kReportSize - 1)
        length = kReportSize - 1;
    if (length)
        std::memcpy(report + 1, data, length);
    pendingLength_ = 0;
    frameReady_ = false;
    nextIndex_ = 1;
    dropUnstartedFrames();
    queueReport(report, true);
    flushOutput();
    return !gone_;
}

bool CUsbhidioc::readReport() {
    if (!isOpen_)
        return false;
    std::memset(inputReport_, 0, sizeof inputReport_);
    switch (device_->read(inputReport_)) {
    case ReadStatus::Report:
        return true;
    case ReadStatus::Gone:
        gone_ = true;
        return false;
    case ReadStatus::NoReport:
        break;
    }
    return false;
}

void CUsbhidioc::discardInput() {
    // Bounded, so that a device that never stops talking cannot hold the sender.
    constexpr int kMaxDiscarded = 1024;
    int dropped = 0;
    while (dropped < kMaxDiscarded && readReport())
        ++dropped;
    nextIndex_ = 1;
    if (dropped > 0)
        log(format("%d input report(s) of an earlier exchange dropped before sending", dropped)
                .c_str());
}

void CUsbhidioc::pollInput() {
    while (readReport()) {
        const int count = inputReport_[2];
        const int index = inputReport_[3];
        const int n = inputReport_[4];
        // A report that cannot be placed inside the buffer is dropped whole.
        // Fragment indexes are 1-based: index 0 has no place in the frame.
        if (index == 0 || n > static_cast<int>(kFragmentData)) {
            nextIndex_ = 1;
            return;
        }
        // Fragments come in order. One whose predecessors did not come continues
        // an answer whose start was read by someone else or lost: it is dropped,
        // with the frame it would continue.
        if (index == 1)
            fragmentCount_ = count;
        if (index != nextIndex_ || count != fragmentCount_) {
            nextIndex_ = 1;
            continue;
        }
        const int pos = pendingLength_ + (index - 1) * static_cast<int>(kFragmentData);
        if (pos < 0 || pos + n > static_cast<int>(kRxBufferSize)) {
            nextIndex_ = 1;
            return;
        }
        std::memcpy(rxBuffer_ + pos, inputReport_ + 5, static_cast<size_t>(n));
        ++nextIndex_;
        if (index != count)
            continue;
        nextIndex_ = 1;
        const int length = (index - 1) * static_cast<int>(kFragmentData) + n;
        lastFrameLength_ = length;
        pendingLength_ += length;
        frameReady_ = true;
        return;
    }
}

bool CUsbhidioc::takeFrame(int* length, uint8_t* destination) {
    if (!frameReady_)
        return false;
    const int count = pendingLength_;
    if (count > 0)
        std::memcpy(destination, rxBuffer_, static_cast<size_t>(count));
    *length = count;
    pendingLength_ = 0;
    frameReady_ = false;
    if (count == 0)
        return false;
    awaitingReply_ = false;
    return true;
}

bool CUsbhidioc::takeFrameCallback(void* link, int* length, uint8_t* destination) {
    return static_cast<CUsbhidioc*>(link)->takeFrame(length, destination);
}

bool CUsbhidioc::sendFrameCallback(void* link, int length, const uint8_t* frame) {
    return static_cast<CUsbhidioc*>(link)->sendFrame(length, frame);
}

} // namespace dupmon
