// Draws the front-panel pictures of the machine board: an "on" and an "off"
// image for each row of the picture table that the archive carries, as 24-bit
// BMP files. Writes them as loose files, as an archive, or both at once while
// appending the archive to a program file (the build's post-link step).
//
//   dupmon_make_pictures --loose DIR          loose files under DIR
//   dupmon_make_pictures --archive FILE       the archive alone
//   dupmon_make_pictures --attach PROGRAM DIR append to PROGRAM, loose files under DIR

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "common/byte_order.h"
#include "registry/picture_archive.h"
#include "shell/panel_picture.h"

using namespace dupmon;
namespace fs = std::filesystem;

namespace {

// The archive carries rows 0..8 and 11..34; device type 15 shares the USB images.
std::vector<PicturePair> drawAll() {
    std::vector<PicturePair> pairs;
    for (const PictureTableRow& row : kPictureTable) {
        if (row.deviceType == 15)
            continue;
        PicturePair pair;
        pair.deviceType = row.deviceType;
        pair.portCount = row.portCount;
        // Row 0 stands for any machine that no other row matches.
        const bool generic = row.deviceType == 0;
        pair.onImage = drawPanelPicture(row.deviceType, row.portCount, true, generic);
        pair.offImage = drawPanelPicture(row.deviceType, row.portCount, false, generic);
        pairs.push_back(std::move(pair));
    }
    return pairs;
}

bool writeFile(const fs::path& path, const std::vector<uint8_t>& bytes, const char* mode) {
    std::FILE* f = std::fopen(path.string().c_str(), mode);
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

fs::path looseFilePath(const fs::path& dir, std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return dir / name;
}

bool writeLooseFiles(const fs::path& dir, const std::vector<PicturePair>& pairs) {
    std::set<std::string> written;
    for (const PictureTableRow& row : kPictureTable) {
        for (const PicturePair& pair : pairs) {
            if (pair.deviceType != (row.deviceType == 15 ? 2 : row.deviceType) ||
                pair.portCount != row.portCount)
                continue;
            const std::pair<const char*, const std::vector<uint8_t>*> files[2] = {
                {row.onFile, &pair.onImage}, {row.offFile, &pair.offImage}};
            for (const auto& [name, bytes] : files) {
                if (!written.insert(name).second)
                    continue;
                const fs::path path = looseFilePath(dir, name);
                std::error_code ec;
                fs::create_directories(path.parent_path(), ec);
                if (!writeFile(path, *bytes, "wb")) {
                    std::fprintf(stderr, "cannot write %s\n", path.string().c_str());
                    return false;
                }
            }
        }
    }
    return true;
}

// Appends the archive to the program file, first taking off one appended by
// an earlier run, so the file always ends in exactly one archive.
bool attach(const fs::path& program, const std::vector<uint8_t>& archive) {
    if (readPictureArchiveFile(program.string()).status == ArchiveStatus::Ok) {
        std::error_code ec;
        const uintmax_t length = fs::file_size(program, ec);
        uint8_t sizeField[4];
        std::FILE* f = std::fopen(program.string().c_str(), "rb");
        if (ec || !f)
            return false;
        const bool read = std::fseek(f, -4, SEEK_END) == 0 && std::fread(sizeField, 1, 4, f) == 4;
        std::fclose(f);
        if (!read || readLE32(sizeField) > length)
            return false;
        fs::resize_file(program, length - readLE32(sizeField), ec);
        if (ec)
            return false;
    }
    return writeFile(program, archive, "ab");
}

int usage() {
    std::fputs("usage: dupmon_make_pictures --loose DIR | --archive FILE | --attach PROGRAM DIR\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3)
        return usage();
    const std::string mode = argv[1];
    const std::vector<PicturePair> pairs = drawAll();
    if (mode == "--loose" && argc == 3)
        return writeLooseFiles(argv[2], pairs) ? 0 : 1;
    if (mode == "--archive" && argc == 3)
        return writeFile(argv[2], buildPictureArchive(pairs), "wb") ? 0 : 1;
    if (mode == "--attach" && argc == 4) {
        if (!attach(argv[2], buildPictureArchive(pairs))) {
            std::fprintf(stderr, "cannot append the pictures to %s\n", argv[2]);
            return 1;
        }
        return writeLooseFiles(argv[3], pairs) ? 0 : 1;
    }
    return usage();
}
