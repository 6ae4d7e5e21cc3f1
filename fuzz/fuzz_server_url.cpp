// Any text given as the export's server: the password libpq reads from it
// (from four characters on) is never in what the program shows of it, in
// why it refuses it, or in a message that passes through redact().
#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "export/server_url.h"

namespace {

struct ConninfoFree {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};

// What libpq itself reads as the password; empty when none.
std::string libpqPassword(const std::string& text) {
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, ConninfoFree> options(PQconninfoParse(text.c_str(), &error));
    PQfreemem(error);
    for (const PQconninfoOption* o = options.get(); o && o->keyword; ++o)
        if (std::string_view(o->keyword) == "password" && o->val)
            return o->val;
    return {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find('\0') != std::string::npos)
        return 0; // a setting is one line of text
    const dupmon::ServerUrl s = dupmon::checkServerUrl(text);
    const std::string password = libpqPassword(text);
    if (password.size() < 4)
        return 0;
    for (const std::string& said : {s.shown, s.problem})
        if (said.find(password) != std::string::npos)
            __builtin_trap();
    // A password such as `sword "**` is in the masked message's own words
    // ("password \"***\""): only a message whose frame cannot hold it shows
    // a leak.
    const std::string frame = "FATAL: password \"***\" refused";
    if (frame.find(password) == std::string::npos &&
        s.redact("FATAL: password \"" + password + "\" refused").find(password) !=
            std::string::npos)
        __builtin_trap();
    return 0;
}
