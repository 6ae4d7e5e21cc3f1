#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/clock.h"
#include "hidlink/usbhidioc.h"
#include "protocol/frame_channel.h"
#include "sim/sim_client.h"
#include "support/child_process.h"
#include "support/other_user.h"
#include "support/temp_dir.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// dupmon-sim as a child process on a socket in a fresh temporary folder.
class SimProcess {
public:
    // Extra arguments may name DIR, the test's folder.
    explicit SimProcess(std::vector<std::string> extra = {})
        : dir_(tmp_.path.string()), socket_(dir_ + "/sim.sock"), child_(arguments(extra)) {}
    ~SimProcess() { child_.stop(); }
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
        return commandOutput(std::string(DUPMON_SIM_BINARY) + " --socket " + socket_ + " ctl " +
                             request);
    }
    // Waits for the child to leave; true when it exited with status 0.
    bool exitedCleanly() { return child_.wait(5) == 0; }
    const std::string& socket() const { return socket_; }
    const std::string& dir() const { return dir_; }

private:
    std::vector<std::string> arguments(std::vector<std::string> extra) const {
        std::vector<std::string> args{DUPMON_SIM_BINARY, "--socket", socket_};
        for (auto& a : extra) {
            if (a.rfind("DIR", 0) == 0)
                a = dir_ + a.substr(3);
            args.push_back(a);
        }
        return args;
    }

    test::TempDir tmp_{"dupmon-sim-test"};
    std::string dir_;
    std::string socket_;
    Child child_;
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

    // Once watching, only poll() reads the socket; the test keeps what it tells.
    std::vector<DeviceChange> changes;
    auto readSocket = [&] {
        for (auto& c : client.poll())
            changes.push_back(c);
    };
    ASSERT_TRUE(waitFor(client, [&] {
        readSocket();
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
            readSocket();
            m.link->pollInput();
            return m.channel->receive();
        })) << models[k];
        EXPECT_EQ(m.channel->answerLength(), 64);
        EXPECT_STREQ(reinterpret_cast<const char*>(m.channel->answer() + 4), models[k]);
    }
    // The second machine's status block carries its preloaded log numbers.
    machines[1].channel->sendCommand('B');
    ASSERT_TRUE(waitFor(client, [&] {
        readSocket();
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
        readSocket();
        return !changes.empty();
    }));
    EXPECT_EQ(changes[0].kind, DeviceChange::Removal);
    EXPECT_EQ(changes[0].name, pathA);
    EXPECT_TRUE(waitFor(client, [&] {
        readSocket();
        machines[0].link->pollInput();
        return machines[0].link->deviceGone();
    }));
    EXPECT_EQ(client.enumerate(), std::vector<std::string>{pathB});

    EXPECT_EQ(sim.ctl("unplug nosuchmachine").rfind("err", 0), 0u);
    EXPECT_EQ(client.control("quit"), "ok");
    EXPECT_TRUE(sim.exitedCleanly());
}

TEST(DupmonSim, TellsTheSetupBlockAndTheDeviceInformationState) {
    SimProcess sim;
    SimClientBackend client(sim.socket());
    ASSERT_TRUE(sim.connect(client));
    ASSERT_TRUE(client.start());
    ASSERT_EQ(client.control("plug sd20").rfind("ok ", 0), 0u);
    ASSERT_TRUE(waitFor(client, [&] { return !client.enumerate().empty(); }));
    auto reply = [&](const std::string& request) {
        std::string s = sim.ctl(request);
        while (!s.empty() && s.back() == '\n')
            s.pop_back();
        return s;
    };

    const std::string setup = reply("setup SD20-000001");
    ASSERT_EQ(setup.rfind("ok writes=0 ", 0), 0u) << setup;
    const std::string hex = setup.substr(12, 512);
    ASSERT_EQ(hex.size(), 512u);
    EXPECT_EQ(hex.substr(2 * 65, 2), "64"); // media check range 100 %
    EXPECT_EQ(reply("devinfo SD20-000001"), "ok session=0 releases=0 marked=-");

    // The host marks port 8.
    CUsbhidioc link(client);
    FrameChannel channel(SystemClock::instance());
    client.memberIndex = 0;
    ASSERT_TRUE(link.openFirstMatching(CUsbhidioc::kVendorId, 0x2002));
    channel.setRead(&CUsbhidioc::takeFrameCallback, &link);
    channel.setWrite(&CUsbhidioc::sendFrameCallback, &link);
    const uint8_t mark[] = {85, 0, 0, 0, 8};
    channel.sendCommand('W', mark, sizeof mark);
    ASSERT_TRUE(waitFor(client, [&] {
        client.poll(); // a watching client reads its socket here
        link.pollInput();
        return channel.receive();
    }));
    EXPECT_EQ(reply("devinfo SD20-000001"), "ok session=0 releases=0 marked=8");
    EXPECT_EQ(reply("setup nosuchmachine").rfind("err", 0), 0u);
    EXPECT_EQ(client.control("quit"), "ok");
    EXPECT_TRUE(sim.exitedCleanly());
}

