#pragma once
// The PC's whole disks as the kernel lists them, for finding the stick that
// becomes a master: size, transport, removability and mount points.
#include <cstdint>
#include <string>
#include <vector>

namespace dupmon {

// One whole disk as the kernel lists it under /sys/block.
struct BlockDisk {
    std::string name;           // "sdb"
    std::string node;           // "/dev/sdb"
    uint64_t sectors = 0;       // size in 512-byte units; 0 when no medium is in
    bool removableFlag = false; // the disk says its medium is removable
    bool usb = false;           // it sits on the USB transport
    bool hotplug = false;       // a port above it says it can be unplugged
    std::string model;          // vendor and model from sysfs, blanks trimmed
    // Many USB disks say their medium is fixed: the transport and the port
    // count as much as the flag.
    bool removable() const { return removableFlag || usb || hotplug; }
};

// The PC's disks from sysfs, and where their volumes are mounted.
class BlockDevices {
public:
    explicit BlockDevices(std::string sysRoot = "/sys", std::string devRoot = "/dev",
                          std::string mountInfo = "/proc/self/mountinfo");
    // Whole disks that can hold a master stick's volume: no virtual disks
    // (loop, RAM, device-mapper, RAID, network) and no optical drives. Each
    // disk left out is added to `leftOut` with the reason ("loop0: virtual
    // disk").
    std::vector<BlockDisk> disks(std::vector<std::string>* leftOut = nullptr) const;
    // The node of the disk's partition n: sdb -> sdb1, mmcblk0 -> mmcblk0p1.
    static std::string partitionNode(const std::string& diskNode, int n);
    // The nodes of the disk's partitions now known to the kernel.
    std::vector<std::string> partitionNodes(const std::string& diskName) const;
    // Where a node is mounted (several places or none).
    std::vector<std::string> mountPoints(const std::string& node) const;
    const std::string& devRoot() const { return devRoot_; }

private:
    std::string sysRoot_, devRoot_, mountInfo_;
};

} // namespace dupmon
