// The picture table, reading and building the picture archive at the end of
// the program file, and the picture store that loads it or the loose files.
#include "shell/picture_archive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/byte_order.h"
#include "common/file_io.h"

namespace dupmon {

namespace fs = std::filesystem;

const std::array<PictureTableRow, kPictureRowCount> kPictureTable = {{
    {0, 10, "usb\\usb-10p-on.bmp", "usb\\usb-10p-off.bmp"},
    {2, 10, "USB\\USB-10p-on.bmp", "USB\\USB-10p-off.bmp"},
    {2, 20, "USB\\USB-20p-on.bmp", "USB\\USB-20p-off.bmp"},
    {2, 30, "USB\\USB-30p-on.bmp", "USB\\USB-30p-off.bmp"},
    {2, 40, "USB\\USB-40p-on.bmp", "USB\\USB-40p-off.bmp"},
    {2, 60, "USB\\USB-60p-on.bmp", "USB\\USB-60p-off.bmp"},
    {2, 70, "USB\\USB-70p-on.bmp", "USB\\USB-70p-off.bmp"},
    {2, 80, "USB\\USB-80p-on.bmp", "USB\\USB-80p-off.bmp"},
    {2, 120, "USB\\USB-120p-on.bmp", "USB\\USB-120p-off.bmp"},
    {15, 80, "USB\\USB-80p-on.bmp", "USB\\USB-80p-off.bmp"},
    {15, 120, "USB\\USB-120p-on.bmp", "USB\\USB-120p-off.bmp"},
    {4, 8, "Combo\\Combo-08p-on.bmp", "Combo\\Combo-08p-off.bmp"},
    {4, 16, "Combo\\Combo-16p-on.bmp", "Combo\\Combo-16p-off.bmp"},
    {4, 24, "Combo\\Combo-24p-on.bmp", "Combo\\Combo-24p-off.bmp"},
    {4, 32, "Combo\\Combo-32p-on.bmp", "Combo\\Combo-32p-off.bmp"},
    {4, 40, "Combo\\Combo-40p-on.bmp", "Combo\\Combo-40p-off.bmp"},
    {4, 48, "Combo\\Combo-48p-on.bmp", "Combo\\Combo-48p-off.bmp"},
    {4, 64, "Combo\\Combo-64p-on.bmp", "Combo\\Combo-64p-off.bmp"},
    {4, 72, "Combo\\Combo-72p-on.bmp", "Combo\\Combo-72p-off.bmp"},
    {4, 120, "Combo\\Combo-120p-on.bmp", "Combo\\Combo-120p-off.bmp"},
    {3, 8, "MicroSD\\MicroSD-08p-on.bmp", "MicroSD\\MicroSD-08p-off.bmp"},
    {3, 16, "MicroSD\\MicroSD-16p-on.bmp", "MicroSD\\MicroSD-16p-off.bmp"},
    {3, 24, "MicroSD\\MicroSD-24p-on.bmp", "MicroSD\\MicroSD-24p-off.bmp"},
    {3, 32, "MicroSD\\MicroSD-32p-on.bmp", "MicroSD\\MicroSD-32p-off.bmp"},
    {3, 40, "MicroSD\\MicroSD-40p-on.bmp", "MicroSD\\MicroSD-40p-off.bmp"},
    {3, 48, "MicroSD\\MicroSD-48p-on.bmp", "MicroSD\\MicroSD-48p-off.bmp"},
    {3, 64, "MicroSD\\MicroSD-64p-on.bmp", "MicroSD\\MicroSD-64p-off.bmp"},
    {3, 72, "MicroSD\\MicroSD-72p-on.bmp", "MicroSD\\MicroSD-72p-off.bmp"},
    {3, 120, "MicroSD\\MicroSD-120p-on.bmp", "MicroSD\\MicroSD-120p-off.bmp"},
    {5, 8, "CF\\CF-08p-on.bmp", "CF\\CF-08p-off.bmp"},
    {5, 16, "CF\\CF-16p-on.bmp", "CF\\CF-16p-off.bmp"},
    {5, 24, "CF\\CF-24p-on.bmp", "CF\\CF-24p-off.bmp"},
    {5, 32, "CF\\CF-32p-on.bmp", "CF\\CF-32p-off.bmp"},
    {5, 40, "CF\\CF-40p-on.bmp", "CF\\CF-40p-off.bmp"},
    {5, 60, "CF\\CF-60p-on.bmp", "CF\\CF-60p-off.bmp"},
}};

int pictureRow(const MachineInfo& record) {
    const uint32_t ports = static_cast<uint32_t>(record.maxDeviceQty);
    for (int row = 1; row < kPictureRowCount; ++row) {
        if (kPictureTable[row].deviceType == record.deviceType &&
            kPictureTable[row].portCount == ports)
            return row;
    }
    return 0;
}

const char* archiveStatusName(ArchiveStatus status) {
    switch (status) {
    case ArchiveStatus::Ok:
        return "ok";
    case ArchiveStatus::NoFile:
        return "program file unreadable";
    case ArchiveStatus::NoTail:
        return "no archive tail";
    case ArchiveStatus::BadSize:
        return "archive size does not fit the file";
    case ArchiveStatus::NoHeader:
        return "no archive header";
    case ArchiveStatus::BadTable:
        return "entry table runs into the tail";
    case ArchiveStatus::BadImage:
        return "image outside the archive or not a bitmap";
    }
    return "?";
}

namespace {

// The text and its terminating zero must stand at `p`.
bool startsWithText(const uint8_t* p, const char* text) {
    return std::memcmp(p, text, std::strlen(text) + 1) == 0;
}

// Where one image lies in the archive, checked against the image area
// [first, last) before anything is copied.
bool takeImage(std::span<const uint8_t> archive, uint64_t first, uint64_t last, uint32_t offset,
               uint32_t size, std::vector<uint8_t>& out) {
    if (size < 2 || offset < first || uint64_t(offset) + size > last)
        return false;
    const uint8_t* p = archive.data() + offset;
    if (p[0] != 'B' || p[1] != 'M')
        return false;
    out.assign(p, p + size);
    return true;
}

ArchiveContents failed(ArchiveStatus status) {
    return ArchiveContents{status, {}};
}

} // namespace

ArchiveContents readPictureArchive(std::span<const uint8_t> data) {
    // 1. The tail ends the data.
    if (data.size() < kArchiveTailSize)
        return failed(ArchiveStatus::NoTail);
    const uint8_t* tail = data.data() + data.size() - kArchiveTailSize;
    if (!startsWithText(tail, kArchiveTailText))
        return failed(ArchiveStatus::NoTail);

    // 2. Its size leads back to the header.
    const uint32_t size = readLE32(tail + kArchiveTextSize);
    if (size < kArchiveHeaderSize + kArchiveTailSize || size > data.size())
        return failed(ArchiveStatus::BadSize);
    std::span<const uint8_t> archive = data.subspan(data.size() - size);
    if (!startsWithText(archive.data(), kArchiveHeaderText))
        return failed(ArchiveStatus::NoHeader);

    // 3. The entry table and the images lie between header and tail.
    const uint32_t count = readLE32(archive.data() + kArchiveTextSize);
    const uint64_t imagesFirst = kArchiveHeaderSize + uint64_t(count) * kArchiveEntrySize;
    const uint64_t imagesLast = size - kArchiveTailSize;
    if (imagesFirst > imagesLast)
        return failed(ArchiveStatus::BadTable);

    // 4. Every entry's two images.
    ArchiveContents contents;
    contents.pairs.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = archive.data() + kArchiveHeaderSize + size_t(i) * kArchiveEntrySize;
        PicturePair pair;
        pair.deviceType = readLE32(e);
        pair.portCount = readLE32(e + 4);
        if (!takeImage(archive, imagesFirst, imagesLast, readLE32(e + 8), readLE32(e + 12),
                       pair.onImage) ||
            !takeImage(archive, imagesFirst, imagesLast, readLE32(e + 16), readLE32(e + 20),
                       pair.offImage))
            return failed(ArchiveStatus::BadImage);
        contents.pairs.push_back(std::move(pair));
    }
    contents.status = ArchiveStatus::Ok;
    return contents;
}

