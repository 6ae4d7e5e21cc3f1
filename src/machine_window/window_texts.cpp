// The machine window's texts and file names: titles, captions, clocks,
// nicknames, picture paths and the image bank's figures.
#include "machine_window/window_texts.h"

#include <cstring>

#include "common/text.h"

namespace dupmon {

std::string machineWindowTitle(const MachineInfo& info) {
    const std::string_view nick = fieldText(info.nickName, sizeof info.nickName);
    const std::string_view name =
        nick.empty() ? fieldText(info.modelName, sizeof info.modelName) : nick;
    return std::string(name) + "(" + std::string(fieldText(info.version, sizeof info.version)) +
           ")";
}

std::string machineDisplayName(const MachineInfo& info) {
    const std::string_view nick = fieldText(info.nickName, sizeof info.nickName);
    return std::string(nick.empty() ? fieldText(info.modelName, sizeof info.modelName) : nick);
}

std::string continueOrFinishText(const MachineInfo& info) {
    return machineDisplayName(info) + " (" +
           std::string(fieldText(info.machineId, sizeof info.machineId)) +
           ") asks: Continue runs the job again on new targets, Finish ends it.";
}

std::string machineWindowCaption(const MachineInfo& info, std::string_view caption) {
    return machineDisplayName(info) + " [" +
           std::string(fieldText(info.machineId, sizeof info.machineId)) + "] - " +
           std::string(caption);
}

std::filesystem::path placementFilePath(const std::filesystem::path& dataDir,
                                        const MachineInfo& info) {
    return dataDir /
           (machineFileName(fieldText(info.machineId, sizeof info.machineId)) + ".qz9.par");
}

std::filesystem::path picturePath(const std::filesystem::path& workDir, const LocalTime& t) {
    return workDir / "SavePicture" / format("%04d", t.year) / format("%04d-%02d", t.year, t.month) /
           format("%04d%02d%02d-%02d%02d%02d.jpg", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
}

std::string machineClockText(const char d[14]) {
    const std::string s(d, 14);
    return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + " " + s.substr(8, 2) +
           ":" + s.substr(10, 2) + ":" + s.substr(12, 2);
}

std::string computerClockText(const LocalTime& t) {
    return format("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
}

std::string limitNickname(std::string_view s) {
    return std::string(utf8Prefix(s, kMaxNicknameLength));
}

namespace {
uint32_t hostU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
} // namespace

ImageBankFigures imageBankFigures(const uint8_t b[256]) {
    ImageBankFigures i;
    i.byteQty_per_hddSector = hostU32(b + 92);
    i.max_image_qty = hostU32(b + 96);
    i.max_dataBank_qty = hostU32(b + 100);
    i.SectorQty_per_dataBank = hostU32(b + 104);
    i.free_image_qty = hostU32(b + 108);
    i.free_dataBank_qty = hostU32(b + 112);
    return i;
}

std::string freeSpaceText(const ImageBankFigures& bank) {
    const double bytes = double(bank.free_dataBank_qty) * double(bank.SectorQty_per_dataBank) *
                         double(bank.byteQty_per_hddSector);
    return format("Free Space: %.2fGB", bytes / 1024 / 1024 / 1024);
}

std::string imageQtyText(const ImageBankFigures& bank) {
    return format("Exist Image Qty: %u", bank.max_image_qty - bank.free_image_qty);
}

int imageGridRows(const ImageBankFigures& bank) {
    const uint32_t images = bank.max_image_qty < kMaxImages ? bank.max_image_qty : kMaxImages;
    return int(images) + 1;
}

} // namespace dupmon