// A stand-in told to stop taking reports keeps the host's reports waiting at
// the simulator, unacknowledged, while the other machine answers; when the
// stall ends they reach it in order.
TEST(DupmonSim, AStalledMachineHoldsItsReportsWhileTheOtherAnswers) {
    SimProcess sim;
    SimClientBackend client(sim.socket());
    ASSERT_TRUE(sim.connect(client));
    ASSERT_TRUE(client.start());
    const std::string plugA = client.control("plug usb10 id=STALLED");
    const std::string plugB = client.control("plug usb10 id=HEALTHY");
    ASSERT_EQ(plugA.rfind("ok ", 0), 0u) << plugA;
    ASSERT_EQ(plugB.rfind("ok ", 0), 0u) << plugB;
    struct Attached {
        CUsbhidioc link;
        FrameChannel channel;
        explicit Attached(SimClientBackend& c) : link(c), channel(SystemClock::instance()) {}
    };
    std::vector<std::unique_ptr<Attached>> m;
    for (const std::string& path : {plugA.substr(3), plugB.substr(3)}) {
        m.push_back(std::make_unique<Attached>(client));
        ASSERT_TRUE(m.back()->link.openByPath(path, CUsbhidioc::kVendorId, 0x2001));
        m.back()->channel.setRead(&CUsbhidioc::takeFrameCallback, &m.back()->link);
        m.back()->channel.setWrite(&CUsbhidioc::sendFrameCallback, &m.back()->link);
    }
    auto answered = [&](Attached& a) {
        return waitFor(client, [&] {
            client.poll();
            a.link.flushOutput();
            a.link.pollInput();
            return a.channel.receive();
        });
    };
    const std::string help = sim.ctl("fault STALLED nosuchfault");
    EXPECT_NE(help.find("stall [after=<n>] [delay=<ms>]"), std::string::npos) << help;
    EXPECT_EQ(sim.ctl("fault STALLED stall after=1 delay=1500"), "ok\n");

    // The one report it still takes is answered; the next stays with the simulator.
    m[0]->channel.sendCommand('A');
    ASSERT_TRUE(answered(*m[0]));
    m[0]->channel.sendCommand('B');
    const auto stalledAt = std::chrono::steady_clock::now();
    bool early = false;
    while (!early &&
           std::chrono::steady_clock::now() - stalledAt < std::chrono::milliseconds(500)) {
        pollfd p{client.fd(), POLLIN, 0};
        ::poll(&p, 1, 10);
        client.poll();
        m[0]->link.pollInput();
        early = m[0]->channel.receive();
    }
    EXPECT_FALSE(early);
    EXPECT_FALSE(m[0]->link.outputTaken());

    // The other machine is not held up.
    m[1]->channel.sendCommand('A');
    EXPECT_TRUE(answered(*m[1]));
    EXPECT_FALSE(m[0]->link.outputTaken());

    // The stall ends: the report held for it goes, and is answered.
    EXPECT_TRUE(answered(*m[0]));
    EXPECT_TRUE(m[0]->link.outputTaken());
    EXPECT_EQ(m[0]->channel.answerLength(), 4 + 28 + 1); // the status block
    EXPECT_EQ(client.control("quit"), "ok");
    EXPECT_TRUE(sim.exitedCleanly());
}

