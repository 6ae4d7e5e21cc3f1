// The small text helpers of the dupmon-sim socket protocol: hex reports,
// words of a line, key=value options and whole numbers.
#include "sim/sim_wire.h"

#include <charconv>

namespace dupmon::simwire {

std::string toHex(const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = digits[data[i] >> 4];
        s[2 * i + 1] = digits[data[i] & 0x0F];
    }
    return s;
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
} // namespace

bool fromHex(std::string_view hex, uint8_t* out, size_t n) {
    if (hex.size() != 2 * n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const int hi = hexValue(hex[2 * i]), lo = hexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::vector<std::string> splitWords(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r')
            ++j;
        if (j > i)
            words.emplace_back(line.substr(i, j - i));
        i = j;
    }
    return words;
}

std::string option(const std::vector<std::string>& words, std::string_view key,
                   const std::string& def) {
    for (const auto& w : words)
        if (w.size() > key.size() && w.compare(0, key.size(), key) == 0 && w[key.size()] == '=')
            return w.substr(key.size() + 1);
    return def;
}

bool hasWord(const std::vector<std::string>& words, std::string_view word) {
    for (const auto& w : words)
        if (w == word)
            return true;
    return false;
}

bool parseNumber(std::string_view text, uint32_t& out) {
    if (text.empty())
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

} // namespace dupmon::simwire
