// dupmon-sim's server: the poll loop, the socket it guards, clients and
// their device handles, the control requests, and the wire traces.
#include "sim/sim_server.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/text.h"
#include "hidlink/usbhidioc.h"
#include "sim/sim_client.h"
#include "sim/sim_wire.h"

namespace dupmon {

using namespace simwire;

namespace {

struct NamedFunction {
    const char* name;
    uint8_t code;
};
constexpr NamedFunction kFunctions[] = {
    {"copy", FN_COPY},
    {"compare", FN_COMPARE},
    {"copycompare", FN_COPY_COMPARE},
    {"copywp", FN_COPY_WP},
    {"copycomparewp", FN_COPY_COMPARE_WP},
    {"erase", FN_QUICK_ERASE},
    {"fullerase", FN_FULL_ERASE},
    {"doderase", FN_DOD_ERASE},
    {"h3", FN_H3_TEST},
    {"h5", FN_H5_TEST},
    {"capacity", FN_CAPACITY_CHECK},
    {"format", FN_FORMAT_AUTO},
    {"burnin", FN_BURN_IN},
    {"protect", FN_SET_PROTECT},
    {"release", FN_RELEASE_PROTECT},
    {"showprotect", FN_SHOW_PROTECT},
};

bool functionCode(const std::string& word, uint8_t& code) {
    for (const auto& f : kFunctions) {
        if (word == f.name) {
            code = f.code;
            return true;
        }
    }
    uint32_t n = 0;
    if (!parseNumber(word, n) || n > 255)
        return false;
    code = static_cast<uint8_t>(n);
    return true;
}

std::string err(const std::string& why) {
    return "err " + why;
}

// A failure rate: a fraction from 0 to 1 ("0.25").
bool parseRate(const std::string& text, double& rate) {
    char* end = nullptr;
    rate = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && rate >= 0.0 && rate <= 1.0;
}

// "failrate" of a machine: port (as media counts them) and rate.
std::string setFailRate(MachineModel& model, const std::string& portText,
                        const std::string& rateText) {
    uint32_t port = 0;
    double rate = 0;
    if (!parseNumber(portText, port) || port >= model.portCount())
        return err(format("failrate: port '%s' is not a port from 0 to %zu", portText.c_str(),
                          model.portCount() - 1));
    if (!parseRate(rateText, rate))
        return err("failrate: rate '" + rateText + "' is not a fraction from 0 to 1");
    model.setPortFailRate(port, rate);
    return "ok";
}

// Output onto a file this server opened itself (never by a path a client
// named), written out at every line end so a trace is whole while it runs.
class FdOutBuffer final : public std::streambuf {
public:
    explicit FdOutBuffer(int fd) : fd_(fd) {}
    ~FdOutBuffer() override { sync(); }

protected:
    int overflow(int c) override {
        if (c == traits_type::eof())
            return sync() == 0 ? traits_type::not_eof(c) : traits_type::eof();
        pending_.push_back(char(c));
        if (c == '\n')
            sync();
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        pending_.append(s, size_t(n));
        if (std::memchr(s, '\n', size_t(n)))
            sync();
        return n;
    }
    int sync() override {
        size_t done = 0;
        while (done < pending_.size()) {
            const ssize_t n = ::write(fd_.get(), pending_.data() + done, pending_.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += size_t(n);
        }
        const bool all = done == pending_.size();
        pending_.clear(); // a trace that cannot be written is dropped, never held
        return all ? 0 : -1;
    }

private:
    UniqueFd fd_;
    std::string pending_;
};

constexpr int kTraceFlags = O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC;

} // namespace

SimServer::SimServer(const Clock& clock) : clock_(clock), bus_(clock) {}

SimServer::~SimServer() {
    bus_.setTrace(nullptr);
    traceFolder_.reset();
    for (auto& c : clients_)
        c->fd.reset();
    if (listenFd_) {
        listenFd_.reset();
        struct stat st {};
        if (::lstat(socketPath_.c_str(), &st) == 0 && st.st_dev == socketDev_ &&
            st.st_ino == socketIno_)
            ::unlink(socketPath_.c_str());
    }
}

namespace {

// Whether the path may become this server's socket. Nothing there, or a
// socket of this user on which nobody answers (a simulator that was killed),
// is taken; anything else is left as it is and said.
bool socketPathFree(const std::string& path, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        error = std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode))
        error = "it is a symbolic link; it is left as it is";
    else if (S_ISDIR(st.st_mode))
        error = "it is a folder; it is left as it is";
    else if (!S_ISSOCK(st.st_mode))
        error = "a file of another kind is there; it is left as it is";
    else if (st.st_uid != ::geteuid())
        error = "it is another user's socket; it is left as it is";
    if (!error.empty())
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe) {
        error = std::strerror(errno);
        return false;
    }
    const int connected = ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    const int why = errno;
    probe.reset();
    if (connected != 0 && why == ECONNREFUSED) {
        if (::unlink(path.c_str()) == 0 || errno == ENOENT)
            return true;
        error = std::strerror(errno);
        return false;
    }
    if (connected == 0 || why == EAGAIN) {
        error = SimClientBackend(path).connect()
                    ? "a simulator already serves on it; stop it first or choose another path"
                    : "another program answers on it; it is left as it is";
        return false;
    }
    error = std::string("it cannot be tried: ") + std::strerror(why);
    return false;
}

} // namespace

