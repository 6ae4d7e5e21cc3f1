// Reading the server URL or connection string, and masking its password in
// every text shown, libpq's messages included.
#include "export/server_url.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace dupmon {

namespace {

struct ConninfoFree {
    void operator()(PQconninfoOption* o) const { PQconninfoFree(o); }
};
using Conninfo = std::unique_ptr<PQconninfoOption, ConninfoFree>;

// A part of the user's text, [begin, end).
struct Span {
    size_t begin, end;
    bool overlaps(size_t b, size_t e) const { return b < end && begin < e; }
};

constexpr std::string_view kSchemes[] = {"postgresql://", "postgres://"};
constexpr std::string_view kSecretKeys[] = {"password", "sslpassword"};

std::string percentDecoded(std::string_view s) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out.push_back(char(hex(s[i + 1]) * 16 + hex(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

// Where a password may stand in a URL: between the first ":" after the
// scheme and the last "@" (however libpq splits them), and the values of
// password parameters.
std::vector<Span> urlSecretSpans(const std::string& s, size_t start) {
    std::vector<Span> spans;
    const size_t at = s.rfind('@');
    const size_t colon = s.find(':', start);
    if (at != std::string::npos && at >= start && colon < at)
        spans.push_back({colon + 1, at});
    for (std::string_view key : kSecretKeys) {
        const std::string pattern = std::string(key) + "=";
        for (size_t p = s.find(pattern, start); p != std::string::npos;
             p = s.find(pattern, p + 1)) {
            if (p == 0 || (s[p - 1] != '?' && s[p - 1] != '&'))
                continue;
            const size_t value = p + pattern.size();
            spans.push_back({value, std::min(s.find('&', value), s.size())});
        }
    }
    return spans;
}

// Where a password may stand in a "key=value" string. When libpq cannot
// read the string, everything after a password's "=" may be part of it.
std::vector<Span> keywordSecretSpans(const std::string& s, bool readable) {
    std::vector<Span> spans;
    for (std::string_view key : kSecretKeys) {
        for (size_t p = s.find(key); p != std::string::npos; p = s.find(key, p + 1)) {
            if (p > 0 && !std::isspace(static_cast<unsigned char>(s[p - 1])))
                continue;
            size_t v = p + key.size();
            while (v < s.size() && std::isspace(static_cast<unsigned char>(s[v])))
                ++v;
            if (v >= s.size() || s[v] != '=')
                continue;
            ++v;
            while (v < s.size() && std::isspace(static_cast<unsigned char>(s[v])))
                ++v;
            size_t end = v;
            if (!readable) {
                // Up to the next blank, as a reader would take it, and to the end.
                while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end])))
                    ++end;
                spans.push_back({v, end});
                end = s.size();
            } else if (v < s.size() && s[v] == '\'') {
                for (end = v + 1; end < s.size() && s[end] != '\''; ++end)
                    if (s[end] == '\\')
                        ++end;
                end = std::min(end + 1, s.size());
            } else {
                while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end])))
                    ++end;
            }
            spans.push_back({v, end});
        }
    }
    return spans;
}

// A quoted keyword value as libpq reads it: without its quotes and escapes.
std::string unquoted(std::string_view v) {
    if (v.size() < 2 || v.front() != '\'')
        return std::string(v);
    std::string out;
    for (size_t i = 1; i + 1 < v.size(); ++i) {
        if (v[i] == '\\' && i + 2 < v.size())
            ++i;
        out.push_back(v[i]);
    }
    return out;
}

// Whether `token`, a piece of the user's text that libpq quotes back, may
// hold a piece of a password: it stands within a secret span, or it is
// nowhere in the text as it is (so, decoded from it).
bool mayHoldSecret(const std::string& token, const std::string& text,
                   const std::vector<Span>& spans) {
    // An empty token, or a single sign ("=", "]"), is libpq's own syntax.
    if (token.empty() || (token.size() == 1 && !std::isalnum(static_cast<unsigned char>(token[0]))))
        return false;
    size_t p = text.find(token);
    if (p == std::string::npos)
        return true;
    for (; p != std::string::npos; p = text.find(token, p + 1))
        for (const Span& s : spans)
            if (s.overlaps(p, p + token.size()))
                return true;
    return false;
}

