// The host's side of the dupmon-sim socket: one connection that carries
// control lines, the reports of every open device and plug/unplug events,
// and reconnects when the simulator comes back.
#include "sim/sim_client.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/file_io.h"
#include "common/text.h"
#include "sim/sim_wire.h"

namespace dupmon {

using namespace simwire;

namespace {

uint32_t nowMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

struct SimClientBackend::Connection {
    using Report = std::array<uint8_t, kReportSize>;

    UniqueFd fd;
    // Counts connections: a device opened on an earlier one is gone for good,
    // even when the simulator hands out its handle number again.
    unsigned generation = 0;
    // Only poll() reads the socket; devices take what it handed them.
    bool watching = false;
    // The simulator acknowledges every report a device took ("taken"): a
    // device has at most kWindow reports on their way, and refuses more
    // until they are taken, as a hidraw node does.
    static constexpr int kWindow = 8;
    bool acks = false;
    std::map<int, int> onTheirWay;
    // Lines not yet sent whole; nothing here waits for the socket to take them.
    std::string out;
    std::string in;
    std::deque<std::string> replies;
    std::map<int, std::deque<Report>> inputs;
    std::set<int> gone;
    std::map<int, std::string> openPaths; // handle -> device path
    std::vector<DeviceChange> changes;

    ~Connection() { close(); }

    void close() { fd.reset(); }

    // The connection ended without being asked to: every machine served on it left.
    void lost() {
        close();
        if (watching)
            for (const auto& [handle, path] : openPaths)
                changes.push_back({DeviceChange::Removal, path});
        watching = false;
        acks = false;
        onTheirWay.clear();
        ++generation;
        out.clear();
        in.clear();
        replies.clear();
        inputs.clear();
        gone.clear();
        openPaths.clear();
    }