bool SimServer::listen(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path empty or too long";
        return false;
    }
    if (!socketPathFree(path, error))
        return false;
    listenFd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listenFd_) {
        error = std::strerror(errno);
        return false;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    // Nobody can connect before listen(), so the mode is set in between.
    if (::bind(listenFd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(listenFd_.get(), 8) != 0) {
        error = std::strerror(errno);
        listenFd_.reset();
        return false;
    }
    socketPath_ = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        socketDev_ = st.st_dev;
        socketIno_ = st.st_ino;
    }
    return true;
}

void SimServer::run() {
    // Wake for the next report on the wire, and at least every 20 ms so that
    // jobs move on.
    while (!quit_ && !(stopFlag_ && *stopFlag_))
        runOnce(20);
    for (auto& c : clients_)
        flush(*c);
}

void SimServer::runOnce(int maxWaitMs) {
    int timeout = maxWaitMs;
    uint32_t due = 0;
    if (bus_.nextDue(due)) {
        const int32_t wait = static_cast<int32_t>(due - clock_.tickMs());
        timeout = std::clamp(wait, 0, maxWaitMs);
    }
    std::vector<pollfd> fds;
    fds.push_back({listenFd_.get(), POLLIN, 0});
    for (auto& c : clients_)
        fds.push_back(
            {c->fd.get(),
             static_cast<short>((c->inputEnded ? 0 : POLLIN) | (c->out.empty() ? 0 : POLLOUT)), 0});
    ::poll(fds.data(), fds.size(), timeout);
    if (fds[0].revents & POLLIN)
        accept();
    for (size_t i = 1; i < fds.size(); ++i) {
        Client& c = *clients_[i - 1];
        if (fds[i].revents & POLLERR)
            c.closed = true;
        else if (!c.inputEnded && (fds[i].revents & (POLLIN | POLLHUP)))
            readClient(c);
    }
    bus_.pump();
    forwardInput();
    forwardChanges();
    for (auto& c : clients_) {
        flush(*c);
        if (c->inputEnded && c->out.empty())
            c->closed = true;
    }
    clients_.erase(
        std::remove_if(clients_.begin(), clients_.end(), [](const auto& c) { return c->closed; }),
        clients_.end());
}

void SimServer::adopt(int fd) {
    auto c = std::make_unique<Client>();
    c->fd.reset(fd);
    clients_.push_back(std::move(c));
}

void SimServer::accept() {
    for (;;) {
        const int fd = ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        adopt(fd);
    }
}

void SimServer::readClient(Client& c) {
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(c.fd.get(), buf, sizeof buf);
        if (n > 0) {
            c.in.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            c.inputEnded = true;
        else if (errno != EAGAIN)
            c.closed = true;
        break;
    }
    size_t start = 0;
    for (size_t nl; (nl = c.in.find('\n', start)) != std::string::npos; start = nl + 1)
        handleLine(c, c.in.substr(start, nl - start));
    c.in.erase(0, start);
    if (c.in.size() > 65536)
        c.closed = true; // no line is that long
}