// libpq's message about the user's text, with every quoted part that may
// hold a piece of a password replaced: libpq quotes tokens of the text (a
// query parameter, a percent-encoded value, the whole URL).
std::string maskQuoted(const std::string& message, const std::string& text,
                       const std::vector<Span>& spans) {
    std::string out;
    size_t at = 0;
    while (true) {
        const size_t open = message.find('"', at);
        const size_t close = open == std::string::npos ? open : message.find('"', open + 1);
        if (close == std::string::npos) {
            out.append(message, at);
            return out;
        }
        const std::string token = message.substr(open + 1, close - open - 1);
        out.append(message, at, open + 1 - at);
        out += mayHoldSecret(token, text, spans) ? "***" : token;
        out += '"';
        at = close + 1;
    }
}

std::string withSpansMasked(const std::string& text, std::vector<Span> spans) {
    // Overlapping spans are masked as one.
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
    std::vector<Span> merged;
    for (const Span& s : spans) {
        if (s.begin >= s.end)
            continue;
        if (!merged.empty() && s.begin <= merged.back().end)
            merged.back().end = std::max(merged.back().end, s.end);
        else
            merged.push_back(s);
    }
    std::string out = text;
    for (auto s = merged.rbegin(); s != merged.rend(); ++s)
        out.replace(s->begin, s->end - s->begin, "***");
    return out;
}

std::string optionValue(const PQconninfoOption* options, std::string_view key) {
    for (const PQconninfoOption* o = options; o->keyword; ++o)
        if (key == o->keyword)
            return o->val ? o->val : "";
    return {};
}

} // namespace

std::string oneLine(const char* message) {
    std::string out;
    bool pendingBreak = false;
    for (const char* p = message ? message : ""; *p; ++p) {
        if (*p == '\n' || *p == '\r') {
            pendingBreak = true;
            continue;
        }
        if (pendingBreak && (*p == '\t' || *p == ' ')) {
            // An indented continuation line goes on after one blank.
            while (p[1] == '\t' || p[1] == ' ')
                ++p;
            out += ' ';
            pendingBreak = false;
            continue;
        }
        if (pendingBreak && !out.empty())
            out += "; ";
        pendingBreak = false;
        out += *p;
    }
    return out;
}

std::string ServerUrl::redact(std::string text) const {
    // Longest first, so that a secret inside another goes with it. Shorter
    // texts than three characters would blank ordinary words.
    std::vector<const std::string*> bySize;
    for (const std::string& s : secrets)
        if (s.size() >= 3)
            bySize.push_back(&s);
    std::sort(bySize.begin(), bySize.end(),
              [](const std::string* a, const std::string* b) { return a->size() > b->size(); });
    for (const std::string* s : bySize)
        for (size_t p = text.find(*s); p != std::string::npos; p = text.find(*s, p + 3))
            text.replace(p, s->size(), "***");
    return text;
}

