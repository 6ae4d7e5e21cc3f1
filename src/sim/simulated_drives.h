#pragma once
// Removable drives for the stand-in machines, so that master handling runs
// without a real stick in the PC.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "master_usb/drive_service.h"

namespace dupmon {

class StandInController;

// The PC's removable drives for the stand-in machines: while a stand-in has
// handed its master stick to the PC, the stick is a drive whose first sector
// carries the identification value the host sent with the take. Partition,
// format and mount act on a folder that stands for the stick's volume; the
// copy onto it is real. A master stick comes to the PC as it left the
// machine: FAT32, labelled "MASTER", its volume folder as it was. Tests may
// plug further drives, make steps fail, and make a format take its time.
class SimulatedDrives final : public DriveService {
public:
    explicit SimulatedDrives(std::filesystem::path folder);
    ~SimulatedDrives() override;

    // A stand-in whose master stick appears here while it is at the PC.
    void addMachine(std::shared_ptr<StandInController> machine);
    // The master sticks of stand-ins that run elsewhere (in dupmon-sim),
    // asked for on every scan, on the thread that scans.
    struct RemoteMaster {
        std::string machineId;
        bool atPc = false;
        uint64_t capacityMiB = 0;
        std::array<uint8_t, 4> identity{};
        uint32_t formatMs = 0; // how long a format of it takes
    };
    void setRemoteMasters(std::function<std::vector<RemoteMaster>()> source);
    // A drive plugged by hand; a fixed one stands for an internal disk.
    void plugDrive(const std::string& name, uint64_t capacityMiB, bool fixed = false,
                   std::array<uint8_t, 4> identity = {});
    // The model name simulated drives give: "DUPMON Simulated Stick".
    static constexpr const char* kModel = "DUPMON Simulated Stick";
    void pullDrive(const std::string& name);

    // What a fresh format leaves on the volume (path, size; a path ending in
    // "/" is a folder), as a platform's formatter may leave a system folder.
    std::vector<std::pair<std::string, uint64_t>> freshVolumeFiles;
    // The file-system name the volume reports; empty: the one it was given.
    std::string reportedFileSystem;
    // Looks at the volume that fail after each format before it shows.
    int volumeAppearsAfter = 0;
    // The master stick's first sector carries a different value.
    bool garbleIdentity = false;
    // How long a format takes, in real time (a format tool on a slow
    // stick); a cancel ends it early as a failure, finishFormatsNow() as a
    // success.
    std::atomic<uint32_t> formatMs{0};
    void finishFormatsNow();
    // A format is under way now.
    bool formatting() const { return formatting_.load(); }
    // Operations that fail ("partition", "format", "mount", "flush", "eject",
    // "read"), with their cause.
    std::map<std::string, std::string> failing;

    // Every operation, one line each: "partition NAME 1900 FAT", ...
    std::vector<std::string> calls() const;
    std::filesystem::path volumeFolder(const std::string& name) const;
    // The name a stand-in's master stick has here.
    static std::string masterDriveName(const StandInController& machine);
    static std::string masterDriveName(const std::string& machineId);

    // DriveService
    void takeFixedDiskSnapshot() override;
    std::vector<DriveRow> scan() override;
    bool volumeInformation(const DriveRow& row, std::string& label,
                           std::string& fileSystem) override;
    bool readFirstSector(const DriveRow& row, uint8_t out[512], std::string& cause) override;
    bool partition(const DriveRow& row, uint64_t sizeMiB, FileSystemKind fs,
                   std::string& cause) override;
    bool format(const DriveRow& row, FileSystemKind fs, const std::string& label,
                std::string& cause) override;
    bool mountRoot(const DriveRow& row, std::string& root, std::string& cause) override;
    bool flush(const DriveRow& row, std::string& cause) override;
    bool release(const DriveRow& row, std::string& cause) override;
    bool eject(const DriveRow& row, std::string& cause) override;

private:
    struct Drive {
        uint64_t capacityMiB = 0;
        bool fixed = false;
        bool present = true;
        bool ejected = false;
        std::array<uint8_t, 512> sector{};
        uint64_t partitionMiB = 0;
        bool formatted = false;
        std::string fileSystem;
        std::string label;
        bool mounted = false;
        int looksBeforeVolume = 0;
        uint32_t formatMs = 0;
    };
    // A master stick as its machine reports it: it appears while at the PC.
    void followMaster(const std::string& name, bool atPc, uint64_t capacityMiB,
                      const std::array<uint8_t, 4>& identity, uint32_t formatMs);
    bool failed(const std::string& op, const std::string& name, std::string& cause);
    void record(const std::string& line);

    std::filesystem::path folder_;
    mutable std::mutex mutex_;
    std::map<std::string, Drive> drives_;
    std::vector<std::string> fixedAtSnapshot_;
    std::vector<std::shared_ptr<StandInController>> machines_;
    std::function<std::vector<RemoteMaster>()> remote_;
    std::vector<std::string> calls_;
    std::mutex formatMutex_;
    std::condition_variable formatWake_;
    bool finishFormats_ = false;
    std::atomic<bool> formatting_{false};
};

// The master sticks of the machines a running dupmon-sim serves at
// `socketPath`, asked for over a connection of their own (so that the
// thread that scans never shares the monitor's): for --simulator.
std::function<std::vector<SimulatedDrives::RemoteMaster>()>
simulatorMasters(const std::string& socketPath);

} // namespace dupmon