void SimServer::handleLine(Client& c, const std::string& line) {
    const auto words = splitWords(line);
    if (words.empty())
        return;
    if (words[0] == "write") {
        // Streamed: no reply; a report for a departed device brings "gone".
        // A device that takes nothing now has its reports held, in order,
        // until it does; each one taken is acknowledged to a client that asked.
        std::array<uint8_t, kReportSize> report;
        if (words.size() != 3 || !fromHex(words[2], report.data(), kReportSize))
            return;
        const int handle = std::atoi(words[1].c_str());
        if (!c.handles.count(handle))
            return;
        auto& held = c.held[handle];
        // A client that does not count its reports cannot be held back:
        // beyond this many, what a stalled device would never take is dropped.
        constexpr size_t kMaxHeld = 1024;
        if (held.size() < kMaxHeld)
            held.push_back(report);
        offerHeld(c, handle);
        return;
    }
    if (words[0] == "close") {
        if (words.size() == 2) {
            c.handles.erase(std::atoi(words[1].c_str()));
            c.held.erase(std::atoi(words[1].c_str()));
        }
        return; // streamed as well
    }
    if (words[0] == "event") {
        // Streamed: the words again, blank-separated, so that a trace line stays one line.
        std::string what;
        for (size_t i = 1; i < words.size(); ++i)
            what += (i > 1 ? " " : "") + words[i];
        const bool printable = std::all_of(what.begin(), what.end(), [](char ch) {
            return static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7F;
        });
        if (printable && !what.empty() && what.size() <= kMaxEventLength)
            bus_.traceEvent(what);
        return;
    }
    c.out += request(&c, words) + "\n";
}

std::string SimServer::control(const std::string& line) {
    return request(nullptr, splitWords(line));
}

SimServer::Machine* SimServer::find(const std::string& name) {
    for (auto& m : machines_)
        if (m.path == name || m.device->machine().machineId == name)
            return &m;
    return nullptr;
}

std::string SimServer::plug(const std::vector<std::string>& w) {
    if (w.size() < 2)
        return err("usage: plug <profile> [id=<text>] [logs=<n>] [first=<n>] [boards=<n>] "
                   "[speed=<x>] [failrate=<port>:<rate>]");
    const SimProfile* profile = findSimProfile(w[1]);
    if (!profile)
        return err("no profile " + w[1]);
    // Every field is checked: a value that is not taken is said, never
    // dropped, so that a stand-in is never plugged with other fields than asked.
    static constexpr std::string_view kFields[] = {"id",     "logs",  "first",
                                                   "boards", "speed", "failrate"};
    std::map<std::string, std::string> given;
    for (size_t i = 2; i < w.size(); ++i) {
        const size_t eq = w[i].find('=');
        const std::string key = w[i].substr(0, eq);
        if (eq == std::string::npos ||
            std::find(std::begin(kFields), std::end(kFields), key) == std::end(kFields))
            return err("unknown field '" + w[i] +
                       "' (id=, logs=, first=, boards=, speed=, failrate=)");
        if (!given.emplace(key, w[i].substr(eq + 1)).second)
            return err(key + " is given twice");
    }
    auto number = [&](const char* key, uint32_t max, uint32_t& out) -> std::string {
        const auto it = given.find(key);
        if (it == given.end())
            return "";
        if (!parseNumber(it->second, out) || out > max)
            return std::string(key) + ": '" + it->second + "' is not a number from 0 to " +
                   std::to_string(max);
        return "";
    };
    uint32_t boards = 0, logs = 0, first = 0;
    for (std::string bad : {number("boards", 0xFFFF, boards), number("logs", maxPreload_, logs),
                            number("first", UINT32_MAX, first)})
        if (!bad.empty())
            return err(bad);
    double speed = 0;
    if (const auto it = given.find("speed"); it != given.end()) {
        char* end = nullptr;
        speed = std::strtod(it->second.c_str(), &end);
        if (it->second.empty() || *end != '\0' || !(speed >= 0.01 && speed <= 10000.0))
            return err("speed: '" + it->second + "' is not a number from 0.01 to 10000");
    }
    std::string id = given.count("id") ? given["id"] : std::string();
    if (given.count("id") && (id.empty() || id.size() > 63))
        return err("id: '" + id + "' is not a machine id of 1 to 63 characters");
    if (id.empty())
        id = format("%s-%06u", profile->idPrefix.c_str(), ++serials_[profile->name]);
    if (find(id))
        return err("machine id in use: " + id);
    auto device = std::make_shared<StandInController>(*profile, clock_, id);
    MachineModel& m = device->machine();
    if (given.count("boards"))
        m.setBoardCount(static_cast<uint16_t>(boards));
    if (given.count("logs"))
        m.preloadLog(logs);
    if (given.count("first"))
        m.setLogFirstNo(first);
    if (given.count("speed"))
        m.speed = speed;
    if (const auto it = given.find("failrate"); it != given.end()) {
        const std::string& failRate = it->second;
        const size_t colon = failRate.find(':');
        const std::string set =
            colon == std::string::npos
                ? err("failrate=<port>:<rate>, e.g. failrate=3:0.25")
                : setFailRate(m, failRate.substr(0, colon), failRate.substr(colon + 1));
        if (set != "ok")
            return set;
    }
    const std::string path = bus_.plug(device, CUsbhidioc::kVendorId, profile->productId);
    machines_.push_back({path, profile->name, device});
    return "ok " + path;
}

