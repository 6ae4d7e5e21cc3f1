// The Linux hidraw backend: finding the nodes and their ids through libudev,
// non-blocking reads, and one writer thread per device for writes that wait
// in the kernel.
#include "hidlink/hidraw_backend.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "common/file_io.h"

namespace dupmon {

namespace {

struct UdevRef {
    udev* u = udev_new();
    ~UdevRef() {
        if (u)
            udev_unref(u);
    }
};

// The vendor and product ids of the HID device behind the hidraw node
// `devnum`, from sysfs (the parent HID device's "bus:vendor:product"), so that
// a node need not be opened to learn them. False when `devnum` is no hidraw
// node.
bool hidrawIds(dev_t devnum, uint16_t& vendorId, uint16_t& productId) {
    UdevRef udev;
    if (!udev.u)
        return false;
    udev_device* dev = udev_device_new_from_devnum(udev.u, 'c', devnum);
    if (!dev)
        return false;
    bool found = false;
    const char* subsystem = udev_device_get_subsystem(dev);
    if (subsystem && std::strcmp(subsystem, "hidraw") == 0) {
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(dev, "hid", nullptr);
        const char* id = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr;
        unsigned bus = 0, vendor = 0, product = 0;
        if (id && std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product) == 3) {
            vendorId = static_cast<uint16_t>(vendor);
            productId = static_cast<uint16_t>(product);
            found = true;
        }
    }
    udev_device_unref(dev); // the parent goes with it
    return found;
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

// What the device and its writer thread share.
struct HidrawDevice::Writer {
    std::mutex mutex;
    std::condition_variable wake;
    // A node to open first, and the device number it must have.
    std::string path;
    dev_t device = 0;
    UniqueFd node; // the hidraw node; the thread closes it when the device is gone
    // The node once it is open, for reads on the caller's thread.
    std::atomic<int> published{-1};
    UniqueFd done;         // eventfd: the thread is done with the report it was handed
    UniqueFd stop;         // eventfd: the device is gone
    bool stopping = false; // the device is gone: write nothing more
    bool holding = false;  // a report was handed over and is not yet written
    bool failed = false;   // the node is gone: nothing can be written
    bool ended = false;    // the thread has returned
    uint8_t report[kReportSize] = {};

    static void signal(const UniqueFd& fd) {
        const uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(fd.get(), &one, sizeof one);
    }

    enum class Outcome { Written, Failed, Stopped };

    // Writes one report whole. A device that takes nothing makes the node
    // refuse it (a descriptor with a buffer) or time out (a hidraw node after
    // the USB stack's wait): it is offered again until it is taken or the
    // device is closed, so that no frame is left with a report missing.
    Outcome writeOne(const uint8_t* bytes) {
        bool refusedWithRoom = false;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping)
                    return Outcome::Stopped;
            }
            // hidraw takes a report whole or not at all; the count it returns is
            // the transport's own, so any positive count means the report went out.
            const ssize_t n = ::write(node.get(), bytes, kReportSize);
            const int error = errno;
            if (n > 0)
                return Outcome::Written;
            if (n == 0 || error == ENODEV || error == ESHUTDOWN || error == EBADF ||
                error == EPIPE || error == ECONNRESET)
                return Outcome::Failed;
            if (error == EINTR)
                continue;
            // Wait for room or for the device to be closed. A node that says it
            // has room and still refuses, or fails in a way that may pass (a
            // time-out, a bad transfer), is offered the report again in 10 ms.
            pollfd p[2] = {{stop.get(), POLLIN, 0}, {node.get(), POLLOUT, 0}};
            const bool waitForRoom = (error == EAGAIN || error == EWOULDBLOCK) && !refusedWithRoom;
            if (::poll(p, waitForRoom ? 2 : 1, waitForRoom ? -1 : 10) < 0 && errno != EINTR)
                return Outcome::Failed;
            refusedWithRoom = waitForRoom && (p[1].revents & POLLOUT);
        }
    }

    // Opening a hidraw node waits on the kernel's hidraw lock (which a write
    // stuck in another device holds for seconds) and may wake the device
    // from suspend: done here, never on the caller's thread.
    bool openNode() {
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        // The node may have been replaced since it was looked at.
        struct stat st;
        if (fd && ::fstat(fd.get(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) {
            published = fd.get();
            node = std::move(fd);
            return true;
        }
        return false;
    }

    static void run(std::shared_ptr<Writer> w) {
        uint8_t bytes[kReportSize];
        std::unique_lock<std::mutex> lock(w->mutex);
        if (!w->node) {
            lock.unlock();
            const bool opened = w->openNode();
            lock.lock();
            if (!opened) {
                w->failed = true;
                w->holding = false;
            }
            signal(w->done); // reports handed over meanwhile may go now, or fail
        }
        while (!w->failed) {
            w->wake.wait(lock, [&] { return w->stopping || w->holding; });
            if (w->stopping)
                break;
            std::memcpy(bytes, w->report, kReportSize);
            lock.unlock();
            const Outcome outcome = w->writeOne(bytes);
            lock.lock();
            if (outcome == Outcome::Stopped)
                break;
            w->holding = false;
            w->failed = outcome == Outcome::Failed;
            signal(w->done);
            if (w->failed)
                break;
        }
        // The node is closed here once the device is gone (its caller may read
        // it till then), so that closing it, which waits on the kernel's
        // hidraw lock, never holds the caller.
        w->wake.wait(lock, [&] { return w->stopping; });
        w->node.reset();
        w->ended = true;
    }
};

HidrawDevice::HidrawDevice(int fd, std::shared_ptr<HidrawWriters> retired)
    : fd_(fd), retired_(std::move(retired)) {
    if (fd < 0)
        return;
    auto w = std::make_shared<Writer>();
    w->node.reset(fd);
    w->published = fd;
    start(std::move(w));
}

HidrawDevice::HidrawDevice(std::string path, dev_t device, uint16_t vendorId, uint16_t productId,
                           std::shared_ptr<HidrawWriters> retired)
    : retired_(std::move(retired)), knownIds_(true), vendorId_(vendorId), productId_(productId) {
    auto w = std::make_shared<Writer>();
    w->path = std::move(path);
    w->device = device;
    start(std::move(w));
}

void HidrawDevice::start(std::shared_ptr<Writer> w) {
    w->done.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    w->stop.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!w->done || !w->stop)
        return;
    try {
        thread_ = std::thread(&Writer::run, w);
    } catch (const std::system_error&) {
        return; // no thread: every write says the device is gone
    }
    writer_ = std::move(w);
}

