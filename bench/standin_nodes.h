#pragma once
// Stand-in duplicators behind hidraw-like nodes, for the benchmarks that run
// the desktop program's own windows and event loop in their process: one
// socket pair of packets per machine, whose host end the program reads and
// writes through the hidraw device code, and whose other end a child process
// serves with stand-in controllers at the link's pace (1 ms per report).
// Their master sticks can come to the program's simulated drives.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "hidlink/hidraw_backend.h"
#include "hidlink/usbhidioc.h"
#include "sim/simulated_drives.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"

namespace dupmon::bench {

inline constexpr uint16_t kNodeProductId = 0x2001;

// A hidraw device on a socket: a socket has no ids to report.
class SocketNode final : public HidDevice {
public:
    explicit SocketNode(int fd) : inner_(fd) {}
    bool getAttributes(uint16_t& vid, uint16_t& pid) override {
        vid = CUsbhidioc::kVendorId, pid = kNodeProductId;
        return true;
    }
    WriteStatus write(const uint8_t* report) override { return inner_.write(report); }
    bool writePending() const override { return inner_.writePending(); }
    int writeFd() const override { return inner_.writeFd(); }
    ReadStatus read(uint8_t* report) override { return inner_.read(report); }
    int fd() const override { return inner_.fd(); }

private:
    HidrawDevice inner_;
};

// The machines of a StandInNodes, as the program's HID backend.
class SocketNodes final : public HidBackend {
public:
    explicit SocketNodes(std::vector<int> fds) : fds_(std::move(fds)) {}
    std::vector<std::string> enumerate() override {
        std::vector<std::string> paths;
        for (size_t k = 0; k < fds_.size(); ++k)
            paths.push_back(kPrefix + std::to_string(k));
        return paths;
    }
    std::unique_ptr<HidDevice> open(const std::string& path) override {
        if (path.rfind(kPrefix, 0) != 0)
            return nullptr;
        const size_t k = std::strtoul(path.c_str() + std::strlen(kPrefix), nullptr, 10);
        if (k >= fds_.size())
            return nullptr;
        const int fd = ::fcntl(fds_[k], F_DUPFD_CLOEXEC, 0);
        return fd < 0 ? nullptr : std::make_unique<SocketNode>(fd);
    }

private:
    static constexpr const char* kPrefix = "/dev/bench-hidraw";
    std::vector<int> fds_;
};

// The child process with the stand-ins. Made before the program's
// QApplication (the child must not inherit a running Qt). `prepare` sets up
// machine k in the child before it is plugged in.
class StandInNodes {
public:
    using Prepare = std::function<void(int k, StandInController& machine)>;

    StandInNodes(const std::vector<std::string>& ids, const char* profile, const Prepare& prepare)
        : ids_(ids) {
        std::vector<int> deviceEnds;
        for (size_t k = 0; k < ids.size(); ++k) {
            int fds[2];
            if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
                return;
            // As little room as the kernel gives: a machine that takes nothing
            // refuses the next report, as a stuck hidraw node does.
            const int small = 1;
            ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            hostEnds_.push_back(fds[0]);
            deviceEnds.push_back(fds[1]);
        }
        int control[2], answer[2];
        if (::pipe2(control, O_CLOEXEC) != 0 || ::pipe2(answer, O_CLOEXEC) != 0)
            return;
        child_ = ::fork();
        if (child_ == 0) {
            for (int fd : hostEnds_)
                ::close(fd);
            ::close(control[1]);
            ::close(answer[0]);
            serve(ids, profile, prepare, deviceEnds, control[0], answer[1]);
        }
        for (int fd : deviceEnds)
            ::close(fd);
        ::close(control[0]);
        ::close(answer[1]);
        control_ = control[1];
        answer_ = answer[0];
    }
    ~StandInNodes() {
        if (control_ >= 0)
            ::close(control_);
        if (answer_ >= 0)
            ::close(answer_);
        for (int fd : hostEnds_)
            ::close(fd);
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
    }
    StandInNodes(const StandInNodes&) = delete;
    StandInNodes& operator=(const StandInNodes&) = delete;

    bool started() const { return child_ > 0; }
    const std::vector<int>& hostEnds() const { return hostEnds_; }

    // Machine k stops taking reports: it reads nothing more, and what is
    // already on its way fills its node, as a controller whose endpoint hangs.
    bool stall(int k) {
        const uint8_t machine = uint8_t(k);
        uint8_t done = 0;
        {
            std::lock_guard<std::mutex> lock(controlMutex_);
            if (::write(control_, &machine, 1) != 1 || ::read(answer_, &done, 1) != 1)
                return false;
        }
        uint8_t filler[kReportSize] = {};
        while (::send(hostEnds_[size_t(k)], filler, sizeof filler, MSG_DONTWAIT) > 0) {
        }
        return true;
    }

