#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/clock.h"
#include "hidlink/usbhidioc.h"
#include "protocol/frame_channel.h"
#include "sim/sim_client.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// dupmon-sim as a child process on a socket in a fresh temporary folder.
class SimProcess {
public:
    SimProcess() {
        char tmpl[] = "/tmp/dupmon-sim-test-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        socket_ = dir_ + "/sim.sock";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(DUPMON_SIM_BINARY, DUPMON_SIM_BINARY, "--socket", socket_.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }
    // Connects once the simulator listens (it gets five seconds to start).
    bool connect(SimClientBackend& client) {
        for (int i = 0; i < 100; ++i) {
            if (fs::exists(socket_) && client.connect())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Runs the control mode of the program and returns what it printed.
    std::string ctl(const std::string& request) {
        const std::string cmd =
            std::string(DUPMON_SIM_BINARY) + " --socket " + socket_ + " ctl " + request;
        std::string out;
        if (FILE* p = ::popen(cmd.c_str(), "r")) {
            char buf[512];
            while (std::fgets(buf, sizeof buf, p))
                out += buf;
            ::pclose(p);
        }
        return out;
    }
    // Waits for the child to leave; true when it exited with status 0.
    bool exitedCleanly() {
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    const std::string& socket() const { return socket_; }

private:
    std::string dir_;
    std::string socket_;
    pid_t pid_ = -1;
};

// Waits on the socket until the predicate holds or five seconds pass.
template <class Pred> bool waitFor(SimClientBackend& client, Pred pred) {
    for (int i = 0; i < 500; ++i) {
        if (pred())
            return true;
        pollfd p{client.fd(), POLLIN, 0};
        ::poll(&p, 1, 10);
    }
    return pred();
}

} // namespace

TEST(DupmonSim, ClientAttachesOverTheSocketAndSeesMachinesComeAndGo) {
    SimProcess sim;
    SimClientBackend client(sim.socket());
    ASSERT_TRUE(sim.connect(client));
    ASSERT_TRUE(client.start());

    const std::string plugA = client.control("plug usb10");
    const std::string plugB = client.control("plug combo16 logs=25 first=500");
    ASSERT_EQ(plugA.rfind("ok ", 0), 0u) << plugA;
    ASSERT_EQ(plugB.rfind("ok ", 0), 0u) << plugB;
    const std::string pathA = plugA.substr(3), pathB = plugB.substr(3);

    std::vector<DeviceChange> changes;
    ASSERT_TRUE(waitFor(client, [&] {
        for (auto& c : client.poll())
            changes.push_back(c);
        return changes.size() >= 2;
    }));
    EXPECT_EQ(changes[0].kind, DeviceChange::Arrival);
    EXPECT_EQ(changes[0].name, pathA);
    EXPECT_EQ(changes[1].name, pathB);
    EXPECT_EQ(client.enumerate(), (std::vector<std::string>{pathA, pathB}));

    // Both machines open through the link and answer identification.
    struct Attached {
        std::unique_ptr<CUsbhidioc> link;
        std::unique_ptr<FrameChannel> channel;
    };
    std::vector<Attached> machines;
    for (uint16_t pid : {uint16_t(0x2001), uint16_t(0x2002)}) {
        Attached a{std::make_unique<CUsbhidioc>(client),
                   std::make_unique<FrameChannel>(SystemClock::instance())};
        client.memberIndex = 0;
        ASSERT_TRUE(a.link->openFirstMatching(CUsbhidioc::kVendorId, pid));
        a.channel->setRead(&CUsbhidioc::takeFrameCallback, a.link.get());
        a.channel->setWrite(&CUsbhidioc::sendFrameCallback, a.link.get());
        machines.push_back(std::move(a));
    }
    EXPECT_EQ(machines[0].link->devicePath(), pathA);
    EXPECT_EQ(machines[1].link->devicePath(), pathB);
    const char* models[] = {"SIM USB Tower 10", "SIM Combo 16"};
    for (size_t k = 0; k < machines.size(); ++k) {
        auto& m = machines[k];
        m.channel->sendCommand('A');
        ASSERT_TRUE(waitFor(client, [&] {
            m.link->pollInput();
            return m.channel->receive();
        })) << models[k];
        EXPECT_EQ(m.channel->answerLength(), 64);
        EXPECT_STREQ(reinterpret_cast<const char*>(m.channel->answer() + 4), models[k]);
    }
    // The second machine's status block carries its preloaded log numbers.
    machines[1].channel->sendCommand('B');
    ASSERT_TRUE(waitFor(client, [&] {
        machines[1].link->pollInput();
        return machines[1].channel->receive();
    }));
    EXPECT_EQ(machines[1].channel->answer()[4 + 23], 500 & 0xFF);
    EXPECT_EQ(machines[1].channel->answer()[4 + 27], 25);

    // A person drives the same simulator from the command line.
    EXPECT_NE(sim.ctl("list").find(pathB + ":6c15:2002:combo16:SC16-000001"), std::string::npos);

    EXPECT_EQ(client.control("unplug " + pathA), "ok");
    changes.clear();
    ASSERT_TRUE(waitFor(client, [&] {
        for (auto& c : client.poll())
            changes.push_back(c);
        return !changes.empty();
    }));
    EXPECT_EQ(changes[0].kind, DeviceChange::Removal);
    EXPECT_EQ(changes[0].name, pathA);
    EXPECT_TRUE(waitFor(client, [&] {
        machines[0].link->pollInput();
        return machines[0].link->deviceGone();
    }));
    EXPECT_EQ(client.enumerate(), std::vector<std::string>{pathB});

    EXPECT_EQ(sim.ctl("unplug nosuchmachine").rfind("err", 0), 0u);
    EXPECT_EQ(client.control("quit"), "ok");
    EXPECT_TRUE(sim.exitedCleanly());
}
