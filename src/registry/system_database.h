#pragma once
// The machine registry file: the machines ever attached to this PC, an entry
// each, in the order of their pictures on the board; its byte layout and the
// class that reads, repairs and writes it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/sync_worker.h"
#include "protocol/machine_info.h"
#include "registry/picture_archive.h"

namespace dupmon {

// Machine registry file "BRELLOCK_QX42.DB7", 9144 bytes, no terminators:
//
// offset size content
//    0   100  title, blank-padded
//  100    20  version "2.01.10.02" and ten blanks
//  120  9024  eight entries of 1128 bytes, entry i at 120 + 1128 * i: a
//             MachineInfo record (integers little-endian, see machine_info.h)
//             whose first byte is 1 for an entry in use, 0 for a free one
constexpr size_t kRegistryTitleSize = 100;
constexpr size_t kRegistryVersionSize = 20;
constexpr size_t kRegistryEntrySize = 1128;
constexpr int kRegistryEntryCount = 8;
constexpr size_t kRegistryEntriesSize = kRegistryEntrySize * kRegistryEntryCount;
constexpr size_t kRegistryFileSize =
    kRegistryTitleSize + kRegistryVersionSize + kRegistryEntriesSize;
static_assert(kRegistryFileSize == 9144);
static_assert(sizeof(MachineInfo) == kRegistryEntrySize);

inline constexpr char kRegistryTitle[] = "QX42B DUPLICATOR MONITOR MACHINE REGISTRY"
                                         "                                        "
                                         "                   ";
inline constexpr char kRegistryVersion[] = "2.01.10.02          ";
static_assert(sizeof kRegistryTitle == kRegistryTitleSize + 1);
static_assert(sizeof kRegistryVersion == kRegistryVersionSize + 1);

// A machine information record as its 1128 registry bytes and back, field by
// field, little-endian, independent of the host's layout and byte order.
void serializeMachineInfo(const MachineInfo& record, uint8_t* out);
void deserializeMachineInfo(const uint8_t* in, MachineInfo& record);

// The machine registry: up to eight machines ever attached to this PC, filled
// from the front and never removed, so an entry's index is also the index of
// its picture on the board.
//
// At start-up the main window calls, in this order:
//   registry.pictures().loadPictures(programFile, workingDir);
//   int code = registry.open(registryPath);
//   if (code == DATABASE_NOT_EXIST) code = registry.create(registryPath);
//   if (code != PASS) { message box with failureText(code, path), caption "Message"; close }
//   if (!repairNote().empty()) { message box with it, caption "Message" }
// and at close: updateMachine for each connection in use, then release().
class SYSTEM_DATABASE {
public:
    SYSTEM_DATABASE();

    // Read the registry file. DATABASE_NOT_EXIST only when there is no file
    // at `path`; a file that exists but cannot be read (a folder, no
    // permission, an I/O error) is DATABASE_CORRUPT and is left as it is.
    // Only title, version and length are checked: free entries and the
    // places of the entries in use are taken as they are. A file cut short
    // whose title and version are intact keeps what it holds, is completed
    // at once and repairNote() says so.
    int open(const std::string& path);
    // Check and take a registry file's bytes (what open does once read).
    int openImage(std::span<const uint8_t> file);
    // Write a registry with no machines at `path`, replacing any old file.
    int create(const std::string& path);
    // Write the entries to the file at the path of open or create. The old
    // file is replaced only once the new one is complete.
    int write();
    // Free the pictures and write the file if any entry changed since it was
    // last read or written (a write on the worker is waited for first).
    void release();
    // Where addMachine's write goes while machines run (the slots' worker):
    // a new machine's registration never waits for the disk on the GUI
    // thread. Without one it is written at once.
    void setWorker(SyncWorker* worker) { worker_ = worker; }
    // Waits for a write handed to the worker; then changed() tells whether
    // the file holds the entries.
    void waitForWrites();

    static constexpr int entryCount() { return kRegistryEntryCount; }
    bool isInUse(int i) const;
    // Entry i as a record (a zero record for an index out of range).
    MachineInfo entry(int i) const;
    // Positions are places on the board: position k is the k-th entry in
    // use. Entries written by this program are filled from the front, where
    // position and index are the same; a file from elsewhere may leave free
    // entries between machines.
    //
    // Find the entry with the record's machineId; its position is the number
    // of entries in use before it.
    bool findMachine(const MachineInfo& record, int* position) const;
    // The entry at a position (a zero record when out of range).
    MachineInfo entryAt(int position) const;
    // Store the record in the entry at `position` and mark it in use; the
    // file follows at release.
    void updateMachine(int position, const MachineInfo& record);
    // Register a new machine in the first free entry behind the last one in
    // use and write the file at once (on the worker when there is one). Sets
    // the caller's lastStoredLogNo to 0:
    // none of its job log is stored yet. False when no such entry is free.
    bool addMachine(MachineInfo& record, int* position);
    // True when an entry differs from the file as last read or written.
    bool changed() const { return entries_ != savedEntries_; }

    static std::string errorName(int code);
    // What the operator is shown for a failed open or create of `path`: the
    // code's name, then the file and what is wrong with it.
    std::string failureText(int code, const std::string& path) const;
    // Set by an open that completed a registry cut short; empty otherwise.
    const std::string& repairNote() const { return repairNote_; }

    PictureStore& pictures() { return pictures_; }
    const PictureStore& pictures() const { return pictures_; }
    const std::string& path() const { return path_; }

private:
    int writeImage(const std::string& path);
    std::vector<uint8_t> image() const;
    void writeOnWorker();
    // Index of the entry at a board position, or -1.
    int entryIndexAt(int position) const;

    PictureStore pictures_;
    std::array<uint8_t, kRegistryEntriesSize> entries_{};
    std::array<uint8_t, kRegistryEntriesSize> savedEntries_{};
    std::string path_;
    SyncWorker* worker_ = nullptr;
    // The write on the worker, and the entries it writes.
    std::shared_ptr<const SyncWorker::Ticket> pendingWrite_;
    std::array<uint8_t, kRegistryEntriesSize> pendingEntries_{};
    std::string problem_;    // of the last failed open, create or write
    std::string repairNote_; // of the last open
};

} // namespace dupmon
