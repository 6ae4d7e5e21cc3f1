// The server's host name looked up on a thread of its own, so that waiting
// for the name service never holds the export back from stopping: the wait
// ends at once, and the lookup's thread ends by itself whenever the name
// service answers. libpq then gets the addresses, and looks up nothing.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "export/server_url.h"

namespace dupmon {

// Fills `addresses` (numeric, in the order to try) for `host`; false when
// the name is unknown. Called on the lookup's own thread.
using NameResolver =
    std::function<bool(const std::string& host, std::vector<std::string>& addresses)>;

// The system's resolver (getaddrinfo).
bool systemResolve(const std::string& host, std::vector<std::string>& addresses);

// The host name libpq would look up for this server: one host that is
// neither an address nor a socket folder, and no address given beside it.
// Empty when there is none to look up.
std::string hostToLookUp(const ServerUrl& server);

enum class LookupEnd { Found, NotFound, Stopped, TimedOut };
// Looks `host` up within `timeoutMs`; the wait ends early, with Stopped,
// when `wakeFd` (if not -1) becomes readable.
LookupEnd lookUp(const NameResolver& resolver, const std::string& host, int timeoutMs, int wakeFd,
                 std::vector<std::string>& addresses);

} // namespace dupmon
