#pragma once
// The server behind dupmon-sim, which lets a monitor in another process
// drive stand-in machines as if they were plugged in.
#include <array>
#include <csignal>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/clock.h"
#include "common/file_io.h"
#include "sim/stand_in.h"
#include "sim/virtual_bus.h"

namespace dupmon {

// dupmon-sim: stand-in machines on a virtual bus, served to clients over a
// local socket (the protocol is in sim_wire.h). One thread, one poll loop.
class SimServer {
public:
    explicit SimServer(const Clock& clock);
    ~SimServer();

    // Binds and listens on the socket path (a stale socket file is replaced).
    // The socket is made 0600: only this user may drive the stand-ins.
    bool listen(const std::string& path, std::string& error);
    // Runs until "quit" or stop().
    void run();
    // One pass: waits at most maxWaitMs for a client or the wire, then serves.
    void runOnce(int maxWaitMs);
    // Serves a connection made elsewhere (one end of a socket pair).
    void adopt(int fd);
    void stop() { quit_ = true; }
    // A flag a signal handler sets to end run().
    void setStopFlag(const volatile std::sig_atomic_t* flag) { stopFlag_ = flag; }

    // Executes one control line as a client would; returns the reply line.
    std::string control(const std::string& line);

    // Traces: the operator names at start where they may be written. A file
    // traced from the start, and a folder in which "trace NAME" makes files;
    // no request can write anywhere else.
    bool traceTo(const std::string& file, std::string& error);
    bool setTraceFolder(const std::string& dir, std::string& error);
    // The most past records one "plug ... logs=" or "log" request preloads.
    void setMaxPreload(uint32_t records) { maxPreload_ = records; }
    VirtualBus& bus() { return bus_; }

private:
    struct Client {
        UniqueFd fd;
        std::string in;
        std::string out;
        bool watching = false;
        // The client counts its reports on their way: each one a device took
        // is acknowledged with "taken <handle>".
        bool acks = false;
        std::map<int, std::unique_ptr<HidDevice>> handles;
        // Reports a device has not taken yet, in order, per handle.
        std::map<int, std::deque<std::array<uint8_t, kReportSize>>> held;
        bool inputEnded = false; // the client sent all it will: answer, then close
        bool closed = false;
    };
    struct Machine {
        std::string path;
        std::string profile;
        std::shared_ptr<StandInController> device;
        uint32_t masterFormatMs = 0; // how long a format of its master stick takes
    };

    void accept();
    void readClient(Client& c);
    void handleLine(Client& c, const std::string& line);
    std::string request(Client* c, const std::vector<std::string>& words);
    std::string plug(const std::vector<std::string>& words);
    std::string trace(const std::vector<std::string>& words);
    void startTrace(int fd);
    Machine* find(const std::string& name);
    // Offers a handle's held reports to its device; false once it is gone.
    bool offerHeld(Client& c, int handle);
    void forwardInput();
    void forwardChanges();
    void flush(Client& c);

    const Clock& clock_;
    VirtualBus bus_;
    UniqueFd listenFd_;
    std::string socketPath_;
    // The socket file this server made: only that one is removed at the end.
    dev_t socketDev_ = 0;
    ino_t socketIno_ = 0;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<Machine> machines_;
    std::map<std::string, unsigned> serials_;
    int nextHandle_ = 1;
    bool quit_ = false;
    const volatile std::sig_atomic_t* stopFlag_ = nullptr;
    std::unique_ptr<std::streambuf> traceBuffer_;
    std::unique_ptr<std::ostream> trace_;
    UniqueFd traceFolder_;
    uint32_t maxPreload_ = 1000000;
};

} // namespace dupmon
