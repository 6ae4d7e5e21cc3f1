#pragma once
// The texts and file names of a machine window, made from its MachineInfo and
// the clocks, kept apart from the window so that tests can read them.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "protocol/machine_info.h"

namespace dupmon {

// "%s(%s)" of the nickname and version, or of the model name when the
// machine has no nickname.
std::string machineWindowTitle(const MachineInfo& info);

// The board's caption for a machine: its nickname, or its model name.
std::string machineDisplayName(const MachineInfo& info);

// The continue-or-finish question's line: which machine asks, and what each
// answer does.
std::string continueOrFinishText(const MachineInfo& info);

// A machine window's title: the machine's name and id before the program's
// caption, so that the windows of several machines tell each other apart.
std::string machineWindowCaption(const MachineInfo& info, std::string_view caption);

// The window placement file of a machine: "<machineId>.qz9.par" in the data
// directory, a position file (common/position_file.h) whose first line is the
// machine id followed by a blank.
std::filesystem::path placementFilePath(const std::filesystem::path& dataDir,
                                        const MachineInfo& info);

// "SavePicture/YYYY/YYYY-MM/YYYYMMDD-hhmmss.jpg" under the working directory.
std::filesystem::path picturePath(const std::filesystem::path& workDir, const LocalTime& t);

// The machine's 14 clock digits YYYYMMDDhhmmss as "YYYY-MM-DD hh:mm:ss".
std::string machineClockText(const char digits[14]);
// The PC's clock as "%04d-%02d-%02d %02d:%02d:%02d".
std::string computerClockText(const LocalTime& t);

// Nicknames hold at most 50 bytes; a longer text is cut on a character
// boundary (the text is UTF-8).
inline constexpr size_t kMaxNicknameLength = 50;
std::string limitNickname(std::string_view utf8);

// The image bank block as the machine connection hands it over: the 256
// bytes of the Y 3 answer with its numbers already turned to host order.
//  92 4 byteQty_per_hddSector   96 4 max_image_qty   100 4 max_dataBank_qty
// 104 4 SectorQty_per_dataBank 108 4 free_image_qty  112 4 free_dataBank_qty
struct ImageBankFigures {
    uint32_t byteQty_per_hddSector = 0;
    uint32_t max_image_qty = 0;
    uint32_t max_dataBank_qty = 0;
    uint32_t SectorQty_per_dataBank = 0;
    uint32_t free_image_qty = 0;
    uint32_t free_dataBank_qty = 0;
};
ImageBankFigures imageBankFigures(const uint8_t block[256]);

// "Free Space: %.2fGB" and "Exist Image Qty: %d" of an image bank.
std::string freeSpaceText(const ImageBankFigures& bank);
std::string imageQtyText(const ImageBankFigures& bank);
// Rows of the image table, its heading row included; the bank's table holds
// at most 1000 images.
inline constexpr uint32_t kMaxImages = 1000;
int imageGridRows(const ImageBankFigures& bank);

} // namespace dupmon
