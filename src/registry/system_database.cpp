// The registry file read, checked and completed when cut short; each entry
// converted field by field to and from a MachineInfo; the file written as a
// new one that replaces the old only when complete, on the worker if given.
#include "registry/system_database.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__unix__)
#include <unistd.h>
#endif

#include "common/byte_order.h"
#include "common/file_io.h"
#include "common/result_codes.h"
#include "common/text.h"

namespace dupmon {

namespace {

[[noreturn]] void layoutFault() {
    std::fputs("machine information layout out of step\n", stderr);
    std::abort();
}

// Field-by-field writer and reader over one 1128-byte entry. Each field's
// offset is checked against the layout in machine_info.h as it goes.
class EntryWriter {
public:
    explicit EntryWriter(uint8_t* out) : p_(out) {}
    EntryWriter& at(size_t offset) {
        if (pos_ != offset)
            layoutFault();
        return *this;
    }
    void u8(uint8_t v) { p_[pos_++] = v; }
    void u32(uint32_t v) {
        writeLE32(p_ + pos_, v);
        pos_ += 4;
    }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void bytes(const void* src, size_t n) {
        std::memcpy(p_ + pos_, src, n);
        pos_ += n;
    }

private:
    uint8_t* p_;
    size_t pos_ = 0;
};

class EntryReader {
public:
    explicit EntryReader(const uint8_t* in) : p_(in) {}
    EntryReader& at(size_t offset) {
        if (pos_ != offset)
            layoutFault();
        return *this;
    }
    void u8(uint8_t& v) { v = p_[pos_++]; }
    void u32(uint32_t& v) {
        v = readLE32(p_ + pos_);
        pos_ += 4;
    }
    void i32(int32_t& v) {
        v = static_cast<int32_t>(readLE32(p_ + pos_));
        pos_ += 4;
    }
    void bytes(void* dst, size_t n) {
        std::memcpy(dst, p_ + pos_, n);
        pos_ += n;
    }

private:
    const uint8_t* p_;
    size_t pos_ = 0;
};

// One description of the record serves both directions, so the two can
// never disagree about an offset.
template <class Io, class Record> void visitMachineInfo(Io& io, Record& r) {
    io.at(0).u8(r.entryInUse);
    io.at(1).u8(r.deviceType);
    io.at(2).u8(r.support_LogRecord);
    io.at(3).u8(r.portQty_per_Row);
    io.at(4).u8(r.flag_support_asynchronous_erase);
    io.at(5).u8(r.flag_support_one_Pellux_Device);
    io.at(6).u8(r.flag_support_asynchronous_PelluxCopy);
    io.at(7).u8(r.flag_support_batch_Command);
    io.at(8).u8(r.flag_support_RUN_ACTION_Command);
    io.at(9).u8(r.flag_support_PELLUX_FORMAT);
    io.at(10).u8(r.flag_support_HARDWARE_CHECK_HDD_EXIST);
    io.at(11).u8(r.flag_feature_bit5);
    io.at(12).u8(r.machineType);
    io.at(13).bytes(r.machineId, sizeof r.machineId);
    io.at(77).bytes(r.nickName, sizeof r.nickName);
    io.at(208).i32(r.boardQty);
    io.at(212).i32(r.portQty_per_board);
    io.at(216).i32(r.maxDeviceQty);
    io.at(220).i32(r.systemTotalBufferSize);
    io.at(224).bytes(r.modelName, sizeof r.modelName);
    io.at(288).bytes(r.version, sizeof r.version);
    io.at(324).i32(r.lastStoredLogNo);
    io.at(328).u32(r.Machine_LOG_startNo);
    io.at(332).u32(r.Machine_LOG_nextNewNo);
    io.at(336).bytes(r.reserved1, sizeof r.reserved1);
    io.at(592).i32(r.controller_version_MAJOR);
    io.at(596).i32(r.controller_version_SUB);
    io.at(600).i32(r.controller_version_MINOR);
    io.at(604).bytes(r.reserved2, sizeof r.reserved2);
    io.at(608).u8(r.flag_support_probe_machine);
    io.at(609).u8(r.flag_support_probe_machine_sensor);
    io.at(610).u8(r.flag_feature_bit3);
    io.at(611).u8(r.flag_feature_bit4);
    io.at(612).u8(r.flag_feature_bit7);
    io.at(613).u8(r.wideCounters);
    io.at(614).u8(r.isMachineType16);
    io.at(615).bytes(r.reserved3, sizeof r.reserved3);
    io.at(kRegistryEntrySize);
}

constexpr size_t kEntriesOffset = kRegistryTitleSize + kRegistryVersionSize;

} // namespace

void serializeMachineInfo(const MachineInfo& record, uint8_t* out) {
    EntryWriter writer(out);
    visitMachineInfo(writer, record);
}

void deserializeMachineInfo(const uint8_t* in, MachineInfo& record) {
    EntryReader reader(in);
    visitMachineInfo(reader, record);
}

SYSTEM_DATABASE::SYSTEM_DATABASE() = default;

int SYSTEM_DATABASE::open(const std::string& path) {
    problem_.clear();
    repairNote_.clear();
    ReadableFile file = openRegularFile(path);
    if (!file) {
        // Only a file that is not there may be created anew; one that is there
        // but cannot be read must survive for the user to look at.
        if (file.missing)
            return DATABASE_NOT_EXIST;
        problem_ = file.problem;
        return DATABASE_CORRUPT;
    }
    // Nothing past the registry's own size is needed: a longer file is
    // accepted and its excess ignored, and a huge one costs no memory.
    std::vector<uint8_t> buffer(kRegistryFileSize);
    errno = 0;
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), file.file.get());
    if (std::ferror(file.file.get())) {
        problem_ = "cannot be read: " + errorText(errno != 0 ? errno : EIO);
        return DATABASE_CORRUPT;
    }
    file.file.reset();
    const int code = openImage(std::span<const uint8_t>(buffer.data(), got));
    if (code != PASS)
        return code;
    path_ = path;
    if (got < kRegistryFileSize) {
        // What the short file held is kept; the rest of the table is free.
        // The file is completed at once, so the repair is told only once.
        repairNote_ = format("The machine registry %s was %zu bytes long instead of %zu; the "
                             "machines it held are kept and the rest of it is taken as free.",
                             path.c_str(), got, kRegistryFileSize);
        if (const int written = writeImage(path); written != PASS) {
            repairNote_.clear();
            path_.clear();
            problem_ = "was cut short and cannot be completed: " + problem_;
            return written;
        }
    }
    return PASS;
}