int HidrawDevice::fd() const {
    return writer_ ? writer_->published.load() : fd_;
}

HidrawDevice::~HidrawDevice() {
    if (!writer_)
        return; // a descriptor given at construction was closed with the writer that did not start
    {
        std::lock_guard<std::mutex> lock(writer_->mutex);
        writer_->stopping = true;
    }
    writer_->wake.notify_one();
    Writer::signal(writer_->stop);
    if (retired_)
        retired_->retire(std::move(thread_), std::move(writer_));
    else
        thread_.join();
}

bool HidrawDevice::getAttributes(uint16_t& vendorId, uint16_t& productId) {
    if (knownIds_) {
        vendorId = vendorId_;
        productId = productId_;
        return true;
    }
    hidraw_devinfo info{};
    if (::ioctl(fd(), HIDIOCGRAWINFO, &info) < 0)
        return false;
    vendorId = static_cast<uint16_t>(info.vendor);
    productId = static_cast<uint16_t>(info.product);
    return true;
}

WriteStatus HidrawDevice::write(const uint8_t* report) {
    if (!writer_)
        return WriteStatus::Gone;
    uint64_t count;
    while (::read(writer_->done.get(), &count, sizeof count) > 0) {
    }
    {
        std::lock_guard<std::mutex> lock(writer_->mutex);
        if (writer_->failed)
            return WriteStatus::Gone;
        if (writer_->holding)
            return WriteStatus::Busy;
        std::memcpy(writer_->report, report, kReportSize);
        writer_->holding = true;
    }
    writer_->wake.notify_one();
    return WriteStatus::Taken;
}

bool HidrawDevice::writePending() const {
    if (!writer_)
        return false;
    std::lock_guard<std::mutex> lock(writer_->mutex);
    return writer_->holding;
}

int HidrawDevice::writeFd() const {
    return writer_ ? writer_->done.get() : -1;
}

HidrawWriters::~HidrawWriters() {
    for (auto& [thread, writer] : threads_)
        thread.join();
}

void HidrawWriters::retire(std::thread thread, std::shared_ptr<HidrawDevice::Writer> writer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        threads_.emplace_back(std::move(thread), std::move(writer));
    }
    reap();
}

void HidrawWriters::reap() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = threads_.begin(); it != threads_.end();) {
        bool ended;
        {
            std::lock_guard<std::mutex> writerLock(it->second->mutex);
            ended = it->second->ended;
        }
        if (ended) {
            it->first.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

ReadStatus HidrawDevice::read(uint8_t* report) {
    const int node = fd();
    if (node < 0) {
        // Not open yet, or it could not be opened.
        if (!writer_)
            return ReadStatus::Gone;
        std::lock_guard<std::mutex> lock(writer_->mutex);
        return writer_->failed ? ReadStatus::Gone : ReadStatus::NoReport;
    }
    uint8_t buffer[kReportSize];
    ssize_t n;
    do {
        n = ::read(node, buffer, sizeof buffer);
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
    // of its own. The ids come from sysfs, and the device opens its node on
    // its own thread; this user must be allowed to open it for both ways.
    struct stat st;
    uint16_t vid = 0, pid = 0;
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) ||
        !hidrawIds(st.st_rdev, vid, pid) || ::access(path.c_str(), R_OK | W_OK) != 0)
        return nullptr;
    retired_->reap();
    return std::make_unique<HidrawDevice>(path, st.st_rdev, vid, pid, retired_);
}

} // namespace dupmon
