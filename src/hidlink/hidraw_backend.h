#pragma once
// The Linux HID backend over /dev/hidrawN: devices whose writes run on a
// thread of their own, so that a slow device never holds the GUI thread.
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "hidlink/hid_backend.h"

namespace dupmon {

// Device nodes (/dev/hidrawN) of the present hidraw devices, in sysfs order.
// Empty when there are none or sysfs cannot be read.
std::vector<std::string> enumerateHidraw();

class HidrawWriters;

// One hidraw node. The descriptor is non-blocking for reads: one read()
// takes one report or finds none, and poll() on fd() tells when a report
// arrives. A write to a hidraw node waits in the kernel until the device
// takes the report (up to the USB stack's own time-out, and poll() says
// "writable" all along), so reports are written by a thread of the device's
// own, one at a time: write() hands it the report, and writeFd() turns
// readable when the thread is done with it. The same thread opens the node
// and closes it, as both can wait in the kernel too.
class HidrawDevice final : public HidDevice {
public:
    // Takes ownership of an open descriptor (a hidraw node, or in tests a pipe
    // or socket standing in for one). With `retired`, a writer thread still
    // inside a write when the device is closed is left to end there instead
    // of being waited for.
    explicit HidrawDevice(int fd, std::shared_ptr<HidrawWriters> retired = nullptr);
    // The node at `path` (device number `device`, ids as sysfs gives them),
    // opened by the device's thread: until it is, fd() is -1, reads find
    // nothing and reports wait; if it cannot be opened, writes say Gone.
    HidrawDevice(std::string path, dev_t device, uint16_t vendorId, uint16_t productId,
                 std::shared_ptr<HidrawWriters> retired = nullptr);
    ~HidrawDevice() override;
    HidrawDevice(const HidrawDevice&) = delete;
    HidrawDevice& operator=(const HidrawDevice&) = delete;

    bool getAttributes(uint16_t& vendorId, uint16_t& productId) override;
    WriteStatus write(const uint8_t* report) override;
    bool writePending() const override;
    int writeFd() const override;
    ReadStatus read(uint8_t* report) override;
    int fd() const override;

    struct Writer; // shared with the writer thread

private:
    void start(std::shared_ptr<Writer> w);

    int fd_ = -1; // given at construction; its writer owns and closes it
    std::shared_ptr<Writer> writer_;
    std::thread thread_;
    std::shared_ptr<HidrawWriters> retired_;
    bool knownIds_ = false;
    uint16_t vendorId_ = 0, productId_ = 0;
};

// Writer threads of closed devices that were still inside a write: each ends
// when its write returns, closing its node, and is joined here (at the
// latest when the backend that made the devices is destroyed).
class HidrawWriters {
public:
    ~HidrawWriters();
    void retire(std::thread thread, std::shared_ptr<HidrawDevice::Writer> writer);
    // Joins those that have ended.
    void reap();

private:
    std::mutex mutex_;
    std::vector<std::pair<std::thread, std::shared_ptr<HidrawDevice::Writer>>> threads_;
};

// The Linux HID backend: libudev finds the hidraw nodes, the kernel's hidraw
// interface carries the reports.
class HidrawBackend final : public HidBackend {
public:
    std::vector<std::string> enumerate() override { return enumerateHidraw(); }
    // nullptr unless `path` is a hidraw node that could be opened for reading
    // and writing.
    std::unique_ptr<HidDevice> open(const std::string& path) override;

private:
    std::shared_ptr<HidrawWriters> retired_ = std::make_shared<HidrawWriters>();
};

} // namespace dupmon
