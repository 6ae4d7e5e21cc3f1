// The PC's drives for the stand-ins: master sticks that come and go with
// their machines, drives a test plugs, folders standing for their volumes,
// the recorded operations, and the master sticks a running dupmon-sim reports.
#include "sim/simulated_drives.h"

#include <algorithm>
#include <chrono>
#include <fstream>

#include "common/text.h"
#include "sim/sim_client.h"
#include "sim/sim_wire.h"
#include "sim/stand_in.h"

namespace dupmon {

namespace fs = std::filesystem;

SimulatedDrives::SimulatedDrives(std::filesystem::path folder) : folder_(std::move(folder)) {}

SimulatedDrives::~SimulatedDrives() = default;

std::string SimulatedDrives::masterDriveName(const std::string& machineId) {
    return "sim-" + safeFileName(machineId) + "-master";
}

std::string SimulatedDrives::masterDriveName(const StandInController& machine) {
    return masterDriveName(machine.machine().machineId);
}

void SimulatedDrives::addMachine(std::shared_ptr<StandInController> machine) {
    std::lock_guard<std::mutex> lock(mutex_);
    machines_.push_back(std::move(machine));
}

void SimulatedDrives::setRemoteMasters(std::function<std::vector<RemoteMaster>()> source) {
    std::lock_guard<std::mutex> lock(mutex_);
    remote_ = std::move(source);
}

void SimulatedDrives::plugDrive(const std::string& name, uint64_t capacityMiB, bool fixed,
                                std::array<uint8_t, 4> identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    Drive d;
    d.capacityMiB = capacityMiB;
    d.fixed = fixed;
    std::copy(identity.begin(), identity.end(), d.sector.begin() + 128);
    drives_[name] = d;
}

void SimulatedDrives::pullDrive(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    drives_.erase(name);
}

std::vector<std::string> SimulatedDrives::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

fs::path SimulatedDrives::volumeFolder(const std::string& name) const {
    return folder_ / name;
}

void SimulatedDrives::record(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(line);
    }
    log_.add("simulated drives: " + line);
}

bool SimulatedDrives::failed(const std::string& op, const std::string& name, std::string& cause) {
    auto it = failing.find(op);
    if (it == failing.end())
        return false;
    cause = it->second;
    log_.add("simulated drives: " + op + " " + name + " failed: " + cause);
    return true;
}

void SimulatedDrives::takeFixedDiskSnapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    fixedAtSnapshot_.clear();
    for (const auto& [name, d] : drives_)
        if (d.fixed)
            fixedAtSnapshot_.push_back(name);
}

void SimulatedDrives::followMaster(const std::string& name, bool atPc, uint64_t capacityMiB,
                                   const std::array<uint8_t, 4>& identity, uint32_t formatMs) {
    auto it = drives_.find(name);
    if (!atPc) {
        if (it != drives_.end())
            it->second.present = false;
        return;
    }
    if (it != drives_.end() && it->second.present) {
        it->second.formatMs = formatMs;
        return;
    }
    Drive d = it == drives_.end() ? Drive{} : it->second;
    d.present = true;
    d.ejected = false;
    d.mounted = false;
    d.capacityMiB = capacityMiB;
    d.formatMs = formatMs;
    if (it == drives_.end()) {
        // As the machine keeps it: formatted, with its old files.
        d.formatted = true;
        d.partitionMiB = d.capacityMiB;
        d.fileSystem = "FAT32";
        d.label = "MASTER";
    }
    d.sector.fill(0);
    for (size_t i = 0; i < 4; ++i)
        d.sector[128 + i] = uint8_t(identity[i] ^ (garbleIdentity ? 0xFF : 0));
    drives_[name] = d;
}

