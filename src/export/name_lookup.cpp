// Looking up the server's host name on a thread of its own, with an eventfd
// that tells the waiting connection when the answer is in.
#include "export/name_lookup.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

#include "common/file_io.h"

namespace dupmon {

namespace {

// Shared by the waiting connection and the lookup's thread; the last of
// them to let go closes the descriptor.
struct Lookup {
    UniqueFd doneFd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::mutex mutex;
    bool found = false;
    std::vector<std::string> addresses;
};

bool isAddress(const std::string& host) {
    in6_addr any{};
    return ::inet_pton(AF_INET, host.c_str(), &any) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &any) == 1;
}

} // namespace

bool systemResolve(const std::string& host, std::vector<std::string>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0)
        return false;
    for (const addrinfo* a = list; a; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0,
                          NI_NUMERICHOST) != 0)
            continue;
        if (std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    ::freeaddrinfo(list);
    return !addresses.empty();
}

std::string hostToLookUp(const ServerUrl& server) {
    const std::string& host = server.host;
    // A host list, a socket folder, an address, or an address given (here
    // or in the environment, or in a service file) is libpq's own business.
    if (host.empty() || host.find(',') != std::string::npos || host[0] == '/' || host[0] == '@' ||
        !server.hostaddr.empty() || !server.service.empty() || std::getenv("PGHOSTADDR") ||
        std::getenv("PGSERVICE") || isAddress(host))
        return {};
    return host;
}

LookupEnd lookUp(const NameResolver& resolver, const std::string& host, int timeoutMs, int wakeFd,
                 std::vector<std::string>& addresses) {
    auto lookup = std::make_shared<Lookup>();
    if (!lookup->doneFd)
        return LookupEnd::NotFound;
    std::thread([lookup, resolver, host] {
        std::vector<std::string> found;
        const bool ok = resolver(host, found);
        {
            std::lock_guard lock(lookup->mutex);
            lookup->found = ok;
            lookup->addresses = std::move(found);
        }
        const uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(lookup->doneFd.get(), &one, sizeof one);
    }).detach();
    pollfd fds[2] = {{lookup->doneFd.get(), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n;
    do
        n = ::poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    while (n < 0 && errno == EINTR);
    if (wakeFd >= 0 && n > 0 && (fds[1].revents & POLLIN))
        return LookupEnd::Stopped;
    if (n <= 0)
        return LookupEnd::TimedOut;
    std::lock_guard lock(lookup->mutex);
    addresses = lookup->addresses;
    return lookup->found && !addresses.empty() ? LookupEnd::Found : LookupEnd::NotFound;
}

} // namespace dupmon
