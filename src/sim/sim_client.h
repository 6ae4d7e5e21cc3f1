#pragma once
// The backend and device watcher that make the machines of a running
// dupmon-sim look like hardware to the monitor (--simulator); "dupmon-sim
// ctl" sends its requests through it too.
#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hidlink/device_watcher.h"
#include "hidlink/hid_backend.h"

namespace dupmon {

// The stand-in machines of a running dupmon-sim, reached over its local
// socket: enumeration, open handles, reports both ways, and plug/unplug
// notifications. The socket is the descriptor of the backend, of the watcher
// and of every device. Once watching (start()), the socket is read only by
// poll(): call it when the socket becomes readable, then let every link read
// the reports it handed out. Before that, each device read looks at the
// socket itself.
//
// A simulator that goes away is every machine it served unplugged: poll()
// reports their removal, then tries to connect again every second (fd() is
// -1 meanwhile) and, once the simulator answers on the same socket, reports
// the arrival of every machine it has.
class SimClientBackend final : public HidBackend, public DeviceWatcher {
public:
    static constexpr uint32_t kReconnectMs = 1000;

    explicit SimClientBackend(std::string socketPath, uint32_t replyTimeoutMs = 3000);
    ~SimClientBackend() override;
    SimClientBackend(const SimClientBackend&) = delete;
    SimClientBackend& operator=(const SimClientBackend&) = delete;

    // Connects and greets the simulator; false when nobody answers.
    bool connect();
    bool connected() const;
    // One control line ("plug usb10", "unplug <path>", ...); returns the
    // simulator's reply, or "err ..." when it did not answer.
    std::string control(const std::string& line);

    // HidBackend
    std::vector<std::string> enumerate() override;
    std::unique_ptr<HidDevice> open(const std::string& path) override;
    // Into the simulator's wire trace, as an EVENT line (streamed, no reply).
    void noteEvent(const std::string& what) override;

    // DeviceWatcher: start() subscribes to plug and unplug events.
    bool start() override;
    int fd() const override;
    std::vector<DeviceChange> poll() override;
    // While the simulator is away: the time until the next try to reach it.
    uint32_t msUntilPoll() const override;

    struct Connection; // shared with the open devices

private:
    bool subscribe();
    bool reconnect();

    std::string path_;
    uint32_t timeoutMs_;
    std::shared_ptr<Connection> conn_;
    bool watch_ = false;   // start() was asked for: keep watching across reconnections
    uint32_t nextTry_ = 0; // tick of the next reconnection attempt
};

} // namespace dupmon