std::vector<DriveRow> SimulatedDrives::scan() {
    // The master sticks follow their machines: there while at the PC.
    std::vector<RemoteMaster> remote;
    std::function<std::vector<RemoteMaster>()> source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = remote_;
    }
    if (source)
        remote = source();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& m : machines_) {
        const StandInController::MasterState state = m->masterState();
        followMaster(masterDriveName(*m), state.atPc, state.capacityMiB, state.identity, 0);
    }
    for (const RemoteMaster& m : remote)
        followMaster(masterDriveName(m.machineId), m.atPc, m.capacityMiB, m.identity, m.formatMs);
    std::vector<DriveRow> rows;
    for (const auto& [name, d] : drives_) {
        if (!d.present || d.ejected)
            continue;
        if (std::find(fixedAtSnapshot_.begin(), fixedAtSnapshot_.end(), name) !=
            fixedAtSnapshot_.end())
            continue;
        DriveRow r;
        r.name = name;
        r.device = (folder_ / name).string();
        if (d.formatted) {
            r.label = d.label;
            r.fileSystem = reportedFileSystem.empty() ? d.fileSystem : reportedFileSystem;
        }
        r.model = kModel;
        r.capacityMiB = d.capacityMiB;
        r.above2048 = d.capacityMiB > 2048;
        r.valid = d.capacityMiB > 0;
        rows.push_back(r);
    }
    return rows;
}

bool SimulatedDrives::volumeInformation(const DriveRow& row, std::string& label,
                                        std::string& fileSystem) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = drives_.find(row.name);
    if (it == drives_.end() || !it->second.present || !it->second.formatted)
        return false;
    Drive& d = it->second;
    if (d.looksBeforeVolume > 0) {
        --d.looksBeforeVolume;
        return false;
    }
    label = d.label;
    fileSystem = reportedFileSystem.empty() ? d.fileSystem : reportedFileSystem;
    return true;
}

bool SimulatedDrives::readFirstSector(const DriveRow& row, uint8_t out[512], std::string& cause) {
    record("read " + row.name);
    if (failed("read", row.name, cause))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = drives_.find(row.name);
    if (it == drives_.end() || !it->second.present) {
        cause = "no such drive";
        return false;
    }
    std::copy(it->second.sector.begin(), it->second.sector.end(), out);
    return true;
}

bool SimulatedDrives::partition(const DriveRow& row, uint64_t sizeMiB, FileSystemKind kind,
                                std::string& cause) {
    record(dupmon::format("partition %s %llu %s", row.name.c_str(), (unsigned long long)sizeMiB,
                          fileSystemName(kind)));
    if (failed("partition", row.name, cause))
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = drives_.find(row.name);
        if (it == drives_.end() || !it->second.present) {
            cause = "no such drive";
            return false;
        }
        Drive& d = it->second;
        d.partitionMiB = std::min(sizeMiB, d.capacityMiB);
        d.formatted = false;
        d.mounted = false;
        d.fileSystem.clear();
        d.label.clear();
        // The identification value goes with the old table.
        d.sector.fill(0);
    }
    std::error_code ec;
    fs::remove_all(folder_ / row.name, ec);
    return true;
}

void SimulatedDrives::finishFormatsNow() {
    {
        std::lock_guard<std::mutex> lock(formatMutex_);
        finishFormats_ = true;
    }
    formatWake_.notify_all();
}

