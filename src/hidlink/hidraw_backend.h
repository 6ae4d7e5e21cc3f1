#pragma once
#include <memory>
#include <string>
#include <vector>

#include "hidlink/hid_backend.h"

namespace dupmon {

// Device nodes (/dev/hidrawN) of the present hidraw devices, in sysfs order.
// Empty when there are none or sysfs cannot be read.
std::vector<std::string> enumerateHidraw();

// One open hidraw node. The descriptor is non-blocking: one read() takes one
// report or finds none, and poll() on fd() tells when a report arrives.
class HidrawDevice final : public HidDevice {
public:
    // Takes ownership of an open descriptor (a hidraw node, or in tests a pipe
    // or socket standing in for one).
    explicit HidrawDevice(int fd);
    ~HidrawDevice() override;
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    bool getAttributes(uint16_t& vendorId, uint16_t& productId) override;
    bool write(const uint8_t* report) override;
    ReadStatus read(uint8_t* report) override;
    int fd() const override { return fd_; }

private:
    int fd_;
};

// The Linux HID backend: libudev finds the hidraw nodes, the kernel's hidraw
// interface carries the reports.
class HidrawBackend final : public HidBackend {
public:
    std::vector<std::string> enumerate() override { return enumerateHidraw(); }
    // nullptr unless `path` is a hidraw node that could be opened for reading
    // and writing.
    std::unique_ptr<HidDevice> open(const std::string& path) override;
};

} // namespace dupmon