ArchiveContents readPictureArchiveFile(const std::string& path) {
    // Only a regular file: a pipe at the path must not hold up the start.
    ReadableFile in = openRegularFile(path);
    if (!in)
        return failed(ArchiveStatus::NoFile);
    std::FILE* f = in.file.release();
    std::vector<uint8_t> buffer;
    ArchiveStatus status = ArchiveStatus::NoFile;
    long length = -1;
    if (std::fseek(f, 0, SEEK_END) == 0)
        length = std::ftell(f);
    if (length >= 0 && size_t(length) < kArchiveTailSize) {
        status = ArchiveStatus::NoTail;
    } else if (length >= 0) {
        // Only the archive is read: first the tail, then what it says it spans.
        uint8_t tail[kArchiveTailSize];
        if (std::fseek(f, length - long(kArchiveTailSize), SEEK_SET) == 0 &&
            std::fread(tail, 1, sizeof tail, f) == sizeof tail) {
            const uint32_t size = readLE32(tail + kArchiveTextSize);
            if (!startsWithText(tail, kArchiveTailText)) {
                status = ArchiveStatus::NoTail;
            } else if (size > kArchiveMaxSize || size > uint64_t(length) ||
                       size < kArchiveHeaderSize + kArchiveTailSize) {
                status = ArchiveStatus::BadSize;
            } else {
                buffer.resize(size);
                if (std::fseek(f, length - long(size), SEEK_SET) == 0 &&
                    std::fread(buffer.data(), 1, size, f) == size)
                    status = ArchiveStatus::Ok;
            }
        }
    }
    // A file that cannot be read is no archive, whatever was read of it.
    if (std::ferror(f))
        status = ArchiveStatus::NoFile;
    std::fclose(f);
    if (status != ArchiveStatus::Ok)
        return failed(status);
    return readPictureArchive(buffer);
}

