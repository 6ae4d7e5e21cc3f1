#pragma once
// The PC's removable drives as the download flow sees them (rows of a scan,
// and the operations that prepare a master stick), with one implementation
// per way of reaching them.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace dupmon {

// The file systems the download window can put on a master stick.
enum class FileSystemKind { Fat16, Fat32, ExFat, Ntfs };

// The file-system name a volume reports, as the download flow compares it:
// "FAT", "FAT32", "EXFAT" or "NTFS".
const char* fileSystemName(FileSystemKind fs);

// One removable drive of a scan: the counterpart of a drive letter.
struct DriveRow {
    std::string name;       // stable name of the drive ("sdb"); rows are matched by it
    std::string device;     // what the service needs to reach it (a node, an object path)
    std::string label;      // volume label, empty when none
    std::string fileSystem; // "FAT", "FAT32", "EXFAT", "NTFS", another name, or empty
    std::string model;      // vendor and model as the drive names itself, or empty
    uint64_t capacityMiB = 0;
    bool above2048 = false;
    bool valid = false; // the capacity could be read (a medium is in the drive)
};

// Lines for the machine's debug file, written from whichever thread the
// service runs on and handed to the file on the GUI thread.
class ServiceLog {
public:
    void add(std::string line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        out.swap(lines_);
        return out;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// What the download flow needs of the PC's drives. Any operation may take
// seconds (a blkid on a slow stick, a format, a request that waits for the
// user to authorise it), so the flow runs every one of them on its drive
// worker, one at a time, never on the GUI thread. A failing operation
// returns false and says why in `cause`, naming the program or call that
// failed. An operation asked to end (requestCancel) ends as soon as it can,
// as a failure: a tool it runs is killed, a wait is given up.
class DriveService {
public:
    virtual ~DriveService() = default;

    // Remember the disks that are fixed now: they are never offered later.
    virtual void takeFixedDiskSnapshot() = 0;
    // The removable drives now present, in a stable order.
    virtual std::vector<DriveRow> scan() = 0;
    // Label and file-system name of the drive's volume; false while it has none.
    virtual bool volumeInformation(const DriveRow& row, std::string& label,
                                   std::string& fileSystem) = 0;
    // A format this service cannot make, refused before anything is touched.
    virtual bool canFormat(FileSystemKind fs, std::string& cause) {
        (void)fs;
        (void)cause;
        return true;
    }

    // --- slow operations ---
    // The first 512-byte sector of the whole drive.
    virtual bool readFirstSector(const DriveRow& row, uint8_t out[512], std::string& cause) = 0;
    // A new partition table holding one primary partition of `sizeMiB`
    // (cut to what the drive holds) of the type that suits `fs`.
    virtual bool partition(const DriveRow& row, uint64_t sizeMiB, FileSystemKind fs,
                           std::string& cause) = 0;
    // A quick format of that partition with the label (already checked).
    virtual bool format(const DriveRow& row, FileSystemKind fs, const std::string& label,
                        std::string& cause) = 0;
    // Mounts the volume where needed and gives its root folder.
    virtual bool mountRoot(const DriveRow& row, std::string& root, std::string& cause) = 0;
    // Everything written reaches the medium.
    virtual bool flush(const DriveRow& row, std::string& cause) = 0;
    // Unmounts what this program mounted, leaving the drive attached.
    virtual bool release(const DriveRow& row, std::string& cause) = 0;
    // Unmounts and removes the drive safely (power-off where the bus allows).
    virtual bool eject(const DriveRow& row, std::string& cause) = 0;

    ServiceLog& log() { return log_; }

    // Set by the flow from the GUI thread; cleared before each operation.
    void requestCancel() { cancel_.store(true, std::memory_order_relaxed); }
    void clearCancel() { cancel_.store(false, std::memory_order_relaxed); }
    bool cancelRequested() const { return cancel_.load(std::memory_order_relaxed); }
    const std::atomic<bool>& cancelFlag() const { return cancel_; }

protected:
    ServiceLog log_;
    std::atomic<bool> cancel_{false};
};

} // namespace dupmon