ServerUrl checkServerUrl(const std::string& url) {
    ServerUrl s;
    s.url = url;
    size_t start = std::string::npos;
    for (std::string_view scheme : kSchemes)
        if (url.rfind(scheme, 0) == 0)
            start = scheme.size();
    // libpq reads a text as a URL when it starts with the scheme, else as
    // "key=value" pairs.
    char* error = nullptr;
    Conninfo options(PQconninfoParse(url.c_str(), &error));
    const std::string libpqError = error ? oneLine(error) : "";
    PQfreemem(error);
    const bool isUrl = start != std::string::npos;
    const bool keywords = !isUrl && options;

    // Where a password may stand, by every reading of the text.
    std::vector<Span> spans;
    std::vector<Span> keywordSpans;
    if (!isUrl)
        keywordSpans = keywordSecretSpans(url, options != nullptr);
    if (const size_t scheme = url.find("://"); scheme != std::string::npos)
        spans = urlSecretSpans(url, scheme + 3);
    for (const Span& span : spans) {
        const std::string_view raw =
            std::string_view(url).substr(span.begin, span.end - span.begin);
        s.secrets.emplace_back(raw);
        s.secrets.push_back(percentDecoded(raw));
    }
    for (const Span& span : keywordSpans) {
        const std::string_view raw =
            std::string_view(url).substr(span.begin, span.end - span.begin);
        s.secrets.emplace_back(raw);
        s.secrets.push_back(unquoted(raw));
    }
    spans.insert(spans.end(), keywordSpans.begin(), keywordSpans.end());
    if (options)
        for (std::string_view key : kSecretKeys)
            s.secrets.push_back(optionValue(options.get(), key));
    std::sort(s.secrets.begin(), s.secrets.end());
    s.secrets.erase(std::unique(s.secrets.begin(), s.secrets.end()), s.secrets.end());
    s.secrets.erase(std::remove(s.secrets.begin(), s.secrets.end(), std::string()),
                    s.secrets.end());
    s.shown = s.redact(withSpansMasked(url, spans));

    if (!isUrl && !keywords &&
        (url.find("://") != std::string::npos || url.find('=') == std::string::npos)) {
        s.problem = "not a PostgreSQL URL (postgresql://USER@HOST:PORT/DATABASE)";
        return s;
    }
    if (start != std::string::npos) {
        // libpq takes the first "@" or "/" as the end of the user and
        // password, where a person means the last "@".
        const std::string_view rest = std::string_view(url).substr(start);
        const size_t ats = size_t(std::count(rest.begin(), rest.end(), '@'));
        if (ats > 1 || (ats == 1 && rest.find('/') < rest.find('@'))) {
            s.problem = "an \"@\" or a \"/\" in the user name, password or database must be "
                        "written as %40 or %2F";
            return s;
        }
    }
    if (!options) {
        s.problem = s.redact(maskQuoted(libpqError, url, spans));
        // Quotes in the text mislead the masking of libpq's quotes: then a
        // message that still holds three characters of a password in a row
        // is not quoted.
        for (const std::string& secret : s.secrets)
            for (size_t at = 0; url.find('"') != std::string::npos && at + 3 <= secret.size(); ++at)
                if (s.problem.find(secret.substr(at, 3)) != std::string::npos)
                    s.problem.clear();
        if (s.problem.empty())
            s.problem = "libpq cannot read it";
        return s;
    }
    const std::string user = optionValue(options.get(), "user");
    const std::string host = optionValue(options.get(), "host");
    s.host = host;
    s.hostaddr = optionValue(options.get(), "hostaddr");
    s.service = optionValue(options.get(), "service");
    const std::string port = optionValue(options.get(), "port");
    const std::string dbname = optionValue(options.get(), "dbname");
    for (char c : port)
        if ((c < '0' || c > '9') && c != ',') {
            s.problem = mayHoldSecret(port, url, spans)
                            ? "the port is not a number"
                            : s.redact("the port '" + port + "' is not a number");
            return s;
        }
    if (keywords) {
        std::string shown;
        for (const auto& [key, value] :
             {std::pair{"host", host}, {"port", port}, {"dbname", dbname}, {"user", user}})
            if (!value.empty())
                shown += (shown.empty() ? "" : " ") + std::string(key) + "=" + value;
        s.shown = s.redact(shown);
    } else {
        s.shown = s.redact("postgresql://" + (user.empty() ? "" : user + "@") + host +
                           (port.empty() ? "" : ":" + port) + "/" + dbname);
    }
    return s;
}

} // namespace dupmon
