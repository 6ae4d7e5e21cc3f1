// Small text helpers: trimming, printf into a string, fixed fields, and safe
// file names made from names a machine sends.
#include "common/text.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace dupmon {

std::string_view cutLineEnd(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

std::string_view cutTrailingBlanks(std::string_view s) {
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

std::string_view trimBlanks(std::string_view s) {
    s = cutTrailingBlanks(s);
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    return s;
}

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    return std::string(big.data(), static_cast<size_t>(n));
}

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    return s;
}

void copyField(char* dst, size_t size, std::string_view src) {
    if (size == 0)
        return;
    std::memset(dst, 0, size);
    size_t n = src.size() < size - 1 ? src.size() : size - 1;
    std::memcpy(dst, src.data(), n);
}

std::string_view fieldText(const char* field, size_t size) {
    const void* nul = std::memchr(field, 0, size);
    return std::string_view(field, nul ? static_cast<const char*>(nul) - field : size);
}

std::string safeFileName(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr("/\\<>:\"|?*", c))
            c = '_';
    }
    // ".." would climb out of the folder it is meant to name.
    for (size_t pos; (pos = out.find("..")) != std::string::npos;)
        out.replace(pos, 2, "__");
    return out;
}

std::string machineFileName(std::string_view id) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(id.size());
    for (char c : id) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr("/\\<>:\"|?*%", c)) {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string machineIdFromFileName(std::string_view name) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() && digit(name[i + 1]) >= 0 &&
            digit(name[i + 2]) >= 0) {
            out.push_back(static_cast<char>(digit(name[i + 1]) * 16 + digit(name[i + 2])));
            i += 2;
        } else {
            out.push_back(name[i]);
        }
    }
    return out;
}

std::string_view utf8Prefix(std::string_view s, size_t maxBytes) {
    if (s.size() <= maxBytes)
        return s;
    size_t n = maxBytes;
    // Step back over continuation bytes so no character is cut in half.
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        --n;
    return s.substr(0, n);
}

} // namespace dupmon
