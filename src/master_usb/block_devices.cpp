// Reading the PC's disks from sysfs (leaving out virtual and optical ones),
// their partition nodes, and their mount points from mountinfo.
#include "master_usb/block_devices.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "common/text.h"

namespace dupmon {

namespace fs = std::filesystem;

namespace {

std::string readLine(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

// Why a disk cannot be a master stick by its name alone, or nullptr.
const char* notAStick(const std::string& name) {
    for (const char* prefix : {"loop", "ram", "zram", "dm-", "md", "nbd", "rbd"})
        if (name.rfind(prefix, 0) == 0)
            return "virtual disk";
    if (name.rfind("sr", 0) == 0)
        return "optical drive";
    if (name.rfind("fd", 0) == 0)
        return "floppy drive";
    return nullptr;
}

// mountinfo escapes blanks and backslashes as octal.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const std::string oct = s.substr(i + 1, 3);
            if (oct.size() == 3 &&
                std::all_of(oct.begin(), oct.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out += char(std::stoi(oct, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

} // namespace

BlockDevices::BlockDevices(std::string sysRoot, std::string devRoot, std::string mountInfo)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)), mountInfo_(std::move(mountInfo)) {
}

std::vector<BlockDisk> BlockDevices::disks(std::vector<std::string>* leftOut) const {
    std::vector<BlockDisk> out;
    std::error_code ec;
    auto leave = [leftOut](const std::string& name, const char* why) {
        if (leftOut)
            leftOut->push_back(name + ": " + why);
    };
    const fs::path block = fs::path(sysRoot_) / "block";
    for (const auto& entry : fs::directory_iterator(block, ec)) {
        const std::string name = entry.path().filename().string();
        if (const char* why = notAStick(name)) {
            leave(name, why);
            continue;
        }
        const fs::path dir = entry.path();
        const fs::path device = fs::canonical(dir / "device", ec);
        if (ec) {
            ec.clear();
            leave(name, "no device behind it (virtual disk)");
            continue;
        }
        if (readLine(dir / "device" / "type") == "5") {
            leave(name, "optical drive");
            continue;
        }
        BlockDisk d;
        d.name = name;
        d.node = devRoot_ + "/" + name;
        try {
            d.sectors = std::stoull(readLine(dir / "size"));
        } catch (...) {
            d.sectors = 0;
        }
        d.removableFlag = readLine(dir / "removable") == "1";
        // "SanDisk " "Cruzer Blade    ": as the drive names itself.
        std::string model = std::string(trimBlanks(readLine(dir / "device" / "vendor")));
        const std::string product(trimBlanks(readLine(dir / "device" / "model")));
        const std::string card(trimBlanks(readLine(dir / "device" / "name")));
        for (const std::string& part : {product, card})
            if (!part.empty())
                model += (model.empty() ? "" : " ") + part;
        d.model = model;
        const std::string devicePath = device.string();
        d.usb = devicePath.find("/usb") != std::string::npos;
        // A USB port (or another bus) above the disk that says "removable".
        for (fs::path p = device; p.has_relative_path() && p != fs::path(sysRoot_);
             p = p.parent_path()) {
            if (readLine(p / "removable") == "removable") {
                d.hotplug = true;
                break;
            }
            if (p == p.parent_path())
                break;
        }
        out.push_back(d);
    }
    std::sort(out.begin(), out.end(),
              [](const BlockDisk& a, const BlockDisk& b) { return a.name < b.name; });
    if (leftOut)
        std::sort(leftOut->begin(), leftOut->end());
    return out;
}

std::string BlockDevices::partitionNode(const std::string& diskNode, int n) {
    const bool digit = !diskNode.empty() && diskNode.back() >= '0' && diskNode.back() <= '9';
    return diskNode + (digit ? "p" : "") + std::to_string(n);
}

std::vector<std::string> BlockDevices::partitionNodes(const std::string& diskName) const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(sysRoot_) / "block" / diskName, ec))
        if (fs::exists(entry.path() / "partition", ec))
            out.push_back(devRoot_ + "/" + entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> BlockDevices::mountPoints(const std::string& node) const {
    // Fields: id parent major:minor root mountpoint options ... - type source superoptions
    std::vector<std::string> out;
    std::ifstream in(mountInfo_);
    std::string line;
    std::error_code ec;
    const fs::path wanted = fs::weakly_canonical(node, ec);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || dash + 2 >= f.end())
            continue;
        const std::string source = unescape(*(dash + 2));
        if (source == node || fs::weakly_canonical(source, ec) == wanted)
            out.push_back(unescape(f[4]));
    }
    return out;
}

} // namespace dupmon
