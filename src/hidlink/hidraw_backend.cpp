#include "hidlink/hidraw_backend.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dupmon {

namespace {

// How long a write may wait for a node that is not ready to take a report.
constexpr int kWriteWaitMs = 1000;

struct UdevRef {
    udev* u = udev_new();
    ~UdevRef() {
        if (u)
            udev_unref(u);
    }
};

// True when the character device `devnum` belongs to the hidraw subsystem.
bool isHidrawDevnum(dev_t devnum) {
    UdevRef udev;
    if (!udev.u)
        return false;
    udev_device* dev = udev_device_new_from_devnum(udev.u, 'c', devnum);
    if (!dev)
        return false;
    const char* subsystem = udev_device_get_subsystem(dev);
    const bool hidraw = subsystem && std::strcmp(subsystem, "hidraw") == 0;
    udev_device_unref(dev);
    return hidraw;
}

} // namespace

std::vector<std::string> enumerateHidraw() {
    std::vector<std::string> paths;
    UdevRef udev;
    if (!udev.u)
        return paths;
    udev_enumerate* en = udev_enumerate_new(udev.u);
    if (!en)
        return paths;
    if (udev_enumerate_add_match_subsystem(en, "hidraw") >= 0 &&
        udev_enumerate_scan_devices(en) >= 0) {
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en)) {
            udev_device* dev =
                udev_device_new_from_syspath(udev.u, udev_list_entry_get_name(entry));
            if (!dev)
                continue;
            if (const char* node = udev_device_get_devnode(dev))
                paths.emplace_back(node);
            udev_device_unref(dev);
        }
    }
    udev_enumerate_unref(en);
    return paths;
}

HidrawDevice::HidrawDevice(int fd) : fd_(fd) {}

HidrawDevice::~HidrawDevice() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool HidrawDevice::getAttributes(uint16_t& vendorId, uint16_t& productId) {
    hidraw_devinfo info{};
    if (::ioctl(fd_, HIDIOCGRAWINFO, &info) < 0)
        return false;
    vendorId = static_cast<uint16_t>(info.vendor);
    productId = static_cast<uint16_t>(info.product);
    return true;
}

bool HidrawDevice::write(const uint8_t* report) {
    int waited = 0;
    for (;;) {
        // hidraw takes a report whole or not at all; the count it returns is
        // the transport's own, so any positive count means the report went out.
        const ssize_t n = ::write(fd_, report, kReportSize);
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || waited >= kWriteWaitMs)
            return false;
        // The descriptor is non-blocking for reads; a write still waits, for a while.
        pollfd p{fd_, POLLOUT, 0};
        const int step = 100;
        if (::poll(&p, 1, step) < 0 && errno != EINTR)
            return false;
        waited += step;
    }
}

ReadStatus HidrawDevice::read(uint8_t* report) {
    uint8_t buffer[kReportSize];
    ssize_t n;
    do {
        n = ::read(fd_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? ReadStatus::NoReport : ReadStatus::Gone;
    if (n == 0)
        return ReadStatus::Gone; // end of file: the node or its stand-in is gone
    std::memset(report, 0, kReportSize);
    if (n == static_cast<ssize_t>(kReportSize)) {
        // A numbered report comes with its report-id byte.
        std::memcpy(report, buffer, kReportSize);
    } else {
        // An unnumbered report comes without it: keep the 65-byte layout with
        // report id 0, and let a short report end in zeros.
        std::memcpy(report + 1, buffer, static_cast<size_t>(n));
    }
    return ReadStatus::Report;
}

std::unique_ptr<HidDevice> HidrawBackend::open(const std::string& path) {
    // Look before opening: opening an arbitrary device node can have effects
    // of its own.
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || !isHidrawDevnum(st.st_rdev))
        return nullptr;
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    auto device = std::make_unique<HidrawDevice>(fd);
    // The node may have been replaced between the look and the open.
    struct stat opened;
    uint16_t vid, pid;
    if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) || opened.st_rdev != st.st_rdev ||
        !device->getAttributes(vid, pid))
        return nullptr;
    return device;
}

} // namespace dupmon