bool SimulatedDrives::format(const DriveRow& row, FileSystemKind kind, const std::string& label,
                             std::string& cause) {
    record(
        dupmon::format("format %s %s '%s'", row.name.c_str(), fileSystemName(kind), label.c_str()));
    if (failed("format", row.name, cause))
        return false;
    // A slow tool: it ends when its time is up, when told to, or killed.
    formatting_ = true;
    {
        uint32_t ms = formatMs;
        {
            std::lock_guard<std::mutex> drivesLock(mutex_);
            auto it = drives_.find(row.name);
            if (it != drives_.end())
                ms = std::max(ms, it->second.formatMs);
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        std::unique_lock<std::mutex> lock(formatMutex_);
        while (!finishFormats_ && !cancelRequested() && std::chrono::steady_clock::now() < end)
            formatWake_.wait_for(lock, std::chrono::milliseconds(5));
        finishFormats_ = false;
    }
    formatting_ = false;
    if (cancelRequested()) {
        cause = "the format was stopped";
        log_.add("simulated drives: format " + row.name + " stopped");
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = drives_.find(row.name);
        if (it != drives_.end())
            it->second.formatted = false;
        return false;
    }
    const fs::path volume = folder_ / row.name;
    std::error_code ec;
    fs::remove_all(volume, ec);
    fs::create_directories(volume, ec);
    if (ec) {
        cause = "cannot make " + volume.string() + ": " + ec.message();
        return false;
    }
    for (const auto& [path, size] : freshVolumeFiles) {
        if (!path.empty() && path.back() == '/') {
            fs::create_directories(volume / path, ec);
            continue;
        }
        fs::create_directories((volume / path).parent_path(), ec);
        std::ofstream out(volume / path, std::ios::binary);
        out << std::string(size_t(size), 'S');
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = drives_.find(row.name);
    if (it == drives_.end() || it->second.partitionMiB == 0) {
        cause = "the drive has no partition";
        return false;
    }
    Drive& d = it->second;
    d.formatted = true;
    d.fileSystem = fileSystemName(kind);
    d.label = label;
    d.looksBeforeVolume = volumeAppearsAfter;
    return true;
}

bool SimulatedDrives::mountRoot(const DriveRow& row, std::string& root, std::string& cause) {
    record("mount " + row.name);
    if (failed("mount", row.name, cause))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = drives_.find(row.name);
    if (it == drives_.end() || !it->second.formatted) {
        cause = "no volume to mount";
        return false;
    }
    it->second.mounted = true;
    root = (folder_ / row.name).string();
    return true;
}

bool SimulatedDrives::flush(const DriveRow& row, std::string& cause) {
    record("flush " + row.name);
    return !failed("flush", row.name, cause);
}

bool SimulatedDrives::release(const DriveRow& row, std::string& cause) {
    record("release " + row.name);
    if (failed("release", row.name, cause))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = drives_.find(row.name);
    if (it != drives_.end())
        it->second.mounted = false;
    return true;
}

bool SimulatedDrives::eject(const DriveRow& row, std::string& cause) {
    record("eject " + row.name);
    if (failed("eject", row.name, cause))
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = drives_.find(row.name);
    if (it != drives_.end()) {
        it->second.mounted = false;
        it->second.ejected = true;
    }
    return true;
}

std::function<std::vector<SimulatedDrives::RemoteMaster>()>
simulatorMasters(const std::string& socketPath) {
    struct Link {
        std::mutex mutex;
        std::unique_ptr<SimClientBackend> client;
    };
    auto link = std::make_shared<Link>();
    return [link, socketPath] {
        std::vector<SimulatedDrives::RemoteMaster> out;
        std::lock_guard<std::mutex> lock(link->mutex);
        if (!link->client || !link->client->connected()) {
            link->client = std::make_unique<SimClientBackend>(socketPath);
            if (!link->client->connect())
                return out; // no simulator now: no master sticks at the PC
        }
        // "ok <hex id>,<at PC>,<MiB>,<identity hex>,<format ms> ..."
        const auto words = simwire::splitWords(link->client->control("masters"));
        if (words.empty() || words[0] != "ok")
            return out;
        for (size_t i = 1; i < words.size(); ++i) {
            std::vector<std::string> f;
            std::string field;
            for (char ch : words[i] + ",") {
                if (ch == ',') {
                    f.push_back(field);
                    field.clear();
                } else {
                    field += ch;
                }
            }
            SimulatedDrives::RemoteMaster m;
            uint32_t mib = 0;
            std::string id(f.size() == 5 ? f[0].size() / 2 : 0, '\0');
            if (f.size() != 5 ||
                !simwire::fromHex(f[0], reinterpret_cast<uint8_t*>(id.data()), id.size()) ||
                !simwire::parseNumber(f[2], mib) ||
                !simwire::fromHex(f[3], m.identity.data(), m.identity.size()) ||
                !simwire::parseNumber(f[4], m.formatMs))
                continue;
            m.machineId = id;
            m.atPc = f[1] == "1";
            m.capacityMiB = mib;
            out.push_back(m);
        }
        return out;
    };
}

} // namespace dupmon