std::string SimServer::request(Client* c, const std::vector<std::string>& w) {
    const std::string& cmd = w[0];
    const uint32_t now = clock_.tickMs();
    if (cmd == "hello")
        return std::string("ok ") + kGreeting;
    if (cmd == "quit") {
        quit_ = true;
        return "ok";
    }
    if (cmd == "profiles") {
        std::string s = "ok";
        for (const auto& p : simProfiles())
            s += " " + p.name;
        return s;
    }
    if (cmd == "list") {
        std::string s = "ok";
        for (const auto& m : machines_)
            s += format(" %s:%04x:%04x:%s:%s", m.path.c_str(), CUsbhidioc::kVendorId,
                        m.device->profile().productId, m.profile.c_str(),
                        m.device->machine().machineId.c_str());
        return s;
    }
    if (cmd == "masters") {
        std::string s = "ok";
        for (const auto& m : machines_) {
            const StandInController::MasterState master = m.device->masterState();
            const std::string& id = m.device->machine().machineId;
            s += format(" %s,%d,%llu,%s,%u",
                        toHex(reinterpret_cast<const uint8_t*>(id.data()), id.size()).c_str(),
                        master.atPc ? 1 : 0, (unsigned long long)master.capacityMiB,
                        toHex(master.identity.data(), master.identity.size()).c_str(),
                        m.masterFormatMs);
        }
        return s;
    }
    if (cmd == "watch") {
        if (c)
            c->watching = true;
        return "ok";
    }
    if (cmd == "acks") {
        if (c)
            c->acks = true;
        return "ok";
    }
    if (cmd == "open") {
        if (!c || w.size() != 2)
            return err("usage: open <path>");
        auto dev = bus_.open(w[1]);
        uint16_t vid = 0, pid = 0;
        if (!dev || !dev->getAttributes(vid, pid))
            return err("no device " + w[1]);
        const int h = nextHandle_++;
        c->handles[h] = std::move(dev);
        return format("ok %d %04x %04x", h, vid, pid);
    }
    if (cmd == "plug")
        return plug(w);
    if (cmd == "wire") {
        uint32_t ms = 0;
        if (w.size() != 2 || !parseNumber(w[1], ms))
            return err("usage: wire <ms>");
        bus_.setWireTime(ms);
        return "ok";
    }
    if (cmd == "trace")
        return trace(w);

    // The rest name a machine.
    static const std::string_view kMachineRequests[] = {
        "unplug", "media",  "job",   "continue", "finish", "fault",   "log",
        "speed",  "status", "setup", "devinfo",  "master", "failrate"};
    if (std::find(std::begin(kMachineRequests), std::end(kMachineRequests), cmd) ==
        std::end(kMachineRequests))
        return err("unknown command " + cmd);
    if (w.size() < 2)
        return err("usage: " + cmd + " <machine> ...");
    Machine* m = find(w[1]);
    if (!m)
        return err("no machine " + w[1]);
    MachineModel& model = m->device->machine();
    model.tick(now);
    uint32_t n = 0;
    if (cmd == "unplug") {
        bus_.unplug(m->path);
        machines_.erase(machines_.begin() + (m - machines_.data()));
        return "ok";
    }
    if (cmd == "media") {
        uint32_t port = 0;
        if (w.size() < 4 || !parseNumber(w[2], port) || port >= model.portCount())
            return err("usage: media <machine> <port> insert [mb=<n>] [bad] | remove");
        if (w[3] == "remove") {
            model.removeMedium(port);
            return "ok";
        }
        if (w[3] != "insert")
            return err("media: insert or remove");
        uint32_t mb = 0;
        parseNumber(option(w, "mb"), mb);
        SimMedium medium = model.defaultMedium(port, mb);
        medium.bad = hasWord(w, "bad");
        model.insertMedium(port, medium);
        return "ok";
    }
    if (cmd == "job") {
        uint8_t code = 0;
        if (w.size() != 3 || !functionCode(w[2], code))
            return err("usage: job <machine> <function>");
        const JobStartResult r = model.startJob(code, now);
        return r == JOB_STARTED ? "ok" : err(format("job refused (%d)", int(r)));
    }
    if (cmd == "continue")
        return model.answerContinue(now) ? "ok" : err("not waiting");
    if (cmd == "finish")
        return model.answerFinish(now) ? "ok" : err("not waiting");
    if (cmd == "fault") {
        SimFaultSpec spec;
        if (w.size() < 3 || !parseSimFault(w[2], spec.kind))
            return err("usage: fault <machine> wrong-check|wrong-length|wrong-start|drop|late|"
                       "garbage|unplug|setup-check-error|devinfo-short|refuse|refuse-data "
                       "[times=<n>] [delay=<ms>] [cmd=<letter>] [sub=<n>] | fault <machine> stall "
                       "[after=<n>] [delay=<ms>]");
        spec.times = parseNumber(option(w, "times"), n) ? static_cast<int>(n) : 1;
        // A stall lasts until the machine is unplugged unless it is given a time.
        spec.delayMs = parseNumber(option(w, "delay"), n) ? n
                       : spec.kind == SimFault::Stall     ? 0
                                                          : 2000;
        spec.after = parseNumber(option(w, "after"), n) ? static_cast<int>(n) : 0;
        const std::string letter = option(w, "cmd");
        spec.letter = letter.empty() ? 0 : letter[0];
        spec.sub = parseNumber(option(w, "sub"), n) ? static_cast<int>(n) : -1;
        m->device->injectFault(spec);
        return "ok";
    }
    if (cmd == "log") {
        if (w.size() < 3 || !parseNumber(w[2], n))
            return err("usage: log <machine> <n> [first=<n>]");
        model.preloadLog(std::min(n, maxPreload_));
        if (parseNumber(option(w, "first"), n))
            model.setLogFirstNo(n);
        return "ok";
    }
    if (cmd == "speed") {
        if (w.size() != 3)
            return err("usage: speed <machine> <x>");
        model.speed = std::clamp(std::atof(w[2].c_str()), 0.01, 10000.0);
        return "ok";
    }
    if (cmd == "failrate") {
        if (w.size() != 4)
            return err("usage: failrate <machine> <port> <rate from 0 to 1>");
        return setFailRate(model, w[2], w[3]);
    }
    if (cmd == "setup")
        return format("ok writes=%u ", model.setupWrites) +
               toHex(model.setup.data(), model.setup.size());
    if (cmd == "devinfo") {
        std::string marked;
        for (uint16_t p : model.markedPorts)
            marked += (marked.empty() ? "" : ",") + std::to_string(p);
        return format("ok session=%d releases=%u marked=", model.deviceInfoSession ? 1 : 0,
                      model.releases) +
               (marked.empty() ? "-" : marked);
    }
    if (cmd == "master") {
        if (w.size() != 3 || !parseNumber(option(w, "format-ms"), n))
            return err("usage: master <machine> format-ms=<ms>");
        m->masterFormatMs = n;
        return "ok";
    }
    if (cmd == "status") {
        return format("ok state=%u sub=%u pass=%u fail=%u logFirst=%u logCount=%u polls=%zu",
                      model.state(), model.subState(), model.passCount(), model.failCount(),
                      model.logFirstNo(), model.logCount(), m->device->commands('B').size());
    }
    return err("unknown command " + cmd);
}

