// Lines a client sends to dupmon-sim, read by the server from its own end of
// a socket as from any client: requests, streamed reports for opened
// machines, anything. Every request line is answered by exactly one reply
// line ("ok ..." or "err ..."), in order, whatever the words; the streamed
// ones (write, close, event) by none.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "answer_feed.h"
#include "common/clock.h"
#include "sim/sim_server.h"
#include "sim/sim_wire.h"

using namespace dupmon;
using namespace dupmon::fuzz;

namespace {

// The reply lines the server owes for this input, or -1 when a line is so
// long that the server may drop the client instead.
int expectedReplies(std::string_view input) {
    int replies = 0;
    size_t start = 0;
    for (size_t nl; (nl = input.find('\n', start)) != std::string_view::npos; start = nl + 1) {
        if (nl - start > 60000)
            return -1;
        const auto words = simwire::splitWords(input.substr(start, nl - start));
        if (!words.empty() && words[0] != "write" && words[0] != "close" && words[0] != "event")
            ++replies;
    }
    return input.size() - start > 60000 ? -1 : replies;
}

void drain(int fd, std::string& replies) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        replies.append(buf, size_t(n));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ManualClock clock;
    SimServer server(clock);
    server.setMaxPreload(64); // a request may ask a million records; a fuzz run cannot wait
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    server.adopt(sv[0]);
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // The client writes what it has, reads while it writes, and says it is
    // done, as "echo ... | socat" would.
    std::string replies;
    size_t sent = 0;
    bool closed = false;
    if (input.empty())
        ::shutdown(sv[1], SHUT_WR);
    for (int pass = 0; pass < 10000 && !closed; ++pass) {
        if (sent < input.size()) {
            const ssize_t n = ::write(sv[1], input.data() + sent, input.size() - sent);
            if (n > 0)
                sent += size_t(n);
            if (sent == input.size())
                ::shutdown(sv[1], SHUT_WR);
        }
        server.runOnce(0);
        char buf[65536];
        const ssize_t n = ::read(sv[1], buf, sizeof buf);
        if (n > 0)
            replies.append(buf, size_t(n));
        else if (n == 0)
            closed = true; // the server saw the end and let the client go
        clock.advance(5);
    }
    drain(sv[1], replies);
    ::close(sv[1]);
    check(closed);

    const int expected = expectedReplies(input);
    if (expected < 0)
        return 0;
    int answered = 0;
    size_t start = 0;
    for (size_t nl; (nl = replies.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string_view line(replies.data() + start, nl - start);
        if (line == "ok" || line.substr(0, 3) == "ok " || line.substr(0, 4) == "err ")
            ++answered;
        else
            check(line.substr(0, 3) == "in " || line.substr(0, 5) == "gone " ||
                  line.substr(0, 8) == "arrival " || line.substr(0, 8) == "removal ");
    }
    check(start == replies.size()); // every reply ends its line
    check(answered == expected);
    return 0;
}