TEST(DupmonSim, OnlyItsOwnUserMayConnect) {
    SimProcess sim;
    SimClientBackend client(sim.socket());
    ASSERT_TRUE(sim.connect(client));
    struct stat st {};
    ASSERT_EQ(::stat(sim.socket().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    if (::geteuid() != 0) {
        std::printf("skipped the connect as another user: it needs root\n");
        return;
    }
    // The socket's folder is open to the other user, so that only the
    // socket's own mode can keep it out.
    ::chmod(sim.dir().c_str(), 0755);
    if (const std::string no = test::cannotEnter(test::kNobody, sim.dir()); !no.empty()) {
        std::printf("skipped the connect as another user: %s\n", no.c_str());
        return;
    }
    // Another user: a child that gives up root, then tries the socket.
    EXPECT_TRUE(test::asUser(test::kNobody, [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sim.socket().c_str());
        const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        return rc != 0 && errno == EACCES;
    })) << "it connected, or could not become another user";
}

TEST(DupmonSim, TracesGoOnlyIntoTheFolderNamedAtStart) {
    SimProcess traced({"--trace-dir", "DIR"});
    SimClientBackend client(traced.socket());
    ASSERT_TRUE(traced.connect(client));

    const std::string outside =
        traced.dir() + "/../dupmon-sim-outside-" + std::to_string(::getpid());
    { std::ofstream(outside) << "untouched\n"; }
    ::symlink(outside.c_str(), (traced.dir() + "/link").c_str());
    struct Refused {
        std::string name;
        std::string why;
    } refused[] = {{"../escape", "a plain file name"},
                   {outside, "a plain file name"},
                   {"sub/x", "a plain file name"},
                   {"..", "a plain file name"},
                   {"link", "Too many levels of symbolic links"}};
    for (const auto& r : refused) {
        const std::string reply = client.control("trace " + r.name);
        EXPECT_EQ(reply.rfind("err trace " + r.name + ": ", 0), 0u) << reply;
        EXPECT_NE(reply.find(r.why), std::string::npos) << reply;
    }
    std::ifstream in(outside);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched\n");
    std::remove(outside.c_str());
    EXPECT_FALSE(fs::exists(traced.dir() + "/../escape"));

    // A plain name: the trace is written there, 0600, line by line.
    EXPECT_EQ(client.control("trace wire.txt"), "ok");
    const std::string plugged = client.control("plug usb10");
    ASSERT_EQ(plugged.rfind("ok ", 0), 0u) << plugged;
    // What the host says happened outside the wire, one line each; nothing
    // that would not stay one line of printable words.
    client.noteEvent("window-open " + plugged.substr(3));
    client.noteEvent("request copy\x01 hidden");
    client.noteEvent(std::string(300, 'x'));
    ASSERT_EQ(client.control("list").rfind("ok ", 0), 0u);
    const std::string path = traced.dir() + "/wire.txt";
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::ifstream trace(path);
    const std::string text(std::istreambuf_iterator<char>(trace), {});
    EXPECT_NE(text.find(" EVENT plug " + plugged.substr(3) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" EVENT window-open " + plugged.substr(3) + "\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
    EXPECT_EQ(text.find("xxxxxxxx"), std::string::npos) << text;
    EXPECT_EQ(client.control("trace off"), "ok");

    // Without a trace folder no request writes a trace at all.
    SimProcess untraced;
    SimClientBackend plain(untraced.socket());
    ASSERT_TRUE(untraced.connect(plain));
    const std::string reply = plain.control("trace wire.txt");
    EXPECT_EQ(reply.rfind("err no trace folder: start dupmon-sim with --trace-dir", 0), 0u)
        << reply;
    EXPECT_FALSE(fs::exists("wire.txt"));
    EXPECT_FALSE(fs::exists(untraced.dir() + "/wire.txt"));

    // A trace folder that is not there stops the start, and says so.
    const std::string missing = traced.dir() + "/missing";
    const std::string cmd = std::string(DUPMON_SIM_BINARY) + " --socket " + traced.dir() +
                            "/other.sock --trace-dir " + missing + " 2>&1";
    int status = -1;
    const std::string out = commandOutput(cmd, &status);
    ASSERT_NE(status, -1);
    EXPECT_EQ(WEXITSTATUS(status), 1) << out;
    EXPECT_EQ(out, "dupmon-sim: --trace-dir " + missing + ": No such file or directory\n");
}

// A client that writes its requests and closes its sending side at once, as
// "printf 'list\n' | socat - UNIX-CONNECT:sock" does, still gets every reply.
TEST(DupmonSim, AClientThatSaysItIsDoneStillGetsItsReplies) {
    SimProcess sim;
    SimClientBackend probe(sim.socket());
    ASSERT_TRUE(sim.connect(probe));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sim.socket().c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string requests = "hello\nplug usb10 id=DONE-1\nlist\nnonsense\n";
    ASSERT_EQ(::write(fd, requests.data(), requests.size()), ssize_t(requests.size()));
    ::shutdown(fd, SHUT_WR);
    std::string replies;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        replies.append(buf, size_t(n));
    ::close(fd);
    EXPECT_EQ(replies, "ok dupmon-sim 1\nok /dev/virtual/hidraw0\n"
                       "ok /dev/virtual/hidraw0:6c15:2001:usb10:DONE-1\n"
                       "err unknown command nonsense\n");
}

TEST(DupmonSim, FailsAPortAtTheRateItIsGiven) {
    SimProcess sim({"--plug", "usb10,failrate=3:1"});
    SimClientBackend client(sim.socket());
    ASSERT_TRUE(sim.connect(client));
    auto reply = [&](const std::string& request) {
        std::string s = sim.ctl(request);
        while (!s.empty() && s.back() == '\n')
            s.pop_back();
        return s;
    };
    const std::string m = "SU10-000001";
    EXPECT_EQ(reply("failrate " + m + " 4 1"), "ok");
    for (const char* wrong : {"10 0.5", "2 1.5", "2 x", "2", "-1 0.5"})
        EXPECT_EQ(reply("failrate " + m + " " + wrong).rfind("err ", 0), 0u) << wrong;
    EXPECT_EQ(reply("failrate " + m + " 2 0.5 extra").rfind("err ", 0), 0u);
    EXPECT_EQ(client.control("plug usb10 failrate=30:0.5").rfind("err ", 0), 0u);
    EXPECT_EQ(client.control("plug usb10 failrate=0.5").rfind("err ", 0), 0u);

    // Ports 3 and 4 fail every job; the other seven targets pass.
    ASSERT_EQ(reply("speed " + m + " 1000"), "ok");
    ASSERT_EQ(reply("job " + m + " copy"), "ok");
    std::string status;
    for (int i = 0; i < 100; ++i) {
        status = reply("status " + m);
        if (status.find(" sub=6 ") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(status.find(" pass=7 fail=2 "), std::string::npos) << status;
    EXPECT_EQ(client.control("quit"), "ok");
    EXPECT_TRUE(sim.exitedCleanly());
}

namespace {

struct SimRun {
    int status = -1; // exit status; -1 when it was still running and was stopped
    std::string output;
};

// dupmon-sim with these arguments, given `seconds` to end by itself.
SimRun runSim(const std::vector<std::string>& args, int seconds) {
    const test::TempDir tmp("dupmon-sim-run");
    std::vector<std::string> all{DUPMON_SIM_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    Child child(all, tmp.path / "output.txt", {});
    SimRun r;
    r.status = child.wait(seconds);
    child.stop(); // still running: as a user's Ctrl-C would
    r.output = child.output();
    return r;
}

} // namespace

// Only nothing, or a socket of this user nobody answers on (left by a
// simulator that was killed), may become the simulator's socket. A file, a
// link, a folder, a pipe or a live simulator's socket is refused at once
// and stays as it was; a live simulator keeps serving.
TEST(DupmonSim, ASocketPathThatIsTakenIsRefusedAndLeftAsItIs) {
    SimProcess live;
    SimClientBackend client(live.socket());
    ASSERT_TRUE(live.connect(client));
    const std::string dir = live.dir();
    { std::ofstream(dir + "/target") << "kept\n"; }
    struct Case {
        const char* what;
        std::string path;
        std::function<void(const std::string&)> make;
        const char* why; // nullptr: taken
    } cases[] = {
        {"a regular file", dir + "/file",
         [](const std::string& p) { std::ofstream(p) << "kept\n"; },
         "a file of another kind is there; it is left as it is"},
        {"a link", dir + "/link",
         [&](const std::string& p) { fs::create_symlink(dir + "/target", p); },
         "it is a symbolic link; it is left as it is"},
        {"a folder", dir + "/folder", [](const std::string& p) { fs::create_directory(p); },
         "it is a folder; it is left as it is"},
        {"a pipe", dir + "/pipe", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); },
         "a file of another kind is there; it is left as it is"},
        {"a live simulator's socket", live.socket(), [](const std::string&) {},
         "a simulator already serves on it; stop it first or choose another path"},
        {"a stale socket", dir + "/stale",
         [](const std::string& p) {
             const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un addr{};
             addr.sun_family = AF_UNIX;
             std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.c_str());
             ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
             ::close(fd); // its file stays, and nobody answers on it
         },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.make(c.path);
        const auto typeBefore = fs::symlink_status(c.path).type();
        if (!c.why) {
            // Taken: the new simulator serves on it until stopped.
            SimRun r;
            std::thread t([&] { r = runSim({"--socket", c.path}, 2); });
            SimClientBackend other(c.path);
            bool served = false;
            for (int i = 0; i < 40 && !served; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                served = other.connect();
            }
            t.join();
            EXPECT_TRUE(served) << r.output;
            continue;
        }
        const SimRun r = runSim({"--socket", c.path}, 10);
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_EQ(r.output.rfind("dupmon-sim: cannot listen on " + c.path + ": " + c.why, 0), 0u)
            << r.output;
        EXPECT_EQ(fs::symlink_status(c.path).type(), typeBefore);
    }
    std::ifstream in(dir + "/target");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept\n");
    EXPECT_EQ(client.control("hello"), "ok dupmon-sim 1") << "the live simulator still serves";
}

// Every field of a plug is checked, at start (--plug) and on the control
// socket (plug): a field that would not be taken as written is an error
// that names it, and no stand-in is plugged.
TEST(DupmonSim, EveryPlugFieldIsChecked) {
    struct Case {
        const char* plug;
        const char* error;
    } cases[] = {
        {"usb10,logs=abc", "logs: 'abc' is not a number from 0 to 1000000"},
        {"usb10,logs=1000001", "logs: '1000001' is not a number from 0 to 1000000"},
        {"usb10,first=-1", "first: '-1' is not a number from 0 to 4294967295"},
        {"usb10,boards=70000", "boards: '70000' is not a number from 0 to 65535"},
        {"usb10,speed=fast", "speed: 'fast' is not a number from 0.01 to 10000"},
        {"usb10,speed=0", "speed: '0' is not a number from 0.01 to 10000"},
        {"usb10,colour=red",
         "unknown field 'colour=red' (id=, logs=, first=, boards=, speed=, failrate=)"},
        {"usb10,logs", "unknown field 'logs' (id=, logs=, first=, boards=, speed=, failrate=)"},
        {"usb10,logs=1,logs=2", "logs is given twice"},
        {"usb10,id=", "id: '' is not a machine id of 1 to 63 characters"},
    };
    SimProcess sim;
    SimClientBackend client(sim.socket());
    ASSERT_TRUE(sim.connect(client));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plug);
        const std::string socket = sim.dir() + "/start.sock";
        const SimRun r = runSim({"--socket", socket, "--plug", c.plug}, 10);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find(std::string(": err ") + c.error + "\n"), std::string::npos)
            << r.output;
        EXPECT_FALSE(fs::exists(socket));
        std::string words = c.plug;
        std::replace(words.begin(), words.end(), ',', ' ');
        EXPECT_EQ(client.control("plug " + words), std::string("err ") + c.error);
    }
    EXPECT_EQ(client.control("list"), "ok") << "nothing was plugged";
    const std::string good = client.control("plug usb10 id=GOOD-1 logs=3 first=7 boards=2 speed=2");
    EXPECT_EQ(good.rfind("ok ", 0), 0u) << good;
}
