#pragma once
#include <csignal>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
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
    bool listen(const std::string& path, std::string& error);
    // Runs until "quit" or stop().
    void run();
    void stop() { quit_ = true; }
    // A flag a signal handler sets to end run().
    void setStopFlag(const volatile std::sig_atomic_t* flag) { stopFlag_ = flag; }

    // Executes one control line as a client would; returns the reply line.
    std::string control(const std::string& line);
    VirtualBus& bus() { return bus_; }

private:
    struct Client {
        int fd = -1;
        std::string in;
        std::string out;
        bool watching = false;
        std::map<int, std::unique_ptr<HidDevice>> handles;
        bool closed = false;
    };
    struct Machine {
        std::string path;
        std::string profile;
        std::shared_ptr<StandInController> device;
    };

    void accept();
    void readClient(Client& c);
    void handleLine(Client& c, const std::string& line);
    std::string request(Client* c, const std::vector<std::string>& words);
    std::string plug(const std::vector<std::string>& words);
    Machine* find(const std::string& name);
    void forwardInput();
    void forwardChanges();
    void flush(Client& c);

    const Clock& clock_;
    VirtualBus bus_;
    int listenFd_ = -1;
    std::string socketPath_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<Machine> machines_;
    std::map<std::string, unsigned> serials_;
    int nextHandle_ = 1;
    bool quit_ = false;
    const volatile std::sig_atomic_t* stopFlag_ = nullptr;
    std::ofstream trace_;
};

} // namespace dupmon
