#pragma once
// The front-panel pictures of the board: which picture shows which machine,
// the archive they ship in, and the store that holds them while running.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/machine_info.h"

namespace dupmon {

// One row of the picture table: the machine kind (`deviceType`) and port count
// (`maxDeviceQty`) it shows, and the loose files of its "on" and "off" images,
// relative to the working directory with a backslash before the file name.
struct PictureTableRow {
    uint32_t deviceType;
    uint32_t portCount;
    const char* onFile;
    const char* offFile;
};

constexpr int kPictureRowCount = 35;
// Row 0 is the default for machines that match no other row.
extern const std::array<PictureTableRow, kPictureRowCount> kPictureTable;

// The row that shows `record`: the first of rows 1..34 with its device type
// and port count, else 0 (row 0 itself is never matched).
int pictureRow(const MachineInfo& record);

// Picture archive, appended to the program file. All numbers little-endian,
// offsets from the first header byte.
//
// offset       size    content
//      0        40     "BRELLOCK_QX42_PICTURE_HEADER", zero-filled
//     40         4     entry count n
//     44     24 * n    entries:  0 device type, 4 port count,
//                                8 "on" offset, 12 "on" size,
//                               16 "off" offset, 20 "off" size
//  44+24n    varies    the BMP files, "on" then "off" per entry, back to back
//  size-44      40     "BRELLOCK_QX42_PICTURE_TAIL", zero-filled
//  size-4        4     archive size, header to tail included
constexpr char kArchiveHeaderText[] = "BRELLOCK_QX42_PICTURE_HEADER";
constexpr char kArchiveTailText[] = "BRELLOCK_QX42_PICTURE_TAIL";
constexpr size_t kArchiveTextSize = 40;
constexpr size_t kArchiveHeaderSize = 44;
constexpr size_t kArchiveEntrySize = 24;
constexpr size_t kArchiveTailSize = 44;
// Larger than any picture set we ship; a bigger size in a tail is garbage.
constexpr uint32_t kArchiveMaxSize = 64u << 20;

struct PicturePair {
    uint32_t deviceType = 0;
    uint32_t portCount = 0;
    std::vector<uint8_t> onImage; // a whole BMP file
    std::vector<uint8_t> offImage;
};

enum class ArchiveStatus {
    Ok,
    NoFile,   // program file cannot be opened or read
    NoTail,   // the last 44 bytes do not begin with the tail text
    BadSize,  // archive size in the tail does not fit the file
    NoHeader, // no header text where the tail says the archive starts
    BadTable, // the entry table runs into the tail
    BadImage, // an image lies outside the image area or is not a BMP file
};
const char* archiveStatusName(ArchiveStatus status);

struct ArchiveContents {
    ArchiveStatus status = ArchiveStatus::NoFile;
    std::vector<PicturePair> pairs; // in archive order; empty unless Ok
};

// Reads the archive that ends `data` (a whole program file, or its end). Every
// offset and size is checked against the archive before any byte is taken.
ArchiveContents readPictureArchive(std::span<const uint8_t> data);
// The same from a file; only the archive's own bytes are read into memory.
ArchiveContents readPictureArchiveFile(const std::string& path);

// The archive for `pairs`, ready to append to a program file.
std::vector<uint8_t> buildPictureArchive(const std::vector<PicturePair>& pairs);

// Finds `relative` ("usb\\usb-10p-on.bmp") under `baseDir`, matching each path
// component without regard to letter case (an exact match wins). Returns the
// path found, or an empty text.
std::string findFileIgnoringCase(const std::string& baseDir, std::string_view relative);

// The picture store: an "on" and an "off" BMP file for each picture table row,
// loaded once at start-up and freed when the registry is released.
class PictureStore {
public:
    enum class Source { None, Archive, LooseFiles };

    // Fill the store from the archive at the end of `programFile`; if that
    // fails at any point, from the loose files under `workingDir` instead.
    // The machines of device type 15 share the USB images of their port count.
    Source loadPictures(const std::string& programFile, const std::string& workingDir);
    // Rows 0..34 from their loose files; a missing file leaves its row empty
    // and is listed in missingFiles().
    void loadLooseFiles(const std::string& workingDir);
    // Store the archive's pairs under the rows they belong to.
    void takeArchive(const std::vector<PicturePair>& pairs);
    void clear();

    bool hasImages(int row) const;
    // Empty for a row out of range or without images.
    const std::vector<uint8_t>& onImage(int row) const;
    const std::vector<uint8_t>& offImage(int row) const;
    Source source() const { return source_; }
    ArchiveStatus archiveStatus() const { return archiveStatus_; }
    const std::vector<std::string>& missingFiles() const { return missing_; }

private:
    std::array<std::vector<uint8_t>, kPictureRowCount> on_;
    std::array<std::vector<uint8_t>, kPictureRowCount> off_;
    Source source_ = Source::None;
    ArchiveStatus archiveStatus_ = ArchiveStatus::NoFile;
    std::vector<std::string> missing_;
};

} // namespace dupmon