void SimServer::startTrace(int fd) {
    bus_.setTrace(nullptr);
    trace_.reset();
    traceBuffer_ = std::make_unique<FdOutBuffer>(fd);
    trace_ = std::make_unique<std::ostream>(traceBuffer_.get());
    bus_.setTrace(trace_.get());
}

bool SimServer::traceTo(const std::string& file, std::string& error) {
    const int fd = ::open(file.c_str(), kTraceFlags, 0600);
    if (fd < 0) {
        error = file + ": " + std::strerror(errno);
        return false;
    }
    startTrace(fd);
    return true;
}

bool SimServer::setTraceFolder(const std::string& dir, std::string& error) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = dir + ": " + std::strerror(errno);
        return false;
    }
    traceFolder_.reset(fd);
    return true;
}

// "trace NAME" starts a trace in the folder given at start, "trace off" ends it.
std::string SimServer::trace(const std::vector<std::string>& w) {
    if (w.size() != 2)
        return err("usage: trace <file name> | off");
    const std::string& name = w[1];
    if (name == "off") {
        bus_.setTrace(nullptr);
        trace_.reset();
        traceBuffer_.reset();
        return "ok";
    }
    if (!traceFolder_)
        return err("no trace folder: start dupmon-sim with --trace-dir DIR to allow trace NAME");
    if (name == "." || name == ".." || name.find('/') != std::string::npos)
        return err("trace " + name + ": a plain file name in the trace folder, without /");
    const int fd = ::openat(traceFolder_.get(), name.c_str(), kTraceFlags, 0600);
    if (fd < 0)
        return err("trace " + name + ": " + std::strerror(errno));
    startTrace(fd);
    return "ok";
}