std::vector<uint8_t> buildPictureArchive(const std::vector<PicturePair>& pairs) {
    size_t total = kArchiveHeaderSize + pairs.size() * kArchiveEntrySize + kArchiveTailSize;
    for (const PicturePair& p : pairs)
        total += p.onImage.size() + p.offImage.size();
    std::vector<uint8_t> out(total, 0);
    std::memcpy(out.data(), kArchiveHeaderText, sizeof kArchiveHeaderText);
    writeLE32(out.data() + kArchiveTextSize, uint32_t(pairs.size()));
    size_t at = kArchiveHeaderSize + pairs.size() * kArchiveEntrySize;
    for (size_t i = 0; i < pairs.size(); ++i) {
        uint8_t* e = out.data() + kArchiveHeaderSize + i * kArchiveEntrySize;
        writeLE32(e, pairs[i].deviceType);
        writeLE32(e + 4, pairs[i].portCount);
        writeLE32(e + 8, uint32_t(at));
        writeLE32(e + 12, uint32_t(pairs[i].onImage.size()));
        std::copy(pairs[i].onImage.begin(), pairs[i].onImage.end(), out.begin() + long(at));
        at += pairs[i].onImage.size();
        writeLE32(e + 16, uint32_t(at));
        writeLE32(e + 20, uint32_t(pairs[i].offImage.size()));
        std::copy(pairs[i].offImage.begin(), pairs[i].offImage.end(), out.begin() + long(at));
        at += pairs[i].offImage.size();
    }
    std::memcpy(out.data() + at, kArchiveTailText, sizeof kArchiveTailText);
    writeLE32(out.data() + at + kArchiveTextSize, uint32_t(total));
    return out;
}

namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

// A loose picture is a few tens of kilobytes; anything past this is not one.
constexpr uintmax_t kLooseFileMaxSize = 16u << 20;

