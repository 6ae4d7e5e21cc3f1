#include "sim/sim_client.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

    int fd = -1;
    // Counts connections: a device opened on an earlier one is gone for good,
    // even when the simulator hands out its handle number again.
    unsigned generation = 0;
    // Only poll() reads the socket; devices take what it handed them.
    bool watching = false;
    std::string in;
    std::deque<std::string> replies;
    std::map<int, std::deque<Report>> inputs;
    std::set<int> gone;
    std::map<int, std::string> openPaths; // handle -> device path
    std::vector<DeviceChange> changes;

    ~Connection() { close(); }

    void close() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    // The connection ended without being asked to: every machine served on it left.
    void lost() {
        close();
        if (watching)
            for (const auto& [handle, path] : openPaths)
                changes.push_back({DeviceChange::Removal, path});
        watching = false;
        ++generation;
        in.clear();
        replies.clear();
        inputs.clear();
        gone.clear();
        openPaths.clear();
    }

    bool sendLine(const std::string& line) {
        if (fd < 0)
            return false;
        const std::string s = line + "\n";
        size_t done = 0;
        while (done < s.size()) {
            const ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                continue;
            }
            lost();
            return false;
        }
        return true;
    }

    void dispatch(const std::string& line) {
        const auto w = splitWords(line);
        if (w.empty())
            return;
        if (w[0] == "in" && w.size() == 3) {
            Report r;
            if (fromHex(w[2], r.data(), r.size()))
                inputs[std::atoi(w[1].c_str())].push_back(r);
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
        if (fd < 0)
            return false;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
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
        return fd >= 0;
    }

    // Sends a request and waits for its reply line.
    std::string request(const std::string& line, uint32_t timeoutMs) {
        if (!sendLine(line))
            return "err not connected";
        using namespace std::chrono;
        const auto end = steady_clock::now() + milliseconds(timeoutMs);
        for (;;) {
            pump();
            if (!replies.empty()) {
                std::string r = replies.front();
                replies.pop_front();
                return r;
            }
            if (fd < 0)
                return "err connection closed";
            const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
            if (left <= 0) {
                lost(); // a late reply would be taken for the next request's
                return "err no reply";
            }
            pollfd p{fd, POLLIN, 0};
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
        if (conn_->fd >= 0 && !conn_->gone.count(handle_))
            conn_->sendLine(format("close %d", handle_)); // streamed: no reply
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
    bool write(const uint8_t* report) override {
        if (isGone())
            return false;
        return conn_->sendLine(format("write %d ", handle_) + toHex(report, kReportSize));
    }
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
    int fd() const override { return current() ? conn_->fd : -1; }
    bool inputQueued() const override {
        if (!current())
            return false;
        auto it = conn_->inputs.find(handle_);
        return it != conn_->inputs.end() && !it->second.empty();
    }

private:
    bool current() const { return conn_->generation == generation_; }
    bool isGone() const { return !current() || conn_->fd < 0 || conn_->gone.count(handle_) != 0; }

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
    if (conn_->fd >= 0)
        conn_->lost();
    sockaddr_un addr{};
    if (path_.empty() || path_.size() >= sizeof addr.sun_path)
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.data(), path_.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return false;
    }
    conn_->fd = fd;
    if (conn_->request("hello", timeoutMs_) == std::string("ok ") + kGreeting)
        return true;
    conn_->close();
    return false;
}

bool SimClientBackend::connected() const {
    return conn_->fd >= 0;
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
    return conn_->fd;
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
    if (conn_->fd >= 0) {
        conn_->pump();
        if (conn_->fd < 0)
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
    if (conn_->fd >= 0 || !watch_)
        return kNoPoll;
    const int32_t left = static_cast<int32_t>(nextTry_ - nowMs());
    return left > 0 ? static_cast<uint32_t>(left) : 0;
}

} // namespace dupmon