bool SimServer::offerHeld(Client& c, int handle) {
    auto device = c.handles.find(handle);
    auto& held = c.held[handle];
    while (device != c.handles.end() && !held.empty()) {
        switch (device->second->write(held.front().data())) {
        case WriteStatus::Taken:
            held.pop_front();
            if (c.acks)
                c.out += format("taken %d\n", handle);
            break;
        case WriteStatus::Busy:
            return true;
        case WriteStatus::Gone:
            held.clear();
            c.out += format("gone %d\n", handle);
            return false;
        }
    }
    return true;
}

void SimServer::forwardInput() {
    for (auto& c : clients_) {
        // Devices that were stalled may take their held reports now.
        for (auto& [handle, held] : c->held)
            if (!held.empty())
                offerHeld(*c, handle);
        for (auto it = c->handles.begin(); it != c->handles.end();) {
            uint8_t report[kReportSize];
            ReadStatus st;
            while ((st = it->second->read(report)) == ReadStatus::Report)
                c->out += format("in %d ", it->first) + toHex(report, kReportSize) + "\n";
            if (st == ReadStatus::Gone) {
                c->out += format("gone %d\n", it->first);
                it = c->handles.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void SimServer::forwardChanges() {
    for (const auto& change : bus_.poll()) {
        std::string line;
        if (change.kind == DeviceChange::Arrival) {
            uint16_t pid = 0;
            for (const auto& m : machines_)
                if (m.path == change.name)
                    pid = m.device->profile().productId;
            line =
                format("arrival %s %04x %04x\n", change.name.c_str(), CUsbhidioc::kVendorId, pid);
        } else {
            line = "removal " + change.name + "\n";
            // A machine that pulled its own plug leaves the list too.
            machines_.erase(std::remove_if(machines_.begin(), machines_.end(),
                                           [&](const Machine& m) { return m.path == change.name; }),
                            machines_.end());
        }
        for (auto& c : clients_)
            if (c->watching)
                c->out += line;
    }
}

void SimServer::flush(Client& c) {
    if (c.out.size() > (16u << 20))
        c.closed = true; // a client that stopped reading
    while (!c.out.empty() && !c.closed) {
        const ssize_t n = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        c.closed = true;
    }
}

} // namespace dupmon
