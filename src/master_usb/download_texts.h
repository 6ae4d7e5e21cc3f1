#pragma once
// What the download window offers and keeps: its jobs, source formats,
// volume label rules, parameter file and progress figures.
#include <cstdint>
#include <optional>
#include <string>

#include "master_usb/drive_service.h"

namespace dupmon {

// The job list of the download window, index = job code.
inline constexpr const char* kDownloadJobs[] = {
    "No Job", "Copy", "Copy+Compare", "Copy+SetWriteProtect", "Copy+Compare+SetWriteProtect"};
inline constexpr int kDownloadJobCount = 5;

// One row of the source format list, index = format code.
struct SourceFormat {
    const char* item;          // "FORMAT AUTO", ...
    const char* formatSwitch;  // "/FS:FAT32", ...
    FileSystemKind fileSystem; // what the stick is formatted with
    const char* expectedName;  // the file-system name the volume must then report
};
inline constexpr SourceFormat kSourceFormats[] = {
    {"FORMAT AUTO", "/FS:FAT32", FileSystemKind::Fat32, "FAT32"},
    {"FORMAT FAT", "/FS:FAT", FileSystemKind::Fat16, "FAT"},
    {"FORMAT FAT32", "/FS:FAT32", FileSystemKind::Fat32, "FAT32"},
    {"FORMAT EXFAT", "/FS:EXFAT", FileSystemKind::ExFat, "EXFAT"},
    {"FORMAT NTFS", "/FS:NTFS", FileSystemKind::Ntfs, "NTFS"},
};
inline constexpr int kSourceFormatCount = 5;

// A format code above 5 is taken as 2; 5 itself is no format (nullptr).
const SourceFormat* sourceFormat(int code);
// The partition size in MiB for a format code and a stick's capacity: 2000
// for FAT on a stick above 2048 MiB, otherwise the capacity (FAT) or the
// capacity less 10.
uint64_t partitionSizeMiB(int code, uint64_t capacityMiB);
// "/V:LABEL", or "/V: " for an empty label.
std::string labelSwitch(const std::string& label);
// Space a source tree needs on the stick: whole MiB of its bytes, plus 50.
uint64_t neededMiB(uint64_t bytes);

// Checks a volume label for the file system before anything is touched. A
// FAT label is made upper case; too long a label or a character the file
// system forbids is refused with a message for the operator.
bool checkVolumeLabel(FileSystemKind fs, std::string& label, std::string& message);

// The window parameter file "brellock_QX42B_window_parameter.par".
inline constexpr const char* kDownloadParameterFile = "brellock_QX42B_window_parameter.par";
struct DownloadParameters {
    std::optional<int> top, left, width, height; // all four, or none
    int job = 0;
    int format = 0;
    std::string label;
    std::string sourceDirectory; // UTF-8
};
// Lines: "%d %d %d %d \n" top, left, width, height; "%d\n" job; "%d\n"
// format; "%s\n" label; "%s\n" the source folder as hexadecimal, "%02X" per
// byte of its UTF-16LE form.
std::string formatDownloadParameters(const DownloadParameters& p);
DownloadParameters parseDownloadParameters(const std::string& text);
std::string toUtf16LeHex(const std::string& utf8);
std::string fromUtf16LeHex(const std::string& hex);

// The progress window's arithmetic: percent in unsigned 64-bit integers,
// and whether the window closes.
struct ProgressTick {
    bool act = false; // false: a total of 0, nothing to do
    uint32_t percent = 0;
    bool close = false;
};
ProgressTick progressTick(uint64_t total, uint64_t copied, bool copyFailed);

} // namespace dupmon