bool readLooseFile(const std::string& path, std::vector<uint8_t>& out) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec || size > kLooseFileMaxSize)
        return false;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out.resize(size_t(size));
    const bool ok = std::fread(out.data(), 1, out.size(), f) == out.size();
    std::fclose(f);
    if (!ok)
        out.clear();
    return ok;
}

} // namespace

std::string findFileIgnoringCase(const std::string& baseDir, std::string_view relative) {
    fs::path at = baseDir.empty() ? fs::path(".") : fs::path(baseDir);
    while (!relative.empty()) {
        const size_t cut = relative.find_first_of("\\/");
        const std::string_view part = relative.substr(0, cut);
        relative = cut == std::string_view::npos ? std::string_view() : relative.substr(cut + 1);
        if (part.empty() || part == "." || part == "..")
            return {};
        std::error_code ec;
        fs::path exact = at / std::string(part);
        if (fs::exists(exact, ec)) {
            at = exact;
            continue;
        }
        // Several names may differ only in case; take the first in name order.
        std::string best;
        for (fs::directory_iterator it(at, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (equalIgnoringCase(name, part) && (best.empty() || name < best))
                best = name;
        }
        if (best.empty())
            return {};
        at /= best;
    }
    std::error_code ec;
    return fs::is_regular_file(at, ec) ? at.string() : std::string();
}

PictureStore::Source PictureStore::loadPictures(const std::string& programFile,
                                                const std::string& workingDir) {
    clear();
    ArchiveContents archive = readPictureArchiveFile(programFile);
    archiveStatus_ = archive.status;
    if (archive.status == ArchiveStatus::Ok)
        takeArchive(archive.pairs);
    else
        loadLooseFiles(workingDir);
    return source_;
}

void PictureStore::takeArchive(const std::vector<PicturePair>& pairs) {
    clear();
    for (const PicturePair& pair : pairs) {
        for (int row = 0; row < kPictureRowCount; ++row) {
            if (kPictureTable[row].deviceType == pair.deviceType &&
                kPictureTable[row].portCount == pair.portCount) {
                on_[row] = pair.onImage;
                off_[row] = pair.offImage;
                break;
            }
        }
    }
    // The archive has no entries for device type 15: those machines share
    // the USB images of their port count.
    for (int row = 0; row < kPictureRowCount; ++row) {
        if (kPictureTable[row].deviceType != 15 || hasImages(row))
            continue;
        for (int usb = 0; usb < kPictureRowCount; ++usb) {
            if (kPictureTable[usb].deviceType == 2 &&
                kPictureTable[usb].portCount == kPictureTable[row].portCount) {
                on_[row] = on_[usb];
                off_[row] = off_[usb];
                break;
            }
        }
    }
    source_ = Source::Archive;
}

void PictureStore::loadLooseFiles(const std::string& workingDir) {
    clear();
    for (int row = 0; row < kPictureRowCount; ++row) {
        const char* names[2] = {kPictureTable[row].onFile, kPictureTable[row].offFile};
        std::vector<uint8_t>* slots[2] = {&on_[row], &off_[row]};
        for (int k = 0; k < 2; ++k) {
            const std::string path = findFileIgnoringCase(workingDir, names[k]);
            if (path.empty() || !readLooseFile(path, *slots[k]))
                missing_.push_back(names[k]);
        }
    }
    source_ = Source::LooseFiles;
}

void PictureStore::clear() {
    for (auto& image : on_)
        image.clear();
    for (auto& image : off_)
        image.clear();
    missing_.clear();
    source_ = Source::None;
}

bool PictureStore::hasImages(int row) const {
    return row >= 0 && row < kPictureRowCount && !on_[row].empty() && !off_[row].empty();
}

const std::vector<uint8_t>& PictureStore::onImage(int row) const {
    static const std::vector<uint8_t> none;
    return row >= 0 && row < kPictureRowCount ? on_[row] : none;
}

const std::vector<uint8_t>& PictureStore::offImage(int row) const {
    static const std::vector<uint8_t> none;
    return row >= 0 && row < kPictureRowCount ? off_[row] : none;
}

} // namespace dupmon