int SYSTEM_DATABASE::openImage(std::span<const uint8_t> file) {
    // 1. Title and version, as far as the file reaches: a file cut short is
    //    still known by what it holds of them.
    const size_t titleBytes = std::min(file.size(), kRegistryTitleSize);
    if (titleBytes != 0 && std::memcmp(file.data(), kRegistryTitle, titleBytes) != 0) {
        problem_ = "its title is not the machine registry's";
        return DATABASE_WRONG_TITLE;
    }
    if (file.size() > kRegistryTitleSize) {
        const size_t versionBytes =
            std::min(file.size() - kRegistryTitleSize, kRegistryVersionSize);
        if (std::memcmp(file.data() + kRegistryTitleSize, kRegistryVersion, versionBytes) != 0) {
            problem_ = "its version is not " + std::string(cutTrailingBlanks(kRegistryVersion));
            return DATABASE_WRONG_VERSION;
        }
    }
    // 2. The entries, taken as they are: a free entry's other bytes and a
    //    free entry between entries in use stay untouched. Of a table cut
    //    short, an entry whose machine id is cut is dropped: it could never
    //    be found again.
    std::array<uint8_t, kRegistryEntriesSize> entries{};
    if (file.size() > kEntriesOffset) {
        const size_t have = std::min(file.size() - kEntriesOffset, kRegistryEntriesSize);
        std::memcpy(entries.data(), file.data() + kEntriesOffset, have);
        const size_t cutEntry = have / kRegistryEntrySize;
        const size_t cutAt = have % kRegistryEntrySize;
        if (cutAt != 0 && cutAt < offsetof(MachineInfo, machineId) + sizeof(MachineInfo::machineId))
            std::memset(entries.data() + cutEntry * kRegistryEntrySize, 0, cutAt);
    }
    entries_ = entries;
    savedEntries_ = entries_;
    return PASS;
}

int SYSTEM_DATABASE::create(const std::string& path) {
    problem_.clear();
    repairNote_.clear();
    entries_.fill(0);
    const int code = writeImage(path);
    if (code == PASS)
        path_ = path;
    return code;
}

int SYSTEM_DATABASE::write() {
    // Without a registry opened or created there is no file that may be
    // replaced (a refused file stays as it is).
    if (path_.empty())
        return DATABASE_WRITE_FAIL;
    return writeImage(path_);
}

std::vector<uint8_t> SYSTEM_DATABASE::image() const {
    std::vector<uint8_t> image(kRegistryFileSize, 0);
    std::memcpy(image.data(), kRegistryTitle, kRegistryTitleSize);
    std::memcpy(image.data() + kRegistryTitleSize, kRegistryVersion, kRegistryVersionSize);
    std::memcpy(image.data() + kEntriesOffset, entries_.data(), kRegistryEntriesSize);
    return image;
}