    // The machines' master sticks as the program's simulated drives ask for
    // them (from the thread that scans): SimulatedDrives::setRemoteMasters.
    std::function<std::vector<SimulatedDrives::RemoteMaster>()> masters() {
        return [this] {
            std::vector<SimulatedDrives::RemoteMaster> out;
            std::vector<uint8_t> bytes(ids_.size() * kMasterBytes);
            std::lock_guard<std::mutex> lock(controlMutex_);
            if (::write(control_, &kMastersQuery, 1) != 1)
                return out;
            for (size_t got = 0; got < bytes.size();) {
                const ssize_t n = ::read(answer_, bytes.data() + got, bytes.size() - got);
                if (n <= 0)
                    return out;
                got += size_t(n);
            }
            for (size_t k = 0; k < ids_.size(); ++k) {
                const uint8_t* b = bytes.data() + k * kMasterBytes;
                SimulatedDrives::RemoteMaster m;
                m.machineId = ids_[k];
                m.atPc = b[0] != 0;
                std::memcpy(&m.capacityMiB, b + 1, 8);
                std::memcpy(m.identity.data(), b + 9, 4);
                out.push_back(m);
            }
            return out;
        };
    }

private:
    // On the control pipe: the child answers with kMasterBytes per machine
    // (at the PC, capacity in MiB, identity).
    static constexpr uint8_t kMastersQuery = 0xFF;
    static constexpr size_t kMasterBytes = 1 + 8 + 4;

    // Serves the stand-ins on the device ends until the control pipe closes.
    // A byte k on it stops machine k from reading its socket; the child
    // answers with a byte when it has.
    [[noreturn]] static void serve(const std::vector<std::string>& ids, const char* profile,
                                   const Prepare& prepare, const std::vector<int>& ends,
                                   int control, int answer) {
        const Clock& clock = SystemClock::instance();
        VirtualBus bus(clock);
        bus.setWireTime(1);
        const size_t count = ids.size();
        std::vector<std::unique_ptr<HidDevice>> handles;
        std::vector<std::shared_ptr<StandInController>> devices;
        for (size_t k = 0; k < count; ++k) {
            auto device = StandInController::create(profile, clock, ids[k]);
            if (prepare)
                prepare(int(k), *device);
            devices.push_back(device);
            handles.push_back(bus.open(bus.plug(device, CUsbhidioc::kVendorId, kNodeProductId)));
        }
        std::vector<bool> stalled(count, false);
        std::vector<std::deque<std::array<uint8_t, 64>>> outbox(count);
        for (;;) {
            int timeout = 20;
            uint32_t due = 0;
            if (bus.nextDue(due))
                timeout = std::clamp(int(int32_t(due - clock.tickMs())), 0, 20);
            std::vector<pollfd> fds;
            for (size_t k = 0; k < count; ++k)
                fds.push_back({ends[k],
                               short((stalled[k] ? 0 : POLLIN) | (outbox[k].empty() ? 0 : POLLOUT)),
                               0});
            fds.push_back({control, POLLIN, 0});
            ::poll(fds.data(), fds.size(), timeout);
            if (fds.back().revents) {
                uint8_t k = 0;
                if (::read(control, &k, 1) != 1)
                    ::_exit(0);
                if (k == kMastersQuery) {
                    std::vector<uint8_t> bytes(count * kMasterBytes);
                    for (size_t i = 0; i < count; ++i) {
                        const StandInController::MasterState m = devices[i]->masterState();
                        uint8_t* b = bytes.data() + i * kMasterBytes;
                        b[0] = m.atPc ? 1 : 0;
                        std::memcpy(b + 1, &m.capacityMiB, 8);
                        std::memcpy(b + 9, m.identity.data(), 4);
                    }
                    [[maybe_unused]] auto n = ::write(answer, bytes.data(), bytes.size());
                } else {
                    if (k < count)
                        stalled[k] = true;
                    [[maybe_unused]] auto n = ::write(answer, &k, 1);
                }
            }
            bus.pump();
            for (size_t k = 0; k < count; ++k) {
                uint8_t report[kReportSize];
                while (!stalled[k] &&
                       ::recv(ends[k], report, sizeof report, MSG_DONTWAIT) == ssize_t(kReportSize))
                    handles[k]->write(report);
                // An unnumbered input report leaves hidraw without its report-id byte.
                while (handles[k]->read(report) == ReadStatus::Report) {
                    std::array<uint8_t, 64> r;
                    std::memcpy(r.data(), report + 1, 64);
                    outbox[k].push_back(r);
                }
                while (!outbox[k].empty() &&
                       ::send(ends[k], outbox[k].front().data(), 64, MSG_DONTWAIT) == 64)
                    outbox[k].pop_front();
            }
        }
    }

    std::vector<std::string> ids_;
    std::mutex controlMutex_;
    std::vector<int> hostEnds_;
    pid_t child_ = -1;
    int control_ = -1, answer_ = -1;
};

} // namespace dupmon::bench
