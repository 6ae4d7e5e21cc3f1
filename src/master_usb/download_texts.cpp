// The download window's rules and texts: file-system names, partition sizes,
// label checks, its parameter file (the source folder kept as UTF-16LE hex)
// and the progress gauge's steps.
#include "master_usb/download_texts.h"

#include <cstdio>
#include <cstring>
#include <sstream>

#include "common/text.h"

namespace dupmon {

const char* fileSystemName(FileSystemKind fs) {
    switch (fs) {
    case FileSystemKind::Fat16:
        return "FAT";
    case FileSystemKind::Fat32:
        return "FAT32";
    case FileSystemKind::ExFat:
        return "EXFAT";
    case FileSystemKind::Ntfs:
        return "NTFS";
    }
    return "";
}

const SourceFormat* sourceFormat(int code) {
    if (code > 5)
        code = 2;
    if (code < 0 || code >= kSourceFormatCount)
        return nullptr;
    return &kSourceFormats[code];
}

uint64_t partitionSizeMiB(int code, uint64_t capacityMiB) {
    if (code > 5)
        code = 2;
    if (code == 1)
        return capacityMiB > 2048 ? 2000 : capacityMiB;
    return capacityMiB > 10 ? capacityMiB - 10 : 0;
}

std::string labelSwitch(const std::string& label) {
    return label.empty() ? std::string("/V: ") : "/V:" + label;
}

uint64_t neededMiB(uint64_t bytes) {
    return bytes / 1048576 + 50;
}

namespace {

// Characters of a UTF-8 text, or -1 when it is not valid UTF-8.
long utf8Length(const std::string& s) {
    long n = 0;
    for (size_t i = 0; i < s.size(); ++n) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t len = c < 0x80         ? 1
                           : (c >> 5) == 6  ? 2
                           : (c >> 4) == 14 ? 3
                           : (c >> 3) == 30 ? 4
                                            : 0;
        if (len == 0 || i + len > s.size())
            return -1;
        for (size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return -1;
        i += len;
    }
    return n;
}

} // namespace

bool checkVolumeLabel(FileSystemKind fs, std::string& label, std::string& message) {
    const bool fat = fs == FileSystemKind::Fat16 || fs == FileSystemKind::Fat32;
    const char* forbidden = fat ? "*?.,;:/\\|+=<>[]\"" : "*?/\\|:<>\"";
    for (unsigned char c : label) {
        if (c < 0x20 || c == 0x7F) {
            message = "The volume label may not hold control characters.";
            return false;
        }
        if (fat && c >= 0x80) {
            message = "A FAT volume label may hold only letters, digits and plain symbols.";
            return false;
        }
        if (std::strchr(forbidden, c)) {
            message =
                format("A %s volume label may not hold the character %c.", fileSystemName(fs), c);
            return false;
        }
    }
    const size_t limit = fs == FileSystemKind::Ntfs ? 32 : 11;
    const long length = utf8Length(label);
    if (length < 0) {
        message = "The volume label is not valid text.";
        return false;
    }
    if (size_t(length) > limit) {
        message =
            format("A %s volume label holds at most %zu characters.", fileSystemName(fs), limit);
        return false;
    }
    if (fat)
        for (char& c : label)
            if (c >= 'a' && c <= 'z')
                c = char(c - 'a' + 'A');
    return true;
}

std::string toUtf16LeHex(const std::string& s) {
    std::string out;
    auto unit = [&out](uint16_t u) { out += format("%02X%02X", u & 0xFF, u >> 8); };
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c >> 3) == 30) {
            cp = c & 0x07;
            len = 4;
        } else {
            cp = 0xFFFD;
            len = 1;
        }
        if (len > 1) {
            if (i + len > s.size()) {
                cp = 0xFFFD;
                len = 1;
            } else {
                for (size_t k = 1; k < len; ++k)
                    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
            }
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(uint16_t(0xD800 + (cp >> 10)));
            unit(uint16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            unit(uint16_t(cp));
        }
    }
    return out;
}

namespace {
int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0; // anything else counts as 0
}
void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}
} // namespace

std::string fromUtf16LeHex(const std::string& hex) {
    std::vector<uint16_t> units;
    for (size_t i = 0; i + 3 < hex.size(); i += 4) {
        const int lo = hexDigit(hex[i]) * 16 + hexDigit(hex[i + 1]);
        const int hi = hexDigit(hex[i + 2]) * 16 + hexDigit(hex[i + 3]);
        units.push_back(uint16_t(hi << 8 | lo));
    }
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t u = units[i];
        if (u == 0)
            break; // the text ends at its terminator
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            u = 0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (u >= 0xD800 && u < 0xE000) {
            u = 0xFFFD;
        }
        appendUtf8(out, u);
    }
    return out;
}

std::string formatDownloadParameters(const DownloadParameters& p) {
    std::string out;
    out += format("%d %d %d %d \n", p.top.value_or(0), p.left.value_or(0), p.width.value_or(0),
                  p.height.value_or(0));
    out += format("%d\n", p.job);
    out += format("%d\n", p.format);
    out += p.label + "\n";
    out += toUtf16LeHex(p.sourceDirectory) + "\n";
    return out;
}

DownloadParameters parseDownloadParameters(const std::string& text) {
    DownloadParameters p;
    std::istringstream in(text);
    std::string line;
    if (std::getline(in, line)) {
        int t, l, w, h;
        if (std::sscanf(std::string(cutLineEnd(line)).c_str(), "%d %d %d %d", &t, &l, &w, &h) ==
            4) {
            p.top = t;
            p.left = l;
            p.width = w;
            p.height = h;
        }
    }
    if (std::getline(in, line))
        std::sscanf(line.c_str(), "%d", &p.job);
    if (std::getline(in, line))
        std::sscanf(line.c_str(), "%d", &p.format);
    if (std::getline(in, line))
        p.label = std::string(cutLineEnd(line)).substr(0, 127);
    if (std::getline(in, line))
        p.sourceDirectory = fromUtf16LeHex(std::string(cutLineEnd(line)));
    return p;
}

ProgressTick progressTick(uint64_t total, uint64_t copied, bool copyFailed) {
    ProgressTick t;
    if (total == 0)
        return t;
    t.act = true;
    t.percent = uint32_t((100 * copied) / total);
    t.close = t.percent == 100 || copied >= total || copyFailed;
    return t;
}

} // namespace dupmon