int SYSTEM_DATABASE::writeImage(const std::string& path) {
    std::vector<uint8_t> image;
    try {
        image = this->image();
    } catch (const std::bad_alloc&) {
        return MEMORY_NOT_ENOUGH_FOR_DATABASE;
    }

    // The new file is written beside the old one (created exclusively, so
    // never through a link planted at its name) and takes its place only
    // when complete and synced: a failed write leaves the last good registry.
    WholeFileWriter out;
    if (!out.open(path)) {
        problem_ = out.problem();
        // What stands at the name cannot be replaced; no new file could be made.
        return out.refusedTarget() ? DATABASE_WRITE_FAIL : DATABASE_CREATE_FAIL;
    }
    if (!out.write(image.data(), image.size()) || !out.commit()) {
        problem_ = out.problem();
        return DATABASE_WRITE_FAIL;
    }
    savedEntries_ = entries_;
    return PASS;
}

void SYSTEM_DATABASE::waitForWrites() {
    if (!pendingWrite_)
        return;
    worker_->wait(pendingWrite_);
    if (pendingWrite_->error == 0)
        savedEntries_ = pendingEntries_;
    else
        problem_ = "cannot be written: " + errorText(pendingWrite_->error);
    pendingWrite_.reset();
}

void SYSTEM_DATABASE::writeOnWorker() {
    std::vector<uint8_t> bytes;
    try {
        bytes = image();
    } catch (const std::bad_alloc&) {
        return;
    }
    pendingEntries_ = entries_;
    pendingWrite_ = worker_->submit([bytes = std::move(bytes), path = path_] {
        WholeFileWriter out;
        if (out.open(path) && out.write(bytes.data(), bytes.size()) && out.commit())
            return 0;
        return out.error() != 0 ? out.error() : EIO;
    });
}

void SYSTEM_DATABASE::release() {
    pictures_.clear();
    waitForWrites();
    if (changed())
        write();
}

bool SYSTEM_DATABASE::isInUse(int i) const {
    return i >= 0 && i < kRegistryEntryCount && entries_[size_t(i) * kRegistryEntrySize] == 1;
}

MachineInfo SYSTEM_DATABASE::entry(int i) const {
    MachineInfo record{};
    if (i >= 0 && i < kRegistryEntryCount)
        deserializeMachineInfo(entries_.data() + size_t(i) * kRegistryEntrySize, record);
    return record;
}

int SYSTEM_DATABASE::entryIndexAt(int position) const {
    if (position < 0 || position >= kRegistryEntryCount)
        return -1;
    int rank = 0;
    for (int i = 0; i < kRegistryEntryCount; ++i) {
        if (!isInUse(i))
            continue;
        if (rank == position)
            return i;
        ++rank;
    }
    // No machine holds that place yet: the entry of that index, as when the
    // entries are filled from the front.
    return position;
}

MachineInfo SYSTEM_DATABASE::entryAt(int position) const {
    return entry(entryIndexAt(position));
}

bool SYSTEM_DATABASE::findMachine(const MachineInfo& record, int* position) const {
    const std::string_view id = fieldText(record.machineId, sizeof record.machineId);
    int inUseBefore = 0;
    for (int i = 0; i < kRegistryEntryCount; ++i) {
        const uint8_t* e = entries_.data() + size_t(i) * kRegistryEntrySize;
        // Only entries in use are compared: a free entry's empty id would
        // otherwise "find" a machine that reports no id, which then would be
        // neither registered nor given a picture.
        if (e[0] != 1)
            continue;
        const std::string_view entryId =
            fieldText(reinterpret_cast<const char*>(e + offsetof(MachineInfo, machineId)),
                      sizeof record.machineId);
        if (entryId == id) {
            if (position)
                *position = inUseBefore;
            return true;
        }
        ++inUseBefore;
    }
    return false;
}

void SYSTEM_DATABASE::updateMachine(int position, const MachineInfo& record) {
    const int i = entryIndexAt(position);
    if (i < 0)
        return;
    uint8_t* e = entries_.data() + size_t(i) * kRegistryEntrySize;
    serializeMachineInfo(record, e);
    e[0] = 1;
}

bool SYSTEM_DATABASE::addMachine(MachineInfo& record, int* position) {
    // A new machine goes behind the last one in use: a free entry left
    // between machines by another program stays free, so every machine keeps
    // its place on the board.
    int first = 0, inUse = 0;
    for (int i = 0; i < kRegistryEntryCount; ++i)
        if (isInUse(i)) {
            first = i + 1;
            ++inUse;
        }
    for (int i = first; i < kRegistryEntryCount; ++i) {
        uint8_t* e = entries_.data() + size_t(i) * kRegistryEntrySize;
        if (e[0] != 0)
            continue;
        record.lastStoredLogNo = 0;
        serializeMachineInfo(record, e);
        e[0] = 1;
        // A failed write is retried at release, since the entries differ.
        if (worker_ && !path_.empty())
            writeOnWorker();
        else
            write();
        if (position)
            *position = inUse;
        return true;
    }
    return false;
}

std::string SYSTEM_DATABASE::failureText(int code, const std::string& path) const {
    return errorName(code) + "\n" + path + (problem_.empty() ? "" : ": " + problem_);
}

std::string SYSTEM_DATABASE::errorName(int code) {
    return dupmon::errorName(code);
}

} // namespace dupmon