    // Queues a line and sends what the socket takes now.
    bool sendLine(const std::string& line) {
        if (!fd)
            return false;
        out += line;
        out += '\n';
        return flush();
    }
    // Sends what the socket takes without waiting; false once it is gone.
    bool flush() {
        while (fd && !out.empty()) {
            const ssize_t n = ::send(fd.get(), out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                out.erase(0, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            lost();
        }
        return static_cast<bool>(fd);
    }
    // Sends everything queued, waiting at most until `end`.
    bool flushAll(std::chrono::steady_clock::time_point end) {
        using namespace std::chrono;
        while (flush() && !out.empty()) {
            const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{fd.get(), POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(left));
        }
        return static_cast<bool>(fd);
    }

    void dispatch(const std::string& line) {
        const auto w = splitWords(line);
        if (w.empty())
            return;
        if (w[0] == "in" && w.size() == 3) {
            Report r;
            if (fromHex(w[2], r.data(), r.size()))
                inputs[std::atoi(w[1].c_str())].push_back(r);
        } else if (w[0] == "taken" && w.size() == 2) {
            auto it = onTheirWay.find(std::atoi(w[1].c_str()));
            if (it != onTheirWay.end() && it->second > 0)
                --it->second;
        } else if (w[0] == "gone" && w.size() == 2) {
            gone.insert(std::atoi(w[1].c_str()));
        } else if (w[0] == "arrival" && w.size() >= 2) {
            changes.push_back({DeviceChange::Arrival, w[1]});
        } else if (w[0] == "removal" && w.size() >= 2) {
            changes.push_back({DeviceChange::Removal, w[1]});
        } else {
            replies.push_back(line);
        }
    }

    // Reads what the socket holds without waiting; false once it closed. A
    // read that does not fill the buffer took everything there was: the
    // socket turns readable again when more comes.
    bool pump() {
        if (!flush())
            return false;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                in.append(buf, static_cast<size_t>(n));
                if (static_cast<size_t>(n) < sizeof buf)
                    break;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            lost();
            return false;
        }
        size_t start = 0;
        for (size_t nl; (nl = in.find('\n', start)) != std::string::npos; start = nl + 1)
            dispatch(in.substr(start, nl - start));
        in.erase(0, start);
        return static_cast<bool>(fd);
    }

    // Sends a request and waits for its reply line.
    std::string request(const std::string& line, uint32_t timeoutMs) {
        using namespace std::chrono;
        const auto end = steady_clock::now() + milliseconds(timeoutMs);
        if (!sendLine(line) || !flushAll(end)) {
            if (fd)
                lost(); // half a line on its way would end the next one
            return "err not connected";
        }
        for (;;) {
            pump();
            if (!replies.empty()) {
                std::string r = replies.front();
                replies.pop_front();
                return r;
            }
            if (!fd)
                return "err connection closed";
            const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
            if (left <= 0) {
                lost(); // a late reply would be taken for the next request's
                return "err no reply";
            }
            pollfd p{fd.get(), POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
        }
    }
};

namespace {

class SimClientDevice final : public HidDevice {
public:
    SimClientDevice(std::shared_ptr<SimClientBackend::Connection> conn, int handle, uint16_t vid,
                    uint16_t pid)
        : conn_(std::move(conn)), generation_(conn_->generation), handle_(handle), vid_(vid),
          pid_(pid) {}
    ~SimClientDevice() override {
        if (!current())
            return;
        if (conn_->fd && !conn_->gone.count(handle_))
            conn_->sendLine(format("close %d", handle_)); // streamed: no reply
        conn_->onTheirWay.erase(handle_);
        conn_->inputs.erase(handle_);
        conn_->gone.erase(handle_);
        conn_->openPaths.erase(handle_);
    }
    bool getAttributes(uint16_t& vid, uint16_t& pid) override {
        if (isGone())
            return false;
        vid = vid_;
        pid = pid_;
        return true;
    }
    WriteStatus write(const uint8_t* report) override {
        if (isGone())
            return WriteStatus::Gone;
        // Without acknowledgements (an older simulator) only a socket that
        // takes nothing holds the reports back.
        constexpr size_t kMaxUnsent = 64 * 1024;
        if (conn_->acks ? writesOnTheirWay() >= SimClientBackend::Connection::kWindow
                        : conn_->out.size() > kMaxUnsent)
            return WriteStatus::Busy;
        if (!conn_->sendLine(format("write %d ", handle_) + toHex(report, kReportSize)))
            return WriteStatus::Gone;
        if (conn_->acks)
            ++conn_->onTheirWay[handle_];
        return WriteStatus::Taken;
    }
    bool writePending() const override { return current() && writesOnTheirWay() > 0; }
    // The simulator's acknowledgements come on the socket.
    int writeFd() const override { return fd(); }
    ReadStatus read(uint8_t* report) override {
        if (!current())
            return ReadStatus::Gone;
        if (!conn_->watching)
            conn_->pump();
        auto it = conn_->inputs.find(handle_);
        if (it != conn_->inputs.end() && !it->second.empty()) {
            std::memcpy(report, it->second.front().data(), kReportSize);
            it->second.pop_front();
            return ReadStatus::Report;
        }
        return isGone() ? ReadStatus::Gone : ReadStatus::NoReport;
    }
    int fd() const override { return current() ? conn_->fd.get() : -1; }
    bool inputQueued() const override {
        if (!current())
            return false;
        auto it = conn_->inputs.find(handle_);
        return it != conn_->inputs.end() && !it->second.empty();
    }

private:
    bool current() const { return conn_->generation == generation_; }
    int writesOnTheirWay() const {
        auto it = conn_->onTheirWay.find(handle_);
        return it == conn_->onTheirWay.end() ? 0 : it->second;
    }
    bool isGone() const { return !current() || !conn_->fd || conn_->gone.count(handle_) != 0; }

    std::shared_ptr<SimClientBackend::Connection> conn_;
    unsigned generation_;
    int handle_;
    uint16_t vid_, pid_;
};

} // namespace

SimClientBackend::SimClientBackend(std::string socketPath, uint32_t replyTimeoutMs)
    : path_(std::move(socketPath)), timeoutMs_(replyTimeoutMs),
      conn_(std::make_shared<Connection>()) {}

SimClientBackend::~SimClientBackend() = default;

bool SimClientBackend::connect() {
    if (conn_->fd)
        conn_->lost();
    sockaddr_un addr{};
    if (path_.empty() || path_.size() >= sizeof addr.sun_path)
        return false;
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.data(), path_.size());
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return false;
    conn_->fd = std::move(fd);
    if (conn_->request("hello", timeoutMs_) != std::string("ok ") + kGreeting) {
        conn_->close();
        return false;
    }
    // An older simulator does not count reports: it answers "err".
    conn_->acks = conn_->request("acks", timeoutMs_) == "ok";
    return static_cast<bool>(conn_->fd);
}

bool SimClientBackend::connected() const {
    return static_cast<bool>(conn_->fd);
}

std::string SimClientBackend::control(const std::string& line) {
    return conn_->request(line, timeoutMs_);
}

std::vector<std::string> SimClientBackend::enumerate() {
    std::vector<std::string> paths;
    const auto words = splitWords(conn_->request("list", timeoutMs_));
    if (words.empty() || words[0] != "ok")
        return paths;
    for (size_t i = 1; i < words.size(); ++i)
        paths.push_back(words[i].substr(0, words[i].find(':')));
    return paths;
}

std::unique_ptr<HidDevice> SimClientBackend::open(const std::string& path) {
    if (path.find_first_of(" \t\r\n") != std::string::npos)
        return nullptr;
    const auto w = splitWords(conn_->request("open " + path, timeoutMs_));
    if (w.size() != 4 || w[0] != "ok")
        return nullptr;
    const int handle = std::atoi(w[1].c_str());
    const auto vid = static_cast<uint16_t>(std::strtoul(w[2].c_str(), nullptr, 16));
    const auto pid = static_cast<uint16_t>(std::strtoul(w[3].c_str(), nullptr, 16));
    conn_->openPaths[handle] = path;
    return std::make_unique<SimClientDevice>(conn_, handle, vid, pid);
}

void SimClientBackend::noteEvent(const std::string& what) {
    if (what.empty() || what.size() > kMaxEventLength ||
        what.find_first_of("\r\n") != std::string::npos)
        return;
    conn_->sendLine("event " + what);
}

bool SimClientBackend::subscribe() {
    if (conn_->request("watch", timeoutMs_) != "ok")
        return false;
    conn_->watching = true;
    return true;
}

bool SimClientBackend::start() {
    watch_ = true;
    nextTry_ = nowMs() + kReconnectMs;
    if (!connected() && !connect())
        return false;
    return subscribe();
}

int SimClientBackend::fd() const {
    return conn_->fd.get();
}

bool SimClientBackend::reconnect() {
    if (!connect() || !subscribe()) {
        conn_->close();
        return false;
    }
    // Whatever the simulator has now arrives, as machines plugged in would.
    for (const std::string& path : enumerate())
        conn_->changes.push_back({DeviceChange::Arrival, path});
    return true;
}

std::vector<DeviceChange> SimClientBackend::poll() {
    if (conn_->fd) {
        conn_->pump();
        if (!conn_->fd)
            nextTry_ = nowMs() + kReconnectMs;
    } else if (watch_ && static_cast<int32_t>(nowMs() - nextTry_) >= 0) {
        nextTry_ = nowMs() + kReconnectMs;
        std::vector<DeviceChange> before;
        before.swap(conn_->changes); // removals not yet taken survive the attempt
        reconnect();
        before.insert(before.end(), conn_->changes.begin(), conn_->changes.end());
        conn_->changes.swap(before);
    }
    std::vector<DeviceChange> out;
    out.swap(conn_->changes);
    return out;
}

uint32_t SimClientBackend::msUntilPoll() const {
    if (conn_->fd || !watch_)
        return kNoPoll;
    const int32_t left = static_cast<int32_t>(nextTry_ - nowMs());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

} // namespace dupmon
