// The export's server as the user gives it (a postgresql:// URL or a libpq
// "key=value" connection string), how it is shown in every message (never
// with its password, whatever the text's shape), and why one is refused.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace dupmon {

struct ServerUrl {
    std::string url;     // as the user gave it: only ever handed to libpq
    std::string shown;   // "postgresql://user@host:port/database", never a password
    std::string problem; // why it cannot be used; empty when it can
    // Every text that may be (part of) a password: the password libpq reads,
    // and the spans a misread URL could take for one.
    std::vector<std::string> secrets;
    // As libpq reads the setting (for a name to look up before connecting).
    std::string host, hostaddr, service;
    bool usable() const { return problem.empty(); }
    // `text` with every secret replaced by "***": each line that may quote
    // the URL or a libpq message about it passes through here.
    std::string redact(std::string text) const;
};

// Checks that `url` is a postgresql:// (or postgres://) URL, or a libpq
// connection string, that libpq reads as the user meant it. A URL whose user
// name or password holds an unencoded "/" or "@" is refused: libpq would read
// part of the password as the host or the database, and say it in messages.
ServerUrl checkServerUrl(const std::string& url);

// libpq's message in one line: line ends and indents become "; " and blanks.
std::string oneLine(const char* message);

} // namespace dupmon
